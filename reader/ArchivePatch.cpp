#include "reader/ArchivePatch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>
#include <unordered_map>

#include "delta/Adler32.h"

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

bool FileDiff::writePatch(const std::string& newName, const std::string& oldName, const vcdiff::Sink& out,
                          std::string* error) const {
  vcdiff::PatchHeader header;
  header.newName = newName;
  header.oldName = oldName;
  header.oldSum = scan.oldSum;
  header.newSum = scan.newSum;
  const auto reader = [](const FileView& view) {
    return [&view](int64_t offset, char* p, std::size_t n) { return view.read(offset, p, n); };
  };
  vcdiff::Encoder encoder(out, reader(olds), reader(news), header.encode());
  encoder.useChecksums([&](int64_t start, int64_t) {
    return scan.windowChecksums[static_cast<std::size_t>(start / vcdiff::kWindowSize)];
  });
  for (const Piece& p : diff_->pieces()) {
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

bool applyPatch(vcdiff::Decoder& decoder, const vcdiff::PatchHeader& header, const FileView& oldView,
                PieceWriter& writer, const WriteTarget& target, PatchFit* fit, vcdiff::DecodeError* error,
                const PieceWriter::Progress& progress) {
  using Fault = vcdiff::DecodeError::Code;
  *fit = PatchFit::unknown;
  if (header.oldSum.known() && oldView.size() != header.oldSum.size) {
    *fit = checkPatchSource(header, oldView);
    return writer.refuse(target.shown, PieceWriter::Failure::changed, 0, "not the file the patch was made from");
  }
  const auto patchFails = [&](const vcdiff::DecodeError& e) {
    *error = e;
    return writer.refuse(target.shown, PieceWriter::Failure::changed, 0, e.english());
  };
  return writer.writeWith(target, [&](NewFile& out) {
    // The file's sum, meanwhile; whatever happens, known before this returns.
    std::thread check;
    if (header.oldSum.known()) check = std::thread([&] { *fit = checkPatchSource(header, oldView); });
    struct Join {
      std::thread& thread;
      ~Join() {
        if (thread.joinable()) thread.join();
      }
    } join{check};

    // Each window's pieces written as they are read, and its checksum
    // compared at its end: a window that fails leaves a file that is never
    // named.
    std::vector<vcdiff::Span> spans;
    std::unique_ptr<char[]> scratch(new char[kStep]);
    int64_t written = 0;
    for (vcdiff::Window w; decoder.nextWindow(w);) {
      if (!decoder.pieces(w, spans)) break;
      uint32_t sum = adler32::kStart;
      for (const vcdiff::Span& s : spans) {
        if (s.kind == vcdiff::Span::Kind::bytes) {
          sum = adler32::update(sum, s.bytes.data(), s.bytes.size());
          if (!out.append(s.bytes.data(), s.length)) return false;
          continue;
        }
        if (s.kind == vcdiff::Span::Kind::target && !out.flush()) return false;
        for (int64_t at = 0; at < s.length;) {
          const std::size_t n = static_cast<std::size_t>(std::min<int64_t>(s.length - at, kStep));
          const bool read = s.kind == vcdiff::Span::Kind::source
                                ? oldView.read(s.offset + at, scratch.get(), n)
                                : out.written().readAt(s.offset + at, scratch.get(), static_cast<int64_t>(n)) ==
                                      static_cast<int64_t>(n);
          if (!read) return patchFails({Fault::sourceRead, w.number, w.patchOffset, 0});
          sum = adler32::update(sum, scratch.get(), n);
          if (!out.append(scratch.get(), static_cast<int64_t>(n))) return false;
          at += static_cast<int64_t>(n);
        }
      }
      if (w.hasChecksum && sum != w.checksum) {
        return patchFails({Fault::checksum, w.number, w.patchOffset, 0});
      }
      written += w.targetLength;
      out.startWriteBack(written - w.targetLength, w.targetLength);
      if (progress) progress(written);
    }
    if (check.joinable()) check.join();
    if (*fit != PatchFit::fits && *fit != PatchFit::unknown) {
      return writer.refuse(target.shown, PieceWriter::Failure::changed, 0, "not the file the patch was made from");
    }
    if (decoder.error()) return patchFails(decoder.error());
    return true;
  });
}
