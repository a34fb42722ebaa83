// A scenario's text for translators, in the files their tools take: the
// lines to translate written as a PO file (gettext's; Poedit, Weblate,
// OmegaT read it) or a CSV file (RFC 4180; a spreadsheet), and such a file
// read back and its translations put into the scenario, each in place of
// the line it translates; every other line keeps its bytes.
//
// A line to translate is any line of the scenario (title block and body)
// holding a character outside ASCII. Lines are numbered from 1 and end at
// an LF (a CR before it belongs to the line end). A line holding a byte
// with no character shows it as U+FFFD, as kerv scenario does, and takes no
// translation: it can only come back unchanged.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace strings {

struct Line {
  std::size_t number = 0;    // in the scenario, from 1
  std::string text;          // UTF-8, without its line end
  bool undecodable = false;  // it holds a byte with no character
};

// The lines to translate, in scenario order.
std::vector<Line> translatableLines(std::string_view scenario);

// The lines as a PO file: a header entry (charset UTF-8, X-Generator kerv
// `version`), then for each line "#: NAME:LINE", msgctxt "LINE", msgid the
// line and msgstr "" (a line with a byte that has no character flagged
// "#, no-translation" and commented). `name` is the scenario's file name.
std::string toPo(const std::vector<Line>& lines, const std::string& name, const std::string& version);
// The lines as a CSV file: a byte order mark, the row line,source,translation,
// then a row for each line, CR LF after each row.
std::string toCsv(const std::vector<Line>& lines);

// A translation read from a file.
struct Entry {
  std::size_t line = 0;      // of the scenario
  std::string source;        // the line as it read when it was written out
  std::string translation;   // empty: none given
  bool fuzzy = false;        // marked fuzzy: not used
  std::size_t fileLine = 0;  // where the entry starts in the file
  // Where each character of `translation` stands in the file: its line and
  // column (from 1, in characters).
  std::vector<std::pair<std::size_t, std::size_t>> places;
};

// What is wrong, and where in the file (column 0: the line as a whole).
struct Error {
  std::size_t fileLine = 0;
  std::size_t column = 0;
  std::string message;  // in English
  // The same as a code with its values, for the page to word: "stale",
  // "noCode" (character), "lineEnd", "undecodable", "noLine", "twice"
  // (other: the file line of the first), "notUtf8", "tooLong" (size), and
  // "syntax" for what cannot be read (message alone).
  std::string code = "syntax";
  std::size_t line = 0;  // of the scenario
  char32_t character = 0;
  std::size_t other = 0;
  // "N:COL: message", or "N: message".
  std::string where() const;
};

enum class Format { po, csv };

// The format of a file named `name` holding `bytes`: by its name's suffix
// (.po, .pot, .csv), else by its first line.
Format formatOf(const std::string& name, std::string_view bytes);

// Reads a PO file (gettext's syntax: comments, flags, msgctxt, msgid and
// msgstr, each string on one line or continued on the next, with C's
// escapes) or a CSV file (RFC 4180, with or without a byte order mark; the
// columns named line, source and translation in its first row). False, with
// every error found, when it cannot be read.
bool readPo(std::string_view bytes, std::vector<Entry>* entries, std::vector<Error>* errors);
bool readCsv(std::string_view bytes, std::vector<Entry>* entries, std::vector<Error>* errors);

// The scenario with the translations of `entries` put in: each entry with a
// translation that is not fuzzy replaces its line, which must still read
// as its source; every other line keeps its bytes. False, with every error
// found (a line that reads otherwise now, a character with no code in
// Shift_JIS, a translation holding a line end, a line that takes none, a
// scenario grown past what one may hold), when any is wrong.
bool applyTranslations(std::string_view scenario, const std::vector<Entry>& entries, std::string* out,
                       std::vector<Error>* errors);

}  // namespace strings
