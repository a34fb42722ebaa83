#include <clocale>
#include <cstring>
#include <iostream>

#include "archive/System.h"
#include "tools/KervCommands.h"
#include "tools/Reports.h"
#include "tools/TerminalText.h"

namespace {

using kerv::Command;

const Command* const kCommands[] = {
    &kerv::listCommand,   &kerv::extractCommand, &kerv::catCommand,
    &kerv::createCommand, &kerv::updateCommand,  &kerv::scenarioCommand,
    &kerv::diffCommand,   &kerv::patchCommand,   &kerv::stringsCommand,
#if KERV_GREP
    &kerv::grepCommand,
#endif
#if KERV_MOUNT
    &kerv::mountCommand,
#endif
};

const char kHelp[] =
    "Usage: kerv COMMAND [OPTION]... [ARGUMENT]...\n"
    "Work with KERV and P-KERV archives: list, extract with readable names, change\n"
    "the scenario or data files in place, pack a folder back byte for byte, and\n"
    "share a change as a small patch.\n"
    "\n"
    "Commands:\n"
    "  list ARCHIVE...          list and check archives, as kervls does\n"
    "  extract ARCHIVE [NAME]   write the scenario and data files under UTF-8 names\n"
    "  cat ARCHIVE NAME         write one data file on standard output\n"
    "  create SCENARIO [ARCHIVE]  pack a scenario and its data files\n"
    "  update ARCHIVE [NAME=FILE]...  replace data files or the scenario\n"
    "  scenario FILE            write the scenario as UTF-8 text\n"
    "  diff OLD NEW             what differs, and with --patch a VCDIFF patch\n"
    "  patch ARCHIVE PATCH      apply a VCDIFF patch (from kerv diff or xdelta3)\n"
    "  strings ARCHIVE          the scenario's lines for translators, as PO or CSV\n"
#if KERV_GREP
    "  grep PATTERN ARCHIVE...  search the scenarios of many archives\n"
#endif
#if KERV_MOUNT
    "  mount ARCHIVE DIR        mount the archive as a read-only folder\n"
#endif
    "\n"
    "      --help     display this help and exit\n"
    "      --version  output version information and exit\n"
    "\n"
    "'kerv COMMAND --help' tells more about each command. Names are shown and taken\n"
    "in UTF-8, decoded from and encoded to Shift_JIS by code page 932.\n"
    "\n"
    "Exit status:\n"
    " 0  if everything was done,\n"
    " 1  if something was refused, missing or damaged,\n"
    " 2  if serious trouble (a usage error, or a file that cannot be opened).\n";

const char kVersion[] =
    "kerv (KERV archive tools) " KERV_VERSION "\n"
    "Copyright (C) 2026 the KERV archive tools authors.\n"
    "License MIT: <https://opensource.org/licenses/MIT>.\n"
    "This is free software: you are free to change and redistribute it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";

int tryHelp() {
  std::cerr << "Try 'kerv --help' for more information." << std::endl;
  return kerv::kTrouble;
}

}  // namespace

int runKerv(int argc, char** argv) {
  prepareProcess();
  removeTemporariesOnSignals();
  argv = commandLineArguments(argc, argv);
  std::setlocale(LC_ALL, "");
  if (argc < 2) {
    kerv::report("missing command");
    return tryHelp();
  }
  const char* name = argv[1];
  if (std::strcmp(name, "--help") == 0) return finishOutput("kerv", (std::cout << kHelp, kerv::kDone));
  if (std::strcmp(name, "--version") == 0) return finishOutput("kerv", (std::cout << kVersion, kerv::kDone));
  for (const Command* command : kCommands) {
    if (std::strcmp(name, command->name) == 0) return command->run(argc - 1, argv + 1);
  }
  kerv::report(std::string(name[0] == '-' ? "unrecognized option '" : "'") + name +
               (name[0] == '-' ? "'" : "' is not a kerv command"));
  return tryHelp();
}
