// Configuration store of an installation instance: file location, line
// parser and the parsed-store cache shared by KRPlatformInfo and
// KRPI_PlatformBase. Internal to libKrLib.
#pragma once

#include "system_error.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace krlib {

// One parsed store: section -> name -> value. It keeps the file's text and
// views into it, so parsing allocates little; hence it never moves.
class ConfigStore {
public:
    explicit ConfigStore(std::string text);
    ConfigStore(const ConfigStore&) = delete;
    ConfigStore& operator=(const ConfigStore&) = delete;

    // The value of `name` in `section`, or null.
    const std::string_view* find(std::string_view section, std::string_view name) const;

private:
    using Values = std::unordered_map<std::string_view, std::string_view>;
    std::string text_;
    std::unordered_map<std::string_view, Values> sections_;
};

// A line of the file with its line end ("\n", "\r\n", or "" for a last line
// without one), both viewing the file's text.
struct RawLine {
    std::string_view content;
    std::string_view ending;
};
std::vector<RawLine> splitLines(std::string_view text);

// What one line (without its line end) means to the parser.
struct ParsedLine {
    enum class Kind { Ignored, Section, Value };
    Kind kind = Kind::Ignored;
    std::string_view section;  // Section: the section's name
    std::string_view name;     // Value: the name, trimmed
    std::string_view value;    // Value: the value, trimmed
    size_t valueOffset = 0;    // Value: where the value's text begins in the line
};
ParsedLine parseLine(std::string_view line);

// $KR_REGISTRY_DIR, or /etc/kragent when unset or empty.
std::string registryDirectory();

// <registry directory>/<instance>.ini, or the empty text when `instance`
// cannot name a file there (empty, ".", "..", or holding '/').
std::string storePathFor(const std::string& instance);

using common::printable;

struct LoadedStore {
    std::shared_ptr<const ConfigStore> store;  // null when the file cannot be read
    std::string error;                         // then: one line saying why
};

// The parsed store at `path`, from the cache while the file is unchanged.
LoadedStore loadStore(const std::string& path);

// A count that grows whenever this process sees a store change: one of its
// own writes, or a read that finds a store other than the one it had parsed.
// Whoever keeps something derived from a store (the logger keeps the log
// directory) compares it instead of looking at the file.
unsigned long long storeGeneration();
void noteStoreChanged();

}  // namespace krlib
