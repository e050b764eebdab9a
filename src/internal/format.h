// Formatting into the fixed buffers the library works with.
#pragma once

#include <cstddef>
#include <cstdio>

namespace lndb {

// snprintf that reports whether the whole text fit `size` bytes.
template <class... Args>
bool formatInto(char* buffer, std::size_t size, const char* format, Args... args)
{
    const int n = std::snprintf(buffer, size, format, args...);
    return n >= 0 && static_cast<std::size_t>(n) < size;
}

template <std::size_t Size, class... Args>
bool formatInto(char (&buffer)[Size], const char* format, Args... args)
{
    return formatInto(buffer, Size, format, args...);
}

}  // namespace lndb
