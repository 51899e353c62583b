// What a run shows on a terminal: a progress line redrawn in place on standard
// error while the files are read and the grid is written, and a summary line
// at the end. Scripts and logs, whose standard error is no terminal, see none of it.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>

class GxGrid;

// What a grid holds, for the summary line.
struct GridSummary {
    long long rows = 0;       // NumRow()
    long long cols = 0;       // NumCol()
    long long withValue = 0;  // cells other than 0 (NaN included)
    double min = 0.0;         // the smallest and the largest of those cells, NaN aside
    double max = 0.0;
};

// One pass over the cells.
GridSummary summariseGrid(const GxGrid& grid);
// "3 of 12 files read", then ", grid 45 % written" once writing has begun
// (percentWritten 0 to 100; below 0 before).
std::string progressText(std::size_t filesRead, std::size_t files, int percentWritten);
// "wrote NAME (FORMAT): 150 rows x 200 columns, 1911 cells with a value from
// 0.01 to 3.2, in 1.4 s"
std::string summaryText(const GridSummary& grid, const std::string& name, const std::string& format, double seconds);

// The progress line of the run, while the object lives: at most one at a time.
// A thread redraws it ten times a second once the run has lasted a second, so
// that a short run shows nothing.
class TerminalProgress {
public:
    // start: when the run began; files: the input files to read.
    TerminalProgress(std::chrono::steady_clock::time_point start, std::size_t files);
    // Stops the redrawing and erases the line.
    ~TerminalProgress();
    TerminalProgress(const TerminalProgress&) = delete;
    TerminalProgress& operator=(const TerminalProgress&) = delete;

    // Erases the line for good and prints the summary line in its place.
    void finish(const std::string& summary);
    // Seconds since the run began.
    double seconds() const;

private:
    void redraw();
    const std::chrono::steady_clock::time_point start_;
    struct Ticker;
    Ticker* ticker_;
};

// One more input file read (whole or not): any thread, per file.
void progressFileRead();
// The share of the grid written, 0 to 1: any thread, per block.
void progressWritten(double fraction);
// Erases the progress line, if one is drawn, and keeps it off while the lock
// is held: taken around every message line printed while a run is under way,
// so that the line never shares a row of the terminal with a message.
std::unique_lock<std::mutex> holdProgressLine();
