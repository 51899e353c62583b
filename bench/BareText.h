// The bare conversions the program is measured against: a from_chars scan of
// numbers and a to_chars formatting of a whole grid file, with nothing of the
// program's own code in them.
#pragma once

#include <charconv>
#include <cstddef>
#include <string>

#include "GxGrid.h"

// The floor of reading: skip whitespace, from_chars, repeat, over bytes in
// memory. Adds at most max numbers of type T to sum; returns their count and
// leaves p after the last.
template <class T, class Sum>
long long scan(const char*& p, const char* end, long long max, Sum& sum) {
    long long n = 0;
    for (; n < max; ++n) {
        while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
        T v;
        const auto r = std::from_chars(p, end, v);
        if (r.ec != std::errc()) break;
        sum += v;
        p = r.ptr;
    }
    return n;
}

// The floor of reading a Tecplot file of the benchmark (one header, then one
// zone or several, each "ZONE N=<nodes>, ..." followed by its node table and
// its element numbers): the node tables as doubles and the element numbers as
// integers, by bare from_chars over the bytes in memory. Returns the count of
// numbers read; adds the nodes' numbers to sum.
long long scanTecplot(const std::string& text, double& sum);

// The grid file's header as writeAscGrid writes it: %.11g is the general
// format with 11 significant digits of both the writer and to_chars.
std::string gridHeader(const GxGrid& grid, const GxGridParam& par);

// Room for any grid file of grid's size: 24 bytes a number and its space.
std::size_t formatRoom(const GxGrid& grid);

// The floor of writing: the whole grid file formatted by bare to_chars into
// buf, which holds room bytes. Returns its length, or 0 when it would not fit.
std::size_t formatGrid(char* buf, std::size_t room, const GxGrid& grid, const GxGridParam& par);
