#include "Rasteriser.h"

#include <algorithm>
#include <cmath>

#include "Bands.h"
#include "GxBox.h"

namespace {

// Cells whose centres or weights a fill keeps at once along a row or down a
// column, on the stack.
constexpr int kChunkCells = 4096;

// A cell keeps the largest value offered to it; outside the grid nothing
// happens. A value that is not finite is counted instead: NaN would fail the
// test anyway, but an infinity would pass it.
inline void offer(GxGrid& outGrid, int j, int i, double v, long long& notFinite) {
    if (!std::isfinite(v)) {
        ++notFinite;
        return;
    }
    outGrid.raise(j, i, v);
}

// True when both the grid and its parameters have a cell: a grid of 0 rows or
// 0 columns gets nothing, and no range of cells is looped over for it. Asked
// once a zone (ElementRasteriser), not per element: per element, even the
// grid's own counts cost 1% of the benchmark's instructions (callgrind).
inline bool hasCells(const GxGrid& outGrid, const GxGridParam& gridPar) {
    return outGrid.NumRow() > 0 && outGrid.NumCol() > 0 && gridPar.NumRow() > 0 && gridPar.NumCol() > 0;
}

// Fills the cells whose centres lie in the axis-aligned rectangle rectPt[0..3]
// bilinearly from z[0..3], on a grid that has cells; returns the count of
// values not finite. Defined below. Not exported, so that the compiler
// inlines it into fillElement: as a separate function it cost the element
// loop about 6% more instructions (callgrind, benchmark data).
long long fillGridRectangle(GxGrid& outGrid, const GxCoord2D* const* rectPt, const double* z,
                            const GxGridParam& gridPar, const GxCoord2D& ptI);

// An axis-aligned rectangle is filled bilinearly; any other element is split
// along the diagonal from node 0 to node 2, or is the single triangle 0 1 2 when
// its third and fourth node numbers are equal. Returns the count of values not
// finite.
long long fillElement(GxGrid& outGrid, GxGridParam& gridPar, GxCoord2D& ptI, const GxCoord2D* const* node,
                      const double* z, bool oneTriangle) {
    if (isAxisRectangle(node)) return fillGridRectangle(outGrid, node, z, gridPar, ptI);
    GxCoord2D triPt[3] = {*node[0], *node[1], *node[2]};
    double triZ[3] = {z[0], z[1], z[2]};
    long long notFinite = fillGridTriangle(outGrid, triPt, triZ, gridPar, ptI);
    if (oneTriangle) return notFinite;
    triPt[1] = *node[2];
    triPt[2] = *node[3];
    triZ[1] = z[2];
    triZ[2] = z[3];
    return notFinite + fillGridTriangle(outGrid, triPt, triZ, gridPar, ptI);
}

}  // namespace

// Exact equality, in this order: only rectangles whose first edge (node 0 to
// node 1) is vertical count, so node order decides between the bilinear fill
// and two triangles.
bool isAxisRectangle(const GxCoord2D* const* node) {
    return node[0]->x() == node[1]->x() && node[2]->x() == node[3]->x() && node[0]->y() == node[3]->y() &&
           node[1]->y() == node[2]->y();
}

namespace {

long long fillGridRectangle(GxGrid& outGrid, const GxCoord2D* const* rectPt, const double* z,
                            const GxGridParam& gridPar, const GxCoord2D& ptI) {
    // The weights below run west and north from node 0, which holds only when
    // node 0 is the south-east corner and node 1 the north-east one. A
    // rectangle listed from another corner was filled with weights outside 0
    // to 1: the same rectangle gave four different grids, three of them
    // extrapolated (values below every node's, or far from them). Its corners
    // are taken in that order instead; listed so, nothing changes.
    const double xa = rectPt[0]->x(), xb = rectPt[2]->x(), ya = rectPt[0]->y(), yb = rectPt[1]->y();
    if ((xa < xb || xa > xb) && (ya < yb || ya > yb) && !(xa > xb && yb > ya)) {
        // Per start: the node at the south-east, north-east, north-west and south-west corners.
        static const int kSouthWest[4] = {3, 2, 1, 0}, kNorthEast[4] = {1, 0, 3, 2}, kNorthWest[4] = {2, 3, 0, 1};
        const int* from = xa < xb ? (yb > ya ? kSouthWest : kNorthWest) : kNorthEast;
        const GxCoord2D* corner[4];
        double cornerZ[4];
        for (int k = 0; k < 4; ++k) {
            corner[k] = rectPt[from[k]];
            cornerZ[k] = z[from[k]];
        }
        return fillGridRectangle(outGrid, corner, cornerZ, gridPar, ptI);
    }
    const double x0 = rectPt[0]->x(), y0 = rectPt[0]->y(), x2 = rectPt[2]->x(), y2 = rectPt[2]->y();
    const GxBox sqrdBox = makeBox(x0, y0, x2, y2, 0.0);
    const double w = sqrdBox.x2_ - sqrdBox.x1_;
    const double h = sqrdBox.y2_ - sqrdBox.y1_;
    bool meetsGrid;
    const GxBox interBox = interRowsCols(sqrdBox, gridPar, meetsGrid);
    // The range of a box that misses the grid is cell (0, 0), which the
    // rectangle does not cover: its weights there would extrapolate.
    if (!meetsGrid) return 0;
    const int fcol = static_cast<int>(interBox.x1_), frow = static_cast<int>(interBox.y1_);
    const int lcol = static_cast<int>(interBox.x2_), lrow = static_cast<int>(interBox.y2_);
    const GxCoord2D pt(interBox.x1_ * gridPar.resx_ + ptI.x(), ptI.y() - interBox.y1_ * gridPar.resy_);
    // The weights are carried from cell to cell by addition, not recomputed: dx
    // runs west of x0 and dy north of y0, each as a fraction of the box, from 0
    // to 1 when node 0 is the south-east corner. dx is stepped once along a
    // chunk of columns, dy down the rows, so that the grid is filled row by
    // row along memory with the weights a column-by-column fill reaches.
    const double iniDx = (x0 - pt.x()) / w;
    const double incDx = -(gridPar.resx_ / w);
    const double iniDy = (pt.y() - y0) / h;
    const double incDy = -(gridPar.resy_ / h);
    double dxs[kChunkCells];
    double dx = iniDx;
    long long notFinite = 0;
    for (long long chunk = fcol; chunk <= lcol; chunk += kChunkCells) {
        const int n = static_cast<int>(std::min<long long>(kChunkCells, lcol - chunk + 1));
        for (int k = 0; k < n; ++k) {
            dxs[k] = dx;
            dx = dx + incDx;
        }
        double dy = iniDy;
        for (int j = frow; j <= lrow; ++j) {
            for (int k = 0; k < n; ++k) {
                const double pVal =
                    (1 - dxs[k]) * ((1 - dy) * z[0] + dy * z[1]) + dxs[k] * (dy * z[2] + (1 - dy) * z[3]);
                offer(outGrid, j, static_cast<int>(chunk) + k, pVal, notFinite);
            }
            dy = dy + incDy;
        }
    }
    return notFinite;
}

// The plane through the three nodes of a triangle, evaluated at a cell centre.
struct TrianglePlane {
    double x0, y0, aux1, aux2, detz, z0;

    double at(const GxCoord2D& pt) const { return ((pt.x() - x0) * aux1 + (pt.y() - y0) * aux2 - detz * z0) / (-detz); }
};

// The unit roundoff of a double, and an absolute allowance for the rounding of
// subnormal products and quotients.
constexpr double kUnitRound = 0x1p-53;
constexpr double kTinyError = 0x1p-1060;
// A box of at most this many columns is tested whole, as finding the columns
// of each row would cost more than it saves.
constexpr int kPlainColumns = 8;

// Bounds, per column, of the centres containsPoint can accept for one triangle
// (per row, when made from the triangle with x and y exchanged).
//
// containsPoint accepts a centre P only when each of its three doubled areas
// Ak (P with an edge from node a to node b) is at most triArea, as computed:
// the sums it tests are never smaller than one of their terms. The exact area
// differs from the computed one by at most 4u (|xa - px| |yb - py| + |xb - px|
// |ya - py|), u the unit roundoff, so an accepted P satisfies |Ak(P)| <= bound
// = triArea + 16u * xReach * yReach, the reaches being the largest distances,
// in x and in y, from a node to a centre of the column. Ak(P) = (xa - px) ey +
// (py - ya) ex, with (ex, ey) the edge, is linear in py: each edge that is not
// vertical confines py to a band, and its ends are computed with an allowance
// four times the bound of their rounding errors. So the band of a column holds
// every centre the triangle can accept, its 1e-5 area tolerance included;
// overflow or NaN anywhere only drops a limit.
class TriangleReach {
public:
    explicit TriangleReach(const GxCoord2D* triPt) {
        for (int k = 0; k < 3; ++k) {
            x_[k] = triPt[k].x();
            y_[k] = triPt[k].y();
        }
        for (int k = 0; k < 3; ++k) {
            ex_[k] = x_[(k + 1) % 3] - x_[k];
            ey_[k] = y_[(k + 1) % 3] - y_[k];
        }
        // The same expression as containsPoint's, so the same double.
        triArea_ = std::fabs((x_[1] - x_[0]) * (y_[2] - y_[0]) - (x_[2] - x_[0]) * (y_[1] - y_[0])) * 1.00001;
    }

    // The largest distance in y from a node to a centre between yTop and yBottom.
    double yReach(double yTop, double yBottom) const {
        double r = 0.0;
        for (int k = 0; k < 3; ++k) r = std::max({r, std::fabs(y_[k] - yTop), std::fabs(y_[k] - yBottom)});
        return r * (1 + 4 * kUnitRound);
    }

    // The band [ylo, yhi] of the column of centres at px; yReach as above.
    void band(double px, double yReach, double& ylo, double& yhi) const {
        double xReach = 0.0;
        for (int k = 0; k < 3; ++k) xReach = std::max(xReach, std::fabs(x_[k] - px));
        xReach *= 1 + 4 * kUnitRound;
        const double bound = triArea_ * (1 + 4 * kUnitRound) + (16 * kUnitRound * xReach * yReach + kTinyError);
        ylo = -HUGE_VAL;
        yhi = HUGE_VAL;
        for (int k = 0; k < 3; ++k) {
            if (ex_[k] == 0) continue;  // a vertical edge does not limit py
            const double uey = (x_[k] - px) * ey_[k];
            const double tMinus = (-bound - uey) / ex_[k], tPlus = (bound - uey) / ex_[k];
            const double tlo = ex_[k] > 0 ? tMinus : tPlus, thi = ex_[k] > 0 ? tPlus : tMinus;
            const double lo = y_[k] + tlo, hi = y_[k] + thi;
            const double slack = 16 * kUnitRound *
                                     ((bound + std::fabs(uey)) / std::fabs(ex_[k]) + std::fabs(tlo) + std::fabs(thi) +
                                      std::fabs(y_[k])) +
                                 kTinyError;
            if (lo - slack > ylo) ylo = lo - slack;
            if (hi + slack < yhi) yhi = hi + slack;
        }
    }

private:
    double x_[3], y_[3], ex_[3], ey_[3];
    double triArea_;
};

// The triangle's box of rows frow..lrow, columns fcol..lcol, filled row by row
// along memory, each row tested only in the columns of its band and one more
// on each side.
//
// The cell centres stay the doubles the whole-box loop reaches by repeated
// addition: the column centres of a row are the same for every row, so those
// of a chunk of columns are stepped once, in order, into colX, and each chunk
// steps the row centres again from the first; nothing else is computed. A
// column centre only increases along the row (x + resx rounds to at least x),
// so the columns of a band are consecutive, and they are found by walking from
// the previous row's. Cost: the columns once, the rows once a chunk, and the
// cells of the bands.
long long fillTriangleByBands(GxGrid& outGrid, GxCoord2D* triPt, const TrianglePlane& plane, const GxCoord2D& first,
                              double stepX, double stepY, double topY, int fcol, int lcol, int frow, int lrow) {
    // The bands of the rows are those of the columns of the triangle with x
    // and y exchanged: the areas containsPoint tests only change sign, and
    // the bound on their rounding is the same.
    const GxCoord2D exchanged[3] = {GxCoord2D(triPt[0].y(), triPt[0].x()), GxCoord2D(triPt[1].y(), triPt[1].x()),
                                    GxCoord2D(triPt[2].y(), triPt[2].x())};
    const TriangleReach reach(exchanged);
    // colX[1..n] are the centres of the chunk's columns; colX[0] and colX[n + 1]
    // those of the columns either side, or infinities past the box.
    double colX[kChunkCells + 2];
    double x = first.x();
    double before = -HUGE_VAL;
    long long notFinite = 0;
    for (long long chunk = fcol; chunk <= lcol; chunk += kChunkCells) {
        const int n = static_cast<int>(std::min<long long>(kChunkCells, lcol - chunk + 1));
        colX[0] = before;
        for (int k = 1; k <= n; ++k) {
            colX[k] = x;
            x = x + stepX;
        }
        colX[n + 1] = chunk + n <= lcol ? x : HUGE_VAL;
        before = colX[n];
        const double xReach = reach.yReach(colX[1], colX[n]);
        // a: the first index with colX[a] >= xlo; b: the last with colX[b] <= xhi.
        int a = 0, b = n + 1;
        double y = first.y();
        for (int j = frow; j <= lrow; ++j) {
            double xlo, xhi;
            reach.band(y, xReach, xlo, xhi);
            while (a > 0 && colX[a - 1] >= xlo) --a;
            while (a <= n && !(colX[a] >= xlo)) ++a;
            while (b <= n && colX[b + 1] <= xhi) ++b;
            while (b > 0 && !(colX[b] <= xhi)) --b;
            const int last = std::min(b + 1, n);
            for (int k = std::max(a - 1, 1); k <= last; ++k) {
                const int i = static_cast<int>(chunk) + k - 1;
                // The whole-box loop starts every column after the first at
                // firstRowY + 0 rather than firstRowY: the same but for -0.
                GxCoord2D pt(colX[k], j == frow && i != fcol ? topY : y);
                if (containsPoint(triPt, pt)) offer(outGrid, j, i, plane.at(pt), notFinite);
            }
            y = y + stepY;
        }
    }
    return notFinite;
}

}  // namespace

// Every cell whose centre the triangle contains gets the plane's value there;
// ptI is the centre of cell (0, 0).
long long fillGridTriangle(GxGrid& outGrid, GxCoord2D* triPt, double* z, GxGridParam& gridPar, GxCoord2D& ptI) {
    if (outGrid.NumRow() <= 0 || outGrid.NumCol() <= 0) return 0;
    const double x0 = triPt[0].x(), y0 = triPt[0].y();
    const double x1 = triPt[1].x(), y1 = triPt[1].y();
    const double x2 = triPt[2].x(), y2 = triPt[2].y();
    GxBox sqrdBox = makeBox(x0, y0, x1, y1, 0.0);
    updateBox(sqrdBox, triPt[2]);
    const GxBox interBox = interRowsCols(sqrdBox, gridPar);

    // (aux1, aux2, detz) is the normal of the plane through the three nodes.
    const double x1_x0 = x1 - x0, x2_x0 = x2 - x0, y1_y0 = y1 - y0, y2_y0 = y2 - y0;
    const double z1_z0 = z[1] - z[0], z2_z0 = z[2] - z[0];
    const double aux1 = y1_y0 * z2_z0 - y2_y0 * z1_z0;
    const double aux2 = z1_z0 * x2_x0 - z2_z0 * x1_x0;
    const double detz = x1_x0 * y2_y0 - x2_x0 * y1_y0;
    // Collinear nodes have no plane: rounding could make the quotient below
    // infinite, so such a triangle stores nothing.
    if (detz == 0) return 0;
    const TrianglePlane plane{x0, y0, aux1, aux2, detz, z[0]};

    // Cell centres are reached by repeated addition of the steps.
    const double firstRowY = ptI.y() - interBox.y1_ * gridPar.resy_;
    GxCoord2D pt(interBox.x1_ * gridPar.resx_ + ptI.x(), firstRowY);
    const GxCoord2D ptIncX(gridPar.resx_, 0);
    const GxCoord2D ptIncY(0, -gridPar.resy_);
    const int fcol = static_cast<int>(interBox.x1_), frow = static_cast<int>(interBox.y1_);
    const int lcol = static_cast<int>(interBox.x2_), lrow = static_cast<int>(interBox.y2_);
    if (lcol - fcol >= kPlainColumns)
        return fillTriangleByBands(outGrid, triPt, plane, pt, ptIncX.x(), ptIncY.y(), firstRowY + ptIncX.y(), fcol,
                                   lcol, frow, lrow);
    // Row by row along memory, every cell of the box; the centres are those of
    // a column-by-column walk, row frow of the columns after the first included.
    long long notFinite = 0;
    double y = firstRowY;
    for (int j = frow; j <= lrow; ++j) {
        double x = pt.x();
        for (int i = fcol; i <= lcol; ++i) {
            GxCoord2D centre(x, j == frow && i != fcol ? firstRowY + ptIncX.y() : y);
            if (containsPoint(triPt, centre)) offer(outGrid, j, i, plane.at(centre), notFinite);
            x = x + ptIncX.x();
        }
        y = y + ptIncY.y();
    }
    return notFinite;
}

long long fillMeshElement(GxGrid& outGrid, GxGridParam& gridPar, GxCoord2D& ptI, const GxCoord2D* const* node,
                          const double* z, bool oneTriangle) {
    if (!hasCells(outGrid, gridPar)) return 0;
    return fillElement(outGrid, gridPar, ptI, node, z, oneTriangle);
}

ElementRasteriser::ElementRasteriser(GxGrid& outGrid, GxGridParam& gridPar)
    : outGrid_(outGrid),
      gridPar_(gridPar),
      ptI_(gridPar.xmin_ + gridPar.resx_ * 0.5, gridPar.ymax_ - gridPar.resy_ * 0.5),
      hasCells_(hasCells(outGrid, gridPar)),
      spill_(outGrid.spill() ? std::make_unique<SpillBuffer>(*outGrid.spill()) : nullptr) {}

ElementRasteriser::~ElementRasteriser() = default;

long long ElementRasteriser::fill(const GxCoord2D* const* node, const double* z, bool oneTriangle) {
    if (!hasCells_) return 0;
    if (!spill_) return fillElement(outGrid_, gridPar_, ptI_, node, z, oneTriangle);
    // The grid of the first pass stores no row: the fill there only counts
    // the values that are not finite, exactly as the later fill would find
    // them, and is run only for an element that could give one.
    if (!spill_->add(node, z, oneTriangle)) return 0;
    return fillElement(outGrid_, gridPar_, ptI_, node, z, oneTriangle);
}

bool containsPoint(GxCoord2D* triPt, GxCoord2D& pt) {
    const double x0 = triPt[0].x(), y0 = triPt[0].y();
    const double x1 = triPt[1].x(), y1 = triPt[1].y();
    const double x2 = triPt[2].x(), y2 = triPt[2].y();
    const double px = pt.x(), py = pt.y();
    // Doubled areas. Inside or on the border, the three areas the point forms
    // with the sides add up to the triangle's own; the factor 1.00001 lets a
    // centre on a shared edge count as inside both triangles.
    const double triArea = std::fabs((x1 - x0) * (y2 - y0) - (x2 - x0) * (y1 - y0)) * 1.00001;
    const double a1 = (x0 - px) * (y1 - py) - (x1 - px) * (y0 - py);
    const double a2 = (x1 - px) * (y2 - py) - (x2 - px) * (y1 - py);
    const double a3 = (x0 - px) * (y2 - py) - (x2 - px) * (y0 - py);
    double totArea = std::fabs(a1);
    if (totArea > triArea) return false;
    totArea = totArea + std::fabs(a2);
    if (totArea > triArea) return false;
    totArea = totArea + std::fabs(a3);
    return totArea <= triArea;
}
