// Line starts found by counting newlines in blocks on several threads.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "LineStarts.h"
#include "TestSupport.h"

namespace {

// The offset just past the count-th newline at or after start, -1 when the text has fewer.
long long naiveStart(const std::string& text, long long start, long long count) {
    for (auto k = static_cast<std::size_t>(start); k < text.size(); ++k)
        if (text[k] == '\n' && --count == 0) return static_cast<long long>(k) + 1;
    return -1;
}

}  // namespace

// Lines of every length, blocks of a mebibyte: counts that fall in the first
// block, on a block's edge, across several blocks, and at the very end.
TEST(LineStarts, SameAsOneScanForEveryThreadCount) {
    std::string text;
    for (int k = 0; text.size() < (5u << 20); ++k) text += std::string(static_cast<std::size_t>(k % 97), 'x') + '\n';
    text[(1u << 20) - 1] = '\n';  // a newline that ends the first block
    TempDir dir;
    const std::string path = dir.write("lines.txt", text);
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    long long total = 0;
    for (const char c : text) total += c == '\n';
    for (const long long start : {0LL, 13LL, (1LL << 20) - 1}) {
        long long startLines = 0;
        for (long long k = 0; k < start; ++k) startLines += text[static_cast<std::size_t>(k)] == '\n';
        const long long lines = total - startLines;
        const std::vector<long long> counts = {1, 2, 1000, 21000, 21001, lines / 2, lines - 1, lines};
        for (const int threads : {1, 2, 3, 8}) {
            SCOPED_TRACE("from " + std::to_string(start) + " on " + std::to_string(threads) + " threads");
            std::vector<long long> starts;
            ASSERT_TRUE(findLineStarts(fd, start, counts, threads, starts));
            ASSERT_EQ(starts.size(), counts.size());
            for (std::size_t k = 0; k < counts.size(); ++k)
                EXPECT_EQ(starts[k], naiveStart(text, start, counts[k])) << counts[k] << " newlines";
            // One newline more than the file holds is refused, not guessed.
            EXPECT_FALSE(findLineStarts(fd, start, {1, lines + 1}, threads, starts));
        }
    }
    ::close(fd);
}
