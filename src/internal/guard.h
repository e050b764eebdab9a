// Keeps exceptions (in practice std::bad_alloc from the platform's strings)
// from crossing an exported function: the failure is logged and the call
// answers its documented failure result.
#pragma once

#include <exception>
#include <utility>

namespace lndb {

// Writes one debug line naming the function and the failure; never throws.
void logUnexpectedFailure(const char* function, const char* what) noexcept;

template <class Result, class Body>
Result guarded(const char* function, Result onFailure, Body&& body) noexcept
{
    try {
        return std::forward<Body>(body)();
    } catch (const std::exception& e) {
        logUnexpectedFailure(function, e.what());
    } catch (...) {
        logUnexpectedFailure(function, "unknown exception");
    }
    return onFailure;
}

template <class Body>
void guardedVoid(const char* function, Body&& body) noexcept
{
    try {
        std::forward<Body>(body)();
    } catch (const std::exception& e) {
        logUnexpectedFailure(function, e.what());
    } catch (...) {
        logUnexpectedFailure(function, "unknown exception");
    }
}

}  // namespace lndb
