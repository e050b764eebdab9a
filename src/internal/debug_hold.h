// The debug hold: lets an operator stop a call at its start (to attach a
// debugger) by creating a file, and release it by removing the file.
#pragma once

namespace lndb {

inline constexpr const char* kDebugHoldPath = "/tmp/lndb_debug";

// Waits, checking once per second, while `path` is a hold file: a regular
// file (a symbolic link does not count and is not followed) owned by root or
// by the process's effective user. Anyone can create files in /tmp, so a file
// of another owner must not be able to stall a root agent. When a hold is
// found, "sleeping: Please remove the file <path> to proceed\n" is written to
// standard output once.
void waitAtDebugHold(const char* path = kDebugHoldPath);

}  // namespace lndb
