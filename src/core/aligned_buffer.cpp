#include "core/aligned_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <limits>

namespace ostrel {
namespace {

constexpr std::size_t kAlignment = 64;  // a cache line, and enough for any vector width
// Large planes live on 2 MiB pages where the kernel allows it: a fresh 48 MB
// result otherwise costs some twelve thousand page faults, about as long as
// the arithmetic that fills it.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugePageThreshold = std::size_t{4} << 20;

std::size_t physical_memory_bytes() noexcept {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return std::numeric_limits<std::size_t>::max();
    const auto p = static_cast<std::uint64_t>(pages);
    const auto s = static_cast<std::uint64_t>(page_size);
    if (p > std::numeric_limits<std::size_t>::max() / s) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(p * s);
}

}  // namespace

std::size_t allocation_limit_bytes() noexcept {
    static const std::size_t limit = physical_memory_bytes();
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
    void* block = std::aligned_alloc(alignment, bytes);
    if (block == nullptr) throw std::bad_alloc();
    if (alignment == kHugePage) madvise(block, bytes, MADV_HUGEPAGE);  // advice only: failure changes nothing
    return block;
}

void free_aligned_bytes(void* block) noexcept { std::free(block); }

}  // namespace ostrel
