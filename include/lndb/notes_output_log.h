// The per-executable Notes API output log.
#pragma once

#include "export.h"

// With a null `name`: logs the running executable's path, size and time and,
// when `redirect` is non-zero, appends the process's standard output and
// standard error to <log dir>/<exe>_<instance>_NotesAPI.log (rotated once it
// passes 5 MiB) under a start banner. A non-null `name` does nothing.
LNDB_API void DumpFileTimeAndVer(const char* name, int redirect);
