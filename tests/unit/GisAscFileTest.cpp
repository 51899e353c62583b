// The text reader: tokens, numbers, line ends, flags, and its buffer, which
// must stay invisible. The oracle for numbers is formatted stream extraction.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "GisAscFile.h"
#include "TestSupport.h"

// Allocations of at least this many bytes throw while it is not 0, as when
// memory has run out: the reader's buffer is the only allocation that large
// while it is set.
static std::size_t failAllocationsFrom = 0;

// Every form of new and delete is replaced, so that whatever a library of this
// binary allocates (GDAL and PROJ use the nothrow and array forms) is freed by
// the matching form.
void* operator new(std::size_t size) {
    if (failAllocationsFrom != 0 && size >= failAllocationsFrom) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

constexpr std::size_t kBuffer = 256 * 1024;  // the reader's own buffer size
constexpr std::size_t kLongestToken = 1024 * 1024;

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
// w rewind, n lineNumber) and writes, per call, its letter, ":value" when it
// delivered one (getline: what it stored), "!" when the reader has failed and
// "$" at the end of input: a compact trace for comparing two readers.
template <class R>
std::string trace(R& r, const std::string& ops) {
    std::string out;
    for (char op : ops) {
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

// The reader's flags as its predicates report them.
enum class Flags : unsigned {};
constexpr Flags operator|(Flags a, Flags b) { return Flags(static_cast<unsigned>(a) | static_cast<unsigned>(b)); }
constexpr bool has(Flags flags, Flags flag) {
    return (static_cast<unsigned>(flags) & static_cast<unsigned>(flag)) != 0;
}
constexpr Flags kGood{0};
constexpr Flags kEof{1};       // eof(): the input has been read to its end
constexpr Flags kFail{2};      // fail(): a read has failed
constexpr Flags kRange{4};     // outOfRange(): it failed on a number beyond its type
constexpr Flags kNoToken{8};   // endedBeforeToken(): it found nothing but the end
constexpr Flags kStopped{16};  // readProblem() is not empty: reading stopped short of the end
// What a read that finds nothing but the end of the input leaves.
constexpr Flags kNothingLeft = kEof | kFail | kNoToken;
// What a read error, a token too long or memory that cannot be had leaves.
constexpr Flags kReadStopped = kFail | kStopped;

std::string describe(Flags flags) {
    std::string out;
    for (const auto& [flag, name] : {std::pair{kEof, "eof"},
                                     {kFail, "fail"},
                                     {kRange, "outOfRange"},
                                     {kNoToken, "endedBeforeToken"},
                                     {kStopped, "readProblem"}})
        if (has(flags, flag)) out += out.empty() ? name : std::string(" ") + name;
    return out.empty() ? "good" : out;
}

Flags flagsOf(const GisAscFile& f) {
    Flags flags = kGood;
    if (f.eof()) flags = flags | kEof;
    if (f.fail()) flags = flags | kFail;
    if (f.outOfRange()) flags = flags | kRange;
    if (f.endedBeforeToken()) flags = flags | kNoToken;
    if (!f.readProblem().empty()) flags = flags | kStopped;
    return flags;
}

enum class Call { GetString, GetAscInt, GetAscDouble, GetChar, Getline, EmptyLine, Rewind, LineNumber, Peek };

// One call on the reader: what it delivers (a read that fails leaves its
// argument as it was) and the flags it leaves. Made by the functions below,
// named after the reader's own calls.
struct Step {
    Call call;
    bool delivers;
    std::string text;   // getString, getChar, getline, peek
    double number = 0;  // getAscInt, getAscDouble, lineNumber; peek: its count
    Flags flags = kGood;
};

Step getString(const std::string& word, Flags f = kGood) { return {Call::GetString, true, word, 0, f}; }
Step getString(Flags f) { return {Call::GetString, false, "", 0, f}; }
Step getAscInt(int v, Flags f = kGood) { return {Call::GetAscInt, true, "", static_cast<double>(v), f}; }
Step getAscInt(Flags f) { return {Call::GetAscInt, false, "", 0, f}; }
Step getAscDouble(double v, Flags f = kGood) { return {Call::GetAscDouble, true, "", v, f}; }
Step getAscDouble(Flags f) { return {Call::GetAscDouble, false, "", 0, f}; }
Step getChar(char c, Flags f = kGood) { return {Call::GetChar, true, std::string(1, c), 0, f}; }
Step getChar(Flags f) { return {Call::GetChar, false, "", 0, f}; }
// getline stores what it read (into 8 bytes) even when it fails.
Step getline(const std::string& stored, Flags f = kGood) { return {Call::Getline, true, stored, 0, f}; }
Step emptyLine(Flags f = kGood) { return {Call::EmptyLine, false, "", 0, f}; }
Step rewind(Flags f = kGood) { return {Call::Rewind, false, "", 0, f}; }
Step lineNumber(long long n, Flags f = kGood) { return {Call::LineNumber, true, "", static_cast<double>(n), f}; }
Step peek(std::size_t count, const std::string& shown, Flags f = kGood) {
    return {Call::Peek, true, shown, static_cast<double>(count), f};
}

const char* nameOf(Call call) {
    const char* const names[] = {"getString", "getAscInt", "getAscDouble", "getChar", "getline",
                                 "emptyLine", "rewind",    "lineNumber",   "peek"};
    return names[static_cast<int>(call)];
}

// Makes the call of step on f and checks what it delivered and the flags.
void run(GisAscFile& f, const Step& step) {
    const std::string keptWord = "\x01kept";
    std::string word = keptWord;
    int i = 77;
    double d = 77;
    char c = '\x7f';
    char line[8];
    switch (step.call) {
        case Call::GetString:
            f.getString(word);
            EXPECT_EQ(word, step.delivers ? step.text : keptWord);
            break;
        case Call::GetAscInt:
            f.getAscInt(i);
            EXPECT_EQ(i, step.delivers ? static_cast<int>(step.number) : 77);
            break;
        case Call::GetAscDouble:
            f.getAscDouble(d);
            EXPECT_EQ(show(d), show(step.delivers ? step.number : 77));  // tells -0 from 0
            break;
        case Call::GetChar:
            f.getChar(&c);
            EXPECT_EQ(c, step.delivers ? step.text[0] : '\x7f');
            break;
        case Call::Getline:
            f.getline(line, sizeof line, '\n');
            EXPECT_EQ(std::string(line), step.text);
            break;
        case Call::EmptyLine:
            f.emptyLine();
            break;
        case Call::Rewind:
            f.rewind();
            break;
        case Call::LineNumber:
            EXPECT_EQ(f.lineNumber(), static_cast<long long>(step.number));
            break;
        case Call::Peek:
            EXPECT_EQ(f.peek(static_cast<std::size_t>(step.number)), step.text);
            break;
    }
    EXPECT_EQ(describe(flagsOf(f)), describe(step.flags));
}

// An input text, the calls made on it, in order, and why reading stopped short
// of the end at last, if it did.
struct Case {
    std::string text;
    std::vector<Step> steps;
    std::string problem = "";
    bool fortran = false;  // readFortranNumbers(true), as for a Tecplot file
};

void check(const Case& c) {
    SCOPED_TRACE("input \"" + c.text.substr(0, 40) + (c.text.size() > 40 ? "...\"" : "\""));
    Text t(c.text);
    t.file.readFortranNumbers(c.fortran);
    for (std::size_t k = 0; k < c.steps.size(); ++k) {
        SCOPED_TRACE("call " + std::to_string(k + 1) + ", " + nameOf(c.steps[k].call));
        run(t.file, c.steps[k]);
    }
    EXPECT_EQ(t.file.readProblem(), c.problem);
}

}  // namespace

TEST(GisAscFile, CallsDeliverAndSetFlags) {
    const Case cases[] = {
        // tokens, and the end of input with and without white space after
        {"abc", {getString("abc", kEof), getString(kNothingLeft)}},
        {"abc\n", {getString("abc"), getString(kNothingLeft)}},
        {"", {getString(kNothingLeft)}},
        {" \t\n\r\v\f ", {getString(kNothingLeft), lineNumber(2, kNothingLeft)}},
        {"a\tb\nc\rd\ve\ff g",
         {getString("a"), getString("b"), getString("c"), getString("d"), getString("e"), getString("f"),
          getString("g", kEof)}},
        {"a\x01"
         "b\x7f\xa0 \"quoted text\"",
         {getString("a\x01"
                    "b\x7f\xa0"),
          getString("\"quoted"), getString("text\"", kEof)}},
        {"-42", {getAscInt(-42, kEof)}},
        {"abc 5", {getAscInt(kFail), getString(kFail)}},
        // emptyLine: the rest of the line and its newline; no skip of white
        // space first; the end of input without a newline
        {"5 rest\nnext", {getAscDouble(5), emptyLine(), getString("next", kEof)}},
        {"5\n\nx y\nz", {getAscDouble(5), emptyLine(), emptyLine(), getString("x")}},
        {"5 last line", {getAscDouble(5), emptyLine(kEof), getString(kNothingLeft), lineNumber(1, kNothingLeft)}},
        {"\n\n\nx", {emptyLine(), emptyLine(), lineNumber(3)}},
        // rewind: back to the first byte while good, nothing after the end
        {"a b\nc",
         {getString("a"), getString("b"), lineNumber(1), getString("c", kEof), rewind(kEof), lineNumber(2, kEof),
          getString(kNothingLeft)}},
        {"a b\nc\n", {getString("a"), getString("b"), lineNumber(1), rewind(), lineNumber(1), getString("a")}},
        {"x 1", {getAscDouble(kFail), rewind(kFail), getString(kFail)}},
        // lines are counted wherever newlines are consumed
        {"a\n\n b\nc", {getString("a"), lineNumber(1), getString("b"), lineNumber(3), emptyLine(), lineNumber(4)}},
        // getChar and getline
        {" a\nbc", {getChar(' '), getChar('a'), getChar('\n'), getChar('b'), getChar('c'), getChar(kEof | kFail)}},
        {"abc\ndefghijkl\n", {getline("abc"), getline("defghij", kFail)}},
    };
    for (const Case& c : cases) check(c);
}

TEST(GisAscFile, NumbersReadAsStreamExtraction) {
    // Expected values are C++ literals of the same text: the compiler's correctly
    // rounded conversion is the oracle. A getString after a number shows where
    // the number ended.
    const double tiny = std::numeric_limits<double>::denorm_min();
    const int intMin = std::numeric_limits<int>::min();
    const std::string zeros(400, '0');
    const Case cases[] = {
        {"-42", {getAscInt(-42, kEof)}},
        {"+7 x", {getAscInt(7), getString("x", kEof)}},
        {"007", {getAscInt(7, kEof)}},
        {"1.5", {getAscInt(1), getString(".5", kEof)}},
        {"0x1A", {getAscInt(0), getString("x1A", kEof)}},
        {"1e5", {getAscInt(1), getString("e5", kEof)}},
        {"2147483647", {getAscInt(2147483647, kEof)}},
        {"-2147483648", {getAscInt(intMin, kEof)}},
        {"2147483648", {getAscInt(kEof | kFail | kRange)}},
        {"-2147483649 ", {getAscInt(kFail | kRange)}},
        {"99999999999999999999 ", {getAscInt(kFail | kRange)}},
        {"abc", {getAscInt(kFail)}},
        {"-", {getAscInt(kEof | kFail)}},
        {"+ 5", {getAscInt(kFail)}},
        {"--5", {getAscInt(kFail)}},
        {"12.5", {getAscDouble(12.5, kEof)}},
        {" \t\r\v\f\n-0.25e1 z", {getAscDouble(-2.5), getString("z", kEof)}},
        {"+5", {getAscDouble(5, kEof)}},
        {"+-5", {getAscDouble(kFail)}},
        {".5", {getAscDouble(0.5, kEof)}},
        {"-.5", {getAscDouble(-0.5, kEof)}},
        {"5.", {getAscDouble(5, kEof)}},
        {"1.e2", {getAscDouble(100, kEof)}},
        {".", {getAscDouble(kEof | kFail)}},
        {". 5", {getAscDouble(kFail)}},
        {"-0", {getAscDouble(-0.0, kEof)}},
        {"1E3 ", {getAscDouble(1000), getString(kNothingLeft)}},
        {"1e+3", {getAscDouble(1000, kEof)}},
        {"1e-3", {getAscDouble(0.001, kEof)}},
        {"1.5.5", {getAscDouble(1.5), getString(".5", kEof)}},
        {"1e5.5", {getAscDouble(1e5), getString(".5", kEof)}},
        {"12abc", {getAscDouble(12), getString("abc", kEof)}},
        {"1,5", {getAscDouble(1), getString(",5", kEof)}},
        {"0x10", {getAscDouble(0), getString("x10", kEof)}},
        {"1e", {getAscDouble(kEof | kFail)}},
        {"1e+", {getAscDouble(kEof | kFail)}},
        {"1e+ 3", {getAscDouble(kFail)}},
        {"1ex", {getAscDouble(kFail)}},
        {"e5", {getAscDouble(kFail)}},
        {".e5", {getAscDouble(kFail)}},
        {"inf", {getAscDouble(kFail)}},
        {"-inf", {getAscDouble(kFail)}},
        {"nan", {getAscDouble(kFail)}},
        {"NaN", {getAscDouble(kFail)}},
        {"infinity", {getAscDouble(kFail)}},
        // overflow fails, underflow gives the correctly rounded tiny value or 0
        {"1e400", {getAscDouble(kEof | kFail | kRange)}},
        {"-1e400 ", {getAscDouble(kFail | kRange)}},
        {"1.7976931348623158e308", {getAscDouble(DBL_MAX, kEof)}},
        {"1.7976931348623159e308", {getAscDouble(kEof | kFail | kRange)}},
        {"1e-400", {getAscDouble(0.0, kEof)}},
        {"-1e-400", {getAscDouble(-0.0, kEof)}},
        {"4.9406564584124654e-324", {getAscDouble(tiny, kEof)}},
        {"2.4703282292062328e-324", {getAscDouble(tiny, kEof)}},
        {"2.4703282292062327e-324", {getAscDouble(0.0, kEof)}},
        {"2.2250738585072011e-308", {getAscDouble(2.2250738585072011e-308, kEof)}},
        {"0.1e99999999999999999999", {getAscDouble(kEof | kFail | kRange)}},
        {"7e-99999999999999999999", {getAscDouble(0.0, kEof)}},
        {"1" + zeros + " ", {getAscDouble(kFail | kRange)}},
        {"0." + zeros + "1", {getAscDouble(0.0, kEof)}},
        {"1" + zeros.substr(0, 300) + "e-300", {getAscDouble(1.0, kEof)}},
        {"0." + zeros.substr(0, 322) + "5", {getAscDouble(5e-323, kEof)}},
        {"0." + zeros.substr(0, 300) + "17976931348623157e609", {getAscDouble(DBL_MAX, kEof)}},
        // A number that ends the input after another token: looking for more
        // input moves the loaded bytes, and the number must still be read
        // from where they now stand.
        {"x 12345678901234567e-3", {getString("x"), getAscDouble(12345678901234.567, kEof)}},
        {"x -1.5", {getString("x"), getAscDouble(-1.5, kEof)}},
        {"x -15", {getString("x"), getAscInt(-15, kEof)}},
    };
    for (const Case& c : cases) check(c);
}

// Numbers as Fortran writes them, in a Tecplot file: "1.00000000-120" (an E
// format whose exponent has three digits drops the E) was read as 1.0 and then
// -120, two numbers of a node; "0.1D+03" failed at "D+03". Elsewhere, as in the
// configuration, they stay what stream extraction makes of them.
TEST(GisAscFile, FortranExponentsAreOneNumberInTecplotFiles) {
    const std::string zeros(100, '0');
    const Case fortran[] = {
        {"0.1000000000D+03", {getAscDouble(100, kEof)}},
        {"1.5d-2 x", {getAscDouble(0.015), getString("x", kEof)}},
        {"-2.5D3\n", {getAscDouble(-2500), getString(kNothingLeft)}},
        {"1.00000000-120 5", {getAscDouble(1e-120), getAscDouble(5, kEof)}},
        {"1.0+5 x", {getAscDouble(1e5), getString("x", kEof)}},
        {"-0.0D0", {getAscDouble(-0.0, kEof)}},
        {"1" + zeros + "D-100", {getAscDouble(1.0, kEof)}},
        {"1.0E+03 1e-3", {getAscDouble(1000), getAscDouble(0.001, kEof)}},
        {"1.5D+400 ", {getAscDouble(kFail | kRange)}},
        // The mark is taken and committed to, as "e" is.
        {"1.0D", {getAscDouble(kEof | kFail)}},
        {"1.0D+ 3", {getAscDouble(kFail)}},
        {"1.0- 3", {getAscDouble(kFail)}},
        {"1.0E+03-5", {getAscDouble(1000), getAscDouble(-5, kEof)}},
        {"1.5x", {getAscDouble(1.5), getString("x", kEof)}},
        // Integers (node numbers) have no exponent.
        {"12-3 4D2", {getAscInt(12), getAscInt(-3), getAscInt(4), getString("D2", kEof)}},
    };
    for (Case c : fortran) {
        c.fortran = true;
        check(c);
    }
    check({"1.0D+03 1.00000000-120", {getAscDouble(1), getString("D+03"), getAscDouble(1), getAscDouble(-120, kEof)}});
    for (std::size_t k = 0; k <= 20; ++k) {
        SCOPED_TRACE("the text starts " + std::to_string(k) + " bytes before the end of the first buffer load");
        check({std::string(kBuffer - k, ' ') + "1.00000000-120 2.5D0 x",
               {getAscDouble(1e-120), getAscDouble(2.5), getString("x", kEof)},
               "",
               true});
    }
}

// A part of the file is read again from its offset: a later zone that
// shares another's nodes or elements reads them where that zone has them.
TEST(GisAscFile, SeekToAnOffsetReadsThatPartAgain) {
    for (std::size_t k : {std::size_t(0), std::size_t(3), kBuffer - 2, kBuffer + 5}) {
        SCOPED_TRACE(k);
        Text t(std::string(k, ' ') + "1.5\nZONE 7 x\n");
        double d = 0;
        t.file.getAscDouble(d);
        const long long offset = t.file.offset(), line = t.file.lineNumber();
        EXPECT_EQ(offset, static_cast<long long>(k) + 3);
        int i = 0;
        t.file.getAscInt(i);  // fails at ZONE: the word is still there
        EXPECT_EQ(t.file.peekFailedToken(5), "ZONE ");
        t.file.resumeAtFailedToken();
        std::string word;
        t.file.getString(word);
        EXPECT_EQ(word, "ZONE");
        t.file.getAscInt(i);
        t.file.getString(word);
        t.file.getString(word);  // nothing left
        EXPECT_TRUE(t.file.eof());
        ASSERT_TRUE(t.file.seekTo(offset, line));
        EXPECT_TRUE(t.file.good());
        t.file.getString(word);
        EXPECT_EQ(word, "ZONE");
        EXPECT_EQ(t.file.lineNumber(), 2);
    }
    // "4ZONE" is no word that begins at the failed read.
    Text t("4ZONE");
    int i = 0;
    t.file.getAscInt(i);
    t.file.getAscInt(i);
    EXPECT_EQ(t.file.peekFailedToken(5), "");
}

// A configuration number is a whole token, converted as getAscDouble converts
// it; any text after the number makes it no number at all.
TEST(GisAscFile, WholeNumberIsANumberAndNothingElse) {
    struct Case {
        std::string text;
        bool whole;
        double value;
    };
    const Case cases[] = {
        {"12.5", true, 12.5},
        {"-0", true, -0.0},
        {"+5", true, 5},
        {".5", true, 0.5},
        {"5.", true, 5},
        {"1.5e3", true, 1500},
        {"12345678901234567e-3", true, 12345678901234.567},
        {"1.7976931348623158e308", true, DBL_MAX},
        {"1e-400", true, 0.0},
        {"6OO400", false, 0},
        {"2,5", false, 0},
        {"0x10", false, 0},
        {"10m", false, 0},
        {"1e5x", false, 0},
        {"5 ", false, 0},
        {" 5", false, 0},
        {std::string("5\0", 2), false, 0},
        {"", false, 0},
        {"-", false, 0},
        {".", false, 0},
        {"1e", false, 0},
        {"1e+", false, 0},
        {"1e400", false, 0},
        {"inf", false, 0},
        {"nan", false, 0},
    };
    for (const Case& c : cases) {
        double v = 77;
        EXPECT_EQ(GisAscFile::wholeNumber(c.text, v), c.whole) << c.text;
        EXPECT_EQ(show(v), show(c.whole ? c.value : 77)) << c.text;
    }
}

// Whether the failure was the end of the input before any token, or a token
// that is not a number. A read after a token that ended the input failed
// without being marked as ending before a token.
TEST(GisAscFile, EndedBeforeTokenAlsoAfterATokenThatEndsTheInput) {
    const Case cases[] = {
        {"", {getString(kNothingLeft)}},
        {"abc\n", {getString("abc"), getString(kNothingLeft)}},
        {"abc", {getString("abc", kEof), getString(kNothingLeft)}},
        {"5", {getAscDouble(5, kEof), getAscDouble(kNothingLeft)}},
        {"5", {getAscDouble(5, kEof), getAscInt(kNothingLeft)}},
        {"1e", {getAscDouble(kEof | kFail)}},
        {"1e400", {getAscDouble(kEof | kFail | kRange)}},
        {"x", {getAscDouble(kFail)}},
        {"5 x", {getAscDouble(5), getAscDouble(kFail), getString(kFail)}},
    };
    for (const Case& c : cases) check(c);
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
    for (std::size_t k = 0; k <= 25; ++k) {
        SCOPED_TRACE("the text starts " + std::to_string(k) + " bytes before the end of the first buffer load");
        const std::string spaces(kBuffer - k, ' ');
        check({spaces + "-1.2345678901234567e-89 1234567890 tok\nen 7",
               {getAscDouble(-1.2345678901234567e-89), getAscInt(1234567890), getString("tok"), emptyLine(),
                lineNumber(2), getString("en"), getAscInt(7, kEof)}});
        check({spaces + "-0.125 -15 +2.5 x",
               {getAscDouble(-0.125), getAscInt(-15), getAscDouble(2.5), getString("x", kEof)}});
    }
    // "1e" at the buffer end is taken with the exponent that follows.
    check({std::string(kBuffer - 2, ' ') + "1e5 x", {getAscDouble(1e5)}});
}

// An endless token (/dev/zero, a binary file) grew the buffer until the
// program aborted. A token or number text of up to 1 MiB is read whole,
// wherever it starts in the buffer; a longer one ends reading, and no part of
// it is delivered.
TEST(GisAscFile, TokenLongerThan1MiBEndsReadingInsteadOfTakingAllMemory) {
    const std::string longest(kLongestToken, 'x'), tooLong(kLongestToken + 1, 'x');
    const std::string zeros(kLongestToken - 3, '0');  // "0." + zeros + "5" is 1 MiB
    const std::string tooLongProblem = "a token longer than 1 MiB";
    const Case cases[] = {
        {"a " + longest + " b", {getString("a"), getString(longest), getString("b", kEof)}},
        {longest, {getString(longest, kEof)}},
        {std::string(kBuffer - 5, ' ') + longest + "\n", {getString(longest), getString(kNothingLeft)}},
        {"0." + zeros + "5 7", {getAscDouble(0.0), getAscInt(7, kEof)}},
        {"a " + tooLong + " b", {getString("a"), getString(kReadStopped), getString(kReadStopped)}, tooLongProblem},
        {tooLong, {getString(kReadStopped)}, tooLongProblem},
        {std::string(kBuffer - 5, ' ') + tooLong, {getString(kReadStopped)}, tooLongProblem},
        {std::string(5 * kLongestToken, '\0'), {getString(kReadStopped), getChar(kReadStopped)}, tooLongProblem},
        {"0." + zeros + "05 7", {getAscDouble(kReadStopped), getAscInt(kReadStopped)}, tooLongProblem},
        {std::string(kLongestToken + 1, '1'), {getAscInt(kReadStopped)}, tooLongProblem},
        // emptyLine discards 100000 characters, and the rest of the line is a token.
        {std::string(3 * kLongestToken, 'x') + "\nnext",
         {emptyLine(), lineNumber(1), getString(kReadStopped)},
         tooLongProblem},
    };
    for (const Case& c : cases) check(c);
}

// A read error (EIO from a failing disk) was taken for the end of the input,
// and the run went on as if the file were complete. Reading now stops with the
// system's reason, never with end-of-file, whatever call meets the error.
TEST(GisAscFile, ReadErrorIsNotTheEndOfTheInput) {
    // Reading /proc/self/mem from its first byte fails with EIO: nothing is mapped at address 0.
    const char* const name = "/proc/self/mem";
    for (const Step& step :
         {getString(kReadStopped), getAscInt(kReadStopped), getAscDouble(kReadStopped), getChar(kReadStopped),
          getline("", kReadStopped), emptyLine(kReadStopped), peek(1, "", kReadStopped)}) {
        SCOPED_TRACE(nameOf(step.call));
        GisAscFile f(name, "r");
        if (!f.good()) GTEST_SKIP() << name << " cannot be opened here";
        run(f, step);
        EXPECT_EQ(f.readProblem(), "read error: Input/output error");
        EXPECT_EQ(f.lineNumber(), 1);
        run(f, getString(kReadStopped));
    }
}

// The buffer's allocation threw std::bad_alloc out of the reader, and the
// program aborted. Both the first buffer and its growth for a long token now
// end reading with "out of memory".
TEST(GisAscFile, BufferMemoryThatCannotBeHadEndsReading) {
    struct MemoryCase {
        const char* what;
        std::size_t failFrom;
        std::string text;
        std::vector<Step> steps;
    };
    const MemoryCase cases[] = {
        {"first buffer", kBuffer, "a b", {getString(kReadStopped), getAscInt(kReadStopped)}},
        {"growth", 2 * kBuffer, "a " + std::string(kBuffer + 10, 'x'), {getString("a"), getString(kReadStopped)}},
    };
    for (const MemoryCase& c : cases) {
        SCOPED_TRACE(c.what);
        Text t(c.text);
        failAllocationsFrom = c.failFrom;
        for (const Step& step : c.steps) run(t.file, step);
        failAllocationsFrom = 0;
        EXPECT_EQ(t.file.readProblem(), "out of memory");
    }
}

// The zone reader looks at the start of the next line to know where its record
// ends: peek takes the whitespace, and nothing else, and at the end of the
// input sets no flag, so that the read after it is the one that finds the end.
TEST(GisAscFile, PeekTakesOnlyWhitespace) {
    const Case cases[] = {
        {"ZONE\n  \n\t 3.5 x\n",
         {getString("ZONE"), peek(5, "3.5 x"), lineNumber(3), peek(2, "3."), getAscDouble(3.5), peek(9, "x\n"),
          getString("x"), peek(1, ""), lineNumber(4), getString(kNothingLeft)}},
        {"\n\n", {peek(5, ""), lineNumber(3), getChar(kEof | kFail)}},
        {"12", {peek(0, ""), peek(5, "12"), getAscInt(12, kEof), peek(5, "", kEof)}},
        // The bytes peeked at are loaded across the end of the buffer, and stay for the reads.
        {std::string(kBuffer - 2, ' ') + "-.5e1 x", {peek(3, "-.5"), getAscDouble(-5), getString("x", kEof)}},
        {std::string(kBuffer + 3, '\n') + "z", {peek(2, "z"), lineNumber(kBuffer + 4), getString("z", kEof)}},
        {"1 x", {getAscInt(1), getAscInt(kFail), peek(1, "", kFail)}},
    };
    for (const Case& c : cases) check(c);
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
        Text t(text);
        AscOps reader{t.file};
        const std::string expected = trace(oracle, calls), got = trace(reader, calls);
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
