#include "spawn_support.h"

#include "safe_files.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace krlib {

std::string oneLine(const char* text)
{
    std::string line = text != nullptr ? text : "";
    std::replace_if(line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, '?');
    return line;
}

namespace {

// posix_spawn attributes and file actions, destroyed with the object.
class SpawnSetup {
public:
    SpawnSetup()
    {
        attrError_ = posix_spawnattr_init(&attr_);
        actionsError_ = posix_spawn_file_actions_init(&actions_);
    }
    ~SpawnSetup()
    {
        if (attrError_ == 0)
            posix_spawnattr_destroy(&attr_);
        if (actionsError_ == 0)
            posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // Returns 0 or an errno value.
    int prepare(const SpawnOptions& options)
    {
        if (attrError_ != 0)
            return attrError_;
        if (actionsError_ != 0)
            return actionsError_;

        sigset_t all;
        sigset_t none;
        sigfillset(&all);
        sigemptyset(&none);
        short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
        if (options.ownProcessGroup)
            flags |= POSIX_SPAWN_SETPGROUP;
        int rc = posix_spawnattr_setsigdefault(&attr_, &all);
        if (rc == 0)
            rc = posix_spawnattr_setsigmask(&attr_, &none);
        if (rc == 0 && options.ownProcessGroup)
            rc = posix_spawnattr_setpgroup(&attr_, 0);
        if (rc == 0)
            rc = posix_spawnattr_setflags(&attr_, flags);

        if (rc == 0)
            rc = posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (rc == 0 && options.stdoutFd >= 0)
            rc = posix_spawn_file_actions_adddup2(&actions_, options.stdoutFd, STDOUT_FILENO);
        if (rc == 0 && options.stderrFd >= 0)
            rc = posix_spawn_file_actions_adddup2(&actions_, options.stderrFd, STDERR_FILENO);
        // The caller's descriptors without O_CLOEXEC must not reach the child
        // either.
        if (rc == 0)
            rc = posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
        return rc;
    }

    const posix_spawnattr_t* attr() const { return &attr_; }
    const posix_spawn_file_actions_t* actions() const { return &actions_; }

private:
    posix_spawnattr_t attr_;
    posix_spawn_file_actions_t actions_;
    int attrError_;
    int actionsError_;
};

// Reaps a child known to have ended (or reaped elsewhere: ECHILD).
WaitResult reap(pid_t pid, int* status, int* error)
{
    for (;;) {
        const pid_t rc = waitpid(pid, status, 0);
        if (rc == pid)
            return WaitResult::Ended;
        if (rc < 0 && errno == EINTR)
            continue;
        *error = rc < 0 ? errno : ECHILD;
        return WaitResult::Failed;
    }
}

WaitResult waitWithPidfd(pid_t pid, int pidfd, const Deadline& deadline, int* status, int* error)
{
    for (;;) {
        pollfd entry{pidfd, POLLIN, 0};
        const int n = poll(&entry, 1, deadline.pollTimeout());
        if (n > 0)
            return reap(pid, status, error);
        if (n < 0 && errno != EINTR) {
            *error = errno;
            return WaitResult::Failed;
        }
        if (n == 0 && deadline.passed())
            return WaitResult::TimedOut;
    }
}

// Without a pidfd: waitpid(WNOHANG) between sleeps that grow from 1 to 10 ms.
WaitResult waitByPolling(pid_t pid, const Deadline& deadline, int* status, int* error)
{
    std::chrono::nanoseconds pause = std::chrono::milliseconds(1);
    for (;;) {
        const pid_t rc = waitpid(pid, status, WNOHANG);
        if (rc == pid)
            return WaitResult::Ended;
        if (rc < 0 && errno != EINTR) {
            *error = errno;
            return WaitResult::Failed;
        }
        if (rc == 0) {
            if (deadline.passed())
                return WaitResult::TimedOut;
            const auto left = deadline.remaining();
            const auto nap = left ? std::min(pause, *left) : pause;
            timespec ts{static_cast<time_t>(nap.count() / 1000000000),
                        static_cast<long>(nap.count() % 1000000000)};
            nanosleep(&ts, nullptr);  // EINTR only shortens the pause
            pause = std::min<std::chrono::nanoseconds>(pause * 2, std::chrono::milliseconds(10));
        }
    }
}

}  // namespace

int spawnChild(pid_t* pid, const char* path, char* const argv[], const SpawnOptions& options)
{
    SpawnSetup setup;
    const int rc = setup.prepare(options);
    if (rc != 0)
        return rc;
    return posix_spawn(pid, path, setup.actions(), setup.attr(), argv, environ);
}

UniqueFd openPidfd(pid_t pid)
{
    // pidfds are always close-on-exec; kept at 3 or above, where no standard
    // stream of a process started with one closed can land on it.
    const long fd = syscall(SYS_pidfd_open, pid, 0);
    return UniqueFd(safefiles::aboveStandardStreams(fd >= 0 ? static_cast<int>(fd) : -1));
}

WaitResult waitForChild(pid_t pid, int pidfd, const Deadline& deadline, int* status, int* error)
{
    if (pidfd >= 0)
        return waitWithPidfd(pid, pidfd, deadline, status, error);
    return waitByPolling(pid, deadline, status, error);
}

}  // namespace krlib
