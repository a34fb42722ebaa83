#include "tools/KervCommon.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>

#include "archive/SystemFile.h"
#include "archive/System.h"
#include "scenario/Cp932.h"
#include "tools/TerminalText.h"

namespace kerv {

void report(const std::string& message) { std::cerr << "kerv: " << message << std::endl; }

int printHelp(const Command& command) {
  std::cout << "Usage: kerv " << command.usage << "\n" << command.help;
  return finishOutput("kerv", kDone);
}

int usageError(const Command& command, const std::string& message) {
  if (!message.empty()) report(message);
  std::cerr << "Try 'kerv " << command.name << " --help' for more information." << std::endl;
  return kTrouble;
}

std::string shown(const std::string& name) { return cp932::toUtf8(name, cp932::Undecodable::escape); }

std::vector<std::size_t> entriesNamed(const std::vector<std::string>& names, const std::string& given) {
  std::vector<std::size_t> byText, byBytes;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string text;
    if (cp932::toUtf8Strictly(names[i], text) && text == given) byText.push_back(i);
    if (names[i] == given) byBytes.push_back(i);
  }
  return byText.empty() ? byBytes : byText;
}

namespace {

bool isSeparator(char c) { return c == '/' || (SystemFile::kUnicodeNames && c == '\\'); }

}  // namespace

std::string baseName(const std::string& path) {
  std::size_t i = path.size();
  while (i > 0 && !isSeparator(path[i - 1])) --i;
  return path.substr(i);
}

std::string folderOf(const std::string& path) {
  std::size_t i = path.size();
  while (i > 0 && !isSeparator(path[i - 1])) --i;
  if (i == 0) return ".";
  return i == 1 ? path.substr(0, 1) : path.substr(0, i - 1);
}

std::string withSuffix(const std::string& name, const char* from, const char* to) {
  const std::string suffix = std::string(".") + from;
  const bool has = name.size() > suffix.size() &&
                   std::equal(suffix.begin(), suffix.end(), name.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                              [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b); });
  return (has ? name.substr(0, name.size() - suffix.size()) : name) + "." + to;
}

bool makeFolders(const std::string& path) {
  for (std::size_t i = 1; i <= path.size(); ++i) {
    if (i < path.size() && !isSeparator(path[i])) continue;
    if (!SystemFile::makeFolder(path.substr(0, i).c_str(), true)) return false;
  }
  return true;
}

namespace {

constexpr int64_t kProgressFrom = int64_t{64} << 20;

int64_t now() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

ProgressBar::ProgressBar(const char* what, int64_t total, bool quiet)
    : what(what), total(total), active(!quiet && total > kProgressFrom && standardErrorIsTerminal()) {}

ProgressBar::~ProgressBar() {
  if (shown) std::cerr << "\r" << std::string(72, ' ') << "\r" << std::flush;
}

void ProgressBar::show(int64_t done) {
  if (!active || total <= 0) return;
  const int64_t t = now();
  if (t - lastDrawn < 100 && done < total) return;
  lastDrawn = t;
  constexpr int kWidth = 30;
  const int filled = static_cast<int>(kWidth * std::min(done, total) / total);
  std::cerr << "\r" << what << " [" << std::string(static_cast<std::size_t>(filled), '#')
            << std::string(static_cast<std::size_t>(kWidth - filled), '.') << "] " << (100 * done / total) << "% "
            << (done >> 20) << "/" << (total >> 20) << " MiB" << std::flush;
  shown = true;
}

}  // namespace kerv
