#include "LimitParts.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "BareText.h"
#include "Files.h"
#include "Measure.h"
#include "TestSupport.h"

namespace {

// The whole file, or false with a message on standard error.
bool load(const std::string& path, std::string& text) {
    if (!readWhole(path, text)) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    return true;
}

int scanPart(const std::vector<std::string>& files) {
    std::vector<std::string> texts(files.size());
    for (std::size_t k = 0; k < files.size(); ++k)
        if (!load(files[k], texts[k])) return 1;
    double sum = 0.0;
    long long count = 0;
    const double seconds = timed([&] {
        for (const std::string& text : texts) count += scanTecplot(text, sum);
    });
    std::printf("seconds %.9f\ncount %lld\n", seconds, count);
    return 0;
}

int formatPart(const std::string& path, const GxGridParam& par) {
    std::string text;
    if (!load(path, text)) return 1;
    GxGrid grid(par.NumRow(), par.NumCol());
    // The cells read back from the grid file: formatted bare, they must give
    // its bytes again.
    const std::size_t cellsStart = text.find("INFO_END\n");
    const char* p = text.data() + (cellsStart == std::string::npos ? text.size() : cellsStart + 9);
    long long nonZero = 0;
    for (int row = 0; row < grid.NumRow(); ++row)
        for (int col = 0; col < grid.NumCol(); ++col) {
            double v = 0.0;
            scan<double>(p, text.data() + text.size(), 1, v);  // the sum of one number is the number
            grid.RowCol(row, col, v);
            nonZero += v != 0.0;
        }
    // Zeroed, so that its pages are in place before the timing.
    std::vector<char> buf(text.size() + static_cast<std::size_t>(grid.NumCol()) * 25 + 512);
    std::size_t length = 0;
    const double seconds = timed([&] { length = formatGrid(buf.data(), buf.size(), grid, par); });
    const bool identical = length == text.size() && std::memcmp(buf.data(), text.data(), length) == 0;
    std::printf("seconds %.9f\ncount %lld\nidentical %d\n", seconds, nonZero, identical ? 1 : 0);
    return 0;
}

int writePart(const std::string& path, const std::string& out, bool durable) {
    std::string text;
    if (!load(path, text)) return 1;
    std::remove(out.c_str());
    bool written = true;
    const double seconds = timed([&] {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        written = fd >= 0;
        // One write(2) of the whole text; the loop only for a short write.
        for (std::size_t at = 0; written && at < text.size();) {
            const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
            written = n > 0 || (n < 0 && errno == EINTR);
            if (n > 0) at += static_cast<std::size_t>(n);
        }
        if (durable && written) written = ::fsync(fd) == 0;
        written = fd >= 0 && ::close(fd) == 0 && written;
    });
    if (!written) {
        std::fprintf(stderr, "cannot write %s: %s\n", out.c_str(), std::strerror(errno));
        return 1;
    }
    std::printf("seconds %.9f\ncount %zu\n", seconds, text.size());
    return 0;
}

}  // namespace

PartReport parseReport(const std::string& out) {
    PartReport r;
    std::istringstream lines(out);
    for (std::string name; lines >> name;) {
        if (name == "seconds") r.ran = static_cast<bool>(lines >> r.seconds);
        if (name == "count") lines >> r.count;
        if (name == "identical") {
            int flag = 0;
            lines >> flag;
            r.identical = flag == 1;
        }
    }
    if (!r.ran) r.error = "no time reported";
    return r;
}

int runLimitPart(const std::vector<std::string>& args) {
    const std::string part = args.empty() ? std::string() : args[0];
    if (part == "scan" && args.size() >= 2) return scanPart({args.begin() + 1, args.end()});
    if (part == "write" && args.size() == 3) return writePart(args[1], args[2], false);
    if (part == "write" && args.size() == 4 && args[3] == "fsync") return writePart(args[1], args[2], true);
    if (part == "format" && args.size() == 8) {
        double v[6];
        for (int k = 0; k < 6; ++k) {
            char* end = nullptr;
            v[k] = std::strtod(args[static_cast<std::size_t>(k) + 2].c_str(), &end);
            if (end == args[static_cast<std::size_t>(k) + 2].c_str() || *end != '\0') return 2;
        }
        return formatPart(args[1], GxGridParam(v[0], v[1], v[2], v[3], v[4], v[5]));
    }
    std::fputs(
        "usage: meshraster_bench --limit-part scan FILE... | format GRID XMIN XMAX YMIN YMAX RESX RESY | "
        "write GRID OUT [fsync]\n",
        stderr);
    return 2;
}

PartReport limitPart(const std::string& self, const std::vector<std::string>& args, const std::string& cwd) {
    std::vector<std::string> all{"--limit-part"};
    all.insert(all.end(), args.begin(), args.end());
    const RunResult run = runProgram(self, all, cwd);
    PartReport r = parseReport(run.out);
    if (run.status != 0) {
        r.ran = false;
        r.error = "exit status " + std::to_string(run.status) + (run.err.empty() ? "" : ": " + run.err);
    }
    return r;
}
