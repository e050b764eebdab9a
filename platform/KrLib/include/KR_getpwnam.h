// User lookup of the agent platform.
#pragma once

#include "KrLibExport.h"

#include <pwd.h>

// A passwd entry together with the storage for its strings.
struct KRPasswdRecord {
    struct passwd entry;
    char strings[4096];
};

// getpwnam_r into the record; null with errno set (ENOENT when there is no
// such user).
KRLIB_API struct passwd* KR_getpwnam(const char* name, KRPasswdRecord* record);
