// Fuzz target: arbitrary bytes read through GisAscFile.
//
// Input layout: byte 0 gives the length L (1 to 8) of a script of calls, bytes 1
// to L are the script, the rest is the file. The script is run over and over
// until the reader is no longer good, then every call once more, checking the
// failed-read rule and that a flag once set stays set. Three more passes read
// the file as tokens only, integers only and numbers only, and compare what they
// get with simple models of the number syntax written here from scratch. A
// token or number text longer than 1 MiB ends the reading instead.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "GisAscFile.h"

namespace {

bool isSpace(std::uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool isDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

const int kIntSentinel = 0x5a5a5a5a;
const double kDoubleSentinel = -7.25e-77;
const char* const kWordSentinel = "\x01unchanged";
const char kCharSentinel = '\x7f';
const std::size_t kLongestToken = 1024 * 1024;

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// True, after checking how the reader stopped, when the text of a token or
// number of this length ends the reading: never as the end of the input.
bool tooLong(const GisAscFile& f, std::size_t length) {
    if (length <= kLongestToken) return false;
    FUZZ_CHECK(f.fail() && !f.eof() && !f.endedBeforeToken() && f.readProblem() == "a token longer than 1 MiB");
    return true;
}

// The flags, as far as they can be seen from outside.
struct Flags {
    bool good, eof, fail;
    explicit Flags(const GisAscFile& f) : good(f.good()), eof(f.eof()), fail(f.fail()) {}
};

// A set flag stays set: once not good, never good again.
void checkMonotone(const Flags& before, const GisAscFile& f) {
    FUZZ_CHECK(before.good || !f.good());
    FUZZ_CHECK(!before.eof || f.eof());
    FUZZ_CHECK(!before.fail || f.fail());
    FUZZ_CHECK(f.good() == (!f.eof() && !f.fail()));
}

// Runs one call of the script on f and checks what can be checked of it alone.
void runCall(GisAscFile& f, std::uint8_t op, std::size_t fileSize, long long newlines, int& rewinds) {
    const Flags before(f);
    const long long lineBefore = f.lineNumber();
    bool rewound = false;
    switch (op % 8) {
        case 0: {
            std::string word = kWordSentinel;
            f.getString(word);
            if (f.fail()) {
                FUZZ_CHECK(word == kWordSentinel);
            } else {
                FUZZ_CHECK(!word.empty());
                for (char c : word) FUZZ_CHECK(!isSpace(static_cast<std::uint8_t>(c)));
            }
            break;
        }
        case 1: {
            int value = kIntSentinel;
            f.getAscInt(value);
            if (f.fail()) FUZZ_CHECK(value == kIntSentinel);
            break;
        }
        case 2: {
            double value = kDoubleSentinel;
            f.getAscDouble(value);
            if (f.fail())
                FUZZ_CHECK(sameBits(value, kDoubleSentinel));
            else
                FUZZ_CHECK(std::isfinite(value));  // no "inf" or "nan" text, and overflow fails
            break;
        }
        case 3:
            f.emptyLine();
            if (!before.good) FUZZ_CHECK(f.lineNumber() == lineBefore);
            break;
        case 4:
            // At most two rewinds, so the script ends.
            if (rewinds < 2) {
                ++rewinds;
                f.rewind();
                rewound = before.good;
                if (rewound && f.good()) FUZZ_CHECK(f.lineNumber() == 1);
            }
            break;
        case 5: {
            const int count = (op >> 3) % 33;
            const char delim = (op & 0x80) ? ' ' : '\n';
            char buf[40];
            std::memset(buf, kCharSentinel, sizeof buf);
            f.getline(buf, count, delim);
            if (count > 0) FUZZ_CHECK(std::strlen(buf) < static_cast<std::size_t>(count));
            for (std::size_t k = static_cast<std::size_t>(count); k < sizeof buf; ++k)
                FUZZ_CHECK(buf[k] == kCharSentinel);
            break;
        }
        case 6: {
            char c = kCharSentinel;
            f.getChar(&c);
            if (f.fail()) FUZZ_CHECK(c == kCharSentinel);
            break;
        }
        default:
            FUZZ_CHECK(f.fileSize() == static_cast<long long>(fileSize));
            FUZZ_CHECK(f.mode() == "r");
            FUZZ_CHECK(f.isOpen());
            break;
    }
    checkMonotone(before, f);
    if (!rewound) FUZZ_CHECK(f.lineNumber() >= lineBefore);
    FUZZ_CHECK(f.lineNumber() >= 1 && f.lineNumber() <= newlines + 1);
}

// Index of the first byte at or after p that is not whitespace.
std::size_t skipSpace(const std::uint8_t* d, std::size_t n, std::size_t p) {
    while (p < n && isSpace(d[p])) ++p;
    return p;
}

// Every token of the file, in order, against a plain split at whitespace.
void checkTokens(const std::string& name, const std::uint8_t* d, std::size_t n, long long newlines) {
    GisAscFile f(name, "r");
    FUZZ_CHECK(f.good());
    std::size_t p = 0;
    for (;;) {
        p = skipSpace(d, n, p);
        std::string word = kWordSentinel;
        const Flags before(f);
        f.getString(word);
        checkMonotone(before, f);
        if (p == n) {
            FUZZ_CHECK(f.fail() && f.eof() && word == kWordSentinel);
            break;
        }
        const std::size_t start = p;
        while (p < n && !isSpace(d[p])) ++p;
        if (tooLong(f, p - start)) {
            FUZZ_CHECK(word == kWordSentinel);
            return;
        }
        FUZZ_CHECK(word == std::string(reinterpret_cast<const char*>(d) + start, p - start));
        FUZZ_CHECK(!f.fail());
        FUZZ_CHECK(f.eof() == (p == n));  // a token that ends the input sets end-of-file at once
        if (!f.good()) break;
    }
    // Both ways out reach the end of the input, so every newline was counted.
    FUZZ_CHECK(p == n && f.lineNumber() == newlines + 1);
    FUZZ_CHECK(f.readProblem().empty());
}

// Integers only, against the syntax: optional sign, at least one digit, within int.
void checkIntegers(const std::string& name, const std::uint8_t* d, std::size_t n) {
    GisAscFile f(name, "r");
    std::size_t p = 0;
    for (int reads = 0; reads < 100000; ++reads) {
        int value = kIntSentinel;
        f.getAscInt(value);
        p = skipSpace(d, n, p);
        std::size_t q = p;
        if (q < n && (d[q] == '+' || d[q] == '-')) ++q;
        const std::size_t digits = q;
        while (q < n && isDigit(d[q])) ++q;
        if (tooLong(f, q - p)) {
            FUZZ_CHECK(value == kIntSentinel);
            return;
        }
        bool ok = q > digits;
        long long expected = 0;
        for (std::size_t k = digits; ok && k < q; ++k) {
            expected = expected * 10 + (d[k] - '0');
            if (expected > 2147483648LL) ok = false;
        }
        if (ok && p < n && d[p] == '-') expected = -expected;
        ok = ok && expected >= -2147483648LL && expected <= 2147483647LL;
        if (!ok) {
            FUZZ_CHECK(f.fail() && value == kIntSentinel);
            return;
        }
        FUZZ_CHECK(!f.fail() && value == expected);
        p = q;
        if (!f.good()) return;
    }
}

// Numbers only, against the syntax: optional sign, digits with an optional
// fraction (at least one digit in all), and an exponent mark after a digit that
// commits to an exponent; the value is strtod's, and an overflow fails.
void checkDoubles(const std::string& name, const std::uint8_t* d, std::size_t n) {
    GisAscFile f(name, "r");
    std::size_t p = 0;
    for (int reads = 0; reads < 100000; ++reads) {
        double value = kDoubleSentinel;
        f.getAscDouble(value);
        p = skipSpace(d, n, p);
        std::size_t q = p;
        if (q < n && (d[q] == '+' || d[q] == '-')) ++q;
        bool digits = false;
        while (q < n && isDigit(d[q])) ++q, digits = true;
        if (q < n && d[q] == '.') {
            ++q;
            while (q < n && isDigit(d[q])) ++q, digits = true;
        }
        bool ok = digits;
        if (digits && q < n && (d[q] == 'e' || d[q] == 'E')) {
            ++q;
            if (q < n && (d[q] == '+' || d[q] == '-')) ++q;
            const std::size_t expDigits = q;
            while (q < n && isDigit(d[q])) ++q;
            ok = q > expDigits;
        }
        if (tooLong(f, q - p)) {
            FUZZ_CHECK(sameBits(value, kDoubleSentinel));
            return;
        }
        double expected = 0;
        if (ok) {
            const std::string text(reinterpret_cast<const char*>(d) + p, q - p);
            expected = std::strtod(text.c_str(), nullptr);
            ok = std::isfinite(expected);
        }
        if (!ok) {
            FUZZ_CHECK(f.fail() && sameBits(value, kDoubleSentinel));
            return;
        }
        FUZZ_CHECK(!f.fail() && sameBits(value, expected));
        p = q;
        if (!f.good()) return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static MemFile file;
    if (size == 0) return 0;
    const std::size_t scriptLength = std::min<std::size_t>(1 + data[0] % 8, size - 1);
    const std::uint8_t* script = data + 1;
    const std::uint8_t* text = data + 1 + scriptLength;
    const std::size_t textSize = size - 1 - scriptLength;
    const std::string& name = file.hold(text, textSize);
    long long newlines = 0;
    for (std::size_t k = 0; k < textSize; ++k) newlines += text[k] == '\n';

    {
        GisAscFile f(name, "r");
        FUZZ_CHECK(f.good() && f.isOpen());
        int rewinds = 0;
        if (scriptLength > 0) {
            // Bounded: without a rewind every call but getline of count 0 and
            // mode queries moves on or fails.
            for (std::size_t k = 0; k < 4 * textSize + 64 && f.good(); ++k)
                runCall(f, script[k % scriptLength], textSize, newlines, rewinds);
        }
        // A reader that is not good fails every call and changes no argument.
        for (std::uint8_t op = 0; op < 8 && !f.good(); ++op) runCall(f, op, textSize, newlines, rewinds);
    }
    checkTokens(name, text, textSize, newlines);
    checkIntegers(name, text, textSize);
    checkDoubles(name, text, textSize);
    return 0;
}
