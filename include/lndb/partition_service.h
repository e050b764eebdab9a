// Partition administration service: add or delete a Domino partition on
// request from the agent's network.
#pragma once

#include "export.h"

#include <string>

class CKrNetwork;

extern "C" {

// Receives one LotusNotesPartitionReq on `connection`, runs the
// NotesPostInstall script of the base home directory and answers with one
// KRGui::GenericResp on the same connection. `word` is ignored.
LNDB_API void AddorDeletePartition(CKrNetwork* connection, unsigned long long word);

}  // extern "C"

// Runs "<BaseHomeDirectory>/NotesPostInstall delPartition N first" (operation
// 0) or "... addPartition N first second third" (operation 1). Returns 0 when
// the script returned status 0, else 1; `errorText` receives the script's
// error output when it ran and failed, or the reason it was not run.
LNDB_API int RunPostInstallScript(std::string& errorText, int operation, int partitionNumber,
                                  const char* first, const char* second, const char* third);
