// Bounded copies of texts that come from outside (a script's output, a
// server's answer) for log lines and responses: a peer that prints without
// end must not make a line or a frame without end.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lndb {

// `text` itself when it holds at most `limit` bytes. Otherwise its beginning,
// cut at the start of a UTF-8 character, followed by the marker
// " [... N bytes left out]", the whole at most `limit` bytes (`limit` of 64
// or more).
std::string boundedText(std::string_view text, std::size_t limit);

// The same for `text` that is only the beginning of an outside text of
// `wholeSize` bytes (a process runner that keeps only part of an output):
// the marker counts every byte of the whole that is not in the result.
std::string boundedText(std::string_view text, std::size_t limit, std::size_t wholeSize);

}  // namespace lndb
