#include "LineStarts.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <unistd.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "Jobs.h"

namespace {

// Blocks large enough that a thread spends its time counting, not locking,
// and small enough that a count needed near the start is not read far past.
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

// Reads up to size bytes at offset into buf: the count read (short only at
// the end of the file), or -1 on an error.
long long readAt(int fd, char* buf, std::size_t size, long long offset) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, buf + got, size - got, static_cast<off_t>(offset) + static_cast<off_t>(got));
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long long>(got);
}

// The newlines of size bytes at p. The compiler does not vectorise the plain
// count (3.7 instructions a byte, as much as a tenth of a one-file run, by
// callgrind). Sixteen bytes a step: each comparison adds 1 to a byte counter
// per newline, and every 255 steps the counters are summed (psadbw), as the
// processor of the baseline has no population count.
long long newlinesIn(const char* p, std::size_t size) {
    long long count = 0;
    std::size_t k = 0;
#ifdef __SSE2__
    const __m128i newline = _mm_set1_epi8('\n');
    while (k + 16 <= size) {
        __m128i counters = _mm_setzero_si128();
        for (int step = 0; step < 255 && k + 16 <= size; ++step, k += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
            counters = _mm_sub_epi8(counters, _mm_cmpeq_epi8(bytes, newline));
        }
        const __m128i sums = _mm_sad_epu8(counters, _mm_setzero_si128());
        count += _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
    }
#endif
    for (; k < size; ++k) count += p[k] == '\n';
    return count;
}

// The newline counts of consecutive blocks, filled by threads in any order,
// and how many of the first blocks are counted and what they hold.
class BlockCounts {
public:
    explicit BlockCounts(long long wanted) : wanted_(wanted) {}

    // The next block to count; false when no more are needed.
    bool next(long long& block) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (done()) return false;
        block = next_++;
        return true;
    }
    // Records block's count; short is true when the file ends in it.
    void counted(long long block, long long newlines, bool isShort) {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto b = static_cast<std::size_t>(block);
        if (counts_.size() <= b) counts_.resize(b + 1, -1);
        counts_[b] = newlines;
        if (isShort && (lastBlock_ < 0 || block < lastBlock_)) lastBlock_ = block;
        while (prefixBlocks_ < counts_.size() && counts_[prefixBlocks_] >= 0) prefixLines_ += counts_[prefixBlocks_++];
    }
    void failed() {
        const std::lock_guard<std::mutex> lock(mutex_);
        failed_ = true;
    }

    // After the threads: false when the blocks counted from the first do not
    // hold the newlines wanted.
    bool enough() const { return !failed_ && prefixLines_ >= wanted_; }
    // The newline counts of the first blocks, in order.
    std::vector<long long> prefix() const {
        return std::vector<long long>(counts_.begin(), counts_.begin() + static_cast<std::ptrdiff_t>(prefixBlocks_));
    }

private:
    bool done() const { return failed_ || prefixLines_ >= wanted_ || (lastBlock_ >= 0 && next_ > lastBlock_); }

    std::mutex mutex_;
    const long long wanted_;
    std::vector<long long> counts_;  // -1: not counted yet
    std::size_t prefixBlocks_ = 0;
    long long prefixLines_ = 0;
    long long next_ = 0;
    long long lastBlock_ = -1;  // the block the file ends in, once met
    bool failed_ = false;
};

}  // namespace

bool findLineStarts(int fd, long long start, const std::vector<long long>& counts, int threads,
                    std::vector<long long>& starts) {
    starts.clear();
    if (counts.empty()) return true;
    if (fd < 0 || start < 0 || counts.front() < 1) return false;
    BlockCounts blocks(counts.back());
    const auto count = [&](std::size_t) {
        std::vector<char> buf(kBlockBytes);
        long long block;
        while (blocks.next(block)) {
            const long long got =
                readAt(fd, buf.data(), kBlockBytes, start + block * static_cast<long long>(kBlockBytes));
            if (got < 0) {
                blocks.failed();
                return;
            }
            const long long newlines = newlinesIn(buf.data(), static_cast<std::size_t>(got));
            blocks.counted(block, newlines, got < static_cast<long long>(kBlockBytes));
        }
    };
    const auto workers = static_cast<std::size_t>(std::max(threads, 1));
    runInOrder(workers, threads, workers, count, [](std::size_t) { return true; });
    if (!blocks.enough()) return false;

    // Each line start in its block, read again; the counts ascend, so the
    // blocks are met in order and each is read once.
    const std::vector<long long> perBlock = blocks.prefix();
    std::vector<char> buf(kBlockBytes);
    long long loaded = -1, got = 0, before = 0;
    std::size_t block = 0;
    for (const long long wanted : counts) {
        while (before + perBlock[block] < wanted) before += perBlock[block++];
        const long long blockStart = start + static_cast<long long>(block) * static_cast<long long>(kBlockBytes);
        if (loaded != static_cast<long long>(block)) {
            got = readAt(fd, buf.data(), kBlockBytes, blockStart);
            if (got < 0) return false;
            loaded = static_cast<long long>(block);
        }
        const char* p = buf.data();
        const char* const end = buf.data() + got;
        for (long long k = before; k < wanted; ++k) {
            p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
            if (p == nullptr) return false;  // the file changed since it was counted
            ++p;
        }
        starts.push_back(blockStart + (p - buf.data()));
    }
    return true;
}
