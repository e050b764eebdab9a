// Settings and counters that the agent's processes share through the
// library. The library's own operations neither read nor write them.
#pragma once

#include "export.h"

LNDB_API extern int loggingLevel;       // 1 at load
LNDB_API extern int numOfDbBackedUp;    // 0 at load
LNDB_API extern int reinitializeThres;  // 0 at load
LNDB_API extern int showAllErrors;      // 0 at load
