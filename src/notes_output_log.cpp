// The Notes API output log: records which executable the process runs and
// sends its standard output and standard error into a log of its own, one per
// executable name and installation instance, rotated once past 5 MiB.

#include "lndb/notes_output_log.h"

#include "lndb/instance_name.h"

#include "EvDebug.h"
#include "KRPI.h"
#include "internal/fixed_text.h"
#include "internal/guard.h"
#include "file_descriptor.h"
#include "safe_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kBufferSize = 1024;
constexpr off_t kRotationSize = 0x500000;  // 5 MiB; a log larger than this is rotated

using lndb::FixedText;
using lndb::refuse;
using PathText = FixedText<kBufferSize>;
using common::UniqueFd;

bool isPlainFile(const struct stat& st)
{
    return S_ISREG(st.st_mode) && st.st_nlink == 1;
}

// What keeps the previous-log name from taking the current log, or null. The
// rename would replace what stands there: only a regular file of this
// process's user or of the current log's owner (an earlier generation) may go;
// a directory or anything else planted there is left alone.
const char* previousLogBlocker(const struct stat& previous, const struct stat& current)
{
    if (S_ISDIR(previous.st_mode))
        return "is a directory";
    if (!S_ISREG(previous.st_mode))
        return "is not a regular file";
    if (previous.st_uid != geteuid() && previous.st_uid != current.st_uid)
        return "belongs to another user";
    return nullptr;
}

enum class Outcome { Redirect, Refuse };
enum class LockState { Held, Busy, Unusable };

// Takes the lock file beside the current log without waiting for it: only
// processes of this user can open it (mode 0600), and they hold it only for
// a rotation. Says in one debug line why it was not taken.
LockState takeRotationLock(EvDebug& log, const char* currentLog, UniqueFd& lock)
{
    const std::string lockPath = std::string(currentLog) + ".lock";
    safefiles::Refusal refusal;
    lock.reset(safefiles::openLockFile(lockPath.c_str(), refusal));
    if (!lock.valid()) {
        log.debug("DumpFileTimeAndVer() : '%s' cannot be rotated: lock file '%s' is not used (%s); "
                  "output not redirected",
                  currentLog, lockPath.c_str(), refusal.text().c_str());
        return LockState::Unusable;
    }
    if (flock(lock.get(), LOCK_EX | LOCK_NB) == 0)
        return LockState::Held;
    const int error = errno;
    if (error == EWOULDBLOCK) {
        log.debug("DumpFileTimeAndVer() : '%s' not rotated: another process holds '%s'; output appended",
                  currentLog, lockPath.c_str());
        return LockState::Busy;
    }
    log.debug("DumpFileTimeAndVer() : '%s' cannot be rotated: cannot lock '%s' - %d (%s); "
              "output not redirected",
              currentLog, lockPath.c_str(), error, std::strerror(error));
    return LockState::Unusable;
}

// Renames the current log (`current` its status) to the previous-log name,
// unless something there must not be replaced.
Outcome moveToPreviousLog(EvDebug& log, const char* currentLog, const char* previousLog,
                          const struct stat& current)
{
    struct stat previous {};
    if (lstat(previousLog, &previous) == 0) {
        if (const char* blocker = previousLogBlocker(previous, current)) {
            log.debug("DumpFileTimeAndVer() : '%s' cannot be rotated: '%s' %s; output not redirected",
                      currentLog, previousLog, blocker);
            return Outcome::Refuse;
        }
    }
    // rename() replaces an earlier previous log in one step.
    if (rename(currentLog, previousLog) != 0) {
        const int error = errno;
        log.debug("renaming '%s' failed - %d", currentLog, error);
        log.debug("DumpFileTimeAndVer() : '%s' is over its limit and cannot be rotated (%s); "
                  "output not redirected",
                  currentLog, std::strerror(error));
        return Outcome::Refuse;
    }
    return Outcome::Redirect;
}

// Moves the current log, when it is larger than the limit, to the
// previous-log name. Processes of one executable name share the log; the
// lock lets only one of them rotate at a time, so that a second rotation
// cannot replace the previous log that the first has just made. When another
// process holds it, this call leaves the rotation to that one and appends. A
// log over its limit that cannot be rotated (the lock file or the
// previous-log name is something planted, or the rename fails) is not
// written further, so a planted name cannot make it grow without end: Refuse.
Outcome rotateWhenLarge(EvDebug& log, KRPI_CommClient& platform, const char* currentLog,
                        const char* baseName, const char* instanceName)
{
    struct stat st {};
    if (lstat(currentLog, &st) != 0) {
        log.debug("stat on '%s' failed - %d", currentLog, errno);
        return Outcome::Redirect;
    }
    // Anything but a plain file is refused when it is opened.
    if (!isPlainFile(st) || st.st_size <= kRotationSize)
        return Outcome::Redirect;
    log.debug("Size of '%s': %d", currentLog, static_cast<int>(st.st_size));
    PathText previousLog;
    if (!previousLog.format("%s/Old_%s_%s_NotesAPI.log", platform.getLogFilesDirectory().c_str(),
                            baseName, instanceName)) {
        log.debug("DumpFileTimeAndVer() : previous log name does not fit %zu bytes; output not redirected",
                  kBufferSize);
        return Outcome::Refuse;
    }
    UniqueFd lock;
    switch (takeRotationLock(log, currentLog, lock)) {
    case LockState::Busy:
        return Outcome::Redirect;
    case LockState::Unusable:
        return Outcome::Refuse;
    case LockState::Held:
        break;
    }
    // Under the lock: another process may have rotated the log meanwhile.
    if (lstat(currentLog, &st) != 0 || !isPlainFile(st) || st.st_size <= kRotationSize)
        return Outcome::Redirect;
    return moveToPreviousLog(log, currentLog, previousLog.c_str(), st);
}

// Puts the current log onto descriptors 1 and 2, whether they were open or
// closed on entry. The log is opened first (at 3 or above, never through a
// link, and only when it is a regular file with one link), so that a log that
// cannot be used leaves both streams as they were; 1 and 2 are never closed.
bool redirectInto(EvDebug& log, const char* currentLog)
{
    safefiles::Refusal refusal;
    const UniqueFd file(safefiles::openLog(currentLog, 0666, refusal));
    if (!file.valid()) {
        if (refusal.error != 0)
            log.debug("DumpFileTimeAndVer() : cannot open '%s' - %d (%s); standard output and error left "
                      "as they were",
                      currentLog, refusal.error, std::strerror(refusal.error));
        else
            log.debug("DumpFileTimeAndVer() : '%s' is not used: %s; standard output and error left as "
                      "they were",
                      currentLog, refusal.reason.c_str());
        return false;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    for (int stream : {STDOUT_FILENO, STDERR_FILENO}) {
        if (dup2(file.get(), stream) < 0) {
            log.debug("DumpFileTimeAndVer() : cannot put '%s' on descriptor %d - %d", currentLog,
                      stream, errno);
            return false;
        }
    }
    return true;
}

// An instance name holding '/', or "." or "..", would put the log in
// another directory.
bool fitsAFileName(const char* instanceName)
{
    return std::strchr(instanceName, '/') == nullptr && std::strcmp(instanceName, ".") != 0 &&
           std::strcmp(instanceName, "..") != 0;
}

void writeBanner(const char* executable)
{
    tzset();  // the zone as the environment names it now
    const std::time_t now = std::time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    // Room for any int the fields can hold, so nothing is ever cut.
    FixedText<40> date;
    FixedText<40> time;
    date.format("%.2d/%.2d/%.4d", local.tm_mon + 1, local.tm_mday, local.tm_year + 1900);
    time.format("%.2d:%.2d:%.2d", local.tm_hour, local.tm_min, local.tm_sec);
    std::printf("\n\n===== %s %s '%s' (pid %d) =====\n", date.c_str(), time.c_str(), executable,
                static_cast<int>(getpid()));
    std::fflush(stdout);
}

// The path of the running executable, through its /proc link.
bool readExecutable(EvDebug& log, PathText& executable)
{
    PathText exeLink;
    exeLink.format("/proc/%d/exe", static_cast<int>(getpid()));
    int error = 0;
    const ssize_t length = executable.fill([&](char* buffer, size_t size) {
        const ssize_t n = readlink(exeLink.c_str(), buffer, size);
        error = errno;
        return n;
    });
    if (length <= 0)
        return refuse(log, "DumpFileTimeAndVer()->readlink() error - %d", error);
    if (static_cast<size_t>(length) >= kBufferSize)
        return refuse(log, "DumpFileTimeAndVer() : executable path does not fit %zu bytes", kBufferSize);
    return true;
}

bool logExecutable(EvDebug& log, const char* executable)
{
    struct stat st {};
    if (stat(executable, &st) != 0)
        return refuse(log, "stat on '%s' failed - %d", executable, errno);
    log.debug("File <%s> Size=%d, ModTime=%ld", executable, static_cast<int>(st.st_size),
              static_cast<long>(st.st_mtime));
    return true;
}

// Sends standard output and error into the log of this executable and
// installation instance, rotating it first when it is large.
void redirectToLog(EvDebug& log, KRPI_CommClient& platform, const char* executable)
{
    const char* slash = std::strrchr(executable, '/');
    if (slash == nullptr)
        log.debug("DumpFileTimeAndVer() : Couldn't get filename ");
    const char* baseName = slash != nullptr ? slash + 1 : executable;

    PathText instanceName;
    if (!instanceName.fill([](char* buffer, size_t size) {
            return GetInstanceName(buffer, static_cast<unsigned>(size));
        }))
        log.debug("DumpFileTimeAndVer() : error in GetInstanceName()");
    if (!fitsAFileName(instanceName.c_str())) {
        log.debug("DumpFileTimeAndVer() : instance name '%s' cannot be part of a file name; output not "
                  "redirected",
                  instanceName.c_str());
        return;
    }

    PathText currentLog;
    if (!currentLog.format("%s/%s_%s_NotesAPI.log", platform.getLogFilesDirectory().c_str(), baseName,
                           instanceName.c_str())) {
        log.debug("DumpFileTimeAndVer() : log name does not fit %zu bytes; output not redirected",
                  kBufferSize);
        return;
    }
    if (rotateWhenLarge(log, platform, currentLog.c_str(), baseName, instanceName.c_str()) ==
            Outcome::Refuse ||
        !redirectInto(log, currentLog.c_str()))
        return;
    writeBanner(executable);
    log.debug("Notes API output will be logged into [%s]", currentLog.c_str());
}

void dump(const char* name, int redirect)
{
    if (name != nullptr)
        return;
    EvEvent log;
    PathText executable;
    if (!readExecutable(log, executable) || !logExecutable(log, executable.c_str()) || redirect == 0)
        return;
    KRPI_CommClient platform;
    platform.setFocus(KRPI_Focus::getFocus());
    if (platform.invalidKRPlatform() != 0)
        return;
    redirectToLog(log, platform, executable.c_str());
}

}  // namespace

void DumpFileTimeAndVer(const char* name, int redirect)
{
    lndb::guardedVoid("DumpFileTimeAndVer", [&] { dump(name, redirect); });
}
