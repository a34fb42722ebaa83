#include "scenario/NativeName.h"

#include <cerrno>

#include "archive/SystemFile.h"
#include "scenario/Cp932.h"

bool nativeFileName(const char* entry, std::string& native) {
  if (!SystemFile::kUnicodeNames) {
    native = entry;
    return true;
  }
  if (cp932::toUtf8Strictly(entry, native)) return true;
  errno = EILSEQ;
  return false;
}
