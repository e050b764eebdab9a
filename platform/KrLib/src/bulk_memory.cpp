#include "bulk_memory.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sys/mman.h>

namespace krlib {

namespace bulk {
namespace {

// From this size on, a block is mapped rather than taken from the heap.
constexpr std::size_t kMappedFrom = std::size_t{128} << 10;
constexpr std::size_t kLine = 64;
// Released blocks kept for reuse: at most this many, of at most this size in
// all, each for at most this long. A block is reused for a request of at
// least half its size.
constexpr std::size_t kMostSpares = 12;
constexpr std::size_t kMostSpareBytes = std::size_t{128} << 20;
constexpr long long kSpareLifeNs = 10'000'000'000LL;

struct Spare {
    Block block;
    long long keptAt = 0;
};

struct Spares {
    std::mutex lock;
    Spare kept[kMostSpares];
    std::size_t bytes = 0;
    // When the oldest spare was kept, or 0 when none is: a look without the
    // lock tells whether any is due to be dropped.
    std::atomic<long long> oldest{0};
};

// Built before any code runs and with nothing to undo at exit, so that a
// store released while the process exits still finds it, and so that
// reaching it never allocates (keep() must not throw).
static_assert(std::is_trivially_destructible_v<Spares>);
constinit Spares allSpares;

Spares& spares() { return allSpares; }

long long nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<long long>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

void unmap(Block block) noexcept { munmap(block.at, block.bytes); }

// Blocks to unmap once the lock is let go: munmap() is slow, and others may
// be waiting.
struct Dropped {
    Block blocks[kMostSpares + 1];
    size_t count = 0;
    void add(Block block) { blocks[count++] = block; }
    ~Dropped()
    {
        for (size_t i = 0; i < count; ++i)
            unmap(blocks[i]);
    }
};

// Drops the spares kept longer than their life. Call with the lock held.
void dropStale(Spares& all, long long now, Dropped& dropped)
{
    long long oldest = 0;
    for (Spare& spare : all.kept) {
        if (spare.block.at == nullptr)
            continue;
        if (now - spare.keptAt > kSpareLifeNs) {
            all.bytes -= spare.block.bytes;
            dropped.add(std::exchange(spare, Spare{}).block);
        } else if (oldest == 0 || spare.keptAt < oldest) {
            oldest = spare.keptAt;
        }
    }
    all.oldest.store(oldest, std::memory_order_relaxed);
}

Block spareFor(std::size_t bytes)
{
    Dropped dropped;
    Spares& all = spares();
    std::lock_guard<std::mutex> guard(all.lock);
    dropStale(all, nowNs(), dropped);
    Spare* best = nullptr;
    for (Spare& spare : all.kept) {
        const Block& block = spare.block;
        if (block.at != nullptr && block.bytes >= bytes && block.bytes / 2 <= bytes &&
            (best == nullptr || block.bytes < best->block.bytes))
            best = &spare;
    }
    if (best == nullptr)
        return {};
    all.bytes -= best->block.bytes;
    return std::exchange(*best, Spare{}).block;
}

// Keeps `block` for reuse, making room by dropping the spares kept longest:
// the block just released is the likeliest to fit the next parse, of the
// same store. A block larger than all that may be kept is unmapped.
void keep(Block block) noexcept
{
    Dropped dropped;
    if (block.bytes > kMostSpareBytes) {
        dropped.add(block);
        return;
    }
    Spares& all = spares();
    std::lock_guard<std::mutex> guard(all.lock);
    const long long now = nowNs();
    dropStale(all, now, dropped);
    for (;;) {
        Spare* empty = nullptr;
        Spare* oldest = nullptr;
        for (Spare& spare : all.kept) {
            if (spare.block.at == nullptr)
                empty = &spare;
            else if (oldest == nullptr || spare.keptAt < oldest->keptAt)
                oldest = &spare;
        }
        if (empty != nullptr && all.bytes + block.bytes <= kMostSpareBytes) {
            *empty = Spare{block, now};
            all.bytes += block.bytes;
            if (all.oldest.load(std::memory_order_relaxed) == 0)
                all.oldest.store(now, std::memory_order_relaxed);
            return;
        }
        // Not empty: the block alone fits within the bound.
        all.bytes -= oldest->block.bytes;
        dropped.add(std::exchange(*oldest, Spare{}).block);
    }
}

}  // namespace

void dropStaleSpares() noexcept
{
    Spares& all = spares();
    const long long oldest = all.oldest.load(std::memory_order_relaxed);
    if (oldest == 0)
        return;
    const long long now = nowNs();
    if (now - oldest <= kSpareLifeNs)
        return;
    Dropped dropped;
    std::lock_guard<std::mutex> guard(all.lock);
    dropStale(all, now, dropped);
}

Block allocate(std::size_t bytes)
{
    if (bytes < kMappedFrom) {
        // Aligned to a cache line, as buckets are.
        void* at = std::aligned_alloc(kLine, (bytes + kLine - 1) / kLine * kLine);
        if (at == nullptr)
            throw std::bad_alloc();
        return {at, bytes};
    }
    if (const Block spare = spareFor(bytes); spare.at != nullptr)
        return spare;
    void* at = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED)
        throw std::bad_alloc();
    madvise(at, bytes, MADV_HUGEPAGE);  // fewer page faults; only a hint
    return {at, bytes};
}

Block reallocate(Block block, std::size_t bytes)
{
    if (block.at == nullptr)
        return allocate(bytes);
    const Block moved = allocate(bytes);
    std::memcpy(moved.at, block.at, std::min(block.bytes, bytes));
    release(block);
    return moved;
}

void release(Block block) noexcept
{
    if (block.at == nullptr)
        return;
    if (block.bytes < kMappedFrom)
        std::free(block.at);
    else
        keep(block);
}

}  // namespace bulk

}  // namespace krlib
