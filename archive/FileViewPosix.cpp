#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include "archive/FileView.h"

FileView::FileView(const SystemFile& file, int64_t size, bool map) : file(file), size_(size) {
  if (!map || size <= 0) return;
  void* p = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED,
                   static_cast<int>(file.nativeHandle()), 0);
  if (p == MAP_FAILED) return;  // read instead
  ::madvise(p, static_cast<std::size_t>(size), MADV_SEQUENTIAL);
  base = static_cast<const char*>(p);
}

FileView::~FileView() {
  if (base != nullptr) ::munmap(const_cast<char*>(base), static_cast<std::size_t>(size_));
}

namespace {

char shrunkMessage[256];
std::size_t shrunkLength = 0;

extern "C" void shrunk(int) {
  [[maybe_unused]] const ssize_t w = ::write(2, shrunkMessage, shrunkLength);
  ::_exit(2);
}

}  // namespace

void reportShrunkenMappings(const char* program) {
  const std::string message = std::string(program) + ": a file being read became shorter meanwhile; nothing was written\n";
  shrunkLength = std::min(message.size(), sizeof shrunkMessage);
  std::memcpy(shrunkMessage, message.data(), shrunkLength);
  struct sigaction action = {};
  action.sa_handler = shrunk;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, nullptr);
}
