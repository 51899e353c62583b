#include "IostreamDesign.h"

#include <fstream>
#include <iomanip>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include "GisTecplotFile.h"
#include "GxCoord2D.h"
#include "GxGrid.h"

namespace {

// One Tecplot file: the token after "ZONE" is "N=<count>,"; then the node
// table, then four node numbers an element.
bool convert(const std::string& name, GxGrid& grid, GxGridParam& par) {
    std::ifstream in(name);
    std::string token;
    while (in >> token && token != "ZONE") {}
    if (!(in >> token) || token.size() < 3) return false;
    const int nodes = std::stoi(token.substr(2));
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    GxCoord2DVector coords;
    std::vector<double> values;
    for (int k = 0; k < nodes; ++k) {
        double x, y, z, mx, my;
        if (!(in >> x >> y >> z >> mx >> my)) return false;
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        coords.emplace_back(x, y);
        values.push_back(z);
    }
    GxCoord2D ptI(par.xmin_ + par.resx_ * 0.5, par.ymax_ - par.resy_ * 0.5);
    int v[4];
    while (in >> v[0] >> v[1] >> v[2] >> v[3]) {
        const GxCoord2D* node[4];
        double z[4];
        for (int k = 0; k < 4; ++k) {
            if (v[k] < 1 || v[k] > nodes) return false;
            node[k] = &coords[static_cast<std::size_t>(v[k] - 1)];
            z[k] = values[static_cast<std::size_t>(v[k] - 1)];
        }
        fillMeshElement(grid, par, ptI, node, z, v[2] == v[3]);
    }
    return true;
}

}  // namespace

int runIostreamDesign(const std::string& configPath) {
    std::ifstream cfg(configPath);
    std::string mode, label, output, input;
    double xmin, ymin, xmax, ymax, resx, resy;
    cfg >> mode >> label >> xmin >> label >> ymin >> label >> xmax >> label >> ymax >> label >> resx >> label >> resy >>
        label >> output >> label;
    if (!cfg) return 1;
    GxGridParam par(xmin, xmax, ymin, ymax, resx, resy);
    GxGrid grid(par.NumRow(), par.NumCol());
    bool ok = true;
    while (cfg >> input) {
        std::cout << "Asc File " << input << '\n';
        ok = convert(input, grid, par) && ok;
    }
    std::ofstream out(output);
    out << "GRIDREG\nINFO\nUNITS  meters\n"
        << "//Format GRIDDEF  <ncols>  <nlins>  <X1>  <Y2>  <resX>  <resY>  <nodatavalue>\n"
        << std::setprecision(11) << "GRIDDEF " << grid.NumCol() << ' ' << grid.NumRow() << ' ' << par.xmin_ << ' '
        << par.ymax_ + 10000000 << ' ' << par.resx_ << ' ' << par.resy_ << " 3.4e+037\nINFO_END\n";
    for (int row = 0; row < grid.NumRow(); ++row) {
        for (int col = 0; col < grid.NumCol(); ++col) out << grid.RowCol(row, col) << ' ';
        out << '\n';
    }
    out << "END\n";
    out.close();
    return ok && out ? 0 : 1;
}
