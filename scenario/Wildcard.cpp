#include "scenario/Wildcard.h"

#include <vector>

#include "scenario/Utf8.h"

namespace {

// The characters of `text`, '\' read as '/'; a byte that starts no UTF-8
// character stands for itself above the code points' range.
std::vector<char32_t> charactersOf(std::string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size());
  for (const char *p = text.data(), *limit = p + text.size(); p < limit;) {
    char32_t c;
    if (!utf8::next(p, limit, &c)) c = 0x110000 + static_cast<unsigned char>(*p++);
    out.push_back(c == U'\\' ? U'/' : c);
  }
  return out;
}

// Whether the set that starts at pattern[at] (just after its '[') holds c;
// *end is set to just past its ']'. False with *end = at - 1 (the '['
// itself, taken literally) when no ']' closes it.
bool inSet(const std::vector<char32_t>& pattern, std::size_t at, char32_t c, std::size_t* end) {
  std::size_t i = at;
  const bool negated = i < pattern.size() && (pattern[i] == U'!' || pattern[i] == U'^');
  if (negated) ++i;
  bool found = false;
  for (bool first = true; i < pattern.size() && (first || pattern[i] != U']'); first = false) {
    char32_t low = pattern[i++], high = low;
    if (i + 1 < pattern.size() && pattern[i] == U'-' && pattern[i + 1] != U']') {
      high = pattern[i + 1];
      i += 2;
    }
    found = found || (low <= c && c <= high);
  }
  if (i >= pattern.size()) {
    *end = at - 1;
    return false;
  }
  *end = i + 1;
  return found != negated;
}

}  // namespace

namespace wildcard {

bool isPattern(std::string_view text) { return text.find_first_of("*?[") != std::string_view::npos; }

bool matches(std::string_view patternText, std::string_view nameText) {
  const std::vector<char32_t> pattern = charactersOf(patternText), name = charactersOf(nameText);
  // Greedy with one point to come back to: the last '*' and the name's
  // position it was tried at, which is enough for patterns of this kind.
  std::size_t p = 0, n = 0, star = SIZE_MAX, starName = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == U'*') {
      star = ++p;
      starName = n;
      continue;
    }
    if (p < pattern.size()) {
      std::size_t next = p + 1;
      bool ok;
      if (pattern[p] == U'?') {
        ok = true;
      } else if (pattern[p] == U'[') {
        std::size_t end;
        ok = inSet(pattern, p + 1, name[n], &end);
        if (end == p) ok = name[n] == U'[';  // no ']' closes it: a '[' of its own
        else next = end;
      } else {
        ok = pattern[p] == name[n];
      }
      if (ok) {
        p = next;
        ++n;
        continue;
      }
    }
    if (star == SIZE_MAX) return false;
    p = star;
    n = ++starName;
  }
  while (p < pattern.size() && pattern[p] == U'*') ++p;
  return p == pattern.size();
}

}  // namespace wildcard
