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
#include "reader/PatcherPage.h"
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
    "diff", "diff [--patch FILE [--compress lzma]] [--page FILE [--title TEXT] [--note TEXT]] [--force] OLD NEW",
    "Compare two archives of one dialect and print what differs, one line each:\n"
    "the scenario, and each data file changed, added or removed. With --patch,\n"
    "also write the VCDIFF patch that makes NEW from OLD: unchanged data files are\n"
    "copies, whatever their size, and what a changed, renamed or new data file\n"
    "repeats of OLD is found and copied, so the patch holds little more than the\n"
    "changes. xdelta3 applies it too ('xdelta3 -d -s OLD FILE NEW'); its header\n"
    "names both archives and carries their sizes and XXH3-128, so that 'kerv patch'\n"
    "can tell a player plainly when an archive is not the one it was made from.\n"
    "With --page, write a patcher page: one HTML file with the patch in it, which a\n"
    "player opens from disk, without a network, to patch their OLD into NEW in the\n"
    "browser, checked as 'kerv patch' checks it.\n"
    "\n"
    "      --patch=FILE     write the patch as FILE (whole or not at all)\n"
    "      --compress=lzma  compress the patch's sections as xdelta3 does by\n"
    "                       default (xdelta3 -d reads it; a patcher without lzma\n"
    "                       does not); 'none', the default, does not\n"
    "      --page=FILE      write a patcher page as FILE\n"
    "      --title=TEXT     the patcher page's title (default: what it makes)\n"
    "      --note=TEXT      a note for players on the patcher page, shown as text\n"
    "  -f, --force          replace FILE if it is a regular file that exists\n"
    "      --help           display this help and exit\n"
    "\n"
    "Exit status: 0 if the archives are equal, 1 if they differ, 2 if trouble.\n",
    runDiff};

namespace {

// The built patcher page: beside an installed kerv, or in its build folder.
bool patcherTemplate(std::string* page, std::string* why) {
  const std::string here = programFolder();
  return readPatcherPage({here + "/../share/kerv/kerv-patcher.html", here + "/web-page/web/kerv-patcher.html"}, page,
                         why);
}

}  // namespace

int runDiff(int argc, char** argv) {
  std::string patchName, pageName, compression, title, note;
  bool force = false;
  static const option options[] = {{"patch", required_argument, nullptr, 'p'},
                                   {"compress", required_argument, nullptr, 'c'},
                                   {"page", required_argument, nullptr, 'P'},
                                   {"title", required_argument, nullptr, 't'},
                                   {"note", required_argument, nullptr, 'n'},
                                   {"force", no_argument, nullptr, 'f'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
  const int read = readOptions(diffCommand, argc, argv, "f", options, [&](int c, const char* arg) {
    if (c == 'p') patchName = arg;
    if (c == 'c') compression = arg;
    if (c == 'P') pageName = arg;
    if (c == 't') title = arg;
    if (c == 'n') note = arg;
    force = force || c == 'f';
    return true;
  });
  if (read >= 0) return read;
  if (argc - optind != 2) return usageError(diffCommand, argc - optind < 2 ? "missing operand" : "extra operand");
  vcdiff::EncoderOptions encoding;
  if (!compression.empty()) {
    if (compression != "lzma" && compression != "none") {
      return usageError(diffCommand, "invalid argument '" + compression + "' for '--compress' (lzma or none)");
    }
    if (patchName.empty()) return usageError(diffCommand, "--compress needs --patch");
    encoding.lzma = compression == "lzma";
    if (encoding.lzma && !vcdiff::Encoder::lzmaAvailable()) {
      report("--compress lzma: this kerv was built without liblzma's encoder (apt-get install liblzma-dev)");
      return kTrouble;
    }
  }
  if ((!title.empty() || !note.empty()) && pageName.empty()) return usageError(diffCommand, "--title and --note need --page");
  for (const std::string* name : {&patchName, &pageName}) {
    if (const int status = refuseStandardOutput(diffCommand, *name); status != kDone) return status;
  }
  const bool making = !patchName.empty() || !pageName.empty();
  std::string page;
  if (!pageName.empty()) {
    std::string why;
    if (!patcherTemplate(&page, &why)) {
      report(why);
      return kTrouble;
    }
  }
  if (!standardOutputUsable()) return kTrouble;
  const std::string oldPath = argv[optind], newPath = argv[optind + 1];
  int status = kDone;
  std::unique_ptr<ArchiveReader> olds = openArchive(oldPath, status);
  if (!olds) return kTrouble;
  std::unique_ptr<ArchiveReader> news = openArchive(newPath, status);
  if (!news) return kTrouble;

  // Where the patch and the page go, checked before anything is printed.
  PieceWriter writer({});
  FileIdentity oldId, newId;
  olds->file().identity(&oldId);
  news->file().identity(&newId);
  writer.protect(oldId, "the old archive");
  writer.protect(newId, "the new archive");
  WriteTarget patchTarget, pageTarget;
  for (const auto& [name, target] : {std::pair{&patchName, &patchTarget}, std::pair{&pageName, &pageTarget}}) {
    if (name->empty()) continue;
    if (!WriteTarget::at(*name, force, target)) {
      report(folderOf(*name) + ": " + std::strerror(errno));
      return kTrouble;
    }
    if (!writer.mayWrite(*target)) return std::max(reportWrite(writer), int{kTrouble});
  }

  const FileView oldView(olds->file(), olds->size()), newView(news->file(), news->size());
  const FileDiff fileDiff(olds->archiveIndex(), news->archiveIndex(), oldView, newView, making);
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
  if (!making || status == kTrouble) return status;

  // The patch in memory where a page holds it too, else straight into its file.
  std::string error, patch;
  const auto make = [&](const vcdiff::Sink& sink, const std::string& where, NewFile* file) {
    return fileDiff.writePatch(baseName(newPath), baseName(oldPath), sink, &error, encoding) ||
           writer.refuse(error.rfind("cannot be read", 0) == 0 ? newPath : where, PieceWriter::Failure::system,
                         file != nullptr && file->error() != 0 ? file->error() : EIO, error);
  };
  if (!pageName.empty()) {
    if (!make([&](const char* p, std::size_t n) { return patch.append(p, n), true; }, pageName, nullptr)) {
      return std::max(reportWrite(writer), int{kTrouble});
    }
  }
  if (!patchName.empty()) {
    const bool written = writer.writeWith(patchTarget, [&](NewFile& file) {
      if (!pageName.empty()) return file.append(patch.data(), static_cast<int64_t>(patch.size()));
      return make([&](const char* p, std::size_t n) { return file.append(p, static_cast<int64_t>(n)); }, patchName,
                  &file);
    });
    if (!written) return std::max(reportWrite(writer), int{kTrouble});
  }
  if (!pageName.empty()) {
    PatcherInfo info;
    info.oldName = baseName(oldPath);
    info.newName = baseName(newPath);
    info.oldSize = olds->size();
    info.newSize = news->size();
    info.title = title;
    info.note = note;
    const std::string filled = fillPatcherPage(page, patch, info);
    if (filled.empty()) {
      report("the patcher page found is no patcher page; build it again");
      return kTrouble;
    }
    if (!writer.write({Piece::ofBytes(filled)}, pageTarget)) return std::max(reportWrite(writer), int{kTrouble});
  }
  return status;
}

const Command patchCommand = {
    "patch", "patch [-o OUT] [--backup] [--force] [-q] ARCHIVE PATCH",
    "Apply the VCDIFF patch PATCH (from 'kerv diff --patch' or from xdelta3) to\n"
    "ARCHIVE, which may be any file. The result is named only when it is whole: a\n"
    "patch that names the file it was made from is applied only to that file, and\n"
    "its result must have the size and sum it promises; every window's checksum is\n"
    "checked. A patch that does not fit, is damaged, cut short or lengthened writes\n"
    "nothing and says what is wrong. A patch that cannot tell the right file (no\n"
    "sums, windows without checksums) is applied into a new file only, unless\n"
    "--force. A patch that changes nothing writes nothing.\n"
    "\n"
    "  -o, --output=OUT  write the result as OUT (default: replace ARCHIVE, as\n"
    "                    'kerv update' does: its bits, owner, group, ACL and\n"
    "                    attributes kept, one update at a time)\n"
    "  -b, --backup      keep the original as ARCHIVE.orig beside it (in place)\n"
    "  -f, --force       replace OUT (or ARCHIVE.orig) if it is a regular file that\n"
    "                    exists; replace a read-only ARCHIVE, or give this name of a\n"
    "                    linked one the result; apply a patch that cannot be checked\n"
    "                    in place\n"
    "  -q, --quiet       draw no progress bar\n"
    "      --help        display this help and exit\n",
    runPatch};

int runPatch(int argc, char** argv) {
  PatchRequest request;
  bool quiet = false;
  static const option options[] = {{"output", required_argument, nullptr, 'o'},
                                   {"backup", no_argument, nullptr, 'b'},
                                   {"force", no_argument, nullptr, 'f'},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
  const int read = readOptions(patchCommand, argc, argv, "o:bfq", options, [&](int c, const char* arg) {
    if (c == 'o') request.out = arg;
    request.force = request.force || c == 'f';
    request.backup = request.backup || c == 'b';
    quiet = quiet || c == 'q';
    return true;
  });
  if (read >= 0) return read;
  if (argc - optind != 2) return usageError(patchCommand, argc - optind < 2 ? "missing operand" : "extra operand");
  if (request.backup && !request.out.empty()) {
    return usageError(patchCommand, "--backup keeps the original of a file patched in place; with -o it stays");
  }
  if (const int status = refuseStandardOutput(patchCommand, request.out); status != kDone) return status;
  request.path = argv[optind];
  request.patchPath = argv[optind + 1];
  std::unique_ptr<ProgressBar> bar;
  const PatchReport done = patchFile(request, [&](int64_t made, int64_t total) {
    if (!bar) bar = std::make_unique<ProgressBar>("patching", total, quiet);
    bar->show(made);
  });
  if (bar) bar->wipe();
  for (const std::string& note : done.notes) report(note);
  switch (done.status) {
    case PatchReport::Status::done: return kDone;
    case PatchReport::Status::unchanged: report(done.message); return kDone;
    case PatchReport::Status::refused: report(done.message); return kRefused;
    case PatchReport::Status::trouble: report(done.message); return kTrouble;
  }
  return kTrouble;
}

}  // namespace kerv
