#include "BenchData.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <sstream>

namespace {

// One node line "x y height x-momentum y-momentum", with the decimals of every
// node table the benchmark writes.
char* putNodeLine(char* p, const double (&v)[5]) {
    static const int decimals[5] = {3, 3, 5, 6, 5};
    for (int k = 0; k < 5; ++k) {
        p = std::to_chars(p, p + 48, v[k], std::chars_format::fixed, decimals[k]).ptr;
        *p++ = k < 4 ? ' ' : '\n';
    }
    return p;
}

}  // namespace

std::string makeNodeTable(long long lines) {
    std::string text(static_cast<std::size_t>(lines) * 72, '\0');
    char* p = text.data();
    const long long side = std::max(1LL, static_cast<long long>(std::sqrt(static_cast<double>(lines))));
    for (long long k = 0; k < lines; ++k) {
        const double i = static_cast<double>(k % side), j = static_cast<double>(k / side);
        const double x = 600012.0 + i * 2.5 + 0.137 * std::sin(0.71 * i);
        const double y = 5100034.0 + j * 2.5 + 0.113 * std::cos(0.53 * j);
        const double u = i / static_cast<double>(side), v = j / static_cast<double>(side);
        const double z = std::max(0.0, 4.7 * std::sin(3.1 * u + 0.4) * std::cos(2.3 * v - 0.2) - 0.35);
        const double mx = z * (1.3 + 0.6 * std::sin(5.1 * v + 0.3));
        const double my = z * (-0.9 + 0.7 * std::cos(4.3 * u));
        p = putNodeLine(p, {x, y, z, mx, my});
    }
    text.resize(static_cast<std::size_t>(p - text.data()));
    return text;
}

long long fillPileGrid(GxGrid& grid) {
    const double n = grid.NumCol(), m = grid.NumRow();
    long long nonZero = 0;
    for (int row = 0; row < grid.NumRow(); ++row) {
        for (int col = 0; col < grid.NumCol(); ++col) {
            const double u = (col + 0.5) / n, v = (row + 0.5) / m;
            const double du = (u - 0.52) / 0.34, dv = (v - 0.46) / 0.235;
            const double s = 1.0 - du * du - dv * dv;
            if (s <= 0) continue;
            const double h = 5.0 * std::pow(s, 0.7) * (0.75 + 0.25 * std::sin(7.3 * u) * std::cos(5.1 * v));
            if (h >= 0.001) grid.RowCol(row, col, h), ++nonZero;
        }
    }
    return static_cast<long long>(grid.NumRow()) * grid.NumCol() - nonZero;
}

// Each file is one quadrant of a structured mesh of axis-aligned rectangles,
// with one element row of overlap at the borders as the regions of a parallel
// run overlap. Elements run SE, NE, NW, SW; one in twenty is written as two
// triangles "a b c c", and a patch of moved nodes makes general quadrilaterals.
RunData makeRunData(long long nodeCount, int side, const TempDir& dir) {
    RunData d;
    // Nodes per side of the whole mesh; the overlap adds two node rows.
    const int nn = std::max(4, static_cast<int>(std::sqrt(static_cast<double>(nodeCount))) - 2), mid = nn / 2;
    const double h = 2.0;  // node spacing in metres
    std::vector<double> xs(nn), ys(nn);
    for (int i = 0; i < nn; ++i) {
        xs[i] = 600037.25 + i * h + 0.11 * h * std::sin(1.3 * i);
        ys[i] = 5100081.5 + i * h + 0.09 * h * std::cos(0.7 * i);
    }
    const int pi0 = nn * 3 / 10, pj0 = nn * 11 / 20, patch = std::max(2, nn / 35);
    auto inPatch = [&](int i, int j) { return i >= pi0 && i < pi0 + patch && j >= pj0 && j < pj0 + patch; };
    const double wx = xs[nn - 1] - xs[0], wy = ys[nn - 1] - ys[0];
    for (int f = 0; f < 4; ++f) {
        const int i0 = (f % 2 == 0) ? 0 : mid - 1, i1 = (f % 2 == 0) ? mid : nn - 1;
        const int j0 = (f / 2 == 0) ? 0 : mid - 1, j1 = (f / 2 == 0) ? mid : nn - 1;
        const int ni = i1 - i0 + 1, nj = j1 - j0 + 1;
        const long long nodes = static_cast<long long>(ni) * nj;
        std::string body(static_cast<std::size_t>(nodes) * (64 + 2 * 36), '\0');  // node table, then elements
        char* p = body.data();
        for (int j = j0; j <= j1; ++j) {
            for (int i = i0; i <= i1; ++i) {
                const bool moved = inPatch(i, j);
                const double x = moved ? xs[i] + 0.17 * h * std::sin(0.9 * i + 1.7 * j) : xs[i];
                const double y = moved ? ys[j] + 0.15 * h * std::cos(1.1 * i - 0.8 * j) : ys[j];
                const double u = (x - xs[0]) / wx, v = (y - ys[0]) / wy;
                const double du = (u - 0.47) / 0.36, dv = (v - 0.52) / 0.31, s = 1.0 - du * du - dv * dv;
                const double z =
                    s > 0 ? 4.8 * std::pow(s, 0.6) * (0.8 + 0.2 * std::sin(9.1 * u) * std::cos(7.3 * v)) : 0.0;
                p = putNodeLine(p,
                                {x, y, z, z * (1.2 + 0.4 * std::sin(5.3 * v)), z * (-0.8 + 0.3 * std::cos(4.1 * u))});
            }
        }
        long long elements = 0;
        auto putElement = [&](std::initializer_list<long long> corners) {
            for (long long c : corners) {
                p = std::to_chars(p, p + 20, c).ptr;
                *p++ = ' ';
            }
            p[-1] = '\n';
            ++elements;
        };
        auto num = [&](int i, int j) { return static_cast<long long>(j - j0) * ni + (i - i0) + 1; };
        for (int j = j0; j < j1; ++j) {
            for (int i = i0; i < i1; ++i) {
                const long long se = num(i + 1, j), ne = num(i + 1, j + 1), nw = num(i, j + 1), sw = num(i, j);
                const bool moved = inPatch(i, j) || inPatch(i + 1, j) || inPatch(i, j + 1) || inPatch(i + 1, j + 1);
                if (!moved && (i * 7 + j * 13) % 20 == 0) {
                    putElement({se, ne, nw, nw});
                    putElement({se, nw, sw, sw});
                } else {
                    putElement({se, ne, nw, sw});
                }
            }
        }
        body.resize(static_cast<std::size_t>(p - body.data()));
        const std::string text =
            "TITLE = \"Flow over a slope, region " + std::to_string(f) + " of 4, t = 120.0 s\"\n" +
            "VARIABLES = \"X\", \"Y\", \"PILE_HEIGHT\", \"XMOMENTUM\", \"YMOMENTUM\"\nZONE N=" + std::to_string(nodes) +
            ", E=" + std::to_string(elements) + ", F=FEPOINT, ET=QUADRILATERAL\n" + body;
        d.files.push_back(dir.write("region" + std::to_string(f) + ".tec", text));
        d.nodes.push_back(nodes);
        d.totalNodes += nodes;
        d.maxNodes = std::max(d.maxNodes, nodes);
        d.elements += elements;
        d.bytes += static_cast<long long>(text.size());
    }

    // A grid of side x side square cells over the whole mesh. The east and north
    // edges get half a cell more so that truncation gives exactly side cells.
    const double xmin = std::floor(xs[0]) - 1.0, ymin = std::floor(ys[0]) - 1.0;
    const double extent = std::max(xs[nn - 1] + 0.5 * h - xmin, ys[nn - 1] + 0.5 * h - ymin);
    const double res = std::ceil(extent / side * 1e4) / 1e4;
    const double xmax = xmin + (side + 0.5) * res, ymax = ymin + (side + 0.5) * res;
    d.par = GxGridParam(xmin, xmax, ymin, ymax, res, res);
    d.output = dir.file("run.grd");
    d.config = writeConfig("run.cfg", d.par, d.output, d.files, dir);
    return d;
}

std::string writeConfig(const std::string& name, const GxGridParam& par, const std::string& output,
                        const std::vector<std::string>& inputs, const TempDir& dir) {
    std::ostringstream cfg;
    cfg << std::setprecision(17) << "PileHeight\nxmin " << par.xmin_ << "\nymin " << par.ymin_ << "\nxmax " << par.xmax_
        << "\nymax " << par.ymax_ << "\nresx " << par.resx_ << "\nresy " << par.resy_ << "\noutput " << output
        << "\ninput";
    for (const std::string& f : inputs) cfg << ' ' << f;
    return dir.write(name, cfg.str() + '\n');
}

std::string joinZones(const std::vector<std::string>& texts) {
    std::string joined;
    for (const std::string& text : texts) {
        const std::size_t zone = text.find("\nZONE ");
        if (zone == std::string::npos) continue;
        if (joined.empty()) joined = text.substr(0, zone + 1);  // the first file's header
        joined.append(text, zone + 1, std::string::npos);
        if (joined.back() != '\n') joined += '\n';
    }
    return joined;
}

std::vector<Sliver> makeSlivers(int count, const GxGridParam& par) {
    // A fixed linear congruential sequence, the same with every library.
    std::uint64_t state = 20261208;
    auto unit = [&state] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) * 0x1p-53;
    };
    const double w = par.xmax_ - par.xmin_, h = par.ymax_ - par.ymin_;
    std::vector<Sliver> slivers;
    for (int k = 0; k < count; ++k) {
        const bool rising = k % 2 == 0;
        const double ax = par.xmin_ + w * (0.01 + 0.05 * unit()), bx = par.xmin_ + w * (0.94 + 0.05 * unit());
        const double low = par.ymin_ + h * (0.01 + 0.05 * unit()), high = par.ymin_ + h * (0.94 + 0.05 * unit());
        const double ay = rising ? low : high, by = rising ? high : low;
        const double t = 0.2 + 0.6 * unit(), off = par.resx_ * (0.05 + 0.95 * unit());
        const double dx = bx - ax, dy = by - ay, len = std::hypot(dx, dy);
        Sliver s{{GxCoord2D(ax, ay), GxCoord2D(bx, by),
                  GxCoord2D(ax + t * dx - off * dy / len, ay + t * dy + off * dx / len)},
                 {0.5 + 4 * unit(), 0.5 + 4 * unit(), 0.5 + 4 * unit()}};
        slivers.push_back(s);
    }
    return slivers;
}
