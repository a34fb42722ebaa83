// What the system says of a file: which file it is (device and file
// number), its size and modification time, its permission bits, links,
// owner and group. Enough to tell that a name still holds the file that was
// read, that a write would land on an input, or what a replacement must keep.
#pragma once

#include <cstdint>

struct FileIdentity {
  enum class Type { none, file, folder, link, other };

  Type type = Type::none;
  uint64_t device = 0;
  uint64_t number = 0;    // the inode on POSIX, the file index on Windows
  int64_t size = 0;
  int64_t modified = 0;   // nanoseconds since 1970
  uint32_t mode = 0;      // permission bits (07777); on Windows 0444 when read-only, else 0666
  uint32_t links = 0;     // names the file has
  int64_t owner = -1;     // -1 where the system has no owner (Windows)
  int64_t group = -1;

  bool exists() const { return type != Type::none; }
  // Whether both are the same file, whatever its contents.
  bool sameFile(const FileIdentity& other) const {
    return exists() && other.exists() && device == other.device && number == other.number;
  }
  // Whether both are the same file, not written since: same size and time.
  bool unchangedFrom(const FileIdentity& other) const {
    return sameFile(other) && size == other.size && modified == other.modified;
  }
  // Whether no one may write the file by its permission bits.
  bool readOnly() const { return (mode & 0222) == 0; }
};
