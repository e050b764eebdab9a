// Helpers of the Notes API suites: the fake libnotes.so and fresh processes
// with the dynamic loader's path set for it.
#pragma once

#include <dlfcn.h>
#include <string>

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

}  // namespace notestest
