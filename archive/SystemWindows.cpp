// The process on Windows.
#include <windows.h>
// After windows.h:
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "archive/Assert.h"
#include "archive/System.h"
#include "archive/WindowsNames.h"

namespace {

std::string utf8Of(const wchar_t* text, int n) {
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, n, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, text, n, out.data(), bytes, nullptr, nullptr);
  return out;
}

}  // namespace

void prepareStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) _setmode(fd, _O_BINARY);
}

bool standardStreamWasClosed(int) { return false; }

bool resolvedPath(const std::string& path, std::string* out) {
  std::wstring wide;
  if (!windowsNames::wide(path, wide) || !windowsNames::full(wide)) return false;
  *out = windowsNames::utf8(wide);
  return true;
}

std::string programFolder() {
  wchar_t path[32768];
  const DWORD n = GetModuleFileNameW(nullptr, path, 32768);
  if (n == 0 || n >= 32768) return "";
  const std::string program = utf8Of(path, static_cast<int>(n));
  const std::size_t slash = program.find_last_of("\\/");
  return slash == std::string::npos ? "" : program.substr(0, slash);
}

void removeTemporariesOnSignals() {}  // a temporary is deleted by the system when its process ends

void ignoreFileSizeSignal() {}  // Windows limits no file's size per process

// The C runtime's own parse of the command line, in UTF-16: the same words
// as the narrow argv, without the loss of what the code page cannot hold
// (and without the shell's DLLs, which bring the window system with them).
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment, int expandWildcards,
                              int* startInfo);

char** commandLineArguments(int& argc, char** argv) {
  int n = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  int startInfo = 0;
  if (__wgetmainargs(&n, &wide, &environment, 0, &startInfo) < 0 || wide == nullptr) return argv;
  static std::vector<std::string> arguments;
  static std::vector<char*> pointers;
  for (int i = 0; i < n; ++i) arguments.push_back(utf8Of(wide[i], static_cast<int>(wcslen(wide[i]))));
  for (std::string& a : arguments) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  argc = n;
  return pointers.data();
}

bool terminalWantsUtf8() { return true; }

bool standardErrorIsTerminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int terminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 80;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

bool standardOutputIsConsole() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool writeToConsole(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  for (const wchar_t* p = wide.data(); n > 0;) {
    DWORD written = 0;
    if (!WriteConsoleW(console, p, static_cast<DWORD>(n), &written, nullptr) || written == 0) return false;
    p += written;
    n -= static_cast<int>(written);
  }
  return true;
}

void assertionFailed(const char* text, const char* file, unsigned line, const char* function) noexcept {
  std::fprintf(stderr, "Assertion failed: %s, file %s, line %u, function %s\n", text, file, line, function);
  std::fflush(stderr);
  std::abort();
}
