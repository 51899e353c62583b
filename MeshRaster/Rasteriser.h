// The rasteriser: an element's nodes and values onto the cells whose centres it
// covers, rectangles bilinearly and every other element as triangles by their
// plane. It knows nothing of how the elements were read.
#pragma once

#include <memory>

#include "GxCoord2D.h"
#include "GxGrid.h"

class SpillBuffer;

// The grid's side of an element section: the reader of a zone hands each
// element to fill and learns how many values were not stored. The centre of
// cell (0, 0) and whether the grid has cells at all are found once here.
class ElementRasteriser {
public:
    // Each thread that fills elements at once has its own object.
    ElementRasteriser(GxGrid& outGrid, GxGridParam& gridPar);
    ~ElementRasteriser();
    ElementRasteriser(const ElementRasteriser&) = delete;
    ElementRasteriser& operator=(const ElementRasteriser&) = delete;
    // Fills the cells whose centres lie in the element node[0..3] with the
    // node values z[0..3] (the one triangle 0 1 2 when oneTriangle); returns
    // how many values were not stored for not being finite. On a grid read in
    // bands (GxGrid::spill) the element is spilled to the bands it touches and
    // filled later; the count is the same.
    long long fill(const GxCoord2D* const* node, const double* z, bool oneTriangle);

private:
    GxGrid& outGrid_;
    GxGridParam& gridPar_;
    GxCoord2D ptI_;  // the centre of cell (0, 0): cells are evaluated at their centres
    bool hasCells_;
    std::unique_ptr<SpillBuffer> spill_;  // this thread's records, on a grid read in bands
};

// True for an element whose nodes form an axis-aligned rectangle, listed with
// its first edge (node 0 to node 1) vertical: it is filled bilinearly.
bool isAxisRectangle(const GxCoord2D* const* node);
// Fills the cells whose centres lie in the element node[0..3] with the node
// values z[0..3], as the element section does: an axis-aligned rectangle
// bilinearly, any other element as triangles (the one triangle 0 1 2 when
// oneTriangle); ptI is the centre of cell (0, 0). Returns how many values were
// not stored for not being finite.
long long fillMeshElement(GxGrid& outGrid, GxGridParam& gridPar, GxCoord2D& ptI, const GxCoord2D* const* node,
                          const double* z, bool oneTriangle);
// Fills the cells whose centres lie in the triangle triPt[0..2] from the plane
// through z[0..2]; returns how many values were not stored for not being finite.
long long fillGridTriangle(GxGrid& outGrid, GxCoord2D* triPt, double* z, GxGridParam& gridPar, GxCoord2D& ptI);
// True when pt lies in the triangle triPt[0..2] or on its border (relative tolerance 1e-5).
bool containsPoint(GxCoord2D* triPt, GxCoord2D& pt);
