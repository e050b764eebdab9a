#include "internal/fixed_text.h"

#include <string>

namespace lndb {

namespace {

std::string formatted(const char* format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0)
        return {};
    std::string text(static_cast<std::size_t>(length), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

}  // namespace

bool refuse(EvDebug& log, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string line;
    try {
        line = formatted(format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    log.debug("%s", line.c_str());
    return false;
}

}  // namespace lndb
