// Process runner of the agent platform, on posix_spawn.
//
// Children take /dev/null as standard input and inherit no descriptor beyond
// 0, 1 and 2; no fork(), so the caller's memory is never copied.
#pragma once

#include "KrLibExport.h"

#include <cstddef>
#include <string>
#include <sys/types.h>

class KRLIB_API KrProcess {
public:
    KrProcess();
    ~KrProcess();
    KrProcess(const KrProcess&) = delete;
    KrProcess& operator=(const KrProcess&) = delete;

    // Starts `program` (an absolute path) with no shell. The argument vector
    // comes from `commandLine`: when it begins with `program`, that prefix is
    // argument 0; the rest is split at blanks outside double quotes; double
    // quotes group and are removed; there are no escapes. False with a
    // one-line `*error` naming the program when it cannot be executed.
    bool StartProcess(const char* program, const char* commandLine, std::string* error, int flags);

    // Waits for the started child: `timeout` -1 for as long as it takes, a
    // positive value in milliseconds (monotonic clock), after which it answers
    // false and leaves the child running. `*exitCode` is the exit status, or
    // 128 + the signal number.
    bool WaitForProcessToEnd(int* exitCode, std::string* error, int timeout);

    // Runs /bin/sh -c `command`, reads both outputs to their ends at once,
    // and returns the raw wait status (0 = success; -1 when it could not be
    // run, with the reason in *err). Of each output the first
    // kMaxKeptOutput bytes are kept; the rest is read and dropped, so the
    // command never blocks on a full pipe and the caller's memory stays
    // bounded; outputSize() and errorSize() say how much there was.
    // `timeoutSeconds` 0 means no limit; on expiry the child's process group
    // is killed. `flag` has no effect.
    int system(const char* command, std::string* out, std::string* err, int timeoutSeconds, bool flag);

    static constexpr std::size_t kMaxKeptOutput = 1024 * 1024;

    // Bytes the command of the last system() call wrote to its standard
    // output and standard error, kept or dropped.
    unsigned long long outputSize() const { return outputSize_; }
    unsigned long long errorSize() const { return errorSize_; }

    // Character-buffer forms of the two calls above, for callers that keep
    // their error text in a fixed buffer. Defined inside liblndb and not
    // exported from it.
    KRLIB_LOCAL bool StartProcess(const char* program, const char* commandLine, char* error,
                                  int errorLength, int flags);
    KRLIB_LOCAL bool WaitForProcessToEnd(int& exitCode, char* error, int errorLength, int timeout);

    // Process id of the started child, or -1.
    pid_t pid() const { return pid_; }

private:
    KRLIB_LOCAL void forgetChild() noexcept;

    pid_t pid_ = -1;
    unsigned long long outputSize_ = 0;
    unsigned long long errorSize_ = 0;
    int pidfd_ = -1;       // -1 when the kernel gave none: the wait polls instead
    std::string program_;  // of the started child, for error texts
};
