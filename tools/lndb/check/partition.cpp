// The checks of one partition: its values in the store, its user, and (as
// that user, in a child) its notes.ini, data directory and Notes program
// files; on request the Notes start-up and the server's task query.

#include "check_internal.h"

#include "KRPlatformInfo.h"
#include "KR_getpwnam.h"
#include "file_descriptor.h"
#include "instance_string.h"
#include "internal/debug_hold.h"
#include "lndb/maintenance_tasks.h"
#include "lndb/notes_entry_table.h"
#include "lndb/notes_startup.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string_view>
#include <algorithm>
#include <grp.h>
#include <unistd.h>

namespace lndbcheck {
namespace {

constexpr char kSection[] = "LotusNotesDBAgent";
constexpr std::size_t kMaxPartitionLength = 3;  // the bring-up's partition-number buffer
constexpr std::size_t kMaxUserLength = 63;      // its user buffer
// The program directory with "/notes/latest/linux" fits the bring-up's
// 1,024-byte buffer of the Notes program-files directory.
constexpr std::size_t kMaxHomeLength = 1023 - sizeof "/notes/latest/linux" + 1;
constexpr int kUserChecksSeconds = 60;
constexpr char kNoDatabase[] = "(lndb check: no database)";
constexpr int kStartUpSeconds = 120;
constexpr int kEntryPointCount = 0
#define LNDB_COUNT_ENTRY(name, result, parameters) +1
    LNDB_NOTES_ENTRY_POINTS(LNDB_COUNT_ENTRY)
#undef LNDB_COUNT_ENTRY
    ;

// A value of section LotusNotesDBAgent, read as the bring-up reads it; none,
// with the store's reason in `error`, when it is missing.
std::optional<std::string> readValue(const Platform& platform, const std::string& name,
                                     std::string& error)
{
    KRPlatformInfo store;
    store.setFocus(platform.focus);
    char value[1024];
    unsigned length = sizeof value;
    if (store.getString(kSection, name.c_str(), value, &length) == 0) {
        error = store.getLastErrorMsg();
        return std::nullopt;
    }
    return std::string(value);
}

std::string setValue(const std::string& name, const char* value)
{
    return std::string("lndb config set ") + kSection + " " + word(name) + " " + value;
}

// Where the library's debug lines go in this process.
std::string debugLogPath(const Platform& platform)
{
    const char* log = std::getenv("KR_DEBUG_LOG");
    if (log != nullptr && *log != '\0')
        return log;
    char program[4096];
    const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
    std::string name = length > 0 ? std::string(program, static_cast<std::size_t>(length)) : "lndb";
    name = name.substr(name.rfind('/') + 1);
    return platform.logDir + "/" + name + ".log";
}

// The size of the file at `path` (0 when there is none).
off_t sizeOf(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// Lines that only say that an earlier step failed.
bool onlyFollowsUp(std::string_view message)
{
    return message == "Cannot get notes directory" ||
           message.starts_with("Failed setting unix env") ||
           message == "Calling NotesInitExtended.";
}

// The last line that process `pid` wrote into the debug log at `path` after
// `offset`, without its "<pid> <tid> <MM/DD> <HH:MM:SS.mmm> " prefix: the
// library's own reason for a failed start-up. Empty when there is none.
std::string libraryReason(const std::string& path, off_t offset, pid_t pid)
{
    constexpr std::size_t kMostRead = 1 << 20;
    const common::UniqueFd log(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!log.valid() || lseek(log.get(), offset, SEEK_SET) != offset)
        return {};
    std::string text(kMostRead, '\0');
    std::size_t size = 0;
    ssize_t n = 0;
    while (size < text.size() && (n = read(log.get(), text.data() + size, text.size() - size)) > 0)
        size += static_cast<std::size_t>(n);
    text.resize(size);
    const std::string prefix = std::to_string(pid) + " ";
    std::string reason;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line(text.data() + start, end - start);
        start = end + 1;
        if (!line.starts_with(prefix))
            continue;
        // The prefix holds four blanks: after the pid, the thread id, the
        // date and the time.
        std::size_t at = 0;
        for (int blanks = 0; blanks < 4 && at != std::string_view::npos; ++blanks)
            at = line.find(' ', at == 0 ? 0 : at + 1);
        if (at == std::string_view::npos)
            continue;
        const std::string_view message = line.substr(at + 1);
        if (!onlyFollowsUp(message))
            reason = message;
    }
    return reason;
}

// A data directory as the bring-up looks it up: one trailing '/' dropped.
std::string withoutTrailingSlash(const std::string& dataDir)
{
    return dataDir.ends_with('/') ? dataDir.substr(0, dataDir.size() - 1) : dataDir;
}

struct Partition {
    std::string number;
    std::string dataDir;
    std::string homeDir;
    PartitionUser user;
    std::string notesIni() const { return dataDir + "/notes.ini"; }
    std::string programFiles() const { return homeDir + "/notes/latest/linux"; }
    std::string library() const { return programFiles() + "/libnotes.so"; }
};

// The four values of the partition; false (after a FAIL) when one is missing
// or would be refused by the bring-up.
bool readPartition(const Platform& platform, Partition& partition, Findings& findings)
{
    const std::string& number = partition.number;
    if (number.size() > kMaxPartitionLength) {
        findings.fail("configuration", "partition number " + number,
                      "longer than 3 characters: the Notes start-up refuses it",
                      "number the partition from 0 to 999");
        return false;
    }
    std::string error;
    const std::string dataName = "sDominoDataDir_" + number;
    const std::optional<std::string> dataDir = readValue(platform, dataName, error);
    if (!dataDir) {
        findings.fail("configuration", "data directory (" + dataName + ")", error,
                      setValue(dataName, "DATADIR"));
        return false;
    }
    partition.dataDir = *dataDir;
    const std::string homeName = *dataDir + "_sDominoHomeDir";
    const std::optional<std::string> homeDir = readValue(platform, homeName, error);
    if (!homeDir) {
        findings.fail("configuration", "program directory (" + homeName + ")", error,
                      setValue(homeName, "PROGRAMDIR"));
        return false;
    }
    if (homeDir->size() > kMaxHomeLength) {
        findings.fail("configuration", "program directory (" + homeName + ")",
                      "longer than " + std::to_string(kMaxHomeLength) + " characters",
                      "install Domino in a shorter path");
        return false;
    }
    partition.homeDir = *homeDir;
    const std::string userName = "sDominoUser_" + number;
    const std::optional<std::string> user = readValue(platform, userName, error);
    if (!user) {
        findings.fail("configuration", "user (" + userName + ")", error,
                      setValue(userName, "USER"));
        return false;
    }
    if (user->size() > kMaxUserLength) {
        findings.fail("configuration", "user (" + userName + ")", "longer than 63 characters",
                      setValue(userName, "USER"));
        return false;
    }
    partition.user.name = *user;
    findings.pass("configuration", "values in section " + std::string(kSection),
                  "data directory " + partition.dataDir + ", program directory " +
                      partition.homeDir + ", user " + partition.user.name);
    return true;
}

bool lookUpUser(Partition& partition, Findings& findings)
{
    PartitionUser& user = partition.user;
    const std::string what = "user " + user.name;
    KRPasswdRecord record;
    const struct passwd* entry = KR_getpwnam(user.name.c_str(), &record);
    if (entry == nullptr) {
        const int error = errno;
        findings.fail("user", what, error == ENOENT ? "no such user" : std::strerror(error),
                      "create the user, or name the partition's user: " +
                          setValue("sDominoUser_" + partition.number, "USER"));
        return false;
    }
    user.uid = entry->pw_uid;
    user.gid = entry->pw_gid;
    int count = 16;
    user.groups.resize(static_cast<std::size_t>(count));
    while (getgrouplist(user.name.c_str(), user.gid, user.groups.data(), &count) < 0)
        user.groups.resize(static_cast<std::size_t>(count));
    user.groups.resize(static_cast<std::size_t>(count));
    std::string groups;
    for (const gid_t group : user.groups)
        appendListed(groups, ",", std::to_string(group));
    const std::string ids = "uid " + std::to_string(user.uid) + ", gid " +
                            std::to_string(user.gid) + ", groups " + groups;
    if (user.uid == 0)
        findings.warn("user", what, ids + ": Notes would run with root's powers",
                      "run the partition as a user of its own");
    else
        findings.pass("user", what, ids);
    return true;
}

// As the partition's user: notes.ini readable and writable.
void checkNotesIniAsUser(const Partition& partition, Findings& findings)
{
    const std::string path = partition.notesIni();
    const std::string what = "notes.ini " + path;
    const std::string& user = partition.user.name;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        const int error = errno;
        findings.fail("notes.ini", what,
                      "cannot be reached by user " + user + ": " + std::strerror(error),
                      "let user " + user + " search every directory above it (chmod o+x DIR)");
        return;
    }
    const bool readable = access(path.c_str(), R_OK) == 0;
    const bool writable = access(path.c_str(), W_OK) == 0;
    if (readable && writable) {
        findings.pass("notes.ini", what, "readable and writable by user " + user);
        return;
    }
    const char* lacking = !readable && !writable ? "readable or writable"
                          : !readable            ? "readable"
                                                 : "writable";
    findings.fail("notes.ini", what,
                  std::string("not ") + lacking + " by user " + user + " (" + describeFile(st) +
                      ")",
                  st.st_uid != partition.user.uid ? "chown " + word(user) + " " + word(path)
                                                  : "chmod u+rw " + word(path));
}

// As the partition's user: the data directory is the user's and writable.
void checkDataDirAsUser(const Partition& partition, Findings& findings)
{
    const std::string& dir = partition.dataDir;
    const std::string what = "data directory " + dir;
    const std::string& user = partition.user.name;
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) {
        const int error = errno;
        findings.fail("data directory", what,
                      "cannot be reached by user " + user + ": " + lookupError(error),
                      error == ENOENT ? "restore the partition's data directory"
                                      : "let user " + user + " search every directory above it");
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        findings.fail("data directory", what, "not a directory",
                      "restore the partition's data directory");
        return;
    }
    if (st.st_uid != partition.user.uid) {
        findings.fail("data directory", what,
                      "not owned by user " + user + " (" + describeFile(st) + ")",
                      "chown " + word(user) + " " + word(dir));
        return;
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        findings.fail("data directory", what,
                      "not writable by user " + user + " (" + describeFile(st) + ")",
                      "chmod u+rwx " + word(dir));
        return;
    }
    findings.pass("data directory", what, "owned by and writable by user " + user);
}

// As the partition's user: libnotes.so loads and holds every entry point the
// library binds.
void checkLibraryAsUser(const Partition& partition, Findings& findings)
{
    const std::string path = partition.library();
    const std::string what = "libnotes.so " + path;
    const std::string& user = partition.user.name;
    const std::string reinstall = "install Domino's program files in " + partition.homeDir;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        const int error = errno;
        findings.fail("libnotes.so", what,
                      error == ENOENT
                          ? "missing"
                          : "cannot be reached by user " + user + ": " + std::strerror(error),
                      reinstall + ", or name the partition's program directory: " +
                          setValue(partition.dataDir + "_sDominoHomeDir", "PROGRAMDIR"));
        return;
    }
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* error = dlerror();
        findings.fail("libnotes.so", what,
                      "does not load as user " + user + ": " +
                          (error != nullptr ? error : "unknown error"),
                      reinstall);
        return;
    }
    std::string missing;
    int missingCount = 0;
#define LNDB_CHECK_ENTRY(name, result, parameters)                                                 \
    if (dlsym(handle, #name) == nullptr) {                                                         \
        appendListed(missing, ", ", #name);                                                        \
        ++missingCount;                                                                            \
    }
    LNDB_NOTES_ENTRY_POINTS(LNDB_CHECK_ENTRY)
#undef LNDB_CHECK_ENTRY
    // The child ends soon after; the library stays loaded until then.
    if (missingCount != 0) {
        findings.fail("libnotes.so", what,
                      "lacks " + std::to_string(missingCount) + " of the " +
                          std::to_string(kEntryPointCount) + " entry points: " + missing,
                      "install a complete Domino release in " + partition.homeDir);
        return;
    }
    findings.pass("libnotes.so", what,
                  "loads as user " + user + " with all " + std::to_string(kEntryPointCount) +
                      " entry points");
}

// As the partition's user: the Notes resources directory.
void checkResourcesAsUser(const Partition& partition, Findings& findings)
{
    const std::string path = partition.programFiles() + "/res/C";
    const std::string what = "Notes resources " + path;
    struct stat st {};
    const std::string fix = "install Domino's program files in " + partition.homeDir;
    if (stat(path.c_str(), &st) != 0) {
        const int error = errno;
        findings.fail("res/C", what,
                      error == ENOENT ? std::string("missing")
                                      : "cannot be reached by user " + partition.user.name + ": " +
                                            std::strerror(error),
                      fix);
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        findings.fail("res/C", what, "not a directory", fix);
        return;
    }
    if (access(path.c_str(), R_OK | X_OK) != 0) {
        findings.fail("res/C", what,
                      "not readable by user " + partition.user.name + " (" + describeFile(st) + ")",
                      "chmod a+rx " + word(path));
        return;
    }
    findings.pass("res/C", what, "a directory that user " + partition.user.name + " can read");
}

// In a root child: the Notes start-up as the agent makes it, then the task
// query.
void startNotes(const PartitionChecks& checks, const Partition& partition, Findings& findings)
{
    const std::string what = "Notes start-up for " + partition.dataDir;
    // loadNotesFunctions opens "libnotes.so" through the loader's search
    // path, which this process read when it started; opened here first, the
    // partition's library is the one the loader finds under that name.
    if (dlopen(partition.library().c_str(), RTLD_LAZY) == nullptr || !loadNotesFunctions()) {
        findings.fail("notes start-up", what, "loadNotesFunctions answered false",
                      "start lndb check with LD_LIBRARY_PATH=" + word(partition.programFiles()));
        return;
    }
    std::string instance = common::composeInstance(checks.platform.focus, partition.dataDir);
    char dataDir[1024] = {};
    if (!initializeWithPartition(instance.data(), dataDir, nullptr)) {
        findings.fail("notes start-up", what, "initializeWithPartition answered false",
                      "correct what the debug line names");
        return;
    }
    findings.pass("notes start-up", what,
                  "Notes started as user " + partition.user.name +
                      " (Notes' data directory: " + dataDir + ")");
    if (!checks.request.server)
        return;
    const std::string& server = *checks.request.server;
    // Any answer will do: a name that no task line holds keeps the debug log
    // free of a task found for it.
    if (isDBMaintananceTaskRunning(server, kNoDatabase) < 0) {
        findings.fail(
            "server", "server " + server, "no answer to \"SHOW TASKS\"",
            "check that the server runs and that the partition's server ID may use its console");
        return;
    }
    findings.pass("server", "server " + server, "answered the task query");
}

}  // namespace

std::vector<std::string> storedPartitions(const Platform& platform)
{
    std::vector<std::string> numbers;
    KRPlatformInfo store;
    store.setFocus(platform.focus);
    for (int number = 0; number < 1000; ++number) {
        char value[1024];
        unsigned length = sizeof value;
        const std::string name = "sDominoDataDir_" + std::to_string(number);
        if (store.getString(kSection, name.c_str(), value, &length) != 0)
            numbers.push_back(std::to_string(number));
    }
    return numbers;
}

std::string partitionOfDataDir(const Platform& platform, const std::string& dataDir,
                               Findings& findings)
{
    // Read under the data directory's own name.
    const std::string name = withoutTrailingSlash(dataDir);
    std::string error;
    const std::optional<std::string> number = readValue(platform, name, error);
    if (number)
        return *number;
    findings.warn("configuration", "partition number of " + name,
                  "none stored (" + error + "): the Notes start-up takes partition 0",
                  setValue(name, "NUMBER"));
    return "0";
}

void checkPartition(const PartitionChecks& checks, const std::string& number,
                    const std::optional<std::string>& requestedDataDir, Findings& findings)
{
    findings.setPartition(number);
    const std::size_t mark = findings.all().size();
    Partition partition;
    partition.number = number;
    if (!readPartition(checks.platform, partition, findings))
        return;
    if (requestedDataDir && withoutTrailingSlash(*requestedDataDir) != partition.dataDir)
        findings.warn("configuration", "data directory " + *requestedDataDir,
                      "the store names " + partition.dataDir +
                          " for this partition; Notes starts there");
    if (!lookUpUser(partition, findings))
        return;
    // As the bring-up looks for it: as root, before the switch.
    const bool notesIni = access(partition.notesIni().c_str(), F_OK) == 0;
    if (!notesIni)
        findings.fail("notes.ini", "notes.ini " + partition.notesIni(),
                      "missing: the Notes start-up stops here (critical event 0x2A000001)",
                      "restore the partition's notes.ini in " + partition.dataDir);
    runInChild(findings, number, "user switch", "checks as user " + partition.user.name,
               kUserChecksSeconds, [&](Findings& asUser) {
                   if (!becomeUser(partition.user, asUser))
                       return;
                   if (notesIni)
                       checkNotesIniAsUser(partition, asUser);
                   checkDataDirAsUser(partition, asUser);
                   checkLibraryAsUser(partition, asUser);
                   checkResourcesAsUser(partition, asUser);
               });
    if (!checks.request.init && !checks.request.server)
        return;
    const std::string what = "Notes start-up for " + partition.dataDir;
    if (checks.holdPresent || lndb::debugHoldPresent(lndb::kDebugHoldPath)) {
        findings.fail("notes start-up", what, "not tried: the debug hold would stall it",
                      "rm " + std::string(lndb::kDebugHoldPath));
        return;
    }
    if (findings.failedSince(mark)) {
        findings.warn("notes start-up", what, "not tried: a check above failed");
        return;
    }
    const std::string log = debugLogPath(checks.platform);
    const off_t logSize = sizeOf(log);
    const std::size_t startUp = findings.all().size();
    const pid_t child = runInChild(findings, number, "notes start-up", what, kStartUpSeconds,
                                   [&](Findings& notes) { startNotes(checks, partition, notes); });
    const std::string reason = child > 0 ? libraryReason(log, logSize, child) : std::string();
    findings.noteOnFailures(startUp, reason.empty()
                                         ? " (see the debug log " + log + ")"
                                         : "; the debug log " + log + " says: " + reason);
}

}  // namespace lndbcheck
