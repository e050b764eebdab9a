// Configuration store of an installation instance: file location, line
// parser and the parsed-store cache shared by KRPlatformInfo and
// KRPI_PlatformBase. Internal to libKrLib.
#pragma once

#include "bulk_memory.h"
#include "system_error.h"

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace krlib {

// The bytes of a store, read straight into a buffer of their own, with their
// line feeds counted while each piece just read is still in the cache.
class StoreText {
public:
    StoreText() = default;
    static StoreText copyOf(std::string_view text);
    // Reads `fd` from its position to the end; `expectedSize` is a hint.
    // False with errno set on a read error, or EFBIG when the text reaches
    // 4 GiB.
    bool readFrom(int fd, std::size_t expectedSize);

    std::string_view view() const { return {bytes_.data(), size_}; }
    std::size_t lineFeeds() const { return lineFeeds_; }

private:
    HeapArray<char> bytes_;
    std::size_t size_ = 0;
    std::size_t lineFeeds_ = 0;
};

// One parsed store: (section, name) -> value. It keeps the file's text (less
// than 4 GiB) and records of its values as offsets into it. The index is
// split by hash into partitions small enough to be built in the processor's
// cache: parsing streams through memory instead of jumping across one table
// as large as the store, allocates nothing per line and never rehashes. It
// never moves, so that the views it hands out stay valid.
class ConfigStore {
public:
    explicit ConfigStore(std::string_view text);
    explicit ConfigStore(StoreText text);
    ConfigStore(const ConfigStore&) = delete;
    ConfigStore& operator=(const ConfigStore&) = delete;

    // The value of `name` in `section`, if there is one.
    std::optional<std::string_view> find(std::string_view section, std::string_view name) const;

    // Calls visit(section, name, value) for every value that takes effect,
    // sections and names each in byte order.
    void forEach(const std::function<void(std::string_view, std::string_view, std::string_view)>& visit) const;

private:
    // One value line, as offsets into the text (a store is smaller than
    // 4 GiB).
    struct Record {
        std::uint32_t nameOffset;
        std::uint32_t nameLength;
        std::uint32_t valueOffset;
        std::uint32_t valueLength;
        std::uint32_t section;  // index into sections_
    };
    // Eight slots in one cache line. A filled slot holds the upper half of
    // its key's hash (its tag) and its record's index + 1; a record of 0 is
    // an empty slot. Slots fill from the first, and none is ever emptied.
    struct alignas(64) Bucket {
        std::uint32_t tags[8];
        std::uint32_t records[8];
    };
    // The buckets of one partition, buckets_[base, base + count): a key goes
    // in the first bucket with room from its home bucket on, and is looked
    // for there; at most half of the slots are filled, so that the search
    // seldom goes past the home bucket.
    struct Partition {
        std::size_t base;
        std::uint32_t count;
    };
    struct Pair;

    void build();
    // Where a key stands: the first filled slot on its way whose tag matches
    // and whose record isKey() accepts (found), else the first empty slot on
    // its way. A key is kept in the first bucket with room from its home
    // bucket on, so the walk ends at the first bucket with an empty slot.
    struct Slot {
        std::size_t bucket;
        int k;
        bool found;
    };
    std::size_t partitionIndex(std::uint32_t tag) const
    {
        return partitionBits_ == 0 ? 0 : tag >> (32 - partitionBits_);
    }
    template <class IsKey>
    Slot probe(const Partition& partition, std::uint32_t tag, IsKey isKey) const;
    void insert(const Partition& partition, const Pair& pair);
    bool sameKey(const Record& a, const Record& b) const;
    std::string_view nameOf(const Record& record) const
    {
        return {text_.view().data() + record.nameOffset, record.nameLength};
    }
    std::string_view valueOf(const Record& record) const
    {
        return {text_.view().data() + record.valueOffset, record.valueLength};
    }

    StoreText text_;
    std::vector<std::string_view> sections_;  // one per section header line
    HeapArray<Record> records_;               // every value line, in order
    unsigned partitionBits_ = 0;              // the hash's top bits pick the partition
    std::vector<Partition> partitions_;
    HeapArray<Bucket> buckets_;
    std::size_t bucketCount_ = 0;
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

// What a line means to the parser.
struct ParsedLine {
    enum class Kind { Ignored, Section, Value };
    Kind kind = Kind::Ignored;
    std::string_view section;  // Section: the section's name
    std::string_view name;     // Value: the name, trimmed
    std::string_view value;    // Value: the value, trimmed
    size_t valueOffset = 0;    // Value: where the value's text begins in the line
};

namespace lineparse {
inline bool isBlank(char c) { return c == ' ' || c == '\t'; }

inline size_t skipBlanks(std::string_view text, size_t pos)
{
    while (pos < text.size() && isBlank(text[pos]))
        ++pos;
    return pos;
}

inline std::string_view trimBlanks(std::string_view text)
{
    text.remove_prefix(skipBlanks(text, 0));
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}
}  // namespace lineparse

// What `line` (without its line end) means, `equals` being where its first
// '=' is (npos: nowhere). Inline: the parse of a large store calls it once per
// line.
inline ParsedLine parseLine(std::string_view line, size_t equals)
{
    using namespace lineparse;
    ParsedLine parsed;
    const std::string_view trimmed = trimBlanks(line);
    if (trimmed.empty() || trimmed[0] == '#' || trimmed[0] == ';')
        return parsed;
    if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
        parsed.kind = ParsedLine::Kind::Section;
        parsed.section = trimmed.substr(1, trimmed.size() - 2);
        return parsed;
    }
    if (equals == std::string_view::npos)
        return parsed;
    parsed.name = trimBlanks(line.substr(0, equals));
    if (parsed.name.empty())
        return parsed;
    parsed.kind = ParsedLine::Kind::Value;
    parsed.valueOffset = skipBlanks(line, equals + 1);
    parsed.value = trimBlanks(line.substr(parsed.valueOffset));
    return parsed;
}

// What `line` (without its line end) means.
inline ParsedLine parseLine(std::string_view line) { return parseLine(line, line.find('=')); }

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
