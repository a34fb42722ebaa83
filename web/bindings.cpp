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
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/FileView.h"
#include "delta/Decoder.h"
#include "delta/PatchHeader.h"
#include "reader/ArchivePatch.h"
#include "reader/ArchiveReader.h"
#include "reader/PatcherPage.h"
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
#include "scenario/Strings.h"

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
  // The scenario's lines for translators as the file kerv strings writes:
  // `format` "po" or "csv", the archive's name `name`.
  val strings(const std::string& format, const std::string& name) const {
    const std::vector<strings::Line> lines = strings::translatableLines(index.scenarioText());
    return bytesOf(format == "csv" ? strings::toCsv(lines)
                                   : strings::toPo(lines, scenarioNameFor(name, index.dialect()), KERV_VERSION));
  }

  // The translations of the PO or CSV file `file` (bytes, named `name`) put
  // into `scenario` (the bytes of the scenario as edited, or null for the
  // archive's), as kerv update --strings puts them: {scenario} or {errors:
  // [{fileLine, column, code, line, character, other, english}]}.
  val translate(const val& file, const std::string& name, const val& scenario) const {
    const std::string bytes = copyIn(file);
    const std::string text = scenario.isNull() ? index.scenarioText() : copyIn(scenario);
    std::vector<strings::Entry> entries;
    std::vector<strings::Error> errors;
    const bool read = strings::formatOf(name, bytes) == strings::Format::po ? strings::readPo(bytes, &entries, &errors)
                                                                              : strings::readCsv(bytes, &entries, &errors);
    std::string out;
    if (read) strings::applyTranslations(text, entries, &out, &errors);
    val result = val::object();
    if (errors.empty()) {
      result.set("scenario", bytesOf(out));
      return result;
    }
    val list = val::array();
    for (const strings::Error& e : errors) {
      val one = val::object();
      one.set("fileLine", static_cast<double>(e.fileLine));
      one.set("column", static_cast<double>(e.column));
      one.set("code", e.code);
      one.set("line", static_cast<double>(e.line));
      one.set("character", static_cast<double>(e.character));
      one.set("other", static_cast<double>(e.other));
      one.set("english", e.message);
      list.call<void>("push", one);
    }
    result.set("errors", list);
    return result;
  }

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

// ---- Patches, in the page's worker ----
//
// The page makes and applies patches in a worker, where the browser reads
// files synchronously (FileReaderSync): the library reads them as the
// command reads its files, so the page's patches and checks are the
// command's own (FileDiff, PatchApplier).

// A file the worker reads: reader.read(offset, n) gives n bytes as a
// Uint8Array (fewer, or null, where it cannot).
FileView::Read readerOf(const val& reader) {
  return [reader](int64_t offset, char* p, std::size_t n) {
    const val bytes = reader.call<val>("read", static_cast<double>(offset), static_cast<double>(n));
    if (bytes.isNull() || bytes["length"].as<std::size_t>() != n) {
      errno = EIO;
      return false;
    }
    val(emscripten::typed_memory_view(n, reinterpret_cast<uint8_t*>(p))).call<void>("set", bytes);
    return true;
  };
}

// A decoder's complaint as a problem: {code ("patch." and the decoder's),
// window, offset, value, english}.
val decodeProblemOf(const vcdiff::DecodeError& e) {
  val out = val::object();
  out.set("code", "patch." + std::string(e.id()));
  out.set("window", static_cast<double>(e.window));
  out.set("offset", static_cast<double>(e.offset));
  out.set("value", static_cast<double>(e.value));
  out.set("english", e.english());
  return out;
}

val simpleProblem(const std::string& code, const std::string& english) {
  val out = val::object();
  out.set("code", code);
  out.set("english", english);
  return out;
}

// Indexes the archive `file` reads, as the page's open() does: a slice
// that starts with the bytes the index asks for and reads ahead through
// small blocks, growing while it yields several entries at once. False,
// with errno set, when a read fails.
bool indexFile(const FileView& file, ArchiveIndex& index) {
  int64_t window = 4096;
  std::string bytes;
  for (ArchiveIndex::Range r; (r = index.next()).length > 0;) {
    const std::size_t before = index.entries().size();
    const int64_t n = std::min(file.size() - r.offset, std::max(r.length, window));
    bytes.resize(static_cast<std::size_t>(n));
    if (!file.read(r.offset, bytes.data(), bytes.size())) return false;
    index.supply(r.offset, bytes.data(), n);
    window = index.entries().size() > before + 1 ? std::min<int64_t>(2 * window, int64_t{4} << 20) : 4096;
  }
  return true;
}

// What differs from the archive `oldFile` to `newFile` (each {reader,
// size, name}), and with `patch` ({write(Uint8Array)}, or null) the patch
// that makes one from the other, as kerv diff --patch writes it:
// {equal, changes: [...]} or {problem, which ("old", "new" or "")}.
val diffFiles(const val& oldFile, const val& newFile, const val& patch) {
  val out = val::object();
  const auto view = [](const val& file) {
    return std::make_unique<FileView>(readerOf(file["reader"]), static_cast<int64_t>(file["size"].as<double>()));
  };
  const std::unique_ptr<FileView> olds = view(oldFile), news = view(newFile);
  ArchiveIndex oldIndex(olds->size()), newIndex(news->size());
  if (!indexFile(*olds, oldIndex) || !indexFile(*news, newIndex)) {
    out.set("problem", simpleProblem("cannotRead", std::strerror(errno)));
    return out;
  }
  const FileDiff compared(oldIndex, newIndex, *olds, *news, !patch.isNull());
  const ArchiveDiff& diff = compared.diff();
  if (diff.problem()) {
    out.set("problem", problemOf(diff.problem()));
    out.set("which", diff.problem().other == "old" || diff.problem().other == "new" ? diff.problem().other : "");
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
  out.set("equal", diff.equal());
  out.set("changes", changes);
  if (!patch.isNull()) {
    std::string error;
    const bool written = compared.writePatch(
        newFile["name"].as<std::string>(), oldFile["name"].as<std::string>(),
        [&patch](const char* p, std::size_t n) {
          patch.call<void>("write", bytesOf(p, n));
          return true;
        },
        &error);
    if (!written) out.set("problem", simpleProblem("cannotRead", error));
  }
  return out;
}

// Applies the patch `patchFile` to the file `archiveFile` (each {reader,
// size, name}) as kerv patch -o does, handing the result to `out` window
// by window ({source(from, to)}: a range of the file; {bytes(Uint8Array)}),
// and `out.progress(done, total, phase)` ("checking" the file, "patching").
// Nothing handed on may be used unless it ends in {ok: true, name, size}
// (the patch's name for the result); else {problem}: the file is not the
// one the patch was made from, the patch is damaged, cut short or
// lengthened, or (without allowUnchecked) cannot tell the right file.
val applyFiles(const val& archiveFile, const val& patchFile, bool allowUnchecked, const val& out) {
  const std::string archiveName = archiveFile["name"].as<std::string>();
  const std::string patchName = patchFile["name"].as<std::string>();
  const FileView archive(readerOf(archiveFile["reader"]), static_cast<int64_t>(archiveFile["size"].as<double>()));
  const FileView patch(readerOf(patchFile["reader"]), static_cast<int64_t>(patchFile["size"].as<double>()));
  int64_t patchAt = 0;
  vcdiff::Decoder decoder([&](char* p, std::size_t n) -> int64_t {
    const int64_t take = std::min<int64_t>(static_cast<int64_t>(std::min<std::size_t>(n, 1 << 20)), patch.size() - patchAt);
    if (take <= 0) return 0;
    if (!patch.read(patchAt, p, static_cast<std::size_t>(take))) return -1;
    patchAt += take;
    return take;
  });
  val result = val::object();
  const auto fail = [&](const val& problem) {
    result.set("problem", problem);
    return result;
  };
  if (!decoder.readHeader()) return fail(decodeProblemOf(decoder.error()));
  const vcdiff::PatchHeader header = vcdiff::PatchHeader::decode(decoder.appHeader());
  if (header.damaged) {
    return fail(simpleProblem("headerDamaged", patchName + ": the patch's header is damaged: it says it carries the "
                                                           "sums of the files it joins, but they cannot be read"));
  }
  const vcdiff::ReadAt read = [&archive](int64_t offset, char* p, std::size_t n) { return archive.read(offset, p, n); };
  // What was made, for windows that copy from it (VCD_TARGET, which neither
  // kerv nor xdelta3 writes): kept while it is small.
  constexpr std::size_t kKeptMade = std::size_t{64} << 20;
  std::string kept;
  bool keeping = true;
  const vcdiff::ReadAt made = [&](int64_t offset, char* p, std::size_t n) {
    if (!keeping || offset < 0 || static_cast<std::size_t>(offset) + n > kept.size()) return false;
    std::memcpy(p, kept.data() + offset, n);
    return true;
  };
  PatchRules rules;
  rules.patchName = patchName;
  rules.allowUnchecked = allowUnchecked;
  PatchApplier applier(decoder, header, read, archive.size(), made, rules);
  const auto fitProblem = [&](PatchFit fit) {
    val problem = simpleProblem(fit == PatchFit::alreadyPatched ? "alreadyPatched" : "otherFile",
                                patchFitEnglish(fit, archiveName, archive.size(), header));
    problem.set("expected", static_cast<double>(header.oldSum.size));
    problem.set("found", static_cast<double>(archive.size()));
    return problem;
  };
  if (!applier.start()) return fail(fitProblem(applier.outcome().fit));
  // The file's sum first: another edition is refused before anything is made.
  vcdiff::FileSum sum;
  bool summed = false;
  if (applier.wantsSourceSum()) {
    vcdiff::Summer summer;
    std::string buffer(std::size_t{4} << 20, '\0');
    summed = true;
    for (int64_t at = 0; at < archive.size() && summed;) {
      const std::size_t n = static_cast<std::size_t>(std::min<int64_t>(archive.size() - at, buffer.size()));
      summed = archive.read(at, buffer.data(), n);
      summer.update(buffer.data(), n);
      at += static_cast<int64_t>(n);
      out.call<void>("progress", static_cast<double>(at), static_cast<double>(archive.size()), std::string("checking"));
    }
    sum = summer.sum();
    if (summed && header.oldSum.known() && !(sum == header.oldSum)) {
      return fail(fitProblem(sum == header.newSum ? PatchFit::alreadyPatched : PatchFit::otherFile));
    }
  }
  const double total = static_cast<double>(header.newSum.known() ? header.newSum.size : archive.size());
  std::string bytes;
  std::vector<vcdiff::Span> spans;
  for (vcdiff::Window w; applier.next(bytes, w);) {
    if (keeping && kept.size() + bytes.size() <= kKeptMade) {
      kept += bytes;
    } else {
      keeping = false;
      kept.clear();
    }
    // The window's bytes checked; handed on as ranges of the file where it
    // copies them, so that the result is made of the file's own slices.
    if (!decoder.pieces(w, spans)) break;
    int64_t at = 0;
    for (const vcdiff::Span& s : spans) {
      if (s.kind == vcdiff::Span::Kind::source) {
        out.call<void>("source", static_cast<double>(s.offset), static_cast<double>(s.offset + s.length));
      } else {
        out.call<void>("bytes", bytesOf(bytes.data() + at, static_cast<std::size_t>(s.length)));
      }
      at += s.length;
    }
    out.call<void>("progress", static_cast<double>(w.targetStart + w.targetLength), total, std::string("patching"));
  }
  if (!applier.finish(summed ? &sum : nullptr)) {
    const PatchOutcome& o = applier.outcome();
    if (o.fit == PatchFit::otherFile || o.fit == PatchFit::alreadyPatched) return fail(fitProblem(o.fit));
    if (o.error.code == vcdiff::DecodeError::Code::sourceRead && !keeping) {
      return fail(simpleProblem("targetWindows", patchName + ": the patch copies from what its earlier windows made "
                                                             "(VCD_TARGET) beyond the 64 MiB the page keeps; apply it "
                                                             "with kerv patch"));
    }
    if (o.error) return fail(decodeProblemOf(o.error));
    if (!o.wholeEnglish.empty()) {
      static const char* const verdicts[] = {"whole", "noWindows", "longer", "shorter", "otherSum"};
      val problem = simpleProblem("notWhole", o.wholeEnglish);
      problem.set("verdict", std::string(verdicts[static_cast<int>(o.verdict)]));
      problem.set("made", static_cast<double>(o.made));
      problem.set("promised", static_cast<double>(header.newSum.size));
      return fail(problem);
    }
    return fail(simpleProblem("unchecked", patchOutcomeEnglish(o, archiveName, archive.size(), patchName, header)));
  }
  result.set("ok", true);
  result.set("unchecked", applier.outcome().unchecked);
  result.set("name", header.newName);
  result.set("size", static_cast<double>(applier.outcome().made));
  return result;
}

// Whether the file `archiveFile` is the one the patch `patchFile` was made
// from, as far as the patch can tell (each {reader, size, name}), reading
// the file once (`out.progress(done, total, "checking")`): {fit ("fits",
// "unknown" where the patch names no file, "otherFile", "alreadyPatched"),
// problem (where it does not fit)}.
val checkFiles(const val& archiveFile, const val& patchFile, const val& out) {
  const std::string archiveName = archiveFile["name"].as<std::string>();
  const FileView archive(readerOf(archiveFile["reader"]), static_cast<int64_t>(archiveFile["size"].as<double>()));
  const FileView patch(readerOf(patchFile["reader"]), static_cast<int64_t>(patchFile["size"].as<double>()));
  int64_t patchAt = 0;
  vcdiff::Decoder decoder([&](char* p, std::size_t n) -> int64_t {
    const int64_t take = std::min<int64_t>(static_cast<int64_t>(n), patch.size() - patchAt);
    if (take <= 0) return 0;
    if (!patch.read(patchAt, p, static_cast<std::size_t>(take))) return -1;
    patchAt += take;
    return take;
  });
  val result = val::object();
  if (!decoder.readHeader()) {
    result.set("fit", "unknown");
    result.set("problem", decodeProblemOf(decoder.error()));
    return result;
  }
  const vcdiff::PatchHeader header = vcdiff::PatchHeader::decode(decoder.appHeader());
  PatchFit fit = PatchFit::unknown;
  if (header.oldSum.known()) {
    fit = PatchFit::otherFile;
    if (archive.size() == header.oldSum.size || archive.size() == header.newSum.size) {
      vcdiff::Summer summer;
      std::string buffer(std::size_t{4} << 20, '\0');
      bool read = true;
      for (int64_t at = 0; at < archive.size() && read;) {
        const std::size_t n = static_cast<std::size_t>(std::min<int64_t>(archive.size() - at, buffer.size()));
        read = archive.read(at, buffer.data(), n);
        summer.update(buffer.data(), n);
        at += static_cast<int64_t>(n);
        out.call<void>("progress", static_cast<double>(at), static_cast<double>(archive.size()), std::string("checking"));
      }
      const vcdiff::FileSum sum = summer.sum();
      fit = !read                 ? PatchFit::otherFile
            : sum == header.oldSum ? PatchFit::fits
            : sum == header.newSum ? PatchFit::alreadyPatched
                                   : PatchFit::otherFile;
    }
  }
  static const char* const fits[] = {"fits", "unknown", "otherFile", "alreadyPatched"};
  result.set("fit", std::string(fits[static_cast<int>(fit)]));
  if (fit == PatchFit::otherFile || fit == PatchFit::alreadyPatched) {
    val problem = simpleProblem(fits[static_cast<int>(fit)], patchFitEnglish(fit, archiveName, archive.size(), header));
    problem.set("expected", static_cast<double>(header.oldSum.size));
    problem.set("found", static_cast<double>(archive.size()));
    result.set("problem", problem);
  }
  return result;
}

// The built patcher page `page` with the patch `patch` and `info` ({oldName,
// oldSize, newName, newSize, title, note}) put in (PatcherPage.h); "" when
// `page` is no patcher page.
std::string patcherPage(const std::string& page, const val& patch, const val& info) {
  PatcherInfo i;
  i.oldName = info["oldName"].as<std::string>();
  i.newName = info["newName"].as<std::string>();
  i.oldSize = static_cast<int64_t>(info["oldSize"].as<double>());
  i.newSize = static_cast<int64_t>(info["newSize"].as<double>());
  i.title = info["title"].as<std::string>();
  i.note = info["note"].as<std::string>();
  return fillPatcherPage(page, copyIn(patch), i);
}

// What a patch's first bytes (its header: up to 1 MiB and a bit) say:
// {newName, oldName, oldSize, newSize} (sizes -1 where it names none), or
// {problem} where it is no patch or its header is damaged.
val patchHeader(const val& head) {
  const std::string bytes = copyIn(head);
  std::size_t at = 0;
  vcdiff::Decoder decoder([&](char* p, std::size_t n) -> int64_t {
    const std::size_t take = std::min(n, bytes.size() - at);
    std::memcpy(p, bytes.data() + at, take);
    at += take;
    return static_cast<int64_t>(take);
  });
  val out = val::object();
  if (!decoder.readHeader()) {
    out.set("problem", decodeProblemOf(decoder.error()));
    return out;
  }
  const vcdiff::PatchHeader h = vcdiff::PatchHeader::decode(decoder.appHeader());
  out.set("newName", h.newName);
  out.set("oldName", h.oldName);
  out.set("oldSize", static_cast<double>(h.oldSum.size));
  out.set("newSize", static_cast<double>(h.newSum.size));
  out.set("damaged", h.damaged);
  return out;
}

// A name of a file list (Shift_JIS) for people: a byte with no character,
// or a control character, shows as \xNN.
std::string showName(const val& name) { return showNameOf(copyIn(name)); }

// The name decoded, or null when a byte of it has no character (as a
// name: see cp932::nameToUtf8Strictly).
val decodeName(const val& name) {
  std::string text;
  return cp932::nameToUtf8Strictly(copyIn(name), text) ? val(text) : val::null();
}

// The first of the names `names` (an array of Shift_JIS byte arrays) that
// the text a person gave means, as every surface takes a name (see
// entriesNamed: as shown, with '/' for '\', or by its bytes); -1 when none.
int nameIndex(const val& names, const std::string& given) {
  std::vector<std::string> list;
  for (unsigned i = 0, n = names["length"].as<unsigned>(); i < n; ++i) list.push_back(copyIn(names[i]));
  const std::vector<std::size_t> found = entriesNamed(list, given);
  return found.empty() ? -1 : static_cast<int>(found.front());
}

// A scenario's bytes as the text box shows them (scenarioToEditable).
std::string editableText(const val& bytes) { return scenarioToEditable(copyIn(bytes)); }

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
      .function("strings", &WebIndex::strings)
      .function("translate", &WebIndex::translate)
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
  emscripten::function("diffFiles", &diffFiles);
  emscripten::function("applyFiles", &applyFiles);
  emscripten::function("patchHeader", &patchHeader);
  emscripten::function("checkFiles", &checkFiles);
  emscripten::function("patcherPage", &patcherPage);
  emscripten::function("showName", &showName);
  emscripten::function("decodeName", &decodeName);
  emscripten::function("nameIndex", &nameIndex);
  emscripten::function("decodeText", &decodeText);
  emscripten::function("editableText", &editableText);
  emscripten::function("extractPath", &extractPath);
}
