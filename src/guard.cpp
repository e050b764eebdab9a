#include "internal/guard.h"

#include "EvDebug.h"

namespace lndb {

void logUnexpectedFailure(const char* function, const char* what) noexcept
{
    try {
        EvDebug log(nullptr);
        log.debug("%s: unexpected failure: %s", function, what);
    } catch (...) {
        // Nothing more can be done without memory to log with.
    }
}

}  // namespace lndb
