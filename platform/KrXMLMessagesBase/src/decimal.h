// Whole decimal numbers of the XML documents, with their ranges checked.
#pragma once

#include <string_view>

namespace krxml {

// Blanks (space, tab, line feed, carriage return) around the number and one
// leading '+' are allowed; anything else that is not a digit, or a value out
// of [min, max], is refused.
bool parseSigned(std::string_view text, long long min, long long max, long long* value);
bool parseUnsigned(std::string_view text, unsigned long long max, unsigned long long* value);

}  // namespace krxml
