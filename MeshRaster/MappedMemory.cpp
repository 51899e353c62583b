#include "MappedMemory.h"

#include <sys/mman.h>

#include <cstdint>
#include <system_error>

namespace {

// The size of a huge page on x86-64 and most 64-bit systems; elsewhere the
// alignment costs at most this much address space and nothing else.
constexpr std::size_t kHugePage = std::size_t{1} << 21;

std::size_t wholeHugePages(std::size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

}  // namespace

void* mapMemory(std::size_t bytes) {
    if (bytes > PTRDIFF_MAX - 2 * kHugePage) return nullptr;
    if (bytes < kHugePage) {
        // A small block is not worth a huge page.
        void* const block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return block == MAP_FAILED ? nullptr : block;
    }
    const std::size_t whole = wholeHugePages(bytes);
    // One huge page more than needed, so that the block can start on a huge
    // page boundary; the spare ends are returned at once.
    void* const mapped = ::mmap(nullptr, whole + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
    if (aligned > start) ::munmap(mapped, aligned - start);
    const std::size_t tail = kHugePage - (aligned - start);
    if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + whole), tail);
    // Advice only: without huge pages the block works the same, page by page.
    ::madvise(reinterpret_cast<void*>(aligned), whole, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void unmapMemory(void* block, std::size_t bytes) {
    if (block != nullptr) ::munmap(block, bytes < kHugePage ? bytes : wholeHugePages(bytes));
}

PagesMadePresent::PagesMadePresent(const void* block, std::size_t bytes) {
#ifdef MADV_POPULATE_WRITE
    if (block == nullptr || bytes < kHugePage) return;
    try {
        thread_ = std::thread([this, block, bytes] {
            // madvise takes no const block; this one changes no byte of it.
            auto* const first = static_cast<char*>(const_cast<void*>(block));
            const std::size_t whole = wholeHugePages(bytes);
            for (std::size_t at = 0; at < whole && !stop_.load(std::memory_order_relaxed); at += kHugePage)
                if (::madvise(first + at, kHugePage, MADV_POPULATE_WRITE) != 0) return;
        });
    } catch (const std::system_error&) {
        // No thread: the pages come as the grid is filled, as they always did.
    }
#else
    (void)block;
    (void)bytes;
#endif
}

PagesMadePresent::~PagesMadePresent() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}
