// What the commands of `kerv` share: their statuses and reports, how a
// name given on the command line finds data files, the names of derived
// files, and the progress bar.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "reader/ArchiveReader.h"

namespace kerv {

// The exit status: the worst thing that happened decides.
enum Status {
  kDone = 0,     // everything was done
  kRefused = 1,  // something was refused, missing or damaged
  kTrouble = 2,  // a usage error, or a file that cannot be opened, read or written
};

// A command: its name, usage line (after "kerv "), help text and driver.
struct Command {
  const char* name;
  const char* usage;
  const char* help;
  int (*run)(int argc, char** argv);
};

// Writes "kerv: <message>" on standard error.
void report(const std::string& message);

// The command's options, as getopt_long reads them from argv (argv[0] is
// the command), each handed to `take` with its argument; --help prints the
// help and the status is kDone, an unknown option says so and the status
// is kTrouble, as is an empty argument (no name, as if none were given).
// Returns -1 once the options are read (optind is then the first operand),
// else the status to exit with.
template <class Take>
int readOptions(const Command& command, int argc, char** argv, const char* shortOptions, const option* longOptions,
                Take take);

// Prints the command's help on standard output; returns its status.
int printHelp(const Command& command);
// Reports a usage error ("kerv: <message>", when given, then how to get
// help) and returns kTrouble.
int usageError(const Command& command, const std::string& message = "");
// Where `name`, a file an archive or a patch is written to, is "-" (which
// elsewhere means standard output: these are written whole, to a file
// only), reports a usage error and returns kTrouble; else kDone.
int refuseStandardOutput(const Command& command, const std::string& name);

// The archive at `path`, or null when it cannot be used: then its reason
// is reported and `status` is kTrouble (it cannot be opened) or kRefused
// (it is no archive).
std::unique_ptr<ArchiveReader> openArchive(const std::string& path, int& status);

// The scenario of `path`, an archive of either dialect (only its head is
// read) or a scenario file, into *text, and its file's name into *name
// (an archive's as kerv extract names it). Reports a failure and returns
// its status, else kDone.
int readScenarioOf(const std::string& path, std::string* text, std::string* name);

// Whether standard output reaches anyone: false, after "kerv: standard
// output: Bad file descriptor", when it was closed when kerv started.
bool standardOutputUsable();

// A file-list name (Shift_JIS) as the commands show it: in UTF-8, with a
// byte that has no character or a control character as \xNN.
std::string shown(const std::string& name);

// A progress bar on standard error, for work of `total` bytes: drawn only
// when standard error is a terminal, the work is over 64 MiB and it is not
// silenced; redrawn at most ten times a second, and wiped at the end.
class ProgressBar {
 public:
  ProgressBar(const char* what, int64_t total, bool quiet);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  void show(int64_t done);
  // Wipes the bar, for a message; show() draws it again.
  void wipe();
  // The line drawn for `done` bytes on a terminal of `columns` columns: it
  // never reaches the last column, so that the terminal does not wrap it.
  std::string line(int64_t done, int columns) const;

 private:
  const char* what;
  int64_t total;
  bool shown = false;
  bool active;
  int64_t lastDrawn = -1;  // milliseconds
  int columns = 80;        // of the terminal when last drawn
};

// ---- The template ----

template <class Take>
int readOptions(const Command& command, int argc, char** argv, const char* shortOptions, const option* longOptions,
                Take take) {
  static char program[] = "kerv";
  argv[0] = program;  // getopt_long's messages start with it
  for (int c; (c = getopt_long(argc, argv, shortOptions, longOptions, nullptr)) != -1;) {
    if (c == 'h') return printHelp(command);
    if (c == '?' || c == ':') return usageError(command);
    if (optarg != nullptr && *optarg == '\0') {
      std::string name(1, static_cast<char>(c));
      for (const option* o = longOptions; o->name != nullptr; ++o) {
        if (o->val == c) name = std::string("-") + o->name;
      }
      return usageError(command, "option '-" + name + "' requires an argument");
    }
    if (!take(c, optarg)) return usageError(command);
  }
  return -1;
}

}  // namespace kerv
