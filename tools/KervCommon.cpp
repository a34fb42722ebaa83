#include "tools/KervCommon.h"

#include <algorithm>
#include <cerrno>
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

int refuseStandardOutput(const Command& command, const std::string& name) {
  if (name != "-") return kDone;
  return usageError(command, "-: archives and patches are written to a named file, not to standard output "
                             "(./- names a file '-')");
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

bool standardOutputUsable() {
  if (!standardStreamWasClosed(1)) return true;
  report(std::string("standard output: ") + std::strerror(EBADF));
  return false;
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

ProgressBar::~ProgressBar() { wipe(); }

void ProgressBar::wipe() {
  if (shown) std::cerr << "\r" << std::string(static_cast<std::size_t>(columns - 1), ' ') << "\r" << std::flush;
  shown = false;
}

std::string ProgressBar::line(int64_t done, int columns) const {
  // "<what> [####....] 42% 123/456 MiB", the bar as wide as the line allows;
  // on a terminal too narrow for it, the figures alone, cut to fit.
  std::string figures = std::to_string(100 * std::min(done, total) / total);
  figures.append("% ").append(std::to_string(done >> 20)).append(1, '/').append(std::to_string(total >> 20));
  figures.append(" MiB");
  const int room = columns - 1 - static_cast<int>(std::string(what).size() + figures.size()) - 4;
  std::string text(what);
  text += ' ';
  if (room >= 10) {
    const int width = std::min(room, 50);
    const int filled = static_cast<int>(width * std::min(done, total) / total);
    text.append(1, '[').append(static_cast<std::size_t>(filled), '#');
    text.append(static_cast<std::size_t>(width - filled), '.').append("] ");
  }
  text += figures;
  return text.substr(0, static_cast<std::size_t>(std::max(columns - 1, 0)));
}

void ProgressBar::show(int64_t done) {
  if (!active || total <= 0) return;
  const int64_t t = now();
  if (t - lastDrawn < 100 && done < total) return;
  lastDrawn = t;
  columns = terminalColumns();  // the window may have been resized
  const std::string text = line(done, columns);
  std::cerr << "\r" << text << std::string(static_cast<std::size_t>(columns - 1) - text.size(), ' ') << std::flush;
  shown = true;
}

}  // namespace kerv
