#include "reader/ArchiveFiles.h"

#include <algorithm>
#include <unordered_map>

#include "archive/Container.h"
#include "archive/FileName.h"
#include "archive/SystemFile.h"
#include "scenario/Cp932.h"
#include "scenario/ExtractName.h"
#include "scenario/NativeName.h"

namespace {

// `name` with the suffix ".from" (in any case) replaced by ".to", or with
// ".to" appended when it has another.
std::string withSuffix(const std::string& name, const char* from, const char* to) {
  const std::string suffix = std::string(".") + from;
  const bool has = name.size() > suffix.size() &&
                   std::equal(suffix.begin(), suffix.end(), name.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                              [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b); });
  return (has ? name.substr(0, name.size() - suffix.size()) : name) + "." + to;
}

}  // namespace

std::string scenarioNameFor(const std::string& archivePath, const Dialect& dialect) {
  return withSuffix(baseName(archivePath), dialect.archiveSuffix, dialect.scenarioSuffix);
}

std::string archivePathFor(const std::string& scenarioPath, const Dialect& dialect) {
  return withSuffix(scenarioPath, dialect.scenarioSuffix, dialect.archiveSuffix);
}

std::vector<std::size_t> entriesNamed(const std::vector<std::string>& names, const std::string& given) {
  std::vector<std::size_t> byText, byBytes;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string text;
    if (cp932::toUtf8Strictly(names[i], text) && text == given) byText.push_back(i);
    if (names[i] == given) byBytes.push_back(i);
  }
  return byText.empty() ? byBytes : byText;
}

std::vector<DataFile> findDataFiles(const PackPlan& plan, const std::string& folder) {
  std::vector<DataFile> found;
  for (const std::string& name : plan.names()) {
    std::vector<std::string> candidates;
    std::string native, text;
    if (nativeFileName(name.c_str(), native)) candidates.push_back(native);
    if (cp932::toUtf8Strictly(name, text)) {
      std::replace(text.begin(), text.end(), '\\', '/');
      candidates.push_back(text);
    }
    DataFile f;
    f.missing = true;
    for (const std::string& c : candidates) {
      f.path = joinPath(folder, c);
      SystemFile file;
      if (file.openForReading(f.path.c_str(), &f.size)) {
        f.missing = false;
        break;
      }
    }
    const std::string shown = cp932::toUtf8(name, cp932::Undecodable::escape);
    if (f.missing) {
      f.problem = shown + ": no such data file in " + folder;
    } else if (f.size > PackPlan::kMaxBlockSize) {
      f.problem = f.path + ": a data file holds at most " + std::to_string(PackPlan::kMaxBlockSize) + " bytes";
    }
    found.push_back(std::move(f));
  }
  return found;
}

Piece ExtractJob::piece() const { return Piece::ofArchive(offset, size); }

std::vector<ExtractJob> planExtraction(const ArchiveReader& reader, const std::vector<bool>& chosen, bool raw,
                                       bool withScenario) {
  std::vector<ExtractJob> jobs;
  std::unordered_map<std::string, std::size_t> byPath;
  const auto add = [&](ExtractJob job) {
    if (job.refusal.empty()) {
      const auto [it, first] = byPath.emplace(job.path, jobs.size());
      if (!first && jobs[it->second].entry == ExtractJob::kScenario) {
        job.refusal = "the scenario file has that name";
      } else if (!first) {
        job.sameAs = it->second;
      }
    }
    jobs.push_back(std::move(job));
  };
  if (withScenario) {
    add({ExtractJob::kScenario, scenarioNameFor(reader.path(), reader.dialect()), "", SIZE_MAX,
         container::kHeaderSize + 2, static_cast<int64_t>(reader.scenarioText().size())});
  }
  const std::vector<ArchiveEntry>& entries = reader.entries();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!chosen[i]) continue;
    // Windows names are Unicode: there the stored bytes are no name.
    ExtractName x = extractName(entries[i].name, raw && !SystemFile::kUnicodeNames, kWindowsFileNames);
    add({i, std::move(x.path), std::move(x.refusal), SIZE_MAX, entries[i].offset, entries[i].size});
  }
  return jobs;
}

bool makeFoldersFor(const std::string& folder, const std::string& path) {
  if (!SystemFile::makeFolders(folder, true)) return false;
  for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (!SystemFile::makeFolder(joinPath(folder, path.substr(0, slash)).c_str())) return false;
  }
  return true;
}
