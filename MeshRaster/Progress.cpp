#include "Progress.h"

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <thread>

#include "GxGrid.h"

namespace {

// The line is drawn with "\r" and erased with "\r" and ESC [ K (clear to the
// end of the line), which every terminal since the VT100 takes: two escape
// sequences need no terminal library.
const char kErase[] = "\r\033[K";

// The one progress line and what it shows. The counts are atomics, raised by
// the threads that read files and write blocks, once a file or a block, never
// a cell; the mutex guards what is on the terminal.
std::mutex lineMutex;
std::atomic<bool> active{false};
std::atomic<std::size_t> filesRead{0};
std::atomic<int> percentWritten{-1};
std::size_t fileCount = 0;  // set before active, under lineMutex
bool drawn = false;         // under lineMutex
std::string drawnText;      // under lineMutex

void eraseLine() {
    if (!drawn) return;
    std::fputs(kErase, stderr);
    std::fflush(stderr);
    drawn = false;
}

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

}  // namespace

GridSummary summariseGrid(const GxGrid& grid) {
    GridSummary s;
    s.rows = grid.NumRow();
    s.cols = grid.NumCol();
    const double* cell = grid.data();
    bool first = true;
    for (std::size_t k = 0; k < grid.cellCount(); ++k) {
        const double v = cell[k];
        if (v == 0.0) continue;
        ++s.withValue;
        if (std::isnan(v)) continue;
        if (first || v < s.min) s.min = v;
        if (first || v > s.max) s.max = v;
        first = false;
    }
    return s;
}

std::string progressText(std::size_t read, std::size_t files, int percent) {
    std::string text =
        std::to_string(read) + " of " + std::to_string(files) + (files == 1 ? " file" : " files") + " read";
    if (percent >= 0) text += ", grid " + std::to_string(percent) + " % written";
    return text;
}

std::string summaryText(const GridSummary& grid, const std::string& name, const std::string& format, double seconds) {
    std::string text = "wrote " + name + " (" + format + "): " + std::to_string(grid.rows) +
                       (grid.rows == 1 ? " row x " : " rows x ") + std::to_string(grid.cols) +
                       (grid.cols == 1 ? " column, " : " columns, ");
    if (grid.withValue == 0)
        text += "no cell with a value";
    else
        text += std::to_string(grid.withValue) + (grid.withValue == 1 ? " cell" : " cells") + " with a value from " +
                number(grid.min) + " to " + number(grid.max);
    char time[32];
    std::snprintf(time, sizeof time, ", in %.1f s", seconds);
    return text + time;
}

struct TerminalProgress::Ticker {
    std::condition_variable wake;
    bool stop = false;  // under lineMutex
    std::thread thread;
};

TerminalProgress::TerminalProgress(std::chrono::steady_clock::time_point start, std::size_t files)
    : start_(start), ticker_(new Ticker) {
    {
        const std::lock_guard<std::mutex> lock(lineMutex);
        fileCount = files;
        filesRead = 0;
        percentWritten = -1;
        drawn = false;
        drawnText.clear();
        active = true;
    }
    ticker_->thread = std::thread([this] { redraw(); });
}

TerminalProgress::~TerminalProgress() {
    {
        const std::lock_guard<std::mutex> lock(lineMutex);
        ticker_->stop = true;
        active = false;
        eraseLine();
    }
    ticker_->wake.notify_one();
    ticker_->thread.join();
    delete ticker_;
}

void TerminalProgress::finish(const std::string& summary) {
    const std::lock_guard<std::mutex> lock(lineMutex);
    ticker_->stop = true;
    active = false;
    eraseLine();
    std::fprintf(stderr, "MeshRaster: %s\n", summary.c_str());
    std::fflush(stderr);
}

double TerminalProgress::seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void TerminalProgress::redraw() {
    std::unique_lock<std::mutex> lock(lineMutex);
    while (!ticker_->stop) {
        ticker_->wake.wait_for(lock, std::chrono::milliseconds(100));
        if (ticker_->stop || seconds() < 1.0) continue;
        const std::string text = "MeshRaster: " + progressText(filesRead, fileCount, percentWritten);
        if (drawn && text == drawnText) continue;
        std::fputs(("\r" + text + "\033[K").c_str(), stderr);
        std::fflush(stderr);
        drawnText = text;
        drawn = true;
    }
}

void progressFileRead() {
    if (active.load(std::memory_order_relaxed)) filesRead.fetch_add(1, std::memory_order_relaxed);
}

void progressWritten(double fraction) {
    if (!active.load(std::memory_order_relaxed)) return;
    const int percent = fraction >= 1.0 ? 100 : fraction <= 0.0 ? 0 : static_cast<int>(fraction * 100.0);
    percentWritten.store(percent, std::memory_order_relaxed);
}

std::unique_lock<std::mutex> holdProgressLine() {
    std::unique_lock<std::mutex> lock(lineMutex);
    eraseLine();
    return lock;
}
