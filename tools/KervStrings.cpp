// kerv strings and kerv grep: a scenario's lines for translators, as a PO
// or CSV file, and a search of the scenarios of many archives.
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>

#include "archive/FileName.h"
#include "reader/PieceWriter.h"
#include "scenario/Cp932.h"
#include "scenario/Strings.h"
#include "tools/KervCommands.h"
#include "tools/KervCommon.h"
#include "tools/TerminalText.h"

#if KERV_GREP
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#endif

namespace kerv {

const Command stringsCommand = {
    "strings", "strings [--format po|csv] [-o FILE] ARCHIVE",
    "Write the lines of the scenario of ARCHIVE (or of a scenario file) that hold a\n"
    "character outside ASCII, the title block's and the body's, for translators:\n"
    "as a PO file (gettext's, for Poedit, Weblate or OmegaT), each line an entry\n"
    "with msgctxt its line number and msgid its text, or as a CSV file (RFC 4180,\n"
    "UTF-8 with a byte order mark, for a spreadsheet) with the columns line,\n"
    "source and translation. Put the translations back with\n"
    "'kerv update ARCHIVE --strings FILE'. A line holding a byte that has no\n"
    "character shows it as U+FFFD and takes no translation.\n"
    "\n"
    "      --format=FORMAT  po (the default) or csv\n"
    "  -o, --output=FILE    write FILE (whole or not at all) instead of standard\n"
    "                       output ('-')\n"
    "  -f, --force          replace FILE if it is a regular file that exists\n"
    "      --help           display this help and exit\n",
    runStrings};

int runStrings(int argc, char** argv) {
  std::string format = "po", out;
  bool force = false;
  static const option options[] = {{"format", required_argument, nullptr, 'F'},
                                   {"output", required_argument, nullptr, 'o'},
                                   {"force", no_argument, nullptr, 'f'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
  const int read = readOptions(stringsCommand, argc, argv, "o:f", options, [&](int c, const char* arg) {
    if (c == 'F') format = arg;
    if (c == 'o') out = arg;
    force = force || c == 'f';
    return true;
  });
  if (read >= 0) return read;
  if (out == "-") out.clear();
  if (format != "po" && format != "csv") {
    return usageError(stringsCommand, "invalid argument '" + format + "' for '--format' (po or csv)");
  }
  if (argc - optind != 1) return usageError(stringsCommand, argc == optind ? "missing operand" : "extra operand");
  std::string text, name;
  if (const int status = readScenarioOf(argv[optind], &text, &name); status != kDone) return status;
  const std::vector<strings::Line> lines = strings::translatableLines(text);
  const std::string file =
      format == "po" ? strings::toPo(lines, name, KERV_VERSION) : strings::toCsv(lines);
  if (out.empty()) {
    if (!standardOutputUsable()) return kTrouble;
    std::cout.write(file.data(), static_cast<std::streamsize>(file.size()));
    return finishOutput("kerv", kDone);
  }
  WriteTarget target;
  if (!WriteTarget::at(out, force, &target)) {
    report(folderOf(out) + ": " + std::strerror(errno));
    return kTrouble;
  }
  PieceWriter writer({});
  if (writer.write({Piece::ofBytes(file)}, target)) return kDone;
  const bool exists = writer.failureKind() == PieceWriter::Failure::system && writer.errorNumber() == EEXIST;
  report(writer.failure() + (exists ? " (--force replaces it)" : ""));
  return exists || writer.failureKind() != PieceWriter::Failure::system ? kRefused : kTrouble;
}

#if KERV_GREP

const Command grepCommand = {
    "grep", "grep [-i] [-F] [-c] PATTERN ARCHIVE...",
    "Search the scenarios of the ARCHIVEs (or scenario files) for PATTERN, a PCRE2\n"
    "regular expression matched against each line as UTF-8 text (as 'kerv\n"
    "scenario' shows it), and print each line that matches as ARCHIVE:LINE: TEXT.\n"
    "Only each archive's head is read.\n"
    "\n"
    "  -i, --ignore-case   ignore case\n"
    "  -F, --fixed-strings  PATTERN is text, not an expression\n"
    "  -c, --count         print each archive's number of matching lines instead\n"
    "      --help          display this help and exit\n"
    "\n"
    "Exit status: 0 if a line matched, 1 if none did, 2 if trouble (as grep).\n",
    runGrep};

int runGrep(int argc, char** argv) {
  bool caseless = false, fixed = false, count = false;
  static const option options[] = {{"ignore-case", no_argument, nullptr, 'i'},
                                   {"fixed-strings", no_argument, nullptr, 'F'},
                                   {"count", no_argument, nullptr, 'c'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
  const int read = readOptions(grepCommand, argc, argv, "iFc", options, [&](int c, const char*) {
    caseless = caseless || c == 'i';
    fixed = fixed || c == 'F';
    count = count || c == 'c';
    return true;
  });
  if (read >= 0) return read;
  if (argc - optind < 2) return usageError(grepCommand, argc == optind ? "missing pattern" : "missing archive operand");
  if (!standardOutputUsable()) return kTrouble;
  const std::string pattern = argv[optind];
  int code = 0;
  PCRE2_SIZE offset = 0;
  // Unicode's classes for \\w and the like (a literal has none).
  const uint32_t flags = PCRE2_UTF | (fixed ? PCRE2_LITERAL : PCRE2_UCP) | (caseless ? PCRE2_CASELESS : 0);
  const std::unique_ptr<pcre2_code, void (*)(pcre2_code*)> regex(
      pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), flags, &code, &offset, nullptr),
      pcre2_code_free);
  if (!regex) {
    PCRE2_UCHAR why[256];
    pcre2_get_error_message(code, why, sizeof why);
    report("the pattern at " + std::to_string(offset) + ": " + reinterpret_cast<const char*>(why));
    return kTrouble;
  }
  pcre2_jit_compile(regex.get(), PCRE2_JIT_COMPLETE);  // where the platform has it
  const std::unique_ptr<pcre2_match_data, void (*)(pcre2_match_data*)> match(
      pcre2_match_data_create_from_pattern(regex.get(), nullptr), pcre2_match_data_free);
  bool found = false, trouble = false;
  TextOutput out;
  for (int i = optind + 1; i < argc; ++i) {
    const std::string path = argv[i];
    std::string text, name;
    if (readScenarioOf(path, &text, &name) != kDone) {
      trouble = true;
      continue;
    }
    const std::string shown = cp932::toUtf8(text, cp932::Undecodable::replace);
    std::size_t matched = 0, number = 0;
    for (std::size_t at = 0; at < shown.size();) {
      const std::size_t lf = shown.find('\n', at);
      const std::size_t next = lf == std::string::npos ? shown.size() : lf + 1;
      std::size_t end = lf == std::string::npos ? shown.size() : lf;
      if (end > at && shown[end - 1] == '\r') --end;
      ++number;
      const int r = pcre2_match(regex.get(), reinterpret_cast<PCRE2_SPTR>(shown.data() + at), end - at, 0, 0,
                                match.get(), nullptr);
      if (r >= 0) {
        ++matched;
        if (!count) out.stream() << path << ":" << number << ": " << shown.substr(at, end - at) << "\n";
      } else if (r != PCRE2_ERROR_NOMATCH) {
        PCRE2_UCHAR why[256];
        pcre2_get_error_message(r, why, sizeof why);
        report(path + ":" + std::to_string(number) + ": " + reinterpret_cast<const char*>(why));
        trouble = true;
      }
      at = next;
    }
    if (count) out.stream() << path << ":" << matched << "\n";
    found = found || matched > 0;
  }
  return finishOutput("kerv", trouble ? kTrouble : found ? kDone : kRefused, out.stream());
}

#endif

}  // namespace kerv
