#include "Bands.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <unistd.h>

#include "GxBox.h"
#include "Rasteriser.h"

namespace {

// A limit every bound of the proof below stays far from.
constexpr double kLarge = 0x1p100;
constexpr double kSmall = 0x1p-100;
constexpr double kSmallDet = 0x1p-300;

// The spill's buffers in the first pass, all bands together: small beside the
// grid, whatever the number of bands.
constexpr std::size_t kMostBandBuffers = std::size_t{16} << 20;
constexpr std::size_t kMostBandBuffer = std::size_t{1} << 20;
constexpr std::size_t kMostReadBatch = std::size_t{8} << 20;
// The text writer's cells a block at most, as for the whole grid, and the
// characters a cell may take (AscGrid.cpp).
constexpr std::size_t kMostBlockCells = 40000;
constexpr std::size_t kCellText = 26;

// Records a buffer of bytes holds, at least one.
std::size_t wholeRecords(unsigned long long bytes) {
    return std::max<std::size_t>(1, static_cast<std::size_t>(bytes / kSpillRecord));
}

bool modest(double v) { return std::fabs(v) <= kLarge; }

// The rows interRowsCols gives the triangle a b c, as fillGridTriangle finds them.
void triangleRows(const GxCoord2D& a, const GxCoord2D& b, const GxCoord2D& c, const GxGridParam& gridPar,
                  long long& first, long long& last) {
    GxBox box = makeBox(a.x(), a.y(), b.x(), b.y(), 0.0);
    updateBox(box, c);
    bool meetsGrid;
    const GxBox cells = interRowsCols(box, gridPar, meetsGrid);
    // A box that misses the grid still gives row 0, which the fill then
    // tests: the band of row 0 must have the element too.
    first = std::min(first, static_cast<long long>(cells.y1_));
    last = std::max(last, static_cast<long long>(cells.y2_));
}

// detz of fillGridTriangle for the triangle a b c, as it computes it.
double triangleDet(const GxCoord2D& a, const GxCoord2D& b, const GxCoord2D& c) {
    const double x1_x0 = b.x() - a.x(), x2_x0 = c.x() - a.x(), y1_y0 = b.y() - a.y(), y2_y0 = c.y() - a.y();
    return x1_x0 * y2_y0 - x2_x0 * y1_y0;
}

bool detSafe(double detz) { return detz == 0 || std::fabs(detz) >= kSmallDet; }

}  // namespace

bool planBands(long long rows, long long cols, unsigned long long limitBytes, int jobs, BandPlan& plan) {
    plan = BandPlan();
    if (rows <= 0 || cols <= 0) return false;
    const unsigned long long rowBytes = static_cast<unsigned long long>(cols) * sizeof(double);
    const unsigned long long bandRows = limitBytes / 2 / rowBytes;
    if (bandRows < 1) return false;
    plan.rowsPerBand = static_cast<int>(std::min<unsigned long long>(bandRows, static_cast<unsigned long long>(rows)));
    plan.bands = static_cast<int>((rows + plan.rowsPerBand - 1) / plan.rowsPerBand);
    const unsigned long long buffers = std::min<unsigned long long>(limitBytes / 8, kMostBandBuffers);
    plan.bandBuffer =
        wholeRecords(std::min<unsigned long long>(buffers / static_cast<unsigned>(plan.bands), kMostBandBuffer)) *
        kSpillRecord;
    plan.readBatch = std::max(
        plan.bandBuffer, wholeRecords(std::min<unsigned long long>(limitBytes / 8, kMostReadBatch)) * kSpillRecord);
    // The writer holds up to two blocks a thread, and at most 16 (AscGrid.cpp).
    const unsigned long long blocks = std::min(2 * static_cast<unsigned long long>(std::max(jobs, 1)), 16ULL);
    plan.textBlockCells = static_cast<std::size_t>(
        std::clamp<unsigned long long>(limitBytes / 4 / (blocks * kCellText), 1, kMostBlockCells));
    return true;
}

bool elementRows(const GxCoord2D* const* node, bool oneTriangle, const GxGridParam& gridPar, int& first, int& last) {
    long long lo = gridPar.NumRow(), hi = -1;
    if (isAxisRectangle(node)) {
        // fillGridRectangle stores nothing for a box that misses the grid.
        const GxBox box = makeBox(node[0]->x(), node[0]->y(), node[2]->x(), node[2]->y(), 0.0);
        bool meetsGrid;
        const GxBox cells = interRowsCols(box, gridPar, meetsGrid);
        if (!meetsGrid) return false;
        lo = static_cast<long long>(cells.y1_);
        hi = static_cast<long long>(cells.y2_);
    } else {
        triangleRows(*node[0], *node[1], *node[2], gridPar, lo, hi);
        if (!oneTriangle) triangleRows(*node[0], *node[2], *node[3], gridPar, lo, hi);
    }
    if (hi < lo) return false;
    first = static_cast<int>(lo);
    last = static_cast<int>(hi);
    return true;
}

bool gridBoundsModest(const GxGridParam& g) {
    return modest(g.xmin_) && modest(g.xmax_) && modest(g.ymin_) && modest(g.ymax_) && modest(g.resx_) &&
           modest(g.resy_);
}

// Why an element that passes cannot give a value that is not finite, the
// grid's bounds and resolutions being within 2^100 (NaN fails every test
// below, and so is never modest). Row and column indices are below 2^31, so
// every cell centre the fill steps to, and the first one it starts from, is
// within 2^31 * 2^100 + 2^101 < 2^133 of 0 (each addition rounds by a relative
// 2^-53 at most, which cannot double it); node coordinates are within 2^100.
// - A rectangle (bilinear): w and h are at least 2^-100, so the weights dx and
//   dy start within 2^134 / 2^-100 = 2^234 and step by at most 2^200, 2^31
//   times: within 2^235. Then 1 - dx is within 2^236, each product with a
//   value within 2^336, the bracket within 2^337 and the result within 2^575:
//   finite. No operand is infinite, no divisor 0, so no NaN.
// - A triangle: detz of 0 stores nothing. Otherwise the differences of
//   coordinates and values are within 2^101, aux1, aux2 and detz within
//   2^203, the numerator of the plane within 2^134 * 2^203 * 2 + 2^303 <
//   2^339, and divided by |detz| >= 2^-300 within 2^639: finite, and again no
//   NaN. Which cells are tested (containsPoint, the bands of rows) changes no
//   value.
bool elementMayGiveNonFinite(const GxCoord2D* const* node, const double* z, bool oneTriangle, bool modestGrid) {
    if (!modestGrid) return true;
    for (int k = 0; k < 4; ++k)
        if (!modest(node[k]->x()) || !modest(node[k]->y()) || !modest(z[k])) return true;
    if (isAxisRectangle(node)) {
        const GxBox box = makeBox(node[0]->x(), node[0]->y(), node[2]->x(), node[2]->y(), 0.0);
        return !(box.x2_ - box.x1_ >= kSmall && box.y2_ - box.y1_ >= kSmall);
    }
    if (!detSafe(triangleDet(*node[0], *node[1], *node[2]))) return true;
    return !oneTriangle && !detSafe(triangleDet(*node[0], *node[2], *node[3]));
}

void fillSpilledRecords(GxGrid& band, GxGridParam& gridPar, const double* records, std::size_t count) {
    ElementRasteriser raster(band, gridPar);
    for (std::size_t r = 0; r < count; ++r) {
        const double* rec = records + r * kSpillDoubles;
        const GxCoord2D nodes[4] = {GxCoord2D(rec[0], rec[1]), GxCoord2D(rec[2], rec[3]), GxCoord2D(rec[4], rec[5]),
                                    GxCoord2D(rec[6], rec[7])};
        const GxCoord2D* node[4] = {&nodes[0], &nodes[1], &nodes[2], &nodes[3]};
        raster.fill(node, rec + 8, rec[12] != 0);
    }
}

ElementSpill::ElementSpill(const GxGridParam& gridPar, const BandPlan& plan, int fd)
    : ElementSink(gridPar, plan.rowsPerBand),
      plan_(plan),
      fd_(fd),
      buffers_(static_cast<std::size_t>(plan.bands)),
      chunks_(static_cast<std::size_t>(plan.bands)) {}

ElementSpill::~ElementSpill() {
    if (fd_ >= 0) ::close(fd_);
}

void ElementSpill::add(const std::vector<double>& entries) {
    // A full buffer gets its place in the file under the lock and is written
    // after it, so that other threads go on adding meanwhile: written under
    // the lock, the spill held the threads of a run in bands to one.
    struct Full {
        long long offset;
        std::vector<double> records;
    };
    std::vector<Full> full;
    {
        const std::lock_guard<std::mutex> hold(lock_);
        const std::size_t most = plan_.bandBuffer / sizeof(double);
        for (std::size_t at = 0; at < entries.size(); at += 1 + kSpillDoubles) {
            const int b = static_cast<int>(entries[at]);
            std::vector<double>& buffer = buffers_[static_cast<std::size_t>(b)];
            if (buffer.capacity() < most) buffer.reserve(most);
            buffer.insert(buffer.end(), entries.begin() + static_cast<std::ptrdiff_t>(at + 1),
                          entries.begin() + static_cast<std::ptrdiff_t>(at + 1 + kSpillDoubles));
            if (buffer.size() < most || error_ != 0) continue;
            const std::size_t bytes = buffer.size() * sizeof(double);
            chunks_[static_cast<std::size_t>(b)].push_back(Chunk{end_, bytes});
            full.push_back(Full{end_, std::move(buffer)});
            end_ += static_cast<long long>(bytes);
            buffer.clear();
            if (!spare_.empty()) {
                buffer = std::move(spare_.back());
                spare_.pop_back();
            }
        }
    }
    for (Full& f : full) {
        const int error = writeAt(f.records.data(), f.records.size() * sizeof(double), f.offset);
        f.records.clear();
        const std::lock_guard<std::mutex> hold(lock_);
        if (error != 0 && error_ == 0) error_ = error;
        spare_.push_back(std::move(f.records));
    }
}

int ElementSpill::writeAt(const double* data, std::size_t bytes, long long offset) const {
    const char* const at = reinterpret_cast<const char*>(data);
    for (std::size_t done = 0; done < bytes;) {
        const ssize_t put = ::pwrite(fd_, at + done, bytes - done, offset + static_cast<long long>(done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return put < 0 ? errno : EIO;
        done += static_cast<std::size_t>(put);
    }
    return 0;
}

bool ElementSpill::writeChunk(int b) {
    std::vector<double>& buffer = buffers_[static_cast<std::size_t>(b)];
    const std::size_t bytes = buffer.size() * sizeof(double);
    if (error_ == 0 && bytes > 0) {
        // The file grows only at its end, so a chunk is where end_ was.
        error_ = writeAt(buffer.data(), bytes, end_);
        if (error_ == 0) {
            chunks_[static_cast<std::size_t>(b)].push_back(Chunk{end_, bytes});
            end_ += static_cast<long long>(bytes);
        }
    }
    buffer.clear();
    return error_ == 0;
}

bool ElementSpill::finish() {
    const std::lock_guard<std::mutex> hold(lock_);
    for (int b = 0; b < plan_.bands; ++b) {
        writeChunk(b);
        std::vector<double>().swap(buffers_[static_cast<std::size_t>(b)]);
    }
    std::vector<std::vector<double>>().swap(spare_);
    return error_ == 0;
}

bool ElementSpill::readChunks(int b, std::size_t from, std::size_t to, std::vector<double>& into) {
    const std::vector<Chunk>& chunks = chunks_[static_cast<std::size_t>(b)];
    std::size_t bytes = 0;
    for (std::size_t k = from; k < to; ++k) bytes += chunks[k].bytes;
    into.resize(bytes / sizeof(double));
    char* at = reinterpret_cast<char*>(into.data());
    for (std::size_t k = from; k < to; ++k) {
        for (std::size_t done = 0; done < chunks[k].bytes;) {
            const ssize_t got =
                ::pread(fd_, at + done, chunks[k].bytes - done, chunks[k].offset + static_cast<long long>(done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                // Threads read at once (readBand): the first error is kept.
                const int error = got < 0 ? errno : EIO;
                const std::lock_guard<std::mutex> hold(lock_);
                if (error_ == 0) error_ = error;
                return false;
            }
            done += static_cast<std::size_t>(got);
        }
        at += chunks[k].bytes;
    }
    return true;
}

bool SpillBuffer::add(const GxCoord2D* const* node, const double* z, bool oneTriangle) {
    const GxGridParam& gridPar = spill_.gridParam();
    int first, last;
    if (elementRows(node, oneTriangle, gridPar, first, last)) {
        const int rowsPerBand = spill_.rowsPerBand();
        for (int b = first / rowsPerBand; b <= last / rowsPerBand; ++b) {
            entries_.push_back(b);
            for (int k = 0; k < 4; ++k) {
                entries_.push_back(node[k]->x());
                entries_.push_back(node[k]->y());
            }
            entries_.insert(entries_.end(), z, z + 4);
            entries_.push_back(oneTriangle ? 1.0 : 0.0);
        }
        // A few dozen records a time: the lock is taken rarely, and a thread's
        // buffer stays a few KiB.
        if (entries_.size() >= 64 * (1 + kSpillDoubles)) flush();
    }
    return elementMayGiveNonFinite(node, z, oneTriangle, spill_.modestGrid());
}

void SpillBuffer::flush() {
    if (entries_.empty()) return;
    spill_.add(entries_);
    entries_.clear();
}
