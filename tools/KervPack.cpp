// kerv create and kerv update: an archive packed from a folder, and an
// archive with its scenario or some data files replaced.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

#include "archive/Container.h"
#include "archive/FileIdentity.h"
#include "archive/FileName.h"
#include "archive/System.h"
#include "archive/SystemFile.h"
#include "archive/SystemFolder.h"
#include "reader/ArchiveFiles.h"
#include "reader/ArchiveReader.h"
#include "reader/InPlace.h"
#include "reader/PackPlan.h"
#include "reader/PieceWriter.h"
#include "reader/UpdatePlan.h"
#include "scenario/ScenarioText.h"
#include "scenario/Strings.h"
#include "scenario/Utf8.h"
#include "tools/KervCommands.h"
#include "tools/KervCommon.h"

namespace kerv {

namespace {

// The bytes of a file named on the command line ("-": standard input),
// read whole, and the file when it is a regular one. Pipes and process
// substitutions are read to their end.
struct InputText {
  std::string bytes;
  FileIdentity identity;  // type none for a pipe
};

// Reads `name` into `in`, refusing more than `limit` bytes; reports a
// failure and returns its status, else kDone.
int readInput(const std::string& name, int64_t limit, InputText& in) {
  SystemFile file;
  int64_t size = 0;
  if (!file.openStream(name.c_str(), &size)) {
    report(name + ": " + std::strerror(errno));
    return kTrouble;
  }
  if (size >= 0) file.identity(&in.identity);
  if (size > limit) {
    report(name + ": " + PackPlan::lengthError(size));
    return kRefused;
  }
  char buffer[1 << 16];
  in.bytes.clear();
  for (int64_t n; (n = file.read(buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      report(name + ": " + std::strerror(errno));
      return kTrouble;
    }
    in.bytes.append(buffer, static_cast<std::size_t>(n));
    if (static_cast<int64_t>(in.bytes.size()) > limit) {
      report(name + ": " + PackPlan::lengthError(static_cast<int64_t>(in.bytes.size())));
      return kRefused;
    }
  }
  return kDone;
}

// Reports why a scenario cannot be packed; returns the status.
int reportScenario(const std::string& name, const Problem& problem, const char* hint) {
  if (problem.code == Problem::Code::bareLineFeed || problem.code == Problem::Code::bareCarriageReturn) {
    report(name + ":" + std::to_string(problem.n[0]) + ": the line ends in " +
           (problem.code == Problem::Code::bareLineFeed ? "LF" : "CR") +
           " alone; save the scenario with CR LF line ends" + hint);
  } else {
    report(name + ": " + problem.english());
  }
  return kRefused;
}

// Puts the translations of the PO or CSV file `name` into `scenario`;
// reports every error and returns the status, else kDone with *out the
// scenario translated.
int translate(const std::string& name, const std::string& scenario, std::string* out) {
  InputText in;
  if (const int status = readInput(name, int64_t{64} << 20, in); status != kDone) return status;
  std::vector<strings::Entry> entries;
  std::vector<strings::Error> errors;
  const bool read = strings::formatOf(name, in.bytes) == strings::Format::po
                        ? strings::readPo(in.bytes, &entries, &errors)
                        : strings::readCsv(in.bytes, &entries, &errors);
  if (read) strings::applyTranslations(scenario, entries, out, &errors);
  for (const strings::Error& e : errors) {
    std::string line = name;
    line.append(e.fileLine > 0 ? ":" : ": ").append(e.fileLine > 0 ? e.where() : e.message);
    report(line);
  }
  return errors.empty() ? kDone : kRefused;
}

// Whether a scenario's bytes look like UTF-8 text: UTF-8 throughout, with
// a character of several bytes, which Shift_JIS text practically never is.
bool looksLikeUtf8(const std::string& bytes) {
  bool wide = false;
  for (const char* p = bytes.data(), *end = p + bytes.size(); p < end;) {
    const char* at = p;
    char32_t c;
    if (!utf8::next(p, end, &c)) return false;
    wide = wide || p - at > 1;
  }
  return wide;
}

// A data file given as NAME=FILE: open, and measured. A pipe is copied
// into a scratch file first, since its size goes before its bytes.
int openDataFile(const std::string& name, std::unique_ptr<SystemFile>& file, int64_t& size, FileIdentity& identity) {
  auto stream = std::make_unique<SystemFile>();
  if (!stream->openStream(name.c_str(), &size)) {
    report(name + ": " + std::strerror(errno));
    return kTrouble;
  }
  if (size >= 0) {
    stream->identity(&identity);
    file = std::move(stream);
    return kDone;
  }
  file = std::make_unique<SystemFile>();
  if (!file->createAnonymous()) {
    report(name + ": a scratch copy cannot be made: " + std::strerror(errno));
    return kTrouble;
  }
  char buffer[1 << 16];
  size = 0;
  for (int64_t n; (n = stream->read(buffer, sizeof buffer)) != 0; size += n) {
    if (n < 0) {
      report(name + ": " + std::strerror(errno));
      return kTrouble;
    }
    for (int64_t at = 0, w; at < n; at += w) {
      if ((w = file->write(buffer + at, n - at)) < 0) {
        report(name + ": a scratch copy cannot be made: " + std::strerror(errno));
        return kTrouble;
      }
    }
  }
  return kDone;
}

// Writes the pieces as the target and reports a failure; returns the status.
int writeArchive(PieceWriter& writer, const std::vector<Piece>& pieces, const WriteTarget& target, bool quiet) {
  ProgressBar bar("writing", totalLength(pieces), quiet);
  const bool ok = writer.write(pieces, target, [&](int64_t done) { bar.show(done); });
  if (!writer.note().empty()) report(writer.note());
  if (ok) return kDone;
  const bool exists = writer.failureKind() == PieceWriter::Failure::system && writer.errorNumber() == EEXIST;
  report(writer.failure() + (exists ? " (--force replaces it)" : ""));
  return exists || writer.failureKind() != PieceWriter::Failure::system ? kRefused : kTrouble;
}

// The target named on the command line, in its folder; reports a failure.
bool targetAt(const std::string& path, bool replace, WriteTarget& target) {
  if (WriteTarget::at(path, replace, &target)) return true;
  report(folderOf(path) + ": " + std::strerror(errno));
  return false;
}

}  // namespace

const Command createCommand = {
    "create", "create [-C DIR] [--strings FILE] [--force] [-q] SCENARIO [ARCHIVE]",
    "Pack SCENARIO and every data file its file list names into ARCHIVE, byte for\n"
    "byte the archive krvmake or pkvmake makes. Each data file is looked for in DIR\n"
    "by its name as stored, then by its name in UTF-8 with '\\' separating folders,\n"
    "so a folder written by 'kerv extract' packs back to the identical archive.\n"
    "ARCHIVE defaults to SCENARIO with the dialect's archive suffix (story.ker gives\n"
    "story.krv). No archive is left behind when a data file is missing.\n"
    "\n"
    "  -C, --directory=DIR  look for data files in DIR (default: SCENARIO's folder)\n"
    "      --strings=FILE   pack SCENARIO translated by FILE, a PO or CSV file as\n"
    "                       'kerv strings' writes it (see 'kerv update --help')\n"
    "  -f, --force          replace ARCHIVE if it exists (never replaced otherwise)\n"
    "  -q, --quiet          draw no progress bar\n"
    "      --help           display this help and exit\n",
    runCreate};

int runCreate(int argc, char** argv) {
  std::string folder, stringsFile;
  bool force = false, quiet = false;
  static const option options[] = {{"directory", required_argument, nullptr, 'C'},
                                   {"strings", required_argument, nullptr, 'S'},
                                   {"force", no_argument, nullptr, 'f'},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
  const int read = readOptions(createCommand, argc, argv, "C:fq", options, [&](int c, const char* arg) {
    if (c == 'C') folder = arg;
    if (c == 'S') stringsFile = arg;
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
  if (argc - optind == 2) {
    if (const int status = refuseStandardOutput(createCommand, argv[optind + 1]); status != kDone) return status;
  }

  InputText scenario;
  if (const int status = readInput(scenarioName, container::kMaxScenarioSize, scenario); status != kDone) return status;
  if (!stringsFile.empty()) {
    std::string translated;
    if (const int status = translate(stringsFile, scenario.bytes, &translated); status != kDone) return status;
    scenario.bytes = std::move(translated);
  }
  const PackPlan plan(scenario.bytes.data(), static_cast<int64_t>(scenario.bytes.size()));
  if (plan.problem()) return reportScenario(scenarioName, plan.problem(), "");

  SystemFolder data;
  if (!data.open(folder, false)) {
    report(folder + ": " + std::strerror(errno));
    return kTrouble;
  }
  const std::vector<DataFile> found = findDataFiles(plan, data);
  PieceSources sources;
  std::vector<int64_t> sizes;
  int status = kDone;
  for (const DataFile& f : found) {
    if (f.problem) {
      report(describe(f));
      status = kRefused;
    }
    sources.files.push_back(f.file.get());
    sizes.push_back(f.size);
  }
  if (status != kDone) return status;

  const std::string path = argc - optind == 2 ? argv[optind + 1] : archivePathFor(scenarioName, plan.dialect());
  WriteTarget target;
  if (!targetAt(path, force, target)) return kTrouble;
  PieceWriter writer(sources);
  writer.protect(scenario.identity, "the scenario being packed");
  for (const DataFile& f : found) writer.protect(f.identity, "a data file being packed");
  return writeArchive(writer, plan.pieces(sizes), target, quiet);
}

const Command updateCommand = {
    "update",
    "update [-o OUT] [--force] [--scenario FILE | --scenario-text FILE | --strings FILE] [-q] ARCHIVE [NAME=FILE...]",
    "Replace data files of ARCHIVE (NAME=FILE: the data file NAME by the bytes of\n"
    "FILE, every occurrence of a name listed twice) and/or its scenario, and write\n"
    "the result in one step: nothing is written at all when anything fails. NAME\n"
    "is the name as 'kerv list' shows it, or the bytes as stored; FILE may be '-'\n"
    "(standard input) or a pipe.\n"
    "\n"
    "In place, the archive keeps its permission bits, owner and group, and is\n"
    "replaced where a symbolic link leads; a read-only archive, or one with several\n"
    "hard links, is refused unless --force. One update of an archive runs at a\n"
    "time, and an update that changes nothing writes nothing.\n"
    "\n"
    "      --scenario=FILE       the new scenario's bytes, as stored\n"
    "      --scenario-text=FILE  the new scenario as UTF-8 text ('-': standard input),\n"
    "                            as 'kerv scenario' shows it: a BOM is dropped, an LF\n"
    "                            without CR becomes CR LF, and each line left as it\n"
    "                            was keeps its bytes; every character without a\n"
    "                            code is reported\n"
    "      --strings=FILE        translations, a PO or CSV file as 'kerv strings'\n"
    "                            writes it: each entry with a translation (not\n"
    "                            fuzzy) takes the place of its line, which must\n"
    "                            still read as the entry's source; every other line\n"
    "                            keeps its bytes\n"
    "  -o, --output=OUT          write the archive as OUT (default: replace ARCHIVE)\n"
    "  -f, --force               replace OUT if it is a regular file that exists;\n"
    "                            update a read-only archive, or give this name of a\n"
    "                            linked one the new archive; take a --scenario FILE\n"
    "                            that looks like UTF-8 text\n"
    "  -q, --quiet               draw no progress bar\n"
    "      --help                display this help and exit\n"
    "\n"
    "With a new scenario each name of its file list takes the file given for it,\n"
    "else the archive's data file of that name; the new scenario must be of the\n"
    "archive's dialect.\n",
    runUpdate};

int runUpdate(int argc, char** argv) {
  std::string out, scenarioFile, textFile, stringsFile;
  bool force = false, quiet = false;
  static const option options[] = {{"output", required_argument, nullptr, 'o'},
                                   {"force", no_argument, nullptr, 'f'},
                                   {"scenario", required_argument, nullptr, 's'},
                                   {"scenario-text", required_argument, nullptr, 't'},
                                   {"strings", required_argument, nullptr, 'S'},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
  const int read = readOptions(updateCommand, argc, argv, "o:fq", options, [&](int c, const char* arg) {
    if (c == 'o') out = arg;
    if (c == 's') scenarioFile = arg;
    if (c == 't') textFile = arg;
    if (c == 'S') stringsFile = arg;
    force = force || c == 'f';
    quiet = quiet || c == 'q';
    return true;
  });
  if (read >= 0) return read;
  if (optind == argc) return usageError(updateCommand, "missing archive operand");
  if ((!scenarioFile.empty()) + (!textFile.empty()) + (!stringsFile.empty()) > 1) {
    return usageError(updateCommand, "--scenario, --scenario-text and --strings exclude each other");
  }
  if (const int status = refuseStandardOutput(updateCommand, out); status != kDone) return status;
  const std::string path = argv[optind];
  int status = kDone;
  std::unique_ptr<ArchiveReader> reader = openArchive(path, status);
  if (!reader) return status;
  FileIdentity archive;
  if (!reader->file().identity(&archive)) {
    report(path + ": " + std::strerror(errno));
    return kTrouble;
  }

  // In place: the file the path leads to, locked for this update alone.
  const bool inPlace = out.empty();
  InPlace place;
  WriteTarget outTarget;
  if (inPlace) {
    int error = 0;
    const InPlace::Refusal refusal = InPlace::prepare(path, reader->file(), &place, &error);
    if (refusal != InPlace::Refusal::none) {
      report(path + ": " + InPlace::english(refusal, error, "archive", "--force", archive.links));
      return refusal == InPlace::Refusal::system ? kTrouble : kRefused;
    }
  } else if (!targetAt(out, force, outTarget)) {
    return kTrouble;
  }
  const WriteTarget& target = inPlace ? place.target : outTarget;

  // The new scenario, and the names its list holds (else the archive's).
  std::string scenario;
  FileIdentity scenarioIdentity;
  const bool newScenario = !scenarioFile.empty() || !textFile.empty() || !stringsFile.empty();
  const std::string& scenarioName = !scenarioFile.empty() ? scenarioFile : !textFile.empty() ? textFile : stringsFile;
  if (!stringsFile.empty()) {
    if (const int s = translate(stringsFile, reader->scenarioText(), &scenario); s != kDone) return s;
  } else if (newScenario) {
    InputText in;
    // Text may be longer than the bytes it encodes to: the bytes are checked after.
    const int64_t limit = scenarioFile.empty() ? int64_t{16} << 20 : container::kMaxScenarioSize;
    if (const int s = readInput(scenarioName, limit, in); s != kDone) return s;
    scenarioIdentity = in.identity;
    TextError error;
    std::vector<TextError> all;
    if (scenarioFile.empty() && !textToScenario(in.bytes, reader->scenarioText(), scenario, &error, &all)) {
      for (const TextError& e : all) report(textFile + ":" + e.message());
      return kRefused;
    }
    if (!scenarioFile.empty()) {
      if (looksLikeUtf8(in.bytes) && !force) {
        report(scenarioFile + " looks like UTF-8 text; --scenario takes the scenario's own Shift_JIS bytes; use "
                              "--scenario-text " + scenarioFile);
        return kRefused;
      }
      scenario = std::move(in.bytes);
    }
  }
  std::vector<std::string> names;
  if (newScenario) {
    const PackPlan plan(scenario.data(), static_cast<int64_t>(scenario.size()));
    if (plan.problem()) return reportScenario(scenarioName, plan.problem(), ", or use --scenario-text");
    names = plan.names();
  } else {
    for (const ArchiveEntry& e : reader->entries()) names.push_back(e.name);
  }

  // NAME=FILE: NAME ends at the first '=' after which a name of the list stands.
  std::vector<UpdatePlan::Replacement> replaced;
  std::vector<std::unique_ptr<SystemFile>> files;
  std::vector<FileIdentity> fileIdentities;
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
      const std::string given = arg.substr(0, arg.find('='));
      if (const Problem* missing = newScenario ? nullptr : missingBlockOf(reader->archiveIndex(), given)) {
        report(path + ": " + missing->english());
      } else {
        report(arg + ": no data file " + given + (newScenario ? " in the new scenario's list" : " in " + path));
      }
      status = std::max(status, int{kRefused});
      continue;
    }
    std::unique_ptr<SystemFile> file;
    int64_t size = 0;
    FileIdentity identity;
    if (const int s = openDataFile(arg.substr(at + 1), file, size, identity); s != kDone) {
      status = std::max(status, s);
      continue;
    }
    replaced.push_back({names[named[0]], size});
    files.push_back(std::move(file));
    fileIdentities.push_back(identity);
  }
  if (status != kDone) return status;

  const UpdatePlan plan(reader->archiveIndex(), newScenario ? &scenario : nullptr, replaced);
  if (plan.problem()) {
    report(path + ": " + plan.error());
    return kRefused;
  }
  for (const UpdatePlan::Dropped& d : plan.dropped()) {
    report(shown(d.name) + " (" + std::to_string(d.size) + " bytes) is no longer listed and is left out");
  }
  PieceSources sources{&reader->file(), {}};
  for (const auto& f : files) sources.files.push_back(f.get());
  if (inPlace && (plan.unchanged(reader->size()) || sameAsArchive(plan.pieces(), sources, reader->size()))) {
    report(path + ": nothing to change; the archive is left as it is");
    return kDone;
  }
  if (const InPlace::Refusal refusal = inPlace ? place.check(force) : InPlace::Refusal::none;
      refusal != InPlace::Refusal::none) {
    report(path + ": " + InPlace::english(refusal, 0, "archive", "--force", archive.links));
    return kRefused;
  }

  PieceWriter writer(sources);
  if (!inPlace) writer.protect(archive, "the archive being read");
  writer.protect(scenarioIdentity, "the new scenario");
  for (const FileIdentity& id : fileIdentities) writer.protect(id, "a data file being read");
  if (!SystemFile::kCanReplaceOpenFiles) writer.setBeforeReplacing([&] {
    reader.reset();
    return true;
  });
  const int result = writeArchive(writer, plan.pieces(), target, quiet);
  if (result == kDone && inPlace && archive.links > 1) {
    report(path + ": this name holds the new archive; its " + std::to_string(archive.links - 1) +
           " other hard link" + (archive.links == 2 ? " keeps" : "s keep") + " the old one");
  }
  return result;
}

}  // namespace kerv
