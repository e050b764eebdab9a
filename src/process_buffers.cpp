// Character-buffer forms of the platform's process runner calls.

#include "KrProcess.h"

#include <cstring>
#include <string>

namespace {

// strncpy semantics with the buffer length as the count, then a forced NUL:
// at most length - 1 characters arrive and the rest of the buffer is zeroed.
// A buffer of no length (or none) receives nothing.
void copyError(const std::string& text, char* buffer, int length)
{
    if (buffer == nullptr || length < 1)
        return;
    std::strncpy(buffer, text.c_str(), static_cast<size_t>(length));
    buffer[length - 1] = '\0';
}

}  // namespace

bool KrProcess::StartProcess(const char* program, const char* commandLine, char* error,
                             int errorLength, int flags)
{
    std::string text;
    const bool started = StartProcess(program, commandLine, &text, flags);
    if (!started)
        copyError(text, error, errorLength);
    return started;
}

bool KrProcess::WaitForProcessToEnd(int& exitCode, char* error, int errorLength, int timeout)
{
    std::string text;
    const bool ended = WaitForProcessToEnd(&exitCode, &text, timeout);
    if (!ended)
        copyError(text, error, errorLength);
    return ended;
}
