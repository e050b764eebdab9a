// Typed values of the agent's configuration store, section LotusNotesDBAgent.
//
// The value name says the type written to `out`: a name beginning with "n"
// gives a 32-bit int (4 bytes), one beginning with "ll" a 64-bit integer
// (8 bytes), any other the text and its NUL (at most 1,024 bytes).
#pragma once

#include "export.h"

// Reads `valueName`, or "<valueName>_<partition>" when `partition` is not
// null. True when the store had the value.
LNDB_API bool GetLndbUnixRegValue(unsigned char* out, const char* valueName, const char* partition);

// Registry-style reads for the agent's other components; the keys and `size`
// are not used. 1 when the value was read, else 0. GetVMRegistryValue takes
// only names beginning with "n" (a 32-bit number is all `value` holds) and
// answers 0 for any other.
LNDB_API int GetRegistryValue(const char* key, const char* valueName, unsigned char* out,
                              unsigned int size);
LNDB_API int GetVMRegistryValue(const char* key, const char* valueName, unsigned int& value);
LNDB_API int GetRegistryValueWithAlt(const char* key, const char* altKey, const char* valueName,
                                     unsigned char* out, unsigned int size);
