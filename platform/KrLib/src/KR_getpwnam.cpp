// User lookup: getpwnam_r into the caller's record.

#include "KR_getpwnam.h"

#include <cerrno>

struct passwd* KR_getpwnam(const char* name, KRPasswdRecord* record)
{
    if (name == nullptr || record == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    struct passwd* found = nullptr;
    const int rc = getpwnam_r(name, &record->entry, record->strings, sizeof record->strings, &found);
    if (rc != 0) {
        errno = rc;  // ERANGE when the entry's strings do not fit the record
        return nullptr;
    }
    if (found == nullptr) {
        errno = ENOENT;
        return nullptr;
    }
    return found;
}
