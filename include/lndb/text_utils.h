// Text and file-name utilities.
#pragma once

#include "export.h"

// Blanks, in place, the bytes a file name must not hold: 0x01-0x1F, 0xFF and
// \ / : * ? " < > | %. A null text is left alone.
LNDB_API void KRNormalizeText(char* text);

// Lower-cases `text` in place under the current locale; returns `text`.
LNDB_API char* strlwr(char* text);

// A short log name from a path: the base name cut at its first '.' that
// follows a character other than '.'. Null when that leaves fewer than two
// characters. The caller releases the result with free().
LNDB_API char* GetLogFilename(const char* path);
