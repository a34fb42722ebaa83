#include "archive/FileName.h"

#include <cstring>

bool leavesCurrentDirectory(const char* name) {
  if (name[0] == '/') return true;
  for (const char* part = name; *part != '\0';) {
    std::size_t n = std::strcspn(part, "/");
    if (n == 2 && part[0] == '.' && part[1] == '.') return true;
    part += n;
    if (*part == '/') ++part;
  }
  return false;
}
