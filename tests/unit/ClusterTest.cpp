// The pieces of a run across processes that need no MPI: how the files are
// shared, what process 0 takes back of another's lines, and the text of a
// process's rows, which must be the grid file's own.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "AscGrid.h"
#include "Cluster.h"
#include "Messages.h"
#include "TestSupport.h"

// The files go to the processes largest first, each to the one with the
// fewest bytes so far, so that every process reads about as much.
TEST(Cluster, FilesAreSharedByTheirSizes) {
    struct Row {
        std::vector<unsigned long long> sizes;
        int processes;
        std::vector<std::vector<std::size_t>> files;  // by process
    };
    const Row rows[] = {
        {{10, 10, 10, 10}, 2, {{0, 2}, {1, 3}}},
        {{100, 1, 1, 1, 1}, 2, {{0}, {1, 2, 3, 4}}},
        {{5, 7, 3}, 3, {{1}, {0}, {2}}},
        {{5, 7}, 3, {{1}, {0}, {}}},    // a process may read nothing
        {{0, 0, 0}, 2, {{0, 2}, {1}}},  // names that cannot be found: shared by count
        {{}, 2, {{}, {}}},
    };
    for (const Row& row : rows) {
        std::vector<int> owners(row.sizes.size(), 0);
        for (int p = 0; p < row.processes; ++p) {
            EXPECT_EQ(filesOfProcess(row.sizes, row.processes, p), row.files[static_cast<std::size_t>(p)])
                << "process " << p << " of " << row.processes;
            for (const std::size_t k : filesOfProcess(row.sizes, row.processes, p)) ++owners[k];
        }
        for (const int owned : owners) EXPECT_EQ(owned, 1) << "every file is read by exactly one process";
    }
}

// Process 0 prints another process's lines as that process kept them: both
// streams, in order, any byte; bytes that pack did not write are refused
// rather than read past their end.
TEST(Cluster, FileLinesPackedAreTakenBackWhole) {
    FileMessages sent(false);
    sent.out("Asc File a.dat");
    sent.err(std::string("a.dat:3: a word \0 with a NUL", 27));
    sent.out("");
    std::string packed;
    sent.pack(packed);
    FileMessages(false).pack(packed);  // a second file with no line
    FileMessages taken(false), none(false);
    const char* end = packed.data() + packed.size();
    const char* at = taken.unpack(packed.data(), end);
    ASSERT_NE(at, nullptr);
    EXPECT_EQ(none.unpack(at, end), end);
    std::string again;
    taken.pack(again);
    EXPECT_EQ(again, packed.substr(0, static_cast<std::size_t>(at - packed.data())));
    for (std::size_t cut = 0; cut + 1 < again.size(); ++cut) {
        FileMessages partial(false);
        EXPECT_EQ(partial.unpack(again.data(), again.data() + cut), nullptr) << "cut after " << cut << " bytes";
    }
}

// The rows of a band, as a process formats them, are the bytes the grid file
// holds for them, on one thread or several, and for a grid without columns.
TEST(Cluster, RowsTextIsTheGridFilesOwn) {
    TempDir dir;
    for (const int ncols : {0, 7, 40001}) {
        const int nrows = 9;
        const GxGridParam par(0, ncols, 0, nrows, 1, 1);
        GxGrid grid(nrows, ncols);
        for (int r = 0; r < nrows; ++r)
            for (int c = 0; c < ncols; ++c)
                if ((r * 31 + c) % 3 != 0) grid.RowCol(r, c, std::ldexp(r - c * 0.37, (c % 9) - 4));
        ASSERT_TRUE(writeAscGrid(dir.file("whole.grd"), grid, par));
        const std::string file = readFile(dir.file("whole.grd"));
        std::string text = ascGridHeader(par);
        for (const int jobs : {1, 3}) {
            SCOPED_TRACE(std::to_string(ncols) + " columns, " + std::to_string(jobs) + " jobs");
            std::string rows;
            for (const auto& [first, end] : {std::pair{0, 4}, std::pair{4, 5}, std::pair{5, 9}}) {
                GxGrid band(nrows, ncols, first, end);
                for (int r = first; r < end; ++r)
                    for (int c = 0; c < ncols; ++c) band.RowCol(r, c, grid.RowCol(r, c));
                const GridRowsText part(band, jobs);
                rows.append(part.data(), part.size());
            }
            EXPECT_EQ(text + rows + "END\n", file);
        }
    }
}
