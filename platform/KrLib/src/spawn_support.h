// Building blocks of the process runner: descriptors, monotonic deadlines,
// posix_spawn with a clean child, and waiting for a child with a time limit.
#pragma once

#include "deadline.h"
#include "system_error.h"
#include "unique_fd.h"

#include <string>
#include <sys/types.h>

namespace krlib {

using common::Deadline;
using common::errnoText;

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
