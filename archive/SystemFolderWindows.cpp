// SystemFolder on Windows: a handle held without FILE_SHARE_DELETE, so
// that the folder cannot be renamed or removed while it is open, and its
// full path, which the wide file functions take (Windows has no openat).
#include <windows.h>

#include <cerrno>
#include <string>

#include "archive/SystemFolder.h"
#include "archive/WindowsNames.h"

namespace {

HANDLE handleOf(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Opens the folder `path` itself (not where a reparse point leads).
HANDLE openFolder(const std::wstring& path) {
  return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

}  // namespace

bool SystemFolder::open(const std::string& path, bool create) {
  close();
  std::wstring wide;
  if (!windowsNames::wide(path.empty() ? "." : path, wide) || !windowsNames::full(wide)) return false;
  if (create) {
    // Each folder on the way, from the first below the root.
    for (std::size_t i = 3; i <= wide.size(); ++i) {
      if (i < wide.size() && wide[i] != L'\\') continue;
      if (!CreateDirectoryW(wide.substr(0, i).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        errno = windowsNames::errnoOf(GetLastError());
        return false;
      }
    }
  }
  // The folder a person named: links in its path are followed.
  const HANDLE h = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                               nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    errno = windowsNames::errnoOf(GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    CloseHandle(h);
    errno = ENOTDIR;
    return false;
  }
  handle = reinterpret_cast<intptr_t>(h);
  path_ = path.empty() ? "." : path;
  full_ = windowsNames::utf8(wide);
  return true;
}

bool SystemFolder::openBeneath(const SystemFolder& base, const std::string& relative, bool create) {
  close();
  std::wstring at, rest;
  if (!windowsNames::wide(base.full_, at) || !windowsNames::wide(relative, rest)) return false;
  HANDLE held = INVALID_HANDLE_VALUE;  // the folder reached so far, which cannot move while held
  for (std::size_t start = 0; start < rest.size();) {
    std::size_t end = rest.find(L'/', start);
    if (end == std::wstring::npos) end = rest.size();
    at += L"\\" + rest.substr(start, end - start);
    start = end + 1;
    if (create && !CreateDirectoryW(at.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      errno = windowsNames::errnoOf(GetLastError());
      if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
      return false;
    }
    const HANDLE h = openFolder(at);
    BY_HANDLE_FILE_INFORMATION info;
    int e = h == INVALID_HANDLE_VALUE ? windowsNames::errnoOf(GetLastError())
            : !GetFileInformationByHandle(h, &info) ? windowsNames::errnoOf(GetLastError())
            : (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ELOOP
            : (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? ENOTDIR
                                                                        : 0;
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    held = h;
    if (e != 0) {
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
      errno = e;
      return false;
    }
  }
  if (held == INVALID_HANDLE_VALUE) return open(base.full_, false);
  handle = reinterpret_cast<intptr_t>(held);
  path_ = base.path_ == "." ? relative : base.path_ + "/" + relative;
  full_ = windowsNames::utf8(at);
  return true;
}

bool SystemFolder::identityOf(const std::string& name, FileIdentity* id) const {
  std::wstring wide;
  if (!windowsNames::wide(full_ + "\\" + name, wide)) return false;
  const HANDLE h = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      *id = FileIdentity();
      return true;
    }
    errno = windowsNames::errnoOf(error);
    return false;
  }
  const bool ok = windowsNames::identityOf(h, id);
  CloseHandle(h);
  return ok;
}

void SystemFolder::sync() const {}  // a rename is written through (MOVEFILE_WRITE_THROUGH)

void SystemFolder::removeStaleTemporaries(const std::string&) const {}  // the system deletes a temporary whose process ended

bool SystemFolder::attributesOf(const std::string&, ExtendedAttributes* out) const {
  out->items.clear();
  return true;
}

bool SystemFolder::mayWrite(const std::string& name) const {
  std::wstring wide;
  if (!windowsNames::wide(full_ + "\\" + name, wide)) return false;
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

void SystemFolder::close() {
  if (handle != kNone) CloseHandle(handleOf(handle));
  handle = kNone;
  path_.clear();
  full_.clear();
}
