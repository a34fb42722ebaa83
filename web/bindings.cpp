// The library for the web page, compiled to WebAssembly: an archive index
// that the page drives with slices of a Blob, the plan of an archive to
// pack, and the check of names to be created. Bytes cross as Uint8Arrays;
// offsets and sizes as numbers (exact up to 2^53).
#include <emscripten/bind.h>
#include <emscripten/val.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/FileName.h"
#include "reader/ArchiveIndex.h"
#include "reader/PackPlan.h"
#include "scenario/KervScenario.h"

using emscripten::val;

namespace {

// A copy of [p..p+n) as a Uint8Array of the page's own.
val bytesOf(const char* p, std::size_t n) {
  return val::global("Uint8Array").new_(emscripten::typed_memory_view(n, reinterpret_cast<const uint8_t*>(p)));
}

val bytesOf(const std::string& s) { return bytesOf(s.data(), s.size()); }

val strings(const std::vector<std::string>& list, bool asBytes) {
  val out = val::array();
  for (const std::string& s : list) out.call<void>("push", asBytes ? bytesOf(s) : val(s));
  return out;
}

std::vector<char> copyIn(const val& array) {
  std::vector<char> bytes(array["length"].as<std::size_t>());
  val view(emscripten::typed_memory_view(bytes.size(), reinterpret_cast<uint8_t*>(bytes.data())));
  view.call<void>("set", array);
  return bytes;
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
    std::vector<char> copy = copyIn(bytes);
    index.supply(static_cast<int64_t>(offset), copy.data(), static_cast<int64_t>(copy.size()));
  }

  std::string error() const { return index.error(); }
  std::string dialect() const { return index.dialect().name; }
  std::string scenarioSuffix() const { return index.dialect().scenarioSuffix; }
  std::string version() const { return index.version(); }
  int waitingTime() const { return index.scenario().getWaitingTime(); }
  val scenario() const { return bytesOf(index.scenarioText()); }
  val damage() const { return strings(index.damage(), false); }

  int entryCount() const { return static_cast<int>(index.entries().size()); }
  val entryName(int i) const { return bytesOf(index.entries()[static_cast<std::size_t>(i)].name); }
  double entryOffset(int i) const { return static_cast<double>(index.entries()[static_cast<std::size_t>(i)].offset); }
  double entrySize(int i) const { return index.entries()[static_cast<std::size_t>(i)].size; }

  // The header as parsed: title block, both lists, and for KERV the second
  // number of the header line in hundredths (-1 for P-KERV).
  val header() {
    std::unique_ptr<Scenario> s = index.dialect().makeScenario(index.scenarioText().data(),
                                                                static_cast<int>(index.scenarioText().size()));
    std::vector<std::string> files, second;
    while (const char* e = s->nextFileName()) files.emplace_back(e);
    while (const char* e = s->nextSecondEntry()) second.emplace_back(e);
    val out = val::object();
    out.set("title", bytesOf(s->getTitle(), static_cast<std::size_t>(s->getTitleLength())));
    out.set("fileList", strings(files, true));
    out.set("secondList", strings(second, true));
    const auto* kerv = dynamic_cast<const KervScenario*>(s.get());
    out.set("headerValue", kerv != nullptr ? kerv->getHeaderValue() : -1);
    return out;
  }

 private:
  ArchiveIndex index;
};

// PackPlan for the page, from the scenario's bytes.
class WebPackPlan {
 public:
  explicit WebPackPlan(const val& scenario) : text(copyIn(scenario)), plan(text.data(), static_cast<int64_t>(text.size())) {}

  std::string error() const { return plan.error(); }
  std::string dialect() const { return plan.dialect().name; }
  std::string archiveSuffix() const { return plan.dialect().archiveSuffix; }
  val head() const { return bytesOf(plan.head()); }
  val names() const { return strings(plan.names(), true); }
  static std::string lengthError(double length) { return PackPlan::lengthError(static_cast<int64_t>(length)); }
  static double maxBlockSize() { return static_cast<double>(PackPlan::kMaxBlockSize); }
  static val sizeField(double size) { return bytesOf(PackPlan::sizeField(static_cast<int64_t>(size))); }

 private:
  std::vector<char> text;
  PackPlan plan;
};

// Whether a name of the file list (Shift_JIS bytes) may be created below
// a chosen folder, as the divider decides; by the rules of POSIX and of
// Windows both, since the page may run on either.
bool safeName(const val& name) {
  std::vector<char> bytes = copyIn(name);
  bytes.push_back('\0');
  return !isUnsafePosixName(bytes.data()) && !isUnsafeWindowsName(bytes.data());
}

}  // namespace

EMSCRIPTEN_BINDINGS(kerv) {
  emscripten::class_<WebIndex>("ArchiveIndex")
      .constructor<double>()
      .function("nextOffset", &WebIndex::nextOffset)
      .function("nextLength", &WebIndex::nextLength)
      .function("nextPart", &WebIndex::nextPart)
      .function("supply", &WebIndex::supply)
      .function("error", &WebIndex::error)
      .function("dialect", &WebIndex::dialect)
      .function("scenarioSuffix", &WebIndex::scenarioSuffix)
      .function("version", &WebIndex::version)
      .function("waitingTime", &WebIndex::waitingTime)
      .function("scenario", &WebIndex::scenario)
      .function("damage", &WebIndex::damage)
      .function("entryCount", &WebIndex::entryCount)
      .function("entryName", &WebIndex::entryName)
      .function("entryOffset", &WebIndex::entryOffset)
      .function("entrySize", &WebIndex::entrySize)
      .function("header", &WebIndex::header);
  emscripten::class_<WebPackPlan>("PackPlan")
      .constructor<const val&>()
      .function("error", &WebPackPlan::error)
      .function("dialect", &WebPackPlan::dialect)
      .function("archiveSuffix", &WebPackPlan::archiveSuffix)
      .function("head", &WebPackPlan::head)
      .function("names", &WebPackPlan::names)
      .class_function("lengthError", &WebPackPlan::lengthError)
      .class_function("maxBlockSize", &WebPackPlan::maxBlockSize)
      .class_function("sizeField", &WebPackPlan::sizeField);
  emscripten::function("safeName", &safeName);
}
