#include "reader/ArchivePatch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>
#include <unordered_map>

#include "archive/FileName.h"
#include "reader/InPlace.h"


namespace {

// Blocks are compared, and files read where a pass does not, in steps of
// this many bytes.
constexpr std::size_t kStep = std::size_t{256} << 10;

}  // namespace

bool ViewCompare::same(const ArchiveEntry& oldEntry, const ArchiveEntry& newEntry) {
  if (oldEntry.size != newEntry.size) return false;
  std::unique_ptr<char[]> a(new char[kStep]), b(new char[kStep]);
  for (int64_t at = 0; at < oldEntry.size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<int64_t>(oldEntry.size - at, kStep));
    if (!olds.read(oldEntry.offset + at, a.get(), n) || !news.read(newEntry.offset + at, b.get(), n)) {
      error = errno;
      return false;
    }
    if (std::memcmp(a.get(), b.get(), n) != 0) return false;
    at += static_cast<int64_t>(n);
  }
  return true;
}

void ViewCompare::common(const ArchiveEntry& oldEntry, const ArchiveEntry& newEntry, int64_t* prefix,
                         int64_t* suffix) {
  const int64_t shorter = std::min<int64_t>(oldEntry.size, newEntry.size);
  std::unique_ptr<char[]> a(new char[kStep]), b(new char[kStep]);
  // Step by step from each end, as far as the bytes agree.
  const auto scan = [&](bool fromEnd, int64_t limit) {
    int64_t agreed = 0;
    while (agreed < limit) {
      const std::size_t n = static_cast<std::size_t>(std::min<int64_t>(limit - agreed, kStep));
      const int64_t oldAt = fromEnd ? oldEntry.offset + oldEntry.size - agreed - static_cast<int64_t>(n)
                                    : oldEntry.offset + agreed;
      const int64_t newAt = fromEnd ? newEntry.offset + newEntry.size - agreed - static_cast<int64_t>(n)
                                    : newEntry.offset + agreed;
      if (!olds.read(oldAt, a.get(), n) || !news.read(newAt, b.get(), n)) {
        error = errno;
        return agreed;
      }
      const char* x = a.get();
      const char* y = b.get();
      std::size_t same = 0;
      if (fromEnd) {
        while (same < n && x[n - 1 - same] == y[n - 1 - same]) ++same;
      } else {
        while (same < n && x[same] == y[same]) ++same;
      }
      agreed += static_cast<int64_t>(same);
      if (same < n) break;
    }
    return agreed;
  };
  *prefix = scan(false, shorter);
  *suffix = scan(true, shorter - *prefix);
}

bool ViewCompare::digest(const ArchiveEntry& entry, bool isNew, uint64_t* out) {
  const auto known = digests.find({isNew, entry.offset});
  if (known != digests.end()) {
    *out = known->second;
    return true;
  }
  const FileView& view = isNew ? news : olds;
  vcdiff::FileSum sum;
  const auto read = [&view, &entry](int64_t offset, char* p, std::size_t n) {
    return view.read(entry.offset + offset, p, n);
  };
  if (!vcdiff::sumOf(read, entry.size, &sum)) {
    error = errno;
    return false;
  }
  uint64_t d = 0;
  for (int i = 0; i < 8; ++i) d = d << 8 | sum.hash[static_cast<std::size_t>(i)];
  digests.emplace(std::make_pair(isNew, entry.offset), d);
  *out = d;
  return true;
}

bool ViewCompare::failed(std::string* why) const {
  if (error == 0) return false;
  *why = std::strerror(error);
  return true;
}

// The diff's comparisons of blocks of one name, answered from the pass
// over both files; the others asked of the files again.
class FileDiff::ScanCompare : public BlockCompare {
 public:
  ScanCompare(const FileView& olds, const FileView& news, const TwoFileScan& scan) : files(olds, news), scan(scan) {}

  // The pair (or, for blocks of two sizes, the pairs at their starts and
  // at their ends) compared for the new block at `newOffset`.
  struct Compared {
    int64_t oldOffset;
    std::size_t start, end;  // indexes into scan.pairs
  };
  std::unordered_map<int64_t, Compared> compared;

  bool same(const ArchiveEntry& oldEntry, const ArchiveEntry& newEntry) override {
    const Compared* c = find(oldEntry, newEntry);
    if (c == nullptr || oldEntry.size != newEntry.size) return files.same(oldEntry, newEntry);
    return scan.differences[c->start].none();
  }

  void common(const ArchiveEntry& oldEntry, const ArchiveEntry& newEntry, int64_t* prefix, int64_t* suffix) override {
    const Compared* c = find(oldEntry, newEntry);
    if (c == nullptr) return files.common(oldEntry, newEntry, prefix, suffix);
    const int64_t shorter = std::min<int64_t>(oldEntry.size, newEntry.size);
    const ScanDifference& atStart = scan.differences[c->start];
    const ScanDifference& atEnd = scan.differences[c->end];
    *prefix = atStart.none() ? shorter : atStart.first;
    *suffix = std::min(atEnd.none() ? shorter : shorter - 1 - atEnd.last, shorter - *prefix);
  }

  bool digest(const ArchiveEntry& entry, bool isNew, uint64_t* out) override {
    return files.digest(entry, isNew, out);
  }

  bool failed(std::string* why) const override { return files.failed(why); }

 private:
  const Compared* find(const ArchiveEntry& oldEntry, const ArchiveEntry& newEntry) const {
    const auto c = compared.find(newEntry.offset);
    return c != compared.end() && c->second.oldOffset == oldEntry.offset ? &c->second : nullptr;
  }

  ViewCompare files;
  const TwoFileScan& scan;
};

FileDiff::FileDiff(const ArchiveIndex& oldIndex, const ArchiveIndex& newIndex, const FileView& olds,
                   const FileView& news, bool forPatch)
    : olds(olds), news(news) {
  scan.sums = forPatch;
  ScanCompare compare(olds, news, scan);
  if (!ArchiveDiff::check(oldIndex, newIndex)) {
    // The blocks of one name, compared in the pass: whole where they are
    // of one size, else as far as the shorter one reaches from each end.
    const std::vector<std::size_t> partners = ArchiveDiff::partners(oldIndex, newIndex);
    for (std::size_t j = 0; j < partners.size(); ++j) {
      if (partners[j] == SIZE_MAX) continue;
      const ArchiveEntry& o = oldIndex.entries()[partners[j]];
      const ArchiveEntry& e = newIndex.entries()[j];
      const int64_t shorter = std::min<int64_t>(o.size, e.size);
      ScanCompare::Compared c{o.offset, scan.pairs.size(), scan.pairs.size()};
      scan.pairs.push_back({o.offset, e.offset, shorter});
      if (o.size != e.size) {
        c.end = scan.pairs.size();
        scan.pairs.push_back({o.offset + o.size - shorter, e.offset + e.size - shorter, shorter});
      }
      compare.compared.emplace(e.offset, c);
    }
    if (!scan.run(olds, news)) {
      diff_ = std::make_unique<ArchiveDiff>(
          ArchiveDiff::unreadable(scan.newFailed ? "new" : "old", std::strerror(scan.error)));
      return;
    }
  }
  diff_ = std::make_unique<ArchiveDiff>(oldIndex, newIndex, compare);
}

FileDiff::~FileDiff() = default;

namespace {

// Where much is still new after the likely places were searched, the
// whole old archive is: from this many new bytes on.
constexpr int64_t kSearchEverywhere = int64_t{1} << 20;
// The new bytes are searched in steps of this size.
constexpr int64_t kSearchStep = int64_t{8} << 20;

// Replaces each range of the new file among `pieces` by what `matcher`
// finds of it in the old one: copies of the old, and what is still new.
bool searchOld(std::vector<Piece>& pieces, vcdiff::Matcher& matcher, const FileView& news, std::string* error) {
  std::vector<Piece> out;
  std::unique_ptr<char[]> buffer;
  for (Piece& p : pieces) {
    if (p.kind != Piece::Kind::file) {
      appendPiece(out, std::move(p));
      continue;
    }
    if (!buffer) buffer.reset(new char[kSearchStep]);
    int64_t base = 0;
    const vcdiff::Matcher::Literal literal = [&](const char* q, int64_t n) {
      appendPiece(out, Piece::ofFile(0, n, base + (q - buffer.get())));
      return true;
    };
    const vcdiff::Matcher::Copy copy = [&](int64_t offset, int64_t n) {
      appendPiece(out, Piece::ofArchive(offset, n));
      return true;
    };
    for (int64_t at = 0; at < p.length; at += kSearchStep) {
      const int64_t n = std::min(kSearchStep, p.length - at);
      base = p.offset + at;
      if (!news.read(base, buffer.get(), static_cast<std::size_t>(n))) {
        *error = std::string("the new archive cannot be read: ") + std::strerror(errno);
        return false;
      }
      if (!matcher.scan(buffer.get(), n, literal, copy)) break;
    }
    if (matcher.failed() || !matcher.finish(copy)) {
      *error = "the old archive cannot be read";
      return false;
    }
  }
  pieces = std::move(out);
  return true;
}

int64_t newBytes(const std::vector<Piece>& pieces) {
  int64_t n = 0;
  for (const Piece& p : pieces) {
    if (p.kind == Piece::Kind::file) n += p.length;
  }
  return n;
}

}  // namespace

bool FileDiff::writePatch(const std::string& newName, const std::string& oldName, const vcdiff::Sink& out,
                          std::string* error, const vcdiff::EncoderOptions& options) const {
  vcdiff::PatchHeader header;
  header.newName = newName;
  header.oldName = oldName;
  header.oldSum = scan.oldSum;
  header.newSum = scan.newSum;
  const auto reader = [](const FileView& view) {
    return [&view](int64_t offset, char* p, std::size_t n) { return view.read(offset, p, n); };
  };

  // The new bytes, searched for where they most likely come from, then,
  // where much is still new, everywhere in the old archive.
  std::vector<Piece> pieces = diff_->pieces();
  for (int pass = 0; pass < 2 && newBytes(pieces) > 0; ++pass) {
    std::vector<vcdiff::Range> ranges;
    if (pass == 0) {
      for (const auto& [offset, length] : diff_->likelySources()) ranges.push_back({offset, length});
    } else if (newBytes(pieces) >= kSearchEverywhere) {
      ranges.push_back({0, olds.size()});
    } else {
      break;
    }
    vcdiff::SourceIndex index;
    if (!index.build(reader(olds), ranges)) {
      *error = std::string("the old archive cannot be read: ") + std::strerror(errno);
      return false;
    }
    vcdiff::Matcher matcher(index, reader(olds), olds.size());
    if (!searchOld(pieces, matcher, news, error)) return false;
  }

  vcdiff::Encoder encoder(out, reader(olds), reader(news), header.encode(), options);
  encoder.useChecksums([&](int64_t start, int64_t) {
    return scan.windowChecksums[static_cast<std::size_t>(start / vcdiff::kWindowSize)];
  });
  for (const Piece& p : pieces) {
    const bool ok = p.kind == Piece::Kind::archive ? encoder.copy(p.offset, p.length)
                    : p.kind == Piece::Kind::file  ? encoder.targetBytes(p.offset, p.length)
                                                   : encoder.literal(p.bytes.data(), p.length);
    if (!ok) break;
  }
  if (!encoder.finish()) {
    *error = encoder.error();
    return false;
  }
  return true;
}

namespace {

// n with a comma between each group of three digits: 4,501.
std::string grouped(int64_t n) {
  std::string digits = std::to_string(n), out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

}  // namespace

std::string patchFitEnglish(PatchFit fit, const std::string& path, int64_t size, const vcdiff::PatchHeader& header) {
  if (fit == PatchFit::alreadyPatched) return path + " is already patched: it is the archive this patch makes";
  return path + " is not the archive this patch was made from (" +
         (size != header.oldSum.size ? grouped(header.oldSum.size) + " bytes expected, " + grouped(size) + " found"
                                     : grouped(size) + " bytes as expected, but other bytes") +
         "); it may be another edition, or already patched";
}

PatchFit checkPatchSource(const vcdiff::PatchHeader& header, const FileView& oldView) {
  if (!header.oldSum.known()) return PatchFit::unknown;
  const int64_t size = oldView.size();
  if (size != header.oldSum.size && size != header.newSum.size) return PatchFit::otherFile;
  vcdiff::FileSum sum;
  const auto read = [&oldView](int64_t offset, char* p, std::size_t n) { return oldView.read(offset, p, n); };
  if (!vcdiff::sumOf(read, size, &sum)) return PatchFit::otherFile;
  if (sum == header.oldSum) return PatchFit::fits;
  return sum == header.newSum ? PatchFit::alreadyPatched : PatchFit::otherFile;
}

std::string patchOutcomeEnglish(const PatchOutcome& outcome, const std::string& path, int64_t size,
                                const std::string& patchPath, const vcdiff::PatchHeader& header) {
  if (outcome.fit == PatchFit::otherFile || outcome.fit == PatchFit::alreadyPatched) {
    return patchFitEnglish(outcome.fit, path, size, header);
  }
  if (outcome.error) return patchPath + ": " + outcome.error.english();
  if (!outcome.wholeEnglish.empty()) return outcome.wholeEnglish;
  if (outcome.unchecked) {
    return patchPath + " cannot tell the right file: it carries no sums of the files it joins and its windows no "
                       "checksums, so a wrong file would be patched without a word; apply it into a new file (-o "
                       "OUT), or in place with --force";
  }
  return "";
}

PatchApplier::PatchApplier(vcdiff::Decoder& decoder, const vcdiff::PatchHeader& header, vcdiff::ReadAt source,
                           int64_t sourceSize, vcdiff::ReadAt made, const PatchRules& rules)
    : decoder(decoder),
      header(header),
      source(std::move(source)),
      made(std::move(made)),
      sourceSize(sourceSize),
      rules(rules),
      result(header) {}

bool PatchApplier::start() {
  if (!header.oldSum.known() || sourceSize == header.oldSum.size) return true;
  outcome_.fit = PatchFit::otherFile;
  vcdiff::FileSum sum;
  if (sourceSize == header.newSum.size && vcdiff::sumOf(source, sourceSize, &sum) && sum == header.newSum) {
    outcome_.fit = PatchFit::alreadyPatched;
  }
  return false;
}

bool PatchApplier::next(std::string& bytes, vcdiff::Window& w) {
  if (longer || !decoder.nextWindow(w)) return false;
  if (!result.window(w)) {
    // More than it promises: the rest is read for the message, never made.
    longer = true;
    for (vcdiff::Window rest; decoder.nextWindow(rest);) {
    }
    return false;
  }
  if (!result.checked() && !rules.allowUnchecked) return false;  // refused in finish()
  if (!decoder.decode(w, source, made, bytes)) return false;
  result.bytes(bytes.data(), bytes.size());
  if (rules.skipUnchanged) resultSum.update(bytes.data(), bytes.size());
  return true;
}

bool PatchApplier::finish(const vcdiff::FileSum* sourceSum) {
  using Fault = vcdiff::DecodeError::Code;
  if (header.oldSum.known()) {
    outcome_.fit = sourceSum == nullptr           ? PatchFit::otherFile
                   : *sourceSum == header.oldSum ? PatchFit::fits
                   : *sourceSum == header.newSum ? PatchFit::alreadyPatched
                                                 : PatchFit::otherFile;
    if (outcome_.fit != PatchFit::fits) return false;
  }
  outcome_.made = longer ? decoder.targetLength() : result.made();
  if (decoder.error() && !(longer && decoder.error().code == Fault::cut)) {
    outcome_.error = decoder.error();
    return false;
  }
  outcome_.verdict = longer ? vcdiff::ResultCheck::Verdict::longer : result.finish();
  if (outcome_.verdict != vcdiff::ResultCheck::Verdict::whole) {
    outcome_.wholeEnglish = result.english(outcome_.verdict, rules.patchName, outcome_.made);
    return false;
  }
  if (!result.checked()) {
    outcome_.unchecked = true;
    if (!rules.allowUnchecked) return false;
  }
  if (rules.skipUnchanged && sourceSum != nullptr && resultSum.sum() == *sourceSum) {
    outcome_.unchanged = true;
    return false;
  }
  return true;
}

bool applyPatch(vcdiff::Decoder& decoder, const vcdiff::PatchHeader& header, const FileView& oldView,
                PieceWriter& writer, const WriteTarget& target, const PatchRules& rules, PatchOutcome* outcome,
                const PieceWriter::Progress& progress) {
  *outcome = PatchOutcome();
  const auto refuse = [&](const std::string& why) {
    return writer.refuse(target.shown, PieceWriter::Failure::changed, 0, why);
  };
  const vcdiff::ReadAt read = [&oldView](int64_t offset, char* p, std::size_t n) { return oldView.read(offset, p, n); };
  // A patch between equal files changes nothing, once the file is the one.
  if (rules.skipUnchanged && header.oldSum.known() && header.oldSum == header.newSum) {
    vcdiff::FileSum sum;
    outcome->fit = oldView.size() == header.oldSum.size && vcdiff::sumOf(read, oldView.size(), &sum) &&
                           sum == header.oldSum
                       ? PatchFit::fits
                       : checkPatchSource(header, oldView);
    if (outcome->fit != PatchFit::fits) return refuse("not the file the patch was made from");
    outcome->unchanged = true;
    return true;
  }
  bool whole = false;
  const bool written = writer.writeWith(target, [&](NewFile& out) {
    const vcdiff::ReadAt made = [&out](int64_t offset, char* p, std::size_t n) {
      return out.flush() && out.written().readAt(offset, p, static_cast<int64_t>(n)) == static_cast<int64_t>(n);
    };
    PatchApplier applier(decoder, header, read, oldView.size(), made, rules);
    if (!applier.start()) {
      *outcome = applier.outcome();
      return refuse("not the file the patch was made from");
    }
    // The file's sum, meanwhile; whatever happens, known before this returns.
    vcdiff::FileSum sum;
    bool summed = false;
    const auto takeSum = [&] { summed = vcdiff::sumOf(read, oldView.size(), &sum); };
#if defined(__EMSCRIPTEN__)
    if (applier.wantsSourceSum()) takeSum();
    struct Join {
    } join;
#else
    std::thread check;
    if (applier.wantsSourceSum()) check = std::thread(takeSum);
    struct Join {
      std::thread& thread;
      ~Join() {
        if (thread.joinable()) thread.join();
      }
    } join{check};
#endif
    static_cast<void>(join);
    std::string bytes;
    for (vcdiff::Window w; applier.next(bytes, w);) {
      if (!out.append(bytes.data(), static_cast<int64_t>(bytes.size()))) return false;
      out.startWriteBack(w.targetStart, w.targetLength);
      if (progress) progress(w.targetStart + w.targetLength);
    }
#if !defined(__EMSCRIPTEN__)
    if (check.joinable()) check.join();
#endif
    const bool usable = applier.finish(summed ? &sum : nullptr);
    *outcome = applier.outcome();
    if (!usable) {
      if (outcome->unchanged) return refuse("nothing to change");
      return refuse(outcome->error ? outcome->error.english() : "not applied");
    }
    whole = true;
    return true;
  });
  if (!written && outcome->unchanged) return true;
  return written && whole;
}

PatchReport patchFile(const PatchRequest& request, const std::function<void(int64_t, int64_t)>& progress) {
  using Status = PatchReport::Status;
  PatchReport report;
  const auto trouble = [&](const std::string& file, int error) {
    report.status = Status::trouble;
    report.error = error;
    report.errorPath = file;
    report.message = file + ": " + std::strerror(error);
    return report;
  };
  const auto refused = [&](const std::string& message) {
    report.status = Status::refused;
    report.message = message;
    return report;
  };
  const std::string& path = request.path;
  SystemFile file, patch;
  int64_t size = 0, patchSize = 0;
  if (!file.openForReading(path.c_str(), &size)) return trouble(path, errno);
  if (!patch.openStream(request.patchPath.c_str(), &patchSize)) return trouble(request.patchPath, errno);
  vcdiff::Decoder decoder([&](char* p, std::size_t n) { return patch.read(p, static_cast<int64_t>(n)); });
  if (!decoder.readHeader()) {
    if (decoder.error().code == vcdiff::DecodeError::Code::read) {
      trouble(request.patchPath, static_cast<int>(decoder.error().value));
    }
    report.status = decoder.error().code == vcdiff::DecodeError::Code::read ? Status::trouble : Status::refused;
    report.message = request.patchPath + ": " + decoder.error().english();
    return report;
  }
  const vcdiff::PatchHeader header = vcdiff::PatchHeader::decode(decoder.appHeader());
  if (header.damaged) {
    return refused(request.patchPath +
                   ": the patch's header is damaged: it says it carries the sums of the files it joins, but they "
                   "cannot be read");
  }

  const FileView view(file, size);
  InPlace place;
  WriteTarget outTarget, backupTarget;
  const bool inPlace = request.out.empty();
  if (inPlace) {
    int error = 0;
    InPlace::Refusal refusal = InPlace::prepare(path, file, &place, &error);
    if (refusal == InPlace::Refusal::none) refusal = place.check(request.force);
    if (refusal == InPlace::Refusal::system) return trouble(path, error);
    if (refusal != InPlace::Refusal::none) {
      return refused(path + ": " + InPlace::english(refusal, error, "file", request.forceName, place.identity.links));
    }
    if (!place.note.empty()) report.notes.push_back(place.note);
    if (request.backup) {
      backupTarget = place.target;
      backupTarget.name += ".orig";
      backupTarget.shown = path + ".orig";
      backupTarget.replace = request.force;
      backupTarget.replaces = nullptr;
      backupTarget.like = &file;
      FileIdentity there;
      if (!backupTarget.folder->identityOf(backupTarget.name, &there)) return trouble(backupTarget.shown, errno);
      if (there.exists() && there.type != FileIdentity::Type::file) {
        return refused(backupTarget.shown + ": not written: it is not a regular file");
      }
      if (there.exists() && !request.force) {
        return refused(backupTarget.shown + ": " + std::strerror(EEXIST) + " (" + request.forceName + " replaces it)");
      }
    }
  } else if (!WriteTarget::at(request.out, request.force, &outTarget)) {
    return trouble(folderOf(request.out), errno);
  }
  PieceWriter writer({});
  FileIdentity fileId, patchId;
  file.identity(&fileId);
  if (patchSize >= 0) patch.identity(&patchId);
  if (!inPlace) writer.protect(fileId, "the file being patched");
  writer.protect(patchId, "the patch");
  // Right before the original is replaced: its copy kept aside, whole, then
  // (Windows) the file closed.
  writer.setBeforeReplacing([&] {
    if (request.backup) {
      PieceWriter copier({&file, {}});
      if (!copier.write({Piece::ofArchive(0, size)}, backupTarget)) {
        return writer.refuse(copier.failedFile(), copier.failureKind(), copier.errorNumber(), copier.reason());
      }
      if (!copier.note().empty()) report.notes.push_back(copier.note());
    }
    if (!SystemFile::kCanReplaceOpenFiles) file.close();
    return true;
  });
  PatchRules rules;
  rules.patchName = request.patchPath;
  rules.allowUnchecked = !inPlace || request.force;
  rules.skipUnchanged = inPlace;
  PatchOutcome outcome;
  const int64_t total = header.newSum.known() ? header.newSum.size : size;
  const bool applied = applyPatch(decoder, header, view, writer, inPlace ? place.target : outTarget, rules, &outcome,
                                  [&](int64_t done) {
                                    if (progress) progress(done, total);
                                  });
  if (applied) {
    report.status = outcome.unchanged ? Status::unchanged : Status::done;
    if (outcome.unchanged) report.message = path + ": nothing to change; the file is left as it is";
    if (!writer.note().empty()) report.notes.push_back(writer.note());
    report.unchecked = outcome.unchecked;
    if (outcome.unchecked) {
      report.notes.push_back("warning: " + request.patchPath +
                             " could not be checked: it carries no sums and its windows no checksums, so " +
                             (inPlace ? path : request.out) + " may not be what its maker meant");
    }
    return report;
  }
  const std::string why = patchOutcomeEnglish(outcome, path, size, request.patchPath, header);
  if (!why.empty()) {
    if (outcome.error.code == vcdiff::DecodeError::Code::read) {
      trouble(request.patchPath, static_cast<int>(outcome.error.value));
      report.message = why;
      return report;
    }
    return refused(why);
  }
  const bool exists = writer.failureKind() == PieceWriter::Failure::system && writer.errorNumber() == EEXIST;
  if (writer.failureKind() == PieceWriter::Failure::system && !exists) {
    trouble(writer.failedFile(), writer.errorNumber());
    report.message = writer.failure();
    return report;
  }
  refused(writer.failure() + (exists ? " (" + request.forceName + " replaces it)" : ""));
  if (exists) {
    report.error = EEXIST;
    report.errorPath = writer.failedFile();
  }
  return report;
}
