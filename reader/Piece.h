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
    file,     // `length` bytes of file number `file` from `offset` on (a new file: from 0, whole)
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
  static Piece ofFile(std::size_t file, int64_t length, int64_t offset = 0) {
    return {Kind::file, {}, offset, length, file};
  }
};

// Appends `piece` to `pieces`, joined with the last one where both are
// bytes or adjoining ranges of the archive or of one file, so that a
// writer copies each stretch in one go. A piece of no bytes is left out.
void appendPiece(std::vector<Piece>& pieces, Piece piece);

// The bytes the pieces make up.
int64_t totalLength(const std::vector<Piece>& pieces);
