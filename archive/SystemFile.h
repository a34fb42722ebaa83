// One open file of the operating system: what the streams, the file buffer
// and the archive reader need from it, and nothing more. This is where the
// platforms differ; SystemFilePosix.cpp and SystemFileWindows.cpp each
// implement it.
//
// Names are the platform's own: bytes as they stand on POSIX, UTF-8 on
// Windows (whose file system names are Unicode). A name from a scenario's
// file list, in Shift_JIS, is turned into such a name above this layer
// (see scenario/NativeName.h).
//
// Failures return false or -1 with errno set, as POSIX calls do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class SystemFile {
 public:
  // Blocks move through memory in pieces of this size where the kernel
  // cannot move them itself: 64 KiB on POSIX, 1 MiB on Windows.
  static const std::size_t kCopyBufferSize;
  // Whether names are Unicode, taken as UTF-8 (Windows), rather than bytes
  // as they stand (POSIX).
  static const bool kUnicodeNames;

  SystemFile() = default;
  ~SystemFile() { close(); }
  SystemFile(const SystemFile&) = delete;
  SystemFile& operator=(const SystemFile&) = delete;

  // Opens an existing regular file read-only and stores its size in *size.
  // A directory fails with EISDIR, anything else that is not a regular file
  // (a FIFO, a device) with EINVAL; neither blocks.
  bool openForReading(const char* name, int64_t* size);

  // Creates a new file for writing, with permission 0664 less the umask
  // where the platform has permission bits. Fails with EEXIST when the name
  // exists in any form (a dangling symbolic link included): nothing that
  // exists is ever opened, followed or replaced.
  bool createNew(const char* name);

  // Creates, for writing, a file that is to become `name` but has no name
  // yet: until linkInPlace() succeeds no other process sees it, and closing
  // it, or the end of the process at any moment, leaves nothing behind.
  // Linux makes it an unnamed file in name's folder (O_TMPFILE); where that
  // folder's file system has none, and on Windows, it is a hidden temporary
  // name beside `name`, removed when the file is closed unlinked (the end of
  // the process may leave that one). Permission 0664 less the umask.
  bool createUnnamed(const char* name);
  // Puts the file written since createUnnamed() on stable storage, then
  // gives it its name, puts that on stable storage too, and closes the
  // file. With `replace` false a file that has the name is left alone and
  // the call fails with EEXIST; with `replace` true it is replaced in one
  // step, so that the name always holds either the old file whole or the
  // new one. With `synced` the caller has put the file on stable storage
  // (sync) and puts its folder there later (syncFolder): many files then
  // cost the disk one commit. On failure the file is closed and gone,
  // errno tells why.
  bool linkInPlace(bool replace, bool synced = false);
  // Puts what was written on stable storage; false, with errno set, on failure.
  bool sync();
  // Puts the names in the folder `name` on stable storage (where the
  // system needs that asked for).
  static void syncFolder(const char* name);

  // Creates the folder `name` (permission 0777 less the umask), or accepts
  // one that exists; fails with ENOTDIR when `name` exists as anything
  // else, a symbolic link included unless `linkAllowed` and it leads to a
  // folder.
  static bool makeFolder(const char* name, bool linkAllowed = false);
  // Creates the folder `name` and those above it that are missing, all
  // with makeFolder(linkAllowed).
  static bool makeFolders(const std::string& name, bool linkAllowed);
  // Whether anything has the name `name` (a dangling symbolic link too).
  static bool exists(const char* name);

  // When a file was last read, written and changed, in nanoseconds since 1970.
  struct Times {
    int64_t accessed = 0, modified = 0, changed = 0;
  };
  // The times of the file `name`; false, with errno set, when it has none.
  static bool timesOf(const char* name, Times* times);

  bool isOpen() const { return handle != kNone; }
  // The system's own handle of the open file: a descriptor on POSIX, a
  // HANDLE on Windows; for calls beyond this class (a FUSE reply spliced
  // from the file, say). The file keeps it.
  intptr_t nativeHandle() const { return handle; }

  // Moves the file position to `offset`; false on failure.
  bool seek(int64_t offset);
  // Starts writing [offset..offset+n) of the file to stable storage
  // without waiting for it (Linux), so that a later sync has less left to
  // wait for; elsewhere it does nothing.
  void startWriteBack(int64_t offset, int64_t n);

  // Reads up to n bytes at the file position: the count, 0 at the end, -1
  // on failure.
  int64_t read(char* p, int64_t n);
  // Reads up to n bytes at `offset` without using the file position; safe
  // from several threads at once. The count, 0 at the end, -1 on failure.
  int64_t readAt(int64_t offset, char* p, int64_t n) const;
  // Writes up to n bytes at the file position: the count (at least 1), -1
  // on failure.
  int64_t write(const char* p, int64_t n);

  // Moves up to n bytes from this file's position to the position of `to`
  // inside the kernel. Returns the count taken from this file; 0 when none
  // moved (the file may have ended, or the file system declined: the caller
  // confirms with read()); -1 when the kernel cannot copy here, now or
  // later (the caller copies through memory; nothing was taken). When bytes
  // were taken but could not all be written, *writeError is set to the
  // errno of the failure: they are lost to `to`, while this file stays in
  // step. Windows has no such copy and always answers -1.
  int64_t kernelCopyTo(SystemFile& to, int64_t n, int* writeError);

  // Closes the file. False when the system reports a failure on closing.
  bool close();

 private:
  static constexpr intptr_t kNone = -1;

  intptr_t handle = kNone;  // a descriptor on POSIX, a HANDLE on Windows
  // A file of createUnnamed(): the name it is to get, and the temporary
  // name it has meanwhile (empty when it has none, an O_TMPFILE).
  std::string target;
  std::string temporary;
  // Linux: the kernel's two ways of copying, and whether each still works
  // here; the pipe is made on the first splice.
  [[maybe_unused]] int pipeEnds[2] = {-1, -1};
  [[maybe_unused]] bool rangeCopyWorks = true;
  [[maybe_unused]] bool spliceWorks = true;
};
