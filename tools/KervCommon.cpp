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

std::unique_ptr<ArchiveReader> openArchive(const std::string& path, int& status) {
  try {
    return std::make_unique<ArchiveReader>(path.c_str());
  } catch (const ArchiveError& e) {
    report(e.what());
    status = e.errorNumber() != 0 ? kTrouble : kRefused;
    return nullptr;
  }
}

std::string shown(const std::string& name) { return cp932::toUtf8(name, cp932::Undecodable::escape); }


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
