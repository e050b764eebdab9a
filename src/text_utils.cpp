#include "lndb/text_utils.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

void KRNormalizeText(char* text)
{
    if (text == nullptr)
        return;
    static constexpr char kForbidden[] = "\\/:*?\"<>|%";
    for (unsigned char* p = reinterpret_cast<unsigned char*>(text); *p != 0; ++p) {
        if (*p < 0x20 || *p == 0xFF || std::strchr(kForbidden, *p) != nullptr)
            *p = ' ';
    }
}

char* strlwr(char* text)
{
    for (char* p = text; *p != 0; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (std::isupper(c))
            *p = static_cast<char>(std::tolower(c));
    }
    return text;
}

char* GetLogFilename(const char* path)
{
    char copy[1024];
    std::strncpy(copy, path, sizeof copy - 1);
    copy[sizeof copy - 1] = '\0';

    const char* slash = std::strrchr(copy, '/');
    char* base = slash != nullptr ? copy + (slash - copy) + 1 : copy;
    if (std::strlen(base) < 2)
        return nullptr;

    // Cut where strtok(base, ".") would end its first token: at the first
    // '.' after the leading dots. A name of dots only has no token: no cut.
    char* firstOther = base + std::strspn(base, ".");
    if (*firstOther != '\0') {
        char* dot = std::strchr(firstOther, '.');
        if (dot != nullptr)
            *dot = '\0';
    }
    if (std::strlen(base) < 2)
        return nullptr;
    return strdup(base);
}
