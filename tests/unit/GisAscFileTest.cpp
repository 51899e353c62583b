// The text reader: tokens, numbers, line ends, flags, and its buffer, which
// must stay invisible. The oracle for numbers is formatted stream extraction.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include "GisAscFile.h"
#include "TestSupport.h"

namespace {

constexpr std::size_t kBuffer = 256 * 1024;  // the reader's own buffer size

// A reader over text, in a file of its own.
struct Text {
    TempDir dir;
    std::string path;
    GisAscFile file;
    explicit Text(const std::string& text, const char* mode = "r")
        : path(dir.write("in.txt", text)), file(path, mode) {}
};

std::string show(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// One reader interface over GisAscFile and over std::istream, so that the same
// sequence of calls can be traced on both.
struct AscOps {
    GisAscFile& f;
    void s(std::string& w) { f.getString(w); }
    void d(double& v) { f.getAscDouble(v); }
    void i(int& v) { f.getAscInt(v); }
    void l() { f.emptyLine(); }
    void c(char& ch) { f.getChar(&ch); }
    void g(char* buf, int n) { f.getline(buf, n, '\n'); }
    void w() { f.rewind(); }
    bool fail() const { return f.fail(); }
    bool eof() const { return f.eof(); }
    long long line() const { return f.lineNumber(); }
};

struct StreamOps {
    std::istringstream in;
    std::string text;
    explicit StreamOps(const std::string& t) : in(t), text(t) {}
    void s(std::string& w) { in >> w; }
    void d(double& v) { in >> v; }
    void i(int& v) { in >> v; }
    // istream's ignore and seekg act on a stream that is not good (ignore sets
    // failbit, seekg clears eofbit); the reader's emptyLine and rewind do nothing
    // then, by design, so the oracle only calls them on a good stream.
    void l() {
        if (in.good()) in.ignore(100000, '\n');
    }
    void c(char& ch) { in.get(ch); }
    void g(char* buf, int n) { in.getline(buf, n, '\n'); }
    void w() {
        if (in.good()) in.seekg(0);
    }
    bool fail() const { return in.fail(); }
    bool eof() const { return in.eof(); }
    long long line() {
        const auto pos = static_cast<std::size_t>(in.rdbuf()->pubseekoff(0, std::ios::cur, std::ios::in));
        return 1 + std::count(text.begin(), text.begin() + static_cast<long>(pos), '\n');
    }
};

// Runs ops (s string, d double, i int, l emptyLine, c getChar, g getline,
// w rewind, n lineNumber, space ignored) and writes, per call, its letter,
// ":value" when it delivered one (getline: what it stored), "!" when the
// reader has failed and "$" at the end of input.
template <class R>
std::string trace(R& r, const std::string& ops) {
    std::string out;
    for (char op : ops) {
        if (op == ' ') continue;
        if (!out.empty()) out += ' ';
        out += op;
        std::string value;
        std::string w;
        double d = 0;
        int i = 0;
        char ch = 0;
        char buf[8];
        switch (op) {
            case 's':
                r.s(w);
                value = w;
                break;
            case 'd':
                r.d(d);
                value = show(d);
                break;
            case 'i':
                r.i(i);
                value = std::to_string(i);
                break;
            case 'c':
                r.c(ch);
                value = std::string(1, ch);
                break;
            case 'g':
                r.g(buf, sizeof buf);
                value = buf;
                break;
            case 'l':
                r.l();
                break;
            case 'w':
                r.w();
                break;
            case 'n':
                value = std::to_string(r.line());
                break;
            default:
                ADD_FAILURE() << "unknown op " << op;
        }
        if (!value.empty() && (op == 'n' || op == 'g' || !r.fail())) out += ':' + value;
        if (r.fail()) out += '!';
        if (r.eof()) out += '$';
    }
    return out;
}

std::string traceFile(const std::string& text, const std::string& ops) {
    Text t(text);
    AscOps a{t.file};
    return trace(a, ops);
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

TEST(GisAscFile, CallsDeliverAndSetFlags) {
    struct Case {
        const char* text;
        const char* ops;
        const char* expected;
    };
    const Case cases[] = {
        // tokens, and the end of input with and without white space after
        {"abc", "ss", "s:abc$ s!$"},
        {"abc\n", "ss", "s:abc s!$"},
        {"", "s", "s!$"},
        {" \t\n\r\v\f ", "sn", "s!$ n:2!$"},
        {"a\tb\nc\rd\ve\ff g", "sssssss", "s:a s:b s:c s:d s:e s:f s:g$"},
        {"a\x01"
         "b\x7f\xa0 \"quoted text\"",
         "sss",
         "s:a\x01"
         "b\x7f\xa0 s:\"quoted s:text\"$"},
        {"-42", "i", "i:-42$"},
        {"abc 5", "is", "i! s!"},
        // emptyLine: the rest of the line and its newline; no skip of white
        // space first; the end of input without a newline
        {"5 rest\nnext", "dls", "d:5 l s:next$"},
        {"5\n\nx y\nz", "dlls", "d:5 l l s:x"},
        {"5 last line", "dlsn", "d:5 l$ s!$ n:1!$"},
        {"\n\n\nx", "lln", "l l n:3"},
        // rewind: back to the first byte while good, nothing after the end
        {"a b\nc", "ssns w ns", "s:a s:b n:1 s:c$ w$ n:2$ s!$"},
        {"a b\nc\n", "ssnw ns", "s:a s:b n:1 w n:1 s:a"},
        {"x 1", "dws", "d! w! s!"},
        // lines are counted wherever newlines are consumed
        {"a\n\n b\nc", "sn sn ln", "s:a n:1 s:b n:3 l n:4"},
        // getChar and getline
        {" a\nbc", "cccccc", "c:  c:a c:\n c:b c:c c!$"},
        {"abc\ndefghijkl\n", "gg", "g:abc g:defghij!"},
    };
    for (const Case& c : cases) EXPECT_EQ(traceFile(c.text, c.ops), c.expected) << "input \"" << c.text << '"';
}

TEST(GisAscFile, NumbersReadAsStreamExtraction) {
    // Expected values are C++ literals of the same text: the compiler's correctly
    // rounded conversion is the oracle. rest is the next token, "" for none.
    struct Case {
        std::string text;
        char kind;
        bool ok;
        double value;
        const char* rest;
        bool eof;
    };
    const double tiny = std::numeric_limits<double>::denorm_min();
    const std::string zeros(400, '0');
    const Case cases[] = {
        {"-42", 'i', true, -42, "", true},
        {"+7 x", 'i', true, 7, "x", false},
        {"007", 'i', true, 7, "", true},
        {"1.5", 'i', true, 1, ".5", false},
        {"0x1A", 'i', true, 0, "x1A", false},
        {"1e5", 'i', true, 1, "e5", false},
        {"2147483647", 'i', true, 2147483647, "", true},
        {"-2147483648", 'i', true, -2147483648.0, "", true},
        {"2147483648", 'i', false, 0, "", true},
        {"-2147483649 ", 'i', false, 0, "", false},
        {"99999999999999999999 ", 'i', false, 0, "", false},
        {"abc", 'i', false, 0, "", false},
        {"-", 'i', false, 0, "", true},
        {"+ 5", 'i', false, 0, "", false},
        {"--5", 'i', false, 0, "", false},
        {"12.5", 'd', true, 12.5, "", true},
        {" \t\r\v\f\n-0.25e1 z", 'd', true, -2.5, "z", false},
        {"+5", 'd', true, 5, "", true},
        {"+-5", 'd', false, 0, "", false},
        {".5", 'd', true, 0.5, "", true},
        {"-.5", 'd', true, -0.5, "", true},
        {"5.", 'd', true, 5, "", true},
        {"1.e2", 'd', true, 100, "", true},
        {".", 'd', false, 0, "", true},
        {". 5", 'd', false, 0, "", false},
        {"-0", 'd', true, -0.0, "", true},
        {"1E3 ", 'd', true, 1000, "", false},
        {"1e+3", 'd', true, 1000, "", true},
        {"1e-3", 'd', true, 0.001, "", true},
        {"1.5.5", 'd', true, 1.5, ".5", false},
        {"1e5.5", 'd', true, 1e5, ".5", false},
        {"12abc", 'd', true, 12, "abc", false},
        {"1,5", 'd', true, 1, ",5", false},
        {"0x10", 'd', true, 0, "x10", false},
        {"1e", 'd', false, 0, "", true},
        {"1e+", 'd', false, 0, "", true},
        {"1e+ 3", 'd', false, 0, "", false},
        {"1ex", 'd', false, 0, "", false},
        {"e5", 'd', false, 0, "", false},
        {".e5", 'd', false, 0, "", false},
        {"inf", 'd', false, 0, "", false},
        {"-inf", 'd', false, 0, "", false},
        {"nan", 'd', false, 0, "", false},
        {"NaN", 'd', false, 0, "", false},
        {"infinity", 'd', false, 0, "", false},
        // overflow fails, underflow gives the correctly rounded tiny value or 0
        {"1e400", 'd', false, 0, "", true},
        {"-1e400 ", 'd', false, 0, "", false},
        {"1.7976931348623158e308", 'd', true, DBL_MAX, "", true},
        {"1.7976931348623159e308", 'd', false, 0, "", true},
        {"1e-400", 'd', true, 0.0, "", true},
        {"-1e-400", 'd', true, -0.0, "", true},
        {"4.9406564584124654e-324", 'd', true, tiny, "", true},
        {"2.4703282292062328e-324", 'd', true, tiny, "", true},
        {"2.4703282292062327e-324", 'd', true, 0.0, "", true},
        {"2.2250738585072011e-308", 'd', true, 2.2250738585072011e-308, "", true},
        {"0.1e99999999999999999999", 'd', false, 0, "", true},
        {"7e-99999999999999999999", 'd', true, 0.0, "", true},
        {"1" + zeros + " ", 'd', false, 0, "", false},
        {"0." + zeros + "1", 'd', true, 0.0, "", true},
        {"1" + zeros.substr(0, 300) + "e-300", 'd', true, 1.0, "", true},
        {"0." + zeros.substr(0, 322) + "5", 'd', true, 5e-323, "", true},
        {"0." + zeros.substr(0, 300) + "17976931348623157e609", 'd', true, DBL_MAX, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("input \"" + c.text.substr(0, 40) + '"');
        Text t(c.text);
        if (c.kind == 'i') {
            int v = 77;
            t.file.getAscInt(v);
            EXPECT_EQ(v, c.ok ? static_cast<int>(c.value) : 77);
        } else {
            double v = 77;
            t.file.getAscDouble(v);
            EXPECT_TRUE(sameBits(v, c.ok ? c.value : 77)) << show(v);
        }
        EXPECT_EQ(t.file.fail(), !c.ok);
        EXPECT_EQ(t.file.eof(), c.eof);
        std::string next;
        t.file.getString(next);
        EXPECT_EQ(next, c.ok ? c.rest : "");
    }
}

// Whether the failure was the end of the input before any token, or a token
// that is not a number. A read after a token that ended the input failed
// without being marked as ending before a token.
TEST(GisAscFile, EndedBeforeTokenAlsoAfterATokenThatEndsTheInput) {
    struct Case {
        const char* text;
        const char* ops;
        bool atEnd;
    };
    for (const Case c : {Case{"", "s", true}, Case{"abc\n", "ss", true}, Case{"abc", "ss", true}, Case{"5", "dd", true},
                         Case{"5", "di", true}, Case{"1e", "d", false}, Case{"1e400", "d", false},
                         Case{"x", "d", false}, Case{"5 x", "dds", false}}) {
        Text t(c.text);
        AscOps reader{t.file};
        trace(reader, c.ops);
        EXPECT_EQ(t.file.endedBeforeToken(), c.atEnd) << '"' << c.text << "\" read with " << c.ops;
    }
}

TEST(GisAscFile, OpenForReadingFailsOnMissingFileAndFolder) {
    TempDir dir;
    for (const std::string& name : {dir.file("missing.txt"), dir.path()}) {
        GisAscFile f(name, "r");
        EXPECT_FALSE(f.good()) << name;
        EXPECT_FALSE(f.isOpen()) << name;
        EXPECT_EQ(f.fileSize(), -1);
        std::string w = "kept";
        f.getString(w);
        f.rewind();
        EXPECT_EQ(w, "kept");
        EXPECT_TRUE(f.fail());
    }
    Text t("12345");
    EXPECT_EQ(t.file.fileSize(), 5);
}

TEST(GisAscFile, AnyModeButExactlyROpensForWritingAndTruncates) {
    const mode_t old = ::umask(0);
    for (const char* mode : {"w", "R", "r+", "rb", " r", ""}) {
        Text t("old content\n", mode);
        EXPECT_TRUE(t.file.isOpen()) << mode;
        EXPECT_EQ(t.file.mode(), mode);
        EXPECT_EQ(readFile(t.path), "") << mode;
        std::string w = "kept";
        t.file.getString(w);
        EXPECT_EQ(w, "kept") << mode;
        EXPECT_FALSE(t.file.good()) << mode;
    }
    TempDir dir;
    GisAscFile created(dir.file("new.txt"), "w");
    EXPECT_EQ(permissionBits(dir.file("new.txt")), 0664);
    ::umask(old);
}

// emptyLine on a file opened for writing handed memchr the null data pointer
// of the never-filled buffer (undefined behaviour, reported by the sanitizer).
TEST(GisAscFile, EmptyLineOnNullBufferOfWriteModeFile) {
    Text t("x\n", "w");
    t.file.emptyLine();
    EXPECT_TRUE(t.file.eof());
}

TEST(GisAscFile, NumbersAndTokensAcrossTheBufferEnd) {
    const std::string expected = "d:" + show(-1.2345678901234567e-89) + " i:1234567890 s:tok l n:2 s:en i:7$";
    for (std::size_t k = 0; k <= 25; ++k)
        EXPECT_EQ(traceFile(std::string(kBuffer - k, ' ') + "-1.2345678901234567e-89 1234567890 tok\nen 7", "disln si"),
                  expected)
            << "number starts " << k << " bytes before the end of the first buffer load";
    // "1e" at the buffer end is taken with the exponent that follows.
    EXPECT_EQ(traceFile(std::string(kBuffer - 2, ' ') + "1e5 x", "d"), "d:100000");
}

TEST(GisAscFile, TokenOfSeveralMegabytes) {
    const std::size_t big = 5 * 1024 * 1024 + 3;
    Text t("a " + std::string(big, 'x') + " b " + std::string(big, 'y'));
    struct Token {
        char ch;
        std::size_t size;
    };
    for (const Token expect : {Token{'a', 1}, Token{'x', big}, Token{'b', 1}, Token{'y', big}}) {
        std::string w;
        t.file.getString(w);
        EXPECT_EQ(w.size(), expect.size);
        EXPECT_EQ(w.find_first_not_of(expect.ch), std::string::npos);
    }
    EXPECT_TRUE(t.file.eof());
    EXPECT_FALSE(t.file.fail());
}

TEST(GisAscFile, EmptyLineDiscardsAtMost100000Characters) {
    struct Case {
        std::size_t length;
        std::size_t rest;
    };  // line length, then what is left of it
    for (const Case c : {Case{99999, 0}, Case{100000, 0}, Case{100001, 1}, Case{300000, 200000}}) {
        Text t(std::string(c.length, 'x') + "\nnext");
        std::string w;
        t.file.emptyLine();
        t.file.getString(w);
        EXPECT_EQ(w.size(), c.rest == 0 ? 4 : c.rest) << "line of " << c.length;
        EXPECT_EQ(t.file.lineNumber(), c.rest == 0 ? 2 : 1) << "line of " << c.length;
    }
}

// Differential test: the same calls on GisAscFile and on std::istringstream
// over generated text must deliver the same values and flags.
TEST(GisAscFile, MatchesStreamExtractionOnGeneratedInput) {
    std::mt19937 rng(20240611);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto digits = [&](int n) {
        std::string s;
        for (int k = pick(n); k > 0; --k) s += static_cast<char>('0' + pick(10));
        return s;
    };
    auto number = [&](bool safe) {
        std::string s = pick(3) == 0 ? "-" : pick(6) == 0 ? "+" : "";
        s += pick(8) == 0 ? digits(40) : digits(6) + "1";
        if (pick(2)) s += "." + digits(8);
        if (pick(3) == 0) {
            s += pick(2) ? "e" : "E";
            if (pick(2)) s += pick(2) ? "-" : "+";
            s += safe ? std::to_string(pick(250)) : std::to_string(pick(400) + (pick(4) == 0 ? 300 : 0));
        }
        return s;
    };
    const char* const junk = "0123456789+-.eExainfNA";
    const char* const space[] = {" ", " ", "  ", "\n", "\t", "\r\n", "\v", "\f", "\n\n   "};
    auto generate = [&](std::size_t size, bool safe) {
        std::string s;
        while (s.size() < size) {
            if (safe || pick(3) > 0) {
                s += number(safe);
            } else {
                for (int k = 1 + pick(5); k > 0; --k) s += junk[pick(static_cast<int>(std::strlen(junk)))];
            }
            if (!safe && pick(12) == 0) continue;  // tokens that touch
            s += space[pick(9)];
        }
        if (pick(2)) s.pop_back();  // sometimes no white space at the end
        return s;
    };
    auto ops = [&](std::size_t count, const char* letters) {
        std::string s;
        for (std::size_t k = 0; k < count; ++k) s += letters[pick(static_cast<int>(std::strlen(letters)))];
        return s;
    };
    auto compare = [&](const std::string& text, const std::string& calls) {
        StreamOps oracle(text);
        const std::string expected = trace(oracle, calls), got = traceFile(text, calls);
        if (expected == got) return true;
        ADD_FAILURE() << "input \"" << text.substr(0, 400) << "\"\ncalls " << calls.substr(0, 400)
                      << "\nstream extraction: " << expected.substr(0, 600)
                      << "\nreader:            " << got.substr(0, 600);
        return false;
    };
    for (int n = 0; n < 3000; ++n)
        if (!compare(generate(1 + pick(60), false), ops(30, "dddddiissslcgnw"))) return;
    // Inputs over several buffer loads, with reads that keep the stream good.
    for (int n = 0; n < 4; ++n) {
        const std::string text = generate(kBuffer * 2 + pick(100000), true);
        if (!compare(text, ops(text.size() / 6, "ddddddsssln"))) return;
    }
}
