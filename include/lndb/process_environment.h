// The process environment of a Notes process: user switch and variables.
#pragma once

#include "export.h"

// Copies the value of `name` into `buffer` and returns its length; returns 0
// when the variable is not set, and the needed size (length + 1) when the
// value does not fit `size`, leaving `buffer` untouched.
LNDB_API unsigned int GetEnvironmentVariable(const char* name, char* buffer, unsigned int size);

// Sets `name` to `value` in the process environment; 1 on success, else 0.
LNDB_API int SetEnvironmentVariable(const char* name, const char* value);

// Gives `subclientDir` (may be null) to `user`, switches the process's groups,
// group and user to `user`, and sets LOTUS, Notes_ExecDirectory,
// NOTES_DATA_DIR and extends LD_LIBRARY_PATH and PATH. True when all of it
// succeeded. Process-wide and permanent. The hand-over of `subclientDir`
// follows only symbolic links that root owns, and gives only a directory;
// when it cannot be made, a debug line says so and the call goes on.
LNDB_API bool prepareUnixExecEnv(char* user, char* homeDir, char* dataDir, char* subclientDir);
