// Memory for the large arrays of a parsed configuration store. Internal to
// libKrLib.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

namespace krlib {

// Memory for large arrays. A large block is mapped, in huge pages where the
// system allows, and once released it is kept a few seconds for the next
// parse: a fresh page costs a fault and a clearing, which for a store of a
// million lines costs more than parsing it. Small blocks come from the heap.
// Pages never written are never touched. allocate() and reallocate() throw
// std::bad_alloc when there is no memory.
namespace bulk {
struct Block {
    void* at = nullptr;
    std::size_t bytes = 0;  // what was asked for, or more
};
Block allocate(std::size_t bytes);
// Keeps the first bytes of `block`; on failure throws and leaves it as it was.
Block reallocate(Block block, std::size_t bytes);
void release(Block block) noexcept;
// Unmaps the released blocks kept longer than they are kept for; cheap when
// there are none. Called on every read of a store, so that a process that
// has parsed a large store does not hold its spare memory for long.
void dropStaleSpares() noexcept;
}  // namespace bulk

// An array of `T` left uninitialised, in bulk memory.
template <class T>
class HeapArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    HeapArray() = default;
    explicit HeapArray(std::size_t count) { allocate(count); }
    ~HeapArray() { bulk::release(block_); }
    HeapArray(HeapArray&& other) noexcept : block_(std::exchange(other.block_, {})) {}
    HeapArray& operator=(HeapArray&& other) noexcept
    {
        if (this != &other) {
            bulk::release(block_);
            block_ = std::exchange(other.block_, {});
        }
        return *this;
    }

    void allocate(std::size_t count)
    {
        const bulk::Block block = bulk::allocate(bytesFor(count));
        bulk::release(block_);
        block_ = block;
    }
    // Keeps the first items; throws std::bad_alloc, leaving them as they are,
    // when there is no room.
    void reallocate(std::size_t count) { block_ = bulk::reallocate(block_, bytesFor(count)); }
    T* data() { return static_cast<T*>(block_.at); }
    const T* data() const { return static_cast<const T*>(block_.at); }
    T& operator[](std::size_t i) { return data()[i]; }
    const T& operator[](std::size_t i) const { return data()[i]; }

private:
    static std::size_t bytesFor(std::size_t count)
    {
        if (count > SIZE_MAX / sizeof(T))
            throw std::bad_alloc();
        return count > 0 ? count * sizeof(T) : 1;
    }
    bulk::Block block_;
};

}  // namespace krlib
