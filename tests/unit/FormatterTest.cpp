// formatGeneral11 against its oracle, std::to_chars(general, 11), byte for byte:
// the boundary classes of its integer path and millions of random doubles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "NumberText.h"

namespace {

std::string oracle(double v) {
    char buf[32];
    return std::string(buf, std::to_chars(buf, buf + 24, v, std::chars_format::general, 11).ptr);
}

// The text of v; fails when more than 24 bytes or any byte past the end is written.
std::string formatted(double v) {
    char buf[48];
    std::memset(buf, '#', sizeof buf);
    char* end = formatGeneral11(buf, v);
    EXPECT_LE(end - buf, 24) << "for " << std::hexfloat << v;
    EXPECT_EQ(std::string(end, buf + sizeof buf), std::string(static_cast<std::size_t>(buf + sizeof buf - end), '#'))
        << "wrote past its end for " << std::hexfloat << v;
    return std::string(buf, end);
}

double fromBits(std::uint64_t bits) {
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// True when |v| lies exactly half-way between two numbers of 11 significant
// digits: printf gives a double's exact decimal expansion, 767 digits after
// the first at most.
bool exactTie(double v) {
    char buf[800];
    std::snprintf(buf, sizeof buf, "%.767e", std::fabs(v));
    const std::string digits = buf[0] + std::string(buf + 2, buf + 2 + 767);
    return digits[11] == '5' && digits.find_first_not_of('0', 12) == std::string::npos;
}

// Compares v and -v with the oracle; reports the first few differences and
// returns false after the tenth.
class Comparison {
public:
    bool operator()(double v) { return same(v) && same(-v); }
    bool same(double v) {
        const std::string want = oracle(v), got = formatted(v);
        if (got == want) return true;
        ADD_FAILURE() << "for " << std::hexfloat << v << " (" << want << "): got " << got;
        return ++failures_ < 10;
    }

private:
    int failures_ = 0;
};

// v and the doubles around it, `steps` each way.
template <class Check>
void around(double v, int steps, Check& check) {
    double x = v;
    for (int k = 0; k < steps; ++k) x = std::nextafter(x, 0.0);
    for (int k = 0; k <= 2 * steps; ++k, x = std::nextafter(x, INFINITY)) check(x);
}

}  // namespace

// Found by testing to_chars: a value exactly half-way at the 11th digit goes to
// the even digit; those the integer path leaves to it.
TEST(Formatter, ExactTiesGoToTheEvenDigit) {
    struct Case {
        double value;
        const char* expected;
    };
    const Case cases[] = {
        {12345678901.5, "12345678902"},
        {12345678902.5, "12345678902"},
        {123456789125.0, "1.2345678912e+11"},
        {123456789135.0, "1.2345678914e+11"},
        {std::ldexp(1.0, -17), "7.6293945312e-06"},  // 7.62939453125e-06 exactly
        {std::ldexp(17.0, -14), "0.0010375976562"},  // 0.001037597656250 exactly
        {99999999999.5, "1e+11"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatted(c.value), c.expected) << std::hexfloat << c.value;
        EXPECT_EQ(oracle(c.value), c.expected) << std::hexfloat << c.value;
        char buf[32];
        EXPECT_EQ(formatGeneral11Fast(buf, c.value), nullptr) << "a tie decided without the fallback: " << c.value;
    }
}

TEST(Formatter, SpecialValues) {
    struct Case {
        double value;
        const char* expected;
    };
    const Case cases[] = {
        {0.0, "0"},
        {-0.0, "-0"},
        {INFINITY, "inf"},
        {-INFINITY, "-inf"},
        {std::nan(""), "nan"},
        {-std::nan(""), "-nan"},
        {fromBits(0x7ff0000000000001), "nan"},  // a signalling NaN
        {fromBits(0xfff8000000000001), "-nan"},
        {DBL_MAX, "1.7976931349e+308"},
        {-DBL_MAX, "-1.7976931349e+308"},
        {5e-324, "4.9406564584e-324"},
        {DBL_MIN, "2.2250738585e-308"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatted(c.value), c.expected) << std::hexfloat << c.value;
        EXPECT_EQ(oracle(c.value), c.expected) << std::hexfloat << c.value;
    }
}

TEST(Formatter, BoundaryClassesMatchToChars) {
    Comparison check;
    // Every power of ten a double reaches, and the doubles next to it.
    for (int k = -323; k <= 308; ++k) around(std::strtod(("1e" + std::to_string(k)).c_str(), nullptr), 3, check);
    // Every binary exponent: the decimal exponent is estimated from it.
    for (int e = -1074; e <= 1023; ++e) around(std::ldexp(1.0, e), 1, check);
    // The switch between plain and exponent notation, and the values that
    // round across it.
    for (double v : {1e-5, 1e-4, 9.99999999995e-6, 9.99999999995e-5, 1e11, 99999999999.5, 1e10, 9999999999.95})
        around(v, 40, check);
    // The largest double, the subnormals and the smallest normal.
    around(DBL_MAX, 3, check);
    around(DBL_MIN, 3, check);
    for (std::uint64_t bits = 1; bits <= 64; ++bits) check(fromBits(bits));
    for (std::uint64_t bits = 1; bits < (std::uint64_t{1} << 52); bits = bits * 3 + 1) check(fromBits(bits));
    check(fromBits((std::uint64_t{1} << 52) - 1));
    // 12 significant digits with a 5 last, at every exponent, and their neighbours.
    std::mt19937_64 rng(5);
    std::uniform_int_distribution<long long> mantissa(10000000000, 99999999999);
    for (int k = -324; k <= 297; ++k) {
        const std::string text = std::to_string(mantissa(rng)) + "5e" + std::to_string(k);
        around(std::strtod(text.c_str(), nullptr), 2, check);
    }
    // Exact ties at every exponent where a double holds them: 12 digits c
    // ending in 5 times 10^(X-11). Below X = 11, c = r * 5^(11-X) for an odd r
    // makes the value r / 2^(11-X); above it, c * 10^(X-11) is an integer.
    for (int X = -6; X <= 14; ++X) {
        if (X >= 11) {
            for (int n = 0; n < 100; ++n) check(static_cast<double>(mantissa(rng) * 10 + 5) * std::pow(10.0, X - 11));
            continue;
        }
        long long five = 1;  // 5^(11-X)
        for (int k = X; k < 11; ++k) five *= 5;
        const long long first = (100000000000 + five - 1) / five, last = 999999999999 / five;
        for (long long r = first | 1; r <= last; r += 2 * std::max(1LL, (last - first) / 200))
            check(std::ldexp(static_cast<double>(r), X - 11));
    }
}

TEST(Formatter, RandomBitPatternsMatchToChars) {
    Comparison check;
    std::mt19937_64 rng(20261208);
    for (long n = 0; n < 10000000; ++n)
        if (!check.same(fromBits(rng()))) return;
}

// The grid's usual values: 1e-6 to 1e7, at full double precision, both signs.
TEST(Formatter, RandomGridValuesMatchToChars) {
    Comparison check;
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> exponent(-6.0, 7.0);
    for (long n = 0; n < 1000000; ++n)
        if (!check(std::pow(10.0, exponent(rng)))) return;
}

// The integer path decides the rounding of every value that is no exact tie:
// a bound gone loose would leave the exact but slow fallback to do the work.
TEST(Formatter, FallbackOnlyForExactTies) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> value(0.001, 5.0);
    char buf[32];
    for (long n = 0; n < 2000000; ++n) {
        const double v = n % 2 ? value(rng) : fromBits(rng());
        if (formatGeneral11Fast(buf, v) == nullptr) {
            EXPECT_TRUE(exactTie(v)) << "fell back for " << std::hexfloat << v;
        }
    }
    for (double tie : {12345678902.5, 123456789125.0, std::ldexp(1.0, -17)}) EXPECT_TRUE(exactTie(tie)) << tie;
    for (double near : {12345678902.4, 0.1, 123456789125.0 + 1.0 / 64}) EXPECT_FALSE(exactTie(near)) << near;
}
