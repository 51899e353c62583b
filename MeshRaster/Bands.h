// The grid in bands of whole rows, for a grid larger than the memory a run may
// use: one pass over the inputs writes each element (its nodes' positions and
// values) to the spill of every band its rows touch; then each band, north to
// south, is filled from its spill alone and written, while the whole grid is
// never held.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "GxCoord2D.h"
#include "GxGrid.h"
#include "Jobs.h"

// How a grid is cut into bands and how much each buffer of the banded run takes.
struct BandPlan {
    int rowsPerBand = 0;
    int bands = 0;
    std::size_t bandBuffer = 0;      // bytes of spill a band gathers before they go to the file
    std::size_t readBatch = 0;       // bytes of a band's spill read back and filled at once
    std::size_t textBlockCells = 0;  // cells the text writer formats in one block
};

// Cuts a grid of rows x cols into bands within limitBytes for a run on jobs
// threads: a band takes at most half the limit, the text writer's blocks a
// quarter, the spill's buffers an eighth each. False when one row does not fit.
bool planBands(long long rows, long long cols, unsigned long long limitBytes, int jobs, BandPlan& plan);

// An element as it is spilled: the x and y of its four nodes, their four
// values, and 1 for the one triangle 0 1 2 (else 0), all as doubles.
constexpr std::size_t kSpillDoubles = 13;
constexpr std::size_t kSpillRecord = kSpillDoubles * sizeof(double);

// The rows [first, last] the fill of an element can store into, by the very
// boxes and the floor mapping (interRowsCols) the fill itself uses; false when
// it stores into none.
bool elementRows(const GxCoord2D* const* node, bool oneTriangle, const GxGridParam& gridPar, int& first, int& last);

// True when every bound and resolution of the grid is within 2^100, so that
// elementMayGiveNonFinite can decide from the element alone.
bool gridBoundsModest(const GxGridParam& gridPar);

// False only when the fill of the element on a grid whose bounds are modest
// (gridBoundsModest) cannot offer a value that is not finite; see its proof
// in Bands.cpp. True for every element on a grid that is not.
bool elementMayGiveNonFinite(const GxCoord2D* const* node, const double* z, bool oneTriangle, bool modestGrid);

// Where the elements of a grid made in bands go in the first pass: the spill
// file of a run on one machine (ElementSpill), or the processes that hold the
// bands of a run across several (Cluster.h).
class ElementSink {
public:
    ElementSink(const GxGridParam& gridPar, int rowsPerBand)
        : gridPar_(gridPar), rowsPerBand_(rowsPerBand), modestGrid_(gridBoundsModest(gridPar)) {}
    virtual ~ElementSink() = default;
    ElementSink(const ElementSink&) = delete;
    ElementSink& operator=(const ElementSink&) = delete;

    const GxGridParam& gridParam() const { return gridPar_; }
    int rowsPerBand() const { return rowsPerBand_; }
    bool modestGrid() const { return modestGrid_; }
    // Takes records (each band number followed by its record of
    // kSpillDoubles); threads may add at once.
    virtual void add(const std::vector<double>& entries) = 0;

private:
    const GxGridParam gridPar_;
    const int rowsPerBand_;
    const bool modestGrid_;
};

// Fills count spilled records into band; threads may fill at once into a
// shared band (GxGrid::setShared), each with a rasteriser of its own.
void fillSpilledRecords(GxGrid& band, GxGridParam& gridPar, const double* records, std::size_t count);

// The spill of every band, in one unnamed file: it has no name from the
// moment it is made, so that neither the end of the run nor a signal (even
// SIGKILL) can leave it behind. Each band gathers its elements in a buffer of
// plan.bandBuffer bytes, and a full buffer is appended to the file as one
// chunk whose place the band remembers. Threads may add at once.
class ElementSpill : public ElementSink {
public:
    ElementSpill(const GxGridParam& gridPar, const BandPlan& plan, int fd);
    ~ElementSpill() override;

    const BandPlan& plan() const { return plan_; }

    // Adds records under the lock.
    void add(const std::vector<double>& entries) override;
    // Writes every buffer out and frees them; false when anything failed.
    bool finish();
    // The system's error number of the first failure, 0 while there was none.
    int error() const { return error_; }
    // The records of band b, read and used on up to jobs threads at once:
    // each thread reads its share of the band's chunks by position, in
    // batches of at most plan().readBatch / jobs bytes (or one chunk), and
    // hands each batch to use(records, count); false when the file cannot be
    // read. Read by one thread, the spill took as long as its filling.
    template <class Use>
    bool readBand(int b, int jobs, Use use);

private:
    bool writeChunk(int b);
    // Writes bytes at offset; the system's error number, or 0.
    int writeAt(const double* data, std::size_t bytes, long long offset) const;
    bool readChunks(int b, std::size_t from, std::size_t to, std::vector<double>& into);

    const BandPlan plan_;
    const int fd_;
    std::mutex lock_;
    std::vector<std::vector<double>> buffers_;  // a band's records not yet in the file
    std::vector<std::vector<double>> spare_;    // buffers written out, kept for their room
    struct Chunk {
        long long offset;
        std::size_t bytes;
    };
    std::vector<std::vector<Chunk>> chunks_;  // where each band's records are in the file
    long long end_ = 0;                       // the file's size
    int error_ = 0;
};

// The records one ElementRasteriser spills, gathered apart from the other
// threads' and handed to the sink a few dozen at a time, and when it ends.
class SpillBuffer {
public:
    explicit SpillBuffer(ElementSink& spill) : spill_(spill) {}
    ~SpillBuffer() { flush(); }
    SpillBuffer(const SpillBuffer&) = delete;
    SpillBuffer& operator=(const SpillBuffer&) = delete;

    // Adds the element to every band its rows touch; returns whether its fill
    // may offer a value that is not finite.
    bool add(const GxCoord2D* const* node, const double* z, bool oneTriangle);

private:
    void flush();

    ElementSink& spill_;
    std::vector<double> entries_;
};

template <class Use>
bool ElementSpill::readBand(int b, int jobs, Use use) {
    const std::vector<Chunk>& chunks = chunks_[static_cast<std::size_t>(b)];
    const std::size_t pieces =
        std::max<std::size_t>(1, std::min(static_cast<std::size_t>(std::max(jobs, 1)), chunks.size()));
    const std::size_t batch = std::max<std::size_t>(plan_.readBatch / pieces, 1);
    std::atomic<bool> failed{false};
    runInOrder(
        pieces, jobs, pieces,
        [&](std::size_t k) {
            std::vector<double> records;
            const std::size_t end = (k + 1) * chunks.size() / pieces;
            for (std::size_t from = k * chunks.size() / pieces; from < end && !failed;) {
                std::size_t to = from + 1, bytes = chunks[from].bytes;
                while (to < end && bytes + chunks[to].bytes <= batch) bytes += chunks[to++].bytes;
                if (!readChunks(b, from, to, records)) {
                    failed = true;
                    return;
                }
                use(records.data(), records.size() / kSpillDoubles);
                from = to;
            }
        },
        [](std::size_t) { return true; });
    return !failed;
}
