#include "GxBox.h"

#include "GxGeometry.h"
#include "GxGrid.h"

void zoomIn(GxBox& box, double t) {
    const GxCoord2D c = box.center();
    const double w = box.width() * t * 0.5;
    const double h = box.height() * t * 0.5;
    box.x1_ = c.x() - w;
    box.x2_ = c.x() + w;
    box.y1_ = c.y() - h;
    box.y2_ = c.y() + h;
}

void zoomOut(GxBox& box, double t) {
    const GxCoord2D c = box.center();
    const double w = box.width() / t * 0.5;
    const double h = box.height() / t * 0.5;
    box.x1_ = c.x() - w;
    box.x2_ = c.x() + w;
    box.y1_ = c.y() - h;
    box.y2_ = c.y() + h;
}

void updateBox(GxBox& box, const GxCoord2D& pt) {
    // No "else": on an inverted box one point may move both sides of an axis.
    if (pt.x() <= box.x1_) box.x1_ = pt.x();
    if (pt.x() >= box.x2_) box.x2_ = pt.x();
    if (pt.y() <= box.y1_) box.y1_ = pt.y();
    if (pt.y() >= box.y2_) box.y2_ = pt.y();
}

void updateBox(GxBox& box, const GxBox& other) {
    if (other.x1_ <= box.x1_) box.x1_ = other.x1_;
    if (other.x2_ >= box.x2_) box.x2_ = other.x2_;
    if (other.y1_ <= box.y1_) box.y1_ = other.y1_;
    if (other.y2_ >= box.y2_) box.y2_ = other.y2_;
}

void updateBox(GxBox& box, const GxGeometry& geo) { updateBox(box, geo.boundingBox()); }

GxBox makeBox(double x1, double y1, double x2, double y2, const double& tol) {
    const double xlo = x1 > x2 ? x2 : x1;
    const double xhi = x1 > x2 ? x1 : x2;
    const double ylo = y1 > y2 ? y2 : y1;
    const double yhi = y1 > y2 ? y1 : y2;
    return GxBox(xlo - tol, ylo - tol, xhi + tol, yhi + tol);
}

namespace {

// Floor of coord / step, by truncation and a correction below 0. The sign test
// looks at the coordinate, not at the quotient.
int latticeBelow(double coord, double step) {
    const double q = coord / step;
    const int auxI = truncToInt(q);
    return coord < 0 && q - auxI != 0 ? truncToInt(q - 1.0) : auxI;
}

// Ceiling of coord / step, the same way above 0.
int latticeAbove(double coord, double step) {
    const double q = coord / step;
    const int auxI = truncToInt(q);
    return !(coord < 0) && q - auxI != 0 ? truncToInt(q + 1.0) : auxI;
}

}  // namespace

GxBox adjustToCut(GxBox& box, double bWidth, double bHeight) {
    const int magicX = latticeBelow(box.x1_, bWidth);
    const int magicY = latticeBelow(box.y1_, bHeight);
    const int magicX2 = latticeAbove(box.x2_, bWidth);
    const int magicY2 = latticeAbove(box.y2_, bHeight);
    return GxBox(bWidth * magicX, bHeight * magicY, bWidth * magicX2, bHeight * magicY2);
}

GxBox interRowsCols(GxBox& box, GxGridParam& gridPar) {
    bool meetsGrid;
    return interRowsCols(box, gridPar, meetsGrid);
}

GxBox interRowsCols(const GxBox& box, const GxGridParam& gridPar, bool& meetsGrid) {
    // Cells are selected by their centres: the range runs from the first centre
    // strictly east of the west side (south of the north side) to the last
    // centre on or west of the east side (on or north of the south side). The
    // floor of each quotient gives that for every column and row alike; a
    // truncation toward zero would turn a quotient between -1 and 0 into 0 and
    // drop column 0 (row 0) from every element that starts west (north) of its
    // centre. Counted in 64 bits so that a saturated quotient plus one cannot
    // overflow.
    const double rx1 = gridPar.xmin_ + gridPar.resx_ * 0.5;
    const double ry2 = gridPar.ymax_ - gridPar.resy_ * 0.5;
    // The floor by truncation and one comparison, both exact: std::floor is a
    // call into the maths library on this target, and cost the benchmark's
    // run 2% more instructions.
    const auto cellBelow = [](double q) {
        const int t = truncToInt(q);
        return q < t ? static_cast<long long>(t) - 1 : static_cast<long long>(t);
    };
    long long fcol = cellBelow((box.x1_ - rx1) / gridPar.resx_) + 1;
    long long lcol = cellBelow((box.x2_ - rx1) / gridPar.resx_);
    long long frow = cellBelow((ry2 - box.y2_) / gridPar.resy_) + 1;
    long long lrow = cellBelow((ry2 - box.y1_) / gridPar.resy_);
    const long long ncols = gridPar.NumCol();
    const long long nrows = gridPar.NumRow();
    meetsGrid = !(fcol >= ncols || lcol < 0 || frow >= nrows || lrow < 0);
    if (!meetsGrid) {
        fcol = lcol = frow = lrow = 0;
    } else {
        if (fcol < 0) fcol = 0;
        if (frow < 0) frow = 0;
        if (lcol >= ncols) lcol = ncols - 1;
        if (lrow >= nrows) lrow = nrows - 1;
    }
    return GxBox(static_cast<double>(fcol), static_cast<double>(frow), static_cast<double>(lcol),
                 static_cast<double>(lrow));
}
