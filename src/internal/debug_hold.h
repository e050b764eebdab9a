// The debug hold: lets an operator stop a call at its start (to attach a
// debugger) by creating a file, and release it by removing the file.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

namespace lndb {

inline constexpr const char* kDebugHoldPath = "/tmp/lndb_debug";

// True when `path` holds calls: a regular file (a symbolic link does not
// count and is not followed) owned by root or by the process's effective
// user. Anyone can create files in /tmp, so a file of another owner must not
// be able to stall a root agent.
inline bool debugHoldPresent(const char* path)
{
    struct stat st {};
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return st.st_uid == 0 || st.st_uid == geteuid();
}

// Waits, checking once per second, while `path` is a hold file
// (debugHoldPresent). When a hold is found, "sleeping: Please remove the file
// <path> to proceed\n" is written to standard output once.
void waitAtDebugHold(const char* path = kDebugHoldPath);

}  // namespace lndb
