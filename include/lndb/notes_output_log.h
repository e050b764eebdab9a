// The per-executable Notes API output log.
#pragma once

#include "export.h"

// With a null `name`: logs the running executable's path, size and time and,
// when `redirect` is non-zero, appends the process's standard output and
// standard error to <log dir>/<exe>_<instance>_NotesAPI.log (rotated once it
// passes 5 MiB) under a start banner. A non-null `name` does nothing.
// The streams stay as they were (with a debug line saying why) when the log
// is a link or anything but a regular file with one link, when the instance
// name holds '/' or is "." or "..", and when the log is over its limit but
// cannot be rotated; a rotation that another process is making is not waited
// for (this call appends).
LNDB_API void DumpFileTimeAndVer(const char* name, int redirect);
