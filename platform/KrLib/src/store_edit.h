// Line-level edits of a configuration store's text, keeping every line they
// do not change byte for byte. Internal to libKrLib.
#pragma once

#include <string>
#include <string_view>

namespace krlib {

// Empty when `section`, `name` and `value` (null for a removal) can be
// written so that a reader gets them back exactly; otherwise one line saying
// why they are refused.
std::string refusalOf(const char* section, const char* name, const char* value);

// The text with `name` of `section` set to `value`: the value of the line that
// takes effect (the last one) replaced; else a line "name = value" added after
// the section's last value (or header); else the section added at the end.
// New lines take the file's line end (CRLF when its lines end so).
std::string withValue(std::string_view text, std::string_view section, std::string_view name,
                      std::string_view value);

// The text without any line that sets `name` in `section`.
std::string withoutValue(std::string_view text, std::string_view section, std::string_view name);

}  // namespace krlib
