// Partition administration service: add or delete a Domino partition on
// request from the agent's network.
#pragma once

#include "export.h"

#include <string>

class CKrNetwork;

extern "C" {

// Receives one LotusNotesPartitionReq on `connection`, runs the
// NotesPostInstall script of the base home directory and answers with one
// KRGui::GenericResp on the same connection, on every path (an unexpected
// failure is answered with errorCode 1 and its reason). `word` is ignored.
// Safe to call on several threads at once, one connection each.
LNDB_API void AddorDeletePartition(CKrNetwork* connection, unsigned long long word);

}  // extern "C"

// Runs "<BaseHomeDirectory>/NotesPostInstall delPartition N first" (operation
// 0) or "... addPartition N first second third" (operation 1). Returns 0 when
// the script returned status 0, else 1; `errorText` receives the script's
// error output (at most 64 KiB of it, marked with what was left out) when it
// ran and failed, or the reason it was not run or did not finish.
LNDB_API int RunPostInstallScript(std::string& errorText, int operation, int partitionNumber,
                                  const char* first, const char* second, const char* third);
