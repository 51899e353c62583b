// Fuzz target: the bytes as a Tecplot file, read and rasterised into small grids.
//
// Three conversions per input: pile height and velocity values into a grid over
// the middle of the nodes' extent (when it is finite and not degenerate), and
// pile height into the fixed grid of 8 by 8 cells from (-2, -2) to (6, 6). Every
// cell must end as 0 or a finite value greater than 0, never NaN or infinite:
// the grid starts at 0, a cell only ever takes a greater value, and a value
// that is not finite is never stored.
#include <cmath>
#include <cstdint>
#include <iostream>
#include <string>

#include "FuzzSupport.h"
#include "GisTecplotFile.h"
#include "GxGrid.h"

namespace {

// Memory for the nodes ran out: the element section is then left unread.
bool isOutOfMemory(const TecplotWarning& w) { return w.text.rfind("out of memory for node ", 0) == 0; }

// A warning that the node table was cut short: it ended early, held a
// non-number, ran out of memory, or the reader stopped on a problem.
bool isNodeTableWarning(const GisTecplotFile& f, const TecplotWarning& w, bool cut) {
    const std::string noElement = "; no element is read";
    const bool blockCut = w.text.size() > noElement.size() &&
                          w.text.compare(w.text.size() - noElement.size(), noElement.size(), noElement) == 0 &&
                          w.text.find("variable ") != std::string::npos;
    // Matched from the start: a zone's own warnings quote its title, which may
    // hold any of these words.
    const bool notANumber =
        w.text.rfind("node ", 0) == 0 && w.text.find(" holds a value that is not a number") != std::string::npos;
    return w.text.rfind("node table ends", 0) == 0 || (blockCut && w.text.rfind("zone ", 0) != 0) || notANumber ||
           isOutOfMemory(w) || (cut && !f.readProblem().empty() && w.text.rfind(f.readProblem(), 0) == 0);
}

// What the reader must leave behind whatever the file held: the node arrays in
// step, a node table cut short always reported once, warnings in the order of
// their lines, and every node within the extent.
void checkReader(const GisTecplotFile& f) {
    const std::size_t announced = static_cast<std::size_t>(f.nodeCount() > 0 ? f.nodeCount() : 0);
    FUZZ_CHECK(f.coords().size() == f.values().size());
    FUZZ_CHECK(f.coords().size() <= announced);
    const bool cut = f.coords().size() < announced;
    int nodeTableWarnings = 0;
    long long line = 0;
    for (const TecplotWarning& w : f.warnings()) {
        FUZZ_CHECK(!w.text.empty() && w.line >= line);
        line = w.line;
        nodeTableWarnings += isNodeTableWarning(f, w, cut);
    }
    FUZZ_CHECK(nodeTableWarnings == (cut ? 1 : 0));
    for (std::size_t k = 0; k < f.coords().size(); ++k) {
        const double x = f.coords()[k].x(), y = f.coords()[k].y();
        FUZZ_CHECK(f.xmin() <= x && x <= f.xmax() && f.ymin() <= y && y <= f.ymax());
    }
}

void checkGrid(const GxGrid& grid) {
    for (int row = 0; row < grid.NumRow(); ++row)
        for (int col = 0; col < grid.NumCol(); ++col) {
            const double v = grid.RowCol(row, col);
            FUZZ_CHECK(std::isfinite(v));
            FUZZ_CHECK(v > 0 || (v == 0 && !std::signbit(v)));
        }
}

// A grid of about 24 by 24 cells over the middle half of the nodes' extent, or
// the fixed grid when that extent gives no such grid.
GxGridParam gridOver(const GisTecplotFile& f) {
    const GxGridParam fixed(-2, 6, -2, 6, 1, 1);
    if (f.coords().empty()) return fixed;
    const double w = f.xmax() - f.xmin(), h = f.ymax() - f.ymin();
    const double x1 = f.xmin() + w * 0.25, y1 = f.ymin() + h * 0.25;
    const GxGridParam middle(x1, x1 + w * 0.5, y1, y1 + h * 0.5, w / 48, h / 48);
    const bool usable = std::isfinite(w) && std::isfinite(h) && middle.resx_ > 0 && middle.resy_ > 0 &&
                        std::isfinite(middle.xmax_) && std::isfinite(middle.ymax_);
    if (!usable || middle.NumCol() < 1 || middle.NumCol() > 64 || middle.NumRow() < 1 || middle.NumRow() > 64)
        return fixed;
    return middle;
}

void convert(const std::string& name, bool isVelocity, bool fixedGrid) {
    GisTecplotFile f(name, "r");
    if (!f.good()) {
        FUZZ_CHECK(f.coords().empty());
        return;
    }
    f.getXYValue(isVelocity);
    checkReader(f);
    FUZZ_CHECK(!f.refused() || (f.nodeCount() == 0 && f.coords().empty()));
    GxGridParam par = fixedGrid ? GxGridParam(-2, 6, -2, 6, 1, 1) : gridOver(f);
    GxGrid grid(par.NumRow(), par.NumCol());
    f.toGrid(grid, par);
    bool anyRead = !f.refused();
    // The zones after the first, each read in turn into the same grid.
    for (int zones = 1; f.nextZone(); ++zones) {
        FUZZ_CHECK(f.zoneNumber() == zones + 1);
        f.getXYValue(isVelocity);
        anyRead = anyRead || !f.refused();
        f.toGrid(grid, par);
    }
    bool outOfMemory = false;
    for (const TecplotWarning& w : f.warnings()) outOfMemory = outOfMemory || isOutOfMemory(w);
    // The element section is read to its end, unless the zone is refused.
    FUZZ_CHECK(!f.good() || outOfMemory || f.refused());
    checkReader(f);
    checkGrid(grid);
    for (int row = 0; !anyRead && row < grid.NumRow(); ++row)
        for (int col = 0; col < grid.NumCol(); ++col) FUZZ_CHECK(grid.RowCol(row, col) == 0);  // nothing is read
    for (double v : f.values()) FUZZ_CHECK(!isVelocity || v >= 0);  // |momentum| / height, or 0

    // The outline export on a few elements, including node numbers outside the zone.
    int verts[3][4] = {{1, 2, 3, 4}, {1, 2, 3, 3}, {0, -1, 2147483647, 1}};
    for (auto& vert : verts) f.toMeshLines(vert);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Mesh lines and messages would only slow the run down.
    static NullBuffer sink;
    std::cout.rdbuf(&sink);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static MemFile file;
    const std::string& name = file.hold(data, size);
    convert(name, false, false);
    convert(name, true, false);
    convert(name, false, true);
    return 0;
}
