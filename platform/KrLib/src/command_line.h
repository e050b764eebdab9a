// The argument vector of a started program, taken from its command line.
#pragma once

#include <string>
#include <vector>

namespace krlib {

// When `commandLine` begins with `program` followed by a blank or its end,
// that prefix is argument 0 (so an install directory with a blank in its name
// stays whole); the rest is split at blanks (space, tab) outside double
// quotes. Double quotes group and are removed, an unclosed quote runs to the
// end, and there are no escapes: `a"b c"d` is the one argument `ab cd`, and
// `""` an empty one. A line that does not begin with `program` is split
// whole, its first word argument 0. Without any word, argument 0 is
// `program`. A null `commandLine` counts as empty.
std::vector<std::string> splitCommandLine(const char* program, const char* commandLine);

}  // namespace krlib
