// Installation instance name.
#pragma once

#include "export.h"

// Reads ORRERY_INST="<name>" from ../orrery_vm relative to the working
// directory into `out` (`size` 12..1,024). Falls back to "Instance001": true
// when the file is missing, false when it names no instance.
LNDB_API bool GetInstanceName(char* out, unsigned int size);
