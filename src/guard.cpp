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

void logUnexpectedFailureTagged(const char* function, const char* what) noexcept
{
    try {
        EvDebug log(nullptr);
        log.DebugLvl(function, 0, "unexpected failure: %s", what);
    } catch (...) {
        // As above.
    }
}

const char* currentFailure() noexcept
{
    // The exception object lives on while the caller's handler runs.
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace lndb
