// kerv diff and kerv patch: what differs between two archives, the VCDIFF
// patch that makes one from the other, and a patch applied (from kerv diff
// or from xdelta3, to an archive or to any file).
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>

#include "archive/FileName.h"
#include "archive/FileView.h"
#include "archive/System.h"
#include "archive/SystemFile.h"
#include "reader/ArchiveDiff.h"
#include "reader/ArchivePatch.h"
#include "reader/ArchiveReader.h"
#include "reader/InPlace.h"
#include "reader/PieceWriter.h"
#include "tools/KervCommands.h"
#include "tools/KervCommon.h"
#include "tools/TerminalText.h"

namespace kerv {

namespace {

// Reports why a write failed; returns the status.
int reportWrite(const PieceWriter& writer) {
  const bool exists = writer.failureKind() == PieceWriter::Failure::system && writer.errorNumber() == EEXIST;
  report(writer.failure() + (exists ? " (--force replaces it)" : ""));
  return exists || writer.failureKind() != PieceWriter::Failure::system ? kRefused : kTrouble;
}

}  // namespace

const Command diffCommand = {
    "diff", "diff [--patch FILE] [--force] OLD NEW",
    "Compare two archives of one dialect and print what differs, one line each:\n"
    "the scenario, and each data file changed, added or removed. With --patch,\n"
    "also write the VCDIFF patch that makes NEW from OLD: unchanged data files are\n"
    "copies, whatever their size, so the patch holds little more than the changes.\n"
    "xdelta3 applies it too ('xdelta3 -d -s OLD FILE NEW'); its header names both\n"
    "archives and carries their sizes and XXH3-128, so that 'kerv patch' can tell\n"
    "a player plainly when an archive is not the one it was made from.\n"
    "\n"
    "      --patch=FILE  write the patch as FILE (whole or not at all)\n"
    "  -f, --force       replace FILE if it exists\n"
    "      --help        display this help and exit\n"
    "\n"
    "Exit status: 0 if the archives are equal, 1 if they differ, 2 if trouble.\n",
    runDiff};

int runDiff(int argc, char** argv) {
  std::string patchName;
  bool force = false;
  static const option options[] = {{"patch", required_argument, nullptr, 'p'},
                                   {"force", no_argument, nullptr, 'f'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
  const int read = readOptions(diffCommand, argc, argv, "f", options, [&](int c, const char* arg) {
    if (c == 'p') patchName = arg;
    force = force || c == 'f';
    return true;
  });
  if (read >= 0) return read;
  if (argc - optind != 2) return usageError(diffCommand, argc - optind < 2 ? "missing operand" : "extra operand");
  if (!standardOutputUsable()) return kTrouble;
  const std::string oldPath = argv[optind], newPath = argv[optind + 1];
  int status = kDone;
  std::unique_ptr<ArchiveReader> olds = openArchive(oldPath, status);
  if (!olds) return kTrouble;
  std::unique_ptr<ArchiveReader> news = openArchive(newPath, status);
  if (!news) return kTrouble;
  const FileView oldView(olds->file(), olds->size()), newView(news->file(), news->size());
  const FileDiff fileDiff(olds->archiveIndex(), news->archiveIndex(), oldView, newView, !patchName.empty());
  const ArchiveDiff& diff = fileDiff.diff();
  if (diff.problem()) {
    const Problem& p = diff.problem();
    const std::string& which = p.other == "old" ? oldPath : p.other == "new" ? newPath : "";
    report((which.empty() ? oldPath + ", " + newPath : which) + ": " + p.english());
    return kTrouble;
  }
  TextOutput out;
  for (const ArchiveDiff::Change& c : diff.changes()) out.stream() << c.english() << "\n";
  status = finishOutput("kerv", diff.equal() ? kDone : kRefused, out.stream());
  if (patchName.empty() || status == kTrouble) return status;

  WriteTarget target;
  if (!WriteTarget::at(patchName, force, &target)) {
    report(folderOf(patchName) + ": " + std::strerror(errno));
    return kTrouble;
  }
  PieceWriter writer({});
  FileIdentity oldId, newId;
  olds->file().identity(&oldId);
  news->file().identity(&newId);
  writer.protect(oldId, "the old archive");
  writer.protect(newId, "the new archive");
  std::string error;
  const bool written = writer.writeWith(target, [&](NewFile& file) {
    const bool made = fileDiff.writePatch(
        baseName(newPath), baseName(oldPath),
        [&](const char* p, std::size_t n) { return file.append(p, static_cast<int64_t>(n)); }, &error);
    return made || writer.refuse(error.rfind("cannot be read", 0) == 0 ? newPath : patchName,
                                 PieceWriter::Failure::system, file.error() != 0 ? file.error() : EIO, error);
  });
  if (!written) return std::max(reportWrite(writer), int{kTrouble});
  return status;
}

const Command patchCommand = {
    "patch", "patch [-o OUT] [--force] [-q] ARCHIVE PATCH",
    "Apply the VCDIFF patch PATCH (from 'kerv diff --patch' or from xdelta3) to\n"
    "ARCHIVE, which may be any file. A patch that names the file it was made from\n"
    "is applied only to that file, which is checked before anything is written;\n"
    "every window of the patch is checked as it is applied. A patch that does not\n"
    "fit, is damaged or cut short writes nothing and says what is wrong.\n"
    "\n"
    "  -o, --output=OUT  write the result as OUT (default: replace ARCHIVE, as\n"
    "                    'kerv update' does: its bits, owner and group kept, one\n"
    "                    update at a time)\n"
    "  -f, --force       replace OUT if it exists; replace a read-only ARCHIVE, or\n"
    "                    give this name of a linked one the result\n"
    "  -q, --quiet       draw no progress bar\n"
    "      --help        display this help and exit\n",
    runPatch};

int runPatch(int argc, char** argv) {
  std::string out;
  bool force = false, quiet = false;
  static const option options[] = {{"output", required_argument, nullptr, 'o'},
                                   {"force", no_argument, nullptr, 'f'},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
  const int read = readOptions(patchCommand, argc, argv, "o:fq", options, [&](int c, const char* arg) {
    if (c == 'o') out = arg;
    force = force || c == 'f';
    quiet = quiet || c == 'q';
    return true;
  });
  if (read >= 0) return read;
  if (argc - optind != 2) return usageError(patchCommand, argc - optind < 2 ? "missing operand" : "extra operand");
  const std::string path = argv[optind], patchPath = argv[optind + 1];
  SystemFile file, patch;
  int64_t size = 0, patchSize = 0;
  if (!file.openForReading(path.c_str(), &size)) {
    report(path + ": " + std::strerror(errno));
    return kTrouble;
  }
  if (!patch.openStream(patchPath.c_str(), &patchSize)) {
    report(patchPath + ": " + std::strerror(errno));
    return kTrouble;
  }
  vcdiff::Decoder decoder([&](char* p, std::size_t n) { return patch.read(p, static_cast<int64_t>(n)); });
  if (!decoder.readHeader()) {
    report(patchPath + ": " + decoder.error().english());
    return decoder.error().code == vcdiff::DecodeError::Code::read ? kTrouble : kRefused;
  }
  const vcdiff::PatchHeader header = vcdiff::PatchHeader::decode(decoder.appHeader());

  const FileView view(file, size);
  InPlace place;
  WriteTarget outTarget;
  if (out.empty()) {
    int error = 0;
    InPlace::Refusal refusal = InPlace::prepare(path, file, &place, &error);
    if (refusal == InPlace::Refusal::none) refusal = place.check(force);
    if (refusal != InPlace::Refusal::none) {
      report(path + ": " + InPlace::english(refusal, error, "file", "--force", place.identity.links));
      return refusal == InPlace::Refusal::system ? kTrouble : kRefused;
    }
  } else if (!WriteTarget::at(out, force, &outTarget)) {
    report(folderOf(out) + ": " + std::strerror(errno));
    return kTrouble;
  }
  PieceWriter writer({});
  FileIdentity fileId, patchId;
  file.identity(&fileId);
  if (patchSize >= 0) patch.identity(&patchId);
  if (!out.empty()) writer.protect(fileId, "the file being patched");
  writer.protect(patchId, "the patch");
  if (!SystemFile::kCanReplaceOpenFiles) writer.setBeforeReplacing([&] { file.close(); });
  ProgressBar bar("patching", header.newSum.known() ? header.newSum.size : size, quiet);
  vcdiff::DecodeError error;
  PatchFit fit = PatchFit::unknown;
  if (applyPatch(decoder, header, view, writer, out.empty() ? place.target : outTarget, &fit, &error,
                 [&](int64_t done) { bar.show(done); })) {
    if (!writer.note().empty()) report(writer.note());
    return kDone;
  }
  bar.wipe();
  // A file that is not the one the patch was made from is named first,
  // whatever else went wrong.
  if (fit == PatchFit::otherFile || fit == PatchFit::alreadyPatched) {
    report(patchFitEnglish(fit, path, size, header));
    return kRefused;
  }
  if (error) {
    report(patchPath + ": " + error.english());
    return error.code == vcdiff::DecodeError::Code::read ? kTrouble : kRefused;
  }
  return reportWrite(writer);
}

}  // namespace kerv
