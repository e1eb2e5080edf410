#pragma once
// Owning, move-only, uninitialised storage for kernel planes and results.
// Allocation failures (including sizes that overflow or could never fit in
// this machine's memory) throw std::bad_alloc, which the frame maps to
// MemoryError; an absurd request therefore fails cleanly instead of letting the
// kernel write out of bounds or the OOM killer end the process.
#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

#ifndef OSTREL_BLOCK_CACHE
#define OSTREL_BLOCK_CACHE 1
#endif

namespace ostrel {

inline constexpr bool kBlockCacheEnabled = OSTREL_BLOCK_CACHE != 0;

// Bytes that may be requested at once: the machine's physical memory.
std::size_t allocation_limit_bytes() noexcept;

void* allocate_aligned_bytes(std::size_t count, std::size_t element_size);  // throws std::bad_alloc
// Large blocks (1 MiB and more) are not returned to the system at once: the
// last two, up to 512 MiB each, are kept for the next allocations of about
// their size (at most twice the request), which then need no page faults.
// Builds with OSTREL_BLOCK_CACHE=0 (those with AddressSanitizer) free every
// block at once.
void free_aligned_bytes(void* block) noexcept;
// Returns the kept blocks to the system.
void release_cached_blocks() noexcept;

template <class T>
class AlignedBuffer {
public:
    AlignedBuffer() noexcept = default;
    explicit AlignedBuffer(std::size_t count)
        : data_(static_cast<T*>(allocate_aligned_bytes(count, sizeof(T)))), size_(count) {}
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
    AlignedBuffer(AlignedBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    AlignedBuffer& operator=(AlignedBuffer&& other) noexcept {
        if (this != &other) {
            free_aligned_bytes(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~AlignedBuffer() { free_aligned_bytes(data_); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

    // Hands the block to a new owner (the Python holder object).
    T* release() noexcept {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace ostrel
