// SystemFile on Windows: handles, names converted to UTF-16 for the wide
// file functions, and 64-bit offsets. Windows has no copy between two files
// that keeps the data inside the kernel, so blocks go through memory in
// pieces of 1 MiB.
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "archive/SystemFile.h"

namespace {

HANDLE handleOf(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// The errno that a POSIX system reports for what the Windows error means.
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
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    default:
      return EIO;
  }
}

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

// `name`, in UTF-8, in UTF-16. False, with errno EILSEQ, when it is no UTF-8.
bool wideName(const char* name, std::wstring& wide) {
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0);
  if (n <= 0) {
    errno = EILSEQ;
    return false;
  }
  wide.resize(static_cast<std::size_t>(n));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide.data(), n);
  wide.pop_back();  // the terminator, which the string keeps by itself
  return true;
}

// A name beside `name` that nothing has yet, most likely.
std::string temporaryNameFor(const std::string& name) {
  static std::atomic<unsigned> counter{0};
  return name + ".kerv-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++) + ".tmp";
}

DWORD chunk(int64_t n) { return static_cast<DWORD>(n < (int64_t{1} << 30) ? n : int64_t{1} << 30); }

}  // namespace

const std::size_t SystemFile::kCopyBufferSize = 1024 * 1024;
const bool SystemFile::kUnicodeNames = true;

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

bool SystemFile::createUnnamed(const char* name) {
  std::wstring wide;
  if (!wideName(name, wide)) return false;
  for (int tries = 0; tries < 100; ++tries) {
    temporary = temporaryNameFor(name);
    if (!createNew(temporary.c_str())) {
      if (errno == EEXIST) continue;
      break;
    }
    target = name;
    return true;
  }
  temporary.clear();
  return false;
}

bool SystemFile::sync() { return FlushFileBuffers(handleOf(handle)) != 0 || fails(); }

void SystemFile::syncFolder(const char*) {}  // MoveFileExW writes its change through

bool SystemFile::linkInPlace(bool replace, bool synced) {
  std::wstring from, to;
  bool ok = synced || sync();
  ok = CloseHandle(handleOf(handle)) != 0 && ok;
  handle = kNone;
  if (ok && wideName(temporary.c_str(), from) && wideName(target.c_str(), to)) {
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    ok = MoveFileExW(from.c_str(), to.c_str(), flags) != 0 || fails();
  } else if (ok) {
    ok = false;  // errno is set
  }
  const int e = errno;
  if (!ok) DeleteFileW(from.c_str());
  temporary.clear();
  target.clear();
  errno = e;
  return ok;
}

bool SystemFile::makeFolder(const char* name, bool linkAllowed) {
  std::wstring wide;
  if (!wideName(name, wide)) return false;
  const auto isFolder = [&] {
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (linkAllowed || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0);
  };
  if (linkAllowed && isFolder()) return true;  // a drive such as "C:" too
  if (CreateDirectoryW(wide.c_str(), nullptr)) return true;
  if (GetLastError() != ERROR_ALREADY_EXISTS) return fails();
  if (isFolder()) return true;
  errno = ENOTDIR;
  return false;
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
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : failed();
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

int64_t SystemFile::kernelCopyTo(SystemFile&, int64_t, int*) { return -1; }

bool SystemFile::close() {
  if (handle == kNone) return true;
  bool ok = CloseHandle(handleOf(handle)) != 0;
  if (!ok) failed();
  handle = kNone;
  std::wstring wide;
  if (!temporary.empty() && wideName(temporary.c_str(), wide)) DeleteFileW(wide.c_str());  // never moved in place
  temporary.clear();
  target.clear();
  return ok;
}

bool SystemFile::makeFolders(const std::string& name, bool linkAllowed) {
  for (std::size_t i = 1; i <= name.size(); ++i) {
    const bool end = i == name.size() || name[i] == '/' || name[i] == '\\';
    if (end && !makeFolder(name.substr(0, i).c_str(), linkAllowed)) return false;
  }
  return true;
}

bool SystemFile::exists(const char* name) {
  std::wstring wide;
  return wideName(name, wide) && GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
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
