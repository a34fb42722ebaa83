// FileIdentity from what stat(2) says. Internal to the POSIX file layer.
#pragma once

#include <sys/stat.h>

#include "archive/FileIdentity.h"

inline FileIdentity identityOf(const struct stat& st) {
  FileIdentity id;
  id.type = S_ISREG(st.st_mode)   ? FileIdentity::Type::file
            : S_ISDIR(st.st_mode) ? FileIdentity::Type::folder
            : S_ISLNK(st.st_mode) ? FileIdentity::Type::link
                                  : FileIdentity::Type::other;
  id.device = static_cast<uint64_t>(st.st_dev);
  id.number = static_cast<uint64_t>(st.st_ino);
  id.size = static_cast<int64_t>(st.st_size);
  id.modified = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  id.mode = static_cast<uint32_t>(st.st_mode & 07777);
  id.links = static_cast<uint32_t>(st.st_nlink);
  id.owner = static_cast<int64_t>(st.st_uid);
  id.group = static_cast<int64_t>(st.st_gid);
  return id;
}
