// A point on the monotonic clock by which a wait must end, or none.
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>
#include <optional>

namespace common {

class Deadline {
public:
    static Deadline never() { return Deadline(); }
    static Deadline after(std::chrono::milliseconds span)
    {
        Deadline deadline;
        deadline.at_ = std::chrono::steady_clock::now() + span;
        return deadline;
    }

    bool passed() const { return at_ && std::chrono::steady_clock::now() >= *at_; }
    // What is left, or nothing without a deadline.
    std::optional<std::chrono::nanoseconds> remaining() const
    {
        if (!at_)
            return std::nullopt;
        return std::max(std::chrono::nanoseconds(0), *at_ - std::chrono::steady_clock::now());
    }
    // Milliseconds for poll(): -1 without a deadline, 0 once it has passed,
    // else what is left rounded up, so the deadline is never cut short.
    int pollTimeout() const
    {
        const auto left = remaining();
        if (!left)
            return -1;
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*left).count();
        return static_cast<int>(std::min<long long>(ms, INT_MAX));
    }

private:
    std::optional<std::chrono::steady_clock::time_point> at_;
};

}  // namespace common
