// A folder held open, so that files are made in it, and folders beneath it
// are found, by its descriptor rather than by a path that another process
// could change meanwhile (a folder swapped for a symbolic link, say).
// SystemFolderPosix.cpp and SystemFolderWindows.cpp implement it.
//
// Names are the platform's own, as for SystemFile. Failures return false
// with errno set; a symbolic link (on Windows, a reparse point) where none
// may be fails with ELOOP.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/FileIdentity.h"
#include "archive/SystemFile.h"

class SystemFolder {
 public:
  SystemFolder() = default;
  ~SystemFolder() { close(); }
  SystemFolder(const SystemFolder&) = delete;
  SystemFolder& operator=(const SystemFolder&) = delete;

  // Opens the folder `path` ("" or "." the current one). Symbolic links in
  // the path are followed: it is the folder a person named. With `create`,
  // the folder and those above it are created where they are missing
  // (permission 0777 less the umask).
  bool open(const std::string& path, bool create);

  // Opens the folder `relative` ('/' separating its components; none empty,
  // "." or "..") beneath `base`, creating those that are missing when
  // `create` (each put on stable storage in the folder that holds it). No
  // component may be a symbolic link (ELOOP), whatever another
  // process does meanwhile: on Linux openat2 with RESOLVE_BENEATH and
  // RESOLVE_NO_SYMLINKS, else one openat with O_NOFOLLOW per component; on
  // Windows a reparse point, checked on the opened handle, is refused.
  bool openBeneath(const SystemFolder& base, const std::string& relative, bool create);

  // What stands under `name` (no separator) in this folder, not following
  // a symbolic link: *id with type none when nothing does. False, with
  // errno set, only when that cannot be told.
  bool identityOf(const std::string& name, FileIdentity* id) const;

  // Puts the folder's names on stable storage (where the system needs that asked for).
  void sync() const;

  // Removes what an earlier write of `name` in this folder left behind when
  // its process was killed: hidden temporaries of exactly the form
  // ".NAME.kerv-PID-N" it gives them (SystemFile::createUnnamed), owned by
  // this user, of a process number the system can have that no process
  // has now, and not locked. Nothing else. The folder is read once while
  // it is held open; later calls look only at what that reading found.
  void removeStaleTemporaries(const std::string& name) const;

  // The extended attributes of what `name` holds (a symbolic link is not
  // followed); false, with errno set, when they cannot be read.
  bool attributesOf(const std::string& name, ExtendedAttributes* out) const;

  // Whether this process may write the file `name` by its permission bits,
  // owner and ACL (the effective user's rights).
  bool mayWrite(const std::string& name) const;

  bool isOpen() const { return handle != kNone; }
  // The path it was opened by (joined with `relative` for openBeneath), for messages.
  const std::string& path() const { return path_; }
  // The path the system's calls take: path() on POSIX, the full path on Windows.
  const std::string& fullPath() const { return full_; }
  // A descriptor on POSIX, a HANDLE on Windows.
  intptr_t nativeHandle() const { return handle; }

  void close();

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t handle = kNone;
  std::string path_;
  std::string full_;
  // What looked like kerv's temporaries when the folder was first read
  // for them (removeStaleTemporaries), those not yet looked at.
  mutable bool temporariesRead = false;
  mutable std::vector<std::string> temporariesFound;
};
