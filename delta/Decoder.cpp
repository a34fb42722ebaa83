#include "delta/Decoder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "delta/Adler32.h"
#include "delta/LzmaStreams.h"
#if KERV_LZMA
#include <lzma.h>
#endif

namespace vcdiff {

namespace {

using Fault = DecodeError::Code;

// A window's delta encoding holds at most its target (uncompressed data)
// and a few bytes an instruction: more than this is no window.
constexpr uint64_t kLargestEncoding = uint64_t{64} << 20;

// Reads integers, bytes and runs of bytes from a section, never past it.
class Section {
 public:
  explicit Section(const std::string& s) : p(reinterpret_cast<const unsigned char*>(s.data())), end(p + s.size()) {}
  bool integer(uint64_t* value) {
    uint64_t v = 0;
    for (int i = 0; i < 10 && p < end; ++i) {
      const unsigned b = *p++;
      if (v >> 57 != 0) return false;  // past 64 bits
      v = v << 7 | (b & 0x7F);
      if (b < 0x80) {
        *value = v;
        return true;
      }
    }
    return false;
  }
  bool byte(unsigned* b) {
    if (p >= end) return false;
    *b = *p++;
    return true;
  }
  const char* take(uint64_t n) {
    if (n > static_cast<uint64_t>(end - p)) return nullptr;
    const char* at = reinterpret_cast<const char*>(p);
    p += n;
    return at;
  }
  bool done() const { return p == end; }

 private:
  const unsigned char* p;
  const unsigned char* end;
};

}  // namespace

const char* DecodeError::id() const {
  switch (code) {
    case Code::none: return "none";
    case Code::read: return "read";
    case Code::notVcdiff: return "notVcdiff";
    case Code::appHeader: return "appHeader";
    case Code::version: return "version";
    case Code::cut: return "cut";
    case Code::codeTable: return "codeTable";
    case Code::secondary: return "secondary";
    case Code::badSecondary: return "badSecondary";
    case Code::secondaryMemory: return "secondaryMemory";
    case Code::badWindow: return "badWindow";
    case Code::tooLarge: return "tooLarge";
    case Code::badInstruction: return "badInstruction";
    case Code::badAddress: return "badAddress";
    case Code::sourceRead: return "sourceRead";
    case Code::checksum: return "checksum";
  }
  return "none";
}

std::string DecodeError::english() const {
  const std::string at = window >= 0 ? "window " + std::to_string(window) + " (patch offset " + std::to_string(offset) +
                                           "): "
                                     : "patch offset " + std::to_string(offset) + ": ";
  switch (code) {
    case Code::none: return "";
    case Code::read: return at + "the patch cannot be read: " + std::strerror(static_cast<int>(value));
    case Code::notVcdiff: return "not a VCDIFF patch: it does not start with VCDIFF's magic bytes";
    case Code::version: return "a VCDIFF patch of version " + std::to_string(value) + ", which is not read here";
    case Code::appHeader:
      return "the patch's application header is " + std::to_string(value) + " bytes, more than the " +
             std::to_string(Decoder::kLargestAppHeader) + " it may hold: the patch is damaged";
    case Code::cut: return at + "the patch ends here: it is cut short";
    case Code::codeTable:
      return "the patch brings a code table of its own, which is not read here; remake it with xdelta3's default table";
    case Code::secondary:
      return std::string("the patch's sections are compressed with ") +
             (value == kDjw ? "djw" : value == kFgk ? "fgk" : value == kLzma ? "lzma" : "an unknown compressor") +
             ", which this build does not read; remake the patch with 'xdelta3 -S none'";
    case Code::badSecondary: return at + "a compressed section does not decompress to its " + std::to_string(value) + " bytes";
    case Code::secondaryMemory:
      return at + "a compressed section needs more than " + std::to_string(Decoder::kLzmaMemory >> 20) +
             " MiB of memory to decompress, more than a patch may take";
    case Code::badWindow: return at + "the window's header is damaged";
    case Code::tooLarge:
      return at + "the window makes " + std::to_string(value) + " bytes, more than the 16 MiB a window may hold";
    case Code::badInstruction: return at + "an instruction runs past its window or its data: the patch is damaged";
    case Code::badAddress: return at + "a COPY reaches outside what it may copy: the patch is damaged";
    case Code::sourceRead: return at + "the file to be patched cannot be read where the window needs it";
    case Code::checksum:
      return at + "the bytes made do not have the window's checksum: the patch was made from another file, or is "
                  "damaged";
  }
  return "";
}

#if KERV_LZMA
struct Decoder::Lzma : LzmaStreams {};
#else
struct Decoder::Lzma {};
#endif

Decoder::Decoder(Read patch) : patch(std::move(patch)) {}

Decoder::~Decoder() = default;

bool Decoder::fail(Fault code, int64_t offset, int64_t value) {
  if (!error_) error_ = {code, current, offset, value};
  return false;
}

bool Decoder::readExactly(char* p, std::size_t n) {
  while (n > 0) {
    const int64_t got = patch(p, n);
    if (got < 0) return fail(Fault::read, position, errno);
    if (got == 0) return fail(Fault::cut, position);
    p += got;
    n -= static_cast<std::size_t>(got);
    position += got;
  }
  return true;
}

bool Decoder::readByte(unsigned* b) {
  char c;
  if (!readExactly(&c, 1)) return false;
  *b = static_cast<unsigned char>(c);
  return true;
}

bool Decoder::readInteger(uint64_t* value) {
  const int64_t at = position;
  uint64_t v = 0;
  for (int i = 0; i < 10; ++i) {
    unsigned b;
    if (!readByte(&b)) return false;
    if (v >> 57 != 0) return fail(Fault::badWindow, at);
    v = v << 7 | (b & 0x7F);
    if (b < 0x80) {
      *value = v;
      return true;
    }
  }
  return fail(Fault::badWindow, at);
}

bool Decoder::readHeader() {
  current = -1;  // errors here belong to no window
  char magic[4];
  const int64_t got = patch(magic, 4);
  if (got < 0) return fail(Fault::read, 0, errno);
  position = got;
  if (got < 4 || std::memcmp(magic, kMagic, 3) != 0) return fail(Fault::notVcdiff, 0);
  if (magic[3] != 0) return fail(Fault::version, 3, static_cast<unsigned char>(magic[3]));
  unsigned indicator;
  if (!readByte(&indicator)) return false;
  if (indicator & kDecompress) {
    if (!readByte(&secondary)) return false;
  }
  if (indicator & kCodeTable) return fail(Fault::codeTable, position);
  if (indicator & kAppHeader) {
    uint64_t length;
    if (!readInteger(&length)) return false;
    if (length > static_cast<uint64_t>(kLargestAppHeader)) {
      return fail(Fault::appHeader, position, static_cast<int64_t>(std::min<uint64_t>(length, INT64_MAX)));
    }
    appHeader_.resize(static_cast<std::size_t>(length));
    if (!readExactly(appHeader_.data(), appHeader_.size())) return false;
  }
  return true;
}

bool Decoder::decompress(std::string& section, int kind, uint64_t limit, int64_t at) {
#if KERV_LZMA
  if (secondary == kLzma) {
    // xdelta3's form: the decompressed length, then what the stream of this
    // kind of section gave for it (the stream's header in its first).
    Section s(section);
    uint64_t length;
    if (!s.integer(&length) || length == 0) return fail(Fault::badSecondary, at, 0);
    if (length > limit) return fail(Fault::badSecondary, at, static_cast<int64_t>(std::min<uint64_t>(length, INT64_MAX)));
    const char* rest = s.take(0);  // where the stream's bytes start
    const std::size_t restLength = section.size() - static_cast<std::size_t>(rest - section.data());
    if (!lzma) lzma = std::make_unique<Lzma>();
    lzma_stream& stream = lzma->streams[kind];
    if (!lzma->started[kind]) {
      if (lzma_stream_decoder(&stream, kLzmaMemory, 0) != LZMA_OK) return fail(Fault::badSecondary, at, static_cast<int64_t>(length));
      lzma->started[kind] = true;
    }
    std::string out(static_cast<std::size_t>(length), '\0');
    stream.next_in = reinterpret_cast<const uint8_t*>(rest);
    stream.avail_in = restLength;
    stream.next_out = reinterpret_cast<uint8_t*>(out.data());
    stream.avail_out = out.size();
    // As xdelta3 reads it: until the section's bytes are made, which must
    // take all of its input.
    while (stream.avail_out > 0) {
      const lzma_ret r = lzma_code(&stream, LZMA_RUN);
      if (r == LZMA_MEMLIMIT_ERROR) return fail(Fault::secondaryMemory, at);
      if (r != LZMA_OK) break;
    }
    if (stream.avail_out != 0 || stream.avail_in != 0) return fail(Fault::badSecondary, at, static_cast<int64_t>(length));
    section = std::move(out);
    return true;
  }
#endif
  static_cast<void>(section), static_cast<void>(kind), static_cast<void>(limit);
  return fail(Fault::secondary, at, secondary);
}

bool Decoder::nextWindow(Window& w) {
  if (error_) return false;
  // The end of the patch: no byte where a window would start.
  char first;
  const int64_t got = patch(&first, 1);
  if (got < 0) return fail(Fault::read, position, errno);
  if (got == 0) return false;
  w = Window();
  w.number = current = windows_;
  w.patchOffset = position;
  w.targetStart = targetLength_;
  ++position;
  w.indicator = static_cast<unsigned char>(first);
  if ((w.indicator & ~(kSource | kTarget | kAdler32)) != 0 || (w.indicator & (kSource | kTarget)) == (kSource | kTarget)) {
    return fail(Fault::badWindow, w.patchOffset);
  }
  uint64_t length = 0, position2 = 0;
  if (w.indicator & (kSource | kTarget)) {
    if (!readInteger(&length) || !readInteger(&position2)) return false;
    // The segment ends within 2^62, so that no offset in it overflows.
    if (length > (uint64_t{1} << 62) || position2 > (uint64_t{1} << 62) - length) {
      return fail(Fault::badWindow, w.patchOffset);
    }
    w.segmentLength = static_cast<int64_t>(length);
    w.segmentPosition = static_cast<int64_t>(position2);
    // A VCD_TARGET segment lies in the target made before this window.
    if ((w.indicator & kTarget) && w.segmentPosition + w.segmentLength > targetLength_) {
      return fail(Fault::badWindow, w.patchOffset);
    }
  }
  uint64_t encodingLength, targetLength;
  if (!readInteger(&encodingLength)) return false;
  if (encodingLength > kLargestEncoding) return fail(Fault::badWindow, w.patchOffset);
  const int64_t encodingStart = position;
  if (!readInteger(&targetLength)) return false;
  if (targetLength > static_cast<uint64_t>(kLargestWindow)) {
    return fail(Fault::tooLarge, w.patchOffset, static_cast<int64_t>(std::min<uint64_t>(targetLength, INT64_MAX)));
  }
  w.targetLength = static_cast<int64_t>(targetLength);
  unsigned compressed;
  uint64_t dataLength, instLength, addrLength;
  if (!readByte(&compressed) || !readInteger(&dataLength) || !readInteger(&instLength) || !readInteger(&addrLength)) {
    return false;
  }
  if ((compressed & ~7u) != 0) return fail(Fault::badWindow, w.patchOffset);
  if (w.indicator & kAdler32) {
    char sum[4];
    if (!readExactly(sum, 4)) return false;
    w.hasChecksum = true;
    w.checksum = static_cast<uint32_t>(static_cast<unsigned char>(sum[0])) << 24 |
                 static_cast<uint32_t>(static_cast<unsigned char>(sum[1])) << 16 |
                 static_cast<uint32_t>(static_cast<unsigned char>(sum[2])) << 8 | static_cast<unsigned char>(sum[3]);
  }
  const uint64_t headerPart = static_cast<uint64_t>(position - encodingStart);
  if (dataLength > encodingLength || instLength > encodingLength || addrLength > encodingLength ||
      headerPart + dataLength + instLength + addrLength != encodingLength) {
    return fail(Fault::badWindow, w.patchOffset);
  }
  struct Part {
    std::string* section;
    uint64_t length;
    unsigned bit;
  } parts[] = {{&w.data, dataLength, kDataCompressed}, {&w.inst, instLength, kInstCompressed},
               {&w.addr, addrLength, kAddrCompressed}};
  for (int kind = 0; kind < 3; ++kind) {
    Part& part = parts[kind];
    const int64_t at = position;
    part.section->resize(static_cast<std::size_t>(part.length));
    if (!readExactly(part.section->data(), part.section->size())) return false;
    // Each byte of the data section makes a byte of the window at least.
    const uint64_t most = kind == 0 ? targetLength : kLargestEncoding;
    if ((compressed & part.bit) != 0 && !decompress(*part.section, kind, most, at)) return false;
  }
  targetLength_ += w.targetLength;
  ++windows_;
  return true;
}

template <class Take>
bool Decoder::walk(const Window& w, Take take) {
  const CodeTable& table = defaultCodeTable();
  Section inst(w.inst), data(w.data), addr(w.addr);
  AddressCache cache;
  cache.reset();
  const uint64_t segment = static_cast<uint64_t>(w.segmentLength);
  uint64_t made = 0;  // bytes of the window made so far
  current = w.number;
  const auto bad = [&](Fault code) { return fail(code, w.patchOffset); };
  while (!inst.done()) {
    unsigned index;
    if (!inst.byte(&index)) return bad(Fault::badInstruction);
    const Code& code = table[index];
    const Type types[2] = {code.type1, code.type2};
    const uint8_t sizes[2] = {code.size1, code.size2};
    const uint8_t modes[2] = {code.mode1, code.mode2};
    for (int k = 0; k < 2; ++k) {
      if (types[k] == kNoop) continue;
      uint64_t size = sizes[k];
      if (size == 0 && !inst.integer(&size)) return bad(Fault::badInstruction);
      if (size > static_cast<uint64_t>(w.targetLength) - made) return bad(Fault::badInstruction);
      if (types[k] == kAdd) {
        const char* bytes = data.take(size);
        if (bytes == nullptr) return bad(Fault::badInstruction);
        if (!take(kAdd, bytes, size, 0)) return false;
      } else if (types[k] == kRun) {
        const char* byte = data.take(1);
        if (byte == nullptr) return bad(Fault::badInstruction);
        if (!take(kRun, byte, size, 0)) return false;
      } else {
        uint64_t value = 0, address = 0;
        if (modes[k] >= 2 + AddressCache::kNear) {
          unsigned b;
          if (!addr.byte(&b)) return bad(Fault::badInstruction);
          value = b;
        } else if (!addr.integer(&value)) {
          return bad(Fault::badInstruction);
        }
        const uint64_t here = segment + made;
        if (!cache.decode(modes[k], value, here, &address)) return bad(Fault::badAddress);
        cache.update(address);
        // From the segment, or from the window before `here` (it may overlap what it makes).
        if (address >= here || (address < segment && size > segment - address)) return bad(Fault::badAddress);
        if (!take(kCopy, nullptr, size, address)) return false;
      }
      made += size;
    }
  }
  if (made != static_cast<uint64_t>(w.targetLength) || !data.done() || !addr.done()) return bad(Fault::badInstruction);
  return true;
}

bool Decoder::decode(const Window& w, const ReadAt& source, const ReadAt& target, std::string& out) {
  out.clear();
  out.reserve(static_cast<std::size_t>(w.targetLength));
  const uint64_t segment = static_cast<uint64_t>(w.segmentLength);
  const ReadAt& from = (w.indicator & kTarget) ? target : source;
  const bool ok = walk(w, [&](Type type, const char* bytes, uint64_t size, uint64_t address) {
    if (type == kAdd) {
      out.append(bytes, size);
    } else if (type == kRun) {
      out.append(size, *bytes);
    } else if (address < segment) {
      const std::size_t at = out.size();
      out.resize(at + size);
      if (!from(w.segmentPosition + static_cast<int64_t>(address), out.data() + at, size)) {
        return fail(Fault::sourceRead, w.patchOffset);
      }
    } else {
      // From the window itself. Where it overlaps what it makes, the bytes
      // between its start and here repeat: copied in steps that double.
      const std::size_t from = static_cast<std::size_t>(address - segment);
      std::size_t to = out.size();
      out.resize(to + size);
      char* p = out.data();
      for (std::size_t left = size; left > 0;) {
        const std::size_t step = std::min(left, to - from);
        std::memcpy(p + to, p + from, step);
        to += step;
        left -= step;
      }
    }
    return true;
  });
  if (!ok) return false;
  if (w.hasChecksum && adler32::update(adler32::kStart, out.data(), out.size()) != w.checksum) {
    return fail(Fault::checksum, w.patchOffset);
  }
  return true;
}

bool Decoder::pieces(const Window& w, std::vector<Span>& out) {
  out.clear();
  const uint64_t segment = static_cast<uint64_t>(w.segmentLength);
  const Span::Kind segmentKind = (w.indicator & kTarget) ? Span::Kind::target : Span::Kind::source;
  const auto append = [&](Span span) {
    if (span.length == 0) return;
    Span* last = out.empty() ? nullptr : &out.back();
    if (last != nullptr && last->kind == span.kind && span.kind == Span::Kind::bytes) {
      last->bytes += span.bytes;
      last->length += span.length;
    } else if (last != nullptr && last->kind == span.kind && last->offset + last->length == span.offset) {
      last->length += span.length;  // made in order, so a target range may go on into itself
    } else {
      out.push_back(std::move(span));
    }
  };
  return walk(w, [&](Type type, const char* bytes, uint64_t size, uint64_t address) {
    const int64_t n = static_cast<int64_t>(size);
    if (type == kAdd) {
      append({Span::Kind::bytes, std::string(bytes, size), 0, n});
    } else if (type == kRun) {
      append({Span::Kind::bytes, std::string(size, *bytes), 0, n});
    } else if (address < segment) {
      append({segmentKind, {}, w.segmentPosition + static_cast<int64_t>(address), n});
    } else {
      append({Span::Kind::target, {}, w.targetStart + static_cast<int64_t>(address - segment), n});
    }
    return true;
  });
}

}  // namespace vcdiff
