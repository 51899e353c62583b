#include "GisAscFile.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// 256 KiB keeps a node table streaming at from_chars speed; larger buffers
// measured no faster on the two-million-node benchmark table.
constexpr std::size_t kBufferSize = 256 * 1024;

// The whitespace of formatted extraction in the "C" locale: space, \t \n \v \f \r.
inline bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

GisAscFile::GisAscFile(const std::string& name, const char* mode) : mode_(mode ? mode : "") {
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
    if (forReading) buf_.resize(kBufferSize);
}

GisAscFile::~GisAscFile() {
    if (file_ >= 0) ::close(file_);
}

long long GisAscFile::fileSize() const {
    struct stat info;
    if (file_ < 0 || ::fstat(file_, &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    return static_cast<long long>(info.st_size);
}

bool GisAscFile::refill(std::size_t& keepFrom) {
    if (exhausted_ || mode_ != "r") {
        exhausted_ = true;
        return false;
    }
    if (keepFrom > 0) {
        std::memmove(buf_.data(), buf_.data() + keepFrom, end_ - keepFrom);
        pos_ -= keepFrom;
        end_ -= keepFrom;
        keepFrom = 0;
    }
    if (end_ == buf_.size()) buf_.resize(buf_.size() * 2);  // one token fills the buffer
    for (;;) {
        const ssize_t got = ::read(file_, buf_.data() + end_, buf_.size() - end_);
        if (got > 0) {
            end_ += static_cast<std::size_t>(got);
            return true;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) state_ |= kBad;
        exhausted_ = true;
        return false;
    }
}

bool GisAscFile::skipSpace() {
    for (;;) {
        while (pos_ < end_) {
            const char c = buf_[pos_];
            if (c == '\n')
                ++line_;
            else if (!isSpace(c))
                return true;
            ++pos_;
        }
        std::size_t keep = pos_;
        if (!refill(keep)) {
            state_ |= kEof | kFail | kNoToken;
            return false;
        }
    }
}

std::size_t GisAscFile::scanNumber(bool allowFraction) {
    // Offsets from pos_, which refill keeps in the buffer; hitting the end of the
    // input while looking for the next character sets the end-of-file flag.
    std::size_t n = 0;
    auto peek = [&](char& c) {
        while (pos_ + n >= end_) {
            std::size_t keep = pos_;
            if (!refill(keep)) {
                state_ |= kEof;
                return false;
            }
        }
        c = buf_[pos_ + n];
        return true;
    };
    char c = 0;
    bool digits = false;
    if (peek(c) && (c == '+' || c == '-')) ++n;
    while (peek(c) && isDigit(c)) ++n, digits = true;
    if (!allowFraction) return n;
    if (peek(c) && c == '.') {
        ++n;
        while (peek(c) && isDigit(c)) ++n, digits = true;
    }
    // Stream extraction takes an exponent mark only after a digit, and then
    // commits to it: "1e" and "1e+" are consumed and fail.
    if (digits && peek(c) && (c == 'e' || c == 'E')) {
        ++n;
        if (peek(c) && (c == '+' || c == '-')) ++n;
        while (peek(c) && isDigit(c)) ++n;
    }
    return n;
}

void GisAscFile::getAscInt(int& value) {
    if (!good()) {
        failRead();
        return;
    }
    if (!skipSpace()) return;
    // Fast path: the whole number and the character after it lie in the buffer.
    const char* first = buf_.data() + pos_;
    const char* last = buf_.data() + end_;
    const char* digits = first + (*first == '+' || *first == '-');
    if (digits < last && isDigit(*digits)) {
        int v;
        const auto r = std::from_chars(*first == '+' ? digits : first, last, v);
        if (r.ec == std::errc() && r.ptr < last) {
            value = v;
            pos_ = static_cast<std::size_t>(r.ptr - buf_.data());
            return;
        }
    }
    const std::size_t n = scanNumber(false);
    first = buf_.data() + pos_;
    pos_ += n;
    if (n == 0 || !isDigit(first[n - 1])) {
        state_ |= kFail;
        return;
    }
    int v;
    const auto r = std::from_chars(*first == '+' ? first + 1 : first, first + n, v);
    if (r.ec != std::errc()) {
        state_ |= kFail | kRange;  // outside the range of int
        return;
    }
    value = v;
}

void GisAscFile::getAscDouble(double& value) {
    // Plain decimals of at most 15 digits are exact as an integer over a power
    // of ten, and one IEEE division rounds their quotient correctly; 0.174 s
    // went to 0.130 s on the two-million-line benchmark table.
    static const double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    if (state_ == 0) {
        const char* const base = buf_.data();
        const char* p = base + pos_;
        const char* const last = base + end_;
        while (p < last && isSpace(*p)) {
            line_ += *p == '\n';
            ++p;
        }
        pos_ = static_cast<std::size_t>(p - base);
        const char* q = p < last && *p == '-' ? p + 1 : p;
        unsigned long long m = 0;
        int digits = 0, fraction = 0;
        while (q < last && isDigit(*q)) m = m * 10 + static_cast<unsigned>(*q++ - '0'), ++digits;
        if (q < last && *q == '.') {
            ++q;
            while (q < last && isDigit(*q)) m = m * 10 + static_cast<unsigned>(*q++ - '0'), ++digits, ++fraction;
        }
        if (digits > 0 && digits <= 15 && q < last && (*q | 0x20) != 'e') {
            const double v = static_cast<double>(m) / kPow10[fraction];
            value = *p == '-' ? -v : v;
            pos_ = static_cast<std::size_t>(q - base);
            return;
        }
    }
    // Longer numbers, exponents, a '+' and everything unusual.
    getAscDoubleSlow(value);
}

__attribute__((noinline)) void GisAscFile::getAscDoubleSlow(double& value) {
    if (!good()) {
        failRead();
        return;
    }
    if (!skipSpace()) return;
    // Fast path. from_chars would also take "inf", "nan" and a sign after '+',
    // so the first character after the sign must be a digit or a point; and it
    // stops before an incomplete exponent that extraction would consume and
    // reject, which the general path below settles.
    const char* first = buf_.data() + pos_;
    const char* last = buf_.data() + end_;
    const char* mantissa = first + (*first == '+' || *first == '-');
    if (mantissa < last && (isDigit(*mantissa) || *mantissa == '.')) {
        double v;
        const auto r = std::from_chars(*first == '+' ? mantissa : first, last, v);
        if (r.ec == std::errc() && r.ptr < last && *r.ptr != 'e' && *r.ptr != 'E') {
            value = v;
            pos_ = static_cast<std::size_t>(r.ptr - buf_.data());
            return;
        }
    }
    const std::size_t n = scanNumber(true);
    first = buf_.data() + pos_;
    pos_ += n;
    const char* text = first + (n > 0 && (*first == '+' || *first == '-'));
    const char* end = first + n;
    if (text == end || !(isDigit(*text) || *text == '.')) {
        state_ |= kFail;
        return;
    }
    const char* from = *first == '+' ? text : first;
    double v;
    const auto r = std::from_chars(from, end, v);
    if (r.ec == std::errc::result_out_of_range && r.ptr == end) {
        // Out of range either way: strtod tells overflow (a failed read) from
        // underflow (the correctly rounded tiny value, or 0).
        const std::string copy(from, end);
        errno = 0;
        v = std::strtod(copy.c_str(), nullptr);
        if (v == HUGE_VAL || v == -HUGE_VAL) {
            state_ |= kFail | kRange;
            return;
        }
    } else if (r.ec != std::errc() || r.ptr != end) {
        state_ |= kFail;
        return;
    }
    value = v;
}

void GisAscFile::getString(std::string& word) {
    if (!good()) {
        failRead();
        return;
    }
    if (!skipSpace()) return;
    std::size_t start = pos_;
    for (;;) {
        while (pos_ < end_ && !isSpace(buf_[pos_])) ++pos_;
        if (pos_ < end_) break;
        if (!refill(start)) {
            state_ |= kEof;
            break;
        }
    }
    word.assign(buf_.data() + start, pos_ - start);
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
        std::size_t keep = pos_;
        if (!refill(keep)) {
            state_ |= kEof;
            return;
        }
    }
}

void GisAscFile::rewind() {
    if (!good() || mode_ != "r") return;
    if (::lseek(file_, 0, SEEK_SET) != 0) {
        state_ |= kBad;
        return;
    }
    pos_ = end_ = 0;
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
            std::size_t keep = pos_;
            if (!refill(keep)) {
                state_ |= extracted ? kEof : (kEof | kFail);
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
        std::size_t keep = pos_;
        if (!refill(keep)) {
            state_ |= kEof | kFail;
            return;
        }
    }
    *c = buf_[pos_++];
    if (*c == '\n') ++line_;
}
