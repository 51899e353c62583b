#include "GxGrid.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <stdexcept>

#include "MappedMemory.h"

GxGrid::GxGrid(int nrows, int ncols, int firstRow, int endRow)
    : nrows_(nrows > 0 ? nrows : 0), ncols_(ncols > 0 ? ncols : 0) {
    first_ = std::min(std::max(firstRow, 0), nrows_);
    end_ = std::min(std::max(endRow, first_), nrows_);
    storedRows_ = static_cast<unsigned>(end_ - first_);
    cells_ = static_cast<std::size_t>(end_ - first_) * static_cast<std::size_t>(ncols_);
    if (cells_ == 0) return;
    if (cells_ > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(double) / 2) throw std::length_error("grid");
    data_ = static_cast<double*>(mapMemory(cells_ * sizeof(double)));
    if (data_ == nullptr) throw std::bad_alloc();
}

// A grid without cells holds no block: data_ is null, and unmapMemory ignores it.
GxGrid::~GxGrid() { unmapMemory(data_, cells_ * sizeof(double)); }

GxGrid::GxGrid(GxGrid&& other) noexcept
    : data_(other.data_),
      cells_(other.cells_),
      nrows_(other.nrows_),
      ncols_(other.ncols_),
      first_(other.first_),
      end_(other.end_),
      storedRows_(other.storedRows_),
      shared_(other.shared_),
      spill_(other.spill_) {
    other.data_ = nullptr;
    other.cells_ = 0;
}
