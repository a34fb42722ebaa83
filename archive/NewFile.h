// A file being written that has no name until it is complete and on stable
// storage (SystemFile::createUnnamed): an error, or the end of the process
// at any moment, leaves nothing, and a file it replaces stays whole until
// then. Bytes are buffered; ranges of open files move inside the kernel
// where it can (SystemFile::kernelCopyFrom), else through the buffer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "archive/FileIdentity.h"
#include "archive/SystemFile.h"
#include "archive/SystemFolder.h"

class NewFile {
 public:
  NewFile() = default;
  ~NewFile() { discard(); }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // Creates the file that is to become `name` in `folder`, readable by its
  // owner alone with `ownerOnly` (see SystemFile::createUnnamed); false,
  // with errno set, when it cannot be.
  bool create(const SystemFolder& folder, const std::string& name, bool ownerOnly = false);

  // Appends [p..p+n); false once a write has failed (see error()).
  bool append(const char* p, int64_t n);
  // Appends n bytes of `from` from `offset` on, leaving `from`'s position
  // alone. Returns the count taken from `from`: fewer than n only when it
  // ended first (errno 0) or a read failed (errno set). A failed write
  // shows in error(), and the rest is not read.
  int64_t copyFrom(const SystemFile& from, int64_t offset, int64_t n);
  // The errno of the first write that failed; 0 while none has.
  int error() const { return error_; }

  // Writes out what is buffered and starts the disk writing [offset..
  // offset+n) (SystemFile::startWriteBack).
  void startWriteBack(int64_t offset, int64_t n);
  // Writes out what is buffered and puts the file on stable storage; false,
  // with errno set, when a write or the sync failed.
  bool sync();
  // See SystemFile::keepAttributesOf.
  bool keepAttributesOf(const FileIdentity& old, const ExtendedAttributes& attributes, std::string* lost) {
    return file.keepAttributesOf(old, attributes, lost);
  }
  // Writes out what is buffered and gives the file its name (see
  // SystemFile::linkInPlace, also for `synced`); the file is closed
  // afterwards. False, with errno set and nothing left, when a write
  // failed, now or earlier, or the link did.
  bool link(bool replace, bool synced = false, const FileIdentity* expected = nullptr, bool* changed = nullptr);
  // Closes the file unnamed: nothing is left of it.
  void discard();

  bool isOpen() const { return file.isOpen(); }
  // The file, to read back what was written (after flush()).
  const SystemFile& written() const { return file; }
  // Writes out the buffer; false once a write has failed.
  bool flush();

  // Whether copyFrom may move ranges inside the kernel (on by default). Off,
  // every range goes through memory, as on a system without the kernel's
  // copy; the tests use this to cover that path.
  static void allowKernelCopy(bool allowed) { kernelCopyAllowed = allowed; }

 private:
  bool writeAll(const char* p, int64_t n);

  static inline bool kernelCopyAllowed = true;

  SystemFile file;
  std::unique_ptr<char[]> buffer;
  std::size_t used = 0;
  int error_ = 0;
  bool kernelCopyWorks = true;
};
