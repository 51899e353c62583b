#include "WholeBoxFill.h"

#include <cmath>

#include "GisTecplotFile.h"
#include "GxBox.h"

long long wholeBoxFill(GxGrid& outGrid, GxCoord2D* triPt, const double* z, GxGridParam& gridPar, GxCoord2D& ptI) {
    const double x0 = triPt[0].x(), y0 = triPt[0].y();
    const double x1 = triPt[1].x(), y1 = triPt[1].y();
    const double x2 = triPt[2].x(), y2 = triPt[2].y();
    GxBox sqrdBox = makeBox(x0, y0, x1, y1, 0.0);
    updateBox(sqrdBox, triPt[2]);
    const GxBox interBox = interRowsCols(sqrdBox, gridPar);
    const double x1_x0 = x1 - x0, x2_x0 = x2 - x0, y1_y0 = y1 - y0, y2_y0 = y2 - y0;
    const double z1_z0 = z[1] - z[0], z2_z0 = z[2] - z[0];
    const double aux1 = y1_y0 * z2_z0 - y2_y0 * z1_z0;
    const double aux2 = z1_z0 * x2_x0 - z2_z0 * x1_x0;
    const double detz = x1_x0 * y2_y0 - x2_x0 * y1_y0;
    if (detz == 0) return 0;
    const double firstRowY = ptI.y() - interBox.y1_ * gridPar.resy_;
    GxCoord2D pt(interBox.x1_ * gridPar.resx_ + ptI.x(), firstRowY);
    const GxCoord2D ptIncX(gridPar.resx_, 0);
    const GxCoord2D ptIncY(0, -gridPar.resy_);
    long long notFinite = 0;
    for (int i = static_cast<int>(interBox.x1_); i <= static_cast<int>(interBox.x2_); ++i) {
        for (int j = static_cast<int>(interBox.y1_); j <= static_cast<int>(interBox.y2_); ++j) {
            if (containsPoint(triPt, pt)) {
                const double zVal = ((pt.x() - x0) * aux1 + (pt.y() - y0) * aux2 - detz * z[0]) / (-detz);
                if (!std::isfinite(zVal))
                    ++notFinite;
                else if (zVal > outGrid.RowCol(j, i))
                    outGrid.RowCol(j, i, zVal);
            }
            pt += ptIncY;
        }
        pt.setXY(pt.x() + ptIncX.x(), firstRowY + ptIncX.y());
    }
    return notFinite;
}
