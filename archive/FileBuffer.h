// A stream buffer over one file of the system (SystemFile).
//
// It opens an existing regular file for reading, or creates a new file for
// writing exclusively with permission 0664 (less the umask), never opening
// or following anything that already has the name. Blocks move from one
// file to another inside the kernel where it can (on Linux its
// file-to-file copy, or a pipe that both files are spliced through), else
// through memory in pieces of SystemFile::kCopyBufferSize, so copying a
// file never needs a buffer of the file's size.
#pragma once

#include <cstdint>
#include <memory>
#include <streambuf>

#include "archive/SystemFile.h"

class FileBuffer : public std::streambuf {
 public:
  FileBuffer() = default;
  ~FileBuffer() override;
  FileBuffer(const FileBuffer&) = delete;
  FileBuffer& operator=(const FileBuffer&) = delete;

  // Opens `name` read-only and stores its size in *size. Returns false, with
  // errno set, when it cannot be opened or is not a regular file. Never
  // blocks on a FIFO or device.
  bool openForReading(const char* name, int64_t* size);

  // Creates `name` for writing. Returns false, with errno set, when the name
  // exists (a dangling symbolic link included) or cannot be created.
  bool createNew(const char* name);

  bool isOpen() const { return file.isOpen(); }

  // Moves a reading file to `offset`, dropping what was read ahead.
  bool seekTo(int64_t offset);
  // Writes out what is buffered and closes the file. Returns false, with
  // errno set, when a write or the close failed, now or earlier.
  bool close();

  // True once a write has failed; lastWriteError() is the errno it failed with.
  bool writeFailed() const { return writeError != 0; }
  int lastWriteError() const { return writeError; }

  // Moves the next n bytes of this (reading) file to the end of `to` (a
  // writing buffer), or drops them when `to` is null. A failed write leaves
  // `to` failed and the rest of the n bytes are still read and dropped, so
  // the reader stays in step. Returns the bytes read: less than n only when
  // this file ended early or a read failed.
  int64_t transferTo(FileBuffer* to, int64_t n);

  // Whether transferTo may move blocks inside the kernel (on by default).
  // Off, every block goes through memory, as on a system without the
  // kernel's copy; the tests use this to cover that path.
  static void allowKernelCopy(bool allowed) { kernelCopyAllowed = allowed; }

 protected:
  int_type underflow() override;
  std::streamsize xsgetn(char* s, std::streamsize n) override;
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;

 private:
  // Drops the buffer and its areas, once the file is closed.
  void release();
  // Writes [p..p+n) to the file; records the error and returns false on failure.
  bool writeAll(const char* p, std::size_t n);
  // Writes out the put area; false once any write has failed.
  bool flushPutArea();
  // Reads at most n bytes into p; returns the count, 0 at the end or on error.
  std::size_t readSome(char* p, std::size_t n);
  // Lets the kernel move up to n bytes to `to`, as SystemFile::kernelCopyTo
  // does, once the writer's buffer is out; a failed write is recorded in
  // `to`. Returns -1 when the kernel copy is not to be used.
  int64_t kernelCopy(FileBuffer* to, int64_t n);

  static inline bool kernelCopyAllowed = true;

  SystemFile file;
  int writeError = 0;
  bool kernelCopyWorks = true;
  std::unique_ptr<char[]> buffer;  // SystemFile::kCopyBufferSize bytes
};
