// The library for the web page, compiled to WebAssembly: an archive index
// that the page drives with slices of a Blob, the plans of an archive to
// pack or to update, the code page 932 codec, and the rules for names to
// extract and to pack. Bytes cross as Uint8Arrays; offsets and sizes as
// numbers (exact up to 2^53); what the library finds wrong as a problem,
// {code, offset, n, name, other, english}, which the page words in its
// language (english is the programs' own sentence).
#include <emscripten/bind.h>
#include <emscripten/val.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
  emscripten::function("showName", &showName);
  emscripten::function("decodeName", &decodeName);
  emscripten::function("decodeText", &decodeText);
  emscripten::function("extractPath", &extractPath);
}
