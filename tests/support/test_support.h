// Helpers shared by the test suites: temporary directories, files, scoped
// environment variables, a sample agent installation, forked children.
#pragma once

#include "shell_word.h"

#include <functional>
#include <string>
#include <vector>

namespace lndbtest {

// Directory of the built programs and libraries.
inline std::string binDir() { return LNDB_BIN_DIR; }
inline std::string libDir() { return LNDB_LIB_DIR; }
inline std::string sourceDir() { return LNDB_SOURCE_DIR; }

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& content, int mode = 0644);
std::string readFile(const std::string& path);  // empty when missing
std::vector<std::string> readLines(const std::string& path);
void makeDirs(const std::string& path, int mode = 0755);
bool exists(const std::string& path);

// Sets (or, with a null value, unsets) a variable for the scope's lifetime.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    bool hadValue_;
    std::string oldValue_;
};

// Works in `directory` while in scope (relative paths resolve from there).
class ScopedCwd {
public:
    explicit ScopedCwd(const std::string& directory);
    ~ScopedCwd();
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

private:
    std::string saved_;
};

// A debug line without its "<pid> <tid> <MM/DD HH:MM:SS.mmm> " prefix.
std::string stripDebugPrefix(const std::string& line);

// An agent installation in a temporary directory:
//   <root>/registry/<instance>.ini   configuration store with [Platform]
//   <root>/install                   OrreryDirectory
//   <root>/home                      BaseHomeDirectory
//   <root>/logs                      LogFilesDirectory
// and, for its lifetime, KR_REGISTRY_DIR, KR_INSTANCE and KR_DEBUG_LOG
// (<root>/logs/debug.log) pointing at it; KR_DEBUG_LEVEL and KR_EVENT_LOG
// are unset.
class SampleInstallation {
public:
    explicit SampleInstallation(const std::string& instance = "Instance001");
    ~SampleInstallation();

    const std::string& root() const { return dir_.path(); }
    std::string registryDir() const { return dir_ / "registry"; }
    std::string storePath() const { return registryDir() + "/" + instance_ + ".ini"; }
    std::string installDir() const { return dir_ / "install"; }
    std::string homeDir() const { return dir_ / "home"; }
    std::string logDir() const { return dir_ / "logs"; }
    std::string debugLogPath() const { return logDir() + "/debug.log"; }
    const std::string& instance() const { return instance_; }

    // Appends text to the store file as it stands.
    void appendToStore(const std::string& text);
    // The debug log's lines, prefixes stripped.
    std::vector<std::string> debugLines() const;
    // Empties the debug log in place: the logger keeps its log open and looks
    // at the name only about once a second, so a log removed here would still
    // take the next lines.
    void clearDebugLog();

private:
    TempDir dir_;
    std::string instance_;
    std::vector<ScopedEnv*> env_;
};

// A sample installation whose instance file names `instance`, and a working
// directory below it, from which GetInstanceName reads ../orrery_vm.
class NamedInstance {
public:
    explicit NamedInstance(const std::string& instance)
    {
        makeDirs(workDir());
        writeFile(installation_.root() + "/orrery_vm", "ORRERY_INST=\"" + instance + "\"\n");
    }
    std::string workDir() const { return installation_.root() + "/work"; }
    std::vector<std::string> debugLines() const { return installation_.debugLines(); }
    SampleInstallation& installation() { return installation_; }

protected:
    SampleInstallation installation_;
};

// Runs `body` in a forked child and returns its exit status (128 + signal
// number when a signal ended it). For tests that change credentials or other
// process-wide state.
int runInChild(const std::function<int()>& body);

// Runs a command through /bin/sh, returning its exit status and standard
// output (standard error is captured into `err` when given).
struct CommandResult {
    int status;
    std::string out;
    std::string err;
};
CommandResult runCommand(const std::string& command);

// Quotes a text for /bin/sh, as the library quotes the values it hands to
// a script.
inline std::string shellQuote(const std::string& text)
{
    return common::shellWord(text);
}

// The shell command that runs the built lndb command with `args`.
inline std::string lndbCommand(const std::string& args)
{
    return shellQuote(binDir() + "/lndb") + " " + args;
}

// Redirects a descriptor (1 or 2) into a temporary file while in scope.
class CaptureFd {
public:
    explicit CaptureFd(int fd);
    ~CaptureFd();
    CaptureFd(const CaptureFd&) = delete;
    CaptureFd& operator=(const CaptureFd&) = delete;
    // Restores the descriptor (once) and returns what was written.
    std::string finish();

private:
    int fd_;
    int saved_;
    std::string path_;
    bool finished_ = false;
    std::string captured_;
};

}  // namespace lndbtest
