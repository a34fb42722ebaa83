#include "reader/InPlace.h"

#include <cerrno>
#include <cstring>

#include "archive/System.h"

InPlace::Refusal InPlace::prepare(const std::string& path, SystemFile& file, InPlace* out, int* error) {
  std::string real;
  if (!file.identity(&out->identity) || !resolvedPath(path, &real) || !WriteTarget::at(real, true, &out->target)) {
    *error = errno;
    return Refusal::system;
  }
  out->target.shown = path;
  out->target.replaces = &out->identity;
  if (!file.lockForUpdate()) {
    if (errno == EWOULDBLOCK) return Refusal::locked;
    out->note = path + ": not locked (" + std::strerror(errno) +
                "): this file system takes no lock, so another update at the same time would not be seen";
  }
  out->writable = out->target.folder->mayWrite(out->target.name);
  // An update that held the lock before this one may have replaced the file meanwhile.
  FileIdentity there;
  if (!out->target.folder->identityOf(out->target.name, &there) || !there.unchangedFrom(out->identity)) {
    return Refusal::replaced;
  }
  return Refusal::none;
}

InPlace::Refusal InPlace::check(bool force) const {
  if ((identity.readOnly() || !writable) && !force) return Refusal::readOnly;
  if (identity.links > 1 && !force) return Refusal::links;
  return Refusal::none;
}

std::string InPlace::english(Refusal refusal, int error, const std::string& what, const std::string& force,
                             uint32_t links) {
  switch (refusal) {
    case Refusal::none: return "";
    case Refusal::system: return std::strerror(error);
    case Refusal::locked: return "another update of this " + what + " is running";
    case Refusal::replaced:
      return "the " + what + "'s name holds another file now (another program replaced it since it was opened); "
             "nothing was written";
    case Refusal::readOnly: return "the " + what + " is read-only (" + force + " replaces it)";
    case Refusal::links:
      return "the " + what + " has " + std::to_string(links) +
             " hard links; an update would give this name a new file and leave the others the old one (" + force +
             " does that)";
  }
  return "";
}
