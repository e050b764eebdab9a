// The fixed buffers of the library: a text of fixed capacity on the stack
// that is never overrun, and the refusal line of a text that does not fit.
#pragma once

#include "EvDebug.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace lndb {

// `Capacity` bytes, the closing NUL among them, zero-filled at the start.
// Every change keeps the text NUL-terminated and answers false, leaving the
// text as it was, when the result would not fit.
template <std::size_t Capacity>
class FixedText {
    static_assert(Capacity > 0);

public:
    static constexpr std::size_t kMaxLength = Capacity - 1;  // the longest text that fits

    const char* c_str() const { return text_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    bool assign(std::string_view text)
    {
        if (text.size() > kMaxLength)
            return false;
        size_ = 0;
        return append(text);
    }

    bool append(std::string_view text)
    {
        if (text.size() > kMaxLength - size_)
            return false;
        std::memcpy(text_ + size_, text.data(), text.size());
        size_ += text.size();
        text_[size_] = '\0';
        return true;
    }

    // Replaces the text with the printf-style text.
    __attribute__((format(printf, 2, 3))) bool format(const char* format, ...)
    {
        char formatted[Capacity];
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(formatted, Capacity, format, args);
        va_end(args);
        if (n < 0 || static_cast<std::size_t>(n) > kMaxLength)
            return false;
        std::memcpy(text_, formatted, static_cast<std::size_t>(n) + 1);
        size_ = static_cast<std::size_t>(n);
        return true;
    }

    // Lets `writer(buffer, Capacity)` write a text into the buffer (an API
    // that fills a caller's buffer) and answers its result. A text left
    // without its NUL is cut to the capacity.
    template <class Writer>
    auto fill(Writer writer)
    {
        const auto result = writer(text_, Capacity);
        size_ = strnlen(text_, Capacity);
        if (size_ == Capacity)
            text_[--size_] = '\0';
        return result;
    }

    // Copies the text with its NUL into `out` of `size` bytes; false, with
    // nothing written, when it does not fit.
    bool copyTo(char* out, std::size_t size) const
    {
        if (size_ >= size)
            return false;
        std::memcpy(out, text_, size_ + 1);
        return true;
    }

private:
    char text_[Capacity] = {};
    std::size_t size_ = 0;
};

// Writes a refusal's untagged debug line and answers false, so that a refused
// step reads as one statement: `return refuse(log, "...", ...);`.
bool refuse(EvDebug& log, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace lndb
