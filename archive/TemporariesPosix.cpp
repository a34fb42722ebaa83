// The table of live temporaries and the signal handlers that remove them.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

#include "archive/System.h"
#include "archive/Temporaries.h"

namespace temporaries {

namespace {

constexpr int kSlots = 256;  // a batch of extracted files holds 64 at most
constexpr std::size_t kNameBytes = 256;

// A slot is free (0), being filled or emptied (1), or holds a temporary (2).
struct Slot {
  std::atomic<int> state{0};
  int folder = -1;
  char name[kNameBytes] = {};
};
Slot table[kSlots];

constexpr char kMark[] = ".kerv-";

bool allDigits(const std::string& s) {
  if (s.empty() || s.size() > 18) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

std::string nameFor(const std::string& name, long pid, unsigned n) {
  std::string hidden(1, '.');
  hidden.append(name, 0, 128).append(kMark).append(std::to_string(pid)).append(1, '-').append(std::to_string(n));
  return hidden;
}

long processOf(const std::string& name) {
  const std::size_t mark = name.rfind(kMark);
  if (name.size() < 2 || name[0] != '.' || mark == std::string::npos || mark < 1) return -1;
  const std::string rest = name.substr(mark + sizeof kMark - 1);
  const std::size_t dash = rest.find('-');
  if (dash == std::string::npos || !allDigits(rest.substr(0, dash)) || !allDigits(rest.substr(dash + 1))) return -1;
  return std::stol(rest.substr(0, dash));
}

int remember(int folder, const char* name) {
  if (std::strlen(name) >= kNameBytes) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int free = 0;
    if (!table[i].state.compare_exchange_strong(free, 1)) continue;
    table[i].folder = folder;
    std::strcpy(table[i].name, name);
    table[i].state.store(2);
    return i;
  }
  return -1;
}

void forget(int slot) {
  if (slot >= 0 && slot < kSlots) table[slot].state.store(0);
}

namespace {

extern "C" void removeAndEnd(int signal) {
  for (Slot& s : table) {
    if (s.state.load() == 2) ::unlinkat(s.folder, s.name, 0);
  }
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

}  // namespace

}  // namespace temporaries

void removeTemporariesOnSignals() {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action = {};
    action.sa_handler = temporaries::removeAndEnd;
    sigemptyset(&action.sa_mask);
    struct sigaction old = {};
    // A signal the caller was started to ignore stays ignored.
    if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
}
