// The bytes of an open file of a known size, read in place with positioned
// reads: safe from several threads, and no file position is moved.
//
// Files are read, not mapped: a mapping of page-cached data costs its page
// tables on every pass (several times a read's cost on the machines this
// was measured on), and a mapped file that another program shortens ends
// the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "archive/SystemFile.h"

class FileView {
 public:
  // Reads the n bytes at `offset` into p; false, with errno set, when it cannot.
  using Read = std::function<bool(int64_t offset, char* p, std::size_t n)>;

  // Views the first `size` bytes of `file`, which must stay open while the
  // view lives.
  FileView(const SystemFile& file, int64_t size) : file(&file), size_(size) {}
  // Views `size` bytes that `read` reads (the page's files, read by the browser).
  FileView(Read read, int64_t size) : function(std::move(read)), size_(size) {}
  FileView(const FileView&) = delete;
  FileView& operator=(const FileView&) = delete;

  // Reads the n bytes at `offset` into p; false, with errno set, when they
  // cannot be read (beyond the view's end: EIO).
  bool read(int64_t offset, char* p, std::size_t n) const;

  int64_t size() const { return size_; }

 private:
  const SystemFile* file = nullptr;
  Read function;
  int64_t size_;
};
