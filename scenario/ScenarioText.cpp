#include "scenario/ScenarioText.h"

#include <cstdio>
#include <unordered_map>
#include <vector>

#include "scenario/Cp932.h"
#include "scenario/Utf8.h"

namespace {

// The lines of `text`, each with its LF; the last may have none.
std::vector<std::string_view> linesOf(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    const std::size_t n = lf == std::string_view::npos ? text.size() : lf + 1;
    lines.push_back(text.substr(0, n));
    text.remove_prefix(n);
  }
  return lines;
}

std::size_t characters(std::string_view utf8) {
  std::size_t n = 0;
  for (char b : utf8) n += (static_cast<unsigned char>(b) & 0xC0) != 0x80;
  return n;
}

}  // namespace

std::string TextError::message() const {
  char text[64];
  if (c == cp932::kNotUtf8) {
    std::snprintf(text, sizeof text, "%zu:%zu: ", line, column);
    return std::string(text) + "the text is not UTF-8 here";
  }
  std::snprintf(text, sizeof text, "%zu:%zu: U+%04X", line, column, static_cast<unsigned>(c));
  std::string shown;
  if (!cp932::isControl(c)) utf8::append(shown, c);
  return std::string(text) + (shown.empty() ? "" : " '" + shown + "'") + " has no code in Shift_JIS (code page 932)";
}

namespace {

// Every character of `line` (encoded into `out`) with no code, as errors
// of text line `number` whose first character is the `index`-th.
void allUnencodable(std::string_view line, std::size_t number, std::size_t index, std::string& out,
                    std::vector<TextError>* all) {
  std::size_t before = 0;  // characters of `line` already encoded
  while (!line.empty()) {
    cp932::EncodeError e;
    if (cp932::fromUtf8(line, out, &e)) return;
    all->push_back({number, before + e.index + 1, index + before + e.index, e.c});
    std::size_t skip = e.offset + 1;  // past the character, or the byte that is no UTF-8
    while (skip < line.size() && (static_cast<unsigned char>(line[skip]) & 0xC0) == 0x80 && e.c != cp932::kNotUtf8) {
      ++skip;
    }
    before += e.index + 1;
    line.remove_prefix(skip);
  }
}

}  // namespace

bool textToScenario(std::string_view text, std::string_view original, std::string& out, TextError* error,
                    std::vector<TextError>* all) {
  std::unordered_map<std::string, std::vector<std::string_view>> originals;  // by how they read
  for (std::string_view line : linesOf(original)) {
    originals[cp932::toUtf8(line, cp932::Undecodable::replace)].push_back(line);
  }
  std::unordered_map<std::string, std::size_t> taken;
  const auto reuse = [&](const std::string& line) {
    const auto it = originals.find(line);
    if (it == originals.end()) return false;
    const std::size_t k = taken[line]++;
    out += it->second[k < it->second.size() ? k : 0];
    return true;
  };

  std::size_t index = 0;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
    index = 1;
  }
  std::size_t number = 1;
  for (std::string_view line : linesOf(text)) {
    const std::string given(line);
    std::string normal = given;
    if (!normal.empty() && normal.back() == '\n' && (normal.size() < 2 || normal[normal.size() - 2] != '\r')) {
      normal.back() = '\r';
      normal += '\n';
    }
    if (!reuse(given) && (normal == given || !reuse(normal))) {
      cp932::EncodeError e;
      const std::size_t at = out.size();
      if (!cp932::fromUtf8(normal, out, &e)) {  // the CR added comes last: indices hold for `given`
        if (error != nullptr) *error = {number, e.index + 1, index + e.index, e.c};
        if (all == nullptr) return false;
        out.resize(at);
        allUnencodable(normal, number, index, out, all);
      }
    }
    index += characters(line);
    ++number;
  }
  return all == nullptr || all->empty();
}

namespace {

const std::string kMarker = [] {
  std::string s;
  utf8::append(s, kLoneCarriageReturn);
  return s;
}();

// `utf8` with each CR that no LF follows as the marker, and CR LF as LF.
std::string editable(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    if (utf8[i] != '\r') {
      out += utf8[i];
    } else if (i + 1 >= utf8.size() || utf8[i + 1] != '\n') {
      out += kMarker;
    }
  }
  return out;
}

}  // namespace

std::string scenarioToEditable(std::string_view scenario) {
  return editable(cp932::toUtf8(scenario, cp932::Undecodable::replace));
}

bool editableToScenario(std::string_view text, std::string_view original, std::string& out, TextError* error) {
  std::unordered_map<std::string, std::vector<std::string_view>> originals;  // by their editable form
  for (std::string_view line : linesOf(original)) {
    originals[editable(cp932::toUtf8(line, cp932::Undecodable::replace))].push_back(line);
  }
  std::unordered_map<std::string, std::size_t> taken;
  std::size_t index = 0, number = 1;
  for (std::string_view line : linesOf(text)) {
    const std::string given(line);
    if (const auto it = originals.find(given); it != originals.end()) {
      const std::size_t k = taken[given]++;
      out += it->second[k < it->second.size() ? k : 0];
    } else {
      std::string plain;  // the marker as CR, the line end as CR LF
      for (std::size_t at = 0; at < given.size();) {
        if (given.compare(at, kMarker.size(), kMarker) == 0) {
          plain += '\r';
          at += kMarker.size();
        } else if (given[at] == '\n') {
          plain += "\r\n";
          ++at;
        } else {
          plain += given[at++];
        }
      }
      cp932::EncodeError e;
      if (!cp932::fromUtf8(plain, out, &e)) {
        // Indices in `plain`: a marker there is one CR, as in `given`; a CR added before the LF comes last.
        if (error != nullptr) *error = {number, e.index + 1, index + e.index, e.c};
        return false;
      }
    }
    index += characters(line);
    ++number;
  }
  return true;
}
