// An output file created anew for an archive or an extracted file, with
// little-endian integer writers.
//
// The file is always created exclusively with permission 0664 (less the
// umask): a name that exists, a dangling symbolic link included, is never
// opened, followed, truncated or changed; the stream is then failed. Writes
// are buffered: test fail() after flush() or close() to learn whether the
// bytes reached the file.
#pragma once

#include <ios>
#include <ostream>

#include "archive/FileBuffer.h"

class KervOutputStream : public std::ostream {
 public:
  // Creates `name` for writing (mode: out; a new file is always created).
  // A failed creation leaves the stream failed, with errno telling why.
  KervOutputStream(const char* name, std::ios_base::openmode mode);

  // REQUIRES: -32768 <= data <= 32767. Writes the low byte, then the high.
  std::ostream& put16(int data);
  // REQUIRES: data != INT_MIN. Writes the four bytes, least significant first.
  std::ostream& put32(int data);

  bool is_open() const { return file.isOpen(); }
  // Writes out what is buffered and closes; sets failbit, with errno
  // telling why, when a write or the close failed.
  void close();

 private:
  friend class KervInputStream;  // copies blocks straight into `file`
  FileBuffer file;
};
