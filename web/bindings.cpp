// The library for the web page, compiled to WebAssembly: an archive index
// that the page drives with slices of a Blob, the plans of an archive to
// pack or to update, the code page 932 codec, and the rules for names to
// extract and to pack. Bytes cross as Uint8Arrays; offsets and sizes as
// numbers (exact up to 2^53); what the library finds wrong as a problem,
// {code, offset, n, name, other, english}, which the page words in its
// language (english is the programs' own sentence).
#include <emscripten/bind.h>
#include <emscripten/val.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "delta/Adler32.h"
#include "delta/Decoder.h"
#include "delta/Encoder.h"
#include "delta/PatchHeader.h"
#include "reader/ArchiveDiff.h"
#include "reader/ArchiveFiles.h"
#include "reader/ArchiveIndex.h"
#include "reader/PackPlan.h"
#include "reader/UpdatePlan.h"
#include "scenario/Cp932.h"
#include "scenario/ExtractName.h"
#include "scenario/KervScenario.h"
#include "scenario/Problem.h"
#include "scenario/ScenarioText.h"

using emscripten::val;

namespace {

// A copy of [p..p+n) as a Uint8Array of the page's own.
val bytesOf(const char* p, std::size_t n) {
  return val::global("Uint8Array").new_(emscripten::typed_memory_view(n, reinterpret_cast<const uint8_t*>(p)));
}

val bytesOf(const std::string& s) { return bytesOf(s.data(), s.size()); }

// A file-list name for people: a byte with no character, or a control
// character, shows as \xNN.
std::string showNameOf(const std::string& name) { return cp932::toUtf8(name, cp932::Undecodable::escape); }

// The names of `list` for people, joined by NUL (which none holds).
std::string shownList(const std::vector<std::string>& list) {
  std::string out;
  for (std::size_t i = 0; i < list.size(); ++i) out += (i > 0 ? std::string(1, '\0') : "") + showNameOf(list[i]);
  return out;
}

val numbersOf(const std::vector<double>& v) {
  return val::global("Float64Array").new_(emscripten::typed_memory_view(v.size(), v.data()));
}

val strings(const std::vector<std::string>& list, bool asBytes) {
  val out = val::array();
  for (const std::string& s : list) out.call<void>("push", asBytes ? bytesOf(s) : val(s));
  return out;
}

std::string copyIn(const val& array) {
  std::string bytes(array["length"].as<std::size_t>(), '\0');
  val view(emscripten::typed_memory_view(bytes.size(), reinterpret_cast<uint8_t*>(bytes.data())));
  view.call<void>("set", array);
  return bytes;
}

// A problem for the page: its code, its values, its names for people and
// its English; null for none.
val problemOf(const Problem& p) {
  if (!p) return val::null();
  val out = val::object();
  out.set("code", std::string(p.id()));
  out.set("offset", static_cast<double>(p.offset));
  val n = val::array();
  for (int64_t v : p.n) n.call<void>("push", static_cast<double>(v));
  out.set("n", n);
  out.set("name", showNameOf(p.name));
  out.set("other", showNameOf(p.other));
  out.set("english", p.english());
  return out;
}

// The pieces of an archive for the page to make a Blob of.
val piecesOf(const std::vector<Piece>& pieces) {
  val out = val::array();
  for (const Piece& p : pieces) {
    val piece = val::object();
    switch (p.kind) {
      case Piece::Kind::bytes:
        piece.set("bytes", bytesOf(p.bytes));
        break;
      case Piece::Kind::archive:
        piece.set("offset", static_cast<double>(p.offset));
        piece.set("length", static_cast<double>(p.length));
        break;
      case Piece::Kind::file:
        piece.set("file", static_cast<double>(p.file));
        break;
    }
    out.call<void>("push", piece);
  }
  return out;
}

// ArchiveIndex for the page.
class WebIndex {
 public:
  explicit WebIndex(double size) : index(static_cast<int64_t>(size)) {}

  double nextOffset() const { return static_cast<double>(index.next().offset); }
  double nextLength() const { return static_cast<double>(index.next().length); }
  std::string nextPart() const { return index.nextPart(); }
  // Bytes of the archive from `offset` on, as a Uint8Array.
  void supply(double offset, const val& bytes) {
    const std::string copy = copyIn(bytes);
    index.supply(static_cast<int64_t>(offset), copy.data(), static_cast<int64_t>(copy.size()));
  }

  val problem() const { return problemOf(index.problem()); }
  std::string dialect() const { return index.dialect().name; }
  std::string scenarioSuffix() const { return index.dialect().scenarioSuffix; }
  std::string version() const { return index.version(); }
  int waitingTime() const { return index.scenario().getWaitingTime(); }
  val scenario() const { return bytesOf(index.scenarioText()); }
  // The damage findings, as problems.
  val damage() const {
    val out = val::array();
    for (const Problem& p : index.findings()) out.call<void>("push", problemOf(p));
    return out;
  }

  int entryCount() const { return static_cast<int>(index.entries().size()); }
  double entrySize(int i) const { return index.entries()[static_cast<std::size_t>(i)].size; }
  // Every entry at once, in a few values whatever the length of the list:
  // {names, ends, shown, offsets, sizes}: the stored names one after the
  // other in one Uint8Array, where each ends (a Float64Array), the names
  // for people (see showName) joined by NUL, which no shown name holds, and
  // Float64Arrays of the offsets and sizes.
  val entries() const {
    std::string names, shown;
    std::vector<double> ends, offsets, sizes;
    for (const ArchiveEntry& e : index.entries()) {
      names += e.name;
      ends.push_back(static_cast<double>(names.size()));
      shown += (shown.empty() && offsets.empty() ? "" : std::string(1, '\0')) + showNameOf(e.name);
      offsets.push_back(static_cast<double>(e.offset));
      sizes.push_back(e.size);
    }
    val out = val::object();
    out.set("names", bytesOf(names));
    out.set("ends", numbersOf(ends));
    out.set("shown", shown);
    out.set("offsets", numbersOf(offsets));
    out.set("sizes", numbersOf(sizes));
    return out;
  }

  // The header as parsed: title block (decoded), both lists (their names
  // for people, joined by NUL, and their lengths), and for KERV the second number of the
  // header line in hundredths (-1 for P-KERV).
  val header() {
    std::unique_ptr<Scenario> s = index.dialect().makeScenario(index.scenarioText().data(),
                                                                static_cast<int>(index.scenarioText().size()));
    std::vector<std::string> files, second;
    while (const char* e = s->nextFileName()) files.emplace_back(e);
    while (const char* e = s->nextSecondEntry()) second.emplace_back(e);
    val out = val::object();
    out.set("title", cp932::toUtf8(std::string(s->getTitle(), static_cast<std::size_t>(s->getTitleLength())),
                                   cp932::Undecodable::replace));
    out.set("fileList", shownList(files));
    out.set("fileListLength", static_cast<double>(files.size()));
    out.set("secondList", shownList(second));
    out.set("secondListLength", static_cast<double>(second.size()));
    const auto* kerv = dynamic_cast<const KervScenario*>(s.get());
    out.set("headerValue", kerv != nullptr ? kerv->getHeaderValue() : -1);
    return out;
  }

  // The scenario file that the archive `name` extracts to (story.krv gives
  // story.ker): {path}, with {problem} where Windows would take it for a
  // device or drop a letter of it (the page may run on Windows).
  val scenarioFileName(const std::string& name) const {
    const std::string path = scenarioNameFor(name, index.dialect());
    val out = val::object();
    out.set("path", path);
    if (const Problem p = windowsComponent(path)) out.set("problem", problemOf(p));
    return out;
  }

  // The archive changed (UpdatePlan): `scenario` a Uint8Array or null,
  // `replaced` an array of {name: Uint8Array, size}. {problem} or {pieces},
  // a piece being {bytes}, {offset, length} of this archive, or {file}, an
  // index into `replaced`; a problem of the new scenario is its own
  // (notAScenario, bareLineFeed, ...), with `newScenario` set.
  val update(const val& scenario, const val& replaced) const {
    std::vector<UpdatePlan::Replacement> list;
    for (std::size_t i = 0, n = replaced["length"].as<std::size_t>(); i < n; ++i) {
      list.push_back({copyIn(replaced[i]["name"]), static_cast<int64_t>(replaced[i]["size"].as<double>())});
    }
    const std::string text = scenario.isNull() ? "" : copyIn(scenario);
    const UpdatePlan plan(index, scenario.isNull() ? nullptr : &text, list);
    val out = val::object();
    if (plan.problem().code == Problem::Code::newScenarioWrong) {
      const PackPlan own(text.data(), static_cast<int64_t>(text.size()));
      out.set("problem", problemOf(own.problem()));
      out.set("newScenario", true);
    } else if (plan.problem().code == Problem::Code::archiveDamaged && !index.findings().empty()) {
      out.set("problem", problemOf(index.findings().front()));
      out.set("damaged", true);
    } else if (plan.problem()) {
      out.set("problem", problemOf(plan.problem()));
    } else {
      out.set("pieces", piecesOf(plan.pieces()));
      val dropped = val::array();
      for (const UpdatePlan::Dropped& d : plan.dropped()) dropped.call<void>("push", static_cast<double>(d.entry));
      out.set("dropped", dropped);
    }
    return out;
  }

  const ArchiveIndex& archiveIndex() const { return index; }

  // The scenario for the text box (see scenarioToEditable).
  std::string editableScenario() const { return scenarioToEditable(index.scenarioText()); }

  // The text box's text as the scenario's bytes (see editableToScenario):
  // {bytes}, or {error, line, column, character}.
  val encodeScenario(const std::string& text) const {
    std::string bytes;
    TextError e;
    val out = val::object();
    if (editableToScenario(text, index.scenarioText(), bytes, &e)) {
      out.set("bytes", bytesOf(bytes));
    } else {
      out.set("error", e.message());
      out.set("line", static_cast<double>(e.line));
      out.set("column", static_cast<double>(e.column));
      out.set("character", static_cast<double>(e.c));
    }
    return out;
  }

 private:
  ArchiveIndex index;
};

// PackPlan for the page, from the scenario's bytes.
class WebPackPlan {
 public:
  explicit WebPackPlan(const val& scenario) : text(copyIn(scenario)), plan(text.data(), static_cast<int64_t>(text.size())) {}

  val problem() const { return problemOf(plan.problem()); }
  std::string dialect() const { return plan.dialect().name; }
  std::string archiveSuffix() const { return plan.dialect().archiveSuffix; }
  val head() const { return bytesOf(plan.head()); }
  val names() const { return strings(plan.names(), true); }
  // For each name, why it may not be read from the picked files (absolute,
  // or with a '..' component, as kerv create refuses it), or null.
  val nameProblems() const {
    val out = val::array();
    for (const std::string& name : plan.names()) out.call<void>("push", problemOf(packNameProblem(name)));
    return out;
  }
  // The archive that the scenario `name` packs into: story.ker gives story.krv.
  std::string archiveName(const std::string& name) const { return archivePathFor(name, plan.dialect()); }
  static val lengthProblem(double length) { return problemOf(PackPlan::lengthProblem(static_cast<int64_t>(length))); }
  static double maxBlockSize() { return static_cast<double>(PackPlan::kMaxBlockSize); }
  static val sizeField(double size) { return bytesOf(PackPlan::sizeField(static_cast<int64_t>(size))); }

 private:
  std::string text;
  PackPlan plan;
};

// ---- Patches ----

// A file's size and XXH3-128, taken from its bytes given in order.
class WebSum {
 public:
  void update(const val& bytes) {
    const std::string copy = copyIn(bytes);
    summer.update(copy.data(), copy.size());
  }
  vcdiff::FileSum sum() const { return summer.sum(); }
  std::string hex() const { return summer.sum().hex(); }

 private:
  vcdiff::Summer summer;
};

// Adler-32 of `bytes` after the bytes that gave `value` (1 for none).
double adler32Update(double value, const val& bytes) {
  const std::string copy = copyIn(bytes);
  return adler32::update(static_cast<uint32_t>(value), copy.data(), copy.size());
}

// A decoder's complaint as a problem: {code, window, offset, value, english}.
val decodeProblemOf(const vcdiff::DecodeError& e) {
  val out = val::object();
  out.set("code", std::string(e.id()));
  out.set("window", static_cast<double>(e.window));
  out.set("offset", static_cast<double>(e.offset));
  out.set("value", static_cast<double>(e.value));
  out.set("english", e.english());
  return out;
}

// The diff of two opened archives (ArchiveDiff), whose comparisons of
// blocks the page makes: it answers the pairs of blocks of one name first
// (partners()), runs the diff, and answers whatever else the diff asked
// for, until it asks for nothing more.
class WebDiff {
 public:
  WebDiff(const WebIndex& olds, const WebIndex& news) : olds(olds.archiveIndex()), news(news.archiveIndex()) {
    for (std::size_t i = 0; i < this->olds.entries().size(); ++i) oldAt[this->olds.entries()[i].offset] = i;
    for (std::size_t j = 0; j < this->news.entries().size(); ++j) newAt[this->news.entries()[j].offset] = j;
  }

  // [[old index, new index], ...]: each new block with the old block of its name.
  val partners() const {
    val out = val::array();
    const std::vector<std::size_t> p = ArchiveDiff::partners(olds, news);
    for (std::size_t j = 0; j < p.size(); ++j) {
      if (p[j] == SIZE_MAX) continue;
      val pair = val::array();
      pair.call<void>("push", static_cast<double>(p[j]));
      pair.call<void>("push", static_cast<double>(j));
      out.call<void>("push", pair);
    }
    return out;
  }

  // How many bytes old block i and new block j share at their start and,
  // in what is left of the shorter, at their end (prefix == size, for
  // blocks of one size: the same bytes).
  void answer(int i, int j, double prefix, double suffix) {
    answers[{static_cast<std::size_t>(i), static_cast<std::size_t>(j)}] = {static_cast<int64_t>(prefix),
                                                                           static_cast<int64_t>(suffix)};
  }

  // {asked: [[i, j], ...]} while the diff needs answers not yet given;
  // then {problem}, or {equal, changes: [{kind, name, nameBytes, oldSize,
  // newSize, english}], pieces: [{copy, length} (of the old archive) |
  // {offset, length} (of the new) | {bytes}]}.
  val run() {
    Compare compare(*this);
    const ArchiveDiff diff(olds, news, compare);
    val out = val::object();
    if (!compare.asked.empty()) {
      val asked = val::array();
      for (const auto& [i, j] : compare.asked) {
        val pair = val::array();
        pair.call<void>("push", static_cast<double>(i));
        pair.call<void>("push", static_cast<double>(j));
        asked.call<void>("push", pair);
      }
      out.set("asked", asked);
      return out;
    }
    if (diff.problem()) {
      out.set("problem", problemOf(diff.problem()));
      return out;
    }
    static const char* const kinds[] = {"header", "scenario", "changed", "added", "removed"};
    val changes = val::array();
    for (const ArchiveDiff::Change& c : diff.changes()) {
      val change = val::object();
      change.set("kind", std::string(kinds[static_cast<int>(c.kind)]));
      change.set("name", showNameOf(c.name));
      change.set("nameBytes", bytesOf(c.name));
      change.set("oldSize", static_cast<double>(c.oldSize));
      change.set("newSize", static_cast<double>(c.newSize));
      change.set("english", c.english());
      changes.call<void>("push", change);
    }
    val pieces = val::array();
    for (const Piece& p : diff.pieces()) {
      val piece = val::object();
      if (p.kind == Piece::Kind::bytes) {
        piece.set("bytes", bytesOf(p.bytes));
      } else {
        piece.set(p.kind == Piece::Kind::archive ? "copy" : "offset", static_cast<double>(p.offset));
        piece.set("length", static_cast<double>(p.length));
      }
      pieces.call<void>("push", piece);
    }
    out.set("equal", diff.equal());
    out.set("changes", changes);
    out.set("pieces", pieces);
    return out;
  }

 private:
  struct Shared {
    int64_t prefix, suffix;
  };
  using Pair = std::pair<std::size_t, std::size_t>;

  // The page's answers; a question it has not answered is noted (and
  // answered "nothing shared" for this run).
  class Compare : public BlockCompare {
   public:
    explicit Compare(const WebDiff& diff) : diff(diff) {}
    bool same(const ArchiveEntry& o, const ArchiveEntry& n) override {
      const Shared* s = find(o, n);
      return s != nullptr && o.size == n.size && s->prefix == o.size;
    }
    void common(const ArchiveEntry& o, const ArchiveEntry& n, int64_t* prefix, int64_t* suffix) override {
      const Shared* s = find(o, n);
      *prefix = s != nullptr ? s->prefix : 0;
      *suffix = s != nullptr ? s->suffix : 0;
    }
    bool failed(std::string*) const override { return false; }
    std::vector<Pair> asked;

   private:
    const Shared* find(const ArchiveEntry& o, const ArchiveEntry& n) {
      const Pair key{diff.oldAt.at(o.offset), diff.newAt.at(n.offset)};
      const auto found = diff.answers.find(key);
      if (found != diff.answers.end()) return &found->second;
      asked.push_back(key);
      return nullptr;
    }
    const WebDiff& diff;
  };

  const ArchiveIndex& olds;
  const ArchiveIndex& news;
  std::map<int64_t, std::size_t> oldAt, newAt;  // an entry's place in its list, by its offset
  std::map<Pair, Shared> answers;
};

// A patch written from pieces the page gives in order: copies of the old
// archive and the new archive's own bytes. Its header names both archives
// and carries their sums; `checksums` (a Uint32Array) holds the Adler-32
// of each of the new archive's windows (vcdiff::kWindowSize bytes).
class WebEncoder {
 public:
  WebEncoder(const std::string& newName, const std::string& oldName, const WebSum& oldSum, const WebSum& newSum,
             const val& checksums)
      : sums(copyIn(val::global("Uint8Array").new_(checksums["buffer"], checksums["byteOffset"],
                                                    checksums["byteLength"]))),
        encoder(
            [this](const char* p, std::size_t n) {
              out.append(p, n);
              return true;
            },
                [](int64_t, char*, std::size_t) { return false; }, [](int64_t, char*, std::size_t) { return false; },
                header(newName, oldName, oldSum, newSum)) {
    encoder.useChecksums([this](int64_t start, int64_t) {
      const std::size_t at = static_cast<std::size_t>(start / vcdiff::kWindowSize) * 4;
      uint32_t value = 0;
      if (at + 4 <= sums.size()) std::memcpy(&value, sums.data() + at, 4);  // little-endian, as the page's
      return value;
    });
  }

  bool copy(double offset, double length) { return encoder.copy(static_cast<int64_t>(offset), static_cast<int64_t>(length)); }
  bool literal(const val& bytes) {
    const std::string copy = copyIn(bytes);
    return encoder.literal(copy.data(), static_cast<int64_t>(copy.size()));
  }
  bool finish() { return encoder.finish(); }
  std::string error() const { return encoder.error(); }
  // The patch's bytes written since the last take.
  val take() {
    val bytes = bytesOf(out);
    out.clear();
    return bytes;
  }

 private:
  static std::string header(const std::string& newName, const std::string& oldName, const WebSum& oldSum,
                            const WebSum& newSum) {
    vcdiff::PatchHeader h;
    h.newName = newName;
    h.oldName = oldName;
    h.oldSum = oldSum.sum();
    h.newSum = newSum.sum();
    return h.encode();
  }

  std::string sums;
  std::string out;
  vcdiff::Encoder encoder;
};

// A patch held whole, read a window at a time as pieces: {spans: [{bytes}
// | {source, length} | {target, length}], length, checksum (null when the
// window has none)}.
class WebPatch {
 public:
  explicit WebPatch(const val& bytes)
      : patch(copyIn(bytes)), decoder([this](char* p, std::size_t n) -> int64_t {
          const std::size_t take = std::min(n, patch.size() - at);
          std::memcpy(p, patch.data() + at, take);
          at += take;
          return static_cast<int64_t>(take);
        }) {}

  // {newName, oldName, oldSize, oldSum, newSize, newSum} (sizes -1 and
  // sums "" when the patch carries none, as xdelta3's), or {problem}.
  val header() {
    val out = val::object();
    if (!decoder.readHeader()) {
      out.set("problem", decodeProblemOf(decoder.error()));
      return out;
    }
    const vcdiff::PatchHeader h = vcdiff::PatchHeader::decode(decoder.appHeader());
    out.set("newName", h.newName);
    out.set("oldName", h.oldName);
    out.set("oldSize", static_cast<double>(h.oldSum.size));
    out.set("oldSum", h.oldSum.known() ? h.oldSum.hex() : "");
    out.set("newSize", static_cast<double>(h.newSum.size));
    out.set("newSum", h.newSum.known() ? h.newSum.hex() : "");
    return out;
  }

  // The next window; null at the patch's end; {problem} when it is damaged.
  val next() {
    vcdiff::Window w;
    if (!decoder.nextWindow(w) || !decoder.pieces(w, spans)) {
      if (!decoder.error()) return val::null();
      val out = val::object();
      out.set("problem", decodeProblemOf(decoder.error()));
      return out;
    }
    val list = val::array();
    for (const vcdiff::Span& s : spans) {
      val span = val::object();
      if (s.kind == vcdiff::Span::Kind::bytes) {
        span.set("bytes", bytesOf(s.bytes));
      } else {
        span.set(s.kind == vcdiff::Span::Kind::source ? "source" : "target", static_cast<double>(s.offset));
        span.set("length", static_cast<double>(s.length));
      }
      list.call<void>("push", span);
    }
    val out = val::object();
    out.set("spans", list);
    out.set("length", static_cast<double>(w.targetLength));
    out.set("checksum", w.hasChecksum ? val(static_cast<double>(w.checksum)) : val::null());
    return out;
  }

 private:
  std::string patch;
  std::size_t at = 0;
  vcdiff::Decoder decoder;
  std::vector<vcdiff::Span> spans;
};

// A name of a file list (Shift_JIS) for people: a byte with no character,
// or a control character, shows as \xNN.
std::string showName(const val& name) { return showNameOf(copyIn(name)); }

// The name decoded, or null when a byte of it has no character (as a
// name: see cp932::nameToUtf8Strictly).
val decodeName(const val& name) {
  std::string text;
  return cp932::nameToUtf8Strictly(copyIn(name), text) ? val(text) : val::null();
}

// Scenario text for people: a byte with no character is U+FFFD.
std::string decodeText(const val& bytes) { return cp932::toUtf8(copyIn(bytes), cp932::Undecodable::replace); }

// Where a data file goes below a chosen folder ({path}, folders separated
// by '/'), or why it must not be created ({problem}): by the rules of
// POSIX and of Windows both, since the page may run on either.
val extractPath(const val& name) {
  const ExtractName x = extractName(copyIn(name), false, true);
  val out = val::object();
  if (x.refusal.empty()) {
    out.set("path", x.path);
  } else {
    out.set("problem", problemOf(x.problem));
  }
  return out;
}

}  // namespace

EMSCRIPTEN_BINDINGS(kerv) {
  emscripten::class_<WebIndex>("ArchiveIndex")
      .constructor<double>()
      .function("nextOffset", &WebIndex::nextOffset)
      .function("nextLength", &WebIndex::nextLength)
      .function("nextPart", &WebIndex::nextPart)
      .function("supply", &WebIndex::supply)
      .function("problem", &WebIndex::problem)
      .function("dialect", &WebIndex::dialect)
      .function("scenarioSuffix", &WebIndex::scenarioSuffix)
      .function("version", &WebIndex::version)
      .function("waitingTime", &WebIndex::waitingTime)
      .function("scenario", &WebIndex::scenario)
      .function("damage", &WebIndex::damage)
      .function("entryCount", &WebIndex::entryCount)
      .function("entrySize", &WebIndex::entrySize)
      .function("entries", &WebIndex::entries)
      .function("header", &WebIndex::header)
      .function("scenarioFileName", &WebIndex::scenarioFileName)
      .function("update", &WebIndex::update)
      .function("editableScenario", &WebIndex::editableScenario)
      .function("encodeScenario", &WebIndex::encodeScenario);
  emscripten::class_<WebPackPlan>("PackPlan")
      .constructor<const val&>()
      .function("problem", &WebPackPlan::problem)
      .function("dialect", &WebPackPlan::dialect)
      .function("archiveSuffix", &WebPackPlan::archiveSuffix)
      .function("head", &WebPackPlan::head)
      .function("names", &WebPackPlan::names)
      .function("nameProblems", &WebPackPlan::nameProblems)
      .function("archiveName", &WebPackPlan::archiveName)
      .class_function("lengthProblem", &WebPackPlan::lengthProblem)
      .class_function("maxBlockSize", &WebPackPlan::maxBlockSize)
      .class_function("sizeField", &WebPackPlan::sizeField);
  emscripten::class_<WebSum>("Sum")
      .constructor<>()
      .function("update", &WebSum::update)
      .function("hex", &WebSum::hex);
  emscripten::class_<WebDiff>("Diff")
      .constructor<const WebIndex&, const WebIndex&>()
      .function("partners", &WebDiff::partners)
      .function("answer", &WebDiff::answer)
      .function("run", &WebDiff::run);
  emscripten::class_<WebEncoder>("Encoder")
      .constructor<const std::string&, const std::string&, const WebSum&, const WebSum&, const val&>()
      .function("copy", &WebEncoder::copy)
      .function("literal", &WebEncoder::literal)
      .function("finish", &WebEncoder::finish)
      .function("error", &WebEncoder::error)
      .function("take", &WebEncoder::take);
  emscripten::class_<WebPatch>("Patch")
      .constructor<const val&>()
      .function("header", &WebPatch::header)
      .function("next", &WebPatch::next);
  emscripten::function("adler32", &adler32Update);
  emscripten::constant("patchWindowSize", static_cast<double>(vcdiff::kWindowSize));
  emscripten::function("showName", &showName);
  emscripten::function("decodeName", &decodeName);
  emscripten::function("decodeText", &decodeText);
  emscripten::function("extractPath", &extractPath);
}
