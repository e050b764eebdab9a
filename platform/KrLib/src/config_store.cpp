#include "config_store.h"

#include "unique_fd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unordered_map>

namespace krlib {

void ConfigStore::forEach(
    const std::function<void(std::string_view, std::string_view, std::string_view)>& visit) const
{
    // Each entry is one (section, name): a later line has already replaced
    // an earlier one. Listed by section, then by name.
    struct Listed {
        std::string_view section, name, value;
    };
    std::vector<Listed> listed;
    listed.reserve(entries_.size());
    for (const Entry& entry : entries_)
        listed.push_back({sections_[entry.section], nameOf(entry), entry.value});
    std::sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
        return a.section != b.section ? a.section < b.section : a.name < b.name;
    });
    for (const Listed& item : listed)
        visit(item.section, item.name, item.value);
}

std::vector<RawLine> splitLines(std::string_view text)
{
    std::vector<RawLine> lines;
    forEachLine(text, [&](const RawLine& line) { lines.push_back(line); });
    return lines;
}

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

size_t skipBlanks(std::string_view text, size_t pos)
{
    while (pos < text.size() && isBlank(text[pos]))
        ++pos;
    return pos;
}

std::string_view trimBlanks(std::string_view text)
{
    text.remove_prefix(skipBlanks(text, 0));
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

}  // namespace

ParsedLine parseLine(std::string_view line)
{
    ParsedLine parsed;
    const std::string_view trimmed = trimBlanks(line);
    if (trimmed.empty() || trimmed[0] == '#' || trimmed[0] == ';')
        return parsed;
    if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
        parsed.kind = ParsedLine::Kind::Section;
        parsed.section = trimmed.substr(1, trimmed.size() - 2);
        return parsed;
    }
    const size_t equals = line.find('=');
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

namespace {

std::uint64_t sectionHash(std::string_view section)
{
    return std::hash<std::string_view>{}(section) * 0x9E3779B97F4A7C15ULL;
}

// The key's hash, mixed so that both halves of it vary (one picks the slot,
// the other is kept in it).
std::uint64_t keyHash(std::uint64_t section, std::string_view name)
{
    std::uint64_t h = std::hash<std::string_view>{}(name) ^ section;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    return h;
}

}  // namespace

struct ConfigStore::Pending {
    std::uint32_t section;
    std::string_view name;
    std::string_view value;
    std::uint64_t hash;
};

void ConfigStore::Slots::allocate(std::size_t count)
{
    bytes_ = count * sizeof(std::uint64_t);
    mapped_ = bytes_ >= (1u << 21);
    if (mapped_) {
        void* block = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED)
            throw std::bad_alloc();
        madvise(block, bytes_, MADV_HUGEPAGE);  // fewer page faults and TLB misses; only a hint
        slots_ = static_cast<std::uint64_t*>(block);
    } else {
        slots_ = static_cast<std::uint64_t*>(std::calloc(count, sizeof(std::uint64_t)));
        if (slots_ == nullptr)
            throw std::bad_alloc();
    }
}

ConfigStore::Slots::~Slots()
{
    if (mapped_)
        munmap(slots_, bytes_);
    else
        std::free(slots_);  // null when never allocated
}

namespace {

// Lines in `text`: no store has more values than that. Eight bytes at a time.
size_t lineCount(std::string_view text)
{
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kLows = 0x7F7F7F7F7F7F7F7FULL;
    size_t lines = 1;
    const char* at = text.data();
    const char* const end = at + text.size();
    for (; end - at >= 8; at += 8) {
        std::uint64_t word;
        std::memcpy(&word, at, sizeof word);
        const std::uint64_t feeds = word ^ (kOnes * '\n');  // zero where a line feed is
        // 1 in each byte that was a line feed, 0 elsewhere; the product's
        // top byte is their sum.
        const std::uint64_t marks = (~(((feeds & kLows) + kLows) | feeds | kLows)) >> 7;
        lines += static_cast<size_t>((marks * kOnes) >> 56);
    }
    return lines + static_cast<size_t>(std::count(at, end, '\n'));
}

size_t slotCount(size_t lines)
{
    size_t capacity = 16;
    while (capacity < 2 * lines)
        capacity *= 2;
    return capacity;
}

}  // namespace

ConfigStore::ConfigStore(std::string text) : text_(std::move(text))
{
    if (text_.size() > UINT32_MAX)
        throw std::length_error("configuration store of 4 GiB or more");
    const size_t lines = lineCount(text_);
    const size_t capacity = slotCount(lines);
    slots_.allocate(capacity);
    mask_ = capacity - 1;
    entries_.reserve(lines);

    // Values go in a few lines behind the parse, their slots fetched into
    // the cache meanwhile: a large table is mostly out of the cache, and the
    // waits for memory then overlap instead of coming one after another.
    constexpr int kAhead = 64;
    Pending pending[kAhead];
    int count = 0;
    // Values before the first section header belong to no section.
    std::uint64_t sectionKey = 0;
    forEachLine(text_, [&](const RawLine& raw) {
        const ParsedLine line = parseLine(raw.content);
        if (line.kind == ParsedLine::Kind::Section) {
            sections_.push_back(line.section);
            sectionKey = sectionHash(line.section);
        } else if (line.kind == ParsedLine::Kind::Value && !sections_.empty()) {
            const std::uint64_t hash = keyHash(sectionKey, line.name);
            __builtin_prefetch(&slots_[hash & mask_], 1);
            pending[count++] =
                Pending{static_cast<std::uint32_t>(sections_.size() - 1), line.name, line.value, hash};
            if (count == kAhead) {
                for (const Pending& value : pending)
                    insert(value);
                count = 0;
            }
        }
    });
    for (int i = 0; i < count; ++i)
        insert(pending[i]);
}

void ConfigStore::insert(const Pending& value)
{
    const auto tag = static_cast<std::uint32_t>(value.hash >> 32);
    for (size_t i = value.hash & mask_;; i = (i + 1) & mask_) {
        const std::uint64_t slot = slots_[i];
        if (slot == 0) {
            entries_.push_back(Entry{value.value, static_cast<std::uint32_t>(value.name.data() - text_.data()),
                                     static_cast<std::uint32_t>(value.name.size()), value.section});
            slots_[i] = (std::uint64_t{tag} << 32) | entries_.size();
            return;
        }
        if (static_cast<std::uint32_t>(slot >> 32) == tag) {
            Entry& entry = entries_[static_cast<std::uint32_t>(slot) - 1];
            if (nameOf(entry) == value.name && sections_[entry.section] == sections_[value.section]) {
                entry.value = value.value;  // a later line replaces an earlier one
                return;
            }
        }
    }
}

const std::string_view* ConfigStore::find(std::string_view section, std::string_view name) const
{
    const std::uint64_t hash = keyHash(sectionHash(section), name);
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
        const std::uint64_t slot = slots_[i];
        if (slot == 0)
            return nullptr;
        if (static_cast<std::uint32_t>(slot >> 32) == tag) {
            const Entry& entry = entries_[static_cast<std::uint32_t>(slot) - 1];
            if (nameOf(entry) == name && sections_[entry.section] == section)
                return &entry.value;
        }
    }
}

std::string registryDirectory()
{
    const char* dir = std::getenv("KR_REGISTRY_DIR");
    return dir != nullptr && *dir != '\0' ? dir : "/etc/kragent";
}

std::string storePathFor(const std::string& instance)
{
    if (instance.empty() || instance == "." || instance == ".." ||
        instance.find('/') != std::string::npos)
        return {};
    return registryDirectory() + "/" + instance + ".ini";
}

const std::string& storePathOf(const std::string& instance)
{
    struct Kept {
        bool valid = false;
        std::string registry;  // $KR_REGISTRY_DIR; unset and empty alike
        std::string instance;
        std::string path;
    };
    thread_local Kept kept;
    const char* registry = std::getenv("KR_REGISTRY_DIR");
    const std::string_view registryText = registry != nullptr ? registry : "";
    if (!kept.valid || kept.registry != registryText || kept.instance != instance) {
        kept.valid = false;
        kept.path = storePathFor(instance);
        kept.registry = registryText;
        kept.instance = instance;
        kept.valid = true;
    }
    return kept.path;
}

namespace {

// What identifies one version of the file. A rewrite in place changes the
// size or the times; a replacement by rename changes the inode.
struct FileSignature {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
    timespec changed;

    explicit FileSignature(const struct stat& st)
        : device(st.st_dev), inode(st.st_ino), size(st.st_size), modified(st.st_mtim), changed(st.st_ctim)
    {
    }
    bool operator==(const FileSignature& other) const
    {
        return device == other.device && inode == other.inode && size == other.size &&
               sameTime(modified, other.modified) && sameTime(changed, other.changed);
    }
    static bool sameTime(const timespec& a, const timespec& b)
    {
        return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    }
};

long long nanoseconds(const timespec& t) { return static_cast<long long>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec; }

// File times come from the kernel's coarse clock (one tick behind real time at
// most) and some file systems keep whole seconds only. A change made after we
// looked at the file may therefore carry the very change time we saw. A store
// is trusted for reuse only when its change time lies further back than that
// uncertainty; until then every read parses it again.
long long timestampUncertaintyNs(const FileSignature& signature)
{
    if (signature.changed.tv_nsec == 0)
        return 2'000'000'000LL;
    static const long long tick = [] {
        timespec resolution{};
        if (clock_getres(CLOCK_REALTIME_COARSE, &resolution) != 0)
            return 10'000'000LL;
        return nanoseconds(resolution);
    }();
    return std::max(2 * tick, 10'000'000LL);
}

struct CacheEntry {
    FileSignature signature;
    bool reusable;
    std::shared_ptr<const ConfigStore> store;
};

struct Cache {
    std::mutex mutex;
    std::unordered_map<std::string, CacheEntry> entries;  // one per path
};

// Never destroyed: a thread may still log while the process exits.
Cache& cache()
{
    static Cache* const instance = new Cache;
    return *instance;
}

std::shared_ptr<const ConfigStore> cachedStore(const std::string& path, const FileSignature& signature)
{
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    const auto entry = c.entries.find(path);
    if (entry != c.entries.end() && entry->second.reusable && entry->second.signature == signature)
        return entry->second.store;
    return nullptr;
}

std::atomic<unsigned long long> generation{0};

void remember(const std::string& path, CacheEntry entry)
{
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    const auto known = c.entries.find(path);
    if (known == c.entries.end() || !(known->second.signature == entry.signature))
        noteStoreChanged();
    c.entries.insert_or_assign(path, std::move(entry));
}

LoadedStore failure(const std::string& path, const char* why)
{
    return {nullptr, "cannot read configuration store " + printable(path) + ": " + why};
}

}  // namespace

unsigned long long storeGeneration()
{
    return generation.load(std::memory_order_acquire);
}

void noteStoreChanged()
{
    generation.fetch_add(1, std::memory_order_acq_rel);
}

LoadedStore loadStore(const std::string& path)
{
    // An unchanged store costs one stat(): no descriptor is opened. Only a
    // store that any user may read is taken from the cache this way; one
    // with a narrower mode is opened, so that a process that has switched to
    // a user who cannot read it is told so, as it would be without a cache.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return {nullptr, "configuration store " + printable(path) + " does not exist"};
        return failure(path, std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode))
        return failure(path, "not a regular file");
    if ((st.st_mode & 0444) == 0444) {
        if (auto store = cachedStore(path, FileSignature(st)))
            return {std::move(store), {}};
    }

    // Taken before fstat: any later change to the file gets a change time
    // no earlier than this, less one clock tick.
    timespec lookedAt{};
    clock_gettime(CLOCK_REALTIME, &lookedAt);

    // The signature comes from the open descriptor we parse, so a file
    // replaced in the meantime can never be filed under another's signature.
    // O_NONBLOCK: a FIFO put in the store's place must not hang the reader.
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) {
        if (errno == ENOENT)
            return {nullptr, "configuration store " + printable(path) + " does not exist"};
        return failure(path, std::strerror(errno));
    }
    if (fstat(fd.get(), &st) != 0)
        return failure(path, std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return failure(path, "not a regular file");

    const FileSignature signature(st);
    if (auto store = cachedStore(path, signature))
        return {std::move(store), {}};
    if (static_cast<unsigned long long>(st.st_size) >= UINT32_MAX)
        return failure(path, "larger than 4 GiB");

    std::string text;
    text.reserve(static_cast<size_t>(st.st_size));
    if (!readToEnd(fd.get(), text))
        return failure(path, std::strerror(errno));
    auto store = std::make_shared<const ConfigStore>(std::move(text));
    const bool reusable =
        nanoseconds(signature.changed) < nanoseconds(lookedAt) - timestampUncertaintyNs(signature);
    remember(path, CacheEntry{signature, reusable, store});
    return {std::move(store), {}};
}

}  // namespace krlib
