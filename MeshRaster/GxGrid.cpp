#include "GxGrid.h"

#include <cstdint>
#include <new>
#include <stdexcept>
#include <sys/mman.h>

namespace {

// The size of a huge page on x86-64 and most 64-bit systems; elsewhere the
// alignment costs at most this much address space and nothing else.
constexpr std::size_t kHugePage = std::size_t{1} << 21;

}  // namespace

GxGrid::GxGrid(int nrows, int ncols) : nrows_(nrows > 0 ? nrows : 0), ncols_(ncols > 0 ? ncols : 0) {
    cells_ = static_cast<std::size_t>(nrows_) * static_cast<std::size_t>(ncols_);
    if (cells_ == 0) return;
    if (cells_ > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(double) - kHugePage) throw std::length_error("grid");
    const std::size_t bytes = cells_ * sizeof(double);
    if (bytes < kHugePage) {
        // A small grid is not worth a huge page.
        void* const mapped = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<double*>(mapped);
        mapped_ = bytes;
        return;
    }
    const std::size_t whole = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    // One huge page more than needed, so that the block can start on a huge
    // page boundary; the spare ends are returned at once.
    void* const mapped = ::mmap(nullptr, whole + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
    if (aligned > start) ::munmap(mapped, aligned - start);
    const std::size_t tail = kHugePage - (aligned - start);
    if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + whole), tail);
    data_ = reinterpret_cast<double*>(aligned);
    mapped_ = whole;
    // Advice only: without huge pages the block works the same, page by page.
    ::madvise(data_, mapped_, MADV_HUGEPAGE);
}

GxGrid::~GxGrid() {
    if (mapped_ > 0) ::munmap(data_, mapped_);
}

GxGrid::GxGrid(GxGrid&& other) noexcept
    : data_(other.data_),
      cells_(other.cells_),
      mapped_(other.mapped_),
      nrows_(other.nrows_),
      ncols_(other.ncols_),
      shared_(other.shared_) {
    other.data_ = nullptr;
    other.cells_ = 0;
    other.mapped_ = 0;
}
