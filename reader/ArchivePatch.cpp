#include "reader/ArchivePatch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "delta/Adler32.h"

namespace {

// Files are read in steps of this many bytes where they are not mapped.
constexpr std::size_t kStep = std::size_t{4} << 20;

// The sum of the file of `view`, its bytes also handed to `also` in order;
// false, with errno set, when they cannot be read.
template <class Also>
bool sumView(const FileView& view, vcdiff::FileSum* sum, Also also) {
  std::unique_ptr<char[]> scratch;
  if (!view.mapped()) scratch.reset(new char[kStep]);
  vcdiff::Summer summer;
  for (int64_t at = 0; at < view.size();) {
    const std::size_t n = static_cast<std::size_t>(std::min<int64_t>(view.size() - at, kStep));
    const char* bytes = view.at(at, n, scratch.get());
    if (bytes == nullptr) return false;
    summer.update(bytes, n);
    also(bytes, n);
    at += static_cast<int64_t>(n);
  }
  *sum = summer.sum();
  return true;
}

}  // namespace

bool ViewCompare::same(const ArchiveEntry& oldEntry, const ArchiveEntry& newEntry) {
  if (oldEntry.size != newEntry.size) return false;
  std::unique_ptr<char[]> a, b;
  if (!olds.mapped()) a.reset(new char[kStep]);
  if (!news.mapped()) b.reset(new char[kStep]);
  for (int64_t at = 0; at < oldEntry.size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<int64_t>(oldEntry.size - at, kStep));
    const char* x = olds.at(oldEntry.offset + at, n, a.get());
    const char* y = news.at(newEntry.offset + at, n, b.get());
    if (x == nullptr || y == nullptr) {
      error = errno;
      return false;
    }
    if (std::memcmp(x, y, n) != 0) return false;
    at += static_cast<int64_t>(n);
  }
  return true;
}

void ViewCompare::common(const ArchiveEntry& oldEntry, const ArchiveEntry& newEntry, int64_t* prefix,
                         int64_t* suffix) {
  const int64_t shorter = std::min<int64_t>(oldEntry.size, newEntry.size);
  std::unique_ptr<char[]> a, b;
  if (!olds.mapped()) a.reset(new char[kStep]);
  if (!news.mapped()) b.reset(new char[kStep]);
  // Step by step from each end, as far as the bytes agree.
  const auto scan = [&](bool fromEnd, int64_t limit) {
    int64_t agreed = 0;
    while (agreed < limit) {
      const std::size_t n = static_cast<std::size_t>(std::min<int64_t>(limit - agreed, kStep));
      const int64_t oldAt = fromEnd ? oldEntry.offset + oldEntry.size - agreed - static_cast<int64_t>(n)
                                    : oldEntry.offset + agreed;
      const int64_t newAt = fromEnd ? newEntry.offset + newEntry.size - agreed - static_cast<int64_t>(n)
                                    : newEntry.offset + agreed;
      const char* x = olds.at(oldAt, n, a.get());
      const char* y = news.at(newAt, n, b.get());
      if (x == nullptr || y == nullptr) {
        error = errno;
        return agreed;
      }
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

bool makePatch(const FileView& oldView, const FileView& newView, const std::vector<Piece>& pieces,
               const std::string& newName, const std::string& oldName, const vcdiff::Sink& out, std::string* error) {
  vcdiff::PatchHeader header;
  header.newName = newName;
  header.oldName = oldName;
  const auto reader = [](const FileView& view) {
    return [&view](int64_t offset, char* p, std::size_t n) { return view.read(offset, p, n); };
  };
  // The old file's sum on a thread of its own; the new file's, with each
  // window's checksum, on this one.
  bool oldRead = false;
  int oldError = 0;
  std::thread oldSum([&] {
    oldRead = sumView(oldView, &header.oldSum, [](const char*, std::size_t) {});
    oldError = errno;
  });
  std::vector<uint32_t> checksums;
  uint32_t window = adler32::kStart;
  int64_t inWindow = 0;
  const bool newRead = sumView(newView, &header.newSum, [&](const char* bytes, std::size_t n) {
    for (std::size_t done = 0; done < n;) {
      const std::size_t take =
          static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(n - done), vcdiff::kWindowSize - inWindow));
      window = adler32::update(window, bytes + done, take);
      done += take;
      inWindow += static_cast<int64_t>(take);
      if (inWindow == vcdiff::kWindowSize) {
        checksums.push_back(window);
        window = adler32::kStart;
        inWindow = 0;
      }
    }
  });
  const int newError = errno;
  if (inWindow > 0) checksums.push_back(window);
  oldSum.join();
  if (!oldRead || !newRead) {
    *error = std::string("cannot be read: ") + std::strerror(!newRead ? newError : oldError);
    return false;
  }

  vcdiff::Encoder encoder(out, reader(oldView), reader(newView), header.encode());
  encoder.useChecksums([&](int64_t start, int64_t) { return checksums[static_cast<std::size_t>(start / vcdiff::kWindowSize)]; });
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

PatchFit checkPatchSource(const vcdiff::PatchHeader& header, const FileView& oldView) {
  if (!header.oldSum.known()) return PatchFit::unknown;
  const int64_t size = oldView.size();
  if (size != header.oldSum.size && size != header.newSum.size) return PatchFit::otherFile;
  vcdiff::FileSum sum;
  if (!sumView(oldView, &sum, [](const char*, std::size_t) {})) return PatchFit::otherFile;
  if (sum == header.oldSum) return PatchFit::fits;
  return sum == header.newSum ? PatchFit::alreadyPatched : PatchFit::otherFile;
}

bool applyPatch(vcdiff::Decoder& decoder, const SystemFile& oldFile, const FileView& oldView, PieceWriter& writer,
                const WriteTarget& target, vcdiff::DecodeError* error, const PieceWriter::Progress& progress) {
  using Fault = vcdiff::DecodeError::Code;
  const auto patchFails = [&](const vcdiff::DecodeError& e) {
    *error = e;
    return writer.refuse(target.shown, PieceWriter::Failure::changed, 0, e.english());
  };
  return writer.writeWith(target, [&](NewFile& out) {
    std::vector<vcdiff::Span> spans;
    std::unique_ptr<char[]> scratch(new char[kStep]);
    int64_t written = 0;
    for (vcdiff::Window w; decoder.nextWindow(w);) {
      if (!decoder.pieces(w, spans)) return patchFails(decoder.error());
      // The window's checksum over its pieces, before any is written.
      uint32_t sum = adler32::kStart;
      for (const vcdiff::Span& s : spans) {
        if (s.kind == vcdiff::Span::Kind::bytes) {
          sum = adler32::update(sum, s.bytes.data(), s.bytes.size());
          continue;
        }
        if (s.kind == vcdiff::Span::Kind::source && s.offset + s.length > oldView.size()) {
          return patchFails({Fault::sourceRead, w.number, w.patchOffset, 0});
        }
        if (s.kind == vcdiff::Span::Kind::target && !out.flush()) return false;
        for (int64_t at = 0; at < s.length;) {
          const std::size_t n = static_cast<std::size_t>(std::min<int64_t>(s.length - at, kStep));
          const char* bytes = nullptr;
          if (s.kind == vcdiff::Span::Kind::source) {
            bytes = oldView.at(s.offset + at, n, scratch.get());
          } else if (out.written().readAt(s.offset + at, scratch.get(), static_cast<int64_t>(n)) ==
                     static_cast<int64_t>(n)) {
            bytes = scratch.get();
          }
          if (bytes == nullptr) return patchFails({Fault::sourceRead, w.number, w.patchOffset, 0});
          sum = adler32::update(sum, bytes, n);
          at += static_cast<int64_t>(n);
        }
      }
      if (w.hasChecksum && sum != w.checksum) return patchFails({Fault::checksum, w.number, w.patchOffset, 0});
      for (const vcdiff::Span& s : spans) {
        if (s.kind == vcdiff::Span::Kind::bytes) {
          if (!out.append(s.bytes.data(), s.length)) return false;
        } else {
          const SystemFile& from = s.kind == vcdiff::Span::Kind::source ? oldFile : out.written();
          if (s.kind == vcdiff::Span::Kind::target && !out.flush()) return false;
          if (out.copyFrom(from, s.offset, s.length) != s.length) {
            return out.error() == 0 ? patchFails({Fault::sourceRead, w.number, w.patchOffset, 0}) : false;
          }
        }
      }
      written += w.targetLength;
      out.startWriteBack(written - w.targetLength, w.targetLength);
      if (progress) progress(written);
    }
    if (decoder.error()) return patchFails(decoder.error());
    return true;
  });
}
