// Scenario text for a console whose character set is EUC-JP.
#pragma once

#include <ostream>

// Writes `length` bytes of `text` to `out`: unchanged when raw is non-zero,
// otherwise converted from Shift_JIS to EUC-JP. Writes no newline; NUL bytes
// are written like any other. Returns out.
std::ostream& writeText(std::ostream& out, const char* text, int length, int raw);

// Converts `length` bytes of Shift_JIS at `source` to EUC-JP at
// `destination` and returns the number of bytes written. Half-width katakana
// become single-shift-2 pairs; a lead byte takes the next byte as its trail
// byte, whatever it is, except in the last position, where it is copied as
// it stands. Nothing is validated and no byte past `length` is read.
// REQUIRES: destination has room for 2 * length bytes.
int sjisToEuc(const char* source, int length, char* destination);
