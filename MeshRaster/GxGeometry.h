// The common type of geometries: all the system needs of one is its bounding box.
#pragma once

#include "GxBox.h"

class GxGeometry {
public:
    explicit GxGeometry(const GxBox& box = GxBox()) : box_(box) {}
    virtual ~GxGeometry() = default;

    // The bounding box.
    const GxBox& boundingBox() const { return box_; }

protected:
    GxBox box_;
};
