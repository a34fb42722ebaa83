#include "reader/PieceWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
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

bool sameAsArchive(const std::vector<Piece>& pieces, const PieceSources& sources, int64_t archiveSize) {
  if (totalLength(pieces) != archiveSize) return false;
  constexpr int64_t kCompareStep = int64_t{1} << 16;
  std::unique_ptr<char[]> a(new char[kCompareStep]), b(new char[kCompareStep]);
  const auto readAll = [](const SystemFile& f, int64_t offset, char* p, int64_t n) {
    for (int64_t got; n > 0; offset += got, p += got, n -= got) {
      if ((got = f.readAt(offset, p, n)) <= 0) return false;
    }
    return true;
  };
  int64_t at = 0;  // where the piece goes in the output
  for (const Piece& piece : pieces) {
    if (piece.kind == Piece::Kind::archive && piece.offset == at) {
      at += piece.length;
      continue;
    }
    for (int64_t done = 0; done < piece.length;) {
      const int64_t n = std::min(kCompareStep, piece.length - done);
      if (!readAll(*sources.archive, at + done, a.get(), n)) return false;
      const char* other = b.get();
      if (piece.kind == Piece::Kind::bytes) {
        other = piece.bytes.data() + done;
      } else if (!readAll(piece.kind == Piece::Kind::archive ? *sources.archive : *sources.files[piece.file],
                          piece.offset + done, b.get(), n)) {
        return false;
      }
      if (std::memcmp(a.get(), other, static_cast<std::size_t>(n)) != 0) return false;
      done += n;
    }
    at += piece.length;
  }
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
    if (cancelled && cancelled()) return fail(target.shown, Failure::cancelled, 0, "stopped");
  }
  return true;
}

bool PieceWriter::mayWrite(const WriteTarget& target) {
  NewFile none;
  Existing existing;
  return begin(target, none, &existing, false);
}

bool PieceWriter::begin(const WriteTarget& target, NewFile& out, Existing* existing, bool create) {
  failure_.clear();
  note_.clear();
  kind_ = Failure::none;
  error_ = 0;
  FileIdentity& there = existing->identity;
  if (!target.folder->identityOf(target.name, &there)) return fail(target.shown, Failure::system, errno);
  if (there.exists() && there.type != FileIdentity::Type::file) {
    return fail(target.shown, Failure::notRegular, 0,
                there.type == FileIdentity::Type::link     ? "not written: a symbolic link stands there"
                : there.type == FileIdentity::Type::folder ? "not written: it is a folder"
                                                           : "not written: it is a device, a FIFO or a socket, not a "
                                                             "regular file");
  }
  if (there.exists() && !target.replace) return fail(target.shown, Failure::system, EEXIST);
  for (const Protected& p : protected_) {
    if (there.sameFile(p.file)) return fail(target.shown, Failure::protected_, 0, "not written over: it is " + p.what);
  }
  // A file that replaces another is its owner's alone until it has that
  // one's permissions.
  const bool ownerOnly = target.replaces != nullptr || there.exists() || target.like != nullptr;
  if (create && !out.create(*target.folder, target.name, ownerOnly)) return fail(target.shown, Failure::system, errno);
  return true;
}

void PieceWriter::keepAttributes(const WriteTarget& target, NewFile& out, const Existing& existing) {
  FileIdentity old;
  ExtendedAttributes attributes;
  bool read = true;
  if (target.replaces != nullptr || existing.identity.exists()) {
    old = target.replaces != nullptr ? *target.replaces : existing.identity;
    read = target.folder->attributesOf(target.name, &attributes);
  } else if (target.like != nullptr) {
    read = target.like->identity(&old) && target.like->attributes(&attributes);
  } else {
    return;
  }
  std::string lost;
  if (!read) lost = std::string("its extended attributes and ACL could not be read (") + std::strerror(errno) + ")";
  std::string more;
  if (!out.keepAttributesOf(old, attributes, &more)) lost += (lost.empty() ? "" : "; ") + more;
  if (!lost.empty()) note_ = target.shown + ": " + lost;
}

bool PieceWriter::writeUnnamed(const std::vector<Piece>& pieces, const WriteTarget& target, NewFile& out,
                               Existing* existing, const Progress& progress) {
  if (!begin(target, out, existing)) return false;
  if (!writePieces(pieces, target, out, progress)) return false;
  keepAttributes(target, out, *existing);
  return true;
}

bool PieceWriter::place(const WriteTarget& target, NewFile& out, const Existing& existing) {
  if (cancelled && cancelled()) {
    out.discard();
    return fail(target.shown, Failure::cancelled, 0, "stopped");
  }
  if (!checkTarget(target)) {
    out.discard();
    return false;
  }
  if (target.replaces != nullptr && beforeReplacing && !beforeReplacing()) {
    out.discard();
    if (failure_.empty()) fail(target.shown, Failure::system, EIO);
    return false;
  }
  const FileIdentity* expected = target.replaces != nullptr      ? target.replaces
                                 : existing.identity.exists() ? &existing.identity
                                                                 : nullptr;
  bool changed = false;
  if (!out.link(target.replace, true, expected, &changed)) {
    if (changed) {
      return fail(target.shown, Failure::changed, 0,
                  "the file has changed since it was read: nothing was written, the other change stays");
    }
    return fail(target.shown, Failure::system, errno);
  }
  return true;
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
  NewFile out;
  Existing existing;
  if (!begin(target, out, &existing)) return false;
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
  keepAttributes(target, out, existing);
  if (!out.sync()) {
    const int e = errno;
    out.discard();
    return fail(target.shown, Failure::system, e);
  }
  if (!place(target, out, existing)) return false;
  target.folder->sync();
  return true;
}

BatchWriter::~BatchWriter() { finish(); }

bool BatchWriter::add(const std::vector<Piece>& pieces, const WriteTarget& target,
                      const PieceWriter::Progress& progress) {
  if (waiting.size() >= depth) linkAll();
  waiting.push_back({std::make_unique<NewFile>(), target, {}});
  if (writer.writeUnnamed(pieces, target, *waiting.back().file, &waiting.back().existing, progress)) return true;
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
    if (writer.place(w.target, *w.file, w.existing)) {
      folders.insert(w.target.folder.get());
    } else {
      failures.push_back({writer.failure(), w.target.shown, writer.failureKind(), writer.errorNumber()});
    }
  }
  for (const SystemFolder* folder : folders) folder->sync();
  waiting.clear();
}

std::vector<BatchWriter::Failure> BatchWriter::finish() {
  linkAll();
  return std::move(failures);
}
