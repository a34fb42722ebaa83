// SystemFile on Windows: handles, names converted to UTF-16 for the wide
// file functions, and 64-bit offsets. Windows has no copy between two files
// that keeps the data inside the kernel, so blocks go through memory in
// pieces of 1 MiB.
#include <windows.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "archive/SystemFile.h"
#include "archive/SystemFolder.h"
#include "archive/WindowsNames.h"

// Windows' C library has no ESTALE; linkInPlace() sets it for a file that changed.
#ifndef ESTALE
#define ESTALE 116
#endif

namespace {

HANDLE handleOf(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

int errnoOf(DWORD error) { return windowsNames::errnoOf(error); }

// Sets errno from the last Windows error; returns -1.
int64_t failed() {
  errno = errnoOf(GetLastError());
  return -1;
}

// Sets errno from the last Windows error; returns false.
bool fails() {
  failed();
  return false;
}

bool wideName(const char* name, std::wstring& wide) { return windowsNames::wide(name, wide); }

// A number for the next temporary of this process.
unsigned nextTemporary() {
  static std::atomic<unsigned> counter{0};
  return counter++;
}

// Marks the file h to be deleted when its last handle closes, or takes
// that back.
bool deleteOnClose(HANDLE h, bool yes) {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = yes ? TRUE : FALSE;
  return SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Renames the open file h to the full path `to`, replacing a file there
// when `replace`.
bool renameOpen(HANDLE h, const std::wstring& to, bool replace) {
  std::string buffer(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t), '\0');
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = replace ? TRUE : FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
  std::copy(to.begin(), to.end(), info->FileName);
  return SetFileInformationByHandle(h, FileRenameInfo, info, static_cast<DWORD>(buffer.size())) != 0;
}

DWORD chunk(int64_t n) { return static_cast<DWORD>(n < (int64_t{1} << 30) ? n : int64_t{1} << 30); }

}  // namespace

const std::size_t SystemFile::kCopyBufferSize = 1024 * 1024;
const bool SystemFile::kCanReplaceOpenFiles = false;
const bool SystemFile::kUnicodeNames = true;

namespace {

// Keeps the open file h if it is a regular file (*size its size); else
// closes it, with errno EISDIR or EINVAL.
bool keepIfRegular(HANDLE h, int64_t* size) {
  BY_HANDLE_FILE_INFORMATION info;
  LARGE_INTEGER bytes;
  const int e = GetFileType(h) != FILE_TYPE_DISK ? EINVAL
                : !GetFileInformationByHandle(h, &info) ? errnoOf(GetLastError())
                : (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EISDIR
                : !GetFileSizeEx(h, &bytes) ? errnoOf(GetLastError())
                                            : 0;
  if (e != 0) {
    CloseHandle(h);
    errno = e;
    return false;
  }
  *size = bytes.QuadPart;
  return true;
}

}  // namespace

bool SystemFile::openDuplicate(int descriptor, int64_t* size) {
  const HANDLE from = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
  HANDLE h = INVALID_HANDLE_VALUE;
  if (from == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return false;
  }
  if (!DuplicateHandle(GetCurrentProcess(), from, GetCurrentProcess(), &h, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    failed();
    return false;
  }
  LARGE_INTEGER bytes;
  int e = GetFileType(h) != FILE_TYPE_DISK ? EINVAL : !GetFileSizeEx(h, &bytes) ? errnoOf(GetLastError()) : 0;
  if (e != 0) {
    CloseHandle(h);
    errno = e;
    return false;
  }
  handle = reinterpret_cast<intptr_t>(h);
  *size = bytes.QuadPart;
  return true;
}

bool SystemFile::openForReading(const char* name, int64_t* size) {
  std::wstring wide;
  if (!wideName(name, wide)) return false;
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    errno = EISDIR;
    return false;
  }
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    failed();
    return false;
  }
  LARGE_INTEGER bytes;
  int e = GetFileType(h) != FILE_TYPE_DISK ? EINVAL : !GetFileSizeEx(h, &bytes) ? errnoOf(GetLastError()) : 0;
  if (e != 0) {  // a device, a pipe or a console is no regular file
    CloseHandle(h);
    errno = e;
    return false;
  }
  handle = reinterpret_cast<intptr_t>(h);
  *size = bytes.QuadPart;
  return true;
}

bool SystemFile::createNew(const char* name) {
  std::wstring wide;
  if (!wideName(name, wide)) return false;
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    failed();
    return false;
  }
  if (GetFileType(h) != FILE_TYPE_DISK) {  // a device such as NUL, which exists already
    CloseHandle(h);
    errno = EEXIST;
    return false;
  }
  handle = reinterpret_cast<intptr_t>(h);
  return true;
}

bool SystemFile::openForReadingIn(const SystemFolder& folder, const std::string& relative, int64_t* size) {
  return openForReading((folder.fullPath() + "\\" + relative).c_str(), size);
}

bool SystemFile::openStream(const char* name, int64_t* size) {
  HANDLE h = INVALID_HANDLE_VALUE;
  if (std::string(name) == "-") {
    if (!DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_INPUT_HANDLE), GetCurrentProcess(), &h, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
      return fails();
    }
  } else {
    std::wstring wide;
    if (!wideName(name, wide)) return false;
    h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fails();
  }
  if (GetFileType(h) == FILE_TYPE_DISK) {
    if (!keepIfRegular(h, size)) return false;
  } else {
    *size = -1;  // a pipe or a device, read to its end
  }
  handle = reinterpret_cast<intptr_t>(h);
  return true;
}

bool SystemFile::createAnonymous() {
  wchar_t folder[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, L"krv", 0, name) == 0) return fails();
  const HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fails();
  handle = reinterpret_cast<intptr_t>(h);
  return true;
}

bool SystemFile::createUnnamed(const SystemFolder& folder, const std::string& name, bool) {
  for (int tries = 0; tries < 100; ++tries) {
    const std::string hidden = "." + name.substr(0, 128) + ".kerv-" + std::to_string(GetCurrentProcessId()) + "-" +
                               std::to_string(nextTemporary());
    std::wstring wide;
    if (!wideName((folder.fullPath() + "\\" + hidden).c_str(), wide)) return false;
    const HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                 nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      return fails();
    }
    // Gone with its handle, however the process ends, unless it is named.
    if (!deleteOnClose(h, true)) temporary = hidden;  // else close() deletes it by name
    handle = reinterpret_cast<intptr_t>(h);
    folderPath = folder.fullPath();
    target = name;
    return true;
  }
  errno = EEXIST;
  return false;
}

bool SystemFile::sync() { return FlushFileBuffers(handleOf(handle)) != 0 || fails(); }

bool SystemFile::keepAttributesOf(const FileIdentity& old, const ExtendedAttributes&, std::string* lost) {
  lost->clear();
  if (!old.readOnly()) return true;
  FILE_BASIC_INFO info = {};
  bool ok = GetFileInformationByHandleEx(handleOf(handle), FileBasicInfo, &info, sizeof info) != 0;
  if (ok) {
    info.FileAttributes |= FILE_ATTRIBUTE_READONLY;
    ok = SetFileInformationByHandle(handleOf(handle), FileBasicInfo, &info, sizeof info) != 0;
  }
  if (!ok) {
    fails();
    *lost = std::string("its read-only attribute could not be kept (") + std::strerror(errno) + ")";
  }
  return ok;
}

bool SystemFile::attributes(ExtendedAttributes* out) const {
  out->items.clear();  // the security descriptor stays with the file's name (see the README)
  return true;
}

uint32_t SystemFile::lessUmask(uint32_t mode) { return mode; }

bool SystemFile::lockForUpdate() {
  // A byte far past any end: readers of the file are not stopped by it.
  OVERLAPPED at = {};
  at.Offset = 0xFFFFFFFE;
  at.OffsetHigh = 0x7FFFFFFF;
  if (LockFileEx(handleOf(handle), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return true;
  const DWORD error = GetLastError();
  errno = error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? EWOULDBLOCK : errnoOf(error);
  return false;
}

bool SystemFile::identity(FileIdentity* id) const { return windowsNames::identityOf(handleOf(handle), id); }

bool SystemFile::linkInPlace(bool replace, bool synced, const FileIdentity* expected, bool* changed) {
  const HANDLE h = handleOf(handle);
  std::wstring to;
  bool ok = (synced || sync()) && wideName((folderPath + "\\" + target).c_str(), to);
  if (changed != nullptr) *changed = false;
  if (ok && expected != nullptr) {
    // Windows exchanges no two names: checked just before.
    FileIdentity there;
    const HANDLE old = CreateFileW(to.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                   nullptr);
    const bool same = old != INVALID_HANDLE_VALUE && windowsNames::identityOf(old, &there) &&
                      there.unchangedFrom(*expected);
    if (old != INVALID_HANDLE_VALUE) CloseHandle(old);
    if (!same) {
      if (changed != nullptr) *changed = true;
      if (temporary.empty()) deleteOnClose(h, true);
      close();
      errno = ESTALE;
      return false;
    }
  }
  if (ok && replace) {
    // A read-only file is replaced only once it may be written.
    const DWORD attributes = GetFileAttributesW(to.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      SetFileAttributesW(to.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
  }
  ok = ok && (!temporary.empty() || deleteOnClose(h, false)) && (renameOpen(h, to, replace) || fails());
  if (ok) temporary.clear();
  const int e = errno;
  if (!ok && temporary.empty()) deleteOnClose(h, true);
  if (!close() && ok) return false;
  errno = e;
  return ok;
}

bool SystemFile::seek(int64_t offset) {
  LARGE_INTEGER at;
  at.QuadPart = offset;
  return SetFilePointerEx(handleOf(handle), at, nullptr, FILE_BEGIN) != 0 || fails();
}

void SystemFile::startWriteBack(int64_t, int64_t) {}  // Windows writes back by itself

int64_t SystemFile::read(char* p, int64_t n) {
  DWORD got = 0;
  if (!ReadFile(handleOf(handle), p, chunk(n), &got, nullptr)) {
    return GetLastError() == ERROR_HANDLE_EOF || GetLastError() == ERROR_BROKEN_PIPE ? 0 : failed();
  }
  return got;
}

int64_t SystemFile::readAt(int64_t offset, char* p, int64_t n) const {
  // A read with its own offset; the I/O manager keeps such reads of one
  // handle apart, so threads may share it.
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  if (!ReadFile(handleOf(handle), p, chunk(n), &got, &at)) {
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : failed();
  }
  return got;
}

int64_t SystemFile::write(const char* p, int64_t n) {
  DWORD written = 0;
  if (!WriteFile(handleOf(handle), p, chunk(n), &written, nullptr)) return failed();
  return written;
}

int64_t SystemFile::kernelCopyFrom(const SystemFile&, int64_t, int64_t, int*) { return -1; }

int64_t SystemFile::kernelCopyTo(SystemFile&, int64_t, int*) { return -1; }

int64_t SystemFile::kernelCopy(intptr_t, int64_t*, int64_t, int*) { return -1; }

bool SystemFile::close() {
  if (handle == kNone) return true;
  bool ok = CloseHandle(handleOf(handle)) != 0;
  if (!ok) failed();
  handle = kNone;
  std::wstring wide;
  if (!temporary.empty() && wideName((folderPath + "\\" + temporary).c_str(), wide)) DeleteFileW(wide.c_str());
  temporary.clear();
  target.clear();
  folderPath.clear();
  return ok;
}

bool SystemFile::timesOf(const char* name, Times* times) {
  std::wstring wide;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!wideName(name, wide) || !GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) return fails();
  // FILETIME counts 100 ns from 1601.
  const auto ns = [](const FILETIME& t) {
    return ((int64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime) - 116444736000000000) * 100;
  };
  *times = {ns(data.ftLastAccessTime), ns(data.ftLastWriteTime), ns(data.ftLastWriteTime)};
  return true;
}
