#include "core/aligned_buffer.hpp"

#include <cstdint>
#include <limits>
#include <mutex>

#include "core/platform.hpp"

namespace ostrel {
namespace {

constexpr std::size_t kAlignment = 64;  // a cache line, and enough for any vector width
// Large planes live on 2 MiB pages where the kernel allows it: a fresh 48 MB
// result otherwise costs some twelve thousand page faults, about as long as
// the arithmetic that fills it.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugePageThreshold = std::size_t{4} << 20;
// Freed blocks from this size on are kept for reuse (see BlockCache): in a
// virtual machine a page fault can cost microseconds, so even a 1 MP
// result's thousand pages cost more than the kernel that fills them.
constexpr std::size_t kCacheThreshold = std::size_t{1} << 20;

// The last few large blocks freed, kept for the next allocations of about
// their size. A pipeline allocates one result per kernel, of the same size,
// while the previous one dies: reusing its pages saves faulting in (and
// zeroing) tens of megabytes per call, and the occasional stall of the
// kernel assembling huge pages. Only freed blocks enter, so a block that a
// live array uses is never handed out. The cache is small and bounded.
class BlockCache {
public:
    static constexpr std::size_t kSlots = 2;
    static constexpr std::size_t kMaxBlockBytes = std::size_t{512} << 20;

    // A cached block of at least `bytes` and at most twice that, or null.
    void* take(std::size_t bytes) noexcept {
        std::lock_guard lock(mutex_);
        std::size_t best = kSlots;
        for (std::size_t i = 0; i < count_; ++i) {
            const Slot& slot = slots_[i];
            if (slot.bytes < bytes || slot.bytes / 2 > bytes) continue;
            if (best == kSlots || slot.bytes < slots_[best].bytes) best = i;
        }
        if (best == kSlots) return nullptr;
        void* block = slots_[best].block;
        for (std::size_t i = best + 1; i < count_; ++i) slots_[i - 1] = slots_[i];
        --count_;
        return block;
    }

    // Keeps `block` (usable size `bytes`); returns the block to free instead:
    // the oldest one when every slot is taken, or `block` itself when it is
    // too large to keep.
    void* give(void* block, std::size_t bytes) noexcept {
        if (bytes > kMaxBlockBytes) return block;
        std::lock_guard lock(mutex_);
        void* evicted = nullptr;
        if (count_ == kSlots) {
            evicted = slots_[0].block;
            for (std::size_t i = 1; i < count_; ++i) slots_[i - 1] = slots_[i];
            --count_;
        }
        slots_[count_++] = Slot{block, bytes};
        return evicted;
    }

    // Empties the cache into `out` (kSlots entries); returns how many.
    std::size_t drain(void** out) noexcept {
        std::lock_guard lock(mutex_);
        const std::size_t drained = count_;
        for (std::size_t i = 0; i < count_; ++i) out[i] = slots_[i].block;
        count_ = 0;
        return drained;
    }

    // fork() may come while another thread holds the lock: hold it across the
    // fork so the child gets it in a known state.
    void lock_for_fork() noexcept { mutex_.lock(); }
    void unlock_after_fork() noexcept { mutex_.unlock(); }

private:
    struct Slot {
        void* block;
        std::size_t bytes;
    };
    std::mutex mutex_;
    Slot slots_[kSlots] = {};
    std::size_t count_ = 0;
};

BlockCache& block_cache() noexcept {
    static BlockCache* const cache = [] {
        auto* created = new BlockCache();  // never destroyed: blocks may be freed during exit
        platform::at_fork([] { block_cache().lock_for_fork(); }, [] { block_cache().unlock_after_fork(); },
                          [] { block_cache().unlock_after_fork(); });
        return created;
    }();
    return *cache;
}

}  // namespace

std::size_t allocation_limit_bytes() noexcept {
    static const std::size_t limit = platform::physical_memory_bytes();
    return limit;
}

void* allocate_aligned_bytes(std::size_t count, std::size_t element_size) {
    if (element_size != 0 && count > std::numeric_limits<std::size_t>::max() / element_size) {
        throw std::bad_alloc();
    }
    std::size_t bytes = count * element_size;
    if (bytes > allocation_limit_bytes()) throw std::bad_alloc();
    // Always hand out a real block: an empty result still needs a data pointer
    // of its own so that NumPy never allocates behind our back.
    const std::size_t alignment = bytes >= kHugePageThreshold ? kHugePage : kAlignment;
    bytes = (bytes + alignment - 1) / alignment * alignment;
    if (bytes == 0) bytes = alignment;
    if (kBlockCacheEnabled && bytes >= kCacheThreshold) {
        if (void* reused = block_cache().take(bytes)) return reused;
    }
    void* block = std::aligned_alloc(alignment, bytes);
    if (block == nullptr) throw std::bad_alloc();
    if (alignment == kHugePage) platform::advise_huge_pages(block, bytes);
    return block;
}

void free_aligned_bytes(void* block) noexcept {
    if (block == nullptr) return;
    if (kBlockCacheEnabled) {
        const std::size_t usable = platform::usable_size(block);
        if (usable >= kCacheThreshold) block = block_cache().give(block, usable);
    }
    std::free(block);
}

void release_cached_blocks() noexcept {
    if (!kBlockCacheEnabled) return;
    void* blocks[BlockCache::kSlots];
    const std::size_t count = block_cache().drain(blocks);
    for (std::size_t i = 0; i < count; ++i) std::free(blocks[i]);
}

}  // namespace ostrel
