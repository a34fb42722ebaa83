// Code page 932, the Shift_JIS of Windows, in both directions: the one
// codec through which every program, the Python module and the web page
// turn a scenario's names and text into Unicode and back.
//
// Decoding is Windows' own table: ASCII as it stands (0x5C is '\', 0x7E
// '~'), half-width katakana at 0xA1 to 0xDF, the two-byte codes of JIS X
// 0208 with the NEC and IBM extensions, the user-defined area 0xF040 to
// 0xF9FC as U+E000 to U+E757, and 0x80, 0xA0 and 0xFD to 0xFF as U+0080,
// U+F8F0 and U+F8F1 to U+F8F3. Encoding gives, for a character with several
// codes, the first in code order, and also takes U+00A2, U+00A3, U+00AC,
// U+2014, U+2016, U+2212 and U+301C, which have no code of their own, as
// their customary neighbours (U+301C, the wave dash, as U+FF5E's 0x8160;
// U+2014, the em dash English text types, as JIS X 0208's dash 0x815C,
// which decodes as U+2015).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace cp932 {

// The character that [p..limit) starts with: sets *c and returns the bytes
// its code takes (1 or 2). Returns 0 when the byte at p starts no character:
// a lead byte at the end, or before a byte that makes no code with it.
// REQUIRES: p < limit.
int decode(const unsigned char* p, const unsigned char* limit, char32_t* c);

// Appends the code of c to `out`; false, appending nothing, when c has none.
bool encode(char32_t c, std::string& out);

// U+0000 to U+001F and U+007F to U+009F.
inline bool isControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// Whether the single byte b, which decodes to a private-use character
// that shows as nothing (0xA0, 0xFD to 0xFF), is taken in a name as a byte
// with no character: a name holding one is told by its bytes.
inline bool isInvisibleInName(unsigned char b) { return b == 0xA0 || b >= 0xFD; }

enum class Undecodable {
  // For names shown to people: a byte that starts no character (in a name:
  // also isInvisibleInName), and a control character, shows as the text
  // \xNN of its byte.
  escape,
  // For text: a byte that starts no character becomes U+FFFD; control
  // characters (CR, LF, TAB) stay.
  replace,
};

// The Shift_JIS bytes `sjis` as UTF-8. After a byte that starts no
// character, decoding goes on with the next byte. The offset of each such
// byte is appended to *bad when it is given.
std::string toUtf8(std::string_view sjis, Undecodable how, std::vector<std::size_t>* bad = nullptr);

// The UTF-8 of `sjis` when every byte decodes; false otherwise.
bool toUtf8Strictly(std::string_view sjis, std::string& out);

// A name (a file-list entry) as UTF-8: as toUtf8 with Undecodable::replace,
// but a byte that isInvisibleInName has no character either.
std::string nameToUtf8(std::string_view sjis, std::vector<std::size_t>* bad = nullptr);
// The UTF-8 of the name `sjis` when every byte has a character (see
// nameToUtf8); false otherwise.
bool nameToUtf8Strictly(std::string_view sjis, std::string& out);

// Where fromUtf8 stopped.
struct EncodeError {
  std::size_t offset;  // of the character's first byte in the UTF-8 text
  std::size_t index;   // characters before it
  char32_t c;          // the character, or kNotUtf8
};
constexpr char32_t kNotUtf8 = 0xFFFFFFFF;

// Encodes the UTF-8 text `text` and appends it to `sjis`. False at the
// first character that has no code, or bytes that are no UTF-8; then
// *error (when given) says where, and `sjis` holds the code of what came
// before it.
bool fromUtf8(std::string_view text, std::string& sjis, EncodeError* error = nullptr);

}  // namespace cp932
