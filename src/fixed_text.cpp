#include "internal/fixed_text.h"

#include <string>

namespace lndb {

bool refuse(EvDebug& log, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    // Sized first: a refusal line may quote a text of any length.
    std::string line(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    va_start(args, format);
    std::vsnprintf(line.data(), line.size() + 1, format, args);
    va_end(args);
    log.debug("%s", line.c_str());
    return false;
}

}  // namespace lndb
