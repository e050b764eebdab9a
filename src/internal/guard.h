// Keeps exceptions (in practice std::bad_alloc from the platform's strings)
// from crossing an exported function: the failure is logged and the call
// answers its documented failure result.
#pragma once

#include <exception>
#include <utility>

namespace lndb {

// Writes one untagged debug line naming the function and the failure; never
// throws.
void logUnexpectedFailure(const char* function, const char* what) noexcept;

// The same line through DebugLvl at level 0 with the function's name as tag,
// as the partition service writes all its lines; never throws.
void logUnexpectedFailureTagged(const char* function, const char* what) noexcept;

// The text of the exception being handled ("unknown exception" for one that
// is no std::exception). Call only inside a catch block.
const char* currentFailure() noexcept;

template <class Result, class Body>
Result guarded(const char* function, Result onFailure, Body&& body) noexcept
{
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        logUnexpectedFailure(function, currentFailure());
    }
    return onFailure;
}

template <class Body>
void guardedVoid(const char* function, Body&& body) noexcept
{
    try {
        std::forward<Body>(body)();
    } catch (...) {
        logUnexpectedFailure(function, currentFailure());
    }
}

}  // namespace lndb
