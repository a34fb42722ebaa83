// The hidden temporaries that files being written have where the system
// has no unnamed files: a table that signal handlers can read, so that a
// program ended by SIGINT, SIGTERM or SIGHUP leaves none behind, and the
// pattern of their names, by which a later write finds the ones a harder
// end left. Internal to the POSIX file layer.
#pragma once

#include <cstdint>
#include <string>

namespace temporaries {

// The hidden name of a temporary for `name` in the same folder:
// ".NAME.kerv-PID-N", NAME cut to 128 bytes.
std::string nameFor(const std::string& name, long pid, unsigned n);

// The process number in `hidden` where it is exactly a name nameFor()
// gives for `name` (the number without leading zeros, 1 to `largestPid`;
// N a number without leading zeros that fits an unsigned int); -1
// otherwise.
long processOf(const std::string& hidden, const std::string& name, long largestPid);

// The largest process number the system gives (/proc/sys/kernel/pid_max,
// else 4194304, the most Linux allows).
long largestProcessNumber();

// Notes that `name` in the folder open as `folder` is a temporary now;
// returns a slot for forget(), or -1 when the table is full (then only a
// later write removes it, should the process end by a signal).
int remember(int folder, const char* name);
// The temporary of `slot` is gone or named: the handlers leave it alone.
void forget(int slot);

}  // namespace temporaries
