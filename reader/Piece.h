// An archive to be written, laid out as pieces: bytes given in place (the
// header, a scenario, size fields), ranges of an existing archive, and
// whole files. Each surface writes them its own way: PieceWriter with the
// kernel's copies (a buffer on Windows), the web page as a Blob of slices.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Piece {
  enum class Kind {
    bytes,    // `bytes` themselves
    archive,  // `length` bytes of the old archive from `offset` on
    file,     // the whole new file number `file`, of `length` bytes
  };
  Kind kind;
  std::string bytes;
  int64_t offset = 0;
  int64_t length = 0;
  std::size_t file = 0;

  static Piece ofBytes(std::string bytes) {
    const int64_t n = static_cast<int64_t>(bytes.size());
    return {Kind::bytes, std::move(bytes), 0, n, 0};
  }
  static Piece ofArchive(int64_t offset, int64_t length) { return {Kind::archive, {}, offset, length, 0}; }
  static Piece ofFile(std::size_t file, int64_t length) { return {Kind::file, {}, 0, length, file}; }
};

// Appends `piece` to `pieces`, joined with the last one where both are
// bytes or adjoining ranges of the archive, so that a writer copies each
// unchanged stretch in one go.
void appendPiece(std::vector<Piece>& pieces, Piece piece);

// The bytes the pieces make up.
int64_t totalLength(const std::vector<Piece>& pieces);
