// The bytes of an open file, seen in place: through a read-only mapping
// where the system gives one (no copy at all), else read into a caller's
// buffer with positioned reads. Either way safe from several threads.
//
// A mapped file that another program makes shorter meanwhile would end the
// process with SIGBUS; a program that maps files says what happens then
// (kerv: reportShrunkenMappings).
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/SystemFile.h"

class FileView {
 public:
  // Views the first `size` bytes of `file`, which must stay open while the
  // view lives; mapped when `map` and the system can.
  FileView(const SystemFile& file, int64_t size, bool map);
  ~FileView();
  FileView(const FileView&) = delete;
  FileView& operator=(const FileView&) = delete;

  // The n bytes at `offset`: a pointer into the mapping, or `scratch`
  // (which holds n bytes) filled with them; null, with errno set, when
  // they cannot be read (past the end: EIO).
  const char* at(int64_t offset, std::size_t n, char* scratch) const;
  // Reads the n bytes at `offset` into p; false on failure.
  bool read(int64_t offset, char* p, std::size_t n) const;

  bool mapped() const { return base != nullptr; }
  int64_t size() const { return size_; }

 private:
  const SystemFile& file;
  int64_t size_;
  const char* base = nullptr;
  [[maybe_unused]] intptr_t mapping = -1;  // Windows: the mapping object
};

// Makes SIGBUS, which a mapped file that shrank raises, end the process
// with "<program>: a file being read became shorter" and status 2 (POSIX).
void reportShrunkenMappings(const char* program);
