// The table of live temporaries and the signal handlers that remove them.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
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

// The number `digits` stands for, as a name made by nameFor() writes it:
// digits only, no leading zero, at most `largest`; -1 otherwise.
long long numberIn(const std::string& digits, long long largest) {
  if (digits.empty() || digits.size() > 12 || (digits[0] == '0' && digits.size() > 1)) return -1;
  long long n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n <= largest ? n : -1;
}

}  // namespace

std::string nameFor(const std::string& name, long pid, unsigned n) {
  std::string hidden(1, '.');
  hidden.append(name, 0, 128).append(kMark).append(std::to_string(pid)).append(1, '-').append(std::to_string(n));
  return hidden;
}

long processOf(const std::string& hidden, const std::string& name, long largestPid) {
  const std::string prefix = nameFor(name, 0, 0).substr(0, 1 + std::min<std::size_t>(name.size(), 128) + sizeof kMark - 1);
  if (hidden.compare(0, prefix.size(), prefix) != 0) return -1;
  const std::string rest = hidden.substr(prefix.size());
  const std::size_t dash = rest.find('-');
  if (dash == std::string::npos) return -1;
  const long long pid = numberIn(rest.substr(0, dash), largestPid);
  if (pid < 1 || numberIn(rest.substr(dash + 1), 0xFFFFFFFFLL) < 0) return -1;
  return static_cast<long>(pid);
}

long largestProcessNumber() {
  static const long largest = [] {
    long n = 0;
    if (FILE* f = std::fopen("/proc/sys/kernel/pid_max", "r")) {
      if (std::fscanf(f, "%ld", &n) != 1) n = 0;
      std::fclose(f);
    }
    return n > 0 ? n : 4194304L;
  }();
  return largest;
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
