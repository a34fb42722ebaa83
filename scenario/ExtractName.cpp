#include "scenario/ExtractName.h"

#include <vector>

#include "archive/FileName.h"
#include "scenario/Cp932.h"
#include "scenario/Utf8.h"

namespace {

ExtractName refused(Problem problem) {
  std::string why = problem.english();
  return {"", std::move(why), std::move(problem)};
}

// The first control character in `text`, or 0xFFFFFFFF.
char32_t firstControl(const std::string& text, bool raw) {
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    char32_t c = static_cast<unsigned char>(*p);
    if (raw) {
      ++p;
      if (c < 0x20 || c == 0x7F) return c;
    } else {
      utf8::next(p, end, &c);  // the decoder's own UTF-8
      if (cp932::isControl(c)) return c;
    }
  }
  return 0xFFFFFFFF;
}

}  // namespace

ExtractName extractName(std::string_view stored, bool raw, bool windowsRules) {
  std::string text;
  if (raw) {
    text = stored;
  } else {
    std::vector<std::size_t> bad;
    text = cp932::nameToUtf8(stored, &bad);
    if (!bad.empty()) {
      return refused(Problem::of(Problem::Code::noCharacter, static_cast<unsigned char>(stored[bad[0]]),
                                 static_cast<int64_t>(bad[0])));
    }
  }
  if (const char32_t c = firstControl(text, raw); c != 0xFFFFFFFF) {
    return refused(Problem::of(Problem::Code::controlCharacter, c));
  }
  const std::string_view separators = raw ? "/" : "/\\";
  if (text.empty()) return refused(Problem::of(Problem::Code::emptyName));
  if (separators.find(text[0]) != std::string_view::npos) return refused(Problem::of(Problem::Code::absoluteName));
  if (windowsRules && text.find(':') != std::string::npos) return refused(Problem::of(Problem::Code::windowsColon));

  ExtractName out;
  std::string part;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && separators.find(text[i]) == std::string_view::npos) {
      part += text[i];
      continue;
    }
    const bool last = i == text.size();
    if (part == "..") return refused(Problem::of(Problem::Code::outsideFolder));
    if (Problem problem = windowsRules ? windowsComponent(part) : Problem()) return refused(std::move(problem));
    if (!part.empty() && part != ".") {
      out.path += (out.path.empty() ? "" : "/") + part;
    } else if (last) {
      return refused(Problem::of(Problem::Code::emptyName));  // it ends in a separator or a '.': a folder, not a file
    }
    part.clear();
  }
  return out;
}

Problem windowsComponent(const std::string& part) {
  if (part.empty() || part == ".") return {};
  if (part == "..") return Problem::of(Problem::Code::outsideFolder);
  if (part.back() == '.' || part.back() == ' ') return Problem::of(Problem::Code::windowsDropped);
  if (isWindowsDeviceName(part)) return Problem::of(Problem::Code::windowsDevice);
  return {};
}

Problem packNameProblem(std::string_view stored) {
  const std::string text = cp932::toUtf8(stored, cp932::Undecodable::replace);
  const auto separator = [](char c) { return c == '/' || c == '\\'; };
  if (!text.empty() && separator(text[0])) return Problem::of(Problem::Code::absoluteName);
  if (kWindowsFileNames && text.size() >= 2 && text[1] == ':') return Problem::of(Problem::Code::absoluteName);
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = start;
    while (end < text.size() && !separator(text[end])) ++end;
    if (text.compare(start, end - start, "..") == 0) return Problem::of(Problem::Code::outsideFolder);
    start = end + 1;
  }
  return {};
}
