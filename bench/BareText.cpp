#include "BareText.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

long long scanTecplot(const std::string& text, double& sum) {
    long long count = 0, elementSum = 0;
    const char* const end = text.data() + text.size();
    // Each zone is looked for from where the last one's numbers stopped, so
    // that no byte is searched twice.
    for (std::size_t zone = text.find("\nZONE "); zone != std::string::npos;) {
        const std::size_t counted = text.find("N=", zone);
        const std::size_t table = text.find('\n', zone + 1);
        if (counted == std::string::npos || table == std::string::npos) break;
        const long long nodes = std::strtoll(text.c_str() + counted + 2, nullptr, 10);
        const char* p = text.data() + table + 1;
        count += scan<double>(p, end, 5 * nodes, sum);
        count += scan<int>(p, end, LLONG_MAX, elementSum);
        zone = text.find("\nZONE ", static_cast<std::size_t>(p - text.data()) - 1);
    }
    return count;
}

std::string gridHeader(const GxGrid& grid, const GxGridParam& par) {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "GRIDREG\nINFO\nUNITS  meters\n//Format GRIDDEF  <ncols>  <nlins>  <X1>  <Y2>  <resX>  <resY>  "
                  "<nodatavalue>\nGRIDDEF %d %d %.11g %.11g %.11g %.11g 3.4e+037\nINFO_END\n",
                  grid.NumCol(), grid.NumRow(), par.xmin_, par.ymax_ + 10000000, par.resx_, par.resy_);
    return buf;
}

std::size_t formatRoom(const GxGrid& grid) {
    return static_cast<std::size_t>(grid.NumRow()) * (static_cast<std::size_t>(grid.NumCol()) * 25 + 1) + 512;
}

std::size_t formatGrid(char* buf, std::size_t room, const GxGrid& grid, const GxGridParam& par) {
    const std::string header = gridHeader(grid, par);
    const std::size_t rowRoom = static_cast<std::size_t>(grid.NumCol()) * 25 + 1;
    if (room < header.size() + 4) return 0;
    char* p = std::copy(header.begin(), header.end(), buf);
    char* const end = buf + room - 4;  // "END\n" after the last row
    for (int row = 0; row < grid.NumRow(); ++row) {
        if (static_cast<std::size_t>(end - p) < rowRoom) return 0;
        for (int col = 0; col < grid.NumCol(); ++col) {
            p = std::to_chars(p, p + 24, grid.RowCol(row, col), std::chars_format::general, 11).ptr;
            *p++ = ' ';
        }
        *p++ = '\n';
    }
    return static_cast<std::size_t>(std::copy_n("END\n", 4, p) - buf);
}
