// A point of the plane: node positions, cell centres and the steps between them.
#pragma once

#include <cmath>
#include <vector>

#include "MappedMemory.h"

class GxCoord2D {
public:
    // An array of points starts as (0, 0) points.
    GxCoord2D(const double& x = 0.0, const double& y = 0.0) : x_(x), y_(y) {}

    // The x component.
    double x() const { return x_; }
    // The y component.
    double y() const { return y_; }
    // Sets the x component.
    void x(const double& x) { x_ = x; }
    // Sets the y component.
    void y(const double& y) { y_ = y; }
    // Sets both components.
    void setXY(const double& x, const double& y) {
        x_ = x;
        y_ = y;
    }

    // Moves the point by other: the rasteriser steps from one cell centre to the
    // next this way, so centres are reached by repeated addition.
    GxCoord2D& operator+=(const GxCoord2D& other) {
        x_ += other.x_;
        y_ += other.y_;
        return *this;
    }

    // True when both components are equal.
    bool operator==(const GxCoord2D& other) const { return x_ == other.x_ && y_ == other.y_; }
    // True when a component differs.
    bool operator!=(const GxCoord2D& other) const { return !(*this == other); }
    // Ordered by x, then by y.
    bool operator<(const GxCoord2D& other) const { return x_ < other.x_ || (x_ == other.x_ && y_ < other.y_); }
    // Ordered by x, then by y, or equal.
    bool operator<=(const GxCoord2D& other) const { return *this < other || *this == other; }

    // True when a component is not finite or beyond 1e300 in magnitude.
    bool tooBig() const {
        return !std::isfinite(x_) || !std::isfinite(y_) || std::fabs(x_) > 1e300 || std::fabs(y_) > 1e300;
    }
    // Multiplies the components by sx and sy.
    void scale(double sx, double sy) {
        x_ *= sx;
        y_ *= sy;
    }
    // The point halfway in x towards other, at this point's y.
    GxCoord2D halfWayHoriz(GxCoord2D& other) { return GxCoord2D((x_ + other.x_) * 0.5, y_); }
    // The point halfway in y towards other, at this point's x.
    GxCoord2D halfWayVert(GxCoord2D& other) { return GxCoord2D(x_, (y_ + other.y_) * 0.5); }
    // Squared distance to other.
    double distance2(GxCoord2D& other) {
        const double dx = x_ - other.x_;
        const double dy = y_ - other.y_;
        return dx * dx + dy * dy;
    }

private:
    double x_;
    double y_;
};

// Node coordinates of a zone; entry k - 1 belongs to node number k.
// Node coordinates; a large table is mapped in huge pages.
using GxCoord2DVector = std::vector<GxCoord2D, MappedAllocator<GxCoord2D>>;
