// XML form of a message object (the document inside one frame).
//
//   <message tag="513299686">
//     <int64 field="3" id="12263650">1</int64>
//     <object field="2" sub="2" id="14807476" tag="508527768">
//       <string field="2" sub="2" id="873307">a</string>
//     </object>
//   </message>
//
// Reading (UTF-8; element order free; unknown elements and attributes
// ignored): the root must be the one element `message`; `tag` an unsigned
// 64-bit decimal; `field` a signed 16-bit and `id` an unsigned 32-bit decimal
// on every int64, string and object element; an int64's text a signed 64-bit
// decimal (optional sign, blanks around it allowed); `sub` is ignored. A
// string's text is its character data and CDATA sections joined (comments and
// child elements skipped), with no end-of-line conversion, so a carriage
// return arrives as it was sent; the empty element is the empty text. Texts
// are handed on byte for byte, UTF-8 or not.
//
// Refused as malformed: a document that is not well-formed XML, holds a
// control character other than tab, line feed and carriage return (NUL
// included) or a character reference to any character XML 1.0 forbids
// (&#0;, &#1;, &#xFFFE;, ...), has another root, lacks a required attribute, has a number that is
// not decimal or does not fit its width (an int64 beyond the signed 64-bit
// range included), repeats a field number and identifier within one element,
// nests objects deeper than kMaxObjectNesting, or gives a known field of a
// registered message type (CNMessageRegistry.h) the wrong kind.
//
// Writing: fields in the order they were set; `sub` where a setter gave one;
// always well-formed XML 1.0 in UTF-8. In texts, &, < and > go out as
// entities and a carriage return as &#13; (so that no parser turns it into a
// line feed); each character XML 1.0 forbids (NUL and the other control
// characters but tab, line feed and carriage return; U+FFFE, U+FFFF) and each
// byte sequence that is not UTF-8 goes out as U+FFFD. What the writer writes,
// the reader reads back as written.
#pragma once

#include "CNMessageRegistry.h"
#include "KrXMLMessagesBaseExport.h"

#include <cstddef>
#include <string>

namespace CNMessageXML {

constexpr int kMaxObjectNesting = 32;

// The document for `message`, appended to `document`. False with a one-line
// `error` when the message nests objects deeper than kMaxObjectNesting.
KRXML_API bool write(const CNMessageBase& message, std::string& document, std::string& error);

// A new message object for the document, or null with a one-line `error`.
KRXML_API CNMessagePtr read(const char* data, std::size_t size, std::string& error);

}  // namespace CNMessageXML
