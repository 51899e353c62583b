// Where lines start in a file, found by counting its newlines on several
// threads: how one file's node table and elements are cut into parts that
// threads read at once.
#pragma once

#include <vector>

// The offsets of line starts after offset start in the regular file open at
// fd: entry i of starts is the offset just past the counts[i]-th newline at or
// after start (counts ascending, each at least 1). Reads by position, on up to
// threads threads; false when the file ends, or cannot be read, before the
// last of them.
bool findLineStarts(int fd, long long start, const std::vector<long long>& counts, int threads,
                    std::vector<long long>& starts);
