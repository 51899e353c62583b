#include "GisAscFile.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

#include "CharClasses.h"

namespace {

// 256 KiB keeps a node table streaming at from_chars speed; larger buffers
// measured no faster on the two-million-node benchmark table.
constexpr std::size_t kBufferSize = 256 * 1024;
// The longest token taken. The buffer grows to hold a token whole, so without a
// bound an endless one (/dev/zero, a binary file) would take all memory; the
// longest words of the inputs, file names and labels, are far shorter.
constexpr std::size_t kLongestToken = 1024 * 1024;

// Skips the whitespace at p, up to last, adding the newlines to line.
inline const char* skipSpaceIn(const char* p, const char* last, long long& line) {
    for (; p < last && isSpace(*p); ++p) line += *p == '\n';
    return p;
}

// Adds the digits at p, up to last, to the integer digits; returns their end.
inline const char* addDigits(const char* p, const char* last, unsigned long long& digits) {
    for (; p < last && isDigit(*p); ++p) digits = digits * 10 + static_cast<unsigned>(*p - '0');
    return p;
}

}  // namespace

// The text of one number as formatted extraction takes it. Its scan gathers
// the digits into one integer on the way, as fast_float's does, so that a short
// decimal is converted without reading its text twice. A NumberText with a
// null first holds no number.
struct GisAscFile::NumberText {
    const char* first = nullptr;
    const char* end = nullptr;
    unsigned long long digits = 0;  // all digits as one integer, wrapped beyond 19 of them
    std::size_t count = 0;          // digits before and after the point
    std::size_t fraction = 0;       // digits after the point
    bool exponent = false;          // e, E, or as Fortran writes it (D, d, or a sign alone)

    // Scans the longest text at first, up to last, that extraction of an int
    // (real false) or of a double would take; with fortran, also the exponents
    // Fortran writes (see scanFortranExponent).
    static NumberText scan(const char* first, const char* last, bool real, bool fortran = false);
    // Delivers the int or the double extraction makes of the text, or adds the
    // flags of its failure to state (value is then left unchanged).
    void convert(int& value, unsigned& state) const;
    void convert(double& value, unsigned& state) const;
    // Converts a plain decimal of at most 15 digits; false for any other text.
    bool shortDecimal(double& value) const;
    // Converts every other double, as convert does.
    static void generalDouble(const char* first, const char* end, double& value, unsigned& state);
    // Converts a double whose exponent Fortran wrote: as generalDouble with "e" for the mark.
    static void fortranDouble(const char* first, const char* end, double& value, unsigned& state);
};

namespace {

// The end of a Fortran exponent at p, right after a mantissa: "D" or "d" with an
// optional sign, or a sign alone ("1.00000000-120", the form of an E format
// whose exponent has three digits), then digits; p when there is none. Like
// "e", a mark is taken and committed to, so "1.0D" and "1.0-" are taken whole
// and fail: a mantissa directly followed by a sign is never two numbers.
const char* scanFortranExponent(const char* p, const char* last) {
    if (p < last && (*p == 'd' || *p == 'D'))
        ++p;
    else if (!(p < last && isSign(*p)))
        return p;
    for (p = p < last && isSign(*p) ? p + 1 : p; p < last && isDigit(*p);) ++p;
    return p;
}

}  // namespace

// Extraction never backs up: it takes an exponent mark after a digit and then
// commits to it, so "1e" and "1e+" are taken whole and then fail.
inline GisAscFile::NumberText GisAscFile::NumberText::scan(const char* first, const char* last, bool real,
                                                           bool fortran) {
    unsigned long long digits = 0;
    const char* integer = first < last && isSign(*first) ? first + 1 : first;
    const char* p = addDigits(integer, last, digits);
    std::size_t count = static_cast<std::size_t>(p - integer), fraction = 0;
    if (real && p < last && *p == '.') {
        const char* fractionStart = p + 1;
        p = addDigits(fractionStart, last, digits);
        fraction = static_cast<std::size_t>(p - fractionStart);
        count += fraction;
    }
    // Most numbers end at whitespace: one test of the byte after them. One
    // object returned on every path keeps it in registers: returned from three
    // places, the benchmark's node table took 2.5% more instructions.
    bool exponent = false;
    if (real && count > 0 && p != last && static_cast<unsigned char>(*p) > ' ') {
        if (*p == 'e' || *p == 'E') {
            ++p;
            for (p = p < last && isSign(*p) ? p + 1 : p; p < last && isDigit(*p);) ++p;
            exponent = true;
        } else if (fortran) {
            const char* const mantissaEnd = p;
            p = scanFortranExponent(p, last);
            exponent = p != mantissaEnd;
        }
    }
    return NumberText{first, p, digits, count, fraction, exponent};
}

// Up to 9 digits always fit in an int: taking the gathered digits instead of
// from_chars read 8 million element numbers in 0.059 s instead of 0.079 s.
inline void GisAscFile::NumberText::convert(int& value, unsigned& state) const {
    if (count > 0 && count <= 9) {
        const int v = static_cast<int>(digits);
        value = *first == '-' ? -v : v;
        return;
    }
    const std::errc ec =
        count == 0 ? std::errc::invalid_argument : std::from_chars(*first == '+' ? first + 1 : first, end, value).ec;
    if (ec == std::errc::result_out_of_range)
        state |= kFail | kRange;
    else if (ec != std::errc())
        state |= kFail;
}

inline void GisAscFile::NumberText::convert(double& value, unsigned& state) const {
    if (!shortDecimal(value)) generalDouble(first, end, value, state);
}

// Plain decimals of at most 15 digits are exact as an integer over a power of
// ten, and one IEEE division rounds their quotient correctly; 0.174 s went to
// 0.130 s on the two-million-line benchmark table.
inline bool GisAscFile::NumberText::shortDecimal(double& value) const {
    static const double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    if (count == 0 || count > 15 || exponent) return false;
    const double v = static_cast<double>(digits) / kPow10[fraction];
    value = *first == '-' ? -v : v;
    return true;
}

// Out of line and called last, so that the common path needs no stack frame
// (see getNumber). from_chars takes no '+' and stops before an incomplete
// exponent, which extraction rejects; strtod tells overflow from underflow.
__attribute__((noinline)) void GisAscFile::NumberText::generalDouble(const char* first, const char* end, double& value,
                                                                     unsigned& state) {
    const char* from = first < end && *first == '+' ? first + 1 : first;
    double v;
    const auto r = std::from_chars(from, end, v);
    // A mantissa followed by D, d or a sign: only a Fortran exponent, which
    // scan took, ends so. Not told apart in scan, to keep the common number's
    // scan as short as it was.
    if (r.ec == std::errc() && r.ptr > from && r.ptr != end &&
        (*r.ptr == 'd' || *r.ptr == 'D' || *r.ptr == '+' || *r.ptr == '-')) {
        fortranDouble(first, end, value, state);
        return;
    }
    if (r.ptr != end || (r.ec != std::errc() && r.ec != std::errc::result_out_of_range)) {
        state |= kFail;
        return;
    }
    if (r.ec == std::errc::result_out_of_range) {
        // Overflow fails; underflow gives the correctly rounded tiny value, or 0.
        v = std::strtod(std::string(from, end).c_str(), nullptr);
        if (v == HUGE_VAL || v == -HUGE_VAL) {
            state |= kFail | kRange;
            return;
        }
    }
    value = v;
}

// The text again with "e" in place of the mark (before a sign that stands
// alone), which generalDouble then converts; on the stack unless it is long.
__attribute__((noinline)) void GisAscFile::NumberText::fortranDouble(const char* first, const char* end, double& value,
                                                                     unsigned& state) {
    const std::size_t size = static_cast<std::size_t>(end - first);
    const char* p = isSign(*first) ? first + 1 : first;
    while (p < end && (isDigit(*p) || *p == '.')) ++p;
    const std::size_t mark = static_cast<std::size_t>(p - first);
    const bool letter = p < end && (*p == 'd' || *p == 'D');
    char shortText[64];
    std::string longText;
    char* text = shortText;
    if (size + 1 > sizeof shortText) {
        longText.resize(size + 1);
        text = &longText[0];
    }
    std::memcpy(text, first, mark);
    text[mark] = 'e';
    const std::size_t rest = letter ? mark + 1 : mark;
    std::memcpy(text + mark + 1, first + rest, size - rest);
    generalDouble(text, text + mark + 1 + (size - rest), value, state);
}

GisAscFile::GisAscFile(const std::string& name, const char* mode) : name_(name), mode_(mode ? mode : "") {
    const bool forReading = mode_ == "r";
    file_ = forReading ? ::open(name.c_str(), O_RDONLY | O_CLOEXEC)
                       : ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
    if (file_ < 0) {
        state_ = kFail;
        return;
    }
    struct stat info;
    if (::fstat(file_, &info) != 0 || S_ISDIR(info.st_mode)) {
        // A folder opens like a file but yields no bytes: report it as unopenable.
        ::close(file_);
        file_ = -1;
        state_ = kFail;
        return;
    }
}

GisAscFile::GisAscFile(const GisAscFile& file, long long offset, long long line)
    : name_(file.name_), mode_("r"), fortran_(file.fortran_) {
    // A descriptor of its own, on the same open file: reads by position leave
    // the other reader's offset alone.
    file_ = file.file_ >= 0 ? ::fcntl(file.file_, F_DUPFD_CLOEXEC, 0) : -1;
    if (file_ < 0 || offset < 0) {
        state_ = kFail;
        return;
    }
    positional_ = true;
    base_ = offset;
    line_ = line;
}

GisAscFile::~GisAscFile() {
    if (file_ >= 0) ::close(file_);
}

long long GisAscFile::fileSize() const {
    struct stat info;
    if (file_ < 0 || ::fstat(file_, &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    return static_cast<long long>(info.st_size);
}

bool GisAscFile::refill() {
    // The buffer is at most one byte longer than the longest token, so a longer
    // one always reaches its end and comes here.
    if (end_ - pos_ > kLongestToken) {
        stop("a token longer than 1 MiB");
        return false;
    }
    if (exhausted_ || mode_ != "r") {
        exhausted_ = true;
        return false;
    }
    if (pos_ > 0) {
        std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
        end_ -= pos_;
        base_ += static_cast<long long>(pos_);
        pos_ = 0;
    }
    if (end_ == buf_.size() && !grow()) return false;
    for (;;) {
        const ssize_t got = positional_ ? ::pread(file_, buf_.data() + end_, buf_.size() - end_,
                                                  static_cast<off_t>(base_) + static_cast<off_t>(end_))
                                        : ::read(file_, buf_.data() + end_, buf_.size() - end_);
        if (got > 0) {
            end_ += static_cast<std::size_t>(got);
            return true;
        }
        if (got == 0) {
            exhausted_ = true;
            return false;
        }
        if (errno != EINTR) {
            stop("read error: ", errno);
            return false;
        }
    }
}

bool GisAscFile::grow() {
    const std::size_t size = buf_.empty() ? kBufferSize : std::min(buf_.size() * 2, kLongestToken + 1);
    try {
        buf_.reserve(size);  // exactly size: resize alone may take twice the room
        buf_.resize(size);
    } catch (const std::bad_alloc&) {
        stop("out of memory");
        return false;
    }
    return true;
}

void GisAscFile::stop(const char* why, int error) {
    state_ |= kFail | kBad;
    exhausted_ = true;
    try {
        problem_ = why;
        if (error != 0) problem_ += std::strerror(error);
    } catch (const std::bad_alloc&) {
        problem_ = "out of memory";  // short enough to need no allocation
    }
}

bool GisAscFile::skipSpace() {
    for (;;) {
        const char* const base = buf_.data();
        const char* const last = base + end_;
        const char* const p = skipSpaceIn(base + pos_, last, line_);
        pos_ = static_cast<std::size_t>(p - base);
        if (p < last) return true;
        if (!refill()) {
            reachEnd(kEof | kFail | kNoToken);
            return false;
        }
    }
}

bool GisAscFile::startToken() {
    if (good()) return skipSpace();
    failRead();
    return false;
}

inline GisAscFile::NumberText GisAscFile::loadedNumber(bool real) {
    if (state_ != 0) return {};
    const char* const base = buf_.data();
    const char* const last = base + end_;
    const char* const first = skipSpaceIn(base + pos_, last, line_);
    pos_ = static_cast<std::size_t>(first - base);
    // One object returned on every path after the scan keeps it in registers.
    NumberText number = NumberText::scan(first, last, real, fortran_);
    if (number.end == last)
        number.first = nullptr;  // the number may go on beyond the loaded bytes
    else
        pos_ = static_cast<std::size_t>(number.end - base);
    return number;
}

GisAscFile::NumberText GisAscFile::loadNumber(bool real) {
    if (!startToken()) return {};
    // A number that reaches the last loaded byte is scanned again, from its
    // start, once more input is loaded (or none is left: refill may still have
    // moved the bytes).
    NumberText number;
    for (bool more = true;;) {
        const char* const last = buf_.data() + end_;
        number = NumberText::scan(buf_.data() + pos_, last, real, fortran_);
        if (number.end < last) break;
        if (!more) {
            if (stopped()) return {};  // the number's text may go on: take none
            state_ |= kEof;
            break;
        }
        more = refill();
    }
    pos_ = static_cast<std::size_t>(number.end - buf_.data());
    return number;
}

// Calls that return are kept off the common path (the loading path here, and
// the general double conversion), so that it needs no stack frame: with them
// inline, the two-million-line node table took 0.093 s instead of 0.086 s.
template <class T>
inline void GisAscFile::getNumber(T& value) {
    const NumberText number = loadedNumber(std::is_same<T, double>::value);
    if (number.first)
        number.convert(value, state_);
    else
        getNumberLoading(value);
}

template <class T>
__attribute__((noinline)) void GisAscFile::getNumberLoading(T& value) {
    const NumberText number = loadNumber(std::is_same<T, double>::value);
    if (number.first) number.convert(value, state_);
}

void GisAscFile::getAscInt(int& value) { getNumber(value); }

void GisAscFile::getAscDouble(double& value) { getNumber(value); }

bool GisAscFile::wholeNumber(const std::string& text, double& value) {
    const char* const first = text.data();
    const char* const last = first + text.size();
    const NumberText number = NumberText::scan(first, last, true);
    if (number.end != last) return false;
    unsigned state = 0;
    double v = value;
    number.convert(v, state);
    if (state != 0) return false;
    value = v;
    return true;
}

void GisAscFile::getString(std::string& word) {
    if (!startToken()) return;
    // The token is [pos_, pos_ + n): refill keeps it and the scan goes on.
    std::size_t n = 0;
    for (;;) {
        while (pos_ + n < end_ && !isSpace(buf_[pos_ + n])) ++n;
        if (pos_ + n < end_) break;
        if (!refill()) {
            if (stopped()) return;  // the token may go on: deliver no part of it
            state_ |= kEof;
            break;
        }
    }
    word.assign(buf_.data() + pos_, n);
    pos_ += n;
}

void GisAscFile::emptyLine() {
    if (!good()) return;
    // Most calls stand right before the newline: take it without a search.
    if (pos_ < end_ && buf_[pos_] == '\n') {
        ++pos_;
        ++line_;
        return;
    }
    std::size_t left = 100000;
    for (;;) {
        const std::size_t avail = std::min(end_ - pos_, left);
        const char* from = buf_.data() + pos_;
        const void* nl = avail > 0 ? std::memchr(from, '\n', avail) : nullptr;
        if (nl) {
            pos_ += static_cast<std::size_t>(static_cast<const char*>(nl) - from) + 1;
            ++line_;
            return;
        }
        pos_ += avail;
        left -= avail;
        if (left == 0) return;
        if (!refill()) {
            reachEnd(kEof);
            return;
        }
    }
}

std::string GisAscFile::peek(std::size_t count) {
    if (!good()) return "";
    // refill keeps the unread bytes from pos_ on, so what was skipped stays skipped.
    for (;;) {
        const char* const base = buf_.data();
        pos_ = static_cast<std::size_t>(skipSpaceIn(base + pos_, base + end_, line_) - base);
        if (end_ - pos_ >= count || !refill()) break;
    }
    return std::string(buf_.data() + pos_, std::min(count, end_ - pos_));
}

bool GisAscFile::seekTo(long long offset, long long line) {
    if (stopped() || file_ < 0 || mode_ != "r") return false;
    if (!positional_ && ::lseek(file_, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset)) {
        stop("seek error: ", errno);
        return false;
    }
    pos_ = end_ = 0;
    base_ = offset;
    exhausted_ = false;
    line_ = line;
    state_ = 0;
    return true;
}

std::string GisAscFile::peekFailedToken(std::size_t count) {
    // Only a token that begins a word: the "ZONE" of "4ZONE" is not one. The
    // bytes before the read position stay loaded, unless whitespace took
    // them all (pos_ 0).
    if (state_ != kFail || (pos_ > 0 && !isSpace(buf_[pos_ - 1]))) return "";
    state_ = 0;
    std::string text = peek(count);
    state_ |= kFail;
    return text;
}

void GisAscFile::rewind() {
    if (!good() || mode_ != "r") return;
    if (!positional_ && ::lseek(file_, 0, SEEK_SET) != 0) {
        stop("seek error: ", errno);
        return;
    }
    pos_ = end_ = 0;
    base_ = 0;
    exhausted_ = false;
    line_ = 1;
}

void GisAscFile::getline(char* buf, int count, char delim) {
    if (count > 0) buf[0] = '\0';
    if (!good()) {
        failRead();
        return;
    }
    int stored = 0;
    bool extracted = false;
    for (;;) {
        if (pos_ == end_) {
            if (!refill()) {
                reachEnd(extracted ? kEof : (kEof | kFail));
                break;
            }
        }
        const char c = buf_[pos_];
        if (c == delim) {
            ++pos_;
            if (c == '\n') ++line_;
            break;
        }
        if (stored + 1 >= count) {
            state_ |= kFail;  // the line does not fit in buf
            break;
        }
        buf[stored++] = c;
        extracted = true;
        ++pos_;
        if (c == '\n') ++line_;
    }
    if (count > 0) buf[stored] = '\0';
}

void GisAscFile::getChar(char* c) {
    if (!good()) {
        failRead();
        return;
    }
    if (pos_ == end_) {
        if (!refill()) {
            reachEnd(kEof | kFail);
            return;
        }
    }
    *c = buf_[pos_++];
    if (*c == '\n') ++line_;
}
