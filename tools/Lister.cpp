#include "tools/Lister.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <string>

#include "archive/System.h"
#include "reader/ArchiveFiles.h"

namespace {

enum Status { kSound = 0, kDamaged = 1, kTrouble = 2 };

const char kHelp[] =
    "Usage: kervls [OPTION]... ARCHIVE...\n"
    "List the data files of each KERV or P-KERV ARCHIVE and check its structure,\n"
    "without extracting anything.\n"
    "\n"
    "      --help     display this help and exit\n"
    "      --version  output version information and exit\n"
    "\n"
    "For each archive, a first line gives its dialect, version, waiting time and\n"
    "number of data files; then each data block follows with its size, its offset\n"
    "in the archive (both in bytes) and its name. Names are shown in the locale's\n"
    "character set if it is UTF-8, otherwise in EUC-JP; a byte that does not\n"
    "convert is shown as \\xNN. Damage goes to standard error, with the offset of\n"
    "the first byte it concerns.\n"
    "\n"
    "Exit status:\n"
    " 0  if every archive is sound,\n"
    " 1  if an archive is damaged or is not an archive,\n"
    " 2  if serious trouble (a usage error, or a file that cannot be opened).\n";

const char kVersion[] =
    "kervls (KERV archive tools) " KERV_VERSION "\n"
    "Copyright (C) 2026 the KERV archive tools authors.\n"
    "License MIT: <https://opensource.org/licenses/MIT>.\n"
    "This is free software: you are free to change and redistribute it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";

int usageError() {
  std::cerr << "Try 'kervls --help' for more information." << std::endl;
  return kTrouble;
}

int digits(int64_t v) { return static_cast<int>(std::to_string(v).size()); }

}  // namespace

int listArchive(ArchiveReader& reader, const char* name, Charset charset, std::ostream& out, std::ostream& err,
                const char* program, const std::vector<bool>* chosen) {
  const std::vector<ArchiveEntry>& entries = reader.entries();
  out << name << ": " << reader.dialectName() << " archive, version " << reader.version() << ", waiting time "
      << reader.scenario().getWaitingTime() << " s, " << entries.size() << " data file"
      << (entries.size() == 1 ? "" : "s") << '\n';
  int sizeWidth = 1, offsetWidth = 1;
  for (const ArchiveEntry& e : entries) {
    sizeWidth = std::max(sizeWidth, digits(e.size));
    offsetWidth = std::max(offsetWidth, digits(e.offset));
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (chosen != nullptr && !(*chosen)[i]) continue;
    const ArchiveEntry& e = entries[i];
    out << std::setw(sizeWidth) << e.size << ' ' << std::setw(offsetWidth) << e.offset << "  "
        << toTerminal(e.name, charset) << '\n';
  }
  out.flush();  // the listing before its findings, on a terminal
  for (const std::string& finding : reader.damage()) err << program << ": " << name << ": " << finding << std::endl;
  return reader.damage().empty() ? kSound : kDamaged;
}

int listArchives(int argc, char** argv) {
  prepareStandardStreams();
  argv = commandLineArguments(argc, argv);
  std::setlocale(LC_ALL, "");
  static const option options[] = {{"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'v'},
                                   {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
    if (c == 'h') return finishOutput("kervls", (std::cout << kHelp, kSound));
    if (c == 'v') return finishOutput("kervls", (std::cout << kVersion, kSound));
    return usageError();  // getopt_long has said what was wrong
  }
  if (optind == argc) {
    std::cerr << "kervls: missing archive operand" << std::endl;
    return usageError();
  }

  return listAll(argv + optind, argc - optind, "kervls");
}

int listAll(char** names, int count, const char* program, const std::vector<std::string>& patterns) {
  const Charset charset = terminalCharset();
  TextOutput out;
  int status = kSound;
  for (int i = 0; i < count; ++i) {
    try {
      ArchiveReader reader(names[i]);
      std::vector<bool> chosen(reader.entries().size(), patterns.empty());
      std::vector<std::string> listNames;
      for (const ArchiveEntry& e : reader.entries()) listNames.push_back(e.name);
      std::vector<std::string> unmatched;
      for (const std::string& pattern : patterns) {
        const std::vector<std::size_t> found = entriesMatching(listNames, pattern);
        if (found.empty()) unmatched.push_back(noDataFileEnglish(reader.archiveIndex(), pattern));
        for (std::size_t k : found) chosen[k] = true;
      }
      status = std::max(status, listArchive(reader, names[i], charset, out.stream(), std::cerr, program, &chosen));
      for (const std::string& why : unmatched) std::cerr << program << ": " << names[i] << ": " << why << std::endl;
      if (!unmatched.empty()) status = std::max(status, int{kDamaged});
    } catch (const ArchiveError& e) {
      out.stream().flush();
      std::cerr << program << ": " << e.what() << std::endl;
      status = std::max(status, e.errorNumber() != 0 ? int{kTrouble} : int{kDamaged});
    }
  }
  return finishOutput(program, status, out.stream());
}
