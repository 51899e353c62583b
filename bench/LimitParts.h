// The parts of the bare limit, each timed in a fresh process of the benchmark
// itself: measured inside the benchmark's own process, they paid for its
// state (a large heap, the files its children had just written), not for the
// work alone.
#pragma once

#include <string>
#include <vector>

// What a part's process reports on its standard output, one "NAME VALUE" a
// line: the seconds of the timed work, a count (numbers scanned, non-zero
// cells, bytes written), and whether the text it made equals the grid file.
struct PartReport {
    bool ran = false;  // the process exited 0 and reported its seconds
    double seconds = 0.0;
    long long count = 0;
    bool identical = false;
    std::string error;  // why it did not run: its exit status and standard error
};

// The report in a part's standard output; ran is false without "seconds".
PartReport parseReport(const std::string& out);

// The child's side, `meshraster_bench --limit-part PART ARGS...`, args being
// PART ARGS...; prints the report and returns the exit status (0, or 2 for
// wrong arguments, 1 when a file cannot be read or written). The parts:
//   scan FILE...      read the files into memory, then time a bare from_chars
//                     scan of their node tables and element numbers; count:
//                     the numbers read.
//   format GRID XMIN XMAX YMIN YMAX RESX RESY
//                     read the grid file GRID and its cells, then time bare
//                     to_chars of the whole file into memory (pages in place);
//                     count: the non-zero cells; identical: the text is GRID's.
//   write GRID OUT [fsync]
//                     read GRID into memory, then time one write(2) of it into
//                     the new file OUT (removed first), and with "fsync" also
//                     the fsync that makes it durable; count: bytes written.
int runLimitPart(const std::vector<std::string>& args);

// The parent's side: runs self --limit-part with args in cwd and reads its
// report.
PartReport limitPart(const std::string& self, const std::vector<std::string>& args, const std::string& cwd);
