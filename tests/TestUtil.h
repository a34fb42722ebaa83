// Helpers shared by the unit tests: scenario texts and captured streams.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

// The exit status of a process that ended with exit(-1), as a test sees it:
// 255 on POSIX, the whole value on Windows.
#if defined(_WIN32)
constexpr int kFatalStatus = -1;
#else
constexpr int kFatalStatus = 255;
#endif

// Joins lines with CR LF, ending the last one too.
inline std::string crlf(std::initializer_list<std::string> lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

// Collects what is written to `stream` while it lives.
class Capture {
 public:
  explicit Capture(std::ostream& stream) : stream(stream), saved(stream.rdbuf(buffer.rdbuf())) {}
  ~Capture() { stream.rdbuf(saved); }
  std::string text() const { return buffer.str(); }

 private:
  std::ostream& stream;
  std::ostringstream buffer;
  std::streambuf* saved;
};

// A fresh empty directory for one test, removed afterwards.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  std::string path(const std::string& name) const { return dir + "/" + name; }
  void write(const std::string& name, const std::string& bytes) const;
  std::string read(const std::string& name) const;

 private:
  std::string dir;
};
