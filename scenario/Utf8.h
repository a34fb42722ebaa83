// UTF-8, strictly: the text form of every name and scenario that the
// programs show or take as Unicode.
#pragma once

#include <string>

namespace utf8 {

// The character that [p..limit) starts with: sets *c and advances p past
// it. False, leaving p, when the bytes there are no UTF-8 (a stray or
// missing continuation byte, an overlong form, a surrogate, or beyond
// U+10FFFF). REQUIRES: p < limit.
bool next(const char*& p, const char* limit, char32_t* c);

// Appends c in UTF-8. REQUIRES: c <= 0x10FFFF.
void append(std::string& out, char32_t c);

}  // namespace utf8
