#include "decimal.h"

#include <cctype>
#include <charconv>

namespace krxml {
namespace {

bool isXmlBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The digits (with a '-' kept for the caller to judge), or empty when the
// text has no number shape at all.
std::string_view numberPart(std::string_view text)
{
    while (!text.empty() && isXmlBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isXmlBlank(text.back()))
        text.remove_suffix(1);
    if (text.size() >= 2 && text[0] == '+' && std::isdigit(static_cast<unsigned char>(text[1])))
        text.remove_prefix(1);
    return text;
}

template <class T>
bool convert(std::string_view text, T* value)
{
    if (text.empty())
        return false;
    const char* end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data(), end, *value, 10);
    return ec == std::errc() && stop == end;
}

}  // namespace

bool parseSigned(std::string_view text, long long min, long long max, long long* value)
{
    long long parsed = 0;
    if (!convert(numberPart(text), &parsed) || parsed < min || parsed > max)
        return false;
    *value = parsed;
    return true;
}

bool parseUnsigned(std::string_view text, unsigned long long max, unsigned long long* value)
{
    unsigned long long parsed = 0;
    if (!convert(numberPart(text), &parsed) || parsed > max)
        return false;
    *value = parsed;
    return true;
}

}  // namespace krxml
