// Texts of system errors and of outside values for one-line messages.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

namespace common {

// The system's message for an errno value (thread-safe).
inline std::string errnoText(int error)
{
    char buffer[256];
    // GNU strerror_r: answers a pointer to the text, not always `buffer`.
    return strerror_r(error, buffer, sizeof buffer);
}

// "<what>: <the system's message for `error`>" (errno unless given).
inline std::string systemError(std::string_view what, int error = errno)
{
    std::string text = errnoText(error);
    return std::string(what) + ": " + text;
}

// The text with control characters shown as '?', for one-line messages.
inline std::string printable(std::string_view text)
{
    std::string shown(text);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    return shown;
}

}  // namespace common
