// kerv mount: an archive as a read-only folder, through libfuse 3. The
// folder holds the scenario and each data file under the names kerv
// extract would write; every read is a positioned read of the archive's
// descriptor (the reader's), which libfuse splices to the kernel, served
// by several threads; nothing is held but the index.
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/System.h"
#include "archive/SystemFile.h"
#include "reader/ArchiveFiles.h"
#include "reader/ArchiveReader.h"
#include "tools/KervCommands.h"
#include "tools/KervCommon.h"

namespace kerv {

namespace {

// A file or folder of the mounted tree, by its path ("/" for the top).
struct Node {
  bool folder = false;
  int64_t offset = 0, size = 0;       // a file: its bytes in the archive
  std::vector<std::string> children;  // a folder: the names in it
};

struct Mount {
  std::unique_ptr<ArchiveReader> reader;
  std::map<std::string, Node> nodes;
  SystemFile::Times times;
};

Mount& mounted() { return *static_cast<Mount*>(fuse_get_context()->private_data); }

// Adds the file `path` (below the top, '/' between its folders) with the
// bytes [offset..offset+size) of the archive, and the folders above it.
// False when a file has the name of one of its folders, or the reverse.
bool add(Mount& m, const std::string& path, int64_t offset, int64_t size) {
  std::string at = "/";
  for (std::size_t from = 0;;) {
    const std::size_t slash = path.find('/', from);
    const std::string name = path.substr(from, slash == std::string::npos ? std::string::npos : slash - from);
    const std::string child = (at == "/" ? "" : at) + "/" + name;
    Node& parent = m.nodes[at];
    auto it = m.nodes.find(child);
    if (slash == std::string::npos) {
      if (it != m.nodes.end()) return false;
      parent.children.push_back(name);
      m.nodes[child] = Node{false, offset, size, {}};
      return true;
    }
    if (it == m.nodes.end()) {
      parent.children.push_back(name);
      m.nodes[child].folder = true;
    } else if (!it->second.folder) {
      return false;
    }
    at = child;
    from = slash + 1;
  }
}

void fill(struct stat* st, const Node& node) {
  const Mount& m = mounted();
  std::memset(st, 0, sizeof *st);
  st->st_mode = node.folder ? S_IFDIR | 0555 : S_IFREG | 0444;
  st->st_nlink = node.folder ? 2 : 1;
  st->st_size = node.size;
  st->st_blocks = (node.size + 511) / 512;
  st->st_uid = ::getuid();
  st->st_gid = ::getgid();
  st->st_atim = {m.times.accessed / 1000000000, m.times.accessed % 1000000000};
  st->st_mtim = {m.times.modified / 1000000000, m.times.modified % 1000000000};
  st->st_ctim = {m.times.changed / 1000000000, m.times.changed % 1000000000};
}

const Node* find(const char* path) {
  const auto& nodes = mounted().nodes;
  const auto it = nodes.find(path);
  return it == nodes.end() ? nullptr : &it->second;
}

int getattr(const char* path, struct stat* st, fuse_file_info*) {
  const Node* node = find(path);
  if (node == nullptr) return -ENOENT;
  fill(st, *node);
  return 0;
}

int readdir(const char* path, void* buffer, fuse_fill_dir_t filler, off_t, fuse_file_info*, fuse_readdir_flags) {
  const Node* node = find(path);
  if (node == nullptr) return -ENOENT;
  if (!node->folder) return -ENOTDIR;
  filler(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  filler(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  for (const std::string& name : node->children) {
    filler(buffer, name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  }
  return 0;
}

int open(const char* path, fuse_file_info* file) {
  const Node* node = find(path);
  if (node == nullptr) return -ENOENT;
  if (node->folder) return -EISDIR;
  if ((file->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  file->keep_cache = 1;  // the archive does not change under a mount
  file->fh = reinterpret_cast<uint64_t>(node);
  return 0;
}

// A read is answered with a range of the archive's descriptor, which
// libfuse splices to the kernel where it can: no copy passes through here.
int readBuffer(const char*, fuse_bufvec** reply, size_t n, off_t from, fuse_file_info* file) {
  const Node& node = *reinterpret_cast<const Node*>(file->fh);
  const int64_t count = from >= node.size ? 0 : std::min<int64_t>(static_cast<int64_t>(n), node.size - from);
  auto* buffers = static_cast<fuse_bufvec*>(std::malloc(sizeof(fuse_bufvec)));  // libfuse frees it
  if (buffers == nullptr) return -ENOMEM;
  *buffers = FUSE_BUFVEC_INIT(static_cast<size_t>(count));
  buffers->buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
  buffers->buf[0].fd = static_cast<int>(mounted().reader->file().nativeHandle());
  buffers->buf[0].pos = node.offset + from;
  *reply = buffers;
  return 0;
}

int statfs(const char*, struct statvfs* st) {
  std::memset(st, 0, sizeof *st);
  st->f_bsize = st->f_frsize = 4096;
  st->f_files = mounted().nodes.size();
  st->f_namemax = 255;
  return 0;
}

void* init(fuse_conn_info* connection, fuse_config* config) {
  // Nothing changes: names, sizes and data may be kept by the kernel as
  // long as it likes, and cached data needs no check before each read.
  connection->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
  connection->want |= connection->capable & (FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);
  config->kernel_cache = 1;
  config->entry_timeout = config->attr_timeout = config->negative_timeout = 86400;
  return fuse_get_context()->private_data;
}

// Whether a file system is mounted at the folder `path`.
bool isMountPoint(const std::string& path) {
  struct statx st = {};
  if (::statx(AT_FDCWD, path.c_str(), AT_NO_AUTOMOUNT, STATX_BASIC_STATS, &st) == 0 &&
      (st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
    return (st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  }
  struct stat self, parent;  // older kernels: the folder is on another device than the one above it
  return ::stat(path.c_str(), &self) == 0 && ::stat((path + "/..").c_str(), &parent) == 0 &&
         (self.st_dev != parent.st_dev || self.st_ino == parent.st_ino);
}

// An option's value for -o, its commas and backslashes escaped.
std::string escaped(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == ',' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

const Command mountCommand = {
    "mount", "mount [-f] ARCHIVE DIR",
    "Mount ARCHIVE as a read-only folder at DIR, and serve it in the background\n"
    "until it is unmounted ('fusermount3 -u DIR', or 'umount DIR' as root). The\n"
    "folder holds the scenario and each data file under the names 'kerv extract'\n"
    "writes; a name listed again appears as NAME (2), NAME (3), ...; names that\n"
    "would be refused are left out and reported. Reads are reads of the archive:\n"
    "nothing is extracted.\n"
    "\n"
    "  -f, --foreground  stay in the foreground until unmounted\n"
    "      --help        display this help and exit\n",
    runMount};

int runMount(int argc, char** argv) {
  bool foreground = false;
  static const option options[] = {{"foreground", no_argument, nullptr, 'f'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
  const int read = readOptions(mountCommand, argc, argv, "f", options, [&](int c, const char*) {
    foreground = foreground || c == 'f';
    return true;
  });
  if (read >= 0) return read;
  if (argc - optind != 2) return usageError(mountCommand, argc - optind < 2 ? "missing operand" : "extra operand");
  const std::string path = argv[optind];
  // Absolute, so that it still names the folder once the process has moved
  // to "/" in the background: the unmount at the end needs it.
  std::string folder;
  if (!resolvedPath(argv[optind + 1], &folder)) {
    report(std::string(argv[optind + 1]) + ": " + std::strerror(errno));
    return kTrouble;
  }
  if (isMountPoint(folder)) {
    report(std::string(argv[optind + 1]) + ": a file system is mounted there already; unmount it first");
    return kRefused;
  }

  Mount m;
  int status = kDone;
  if (!(m.reader = openArchive(path, status))) return status;
  SystemFile::timesOf(path.c_str(), &m.times);
  m.nodes["/"].folder = true;
  const std::vector<ExtractJob> jobs =
      planExtraction(*m.reader, std::vector<bool>(m.reader->entries().size(), true), false, true);
  std::map<std::string, int> seen;  // how often each path came so far
  for (const ExtractJob& job : jobs) {
    const std::string name = job.entry == ExtractJob::kScenario ? job.path : shown(m.reader->entries()[job.entry].name);
    if (!job.refusal.empty()) {
      report(name + ": left out: " + job.refusal);
      continue;
    }
    std::string at = job.path;
    for (int k = ++seen[job.path]; k > 1 && m.nodes.count("/" + at) > 0; ++k) at = job.path + " (" + std::to_string(k) + ")";
    add(m, at, job.offset, job.size);  // the plan has left out a name that is a file and a folder
  }
  for (const std::string& finding : m.reader->damage()) report(path + ": " + finding);

  fuse_operations ops = {};
  ops.getattr = getattr;
  ops.readdir = readdir;
  ops.open = open;
  ops.read_buf = readBuffer;
  ops.statfs = statfs;
  ops.init = init;
  const std::string mountOptions = "ro,default_permissions,subtype=kerv,fsname=" + escaped(path);
  char* fuseArgv[] = {argv[0], const_cast<char*>("-o"), const_cast<char*>(mountOptions.c_str()), nullptr};
  fuse_args args = FUSE_ARGS_INIT(3, fuseArgv);
  fuse* fs = fuse_new(&args, &ops, sizeof ops, &m);
  fuse_opt_free_args(&args);  // what fuse_new added to them
  if (fs == nullptr) {
    report(folder + ": cannot start the file system");
    return kTrouble;
  }
  if (fuse_mount(fs, folder.c_str()) != 0) {  // libfuse has said why
    fuse_destroy(fs);
    report(folder + ": cannot mount " + path + " there");
    return kTrouble;
  }
  // libfuse takes over only signals left at their default; a mount writes
  // no file, so kerv's own removal of temporaries is not needed here.
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, SIG_DFL);
  fuse_set_signal_handlers(fuse_get_session(fs));
  fuse_daemonize(foreground ? 1 : 0);  // the parent returns now: the folder is mounted
  const int served = fuse_loop_mt(fs, 0);
  fuse_remove_signal_handlers(fuse_get_session(fs));
  fuse_unmount(fs);
  fuse_destroy(fs);
  // A signal that ended the loop (its number) is an ordinary end: unmounted.
  return served >= 0 ? kDone : kTrouble;
}

}  // namespace kerv
