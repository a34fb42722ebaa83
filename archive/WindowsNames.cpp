#include "archive/WindowsNames.h"

#include <cerrno>

namespace windowsNames {

bool wide(const std::string& name, std::wstring& out) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.c_str(), -1, nullptr, 0);
  if (n <= 0) {
    errno = EILSEQ;
    return false;
  }
  out.resize(static_cast<std::size_t>(n));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.c_str(), -1, out.data(), n);
  out.pop_back();  // the terminator, which the string keeps by itself
  return true;
}

std::string utf8(const std::wstring& text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

bool full(std::wstring& path) {
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  std::wstring out(n, L'\0');
  const DWORD got = n == 0 ? 0 : GetFullPathNameW(path.c_str(), n, out.data(), nullptr);
  if (got == 0 || got >= n) {
    errno = errnoOf(GetLastError());
    return false;
  }
  out.resize(got);
  while (out.size() > 3 && out.back() == L'\\') out.pop_back();
  path = out;
  return true;
}

int errnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
      return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NO_UNICODE_TRANSLATION:
      return EILSEQ;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    default:
      return EIO;
  }
}

bool identityOf(HANDLE h, FileIdentity* id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) {
    errno = errnoOf(GetLastError());
    return false;
  }
  FileIdentity out;
  const DWORD a = info.dwFileAttributes;
  out.type = (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? FileIdentity::Type::link
             : (a & FILE_ATTRIBUTE_DIRECTORY) != 0   ? FileIdentity::Type::folder
                                                     : FileIdentity::Type::file;
  out.device = info.dwVolumeSerialNumber;
  out.number = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  out.size = static_cast<int64_t>(uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow);
  // FILETIME counts 100 ns from 1601.
  out.modified = (static_cast<int64_t>(uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32 |
                                       info.ftLastWriteTime.dwLowDateTime) -
                  116444736000000000) * 100;
  out.mode = (a & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
  out.links = info.nNumberOfLinks;
  *id = out;
  return true;
}

}  // namespace windowsNames
