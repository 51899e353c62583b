// Number text of the grid file: general notation with 11 significant digits.
#pragma once

// Writes v at out exactly as std::to_chars(out, out + 24, v, std::chars_format::general, 11)
// does, for every double (zeros, subnormals, infinities and NaN included): at most
// 24 characters, nothing past them; returns the end.
char* formatGeneral11(char* out, double v);

// The integer path of formatGeneral11 alone: the same text, or nullptr where its
// error bound cannot decide the rounding of the 11th digit (out is then
// scratch). Lets tests and the benchmark see how often the exact fallback runs.
char* formatGeneral11Fast(char* out, double v);
