// The common type of geometries: all the system needs of one is its bounding box.
#pragma once

#include "GxBox.h"

class GxGeometry {
public:
    // A geometry with the bounding box box.
    explicit GxGeometry(const GxBox& box = GxBox()) : box_(box) {}
    // Virtual, as the base of the geometry types.
    virtual ~GxGeometry() = default;

    // The bounding box.
    const GxBox& boundingBox() const { return box_; }

protected:
    GxBox box_;
};
