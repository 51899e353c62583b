// The triangle fill as it was before it looked for the cells near a triangle:
// every cell of the triangle's box is tested, column by column. Kept as the
// oracle the rasteriser's tests compare with, and as what the benchmark's
// slivers are timed against.
#pragma once

#include "GxCoord2D.h"
#include "GxGrid.h"

// Fills the cells whose centres lie in triPt[0..2] from the plane through
// z[0..2]; values that are not finite are counted and not stored, as the
// update rule does. ptI is the centre of cell (0, 0).
long long wholeBoxFill(GxGrid& outGrid, GxCoord2D* triPt, const double* z, GxGridParam& gridPar, GxCoord2D& ptI);
