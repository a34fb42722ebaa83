// The layout of an archive: an 8-byte header (three magic letters and five
// zero bytes), the scenario text as one block behind a 16-bit length, then
// one block behind a 32-bit size for each entry of the scenario's file
// list, in list order. Integers are little-endian; no names are stored.
#pragma once

namespace container {

constexpr int kMagicLength = 3;
constexpr int kHeaderSize = 8;

// The writer stores a scenario length of at most this; put16 takes no more.
constexpr int kMaxScenarioSize = 32767;

}  // namespace container
