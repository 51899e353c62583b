// General notation with 11 significant digits, by integer arithmetic.
//
// Hand-written because it is the grid writer's hot path: std::to_chars with a
// precision takes 55 to 80 ns for each non-zero cell, most of the time of
// writing a grid; this takes 15 to 16 ns for the same bytes (the benchmark's
// formatter section). The 11 digits come from one 53 x 128-bit product with a
// known error bound; where that bound cannot decide the rounding (a value at or
// within 2^-62 of a tie of the 11th digit), std::to_chars itself writes the
// text, so the bytes are always the standard library's.
//
// The method. A finite non-zero |v| is m * 2^e with 2^52 <= m < 2^53
// (subnormals normalised). Its binary exponent E = e + 52 gives the decimal one
// X = floor(E * log10 2), with 10^X <= 2^E <= |v| < 2^(E+1) < 2 * 10^(X+1). The
// scaled value W = |v| * 10^k with k = 10 - X lies in [10^10, 2 * 10^11);
// when its integer part reaches 10^11, X was one short of |v|'s decimal
// exponent and W is taken again with k = 9 - X, in [10^10, 2 * 10^10). The 11
// significant digits are W rounded to an integer, half to even (an exact tie
// goes to the fallback); a rounding up to 10^11 is 10^10 at exponent X + 1.
//
// The bound. 10^k is held as T * 2^t with 2^127 <= T < 2^128 and a relative
// error below 2^-127 (T is 10^k / 2^t rounded to the nearest integer, so off
// by at most 1/2 of at least 2^127; exact for 0 <= k <= 55). So m * T * 2^t *
// 2^e differs from W by less than W * 2^-127 < 2^38 * 2^-127 = 2^-89. Of that
// product the integer part N and 64 bits of fraction F are kept; dropping the
// rest takes less than 2^-64 off. Hence N + F/2^64 - 2^-89 < W
// < N + (F + 1)/2^64 + 2^-89: for F <= 2^63 - 2 the fraction of W is below one
// half, for F >= 2^63 + 1 above it, and only F = 2^63 - 1 or 2^63 leaves the
// rounding open. The fallback is taken for F in [2^63 - 2, 2^63 + 1], one unit
// wider on each side. Near the integer boundaries (W close to N or to N + 1)
// an error moves N by one but not the rounded result, and near 10^11 both
// scalings round to the same power of ten. Random doubles take the fallback
// about once in 2^62; exact ties (12345678902.5) always take it.
#include "NumberText.h"

#include <charconv>
#include <cstdint>
#include <cstring>

namespace {

__extension__ typedef unsigned __int128 Uint128;

// floor(log2 10^k); checked against exact powers of five for |k| <= kMaxPower.
constexpr int floorLog2Pow10(int k) { return (k * 1741647) >> 19; }

// floor(log10 2^e); checked below for every binary exponent of a double.
constexpr int floorLog10Pow2(int e) { return (e * 78913) >> 18; }

// ---- The table of powers of ten ------------------------------------------------
//
// Entry k holds T_k, the integer nearest to 10^k / 2^t_k with
// t_k = floor(log2 10^k) - 127, so that 2^127 <= T_k < 2^128. It is computed
// when this file is compiled, from exact big integers: for k >= 0 the top 128
// bits of 5^k rounded to nearest (10^k = 5^k * 2^k); for k = -j < 0 the top 128
// bits of floor(2^830 / 5^j) rounded to nearest, which has at least 130 bits,
// so the discarded fraction lies below its rounding bit. k runs from 10 - 308
// (the largest doubles) to 10 + 324 (the smallest subnormal).
constexpr int kMinPower = -298;
constexpr int kMaxPower = 334;
constexpr int kReciprocalBits = 830;  // 2^830 / 5^298 > 2^137

// An unsigned integer of up to 896 bits, least significant limb first (5^334
// has 776). Used only to build the table.
struct BigUint {
    static constexpr int kLimbs = 14;
    std::uint64_t limb[kLimbs] = {};

    constexpr int bitLength() const {
        int i = kLimbs - 1;
        while (i > 0 && limb[i] == 0) --i;
        int b = 0;
        while (b < 64 && (limb[i] >> b) != 0) ++b;
        return 64 * i + b;
    }
    // Bit i; 0 below bit 0.
    constexpr bool bit(int i) const { return i >= 0 && ((limb[i / 64] >> (i % 64)) & 1) != 0; }
    // The 64 bits from bit i up, for 0 <= i < 64 * (kLimbs - 1).
    constexpr std::uint64_t window(int i) const {
        const int q = i / 64, r = i % 64;
        return r == 0 ? limb[q] : (limb[q] >> r) | (limb[q + 1] << (64 - r));
    }
    constexpr void multiplyBy5() {
        std::uint64_t carry = 0;
        for (std::uint64_t& x : limb) {
            const Uint128 p = static_cast<Uint128>(x) * 5 + carry;
            x = static_cast<std::uint64_t>(p);
            carry = static_cast<std::uint64_t>(p >> 64);
        }
    }
    // Divides by 5, dropping the remainder.
    constexpr void divideBy5() {
        std::uint64_t rest = 0;
        for (int i = kLimbs - 1; i >= 0; --i) {
            const Uint128 x = (static_cast<Uint128>(rest) << 64) | limb[i];
            limb[i] = static_cast<std::uint64_t>(x / 5);
            rest = static_cast<std::uint64_t>(x % 5);
        }
    }
};

// The top 128 bits of a, rounded to nearest (a shorter a is shifted up, exactly).
constexpr Uint128 top128(const BigUint& a) {
    const int length = a.bitLength();
    if (length <= 128) {
        const Uint128 t = (static_cast<Uint128>(a.limb[1]) << 64) | a.limb[0];
        return t << (128 - length);
    }
    const int low = length - 128;  // the bit of a that becomes bit 0
    return ((static_cast<Uint128>(a.window(low + 64)) << 64) | a.window(low)) + a.bit(low - 1);
}

struct Power {
    std::uint64_t hi, lo;
};

struct PowerTable {
    Power power[kMaxPower - kMinPower + 1] = {};
    bool log2Exact = true;   // floorLog2Pow10 is exact for |k| <= kMaxPower
    bool normalised = true;  // every entry has its bit 127 set (no rounding carried out)
};

constexpr Power split(Uint128 t) { return {static_cast<std::uint64_t>(t >> 64), static_cast<std::uint64_t>(t)}; }

constexpr PowerTable makePowers() {
    PowerTable t;
    BigUint five;  // 5^j
    five.limb[0] = 1;
    BigUint reciprocal;  // floor(2^kReciprocalBits / 5^j)
    reciprocal.limb[kReciprocalBits / 64] = std::uint64_t{1} << (kReciprocalBits % 64);
    for (int j = 0; j <= kMaxPower; ++j) {
        const int length = five.bitLength();
        // 10^j has j + length bits; 10^-j lies in (2^-(j+length), 2^-(j+length-1)).
        if (floorLog2Pow10(j) != j + length - 1) t.log2Exact = false;
        if (j > 0 && floorLog2Pow10(-j) != -(j + length)) t.log2Exact = false;
        t.power[j - kMinPower] = split(top128(five));
        if (j > 0 && -j >= kMinPower) t.power[-j - kMinPower] = split(top128(reciprocal));
        five.multiplyBy5();
        reciprocal.divideBy5();
    }
    for (const Power& p : t.power) t.normalised = t.normalised && (p.hi >> 63) == 1;
    return t;
}

constexpr PowerTable kPowers = makePowers();
static_assert(kPowers.log2Exact, "floorLog2Pow10 must be exact over the table");
static_assert(kPowers.normalised, "every power of ten must fill 128 bits");

// The right shift that takes m * T_k * 2^e, held as floor(m * T_k / 2^64), to
// the scaled value with 64 bits of fraction: 64 more than its integer part.
constexpr int fractionShift(int e, int k) { return -(e + floorLog2Pow10(k) - 127) - 64 - 64; }

// For every binary exponent E of a double, normalised subnormals included: the
// decimal exponent estimate is floor(log10 2^E), and both scalings use a
// power in the table and a shift in [1, 63], so the integer part and the
// fraction each come whole out of the 128-bit high half of the product.
constexpr bool exponentsHold() {
    for (int E = -1074; E <= 1023; ++E) {
        const int X = floorLog10Pow2(E);
        const bool atLeast = X == 0 ? E >= 0 : floorLog2Pow10(X) < E;        // 10^X <= 2^E
        const bool below = X + 1 == 0 ? E < 0 : E <= floorLog2Pow10(X + 1);  // 2^E < 10^(X+1)
        if (!atLeast || !below) return false;
        for (int k = 9 - X; k <= 10 - X; ++k) {
            const int shift = fractionShift(E - 52, k);
            if (k < kMinPower || k > kMaxPower || shift < 1 || shift > 63) return false;
        }
    }
    return true;
}
static_assert(exponentsHold(), "the exponent estimates and shifts must hold for every double");

// ---- Digits and layout -------------------------------------------------------

constexpr std::uint64_t kTenPow10 = 10000000000;
constexpr std::uint64_t kTenPow11 = 100000000000;
constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;

// The scaled value: its integer part and 64 bits of its fraction.
struct Scaled {
    std::uint64_t integer, fraction;
};

// m * 2^e * 10^k, truncated to 64 bits of fraction.
inline Scaled scale(std::uint64_t m, int e, int k) {
    const Power& p = kPowers.power[k - kMinPower];
    const Uint128 low = static_cast<Uint128>(m) * p.lo;
    const Uint128 high = static_cast<Uint128>(m) * p.hi + (low >> 64);
    const auto top = static_cast<std::uint64_t>(high >> 64), bottom = static_cast<std::uint64_t>(high);
    const int shift = fractionShift(e, k);  // 1 to 63
    return {top >> shift, (bottom >> shift) | (top << (64 - shift))};
}

// The text is composed in two 64-bit words, the first character in the lowest
// byte, and stored in a few wide stores. Composing it in memory and
// copying it out made the layout most of the time (wide loads of bytes just
// stored singly stall), as did a call of memcpy or a loop per character.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the text is composed with its first character lowest");

// A text of up to 16 characters: bytes 0 to 7 in low, 8 to 15 in high.
struct Text {
    std::uint64_t low, high;
};

constexpr std::uint64_t kZeros = 0x3030303030303030;  // eight '0'

// Bytes 0 to count - 1 of a word, 0 <= count <= 7.
constexpr std::uint64_t lowBytes(int count) { return (std::uint64_t{1} << (8 * count)) - 1; }

// The eight decimal digits of n < 10^8 as byte values 0 to 9, the first lowest:
// two lanes of four digits, then four of two, then eight of one, each split by
// a multiplication and a shift (5243 / 2^19 is 1/100 closely enough below
// 10^4, 103 / 2^10 is 1/10 below 100).
inline std::uint64_t eightDigits(std::uint32_t n) {
    std::uint64_t x = (n / 10000) | (std::uint64_t{n % 10000} << 32);
    const std::uint64_t hundreds = ((x * 5243) >> 19) & 0x0000007f0000007f;
    x = hundreds | ((x - hundreds * 100) << 16);
    const std::uint64_t tens = ((x * 103) >> 10) & 0x000f000f000f000f;
    return tens | ((x - tens * 10) << 8);
}

// The three decimal digits of n < 1000 as byte values, the first lowest
// (41 / 2^12 is 1/100 closely enough below 1000).
inline std::uint64_t threeDigits(std::uint32_t n) {
    const std::uint32_t hundreds = (n * 41) >> 12, rest = n - hundreds * 100, tens = (rest * 103) >> 10;
    return hundreds | tens << 8 | (rest - tens * 10) << 16;
}

// Bytes from byte `from` up of the 16-byte text, 0 <= from <= 8.
inline std::uint64_t wordAt(const Text& t, int from) {
    return from == 8 ? t.high : from == 0 ? t.low : (t.low >> (8 * from)) | (t.high << (64 - 8 * from));
}

// Stores the first length characters of t, 1 to 16, none past out + length.
inline char* store(char* out, const Text& t, int length) {
    if (length >= 8) {
        const std::uint64_t last = wordAt(t, length - 8);
        std::memcpy(out, &t.low, 8);
        std::memcpy(out + length - 8, &last, 8);
    } else if (length >= 4) {
        const auto first = static_cast<std::uint32_t>(t.low);
        const auto last = static_cast<std::uint32_t>(t.low >> (8 * (length - 4)));
        std::memcpy(out, &first, 4);
        std::memcpy(out + length - 4, &last, 4);
    } else {
        out[0] = static_cast<char>(t.low);
        out[length / 2] = static_cast<char>(t.low >> (8 * (length / 2)));
        out[length - 1] = static_cast<char>(t.low >> (8 * (length - 1)));
    }
    return out + length;
}

// t with a decimal point inserted before byte at, 1 <= at <= 10.
inline Text withPoint(const Text& t, int at) {
    if (at >= 8) {
        const std::uint64_t before = lowBytes(at - 8);
        return {t.low, (t.high & before) | std::uint64_t{'.'} << (8 * (at - 8)) | (t.high & ~before) << 8};
    }
    const std::uint64_t before = lowBytes(at);
    return {(t.low & before) | std::uint64_t{'.'} << (8 * at) | (t.low & ~before) << 8, (t.high << 8) | (t.low >> 56)};
}

// The text of digits * 10^(X - 10), 10^10 <= digits < 10^11: plain notation for
// -4 <= X <= 10, else one digit, the point and the rest, then e, the sign and at
// least two digits of X; trailing zeros and a trailing point left out.
inline char* layout(char* out, std::uint64_t digits, int X) {
    const auto first = static_cast<std::uint32_t>(digits / 1000);  // the first eight digits
    const auto last = static_cast<std::uint32_t>(digits % 1000);   // and the last three
    const std::uint64_t low = eightDigits(first), high = threeDigits(last);
    // Significant digits: up to the last non-zero one (the first is never 0).
    const int n = high != 0 ? 8 + (71 - __builtin_clzll(high)) / 8 : (71 - __builtin_clzll(low)) / 8;
    const Text t = {low | kZeros, high | (kZeros & lowBytes(3))};

    if (X >= 0 && X <= 10) {
        if (n <= X + 1) return store(out, t, X + 1);
        return store(out, withPoint(t, X + 1), n + 1);
    }
    if (X < 0 && X >= -4) {  // "0.", -X - 1 zeros, the digits: at most 16 characters
        const int b = 8 * (1 - X);
        const Text shifted = {(0x303030302e30 & lowBytes(1 - X)) | (t.low << b), (t.high << b) | (t.low >> (64 - b))};
        return store(out, shifted, 1 - X + n);
    }
    out = n > 1 ? store(out, withPoint(t, 1), n + 1) : store(out, t, 1);
    const auto a = static_cast<std::uint32_t>(X < 0 ? -X : X);
    const std::uint64_t sign = X < 0 ? '-' : '+';
    const std::uint64_t exponent = threeDigits(a) | (kZeros & lowBytes(3));
    const bool three = a >= 100;
    return store(out, {'e' | sign << 8 | (three ? exponent : exponent >> 8) << 16, 0}, three ? 5 : 4);
}

// Inlined into both entry points: a call here cost as much as the sign and the
// special values together.
__attribute__((always_inline)) inline char* fastPath(char* out, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    *out = '-';  // kept for a negative v, else written over
    out += bits >> 63;
    const auto biased = static_cast<int>((bits >> 52) & 0x7ff);
    std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
    if (biased == 0x7ff) {
        std::memcpy(out, m == 0 ? "inf" : "nan", 3);
        return out + 3;
    }
    int e;
    if (biased != 0) {
        m |= std::uint64_t{1} << 52;
        e = biased - 1075;
    } else if (m == 0) {
        *out = '0';
        return out + 1;
    } else {  // subnormal: normalised, so the same bound holds
        const int shift = __builtin_clzll(m) - 11;
        m <<= shift;
        e = -1074 - shift;
    }
    int X = floorLog10Pow2(e + 52);
    Scaled w = scale(m, e, 10 - X);
    if (w.integer >= kTenPow11) w = scale(m, e, 10 - ++X);
    if (w.fraction - (kHalf - 2) < 4) return nullptr;  // within the error bound of a tie
    std::uint64_t digits = w.integer + (w.fraction >> 63);
    if (digits == kTenPow11) {
        digits = kTenPow10;
        ++X;
    }
    return layout(out, digits, X);
}

// The exact conversion, apart, so that the fast path needs no registers saved for it.
__attribute__((noinline)) char* fallback(char* out, double v) {
    return std::to_chars(out, out + 24, v, std::chars_format::general, 11).ptr;
}

}  // namespace

char* formatGeneral11Fast(char* out, double v) { return fastPath(out, v); }

char* formatGeneral11(char* out, double v) {
    if (char* end = fastPath(out, v)) return end;
    return fallback(out, v);
}
