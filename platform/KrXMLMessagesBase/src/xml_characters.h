// The characters of an XML 1.0 document in UTF-8: which ones XML allows, and
// texts made fit to be written as character data.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace krxml {

// True for the characters XML 1.0 allows in a document (its Char production):
// tab, line feed, carriage return, U+0020 to U+D7FF, U+E000 to U+FFFD and
// U+10000 to U+10FFFF.
bool isXmlCharacter(char32_t c);

// One step of reading UTF-8: the character at the front of a text, or, when
// the bytes there are not UTF-8 (overlong forms, surrogates and values beyond
// U+10FFFF included), the length of the longest start of a sequence they make
// (at least 1 byte), which stands for one replacement character.
struct Utf8Step {
    std::size_t length;
    bool valid;
    char32_t character;  // when valid
};
Utf8Step readUtf8(std::string_view text);

// The text with every character XML 1.0 forbids, and every byte sequence that
// is not UTF-8, replaced by U+FFFD: always UTF-8 that XML can carry.
std::string wellFormedText(std::string_view text);

// Checks a whole document for what pugixml would let through although XML
// forbids it: a control character other than tab, line feed and carriage
// return, written as itself anywhere, or as a character reference (&#1;,
// &#xFFFE;, ...) in content or an attribute value. False with a one-line
// `reason` for the first one found. Bytes that are not UTF-8 are left to the
// reader, which hands texts on byte for byte.
bool holdsOnlyXmlCharacters(std::string_view document, std::string& reason);

}  // namespace krxml
