// The checks that do not depend on a partition: the configuration store and
// the platform directories, the logs, NotesPostInstall, the discovery tools,
// the debug hold and the subclient directory.

#include "check_internal.h"

#include "KRPI.h"
#include "KRPlatformInfo.h"
#include "file_descriptor.h"
#include "internal/debug_hold.h"
#include "internal/directory_handover.h"
#include "internal/discovery_tools.h"
#include "shell_word.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <set>
#include <unistd.h>
#include <vector>

namespace lndbcheck {

std::string describeFile(const struct stat& st)
{
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return std::string("mode ") + mode + ", owner " + userName(st.st_uid);
}

std::string userName(uid_t uid)
{
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::array<char, 4096> strings{};
    if (getpwuid_r(uid, &entry, strings.data(), strings.size(), &found) == 0 && found != nullptr)
        return found->pw_name;
    return "uid " + std::to_string(uid);
}

std::string word(const std::string& text)
{
    return common::shellWord(text);
}

void appendListed(std::string& list, const char* separator, const std::string& item)
{
    if (!list.empty())
        list += separator;
    list += item;
}

std::string lookupError(int error)
{
    return error == ENOENT ? std::string("missing") : std::string(std::strerror(error));
}

namespace {

constexpr const char* kPlatformNames[] = {"OrreryDirectory", "BaseHomeDirectory",
                                          "LogFilesDirectory"};

std::string setPlatform(const char* name, const char* value)
{
    return std::string("lndb config set Platform ") + name + " " + value;
}

}  // namespace

Platform checkStore(Findings& findings)
{
    Platform platform;
    platform.focus = KRPI_Focus::getFocus();
    KRPlatformInfo store;
    store.setFocus(platform.focus);
    const std::string path = store.storePath();
    if (path.empty()) {
        findings.fail("store", "configuration store of instance " + platform.focus,
                      "the instance name cannot name a file",
                      "set KR_INSTANCE to the agent's instance");
        return platform;
    }
    const std::string what = "configuration store " + path;
    const common::UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!file.valid()) {
        const int error = errno;
        findings.fail("store", what, "cannot be read: " + lookupError(error),
                      error == ENOENT
                          ? "create it with a [Platform] section naming OrreryDirectory, "
                            "BaseHomeDirectory and LogFilesDirectory (KR_REGISTRY_DIR and "
                            "KR_INSTANCE select the file)"
                          : "make it readable by root");
        return platform;
    }
    std::string missing;
    for (const char* name : kPlatformNames) {
        char value[1024];
        unsigned length = sizeof value;
        if (store.getString("Platform", name, value, &length) == 0)
            appendListed(missing, "; ", std::string(name) + " (" + store.getLastErrorMsg() + ")");
        else if (value[0] == '\0')
            appendListed(missing, "; ", std::string(name) + " (empty)");
    }
    if (!missing.empty()) {
        findings.fail("store", what, "section [Platform] lacks " + missing,
                      setPlatform("NAME", "DIRECTORY") + " for each");
        return platform;
    }
    const KRPI_PlatformBase directories;
    platform.installDir = directories.getOrreryDirectory();
    platform.baseHomeDir = directories.getBaseHomeDirectory();
    platform.logDir = directories.getLogFilesDirectory();
    platform.readable = true;
    findings.pass("store", what,
                  "readable; [Platform] names the install, base home and log directories");
    return platform;
}

namespace {

// True when `dir` is an absolute path of a directory (a FAIL says otherwise).
bool checkDirectory(Findings& findings, const char* label, const char* name, const std::string& dir)
{
    const std::string what = std::string(label) + " " + dir + " (" + name + ")";
    if (dir.empty() || dir[0] != '/') {
        findings.fail("platform directories", what, "not an absolute path",
                      setPlatform(name, "/ABSOLUTE/PATH"));
        return false;
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) {
        const int error = errno;
        findings.fail("platform directories", what, lookupError(error), "mkdir -p " + word(dir));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        findings.fail("platform directories", what, "not a directory",
                      setPlatform(name, "DIRECTORY"));
        return false;
    }
    return true;
}

}  // namespace

void checkPlatformDirectories(const Platform& platform, Findings& findings)
{
    if (checkDirectory(findings, "install directory", "OrreryDirectory", platform.installDir))
        findings.pass("platform directories", "install directory " + platform.installDir,
                      "a directory");
    if (checkDirectory(findings, "base home directory", "BaseHomeDirectory", platform.baseHomeDir))
        findings.pass("platform directories", "base home directory " + platform.baseHomeDir,
                      "a directory");
    if (!checkDirectory(findings, "log directory", "LogFilesDirectory", platform.logDir))
        return;
    if (access(platform.logDir.c_str(), W_OK | X_OK) != 0) {
        const int error = errno;
        findings.fail("platform directories", "log directory " + platform.logDir,
                      std::string("not writable: ") + std::strerror(error),
                      "chmod u+rwx " + word(platform.logDir));
        return;
    }
    findings.pass("platform directories", "log directory " + platform.logDir,
                  "a writable directory");
}

namespace {

// Why the library would not write the log at `path` (empty when it would, or
// when there is no file yet).
std::string whyNotLog(const std::string& path)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return {};
    if (S_ISLNK(st.st_mode))
        return "a symbolic link: logs are never written through one";
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    if (st.st_nlink != 1)
        return "a file with " + std::to_string(st.st_nlink) +
               " names: logs are written only to files with one";
    return {};
}

}  // namespace

void checkLogFiles(const Platform& platform, Findings& findings)
{
    // Debug logs are <program>.log, the Notes API logs
    // <program>_<instance>_NotesAPI.log and Old_..., the event log events.log;
    // the variables may name others.
    std::set<std::string> logs;
    for (const char* variable : {"KR_DEBUG_LOG", "KR_EVENT_LOG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0')
            logs.insert(value);
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(platform.logDir.c_str()), closedir);
    if (dir != nullptr) {
        while (const dirent* entry = readdir(dir.get())) {
            const std::string name = entry->d_name;
            if (name.size() > 4 && name.ends_with(".log"))
                logs.insert(platform.logDir + "/" + name);
        }
    }
    bool allPlain = true;
    for (const std::string& log : logs) {
        const std::string why = whyNotLog(log);
        if (why.empty())
            continue;
        allPlain = false;
        findings.fail("log files", "log " + log, why + "; its lines would go to standard error",
                      "rm " + word(log) + " (the next line creates it again)");
    }
    if (allPlain)
        findings.pass("log files", "logs in " + platform.logDir,
                      std::to_string(logs.size()) + " found, each a regular file with one name");
}

void checkPostInstallScript(const Platform& platform, Findings& findings)
{
    const std::string& home = platform.baseHomeDir;
    const std::string script = home + "/NotesPostInstall";
    const std::string what = "NotesPostInstall " + script;
    if (home.empty() || home[0] != '/') {
        findings.fail("NotesPostInstall", what,
                      "not run: the base home directory is not an absolute path",
                      setPlatform("BaseHomeDirectory", "/ABSOLUTE/PATH"));
        return;
    }
    struct stat st {};
    if (lstat(script.c_str(), &st) != 0) {
        const int error = errno;
        findings.fail("NotesPostInstall", what, lookupError(error),
                      "install the agent's NotesPostInstall script there (owner root, mode 0755)");
        return;
    }
    if (S_ISLNK(st.st_mode)) {
        findings.fail("NotesPostInstall", what,
                      "a symbolic link, which root would follow to run the script",
                      "put the script itself in its place (owner root, mode 0755)");
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        findings.fail("NotesPostInstall", what, "not a regular file", "install the script there");
        return;
    }
    if (st.st_uid != 0) {
        findings.fail("NotesPostInstall", what, "not owned by root (" + describeFile(st) + ")",
                      "chown root " + word(script));
        return;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        findings.fail("NotesPostInstall", what, "writable by others (" + describeFile(st) + ")",
                      "chmod go-w " + word(script));
        return;
    }
    if ((st.st_mode & S_IXUSR) == 0) {
        findings.fail("NotesPostInstall", what, "not executable (" + describeFile(st) + ")",
                      "chmod 755 " + word(script));
        return;
    }
    struct stat dir {};
    if (stat(home.c_str(), &dir) == 0 && (dir.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        findings.fail("NotesPostInstall", what,
                      "its directory is writable by others (" + describeFile(dir) +
                          "), who could put another script in its place",
                      "chmod go-w " + word(home));
        return;
    }
    findings.pass("NotesPostInstall", what, "an executable of root's that only root can change");
}

void checkDiscoveryTools(const Platform& platform, Findings& findings)
{
    std::set<std::string> seen;
    for (const lndb::DiscoveryTool& tool : lndb::kDiscoveryTools) {
        const std::string path = platform.installDir + tool.subdirectory + tool.name;
        if (!seen.insert(path).second)
            continue;
        std::string types;
        for (const lndb::DiscoveryTool& other : lndb::kDiscoveryTools) {
            if (platform.installDir + other.subdirectory + other.name == path)
                appendListed(types, ", ", std::to_string(other.appType));
        }
        const std::string what = "discovery tool " + path + " (application type" +
                                 (types.find(',') != std::string::npos ? "s " : " ") + types + ")";
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) {
            const int error = errno;
            findings.fail("discovery tools", what, lookupError(error),
                          "install the agent's discovery tools in " + platform.installDir +
                              tool.subdirectory);
        } else if (!S_ISREG(st.st_mode)) {
            findings.fail("discovery tools", what, "not a regular file", "install the tool there");
        } else if ((st.st_mode & S_IXUSR) == 0) {
            findings.fail("discovery tools", what, "not executable (" + describeFile(st) + ")",
                          "chmod 755 " + word(path));
        } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            findings.fail("discovery tools", what,
                          "writable by others (" + describeFile(st) + "); browse starts it as root",
                          "chmod go-w " + word(path));
        } else {
            findings.pass("discovery tools", what, "present and executable");
        }
    }
}

bool checkDebugHold(const std::string& path, Findings& findings)
{
    const std::string what = "debug hold " + path;
    if (lndb::debugHoldPresent(path.c_str())) {
        findings.fail("debug hold", what, "present: it holds every browse and every Notes start-up",
                      "rm " + word(path));
        return true;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0)
        findings.warn("debug hold", what,
                      "present but ignored: only a regular file of root's holds calls (" +
                          describeFile(st) + ")",
                      "rm " + word(path));
    else
        findings.pass("debug hold", what, "absent");
    return false;
}

void checkSubclientDirectory(const std::string& path, Findings& findings)
{
    const std::string what = "subclient directory " + path;
    std::string refusal;
    const common::UniqueFd directory = lndb::openHandOverDirectory(path.c_str(), refusal);
    if (!directory.valid()) {
        findings.fail("subclient", what, "cannot be handed to the partition's user: " + refusal,
                      "name a directory whose path holds no symbolic link that root does not own");
        return;
    }
    findings.pass("subclient", what, "a directory, reached through no link of another user");
}

}  // namespace lndbcheck
