// kerv create and kerv update: an archive packed from a folder, and an
// archive with its scenario or some data files replaced.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

#include "archive/FileName.h"
#include "archive/SystemFile.h"
#include "reader/ArchiveFiles.h"
#include "reader/ArchiveReader.h"
#include "reader/PackPlan.h"
#include "reader/PieceWriter.h"
#include "reader/UpdatePlan.h"
#include "scenario/ScenarioText.h"
#include "tools/KervCommands.h"
#include "tools/KervCommon.h"

namespace kerv {

namespace {

// Reads the whole file `name` ("-": standard input) into `out`; false,
// with errno set, when it cannot be opened or read.
bool readWhole(const std::string& name, std::string& out) {
  out.clear();
  char buffer[1 << 16];
  if (name == "-") {
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;) out.append(buffer, n);
    return !std::ferror(stdin);
  }
  SystemFile file;
  int64_t size = 0;
  if (!file.openForReading(name.c_str(), &size)) return false;
  for (int64_t n; (n = file.read(buffer, sizeof buffer)) != 0;) {
    if (n < 0) return false;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

// The size of the regular file `name`; -1, with errno set, when it cannot be opened.
int64_t sizeOf(const std::string& name) {
  SystemFile file;
  int64_t size = 0;
  return file.openForReading(name.c_str(), &size) ? size : -1;
}

// Writes the pieces as `target` and reports a failure; returns the status.
int writeArchive(PieceWriter& writer, const std::vector<Piece>& pieces, const std::vector<std::string>& files,
                 const std::string& target, bool replace, bool quiet) {
  ProgressBar bar("writing", totalLength(pieces), quiet);
  if (writer.write(pieces, files, target.c_str(), replace, [&](int64_t done) { bar.show(done); })) return kDone;
  report(writer.failure() + (writer.errorNumber() == EEXIST ? " (--force replaces it)" : ""));
  return writer.errorNumber() == EEXIST || writer.errorNumber() == 0 ? kRefused : kTrouble;
}

}  // namespace

const Command createCommand = {
    "create", "create [-C DIR] [--force] [-q] SCENARIO [ARCHIVE]",
    "Pack SCENARIO and every data file its file list names into ARCHIVE, byte for\n"
    "byte the archive krvmake or pkvmake makes. Each data file is looked for in DIR\n"
    "by its name as stored, then by its name in UTF-8 with '\\' separating folders,\n"
    "so a folder written by 'kerv extract' packs back to the identical archive.\n"
    "ARCHIVE defaults to SCENARIO with the dialect's archive suffix (story.ker gives\n"
    "story.krv). No archive is left behind when a data file is missing.\n"
    "\n"
    "  -C, --directory=DIR  look for data files in DIR (default: SCENARIO's folder)\n"
    "  -f, --force          replace ARCHIVE if it exists (never replaced otherwise)\n"
    "  -q, --quiet          draw no progress bar\n"
    "      --help           display this help and exit\n",
    runCreate};

int runCreate(int argc, char** argv) {
  std::string folder;
  bool force = false, quiet = false;
  static const option options[] = {{"directory", required_argument, nullptr, 'C'},
                                   {"force", no_argument, nullptr, 'f'},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
  const int read = readOptions(createCommand, argc, argv, "C:fq", options, [&](int c, const char* arg) {
    if (c == 'C') folder = arg;
    force = force || c == 'f';
    quiet = quiet || c == 'q';
    return true;
  });
  if (read >= 0) return read;
  if (argc - optind < 1 || argc - optind > 2) {
    return usageError(createCommand, argc == optind ? "missing scenario operand" : "extra operand");
  }
  const std::string scenarioName = argv[optind];
  if (folder.empty()) folder = folderOf(scenarioName);

  const int64_t length = sizeOf(scenarioName);
  std::string text;
  if (length < 0 || (PackPlan::lengthError(length).empty() && !readWhole(scenarioName, text))) {
    report(scenarioName + ": " + std::strerror(errno));
    return kTrouble;
  }
  if (const std::string tooLong = PackPlan::lengthError(length); !tooLong.empty()) {
    report(scenarioName + ": " + tooLong);
    return kRefused;
  }
  const PackPlan plan(text.data(), static_cast<int64_t>(text.size()));
  if (!plan.error().empty()) {
    report(scenarioName + ": " + plan.error());
    return kRefused;
  }

  std::vector<std::string> files;
  std::vector<int64_t> sizes;
  int status = kDone;
  for (const DataFile& f : findDataFiles(plan, folder)) {
    if (!f.problem.empty()) {
      report(f.problem);
      status = kRefused;
    }
    files.push_back(f.path);
    sizes.push_back(f.size);
  }
  if (status != kDone) return status;

  const std::string target = argc - optind == 2 ? argv[optind + 1] : archivePathFor(scenarioName, plan.dialect());
  PieceWriter writer(nullptr, 0);
  return writeArchive(writer, plan.pieces(sizes), files, target, force, quiet);
}

const Command updateCommand = {
    "update", "update [-o OUT] [--force] [--scenario FILE | --scenario-text FILE] [-q] ARCHIVE [NAME=FILE...]",
    "Replace data files of ARCHIVE (NAME=FILE: the data file NAME by the bytes of\n"
    "FILE, every occurrence of a name listed twice) and/or its scenario, and write\n"
    "the result in one step: nothing is written at all when anything fails. NAME\n"
    "is the name as 'kerv list' shows it, or the bytes as stored.\n"
    "\n"
    "      --scenario=FILE       the new scenario's bytes, as stored\n"
    "      --scenario-text=FILE  the new scenario as UTF-8 text ('-': standard input),\n"
    "                            as 'kerv scenario' shows it: a BOM is dropped, an LF\n"
    "                            without CR becomes CR LF, and each line left as it\n"
    "                            was keeps its bytes\n"
    "  -o, --output=OUT          write the archive as OUT (default: replace ARCHIVE)\n"
    "  -f, --force               replace OUT if it exists\n"
    "  -q, --quiet               draw no progress bar\n"
    "      --help                display this help and exit\n"
    "\n"
    "With a new scenario each name of its file list takes the file given for it,\n"
    "else the archive's data file of that name; the new scenario must be of the\n"
    "archive's dialect.\n",
    runUpdate};

int runUpdate(int argc, char** argv) {
  std::string out, scenarioFile, textFile;
  bool force = false, quiet = false;
  static const option options[] = {{"output", required_argument, nullptr, 'o'},
                                   {"force", no_argument, nullptr, 'f'},
                                   {"scenario", required_argument, nullptr, 's'},
                                   {"scenario-text", required_argument, nullptr, 't'},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
  const int read = readOptions(updateCommand, argc, argv, "o:fq", options, [&](int c, const char* arg) {
    if (c == 'o') out = arg;
    if (c == 's') scenarioFile = arg;
    if (c == 't') textFile = arg;
    force = force || c == 'f';
    quiet = quiet || c == 'q';
    return true;
  });
  if (read >= 0) return read;
  if (optind == argc) return usageError(updateCommand, "missing archive operand");
  if (!scenarioFile.empty() && !textFile.empty()) {
    return usageError(updateCommand, "--scenario and --scenario-text exclude each other");
  }
  const std::string path = argv[optind];
  int status = kDone;
  std::unique_ptr<ArchiveReader> reader = openArchive(path, status);
  if (!reader) return status;

  // The new scenario, and the names its list holds (else the archive's).
  std::string scenario;
  const bool newScenario = !scenarioFile.empty() || !textFile.empty();
  if (newScenario) {
    const std::string& file = scenarioFile.empty() ? textFile : scenarioFile;
    std::string bytes;
    if (!readWhole(file, bytes)) {
      report(file + ": " + std::strerror(errno));
      return kTrouble;
    }
    TextError error;
    if (scenarioFile.empty() && !textToScenario(bytes, reader->scenarioText(), scenario, &error)) {
      report(file + ":" + error.message());
      return kRefused;
    }
    if (!scenarioFile.empty()) scenario = std::move(bytes);
  }
  std::vector<std::string> names;
  if (newScenario) {
    const PackPlan plan(scenario.data(), static_cast<int64_t>(scenario.size()));
    if (!plan.error().empty()) {
      report((scenarioFile.empty() ? textFile : scenarioFile) + ": " + plan.error());
      return kRefused;
    }
    names = plan.names();
  } else {
    for (const ArchiveEntry& e : reader->entries()) names.push_back(e.name);
  }

  // NAME=FILE: NAME ends at the first '=' after which a name of the list stands.
  std::vector<UpdatePlan::Replacement> replaced;
  std::vector<std::string> files;
  for (int i = optind + 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::size_t at = arg.find('=');
    std::vector<std::size_t> named;
    for (; at != std::string::npos; at = arg.find('=', at + 1)) {
      if (!(named = entriesNamed(names, arg.substr(0, at))).empty()) break;
    }
    if (arg.find('=') == std::string::npos) {
      return usageError(updateCommand, "'" + arg + "' is not NAME=FILE");
    }
    if (named.empty()) {
      report(arg + ": no data file " + arg.substr(0, arg.find('=')) + (newScenario ? " in the new scenario's list" : " in " + path));
      status = std::max(status, int{kRefused});
      continue;
    }
    const std::string file = arg.substr(at + 1);
    const int64_t size = sizeOf(file);
    if (size < 0) {
      report(file + ": " + std::strerror(errno));
      status = kTrouble;
      continue;
    }
    replaced.push_back({names[named[0]], size});
    files.push_back(file);
  }
  if (status != kDone) return status;

  const UpdatePlan plan(reader->archiveIndex(), newScenario ? &scenario : nullptr, replaced);
  if (!plan.error().empty()) {
    report(path + ": " + plan.error());
    return kRefused;
  }
  PieceWriter writer(path.c_str(), reader->size());
  reader.reset();  // Windows replaces no file that is open
  return writeArchive(writer, plan.pieces(), files, out.empty() ? path : out, out.empty() || force, quiet);
}

}  // namespace kerv
