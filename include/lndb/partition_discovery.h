// Domino partition discovery.
#pragma once

#include "export.h"

// `instance` is "<instance name>\x12<data directory>". Finds the partition's
// data directory, program directory and user in the configuration store,
// checks that its notes.ini exists and prepares the process environment for
// it. `dataDirOut` and `homeDirOut` hold 1,024 bytes each, `notesIniOut` the
// data directory's length plus 11. `subclientDir` may be null.
LNDB_API bool findDataPartition(char* instance, char* dataDirOut, char* homeDirOut,
                                char* notesIniOut, char* subclientDir);
