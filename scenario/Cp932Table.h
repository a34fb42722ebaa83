// Code page 932's decoding table, generated from Python's cp932 codec by
// scenario/cp932_table.py. Only Cp932.cpp reads it.
#pragma once

#include <cstdint>

namespace cp932 {

// kNone marks a byte, or a pair, that is no character's code.
constexpr uint16_t kNone = 0xFFFF;

// The character of each byte alone; kNone for the bytes that lead a
// two-byte code (0x81 to 0x9F and 0xE0 to 0xFC).
extern const uint16_t kSingleByte[256];

// The character of each two-byte code: lead bytes 0x81 to 0x9F, then 0xE0
// to 0xFC, each with the second bytes 0x40 to 0xFC.
constexpr int kTrailCount = 0xFD - 0x40;
extern const uint16_t kDoubleByte[60 * kTrailCount];

}  // namespace cp932
