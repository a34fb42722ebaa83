// A folder passed through FUSE unchanged, for tests of writes on a file
// system that has no unnamed files (O_TMPFILE): libfuse 3 as Debian ships
// it has no tmpfile operation, so the kernel refuses O_TMPFILE here, as
// NFS, SMB and most FUSE file systems do.
//
// Usage: passthrough_fs SOURCE MOUNTPOINT (stays in the foreground until
// unmounted).
#define FUSE_USE_VERSION 31
#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

int root = -1;

// A FUSE path ("/a/b") relative to the source folder ("a/b", "." for "/").
const char* relative(const char* path) { return path[1] == '\0' ? "." : path + 1; }

int result(int r) { return r < 0 ? -errno : r; }

int pass_getattr(const char* path, struct stat* st, fuse_file_info* fi) {
  if (fi != nullptr) return result(::fstat(static_cast<int>(fi->fh), st));
  return result(::fstatat(root, relative(path), st, AT_SYMLINK_NOFOLLOW));
}

int pass_readlink(const char* path, char* buffer, size_t n) {
  const ssize_t r = ::readlinkat(root, relative(path), buffer, n - 1);
  if (r < 0) return -errno;
  buffer[r] = '\0';
  return 0;
}

int pass_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  const int d = ::openat(root, relative(path), O_RDONLY | O_DIRECTORY);
  if (d < 0) return -errno;
  DIR* dir = ::fdopendir(d);
  while (const dirent* e = ::readdir(dir)) fill(buffer, e->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  ::closedir(dir);
  return 0;
}

int pass_mkdir(const char* path, mode_t mode) { return result(::mkdirat(root, relative(path), mode)); }
int pass_unlink(const char* path) { return result(::unlinkat(root, relative(path), 0)); }
int pass_rmdir(const char* path) { return result(::unlinkat(root, relative(path), AT_REMOVEDIR)); }
int pass_symlink(const char* to, const char* path) { return result(::symlinkat(to, root, relative(path))); }
int pass_link(const char* from, const char* to) { return result(::linkat(root, relative(from), root, relative(to), 0)); }
int pass_rename(const char* from, const char* to, unsigned flags) {
  return result(::renameat2(root, relative(from), root, relative(to), flags));
}
int pass_chmod(const char* path, mode_t mode, fuse_file_info* fi) {
  if (fi != nullptr) return result(::fchmod(static_cast<int>(fi->fh), mode));
  return result(::fchmodat(root, relative(path), mode, 0));
}
int pass_chown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
  if (fi != nullptr) return result(::fchown(static_cast<int>(fi->fh), uid, gid));
  return result(::fchownat(root, relative(path), uid, gid, AT_SYMLINK_NOFOLLOW));
}
int pass_truncate(const char* path, off_t size, fuse_file_info* fi) {
  if (fi != nullptr) return result(::ftruncate(static_cast<int>(fi->fh), size));
  const int d = ::openat(root, relative(path), O_WRONLY);
  if (d < 0) return -errno;
  const int r = result(::ftruncate(d, size));
  ::close(d);
  return r;
}
int pass_utimens(const char* path, const timespec times[2], fuse_file_info* fi) {
  if (fi != nullptr) return result(::futimens(static_cast<int>(fi->fh), times));
  return result(::utimensat(root, relative(path), times, AT_SYMLINK_NOFOLLOW));
}

int pass_open(const char* path, fuse_file_info* fi) {
  const int d = ::openat(root, relative(path), fi->flags & ~O_NOFOLLOW);
  if (d < 0) return -errno;
  fi->fh = static_cast<uint64_t>(d);
  return 0;
}
int pass_create(const char* path, mode_t mode, fuse_file_info* fi) {
  const int d = ::openat(root, relative(path), fi->flags, mode);
  if (d < 0) return -errno;
  fi->fh = static_cast<uint64_t>(d);
  return 0;
}
int pass_read(const char*, char* buffer, size_t n, off_t at, fuse_file_info* fi) {
  return result(static_cast<int>(::pread(static_cast<int>(fi->fh), buffer, n, at)));
}
int pass_write(const char*, const char* buffer, size_t n, off_t at, fuse_file_info* fi) {
  return result(static_cast<int>(::pwrite(static_cast<int>(fi->fh), buffer, n, at)));
}
int pass_release(const char*, fuse_file_info* fi) { return result(::close(static_cast<int>(fi->fh))); }
int pass_fsync(const char*, int, fuse_file_info* fi) { return result(::fsync(static_cast<int>(fi->fh))); }
int pass_fsyncdir(const char*, int, fuse_file_info*) { return 0; }

void* pass_init(fuse_conn_info*, fuse_config* config) {
  config->use_ino = 1;  // the source's inode numbers, so that a file keeps its identity
  config->entry_timeout = config->attr_timeout = config->negative_timeout = 0;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "Usage: passthrough_fs SOURCE MOUNTPOINT\n");
    return 2;
  }
  root = ::open(argv[1], O_RDONLY | O_DIRECTORY);
  if (root < 0) {
    std::perror(argv[1]);
    return 2;
  }
  fuse_operations ops = {};
  ops.getattr = pass_getattr;
  ops.readlink = pass_readlink;
  ops.readdir = pass_readdir;
  ops.mkdir = pass_mkdir;
  ops.unlink = pass_unlink;
  ops.rmdir = pass_rmdir;
  ops.symlink = pass_symlink;
  ops.link = pass_link;
  ops.rename = pass_rename;
  ops.chmod = pass_chmod;
  ops.chown = pass_chown;
  ops.truncate = pass_truncate;
  ops.utimens = pass_utimens;
  ops.open = pass_open;
  ops.create = pass_create;
  ops.read = pass_read;
  ops.write = pass_write;
  ops.release = pass_release;
  ops.fsync = pass_fsync;
  ops.fsyncdir = pass_fsyncdir;
  ops.init = pass_init;
  char* fuseArgv[] = {argv[0], argv[2], const_cast<char*>("-f"), const_cast<char*>("-s"), nullptr};
  return fuse_main(4, fuseArgv, &ops, nullptr);
}
