// A shared object built on the static library: the size of one data file of
// an archive, or -1 when the archive or the name is not there.
#include "reader/ArchiveReader.h"

extern "C" long long kerv_entry_size(const char* archive, const char* name) {
  try {
    const ArchiveEntry* entry = ArchiveReader(archive).find(name);
    return entry != nullptr ? entry->size : -1;
  } catch (const ArchiveError&) {
    return -1;
  }
}
