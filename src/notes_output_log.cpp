// The Notes API output log: records which executable the process runs and
// sends its standard output and standard error into a log of its own, one per
// executable name and installation instance, rotated once past 5 MiB.

#include "lndb/notes_output_log.h"

#include "lndb/instance_name.h"

#include "EvDebug.h"
#include "KRPI.h"
#include "internal/format.h"
#include "internal/guard.h"
#include "internal/scoped_fd.h"

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

using lndb::formatInto;
using lndb::ScopedFd;

// Processes of one executable name share the log: the lock on the log
// directory lets only one of them rotate it, so that a second rotation cannot
// remove the previous log that the first has just made. Without the lock
// (a directory that cannot be opened) the rotation goes on unguarded.
class RotationLock {
public:
    explicit RotationLock(const std::string& directory)
        : directory_(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (directory_.get() >= 0) {
            while (flock(directory_.get(), LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    // Closing the directory releases the lock.

private:
    ScopedFd directory_;
};

// Moves a current log larger than the limit to the previous-log name.
// False when the previous-log name does not fit its buffer.
bool rotateWhenLarge(EvDebug& log, KRPI_CommClient& platform, const char* currentLog,
                     const char* baseName, const char* instanceName)
{
    const RotationLock lock(platform.getLogFilesDirectory());
    struct stat st {};
    if (stat(currentLog, &st) != 0) {
        log.debug("stat on '%s' failed - %d", currentLog, errno);
        return true;
    }
    if (st.st_size <= kRotationSize)
        return true;
    log.debug("Size of '%s': %d", currentLog, static_cast<int>(st.st_size));
    char previousLog[kBufferSize];
    if (!formatInto(previousLog, "%s/Old_%s_%s_NotesAPI.log",
                    platform.getLogFilesDirectory().c_str(), baseName, instanceName)) {
        log.debug("DumpFileTimeAndVer() : previous log name does not fit %zu bytes; output not redirected",
                  kBufferSize);
        return false;
    }
    unlink(previousLog);
    if (rename(currentLog, previousLog) != 0)
        log.debug("renaming '%s' failed - %d", currentLog, errno);
    return true;
}

// Puts the current log onto descriptors 1 and 2. The log is opened first, so
// that a log that cannot be opened leaves both streams as they were.
bool redirectInto(EvDebug& log, const char* currentLog)
{
    const ScopedFd file(open(currentLog, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (file.get() < 0) {
        const int error = errno;
        log.debug("DumpFileTimeAndVer() : cannot open '%s' - %d (%s); standard output and error left as they were",
                  currentLog, error, std::strerror(error));
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

void writeBanner(const char* executable)
{
    tzset();  // the zone as the environment names it now
    const std::time_t now = std::time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    // Room for any int the fields can hold, so nothing is ever cut.
    char date[40];
    char time[40];
    std::snprintf(date, sizeof date, "%.2d/%.2d/%.4d", local.tm_mon + 1, local.tm_mday,
                  local.tm_year + 1900);
    std::snprintf(time, sizeof time, "%.2d:%.2d:%.2d", local.tm_hour, local.tm_min, local.tm_sec);
    std::printf("\n\n===== %s %s '%s' (pid %d) =====\n", date, time, executable,
                static_cast<int>(getpid()));
    std::fflush(stdout);
}

void dump(const char* name, int redirect)
{
    if (name != nullptr)
        return;
    EvEvent log;

    char exeLink[kBufferSize];
    std::snprintf(exeLink, sizeof exeLink, "/proc/%d/exe", static_cast<int>(getpid()));
    char executable[kBufferSize];
    const ssize_t length = readlink(exeLink, executable, sizeof executable);
    if (length <= 0) {
        log.debug("DumpFileTimeAndVer()->readlink() error - %d", errno);
        return;
    }
    if (static_cast<size_t>(length) >= sizeof executable) {
        log.debug("DumpFileTimeAndVer() : executable path does not fit %zu bytes", kBufferSize);
        return;
    }
    executable[length] = '\0';
    struct stat st {};
    if (stat(executable, &st) != 0) {
        log.debug("stat on '%s' failed - %d", executable, errno);
        return;
    }
    log.debug("File <%s> Size=%d, ModTime=%ld", executable, static_cast<int>(st.st_size),
              static_cast<long>(st.st_mtime));
    if (redirect == 0)
        return;

    KRPI_CommClient platform;
    platform.setFocus(KRPI_Focus::getFocus());
    if (platform.invalidKRPlatform() != 0)
        return;

    const char* slash = std::strrchr(executable, '/');
    if (slash == nullptr)
        log.debug("DumpFileTimeAndVer() : Couldn't get filename ");
    const char* baseName = slash != nullptr ? slash + 1 : executable;

    char instanceName[kBufferSize] = {};
    if (!GetInstanceName(instanceName, sizeof instanceName))
        log.debug("DumpFileTimeAndVer() : error in GetInstanceName()");

    char currentLog[kBufferSize];
    if (!formatInto(currentLog, "%s/%s_%s_NotesAPI.log", platform.getLogFilesDirectory().c_str(),
                    baseName, instanceName)) {
        log.debug("DumpFileTimeAndVer() : log name does not fit %zu bytes; output not redirected",
                  kBufferSize);
        return;
    }
    if (!rotateWhenLarge(log, platform, currentLog, baseName, instanceName))
        return;
    if (!redirectInto(log, currentLog))
        return;
    writeBanner(executable);
    log.debug("Notes API output will be logged into [%s]", currentLog);
}

}  // namespace

void DumpFileTimeAndVer(const char* name, int redirect)
{
    lndb::guardedVoid("DumpFileTimeAndVer", [&] { dump(name, redirect); });
}
