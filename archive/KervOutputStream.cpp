#include "archive/KervOutputStream.h"

#include <climits>

#include "archive/Assert.h"

KervOutputStream::KervOutputStream(const char* name, std::ios_base::openmode) : std::ostream(nullptr) {
  rdbuf(&file);
  if (!file.createNew(name)) setstate(std::ios_base::failbit);
}

std::ostream& KervOutputStream::put16(int data) {
  KERV_ASSERT(-32768 <= data, "-32768<=data");
  KERV_ASSERT(data <= 32767, "data<=32767");
  put(static_cast<char>(data & 0xFF));
  return put(static_cast<char>((data >> 8) & 0xFF));
}

std::ostream& KervOutputStream::put32(int data) {
  // Every other int is in range: the upper bound, 2147483647, is INT_MAX.
  KERV_ASSERT(-2147483647 <= data, "-2147483647<=data");
  for (int shift = 0; shift < 32; shift += 8) put(static_cast<char>((data >> shift) & 0xFF));
  return *this;
}

void KervOutputStream::close() {
  if (!file.close()) setstate(std::ios_base::failbit);
}
