#include "reader/PieceWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "archive/FileName.h"

namespace {

// Ranges are moved in steps of this many bytes at most; after each, the
// progress is told and the disk starts writing the step, so that the sync
// at the end has little left to wait for.
constexpr int64_t kStep = int64_t{16} << 20;

}  // namespace

bool WriteTarget::at(const std::string& path, bool replace, WriteTarget* target) {
  auto folder = std::make_shared<SystemFolder>();
  if (!folder->open(folderOf(path), false)) return false;
  target->folder = std::move(folder);
  target->name = baseName(path);
  target->shown = path;
  target->replace = replace;
  target->replaces = nullptr;
  return true;
}

void PieceWriter::protect(const FileIdentity& file, const std::string& what) {
  if (file.exists()) protected_.push_back({file, what});
}

bool PieceWriter::fail(const std::string& file, Failure kind, int error, const std::string& reason) {
  kind_ = kind;
  error_ = error;
  failedFile_ = file;
  reason_ = reason.empty() ? std::strerror(error) : reason;
  failure_ = file + ": " + reason_;
  return false;
}

bool PieceWriter::copy(const SystemFile& from, const std::string& name, int64_t offset, int64_t n, NewFile& out,
                       const WriteTarget& target, int64_t& done, const Progress& progress) {
  while (n > 0) {
    const int64_t step = std::min(n, kStep);
    const int64_t got = out.copyFrom(from, offset, step);
    if (out.error() != 0) return fail(target.shown, Failure::system, out.error());
    if (got != step) {
      if (errno != 0) return fail(name, Failure::system, errno);
      return fail(name, Failure::changed, 0, "the file has become shorter");
    }
    out.startWriteBack(done, step);
    offset += step;
    n -= step;
    done += step;
    if (progress) progress(done);
  }
  return true;
}

bool PieceWriter::writeUnnamed(const std::vector<Piece>& pieces, const WriteTarget& target, NewFile& out,
                               const Progress& progress) {
  failure_.clear();
  note_.clear();
  kind_ = Failure::none;
  error_ = 0;
  if (!out.create(*target.folder, target.name)) return fail(target.shown, Failure::system, errno);
  return writePieces(pieces, target, out, progress);
}

bool PieceWriter::writePieces(const std::vector<Piece>& pieces, const WriteTarget& target, NewFile& out,
                              const Progress& progress) {
  int64_t done = 0;
  for (const Piece& piece : pieces) {
    bool ok = true;
    switch (piece.kind) {
      case Piece::Kind::bytes:
        ok = out.append(piece.bytes.data(), static_cast<int64_t>(piece.bytes.size()));
        if (!ok) fail(target.shown, Failure::system, out.error());
        done += piece.length;
        break;
      case Piece::Kind::archive:
        ok = copy(*sources.archive, "the archive", piece.offset, piece.length, out, target, done, progress);
        break;
      case Piece::Kind::file:
        ok = copy(*sources.files[piece.file], "a data file", piece.offset, piece.length, out, target, done, progress);
        break;
    }
    if (!ok) {
      out.discard();
      return false;
    }
  }
  out.startWriteBack(0, done);  // what is left: the bytes written last
  if (out.error() != 0) {
    out.discard();
    return fail(target.shown, Failure::system, out.error());
  }
  return true;
}

bool PieceWriter::checkTarget(const WriteTarget& target) {
  FileIdentity there;
  if (!target.folder->identityOf(target.name, &there)) return fail(target.shown, Failure::system, errno);
  if (target.replaces != nullptr && !there.unchangedFrom(*target.replaces)) {
    return fail(target.shown, Failure::changed, 0,
                "the file has changed since it was read: nothing was written, the other change stays");
  }
  for (const Protected& p : protected_) {
    if (there.sameFile(p.file)) return fail(target.shown, Failure::protected_, 0, "not written over: it is " + p.what);
  }
  return true;
}

bool PieceWriter::write(const std::vector<Piece>& pieces, const WriteTarget& target, const Progress& progress) {
  return writeWith(target, [&](NewFile& out) { return writePieces(pieces, target, out, progress); });
}

bool PieceWriter::writeWith(const WriteTarget& target, const Producer& produce) {
  failure_.clear();
  note_.clear();
  kind_ = Failure::none;
  error_ = 0;
  NewFile out;
  if (!out.create(*target.folder, target.name)) return fail(target.shown, Failure::system, errno);
  if (!produce(out)) {
    out.discard();
    if (failure_.empty()) fail(target.shown, Failure::system, out.error() != 0 ? out.error() : EIO);
    return false;
  }
  if (out.error() != 0) {
    const int e = out.error();
    out.discard();
    return fail(target.shown, Failure::system, e);
  }
  if (target.replaces != nullptr && !out.keepAttributesOf(*target.replaces)) {
    note_ = target.shown + ": its owner and group could not be kept (" + std::strerror(errno) + ")";
  }
  if (!out.sync()) {
    const int e = errno;
    out.discard();
    return fail(target.shown, Failure::system, e);
  }
  if (!checkTarget(target)) {
    out.discard();
    return false;
  }
  if (target.replaces != nullptr && beforeReplacing) beforeReplacing();
  if (!out.link(target.replace, true)) return fail(target.shown, Failure::system, errno);
  target.folder->sync();
  return true;
}

BatchWriter::~BatchWriter() { finish(); }

bool BatchWriter::add(const std::vector<Piece>& pieces, const WriteTarget& target,
                      const PieceWriter::Progress& progress) {
  if (waiting.size() >= depth) linkAll();
  waiting.push_back({std::make_unique<NewFile>(), target});
  if (writer.writeUnnamed(pieces, target, *waiting.back().file, progress)) return true;
  waiting.pop_back();
  return false;
}

void BatchWriter::linkAll() {
  // Every file on stable storage first, then every name: the first sync
  // commits what the others need too, and each folder is synced once.
  std::vector<bool> synced;
  for (Waiting& w : waiting) {
    synced.push_back(w.file->sync());
    if (!synced.back()) {
      const int e = errno;
      w.file->discard();
      failures.push_back({w.target.shown + ": " + std::strerror(e), w.target.shown, PieceWriter::Failure::system, e});
    }
  }
  std::set<const SystemFolder*> folders;
  for (std::size_t i = 0; i < waiting.size(); ++i) {
    Waiting& w = waiting[i];
    if (!synced[i]) continue;
    if (!writer.checkTarget(w.target)) {
      w.file->discard();
      failures.push_back({writer.failure(), w.target.shown, writer.failureKind(), writer.errorNumber()});
    } else if (w.file->link(w.target.replace, true)) {
      folders.insert(w.target.folder.get());
    } else {
      const int e = errno;
      failures.push_back({w.target.shown + ": " + std::strerror(e), w.target.shown, PieceWriter::Failure::system, e});
    }
  }
  for (const SystemFolder* folder : folders) folder->sync();
  waiting.clear();
}

std::vector<BatchWriter::Failure> BatchWriter::finish() {
  linkAll();
  return std::move(failures);
}
