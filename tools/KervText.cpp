// kerv list and kerv scenario: what an archive holds, and its scenario as
// UTF-8 text.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

#include "archive/Container.h"
#include "archive/SystemFile.h"
#include "archive/FileName.h"
#include "reader/ArchiveFiles.h"
#include "reader/ArchiveIndex.h"
#include "reader/ArchiveReader.h"
#include "scenario/Cp932.h"
#include "scenario/Dialect.h"
#include "tools/KervCommands.h"
#include "tools/KervCommon.h"
#include "tools/Lister.h"
#include "tools/TerminalText.h"

namespace kerv {

const Command listCommand = {
    "list", "list ARCHIVE... [NAME]...",
    "List the data files of each ARCHIVE and check its structure, as kervls does:\n"
    "a first line with the dialect, version, waiting time and number of data\n"
    "files, then each data block with its size, its offset and its name. Damage\n"
    "goes to standard error, with the offset of the first byte it concerns, and\n"
    "each listed data file without a block is named. With NAMEs (names or\n"
    "shell-style patterns, as for extract), only the data files they name are\n"
    "listed. An operand after the first is an archive when its name ends in .krv\n"
    "or .pkv or it is a file that starts as an archive does; from the first that\n"
    "is not, the operands are NAMEs.\n"
    "\n"
    "      --help  display this help and exit\n",
    runList};

namespace {

// Whether an operand of list names an archive rather than a data file: by
// its suffix, or by its first bytes.
bool looksLikeArchive(const std::string& operand) {
  const auto endsWith = [&](const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    if (operand.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i) {
      const char c = operand[operand.size() - n + i];
      if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != suffix[i]) return false;
    }
    return true;
  };
  if (endsWith(".krv") || endsWith(".pkv")) return true;
  SystemFile file;
  int64_t size = 0;
  char head[container::kMagicLength] = {};
  return file.openForReading(operand.c_str(), &size) && file.read(head, sizeof head) >= 3 &&
         dialectOfArchive(head, 3) != nullptr;
}

}  // namespace

int runList(int argc, char** argv) {
  static const option options[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  const int read = readOptions(listCommand, argc, argv, "", options, [](int, const char*) { return false; });
  if (read >= 0) return read;
  if (optind == argc) return usageError(listCommand, "missing archive operand");
  if (!standardOutputUsable()) return kTrouble;
  int archives = 1;
  while (optind + archives < argc && looksLikeArchive(argv[optind + archives])) ++archives;
  const std::vector<std::string> patterns(argv + optind + archives, argv + argc);
  return listAll(argv + optind, archives, "kerv", patterns);
}

const Command scenarioCommand = {
    "scenario", "scenario FILE",
    "Write the scenario of FILE, an archive of either dialect or a scenario file,\n"
    "on standard output as UTF-8 text, its line ends as stored. A byte that has no\n"
    "character shows as U+FFFD and is reported with its offset in the scenario.\n"
    "Edit the text and put it back with 'kerv update ARCHIVE --scenario-text FILE'.\n"
    "\n"
    "      --help  display this help and exit\n",
    runScenario};

int readScenarioOf(const std::string& path, std::string* text, std::string* name) {
  // An archive by its magic, else a scenario file by its own.
  SystemFile file;
  int64_t size = 0;
  char head[container::kMagicLength] = {};
  if (!file.openForReading(path.c_str(), &size) || file.read(head, sizeof head) < 0) {
    report(path + ": " + std::strerror(errno));
    return kTrouble;
  }
  if (const Dialect* dialect = dialectOfArchive(head, size < 3 ? static_cast<long>(size) : 3); dialect != nullptr) {
    // The head alone: the header and the scenario, not the blocks' sizes.
    ArchiveIndex index(size);
    std::string bytes;
    for (ArchiveIndex::Range r; (r = index.next()).length > 0 && index.scenarioText().empty();) {
      if (std::string(index.nextPart()) != "the header" && std::string(index.nextPart()) != "the scenario") break;
      bytes.resize(static_cast<std::size_t>(r.length));
      if (file.readAt(r.offset, bytes.data(), r.length) != r.length) {
        report(path + ": " + (errno != 0 ? std::strerror(errno) : "the file ends inside its scenario"));
        return kTrouble;
      }
      index.supply(r.offset, bytes.data(), r.length);
    }
    if (index.problem()) {
      report(path + ": " + index.problem().english());
      return kRefused;
    }
    *text = index.scenarioText();
    *name = scenarioNameFor(baseName(path), index.dialect());
    return kDone;
  }
  text->assign(head, static_cast<std::size_t>(size < 3 ? size : 3));
  char buffer[1 << 16];
  for (int64_t n; (n = file.read(buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      report(path + ": " + std::strerror(errno));
      return kTrouble;
    }
    text->append(buffer, static_cast<std::size_t>(n));
  }
  if (dialectOfScenario(text->data(), static_cast<long>(text->size())) == nullptr) {
    report(path + ": not a KERV or P-KERV archive or scenario");
    return kRefused;
  }
  *name = baseName(path);
  return kDone;
}

int runScenario(int argc, char** argv) {
  static const option options[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  const int read = readOptions(scenarioCommand, argc, argv, "", options, [](int, const char*) { return false; });
  if (read >= 0) return read;
  if (argc - optind != 1) return usageError(scenarioCommand, argc == optind ? "missing operand" : "extra operand");
  if (!standardOutputUsable()) return kTrouble;
  const std::string path = argv[optind];
  std::string text, name;
  if (const int status = readScenarioOf(path, &text, &name); status != kDone) return status;

  std::vector<std::size_t> bad;
  TextOutput out;
  out.stream() << cp932::toUtf8(text, cp932::Undecodable::replace, &bad);
  out.stream().flush();
  constexpr std::size_t kReportsShown = 10;
  for (std::size_t i = 0; i < bad.size() && i < kReportsShown; ++i) {
    char byte[8];
    std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(text[bad[i]]));
    report(path + ": scenario offset " + std::to_string(bad[i]) + ": byte " + byte + " has no character");
  }
  if (bad.size() > kReportsShown) {
    report(path + ": " + std::to_string(bad.size() - kReportsShown) + " more bytes have no character");
  }
  return finishOutput("kerv", bad.empty() ? kDone : kRefused, out.stream());
}

}  // namespace kerv
