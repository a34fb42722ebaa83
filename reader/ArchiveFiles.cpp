#include "reader/ArchiveFiles.h"

#include <algorithm>
#include <cerrno>
#include <unordered_map>
#include <unordered_set>

#include "archive/Container.h"
#include "archive/FileName.h"
#include "archive/SystemFile.h"
#include "scenario/Cp932.h"
#include "scenario/ExtractName.h"
#include "scenario/NativeName.h"
#include "scenario/Wildcard.h"

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
  const auto slashed = [](std::string s) {
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
  };
  const std::string givenSlashed = slashed(given);
  std::vector<std::size_t> byText, bySlashes, byBytes;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string text;
    if (cp932::nameToUtf8Strictly(names[i], text)) {
      if (text == given) byText.push_back(i);
      if (slashed(std::move(text)) == givenSlashed) bySlashes.push_back(i);
    }
    if (names[i] == given) byBytes.push_back(i);
  }
  return !byText.empty() ? byText : !bySlashes.empty() ? bySlashes : byBytes;
}

std::vector<std::size_t> entriesMatching(const std::vector<std::string>& names, const std::string& given) {
  std::vector<std::size_t> found = entriesNamed(names, given);
  if (!found.empty() || !wildcard::isPattern(given)) return found;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (wildcard::matches(given, cp932::toUtf8(names[i], cp932::Undecodable::escape))) found.push_back(i);
  }
  return found;
}

const Problem* missingBlockOf(const ArchiveIndex& index, const std::string& given) {
  for (std::size_t k : entriesMatching(index.listed(), given)) {
    if (k < index.entries().size()) continue;
    for (const Problem& p : index.findings()) {
      if (p.code == Problem::Code::noBlock && p.name == index.listed()[k]) return &p;
    }
  }
  return nullptr;
}

std::string noDataFileEnglish(const ArchiveIndex& index, const std::string& given) {
  const Problem* missing = missingBlockOf(index, given);
  return missing != nullptr ? missing->english() : "no data file " + given;
}

std::vector<DataFile> findDataFiles(const PackPlan& plan, const SystemFolder& folder) {
  using Code = Problem::Code;
  std::vector<DataFile> found;
  std::vector<std::size_t> foundBefore;  // the names that found a file so far
  for (const std::string& name : plan.names()) {
    DataFile f;
    if (Problem outside = packNameProblem(name)) {
      outside.name = name;
      f.problem = std::move(outside);
      found.push_back(std::move(f));
      continue;
    }
    std::vector<std::string> candidates;
    std::string native, text;
    if (nativeFileName(name.c_str(), native)) candidates.push_back(native);
    if (cp932::nameToUtf8Strictly(name, text)) {
      std::replace(text.begin(), text.end(), '\\', '/');
      candidates.push_back(text);
    }
    bool outside = false;
    for (const std::string& c : candidates) {
      f.path = joinPath(folder.path(), c);
      auto file = std::make_shared<SystemFile>();
      if (file->openForReadingIn(folder, c, &f.size) && file->identity(&f.identity)) {
        f.file = std::move(file);
        f.path = joinPath(folder.path(), c);
        break;
      }
      outside = outside || errno == EXDEV;  // a link out of the folder, refused by openat2
    }
    if (!f.file) {
      f.problem = Problem::named(outside ? Code::linkLeadsOutside : Code::missingDataFile, name, folder.path());
    } else if (f.size > PackPlan::kMaxBlockSize) {
      f.problem = Problem::named(Code::dataFileTooLarge, name, {}, f.size);
    } else {
      // The same file (whatever the path's separators or case) found by another name.
      for (std::size_t i : foundBefore) {
        if (found[i].identity.sameFile(f.identity) && plan.names()[i] != name) {
          f.problem = Problem::named(Code::namesCollide, plan.names()[i], name);
          break;
        }
      }
      foundBefore.push_back(found.size());
    }
    found.push_back(std::move(f));
  }
  return found;
}

std::string describe(const DataFile& file) {
  const Problem& p = file.problem;
  if (p.code == Problem::Code::absoluteName || p.code == Problem::Code::outsideFolder) {
    return cp932::toUtf8(p.name, cp932::Undecodable::escape) + ": not packed: " + p.english();
  }
  return p.english();
}

namespace {

// Whether entries a and b hold the same bytes (false too when they cannot be read).
bool sameBytes(const ArchiveReader& reader, const ArchiveEntry& a, const ArchiveEntry& b) {
  if (a.size != b.size) return false;
  std::vector<char> x(1 << 16), y(1 << 16);
  try {
    for (int64_t at = 0; at < a.size; at += static_cast<int64_t>(x.size())) {
      const int64_t n = reader.read(a, at, x.data(), static_cast<int64_t>(x.size()));
      if (reader.read(b, at, y.data(), n) != n || !std::equal(x.begin(), x.begin() + n, y.begin())) return false;
    }
  } catch (const ArchiveError&) {
    return false;
  }
  return true;
}

}  // namespace

std::string leftOutEnglish(const ArchiveReader& reader, const std::vector<ExtractJob>& jobs, const ExtractJob& job) {
  const std::vector<ArchiveEntry>& entries = reader.entries();
  if (sameBytes(reader, entries[jobs[job.sameAs].entry], entries[job.entry])) return "";
  return cp932::toUtf8(entries[job.entry].name, cp932::Undecodable::escape) + ": listed again (data block " +
         std::to_string(job.entry + 1) + ") with other bytes: only the first is extracted";
}

Piece ExtractJob::piece() const { return Piece::ofArchive(offset, size); }

std::vector<ExtractJob> planExtraction(const ArchiveReader& reader, const std::vector<bool>& chosen, bool raw,
                                       bool withScenario) {
  std::vector<ExtractJob> jobs;
  std::unordered_map<std::string, std::size_t> byPath;
  std::unordered_set<std::string> folders;  // the folders that the paths so far need
  // Whether `path` is a folder of an earlier path, or a path that came
  // earlier is one of its folders: one name cannot be a file and a folder.
  const auto clashes = [&](const std::string& path) {
    if (folders.count(path) > 0) return true;
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      if (byPath.count(path.substr(0, slash)) > 0) return true;
    }
    return false;
  };
  const auto refuse = [](ExtractJob& job, Problem problem) {
    job.refusal = problem.english();
    job.problem = std::move(problem);
  };
  const auto add = [&](ExtractJob job) {
    if (job.refusal.empty() && byPath.count(job.path) == 0 && clashes(job.path)) {
      refuse(job, Problem::of(Problem::Code::fileFolderClash));
    }
    if (job.refusal.empty()) {
      const auto [it, first] = byPath.emplace(job.path, jobs.size());
      if (!first && jobs[it->second].entry == ExtractJob::kScenario) {
        refuse(job, Problem::of(Problem::Code::scenarioName));
      } else if (!first) {
        job.sameAs = it->second;
      }
      for (std::size_t slash = job.path.find('/'); slash != std::string::npos; slash = job.path.find('/', slash + 1)) {
        folders.insert(job.path.substr(0, slash));
      }
    }
    jobs.push_back(std::move(job));
  };
  if (withScenario) {
    ExtractJob job{ExtractJob::kScenario, scenarioNameFor(reader.path(), reader.dialect()), "", {}, SIZE_MAX,
                   container::kHeaderSize + 2, static_cast<int64_t>(reader.scenarioText().size())};
    if (Problem p = kWindowsFileNames ? windowsComponent(job.path) : Problem()) refuse(job, std::move(p));
    add(std::move(job));
  }
  const std::vector<ArchiveEntry>& entries = reader.entries();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!chosen[i]) continue;
    // Windows names are Unicode: there the stored bytes are no name.
    ExtractName x = extractName(entries[i].name, raw && !SystemFile::kUnicodeNames, kWindowsFileNames);
    add({i, std::move(x.path), std::move(x.refusal), std::move(x.problem), SIZE_MAX, entries[i].offset,
         entries[i].size});
  }
  return jobs;
}

std::shared_ptr<const SystemFolder> ExtractFolders::folder(const std::string& relative, bool create) {
  if (relative.empty()) return top;
  if (auto it = opened.find(relative); it != opened.end()) return it->second;
  auto f = std::make_shared<SystemFolder>();
  if (!f->openBeneath(*top, relative, create)) return nullptr;
  constexpr std::size_t kKept = 128;  // descriptors held at most, besides those of files waiting
  if (opened.size() >= kKept) opened.clear();
  opened.emplace(relative, f);
  return f;
}

bool ExtractFolders::targetFor(const std::string& path, bool replace, WriteTarget* target) {
  const std::size_t slash = path.rfind('/');
  const std::string relative = slash == std::string::npos ? "" : path.substr(0, slash);
  std::shared_ptr<const SystemFolder> f = folder(relative, true);
  if (!f) return false;
  target->folder = std::move(f);
  target->name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  target->shown = joinPath(top->path(), path);
  target->replace = replace;
  target->replaces = nullptr;
  return true;
}

bool ExtractFolders::identityOf(const std::string& path, FileIdentity* id) {
  const std::size_t slash = path.rfind('/');
  std::shared_ptr<const SystemFolder> f = folder(slash == std::string::npos ? "" : path.substr(0, slash), false);
  if (!f) {
    *id = FileIdentity();
    return errno == ENOENT;
  }
  return f->identityOf(path.substr(slash == std::string::npos ? 0 : slash + 1), id);
}
