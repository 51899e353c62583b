// The character classes of the text the program reads, in the "C" locale and
// without a table look-up: the configuration and the Tecplot files alike.
#pragma once

// The whitespace of formatted extraction: space, \t \n \v \f \r.
inline bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
// A decimal digit.
inline bool isDigit(char c) { return c >= '0' && c <= '9'; }
// The sign of a number.
inline bool isSign(char c) { return c == '+' || c == '-'; }
