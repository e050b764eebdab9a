// Discovery launch: starts the discovery tool that serves a browse request.
#pragma once

#include "export.h"

extern "C" {

// Starts the discovery tool of `appType` from the install directory with
//   <tool> -browse "client|appType|instanceName|path|sequenceNumber"
// and waits for it to end. Backslashes in `path` are rewritten to slashes in
// place. Returns 0 when the tool ran (whatever its exit status) or when
// `appType` is unknown (nothing started), 3 when the tool could not be
// started, the request does not fit the command-line buffers, a field holds
// a double quote (it would split the tool's argument) or the install
// directory is not an absolute path; nothing is started in those cases.
LNDB_API int browse(char* path, long long sequenceNumber, char* client, char* instanceName,
                    int appType);

}  // extern "C"
