// Number text (general notation, 11 significant digits) and the grid writer
// that uses it; printf's "%.11g" is the independent oracle.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "MeshRaster.h"
#include "TestSupport.h"

namespace {

std::string text(double v) {
    char buf[64];
    std::memset(buf, '#', sizeof buf);
    const char* end = putNumber(buf, v);
    EXPECT_LE(end - buf, 24) << "for " << v;
    EXPECT_EQ(buf[end - buf], '#') << "wrote past its end for " << v;
    return std::string(static_cast<const char*>(buf), end);
}

std::string printed(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.11g", v);
    return buf;
}

}  // namespace

TEST(NumberText, Examples) {
    struct Case {
        double value;
        const char* expected;
    };
    const Case cases[] = {
        {0, "0"},
        {-0.0, "-0"},
        {12.5, "12.5"},
        {10, "10"},
        {-3, "-3"},
        {2.0 / 3.0, "0.66666666667"},
        {5.123456789012, "5.123456789"},
        {0.000123456789012, "0.00012345678901"},
        {0.00001, "1e-05"},
        {2e11, "2e+11"},
        {99999999999, "99999999999"},
        {99999999999.5, "1e+11"},
        {99999999999.4, "99999999999"},
        {0.0001, "0.0001"},
        {0.000099999999999, "9.9999999999e-05"},
        {0.000099999999999999, "0.0001"},
        {10000000, "10000000"},
        {22345678.9, "22345678.9"},
        {1e100, "1e+100"},
        {-1.5e-300, "-1.5e-300"},
        {DBL_MAX, "1.7976931349e+308"},
        {5e-324, "4.9406564584e-324"},
        {0.1, "0.1"},
        {1.0 / 3.0, "0.33333333333"},
        // a decimal tie is decided by the exact binary value; an exact tie goes to the even digit
        {0.125, "0.125"},
        {1.00000000005, "1.0000000001"},
        {0.000123456789015, "0.00012345678901"},
        {1.23456789015e-7, "1.2345678901e-07"},
        {9.99999999995, "10"},
        {12345678901.5, "12345678902"},
        {12345678902.5, "12345678902"},
        {INFINITY, "inf"},
        {-INFINITY, "-inf"},
        {NAN, "nan"},
    };
    for (const Case& c : cases) EXPECT_EQ(text(c.value), c.expected) << "for " << printed(c.value);
}

TEST(NumberText, AgreesWithPrintfAcrossMagnitudes) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(1.0, 10.0);
    std::uniform_int_distribution<int> power(-20, 20);
    auto check = [&](double v) {
        const std::string expected = printed(v);
        if (text(v) == expected) return true;
        ADD_FAILURE() << "for " << std::hexfloat << v << ": " << text(v) << " instead of " << expected;
        return false;
    };
    for (int n = 0; n < 200000; ++n) {
        const std::uint64_t bits = rng();
        double any;
        std::memcpy(&any, &bits, sizeof any);
        const double near = unit(rng) * std::pow(10.0, power(rng)) * (n % 2 ? -1 : 1);
        if (!check(any) || !check(near)) return;
    }
    // Around the switch between plain and exponent notation and around decimal
    // ties of the 12th digit: the neighbouring doubles of each value.
    const double edges[] = {1e-5,          1e-4,           1e11,         99999999999.5, 0.000099999999999995,
                            1.00000000005, 123456789012.5, 1e-4 - 5e-16, 9.99999999995, 0.5,
                            1e15};
    for (double e : edges) {
        double v = e;
        for (int k = 0; k < 40; ++k) v = std::nextafter(v, 0.0);
        for (int k = 0; k < 80; ++k, v = std::nextafter(v, INFINITY))
            if (!check(v) || !check(-v)) return;
    }
    // Decimal values of 12 significant digits ending in 5, at every exponent.
    std::uniform_int_distribution<std::int64_t> mantissa(10000000000, 99999999999);
    for (int n = 0; n < 20000; ++n) {
        const std::string tie = std::to_string(mantissa(rng)) + "5e" + std::to_string(power(rng) * 15);
        if (!check(std::strtod(tie.c_str(), nullptr))) return;
    }
}

// The whole file, against text composed line by line with printf: header,
// ten-million shift of the north edge, rows north to south, and output past
// the writer's block size with few zeros.
TEST(NumberText, GridFileMatchesPrintfText) {
    const int rows = 170, cols = 900;
    const GxGridParam par(-1234.5, -1234.5 + cols * 0.25, 0, rows * 0.2, 0.25, 0.2);
    GxGrid grid(rows, cols);
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> value(-5000, 5000);
    std::string expected =
        "GRIDREG\nINFO\nUNITS  meters\n"
        "//Format GRIDDEF  <ncols>  <nlins>  <X1>  <Y2>  <resX>  <resY>  <nodatavalue>\n";
    expected += "GRIDDEF 900 170 " + printed(par.xmin_) + ' ' + printed(par.ymax_ + 10000000) + ' ' +
                printed(par.resx_) + ' ' + printed(par.resy_) + " 3.4e+037\nINFO_END\n";
    for (int row = 0; row < rows; ++row) {
        for (int col = 0; col < cols; ++col) {
            const double v = rng() % 8 == 0 ? 0.0 : value(rng) / std::pow(10.0, static_cast<double>(rng() % 9));
            grid.RowCol(row, col, v);
            expected += printed(v) + ' ';
        }
        expected += '\n';
    }
    expected += "END\n";
    ASSERT_GT(expected.size(), 3u << 19);  // more than one block of 1 MiB
    TempDir dir;
    ASSERT_TRUE(writeAscGrid(dir.file("out.grd"), grid, par));
    const std::string got = readFile(dir.file("out.grd"));
    ASSERT_EQ(got.size(), expected.size());
    const auto at = std::mismatch(got.begin(), got.end(), expected.begin()).first - got.begin();
    EXPECT_EQ(got, expected) << "first difference at byte " << at;
}
