#include "scenario/Strings.h"

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <map>

#include "archive/Container.h"
#include "scenario/Cp932.h"
#include "scenario/Utf8.h"

namespace strings {

namespace {

// A line of the scenario: its bytes without the line end, and the end.
struct Span {
  std::string_view content, end;
};

std::vector<Span> spansOf(std::string_view scenario) {
  std::vector<Span> spans;
  while (!scenario.empty()) {
    const std::size_t lf = scenario.find('\n');
    std::size_t stop = lf == std::string_view::npos ? scenario.size() : lf;
    const std::size_t next = lf == std::string_view::npos ? scenario.size() : lf + 1;
    if (lf != std::string_view::npos && stop > 0 && scenario[stop - 1] == '\r') --stop;
    spans.push_back({scenario.substr(0, stop), scenario.substr(stop, next - stop)});
    scenario.remove_prefix(next);
  }
  return spans;
}

// The next character of `s` from `at` (moving it on); kNotUtf8 for a byte
// that starts none.
char32_t nextCharacter(std::string_view s, std::size_t& at) {
  char32_t c = 0;
  const char* p = s.data() + at;
  if (!utf8::next(p, s.data() + s.size(), &c)) {
    ++at;
    return cp932::kNotUtf8;
  }
  at = static_cast<std::size_t>(p - s.data());
  return c;
}

std::string noCode(char32_t c) {
  char text[32];
  std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(c));
  std::string shown;
  if (!cp932::isControl(c)) utf8::append(shown, c);
  return std::string(text) + (shown.empty() ? "" : " '" + shown + "'") + " has no code in Shift_JIS (code page 932)";
}

// A PO string's text as gettext writes it: backslash, quote, tab, CR and
// LF escaped.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default: out += c;
    }
  }
  return out + "\"";
}

std::string csvField(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

bool allDigits(std::string_view s) {
  return !s.empty() && s.size() < 10 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// ---- Reading: text with where each character came from ----

// Text read from a file, each character with its line and column there.
struct Placed {
  std::string text;
  std::vector<std::pair<std::size_t, std::size_t>> places;
  void add(const std::string& utf8, std::size_t line, std::size_t column) {
    text += utf8;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
      if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) places.emplace_back(line, column);
    }
  }
};

// The lines of a file, each without its line end, and whether the file is
// UTF-8 throughout (else `errors` gets where it is not).
std::vector<std::string_view> fileLines(std::string_view bytes, std::vector<Error>* errors) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  std::vector<std::string_view> lines;
  for (const Span& s : spansOf(bytes)) lines.push_back(s.content);
  for (std::size_t n = 0; n < lines.size(); ++n) {
    std::size_t column = 1;
    for (std::size_t at = 0; at < lines[n].size(); ++column) {
      if (nextCharacter(lines[n], at) == cp932::kNotUtf8) {
        errors->push_back({n + 1, column, "the text is not UTF-8 here", "notUtf8"});
        break;
      }
    }
  }
  return lines;
}

// ---- PO ----

class PoReader {
 public:
  PoReader(std::string_view bytes, std::vector<Entry>* entries, std::vector<Error>* errors)
      : lines(fileLines(bytes, errors)), entries(entries), errors(errors) {}

  void run() {
    for (number = 1; number <= lines.size(); ++number) {
      std::string_view line = lines[number - 1];
      const std::size_t indent = line.find_first_not_of(" \t");
      if (indent == std::string_view::npos) {
        endEntry();
        continue;
      }
      line.remove_prefix(indent);
      if (line[0] == '#') {
        comment(line);
      } else if (line[0] == '"') {
        if (part == nullptr) {
          fail(indent + 1, "a string that belongs to no msgid or msgstr");
        } else {
          string(line, indent + 1, *part);
        }
      } else {
        keyword(line, indent);
      }
    }
    endEntry();
  }

 private:
  void fail(std::size_t column, const std::string& message) { errors->push_back({number, column, message}); }

  void comment(std::string_view line) {
    if (state == State::strings) endEntry();
    if (line.substr(0, 2) == "#~") obsolete = true;  // kept by a tool, for no line: left alone
    if (line.substr(0, 2) == "#,") {
      for (std::size_t at = 2; at < line.size();) {
        const std::size_t comma = std::min(line.find(',', at), line.size());
        std::string_view flag = line.substr(at, comma - at);
        flag.remove_prefix(std::min(flag.find_first_not_of(' '), flag.size()));
        flag = flag.substr(0, flag.find_last_not_of(' ') + 1);
        if (flag == "fuzzy") fuzzy = true;
        at = comma + 1;
      }
    }
    if (line.substr(0, 2) == "#:") {
      // "#: NAME:LINE ...": the last number given.
      std::string_view refs = line.substr(2);
      for (std::size_t at = 0; at < refs.size();) {
        const std::size_t space = std::min(refs.find(' ', at), refs.size());
        const std::string_view ref = refs.substr(at, space - at);
        const std::size_t colon = ref.rfind(':');
        if (colon != std::string_view::npos && allDigits(ref.substr(colon + 1))) {
          reference = static_cast<std::size_t>(std::stoul(std::string(ref.substr(colon + 1))));
        }
        at = space + 1;
      }
    }
    if (start == 0) start = number;
  }

  void keyword(std::string_view line, std::size_t indent) {
    const std::size_t end = std::min(line.find_first_of(" \t\""), line.size());
    const std::string_view word = line.substr(0, end);
    Placed* target = nullptr;
    if (word == "msgctxt" || word == "msgid") {
      if (state == State::strings) endEntry();
      target = word == "msgctxt" ? &context : &source;
      if (word == "msgid") sawId = true;
      if (start == 0) start = number;
    } else if (word == "msgstr") {
      if (!sawId) fail(indent + 1, "msgstr without a msgid before it");
      target = &translation;
      state = State::strings;
    } else if (word == "msgid_plural" || word.substr(0, 7) == "msgstr[") {
      fail(indent + 1, "plural forms are not lines of a scenario");
      plural = true;
      state = State::strings;
      part = nullptr;
      return;
    } else {
      fail(indent + 1, "not PO here: expected msgctxt, msgid, msgstr, a string or a comment");
      part = nullptr;
      return;
    }
    part = target;
    const std::size_t quote = line.find('"', end);
    if (quote == std::string_view::npos) {
      fail(indent + end + 1, "a string in quotes must follow " + std::string(word));
      return;
    }
    string(line.substr(quote), indent + quote + 1, *target);
  }

  // The string at the start of `text` (its first quote at `column`),
  // unescaped, appended to `into`.
  void string(std::string_view text, std::size_t column, Placed& into) {
    std::size_t at = 1;
    std::size_t col = column + 1;
    while (at < text.size() && text[at] != '"') {
      const std::size_t here = col;
      if (text[at] != '\\') {
        const std::size_t from = at;
        nextCharacter(text, at);
        into.add(std::string(text.substr(from, at - from)), number, here);
        ++col;
        continue;
      }
      if (at + 1 >= text.size()) break;
      const char e = text[at + 1];
      static const std::string_view simple = "abfnrtv\\\"'?";
      static const char meaning[] = {'\a', '\b', '\f', '\n', '\r', '\t', '\v', '\\', '"', '\'', '?'};
      if (const std::size_t k = simple.find(e); k != std::string_view::npos) {
        into.add(std::string(1, meaning[k]), number, here);
        at += 2;
        col += 2;
      } else if (e >= '0' && e <= '7') {
        unsigned value = 0;
        std::size_t n = 0;
        while (n < 3 && at + 1 + n < text.size() && text[at + 1 + n] >= '0' && text[at + 1 + n] <= '7') {
          value = value * 8 + static_cast<unsigned>(text[at + 1 + n] - '0');
          ++n;
        }
        into.add(std::string(1, static_cast<char>(value & 0xFF)), number, here);
        at += 1 + n;
        col += 1 + n;
      } else {
        fail(here, std::string("an unknown escape \\") + e);
        at += 2;
        col += 2;
      }
    }
    if (at >= text.size()) {
      fail(column, "the string has no closing quote");
      return;
    }
    const std::string_view rest = text.substr(at + 1);
    if (rest.find_first_not_of(" \t") != std::string_view::npos) fail(col + 1, "text after the string's closing quote");
  }

  void endEntry() {
    if (sawId && !obsolete && !plural && !(source.text.empty() && context.text.empty())) {
      Entry e;
      if (allDigits(context.text)) {
        e.line = static_cast<std::size_t>(std::stoul(context.text));
      } else if (context.text.empty()) {
        e.line = reference;
      }
      e.source = source.text;
      e.translation = translation.text;
      e.places = translation.places;
      e.fuzzy = fuzzy;
      e.fileLine = start;
      if (e.line == 0) {
        errors->push_back({start, 0, "the entry does not say which line of the scenario it is (its msgctxt)"});
      } else {
        entries->push_back(std::move(e));
      }
    }
    state = State::none;
    context = source = translation = Placed();
    part = nullptr;
    sawId = fuzzy = obsolete = plural = false;
    reference = 0;
    start = 0;
  }

  enum class State { none, strings };

  std::vector<std::string_view> lines;
  std::vector<Entry>* entries;
  std::vector<Error>* errors;
  std::size_t number = 0;  // the line being read
  // The entry being read.
  State state = State::none;
  Placed context, source, translation;
  Placed* part = nullptr;  // where a continued string goes
  bool sawId = false, fuzzy = false, obsolete = false, plural = false;
  std::size_t reference = 0, start = 0;
};

// ---- CSV ----

class CsvReader {
 public:
  CsvReader(std::string_view bytes, std::vector<Entry>* entries, std::vector<Error>* errors)
      : entries(entries), errors(errors) {
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    text = bytes;
  }

  void run() {
    std::vector<Placed> row;
    std::vector<std::size_t> starts;  // the line each field starts on
    std::size_t rowLine = 1;
    bool header = true;
    while (at <= text.size()) {
      const std::size_t fieldLine = line;
      Placed field;
      const char ended = readField(field);
      if (ended == 'x') return;
      row.push_back(std::move(field));
      starts.push_back(fieldLine);
      if (ended == ',') continue;
      // The end of a row.
      if (!(row.size() == 1 && row[0].text.empty())) {
        if (header) {
          columns(row, rowLine);
          header = false;
        } else {
          take(row, rowLine);
        }
      }
      row.clear();
      starts.clear();
      rowLine = line;
      if (ended == 'e') return;
    }
  }

 private:
  // Reads one field; returns ',' (another follows), 'n' (the row ends),
  // 'e' (the file ends) or 'x' (the file cannot be read further).
  char readField(Placed& field) {
    if (at < text.size() && text[at] == '"') {
      const std::size_t openLine = line, openColumn = column;
      ++at;
      ++column;
      for (;;) {
        if (at >= text.size()) {
          errors->push_back({openLine, openColumn, "the quoted field has no closing quote"});
          return 'x';
        }
        if (text[at] == '"') {
          if (at + 1 < text.size() && text[at + 1] == '"') {
            field.add("\"", line, column);
            at += 2;
            column += 2;
            continue;
          }
          ++at;
          ++column;
          break;
        }
        addCharacter(field);
      }
      return endOfField();
    }
    while (at < text.size() && text[at] != ',' && text[at] != '\n' && !(text[at] == '\r' && at + 1 < text.size() &&
                                                                           text[at + 1] == '\n')) {
      if (text[at] == '"') {
        errors->push_back({line, column, "a quote inside a field that is not quoted"});
        return 'x';
      }
      addCharacter(field);
    }
    return endOfField();
  }

  void addCharacter(Placed& field) {
    const std::size_t from = at;
    if (text[at] == '\n') {
      field.add("\n", line, column);
      ++at;
      ++line;
      column = 1;
      return;
    }
    if (nextCharacter(text, at) == cp932::kNotUtf8) {
      errors->push_back({line, column, "the text is not UTF-8 here", "notUtf8"});
      return;
    }
    field.add(std::string(text.substr(from, at - from)), line, column);
    ++column;
  }

  char endOfField() {
    if (at >= text.size()) {
      ++at;
      return 'e';
    }
    if (text[at] == ',') {
      ++at;
      ++column;
      return ',';
    }
    if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n') ++at;
    if (text[at] == '\n') {
      ++at;
      ++line;
      column = 1;
      return 'n';
    }
    errors->push_back({line, column, "text after a quoted field"});
    return 'x';
  }

  void columns(const std::vector<Placed>& row, std::size_t rowLine) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      std::string name = row[i].text;
      std::transform(name.begin(), name.end(), name.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
      if (name == "line") lineColumn = i;
      if (name == "source") sourceColumn = i;
      if (name == "translation") translationColumn = i;
    }
    if (lineColumn == kNone || sourceColumn == kNone || translationColumn == kNone) {
      errors->push_back({rowLine, 0, "the first row does not name the columns line, source and translation"});
    }
  }

  void take(std::vector<Placed>& row, std::size_t rowLine) {
    if (lineColumn == kNone || sourceColumn == kNone || translationColumn == kNone) return;
    const std::size_t most = std::max({lineColumn, sourceColumn, translationColumn});
    if (row.size() <= most) {
      errors->push_back({rowLine, 0, "the row has fewer fields than the first"});
      return;
    }
    if (!allDigits(row[lineColumn].text)) {
      errors->push_back({rowLine, 0, "the row's line is no number"});
      return;
    }
    Entry e;
    e.line = static_cast<std::size_t>(std::stoul(row[lineColumn].text));
    e.source = row[sourceColumn].text;
    e.translation = row[translationColumn].text;
    e.places = row[translationColumn].places;
    e.fileLine = rowLine;
    entries->push_back(std::move(e));
  }

  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  std::string_view text;
  std::vector<Entry>* entries;
  std::vector<Error>* errors;
  std::size_t at = 0, line = 1, column = 1;
  std::size_t lineColumn = kNone, sourceColumn = kNone, translationColumn = kNone;
};

}  // namespace

std::string Error::where() const {
  std::string out = std::to_string(fileLine);
  if (column > 0) out.append(1, ':').append(std::to_string(column));
  return out.append(": ").append(message);
}

std::vector<Line> translatableLines(std::string_view scenario) {
  std::vector<Line> lines;
  std::size_t number = 0;
  for (const Span& s : spansOf(scenario)) {
    ++number;
    if (std::all_of(s.content.begin(), s.content.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
      continue;
    }
    std::vector<std::size_t> bad;
    Line line;
    line.number = number;
    line.text = cp932::toUtf8(s.content, cp932::Undecodable::replace, &bad);
    line.undecodable = !bad.empty();
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string toPo(const std::vector<Line>& lines, const std::string& name, const std::string& version) {
  std::string out =
      "msgid \"\"\n"
      "msgstr \"\"\n"
      "\"Project-Id-Version: " + name + "\\n\"\n"
      "\"PO-Revision-Date: \\n\"\n"
      "\"Last-Translator: \\n\"\n"
      "\"Language-Team: \\n\"\n"
      "\"Language: \\n\"\n"
      "\"MIME-Version: 1.0\\n\"\n"
      "\"Content-Type: text/plain; charset=UTF-8\\n\"\n"
      "\"Content-Transfer-Encoding: 8bit\\n\"\n"
      "\"X-Generator: kerv " + version + "\\n\"\n";
  for (const Line& line : lines) {
    const std::string number = std::to_string(line.number);
    out += "\n";
    if (line.undecodable) {
      out += "#. A byte of this line has no character (shown as U+FFFD): it keeps its bytes, untranslated.\n";
    }
    out += "#: " + name + ":" + number + "\n";
    out += "msgctxt \"" + number + "\"\n";
    out += "msgid " + quoted(line.text) + "\n";
    out += "msgstr \"\"\n";
  }
  return out;
}

std::string toCsv(const std::vector<Line>& lines) {
  std::string out = "\xEF\xBB\xBFline,source,translation\r\n";
  for (const Line& line : lines) out += std::to_string(line.number) + "," + csvField(line.text) + ",\"\"\r\n";
  return out;
}

Format formatOf(const std::string& name, std::string_view bytes) {
  const auto ends = [&](const char* suffix) {
    const std::string s(suffix);
    if (name.size() < s.size()) return false;
    std::string tail = name.substr(name.size() - s.size());
    std::transform(tail.begin(), tail.end(), tail.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
    return tail == s;
  };
  if (ends(".po") || ends(".pot")) return Format::po;
  if (ends(".csv")) return Format::csv;
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  const std::string_view first = bytes.substr(0, bytes.find('\n'));
  return first.find(',') != std::string_view::npos && first.find("msg") == std::string_view::npos ? Format::csv
                                                                                                   : Format::po;
}

bool readPo(std::string_view bytes, std::vector<Entry>* entries, std::vector<Error>* errors) {
  const std::size_t before = errors->size();
  PoReader(bytes, entries, errors).run();
  return errors->size() == before;
}

bool readCsv(std::string_view bytes, std::vector<Entry>* entries, std::vector<Error>* errors) {
  const std::size_t before = errors->size();
  std::vector<Error> utf8;
  fileLines(bytes, &utf8);  // the text is checked as a whole: a field may span lines
  if (!utf8.empty()) {
    errors->insert(errors->end(), utf8.begin(), utf8.end());
    return false;
  }
  CsvReader(bytes, entries, errors).run();
  return errors->size() == before;
}

bool applyTranslations(std::string_view scenario, const std::vector<Entry>& entries, std::string* out,
                       std::vector<Error>* errors) {
  const std::vector<Span> spans = spansOf(scenario);
  std::vector<std::string> replaced(spans.size());
  std::vector<bool> isReplaced(spans.size(), false);
  std::map<std::size_t, const Entry*> given;  // by line: the entry that translates it
  const std::size_t before = errors->size();
  for (const Entry& e : entries) {
    if (e.fuzzy || e.translation.empty()) continue;
    const std::string number = std::to_string(e.line);
    if (e.line < 1 || e.line > spans.size()) {
      errors->push_back({e.fileLine, 0, "the scenario has no line " + number, "noLine", e.line});
      continue;
    }
    const Span& span = spans[e.line - 1];
    std::vector<std::size_t> bad;
    const std::string now = cp932::toUtf8(span.content, cp932::Undecodable::replace, &bad);
    if (now != e.source) {
      errors->push_back({e.fileLine, 0, "line " + number + " of the scenario now reads otherwise", "stale", e.line});
      continue;
    }
    if (const auto [it, fresh] = given.emplace(e.line, &e); !fresh) {
      if (it->second->translation != e.translation) {
        errors->push_back({e.fileLine, 0,
                           "line " + number + " is given another translation at line " +
                               std::to_string(it->second->fileLine),
                           "twice", e.line, 0, it->second->fileLine});
      }
      continue;
    }
    if (e.translation == e.source) continue;  // unchanged: its bytes kept
    if (!bad.empty()) {
      errors->push_back({e.fileLine, 0,
                         "line " + number + " holds a byte with no character: it keeps its bytes and takes no "
                                            "translation",
                         "undecodable", e.line});
      continue;
    }
    std::string bytes;
    std::size_t index = 0;
    for (std::size_t at = 0; at < e.translation.size(); ++index) {
      const char32_t c = nextCharacter(e.translation, at);
      const auto [fileLine, column] = index < e.places.size() ? e.places[index] : std::make_pair(e.fileLine, std::size_t{0});
      if (c == '\n' || c == '\r') {
        errors->push_back({fileLine, column,
                           "the translation of line " + number + " holds a line end; a line is translated by one line",
                           "lineEnd", e.line});
      } else if (c == cp932::kNotUtf8) {
        errors->push_back({fileLine, column, "the text is not UTF-8 here", "notUtf8"});
      } else if (!cp932::encode(c, bytes)) {
        errors->push_back({fileLine, column, noCode(c), "noCode", e.line, c});
      }
    }
    replaced[e.line - 1] = std::move(bytes);
    isReplaced[e.line - 1] = true;
  }
  if (errors->size() != before) {
    std::stable_sort(errors->begin() + static_cast<std::ptrdiff_t>(before), errors->end(),
                     [](const Error& a, const Error& b) {
                       return a.fileLine != b.fileLine ? a.fileLine < b.fileLine : a.column < b.column;
                     });
    return false;
  }
  out->clear();
  for (std::size_t i = 0; i < spans.size(); ++i) {
    out->append(isReplaced[i] ? std::string_view(replaced[i]) : spans[i].content);
    out->append(spans[i].end);
  }
  if (static_cast<int64_t>(out->size()) > container::kMaxScenarioSize) {
    errors->push_back({0, 0,
                       "a scenario file holds at most " + std::to_string(container::kMaxScenarioSize) +
                           " bytes, this one " + std::to_string(out->size()),
                       "tooLong", 0, 0, out->size()});
    return false;
  }
  return true;
}

}  // namespace strings
