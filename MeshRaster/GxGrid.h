// The output raster and its georeference.
#pragma once

#include <cstddef>
#include <vector>

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
class GxGrid {
public:
    // A negative count is taken as 0. The cell count is 64-bit: both counts fit
    // in an int, their product need not. Throws std::bad_alloc (or
    // std::length_error) when the block cannot be had.
    GxGrid(int nrows, int ncols) : nrows_(nrows > 0 ? nrows : 0), ncols_(ncols > 0 ? ncols : 0) {
        const std::size_t cells = static_cast<std::size_t>(nrows_) * static_cast<std::size_t>(ncols_);
        data_.reserve(cells);
        data_.resize(cells, 0.0);
    }

    // Number of rows.
    int NumRow() const { return nrows_; }
    // Number of columns.
    int NumCol() const { return ncols_; }

    // The value of cell (row, col); 0.0 outside the grid. Each bound is tested on
    // its own, so a column past the last never spills into the next row.
    double RowCol(int row, int col) const {
        if (row < 0 || row >= nrows_ || col < 0 || col >= ncols_) return 0.0;
        return data_[index(row, col)];
    }
    // Stores value in cell (row, col); a pair outside the grid is dropped.
    void RowCol(int row, int col, double value) {
        if (row < 0 || row >= nrows_ || col < 0 || col >= ncols_) return;
        data_[index(row, col)] = value;
    }
    // The cells in storage order, row 0 (the north) first: NumRow() * NumCol() doubles.
    const double* data() const { return data_.data(); }

protected:
    // Position of cell (row, col) in data_, for a cell inside the grid.
    std::size_t index(int row, int col) const {
        return static_cast<std::size_t>(row) * static_cast<std::size_t>(ncols_) + static_cast<std::size_t>(col);
    }

    std::vector<double> data_;
    int nrows_;
    int ncols_;
};
