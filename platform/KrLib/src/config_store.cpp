#include "config_store.h"

#include "unique_fd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unordered_map>

namespace krlib {

const std::string_view* ConfigStore::find(std::string_view section, std::string_view name) const
{
    const auto values = sections_.find(section);
    if (values == sections_.end())
        return nullptr;
    const auto value = values->second.find(name);
    return value == values->second.end() ? nullptr : &value->second;
}

std::vector<RawLine> splitLines(std::string_view text)
{
    std::vector<RawLine> lines;
    while (!text.empty()) {
        const size_t lf = text.find('\n');
        if (lf == std::string_view::npos) {
            lines.push_back({text, {}});
            break;
        }
        const size_t endOfContent = lf > 0 && text[lf - 1] == '\r' ? lf - 1 : lf;
        lines.push_back({text.substr(0, endOfContent), text.substr(endOfContent, lf + 1 - endOfContent)});
        text.remove_prefix(lf + 1);
    }
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

ConfigStore::ConfigStore(std::string text) : text_(std::move(text))
{
    // Values before the first section header belong to no section.
    Values* section = nullptr;
    for (const RawLine& raw : splitLines(text_)) {
        const ParsedLine line = parseLine(raw.content);
        if (line.kind == ParsedLine::Kind::Section)
            section = &sections_[line.section];
        else if (line.kind == ParsedLine::Kind::Value && section != nullptr)
            (*section)[line.name] = line.value;  // a later line replaces an earlier one
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
    struct stat st {};
    if (fstat(fd.get(), &st) != 0)
        return failure(path, std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return failure(path, "not a regular file");

    const FileSignature signature(st);
    if (auto store = cachedStore(path, signature))
        return {std::move(store), {}};

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
