// The output raster and its georeference.
#pragma once

#include <cstddef>

class ElementSink;

// Conversion to int by truncation toward zero, as every count and every row or
// column index of the grid is formed. A value beyond the range of int saturates
// and NaN gives 0, so no input can make the conversion undefined.
inline int truncToInt(double v) {
    if (!(v > -2147483649.0)) return v != v ? 0 : -2147483647 - 1;
    if (!(v < 2147483648.0)) return 2147483647;
    return static_cast<int>(v);
}

// Extent and cell size of the grid. Column 0 is the westernmost column and row 0
// the northernmost; cell (row, col) is centred on
// (xmin_ + resx_ * 0.5 + col * resx_, ymax_ - resy_ * 0.5 - row * resy_).
class GxGridParam {
public:
    double xmin_ = 0.0;
    double xmax_ = 0.0;
    double ymin_ = 0.0;
    double ymax_ = 0.0;
    double resx_ = 1.0;
    double resy_ = 1.0;

    // Both x bounds, then both y bounds, then the two resolutions.
    GxGridParam(double xmin, double xmax, double ymin, double ymax, double resx, double resy)
        : xmin_(xmin), xmax_(xmax), ymin_(ymin), ymax_(ymax), resx_(resx), resy_(resy) {}

    // Whole columns from xmin_ eastward: the quotient truncated toward zero, so a
    // leftover strip at the east side belongs to no cell.
    int NumCol() const { return truncToInt((xmax_ - xmin_) / resx_); }
    // Whole rows from ymax_ southward, truncated the same way.
    int NumRow() const { return truncToInt((ymax_ - ymin_) / resy_); }

    // Sets both resolutions.
    void setResolution(double resx, double resy) {
        resx_ = resx;
        resy_ = resy;
    }
    // Sets the extent, in the constructor's order.
    void setLimits(double xmin, double xmax, double ymin, double ymax) {
        xmin_ = xmin;
        xmax_ = xmax;
        ymin_ = ymin;
        ymax_ = ymax;
    }
};

// The cell values, row after row in one block; every cell starts at 0.0.
//
// The block is mapped from the system (mapMemory), not taken from the heap:
// fresh pages are already zero, so no pass writes 0.0 into every cell first,
// and a 4000 x 4000 grid is faulted in 64 huge pages rather than 31250 small
// ones (its zero fill and page faults were a quarter of a run).
//
// A band of the grid stores only rows [firstRow, endRow) of it, while NumRow()
// and NumCol() stay those of the whole grid, so that an element is filled with
// the very same doubles whichever band it is filled into (its weights and cell
// centres are stepped from its first row in the whole grid); a cell outside the
// stored rows is dropped as one outside the grid is. A band of no rows stores
// nothing and only lets the fill count what it would offer.
class GxGrid {
public:
    // A negative count is taken as 0. The cell count is 64-bit: both counts fit
    // in an int, their product need not. Throws std::bad_alloc (or
    // std::length_error) when the block cannot be had.
    GxGrid(int nrows, int ncols) : GxGrid(nrows, ncols, 0, nrows) {}
    // The band of rows [firstRow, endRow) of a grid of nrows x ncols, the
    // range cut to the grid.
    GxGrid(int nrows, int ncols, int firstRow, int endRow);
    ~GxGrid();
    GxGrid(GxGrid&& other) noexcept;
    GxGrid(const GxGrid&) = delete;
    GxGrid& operator=(const GxGrid&) = delete;
    GxGrid& operator=(GxGrid&&) = delete;

    // Number of rows.
    int NumRow() const { return nrows_; }
    // Number of columns.
    int NumCol() const { return ncols_; }
    // Number of cells stored, NumRow() * NumCol() for the whole grid.
    std::size_t cellCount() const { return cells_; }
    // The first row stored, and the row after the last.
    int firstRow() const { return first_; }
    int endRow() const { return end_; }

    // The value of cell (row, col); 0.0 outside the grid. Each bound is tested on
    // its own, so a column past the last never spills into the next row.
    double RowCol(int row, int col) const {
        if (!inside(row, col)) return 0.0;
        return data_[index(row, col)];
    }
    // Stores value in cell (row, col); a pair outside the grid is dropped.
    void RowCol(int row, int col, double value) {
        if (!inside(row, col)) return;
        data_[index(row, col)] = value;
    }
    // Raises cell (row, col) to value when value is larger, and only then: an
    // equal value changes nothing and NaN never wins. A pair outside the grid
    // is dropped. While the grid is shared (setShared), threads may raise
    // cells at once; the cell then ends with the largest value offered, as it
    // does one thread at a time, whatever the order.
    void raise(int row, int col, double value) {
        if (!inside(row, col)) return;
        double* cell = &data_[index(row, col)];
        if (!shared_) {
            if (value > *cell) *cell = value;
            return;
        }
        // A lock-free compare-and-swap maximum. The builtins are what
        // std::atomic_ref<double> is made of in g++ and clang; relaxed order
        // suffices, as every thread is joined before the grid is read.
        double seen;
        __atomic_load(cell, &seen, __ATOMIC_RELAXED);
        while (value > seen &&
               !__atomic_compare_exchange(cell, &seen, &value, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {}
    }
    // Whether raise() may be called by several threads at once.
    void setShared(bool shared) { shared_ = shared; }
    // The cells stored in storage order, the northernmost row first: cellCount() doubles.
    const double* data() const { return data_; }
    double* data() { return data_; }

    // Where the elements go instead of being filled, while the grid is read in
    // bands (Bands.h); nullptr otherwise.
    ElementSink* spill() const { return spill_; }
    void setSpill(ElementSink* spill) { spill_ = spill; }

protected:
    // The row's place among the stored rows, in unsigned arithmetic: a row
    // north of them wraps to a number no smaller than storedRows_, so one
    // comparison an axis tests both bounds, and index() shares the
    // subtraction. A band costs the fill nothing: with two comparisons rather
    // than four, the whole grid's cells are raised in fewer instructions than
    // before bands (callgrind, the example at 0.5 m).
    unsigned storedRow(int row) const { return static_cast<unsigned>(row) - static_cast<unsigned>(first_); }
    bool inside(int row, int col) const {
        return storedRow(row) < storedRows_ && static_cast<unsigned>(col) < static_cast<unsigned>(ncols_);
    }
    // Position of cell (row, col) in data_, for a cell stored.
    std::size_t index(int row, int col) const {
        return static_cast<std::size_t>(storedRow(row)) * static_cast<std::size_t>(ncols_) +
               static_cast<std::size_t>(col);
    }

    double* data_ = nullptr;
    std::size_t cells_ = 0;
    int nrows_;
    int ncols_;
    int first_ = 0;  // the rows stored, [first_, end_)
    int end_ = 0;
    unsigned storedRows_ = 0;  // end_ - first_
    bool shared_ = false;
    ElementSink* spill_ = nullptr;
};
