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
#include <utility>
#include <vector>

#include "archive/FileIdentity.h"

class SystemFolder;

// A file's extended attributes, as names and values (its POSIX ACL is
// "system.posix_acl_access"). Empty where the system has none.
struct ExtendedAttributes {
  std::vector<std::pair<std::string, std::string>> items;
};

class SystemFile {
 public:
  // Blocks move through memory in pieces of this size where the kernel
  // cannot move them itself: 64 KiB on POSIX, 1 MiB on Windows.
  static const std::size_t kCopyBufferSize;
  // Whether names are Unicode, taken as UTF-8 (Windows), rather than bytes
  // as they stand (POSIX).
  static const bool kUnicodeNames;
  // Whether a file that is open may be replaced by another (Windows: no,
  // not even by one that the same process holds).
  static const bool kCanReplaceOpenFiles;

  SystemFile() = default;
  ~SystemFile() { close(); }
  SystemFile(const SystemFile&) = delete;
  SystemFile& operator=(const SystemFile&) = delete;

  // Opens an existing regular file read-only and stores its size in *size.
  // A directory fails with EISDIR, anything else that is not a regular file
  // (a FIFO, a device) with EINVAL; neither blocks.
  bool openForReading(const char* name, int64_t* size);

  // Opens for reading a duplicate of `descriptor`, an open file of the
  // process (a POSIX descriptor; on Windows a C runtime one), so that the
  // caller may close its own; refused as openForReading refuses what is no
  // regular file. Reads are positioned: the descriptor's offset is left.
  bool openDuplicate(int descriptor, int64_t* size);

  // Creates a new file for writing, with permission 0664 less the umask
  // where the platform has permission bits. Fails with EEXIST when the name
  // exists in any form (a dangling symbolic link included): nothing that
  // exists is ever opened, followed or replaced.
  bool createNew(const char* name);

  // Opens the regular file `relative` beneath `folder` read-only and stores
  // its size in *size. On Linux a symbolic link may lead anywhere beneath
  // the folder but not outside it (openat2's RESOLVE_BENEATH, EXDEV);
  // elsewhere the name alone is checked by the caller.
  bool openForReadingIn(const SystemFolder& folder, const std::string& relative, int64_t* size);

  // Opens `name` for reading whatever it is but a folder: a regular file
  // (*size its size) or a pipe, a FIFO or a device read to its end (*size
  // -1). "-" is standard input, which the file then shares.
  bool openStream(const char* name, int64_t* size);

  // Creates, for writing, a file that has no name and never gets one: it
  // is gone when it is closed or the process ends (a scratch copy of a
  // pipe). In TMPDIR, else /tmp.
  bool createAnonymous();

  // Creates, for writing, a file that is to become `name` in `folder` but
  // has no name yet: until linkInPlace() succeeds no other process sees it,
  // and closing it, or the end of the process at any moment, leaves nothing
  // behind. Linux makes it an unnamed file (O_TMPFILE). Where the folder's
  // file system has none it is a hidden temporary ".NAME.kerv-PID-N",
  // locked while it lives, removed when the file is closed unlinked, on
  // SIGINT, SIGTERM and SIGHUP where the program asked for that
  // (removeTemporariesOnSignals), and by a later write of the same name
  // after a harder end (see SystemFolder::removeStaleTemporaries). Windows
  // makes it a temporary that the system deletes when its handle closes
  // unless it was linked in place. Permission 0664 less the umask, or with
  // `ownerOnly` 0600 (for a file that is to replace one, and take its
  // permissions once it is complete: keepAttributesOf).
  bool createUnnamed(const SystemFolder& folder, const std::string& name, bool ownerOnly = false);
  // Puts the file written since createUnnamed() on stable storage, then
  // gives it its name, puts that on stable storage too, and closes the
  // file. With `replace` false a file that has the name is left alone and
  // the call fails with EEXIST. With `replace` true it is replaced in one
  // step, so that the name always holds either the old file whole or the
  // new one; with `expected` too, only while the name holds that file
  // unchanged (FileIdentity::unchangedFrom), checked at the replacement
  // itself where the file system exchanges two names atomically (else just
  // before it): otherwise nothing is replaced, *changed is set and errno is
  // ESTALE. With `synced` the caller has put the file on stable storage
  // (sync) and puts its folder there later (SystemFolder::sync): many files
  // then cost the disk one commit. On failure the file is closed and gone,
  // errno tells why.
  bool linkInPlace(bool replace, bool synced = false, const FileIdentity* expected = nullptr, bool* changed = nullptr);
  // Puts what was written on stable storage; false, with errno set, on failure.
  bool sync();
  // Gives the file the owner and group of `old` where the process may set
  // them, its permission bits, and the extended attributes `attributes`
  // (the ACL among them). False, with *lost saying what could not be kept
  // and why, when any could not (the bits are kept all the same, less
  // set-user-ID and set-group-ID where the owner is not).
  bool keepAttributesOf(const FileIdentity& old, const ExtendedAttributes& attributes, std::string* lost);
  // The open file's extended attributes (its ACL among them); false, with
  // errno set, when they cannot be read. None where the system has none.
  bool attributes(ExtendedAttributes* out) const;

  // Takes the lock that one update of a file holds while it runs,
  // exclusive whatever the file could be opened for (flock(2), and an open
  // file description lock where the file may be written, which kerv 1.0
  // took); LockFileEx on Windows, on a byte far past any end, so that
  // readers are not stopped. Fails at once, with EWOULDBLOCK, when another
  // update holds it; with another errno when the file system takes no such
  // lock. Released when the file closes.
  bool lockForUpdate();

  // The permission bits a new file of permission `mode` gets: less the umask.
  static uint32_t lessUmask(uint32_t mode);

  // What the system says of the open file.
  bool identity(FileIdentity* id) const;

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

  // Moves up to n bytes of `from`, from `offset` on, to this file's
  // position inside the kernel, leaving `from`'s position alone (so that
  // threads may share it). Returns the count taken from `from`; 0 when none
  // moved (it may have ended, or the file system declined: the caller
  // confirms with readAt()); -1 when the kernel cannot copy here, now or
  // later (the caller copies through memory; nothing was taken). When bytes
  // were taken but could not all be written, *writeError is set to the
  // errno of the failure: they are lost to this file. Windows has no such
  // copy and always answers -1.
  int64_t kernelCopyFrom(const SystemFile& from, int64_t offset, int64_t n, int* writeError);

  // The same from `from`'s own position, which moves on by the count taken
  // (the streams of the packer and the divider copy so).
  int64_t kernelCopyTo(SystemFile& to, int64_t n, int* writeError);

  // Closes the file. False when the system reports a failure on closing.
  bool close();

 private:
  static constexpr intptr_t kNone = -1;

  // Moves what the kernel copy takes: n bytes from `in` (at *offset when
  // offset is given, else at its position) to this file's position.
  int64_t kernelCopy(intptr_t in, int64_t* offset, int64_t n, int* writeError);

  intptr_t handle = kNone;  // a descriptor on POSIX, a HANDLE on Windows
  // A file of createUnnamed(): its folder (a descriptor of its own on
  // POSIX, the folder's path on Windows), the name it is to get, and the
  // temporary name it has meanwhile (empty when it has none, an O_TMPFILE).
  intptr_t folderHandle = kNone;
  std::string folderPath;
  std::string target;
  std::string temporary;
  int temporarySlot = -1;   // where the signal handlers find it
  intptr_t lockHandle = kNone;  // the descriptor that holds the update lock, where it is not `handle`
  // Linux: the kernel's two ways of copying, and whether each still works
  // here; the pipe is made on the first splice.
  [[maybe_unused]] int pipeEnds[2] = {-1, -1};
  [[maybe_unused]] bool rangeCopyWorks = true;
  [[maybe_unused]] bool spliceWorks = true;
};
