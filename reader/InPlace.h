// Replacing a file in place, as an update or a patch does: the file the
// path leads to (every symbolic link resolved), locked for this one change,
// replaced only while its name still holds the file that was read, with its
// permission bits, owner, group, ACL and extended attributes kept; refused
// where this process may not write it (by its bits, owner or ACL) or it has
// other hard links, unless forced.
#pragma once

#include <string>

#include "archive/FileIdentity.h"
#include "archive/SystemFile.h"
#include "reader/PieceWriter.h"

struct InPlace {
  enum class Refusal {
    none,
    system,    // the file or its folder cannot be found or opened (error)
    locked,    // another update of it is running
    replaced,  // its name holds another file already (another program replaced it meanwhile)
    readOnly,  // this process may not write it (force: replace it all the same)
    links,     // it has other hard links (force: this name alone gets the new file)
  };

  WriteTarget target;     // where the new file goes, target.replaces the identity below
  FileIdentity identity;  // the file as it was opened
  bool writable = true;   // whether this process may write it
  std::string note;       // what could not be done ("... takes no lock"), for the user

  // Prepares replacing the file at `path`, open as `file`: its folder, the
  // update lock, and the check that the name still holds it. Sets *error
  // for a system refusal.
  static Refusal prepare(const std::string& path, SystemFile& file, InPlace* out, int* error);
  // What stands against writing now: read-only, links (unless `force`).
  Refusal check(bool force) const;

  // "the archive is read-only (--force replaces it)" and the like, of
  // `what` ("archive", "file") with `force` naming how to force it.
  static std::string english(Refusal refusal, int error, const std::string& what, const std::string& force,
                             uint32_t links);
};
