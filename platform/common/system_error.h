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

// The text with control characters shown as \xNN (the 0x12 of an instance
// string reads "\x12"), for showing a value to an operator exactly.
inline std::string escapedControls(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            shown += "\\x";
            shown += kHex[byte >> 4];
            shown += kHex[byte & 0xF];
        } else {
            shown += c;
        }
    }
    return shown;
}

}  // namespace common
