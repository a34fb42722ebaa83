// An input file that is measured when it is opened and that counts every
// byte it hands out against that size.
//
// A file that cannot be opened, is not a regular file or is 2 GiB or
// larger ends the process with "Can't open <name>."; a counted read of more
// bytes than remain ends it with "Unexpected end of file.". Callers
// therefore never test for a missing file or a short read themselves.
#pragma once

#include <ios>
#include <istream>

#include "archive/FileBuffer.h"

class KervOutputStream;

class KervInputStream : public std::istream {
 public:
  // Opens `name` for reading (mode: in; nothing is ever created) and
  // measures it; on failure ends the process as described above, the
  // message naming `shownName` when it is given (the file-list entry that
  // `name` was made from), else `name`.
  KervInputStream(const char* name, std::ios_base::openmode mode, const char* shownName = nullptr);

  // One byte, 0 to 255.
  int get8();
  // Two bytes, least significant first; 0 to 65535.
  int get16();
  // Four bytes, least significant first, as a signed 32-bit value.
  int get32();
  // Reads exactly n bytes into buffer. REQUIRES: buffer holds n bytes.
  std::istream& read(char* buffer, int n);

  // Bytes that may still be read; right after opening, the file's size.
  int getRemaining() const { return remaining; }

  // Writes "Can't open <name>." and ends the process with status -1.
  [[noreturn]] static void cannotOpen(const char* name);

  // Ends the process with "Unexpected end of file." unless n more bytes
  // remain (also when n is negative). Reads nothing.
  void require(int n);

  // Reads the next n bytes and appends them to `out`, or drops them when
  // `out` is null. A failed write leaves `out` failed, with errno telling
  // why, and the rest of the n bytes are still consumed.
  void copyTo(KervOutputStream* out, int n);

  bool is_open() const { return file.isOpen(); }
  void close() { file.close(); }

 private:
  // Counts n bytes as read: ends the process if fewer remain.
  void take(int n);
  [[noreturn]] void unexpectedEnd();

  FileBuffer file;
  int remaining = 0;
};
