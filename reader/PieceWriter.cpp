#include "reader/PieceWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Progress is told after each step of this many bytes at most.
constexpr int64_t kProgressStep = int64_t{64} << 20;

}  // namespace

PieceWriter::PieceWriter(const char* archive, int64_t archiveSize)
    : archiveName(archive != nullptr ? archive : ""), archiveSize(archiveSize) {}

bool PieceWriter::fail(const std::string& file, int error, const std::string& reason) {
  error_ = error;
  failure_ = file + ": " + (reason.empty() ? std::strerror(error) : reason);
  return false;
}

bool PieceWriter::transfer(FileBuffer& from, const std::string& name, FileBuffer& to, int64_t n, int64_t& done,
                           const Progress& progress) {
  while (n > 0) {
    const int64_t step = std::min(n, kProgressStep);
    errno = 0;
    if (from.transferTo(&to, step) != step) {
      if (errno != 0 && !to.writeFailed()) return fail(name, errno);
      if (!to.writeFailed()) return fail(name, 0, "the file has become shorter");
    }
    if (to.writeFailed()) return false;  // the caller names the target
    n -= step;
    done += step;
    if (progress) progress(done);
  }
  return true;
}

bool PieceWriter::write(const std::vector<Piece>& pieces, const std::vector<std::string>& files, const char* target,
                        bool replace, const Progress& progress) {
  failure_.clear();
  error_ = 0;
  FileBuffer out;
  if (!out.createUnnamed(target)) return fail(target, errno);
  int64_t done = 0;
  for (const Piece& piece : pieces) {
    bool ok = true;
    switch (piece.kind) {
      case Piece::Kind::bytes:
        ok = out.sputn(piece.bytes.data(), static_cast<std::streamsize>(piece.bytes.size())) ==
             static_cast<std::streamsize>(piece.bytes.size());
        done += piece.length;
        break;
      case Piece::Kind::archive: {
        if (!archiveOpened) {
          int64_t size = 0;
          if (!archive.openForReading(archiveName.c_str(), &size)) return fail(archiveName, errno);
          if (size != archiveSize) return fail(archiveName, 0, "the archive has changed since it was read");
          archiveOpened = true;
        }
        if (!archive.seekTo(piece.offset)) return fail(archiveName, errno);
        ok = transfer(archive, archiveName, out, piece.length, done, progress);
        break;
      }
      case Piece::Kind::file: {
        const std::string& name = files[piece.file];
        FileBuffer in;
        int64_t size = 0;
        if (!in.openForReading(name.c_str(), &size)) return fail(name, errno);
        if (size != piece.length) return fail(name, 0, "the file has changed since it was measured");
        ok = transfer(in, name, out, piece.length, done, progress);
        break;
      }
    }
    if (!ok && !failure_.empty()) return false;
    if (!ok || out.writeFailed()) return fail(target, out.lastWriteError());
  }
  // Windows replaces no file that is open: the archive may be the target.
  archive.close();
  archiveOpened = false;
  if (!out.linkInPlace(replace)) return fail(target, errno);
  return true;
}
