#include "config_store.h"

#include "unique_fd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace krlib {

namespace {

// Line feeds in `text`: sixteen bytes at a time where the processor has the
// instructions for it, else eight.
size_t lineFeedsIn(std::string_view text)
{
    size_t lines = 0;
    const char* at = text.data();
    const char* const end = at + text.size();
#if defined(__SSE2__)
    const __m128i feed = _mm_set1_epi8('\n');
    const __m128i zero = _mm_setzero_si128();
    while (end - at >= 16) {
        // Each byte of `counts` counts the feeds in its lane, for at most
        // 255 rounds; then the lanes are summed.
        __m128i counts = zero;
        const size_t rounds = std::min<size_t>(255, static_cast<size_t>(end - at) / 16);
        for (size_t i = 0; i < rounds; ++i, at += 16)
            counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), feed));
        const __m128i sums = _mm_sad_epu8(counts, zero);
        lines += static_cast<size_t>(_mm_cvtsi128_si32(sums)) + static_cast<size_t>(_mm_extract_epi16(sums, 4));
    }
#else
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kLows = 0x7F7F7F7F7F7F7F7FULL;
    for (; end - at >= 8; at += 8) {
        std::uint64_t word;
        std::memcpy(&word, at, sizeof word);
        const std::uint64_t feeds = word ^ (kOnes * '\n');  // zero where a line feed is
        // 1 in each byte that was a line feed, 0 elsewhere; the product's
        // top byte is their sum.
        const std::uint64_t marks = (~(((feeds & kLows) + kLows) | feeds | kLows)) >> 7;
        lines += static_cast<size_t>((marks * kOnes) >> 56);
    }
#endif
    return lines + static_cast<size_t>(std::count(at, end, '\n'));
}

}  // namespace

StoreText StoreText::copyOf(std::string_view text)
{
    if (text.size() >= UINT32_MAX)
        throw std::length_error("configuration store of 4 GiB or more");
    StoreText copy;
    copy.bytes_.allocate(text.size());
    std::memcpy(copy.bytes_.data(), text.data(), text.size());
    copy.size_ = text.size();
    copy.lineFeeds_ = lineFeedsIn(text);
    return copy;
}

bool StoreText::readFrom(int fd, std::size_t expectedSize)
{
    // Pieces small enough to stay in the cache until their line feeds are
    // counted; one byte of room past the expected size, so that a file that
    // has not grown is read to its end without moving the buffer.
    constexpr std::size_t kPiece = 256 * 1024;
    std::size_t capacity = std::min<std::size_t>(expectedSize, UINT32_MAX) + 1;
    bytes_.allocate(capacity);
    size_ = 0;
    lineFeeds_ = 0;
    for (;;) {
        if (size_ == capacity) {
            if (capacity >= UINT32_MAX) {
                errno = EFBIG;
                return false;
            }
            capacity = std::min<std::size_t>(2 * capacity, UINT32_MAX);
            bytes_.reallocate(capacity);
        }
        const ssize_t n = ::read(fd, bytes_.data() + size_, std::min(kPiece, capacity - size_));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        lineFeeds_ += lineFeedsIn({bytes_.data() + size_, static_cast<size_t>(n)});
        size_ += static_cast<size_t>(n);
    }
    if (size_ >= UINT32_MAX) {
        errno = EFBIG;
        return false;
    }
    return true;
}

void ConfigStore::forEach(
    const std::function<void(std::string_view, std::string_view, std::string_view)>& visit) const
{
    // Each filled slot is one (section, name) and leads to its last line.
    // Listed by section, then by name.
    struct Listed {
        std::string_view section, name, value;
    };
    std::vector<Listed> listed;
    for (size_t b = 0; b < bucketCount_; ++b) {
        for (const std::uint32_t index : buckets_[b].records) {
            if (index == 0)
                continue;
            const Record& record = records_[index - 1];
            listed.push_back({sections_[record.section], nameOf(record), valueOf(record)});
        }
    }
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

std::uint64_t load64(const char* at)
{
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

std::uint64_t load32(const char* at)
{
    std::uint32_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// The two halves of a full product, folded: the mixing step of the hash.
std::uint64_t fold(std::uint64_t a, std::uint64_t b)
{
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

constexpr std::uint64_t kMix1 = 0xA0761D6478BD642FULL;
constexpr std::uint64_t kMix2 = 0xE7037ED1A0B428DBULL;

// A hash of `text` under `seed`, in line (names are short, and the parse of
// a large store hashes one per line). Reads only the bytes of `text`.
std::uint64_t hashBytes(std::string_view text, std::uint64_t seed)
{
    const char* at = text.data();
    const size_t length = text.size();
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    if (length <= 16) {
        if (length >= 8) {
            a = load64(at);
            b = load64(at + length - 8);
        } else if (length >= 4) {
            a = load32(at);
            b = load32(at + length - 4);
        } else if (length > 0) {
            const auto byte = [&](size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(at[i])); };
            a = (byte(0) << 16) | (byte(length >> 1) << 8) | byte(length - 1);
        }
    } else {
        size_t left = length;
        while (left > 16) {
            seed = fold(load64(at) ^ kMix1, load64(at + 8) ^ seed);
            at += 16;
            left -= 16;
        }
        // The last 16 bytes, some of them hashed already.
        a = load64(at + left - 16);
        b = load64(at + left - 8);
    }
    return fold(a ^ seed ^ kMix1, b ^ length ^ kMix2);
}

// Chosen once per process, so that which names share a slot cannot be
// worked out in advance.
std::uint64_t processSeed()
{
    static const std::uint64_t seed = [] {
        std::uint64_t value = 0;
        if (getentropy(&value, sizeof value) != 0)
            value = static_cast<std::uint64_t>(getpid()) * kMix2;
        return value;
    }();
    return seed;
}

std::uint64_t sectionHash(std::string_view section) { return hashBytes(section, processSeed()); }

std::uint64_t keyHash(std::uint64_t section, std::string_view name) { return hashBytes(name, section); }

// What a slot keeps of a key's hash: its upper half. Its top bits pick the
// partition; the rest pick the slot in it and tell most keys apart without a
// look at their names.
std::uint32_t tagOf(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32); }

// The home bucket of `tag` among a partition's `count`, from the bits of the
// tag below those that chose the partition.
std::uint32_t homeBucket(std::uint32_t tag, unsigned partitionBits, std::uint32_t count)
{
    const std::uint32_t spread = partitionBits == 0 ? tag : tag << partitionBits;
    return static_cast<std::uint32_t>((std::uint64_t{spread} * count) >> 32);
}

// Bit k set where slot k of the bucket is filled, and where it holds `tag`.
// Without branches: which slots match is not predictable.
#if defined(__SSE2__)
unsigned laneMask(__m128i low, __m128i high)
{
    return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(low))) |
           static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(high))) << 4;
}

template <class Bucket>
unsigned filledSlots(const Bucket& bucket)
{
    const auto* records = reinterpret_cast<const __m128i*>(bucket.records);
    const __m128i zero = _mm_setzero_si128();
    return ~laneMask(_mm_cmpeq_epi32(_mm_load_si128(records), zero),
                     _mm_cmpeq_epi32(_mm_load_si128(records + 1), zero)) &
           0xFFu;
}

template <class Bucket>
unsigned slotsTagged(const Bucket& bucket, std::uint32_t tag)
{
    const auto* tags = reinterpret_cast<const __m128i*>(bucket.tags);
    const __m128i wanted = _mm_set1_epi32(static_cast<int>(tag));
    return laneMask(_mm_cmpeq_epi32(_mm_load_si128(tags), wanted), _mm_cmpeq_epi32(_mm_load_si128(tags + 1), wanted));
}
#else
template <class Bucket>
unsigned filledSlots(const Bucket& bucket)
{
    unsigned mask = 0;
    for (unsigned k = 0; k < 8; ++k)
        mask |= static_cast<unsigned>(bucket.records[k] != 0) << k;
    return mask;
}

template <class Bucket>
unsigned slotsTagged(const Bucket& bucket, std::uint32_t tag)
{
    unsigned mask = 0;
    for (unsigned k = 0; k < 8; ++k)
        mask |= static_cast<unsigned>(bucket.tags[k] == tag) << k;
    return mask;
}
#endif

}  // namespace

ConfigStore::ConfigStore(std::string_view text) : text_(StoreText::copyOf(text)) { build(); }

ConfigStore::ConfigStore(StoreText text) : text_(std::move(text)) { build(); }

namespace {

// The first line feed from `at` on, or null when there is none before `end`;
// `equals` is set to the first '=' before it, if there is one. Both are
// looked for in one pass, sixteen bytes at a time where the processor has
// the instructions for it.
const char* lineFeedAfter(const char* at, const char* end, const char*& equals)
{
    equals = nullptr;
#if defined(__SSE2__)
    const __m128i feed = _mm_set1_epi8('\n');
    const __m128i sign = _mm_set1_epi8('=');
    for (; end - at >= 16; at += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        const auto feeds = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, feed)));
        if (equals == nullptr) {
            auto signs = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, sign)));
            // Only the signs before the first feed count.
            if (feeds != 0)
                signs &= (feeds & (0u - feeds)) - 1;
            if (signs != 0)
                equals = at + __builtin_ctz(signs);
        }
        if (feeds != 0)
            return at + __builtin_ctz(feeds);
    }
#endif
    for (; at < end; ++at) {
        if (*at == '\n')
            return at;
        if (*at == '=' && equals == nullptr)
            equals = at;
    }
    return nullptr;
}

}  // namespace

// A value on its way to its partition: its key's tag and its record.
struct ConfigStore::Pair {
    std::uint32_t tag;
    std::uint32_t record;
};

bool ConfigStore::sameKey(const Record& a, const Record& b) const
{
    return nameOf(a) == nameOf(b) && (a.section == b.section || sections_[a.section] == sections_[b.section]);
}

template <class IsKey>
inline ConfigStore::Slot ConfigStore::probe(const Partition& partition, std::uint32_t tag, IsKey isKey) const
{
    const size_t end = partition.base + partition.count;
    for (size_t b = partition.base + homeBucket(tag, partitionBits_, partition.count);;) {
        const Bucket& bucket = buckets_[b];
        const unsigned filled = filledSlots(bucket);
        for (unsigned same = slotsTagged(bucket, tag) & filled; same != 0; same &= same - 1) {
            const int k = __builtin_ctz(same);
            if (isKey(records_[bucket.records[k] - 1]))
                return {b, k, true};
        }
        if (filled != 0xFF)
            return {b, __builtin_ctz(~filled), false};
        if (++b == end)
            b = partition.base;
    }
}

inline void ConfigStore::insert(const Partition& partition, const Pair& pair)
{
    // The same key's slot takes the later line, which replaces the earlier
    // one; a new key takes the empty slot.
    const Slot slot =
        probe(partition, pair.tag, [&](const Record& kept) { return sameKey(kept, records_[pair.record]); });
    Bucket& bucket = buckets_[slot.bucket];
    bucket.tags[slot.k] = pair.tag;
    bucket.records[slot.k] = pair.record + 1;
}

void ConfigStore::build()
{
    // About this many values per partition keep its buckets (16 bytes per
    // value) within the processor's second-level cache.
    constexpr size_t kValuesPerPartition = 8192;
    constexpr unsigned kMostPartitionBits = 12;
    // Pairs are kept in blocks, each partition's blocks chained in the order
    // they were filled, so that the parse writes one stream per partition.
    constexpr std::uint32_t kBlockPairs = 1024;
    constexpr std::uint32_t kNoBlock = UINT32_MAX;
    constexpr std::uint32_t kPairsPerLine = 64 / sizeof(Pair);

    const std::string_view text = text_.view();
    const size_t mostValues = text_.lineFeeds() + 1;
    while (partitionBits_ < kMostPartitionBits && (mostValues >> partitionBits_) > kValuesPerPartition)
        ++partitionBits_;
    const size_t partitionCount = size_t{1} << partitionBits_;

    struct Run {
        std::uint32_t first = kNoBlock;
        std::uint32_t last = kNoBlock;
        std::uint32_t fill = kBlockPairs;  // in the last block; full: none yet
        std::uint32_t count = 0;
    };
    std::vector<Run> runs(partitionCount);
    const size_t mostBlocks = mostValues / kBlockPairs + partitionCount;
    HeapArray<Pair> pairs(mostBlocks * kBlockPairs);
    HeapArray<std::uint32_t> nextBlock(mostBlocks);
    std::uint32_t blocksTaken = 0;
    records_.allocate(mostValues);
    std::uint32_t recordCount = 0;

    // The parse: one pass, records in line order, each value's pair sent to
    // its partition.
    std::uint64_t sectionKey = 0;  // values before the first header belong to no section
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    for (const char* at = begin; at < end;) {
        const char* equals = nullptr;
        const char* const feed = lineFeedAfter(at, end, equals);
        const char* contentEnd = feed != nullptr ? feed : end;
        if (feed != nullptr && contentEnd > at && contentEnd[-1] == '\r')
            --contentEnd;
        const ParsedLine line = parseLine({at, static_cast<size_t>(contentEnd - at)},
                                          equals != nullptr ? static_cast<size_t>(equals - at) : std::string_view::npos);
        at = feed != nullptr ? feed + 1 : end;
        if (line.kind == ParsedLine::Kind::Section) {
            sections_.push_back(line.section);
            sectionKey = sectionHash(line.section);
        } else if (line.kind == ParsedLine::Kind::Value && !sections_.empty()) {
            records_[recordCount] = Record{static_cast<std::uint32_t>(line.name.data() - begin),
                                           static_cast<std::uint32_t>(line.name.size()),
                                           static_cast<std::uint32_t>(line.value.data() - begin),
                                           static_cast<std::uint32_t>(line.value.size()),
                                           static_cast<std::uint32_t>(sections_.size() - 1)};
            const std::uint32_t tag = tagOf(keyHash(sectionKey, line.name));
            Run& run = runs[partitionIndex(tag)];
            if (run.fill == kBlockPairs) {
                const std::uint32_t block = blocksTaken++;
                nextBlock[block] = kNoBlock;
                (run.last == kNoBlock ? run.first : nextBlock[run.last]) = block;
                run.last = block;
                run.fill = 0;
            }
            Pair* const into = &pairs[size_t{run.last} * kBlockPairs + run.fill++];
            // Many streams are written at once, more than the processor
            // follows by itself: fetch each one's next line ahead of its use.
            if ((run.fill & (kPairsPerLine - 1)) == 0)
                __builtin_prefetch(into + kPairsPerLine, 1);
            *into = Pair{tag, recordCount};
            ++run.count;
            ++recordCount;
        }
    }

    // The index, one partition at a time: its buckets are cleared and
    // filled while they sit in the cache.
    partitions_.resize(partitionCount);
    for (size_t p = 0; p < partitionCount; ++p) {
        // At most half of the slots filled: eight slots per four values.
        partitions_[p] = Partition{bucketCount_, runs[p].count / 4 + 1};
        bucketCount_ += partitions_[p].count;
    }
    buckets_.allocate(bucketCount_);
    for (size_t p = 0; p < partitionCount; ++p) {
        const Partition& partition = partitions_[p];
        std::memset(&buckets_[partition.base], 0, size_t{partition.count} * sizeof(Bucket));
        std::uint32_t left = runs[p].count;
        for (std::uint32_t block = runs[p].first; left > 0; block = nextBlock[block]) {
            const std::uint32_t inBlock = std::min(left, kBlockPairs);
            for (std::uint32_t i = 0; i < inBlock; ++i)
                insert(partition, pairs[size_t{block} * kBlockPairs + i]);
            left -= inBlock;
        }
    }
}

std::optional<std::string_view> ConfigStore::find(std::string_view section, std::string_view name) const
{
    const std::uint32_t tag = tagOf(keyHash(sectionHash(section), name));
    const Slot slot = probe(partitions_[partitionIndex(tag)], tag, [&](const Record& record) {
        return nameOf(record) == name && sections_[record.section] == section;
    });
    if (!slot.found)
        return std::nullopt;
    return valueOf(records_[buckets_[slot.bucket].records[slot.k] - 1]);
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
    bulk::dropStaleSpares();

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

    StoreText text;
    if (!text.readFrom(fd.get(), static_cast<size_t>(st.st_size)))
        return failure(path, errno == EFBIG ? "larger than 4 GiB" : std::strerror(errno));
    auto store = std::make_shared<const ConfigStore>(std::move(text));
    const bool reusable =
        nanoseconds(signature.changed) < nanoseconds(lookedAt) - timestampUncertaintyNs(signature);
    remember(path, CacheEntry{signature, reusable, store});
    return {std::move(store), {}};
}

}  // namespace krlib
