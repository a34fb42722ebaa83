#include "reader/PieceWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>

#include "archive/FileName.h"

namespace {

// Blocks are moved in steps of this many bytes at most; after each, the
// progress is told and the disk starts writing the step, so that the sync
// at the end has little left to wait for.
constexpr int64_t kStep = int64_t{16} << 20;

}  // namespace

PieceWriter::PieceWriter(const char* archive, int64_t archiveSize)
    : archiveName(archive != nullptr ? archive : ""), archiveSize(archiveSize) {}

bool PieceWriter::fail(const std::string& file, int error, const std::string& reason) {
  error_ = error;
  failedFile_ = file;
  reason_ = reason.empty() ? std::strerror(error) : reason;
  failure_ = file + ": " + reason_;
  return false;
}

bool PieceWriter::transfer(FileBuffer& from, const std::string& name, FileBuffer& to, int64_t n, int64_t& done,
                           const Progress& progress) {
  while (n > 0) {
    const int64_t step = std::min(n, kStep);
    errno = 0;
    if (from.transferTo(&to, step) != step) {
      if (errno != 0 && !to.writeFailed()) return fail(name, errno);
      if (!to.writeFailed()) return fail(name, 0, "the file has become shorter");
    }
    if (to.writeFailed()) return false;  // the caller names the target
    to.startWriteBack(done, step);
    n -= step;
    done += step;
    if (progress) progress(done);
  }
  return true;
}

bool PieceWriter::write(const std::vector<Piece>& pieces, const std::vector<std::string>& files, const char* target,
                        bool replace, const Progress& progress) {
  FileBuffer out;
  if (!writeUnnamed(pieces, files, target, out, progress)) return false;
  // Windows replaces no file that is open: the archive may be the target.
  archive.close();
  archiveOpened = false;
  if (!out.linkInPlace(replace)) return fail(target, errno);
  return true;
}

bool PieceWriter::writeUnnamed(const std::vector<Piece>& pieces, const std::vector<std::string>& files,
                               const char* target, FileBuffer& out, const Progress& progress) {
  failure_.clear();
  error_ = 0;
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
  if (!out.finishWriting()) return fail(target, out.lastWriteError());
  out.startWriteBack(0, done);  // what is left: the bytes written last
  return true;
}

BatchWriter::~BatchWriter() { finish(); }

bool BatchWriter::add(const std::vector<Piece>& pieces, const std::vector<std::string>& files, const char* target,
                      bool replace, const PieceWriter::Progress& progress) {
  if (waiting.size() >= depth) linkAll();
  waiting.push_back({std::make_unique<FileBuffer>(), target, replace});
  if (writer.writeUnnamed(pieces, files, target, *waiting.back().file, progress)) return true;
  waiting.pop_back();
  return false;
}

void BatchWriter::linkAll() {
  // Every file on stable storage first, then every name: the first sync
  // commits what the others need too, and each folder is synced once.
  std::set<std::string> folders;
  for (Waiting& w : waiting) {
    if (w.file->syncFile() && w.file->linkInPlace(w.replace, true)) {
      folders.insert(folderOf(w.target));
    } else {
      const int e = errno;
      w.file->close();
      failures.push_back({w.target + ": " + std::strerror(e), w.target, e});
    }
  }
  for (const std::string& folder : folders) SystemFile::syncFolder(folder.c_str());
  waiting.clear();
}

std::vector<BatchWriter::Failure> BatchWriter::finish() {
  linkAll();
  return std::move(failures);
}
