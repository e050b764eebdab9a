#include "xml_characters.h"

#include <cstdio>

namespace krxml {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool isContinuation(unsigned char byte, unsigned char low = 0x80, unsigned char high = 0xBF)
{
    return byte >= low && byte <= high;
}

// Where a character reference "&#...;" begins at `at`: its value, and the
// position after it. Values beyond U+10FFFF are kept at 0x110000 (never an
// XML character). False when the text there is not a whole reference.
bool readReference(std::string_view text, std::size_t at, char32_t* value, std::size_t* end)
{
    std::size_t i = at + 2;
    unsigned base = 10;
    if (i < text.size() && (text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    }
    const std::size_t first = i;
    unsigned long long number = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            break;
        number = number * base + digit;
        if (number > 0x110000)
            number = 0x110000;
    }
    if (i == first || i >= text.size() || text[i] != ';')
        return false;
    *value = static_cast<char32_t>(number);
    *end = i + 1;
    return true;
}

// Sections in which "&#" is no reference: CDATA, comments, processing
// instructions. The position after the section that opens at `at`, or `at`
// itself when none opens there.
std::size_t skipLiteralSection(std::string_view text, std::size_t at)
{
    struct Section {
        std::string_view open, close;
    };
    constexpr Section kSections[] = {{"<![CDATA[", "]]>"}, {"<!--", "-->"}, {"<?", "?>"}};
    for (const Section& section : kSections) {
        if (text.substr(at, section.open.size()) == section.open) {
            const std::size_t close = text.find(section.close, at + section.open.size());
            return close == std::string_view::npos ? text.size() : close + section.close.size();
        }
    }
    return at;
}

std::string describe(const char* format, unsigned long value)
{
    char line[96];
    std::snprintf(line, sizeof line, format, value);
    return line;
}

}  // namespace

bool isXmlCharacter(char32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

Utf8Step readUtf8(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return {1, true, lead};
    std::size_t length;
    unsigned char low = 0x80;  // range of the second byte, narrowed where the
    unsigned char high = 0xBF; // lead alone would allow overlongs or surrogates
    char32_t value;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {1, false, 0};
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (i >= text.size() || !(i == 1 ? isContinuation(byte(i), low, high) : isContinuation(byte(i))))
            return {i, false, 0};
        value = (value << 6) | (byte(i) & 0x3F);
    }
    return {length, true, value};
}

std::string wellFormedText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const Utf8Step step = readUtf8(text);
        if (step.valid && isXmlCharacter(step.character))
            out.append(text.substr(0, step.length));
        else
            out.append(kReplacement);
        text.remove_prefix(step.length);
    }
    return out;
}

bool holdsOnlyXmlCharacters(std::string_view document, std::string& reason)
{
    for (std::size_t i = 0; i < document.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(document[i]);
        if (c == 0) {
            reason = "malformed XML: the document holds a NUL character";
            return false;
        }
        if (c < 0x20 && !isXmlCharacter(c)) {
            reason = describe("malformed XML: the document holds the control character 0x%02lX", c);
            return false;
        }
    }
    for (std::size_t i = 0; i < document.size();) {
        const std::size_t after = skipLiteralSection(document, i);
        if (after != i) {
            i = after;
            continue;
        }
        char32_t value = 0;
        std::size_t end = 0;
        if (document.substr(i, 2) == "&#" && readReference(document, i, &value, &end)) {
            if (value == 0) {
                reason = "malformed XML: the document refers to the NUL character";
                return false;
            }
            if (!isXmlCharacter(value)) {
                reason = value > 0x10FFFF
                             ? std::string("malformed XML: a character reference beyond U+10FFFF")
                             : describe("malformed XML: a reference to U+%04lX, which XML does not allow",
                                        static_cast<unsigned long>(value));
                return false;
            }
            i = end;
            continue;
        }
        ++i;
    }
    return true;
}

}  // namespace krxml
