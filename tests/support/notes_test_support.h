// Helpers of the Notes API suites: the fake libnotes.so, fresh processes
// with the dynamic loader's path set for it, and a partition to start.
#pragma once

#include "test_support.h"

#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace notestest {

// Directories of the two fake libnotes.so builds.
inline std::string fakeNotesDir() { return LNDB_FAKE_NOTES_DIR; }
inline std::string fakeNotesWithoutSearchDir() { return LNDB_FAKE_NOTES_NO_NSFSEARCH_DIR; }

// The loader reads LD_LIBRARY_PATH only when a process starts, so a test that
// needs libnotes.so runs again in a fresh process of this program, with
// `libraryDir` as its loader path and only this test selected. Returns true
// in that process (the test body runs there) and false in the calling one,
// after checking that the fresh process passed.
bool inProcessWithLibraryPath(const std::string& libraryDir);

[[noreturn]] void abortMissingHook(const char* name);

// The address of a name in the loaded libnotes.so (which the entry table
// opened privately, so it is not among the global names); null when absent.
void* loadedNotesSymbol(const char* name);

// A test hook exported by the loaded fake libnotes.so; aborts when absent.
template <class Function>
Function fakeHook(const char* name)
{
    void* hook = loadedNotesSymbol(name);
    if (hook == nullptr)
        abortMissingHook(name);
    return reinterpret_cast<Function>(hook);
}

inline unsigned fakeLiveHandles() { return fakeHook<unsigned (*)()>("FakeNotesLiveHandles")(); }
inline unsigned fakeHandlesIssued() { return fakeHook<unsigned (*)()>("FakeNotesHandlesIssued")(); }
inline unsigned fakeConsoleCalls() { return fakeHook<unsigned (*)()>("FakeNotesConsoleCalls")(); }
inline std::string fakeInitRecord() { return fakeHook<const char* (*)()>("FakeNotesInitRecord")(); }

// The data directory that the sample partition's notes.ini names.
inline constexpr char kDirectoryFromNotes[] = "/srv/notes/data-from-notes.ini";

// A sample installation with one partition (number 1, user nobody) whose
// directories, notes.ini and logs the user nobody can reach.
class Partition {
public:
    explicit Partition(const std::string& dataDir = "", const std::string& notesIniExtra = "",
                       const char* number = "1")
        : dataDir_(dataDir.empty() ? installation_.root() + "/notesdata" : dataDir),
          homeDir_(installation_.root() + "/domino")
    {
        lndbtest::makeDirs(dataDir_);
        lndbtest::makeDirs(homeDir_);
        lndbtest::writeFile(notesIni(), std::string("[Notes]\nDirectory=") + kDirectoryFromNotes +
                                            "\nKeyFileName=server.id\n" + notesIniExtra);
        const std::string suffix = std::string("_") + number;
        installation_.appendToStore("[LotusNotesDBAgent]\n" + dataDir_ + " = " + number +
                                    "\nsDominoDataDir" + suffix + " = " + dataDir_ + "\n" + dataDir_ +
                                    "_sDominoHomeDir = " + homeDir_ + "\nsDominoUser" + suffix +
                                    " = nobody\n");
        // nobody walks down to notes.ini and appends to the debug log; the
        // temporary directories are the only ones opened up.
        const std::string& root = installation_.root();
        const std::string temporaryBase = root.substr(0, root.rfind('/'));
        for (std::string dir = dataDir_; dir.size() > temporaryBase.size();
             dir = dir.substr(0, dir.rfind('/')))
            chmod(dir.c_str(), 0755);
        chmod(root.c_str(), 0755);
        chmod(installation_.logDir().c_str(), 0777);
        lndbtest::writeFile(installation_.debugLogPath(), "", 0666);
        setenv("LD_LIBRARY_PATH", notestest::fakeNotesDir().c_str(), 1);
    }

    const std::string& dataDir() const { return dataDir_; }
    const std::string& homeDir() const { return homeDir_; }
    std::string notesIni() const { return dataDir_ + "/notes.ini"; }
    std::vector<std::string> debugLines() const { return installation_.debugLines(); }

private:
    lndbtest::SampleInstallation installation_;
    std::string dataDir_;
    std::string homeDir_;
};

}  // namespace notestest
