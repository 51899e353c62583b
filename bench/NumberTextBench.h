// The number text of the grid writer: formatGeneral11 against the standard
// library's std::to_chars(general, 11), for time and for equal bytes.
#pragma once

// Section "formatter": ns per non-zero value of both over the writer's grid
// values (a gridSide x gridSide pile grid) and over random doubles, best of
// reps, with their ratio; ok turns false when their bytes differ.
void benchFormatter(int gridSide, int reps, bool& ok);

// Compares both on count random bit patterns, on every thread of the machine
// with a fixed seed each; prints progress and the mismatches. Returns the exit
// status: 0 when every text was equal, else 1.
int verifyFormatter(long long count);
