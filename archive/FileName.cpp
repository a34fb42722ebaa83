#include "archive/FileName.h"

#include <cstring>
#include <string>

namespace {

bool isLeadByte(unsigned b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

bool isUnsafeWindowsComponent(const std::string& part) { return windowsComponentProblem(part) != nullptr; }

}  // namespace

bool isWindowsDeviceName(const std::string& part) {
  // A device name counts whatever its extension, and blanks before it.
  std::string base = part.substr(0, part.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  bool device = base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
                base[3] >= '1' && base[3] <= '9';
  for (const char* name : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) device = device || base == name;
  return device;
}

const char* windowsComponentProblem(const std::string& part) {
  if (part.empty() || part == ".") return nullptr;
  if (part == "..") return "'..' leads outside the folder";
  if (part.back() == '.' || part.back() == ' ') return "a name that ends in a dot or a blank, which Windows drops";
  return isWindowsDeviceName(part) ? "a device name on Windows" : nullptr;
}

bool isUnsafePosixName(const char* name) {
  if (name[0] == '/') return true;
  for (const char* part = name; *part != '\0';) {
    std::size_t n = std::strcspn(part, "/");
    if (n == 2 && part[0] == '.' && part[1] == '.') return true;
    part += n;
    if (*part == '/') ++part;
  }
  return false;
}

bool isUnsafeWindowsName(const char* name) {
  const auto* p = reinterpret_cast<const unsigned char*>(name);
  if (p[0] == '/' || p[0] == '\\') return true;  // absolute, UNC or device
  std::string part;
  for (; *p != '\0'; ++p) {
    if (isLeadByte(*p) && p[1] != '\0') {  // a character of two bytes: its second may be 0x5C
      part += static_cast<char>(*p++);
      part += static_cast<char>(*p);
    } else if (*p == ':') {
      return true;
    } else if (*p == '/' || *p == '\\') {
      if (isUnsafeWindowsComponent(part)) return true;
      part.clear();
    } else {
      part += static_cast<char>(*p);
    }
  }
  return isUnsafeWindowsComponent(part);
}

bool leavesCurrentDirectory(const char* name) {
#if defined(_WIN32)
  return isUnsafeWindowsName(name);
#else
  return isUnsafePosixName(name);
#endif
}

namespace {

bool isSeparator(char c) { return c == '/' || (kWindowsFileNames && c == '\\'); }

std::size_t startOfLast(const std::string& path) {
  std::size_t i = path.size();
  while (i > 0 && !isSeparator(path[i - 1])) --i;
  return i;
}

}  // namespace

std::string baseName(const std::string& path) { return path.substr(startOfLast(path)); }

std::string folderOf(const std::string& path) {
  const std::size_t i = startOfLast(path);
  return i == 0 ? "." : i == 1 ? path.substr(0, 1) : path.substr(0, i - 1);
}

std::string joinPath(const std::string& folder, const std::string& name) {
  if (folder == "." || folder.empty()) return name;
  return isSeparator(folder.back()) ? folder + name : folder + "/" + name;
}
