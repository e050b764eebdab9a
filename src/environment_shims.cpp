// Windows-style access to the process environment.

#include "lndb/process_environment.h"

#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// The environment keeps every text handed to putenv for the rest of the
// process's life, also after the variable is replaced; the leak checker is
// told that this is on purpose.
void keepForTheEnvironment(const void* text)
{
#if defined(__SANITIZE_ADDRESS__)
    __lsan_ignore_object(text);
#else
    (void)text;
#endif
}

}  // namespace

unsigned int GetEnvironmentVariable(const char* name, char* buffer, unsigned int size)
{
    if (name == nullptr)
        return 0;
    const char* value = std::getenv(name);
    if (value == nullptr)
        return 0;
    const size_t length = std::strlen(value);
    // Too long (or no buffer): the size it would take, terminator included.
    if (buffer == nullptr || length >= size)
        return static_cast<unsigned int>(length + 1);
    std::memcpy(buffer, value, length + 1);
    return static_cast<unsigned int>(length);
}

int SetEnvironmentVariable(const char* name, const char* value)
{
    // putenv would take "a=b" with value "c" as a=b=c, and a text without a
    // name as no variable at all.
    if (name == nullptr || value == nullptr || *name == '\0' || std::strchr(name, '=') != nullptr)
        return 0;

    const size_t nameLength = std::strlen(name);
    const size_t valueLength = std::strlen(value);
    char* text = static_cast<char*>(std::malloc(nameLength + valueLength + 2));
    if (text == nullptr)
        return 0;
    std::memcpy(text, name, nameLength);
    text[nameLength] = '=';
    std::memcpy(text + nameLength + 1, value, valueLength + 1);

    char* owned = strdup(text);
    std::free(text);
    if (owned == nullptr)
        return 0;
    if (putenv(owned) != 0) {
        std::free(owned);
        return 0;
    }
    keepForTheEnvironment(owned);
    return 1;
}
