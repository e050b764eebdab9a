// Quoting for /bin/sh command lines.
#pragma once

#include <string>
#include <string_view>

namespace common {

inline bool isShellSafe(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '@' || c == '%' || c == '+' || c == '=' || c == ':' || c == ',' || c == '.' ||
           c == '/' || c == '_' || c == '-';
}

// The text as one word of a /bin/sh command line: unchanged when every
// character is safe, else in single quotes with each ' written as '"'"'.
// An empty text is '' so that it stays one (empty) argument and the words
// after it keep their places.
inline std::string shellWord(std::string_view text)
{
    bool safe = !text.empty();
    for (char c : text)
        safe = safe && isShellSafe(c);
    if (safe)
        return std::string(text);
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\"'\"'";
        else
            quoted += c;
    }
    return quoted + "'";
}

}  // namespace common
