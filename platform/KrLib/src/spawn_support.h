// Building blocks of the process runner: descriptors, monotonic deadlines,
// posix_spawn with a clean child, and waiting for a child with a time limit.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>

namespace krlib {

// A descriptor closed with the object.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() noexcept;
    void reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

// A point on the monotonic clock, or none (wait for as long as it takes).
class Deadline {
public:
    static Deadline never() { return Deadline(); }
    static Deadline after(std::chrono::milliseconds span);

    bool passed() const;
    // Milliseconds for poll(): -1 without a deadline, else what is left,
    // rounded up so the deadline is never cut short.
    int pollTimeout() const;
    // What is left, or nothing without a deadline.
    std::optional<std::chrono::nanoseconds> remaining() const;

private:
    std::optional<std::chrono::steady_clock::time_point> at_;
};

// The system's message for an errno value (thread-safe).
std::string errnoText(int error);

// The text with line breaks replaced, so an error stays on one line.
std::string oneLine(const char* text);

// How a child is started. Standard input is always /dev/null and no
// descriptor beyond 0, 1 and 2 reaches the child.
struct SpawnOptions {
    int stdoutFd = -1;  // -1: the caller's standard output
    int stderrFd = -1;  // -1: the caller's standard error
    bool ownProcessGroup = false;
};

// posix_spawn of `path` with `argv` and the caller's environment; signal
// dispositions back to their defaults and an empty signal mask, so a caller
// that ignores SIGPIPE or SIGCHLD does not pass that on. Returns 0 or the
// errno value of the failure (exec failures included).
int spawnChild(pid_t* pid, const char* path, char* const argv[], const SpawnOptions& options);

// A pidfd for the child, or an invalid descriptor when the kernel has none.
UniqueFd openPidfd(pid_t pid);

enum class WaitResult { Ended, TimedOut, Failed };

// Waits for the child until the deadline and reaps it, retrying on EINTR.
// Ended: `*status` holds the raw wait status. Failed: `*error` holds the
// errno value (ECHILD when the child was reaped elsewhere, as happens when
// the host ignores SIGCHLD). Without a pidfd (-1), waitpid(WNOHANG) is
// polled between short sleeps.
WaitResult waitForChild(pid_t pid, int pidfd, const Deadline& deadline, int* status, int* error);

}  // namespace krlib
