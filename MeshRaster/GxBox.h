// Axis-aligned boxes, and the utilities that grow, build, snap and map them.
#pragma once

#include "GxCoord2D.h"

class GxGeometry;
class GxGridParam;

// West, south, east and north sides. As the result of interRowsCols the four
// fields instead hold whole numbers: first column, first row, last column and
// last row of an inclusive range of cells.
class GxBox {
public:
    double x1_;
    double y1_;
    double x2_;
    double y2_;

    // Stored as given, without reordering: an inverted box can be represented.
    GxBox(double x1 = 0.0, double y1 = 0.0, double x2 = 0.0, double y2 = 0.0) : x1_(x1), y1_(y1), x2_(x2), y2_(y2) {}
    // The box with lowerLeft and upperRight as its corners, stored as given.
    GxBox(const GxCoord2D& lowerLeft, const GxCoord2D& upperRight)
        : x1_(lowerLeft.x()), y1_(lowerLeft.y()), x2_(upperRight.x()), y2_(upperRight.y()) {}

    // West side.
    double x1() const { return x1_; }
    // South side.
    double y1() const { return y1_; }
    // East side.
    double x2() const { return x2_; }
    // North side.
    double y2() const { return y2_; }
    // East minus west; negative for an inverted box.
    double width() const { return x2_ - x1_; }
    // North minus south; negative for an inverted box.
    double height() const { return y2_ - y1_; }
    // The midpoint of the four sides.
    GxCoord2D center() const { return GxCoord2D((x1_ + x2_) * 0.5, (y1_ + y2_) * 0.5); }

    // True when all four sides are equal.
    bool operator==(const GxBox& other) const {
        return x1_ == other.x1_ && y1_ == other.y1_ && x2_ == other.x2_ && y2_ == other.y2_;
    }
    // True when the box is ordered: no lower side above its upper side.
    bool isValid() const { return x1_ <= x2_ && y1_ <= y2_; }
    // The south-west corner.
    GxCoord2D lowerLeft() const { return GxCoord2D(x1_, y1_); }
    // The north-east corner.
    GxCoord2D upperRight() const { return GxCoord2D(x2_, y2_); }
};

// Scales box about its centre by t.
void zoomIn(GxBox& box, double t);
// Scales box about its centre by 1 / t.
void zoomOut(GxBox& box, double t);
// Grows box to take in pt, by four independent tests (an inverted box may move
// both sides of an axis).
void updateBox(GxBox& box, const GxCoord2D& pt);
// Grows box to take in other.
void updateBox(GxBox& box, const GxBox& other);
// Grows box to take in the bounding box of geo.
void updateBox(GxBox& box, const GxGeometry& geo);
// The ordered box through two opposite corners, widened by tol on every side.
GxBox makeBox(double x1, double y1, double x2, double y2, const double& tol);
// box snapped outward onto the lattice of multiples of bWidth and bHeight.
GxBox adjustToCut(GxBox& box, double bWidth, double bHeight);
// The inclusive range of cells whose centres box covers (see GxBox.cpp for the
// edge rules); the range of cell (0, 0) alone for a box that misses the grid.
GxBox interRowsCols(GxBox& box, GxGridParam& gridPar);
// The same range; meetsGrid tells it apart from the range of cell (0, 0) that
// stands for "no overlap".
GxBox interRowsCols(const GxBox& box, const GxGridParam& gridPar, bool& meetsGrid);
