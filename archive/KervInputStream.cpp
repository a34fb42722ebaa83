#include "archive/KervInputStream.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <iostream>

#include "archive/Exit.h"
#include "archive/KervOutputStream.h"

KervInputStream::KervInputStream(const char* name, std::ios_base::openmode, const char* shownName)
    : std::istream(nullptr) {
  rdbuf(&file);
  int64_t size = 0;
  if (!file.openForReading(name, &size) || size > INT_MAX) {
    file.close();
    cannotOpen(shownName != nullptr ? shownName : name);
  }
  remaining = static_cast<int>(size);
}

void KervInputStream::cannotOpen(const char* name) {
  std::cerr << "Can't open " << name << "." << std::endl;
  exitProcess(-1);
}

void KervInputStream::unexpectedEnd() {
  close();
  std::cerr << "Unexpected end of file." << std::endl;
  exitProcess(-1);
}

void KervInputStream::require(int n) {
  if (n < 0 || n > remaining) unexpectedEnd();
}

void KervInputStream::take(int n) {
  require(n);
  remaining -= n;
}

int KervInputStream::get8() {
  take(1);
  int c = get();
  if (c == traits_type::eof()) unexpectedEnd();  // the file shrank
  return c;
}

int KervInputStream::get16() {
  int b0 = get8();
  int b1 = get8();
  return b0 | (b1 << 8);
}

int KervInputStream::get32() {
  uint32_t v = 0;
  for (int shift = 0; shift < 32; shift += 8) v |= static_cast<uint32_t>(get8()) << shift;
  return static_cast<int32_t>(v);
}

std::istream& KervInputStream::read(char* buffer, int n) {
  take(n);
  std::istream::read(buffer, n);
  if (gcount() != n) unexpectedEnd();  // the file shrank
  return *this;
}

void KervInputStream::copyTo(KervOutputStream* out, int n) {
  take(n);
  FileBuffer* to = out != nullptr ? &out->file : nullptr;
  bool wasFailed = to != nullptr && to->writeFailed();
  if (file.transferTo(to, n) != n) unexpectedEnd();  // the file shrank
  if (to != nullptr && to->writeFailed()) {
    out->setstate(std::ios_base::badbit);
    if (!wasFailed) errno = to->lastWriteError();
  }
}
