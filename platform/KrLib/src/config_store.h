// Configuration store of an installation instance: file location, line
// parser and the parsed-store cache shared by KRPlatformInfo and
// KRPI_PlatformBase. Internal to libKrLib.
#pragma once

#include "system_error.h"

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace krlib {

// One parsed store: (section, name) -> value. It keeps the file's text (less
// than 4 GiB) and views into it, in one flat table sized from the number of lines before the
// first line is read: parsing allocates nothing per line and never rehashes.
// It never moves, so that the views stay valid.
class ConfigStore {
public:
    explicit ConfigStore(std::string text);
    ConfigStore(const ConfigStore&) = delete;
    ConfigStore& operator=(const ConfigStore&) = delete;

    // The value of `name` in `section`, or null.
    const std::string_view* find(std::string_view section, std::string_view name) const;

    // Calls visit(section, name, value) for every value that takes effect,
    // sections and names each in byte order.
    void forEach(const std::function<void(std::string_view, std::string_view, std::string_view)>& visit) const;

private:
    // The name as an offset into the text: a store is smaller than 4 GiB.
    struct Entry {
        std::string_view value;
        std::uint32_t nameOffset;
        std::uint32_t nameLength;
        std::uint32_t section;  // index into sections_
    };
    // A zeroed table of slots: a large one is mapped afresh (in huge pages
    // where the system allows), a small one taken from the heap.
    class Slots {
    public:
        Slots() = default;
        ~Slots();
        void allocate(std::size_t count);
        Slots(const Slots&) = delete;
        Slots& operator=(const Slots&) = delete;
        std::uint64_t& operator[](std::size_t i) { return slots_[i]; }
        std::uint64_t operator[](std::size_t i) const { return slots_[i]; }

    private:
        std::uint64_t* slots_ = nullptr;
        std::size_t bytes_ = 0;
        bool mapped_ = false;
    };
    struct Pending;

    void insert(const Pending& value);
    std::string_view nameOf(const Entry& entry) const
    {
        return std::string_view(text_).substr(entry.nameOffset, entry.nameLength);
    }

    std::string text_;
    std::vector<std::string_view> sections_;  // one per section header line
    std::vector<Entry> entries_;
    // Open addressing, linear probing, at most half full. A slot holds the
    // upper half of its key's hash and the entry's index + 1; 0 is empty.
    std::size_t mask_ = 0;
    Slots slots_;
};

// A line of the file with its line end ("\n", "\r\n", or "" for a last line
// without one), both viewing the file's text.
struct RawLine {
    std::string_view content;
    std::string_view ending;
};

// Calls visit(RawLine) for each line of `text`, in order.
template <class Visit>
void forEachLine(std::string_view text, Visit&& visit)
{
    while (!text.empty()) {
        const size_t lf = text.find('\n');
        if (lf == std::string_view::npos) {
            visit(RawLine{text, {}});
            return;
        }
        const size_t endOfContent = lf > 0 && text[lf - 1] == '\r' ? lf - 1 : lf;
        visit(RawLine{text.substr(0, endOfContent), text.substr(endOfContent, lf + 1 - endOfContent)});
        text.remove_prefix(lf + 1);
    }
}
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

// The same, kept per thread while $KR_REGISTRY_DIR and `instance` stay the
// same, so that a read builds no path. Valid until the thread's next call.
const std::string& storePathOf(const std::string& instance);

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
