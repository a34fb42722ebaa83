// Helpers shared by the unit tests: scenario texts and captured streams.
#pragma once

#include <cstdint>
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

// v's four bytes, least significant first.
inline std::string le32(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += static_cast<char>(v >> (8 * i) & 0xFF);
  return s;
}

// A scenario of `magic`'s dialect whose file list holds `files`.
inline std::string scenarioText(const std::string& magic, std::initializer_list<std::string> files) {
  std::string text = magic + " 1.2 30.5\r\ntitle\r\n.15\r\n";
  for (const std::string& f : files) text += f + "\r\n";
  return text + ".\r\n.\r\nR1 ; go\r\n";
}

// The archive as the format defines it: magic, five zero bytes, the 16-bit
// scenario length, the scenario, then each block behind its 32-bit size.
inline std::string archive(const std::string& magic, const std::string& text,
                           std::initializer_list<std::string> blocks) {
  std::string out = magic + std::string(5, '\0') + le32(static_cast<uint32_t>(text.size())).substr(0, 2) + text;
  for (const std::string& b : blocks) out += le32(static_cast<uint32_t>(b.size())) + b;
  return out;
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
