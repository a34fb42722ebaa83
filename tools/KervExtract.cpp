// kerv extract and kerv cat: data files out of an archive, under readable
// names or onto standard output.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

#include "archive/FileName.h"
#include "archive/FileIdentity.h"
#include "archive/SystemFile.h"
#include "archive/SystemFolder.h"
#include "reader/ArchiveFiles.h"
#include "reader/ArchiveReader.h"
#include "reader/PieceWriter.h"
#include "tools/KervCommands.h"
#include "tools/KervCommon.h"
#include "tools/TerminalText.h"

namespace kerv {

namespace {

// The names of the data blocks, in list order.
std::vector<std::string> namesOf(const ArchiveReader& reader) {
  std::vector<std::string> names;
  for (const ArchiveEntry& e : reader.entries()) names.push_back(e.name);
  return names;
}

// Reports a failed write and returns its status: a file that exists was
// refused, as was a file that changed or is read; the rest is trouble.
int reportFailure(const std::string& failure, PieceWriter::Failure kind, int error) {
  const bool exists = kind == PieceWriter::Failure::system && error == EEXIST;
  report(failure + (exists ? " (--force replaces it)" : ""));
  return exists || kind != PieceWriter::Failure::system ? kRefused : kTrouble;
}

}  // namespace

const Command extractCommand = {
    "extract", "extract [-C DIR] [--raw-names] [--force] [-q] ARCHIVE [NAME...]",
    "Extract the scenario and every data file of ARCHIVE, or only the data files\n"
    "NAME..., into DIR. Names are written in UTF-8, with '/' and '\\' separating\n"
    "folders, which are created as needed; the scenario is named after the archive\n"
    "(story.krv gives story.ker). Names that are absolute, hold '..', a control\n"
    "character or a byte with no character are refused and reported, and the rest\n"
    "is still written. A folder written so packs back to the identical archive\n"
    "with 'kerv create'. A NAME is as 'kerv list' shows it, or with '/' for '\\',\n"
    "or a shell-style pattern ('*.qvd', 'data/voice/*'; quote it), whose '*'\n"
    "matches across folders.\n"
    "\n"
    "  -C, --directory=DIR  extract into DIR (default: the current folder)\n"
    "      --raw-names      name the files by the bytes the archive stores\n"
    "  -f, --force          replace files that exist (never replaced otherwise)\n"
    "  -q, --quiet          draw no progress bar\n"
    "      --help           display this help and exit\n",
    runExtract};

int runExtract(int argc, char** argv) {
  std::string folder = ".";
  bool raw = false, force = false, quiet = false;
  static const option options[] = {{"directory", required_argument, nullptr, 'C'},
                                   {"raw-names", no_argument, nullptr, 'r'},
                                   {"force", no_argument, nullptr, 'f'},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
  const int read = readOptions(extractCommand, argc, argv, "C:fq", options, [&](int c, const char* arg) {
    if (c == 'C') folder = arg;
    raw = raw || c == 'r';
    force = force || c == 'f';
    quiet = quiet || c == 'q';
    return true;
  });
  if (read >= 0) return read;
  if (optind == argc) return usageError(extractCommand, "missing archive operand");
  const std::string path = argv[optind];

  int status = kDone;
  std::unique_ptr<ArchiveReader> reader = openArchive(path, status);
  if (!reader) return status;
  const std::vector<ArchiveEntry>& entries = reader->entries();
  std::vector<bool> chosen(entries.size(), optind + 1 == argc);
  for (int i = optind + 1; i < argc; ++i) {
    const std::vector<std::size_t> named = entriesMatching(namesOf(*reader), argv[i]);
    if (named.empty()) {
      report(path + ": " + noDataFileEnglish(reader->archiveIndex(), argv[i]));
      status = kRefused;
    }
    for (std::size_t k : named) chosen[k] = true;
  }
  auto top = std::make_shared<SystemFolder>();
  if (!top->open(folder, true)) {
    report(folder + ": " + std::strerror(errno));
    return kTrouble;
  }
  const std::vector<ExtractJob> jobs = planExtraction(*reader, chosen, raw, optind + 1 == argc);
  FileIdentity archive;
  reader->file().identity(&archive);

  // Every folder and file is made beneath the folder's descriptor; the
  // files are linked in place in batches, the disk writing each batch
  // while the next is copied.
  ExtractFolders folders(top);
  PieceWriter writer({&reader->file(), {}});
  writer.protect(archive, "the archive being read");
  BatchWriter batch(writer);
  int64_t total = 0, done = 0;
  for (const ExtractJob& job : jobs) total += job.size;
  ProgressBar bar("extracting", total, quiet);
  for (const ExtractJob& job : jobs) {
    const std::string name = job.entry == ExtractJob::kScenario ? job.path : shown(entries[job.entry].name);
    WriteTarget target;
    if (!job.refusal.empty()) {
      report(name + ": not extracted: " + job.refusal);
      status = std::max(status, int{kRefused});
    } else if (job.sameAs != SIZE_MAX) {
      if (const std::string lost = leftOutEnglish(*reader, jobs, job); !lost.empty()) {
        report(lost);
        status = std::max(status, int{kRefused});
      }
    } else if (!folders.targetFor(job.path, force, &target)) {
      const bool link = errno == ELOOP;
      report(joinPath(folder, job.path) + ": " +
             (link ? std::string("not extracted: a symbolic link stands among its folders") : std::strerror(errno)));
      status = std::max(status, int{link ? kRefused : kTrouble});
    } else {
      const int64_t before = done;
      if (!batch.add({job.piece()}, target, [&](int64_t n) { bar.show(before + n); })) {
        status = std::max(status, reportFailure(writer.failure(), writer.failureKind(), writer.errorNumber()));
      }
    }
    bar.show(done += job.size);
  }
  for (const BatchWriter::Failure& f : batch.finish()) {
    status = std::max(status, reportFailure(f.message, f.kind, f.error));
  }
  for (const std::string& finding : reader->damage()) report(path + ": " + finding);
  if (!reader->damage().empty()) status = std::max(status, int{kRefused});
  return status;
}

const Command catCommand = {"cat", "cat ARCHIVE NAME",
                            "Write the bytes of the data file NAME of ARCHIVE on standard output; NAME\n"
                            "may be a pattern, as for extract, and its files are written one after\n"
                            "another.\n"
                            "\n"
                            "      --help  display this help and exit\n",
                            runCat};

int runCat(int argc, char** argv) {
  static const option options[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  const int read = readOptions(catCommand, argc, argv, "", options, [](int, const char*) { return false; });
  if (read >= 0) return read;
  if (argc - optind != 2) return usageError(catCommand, argc - optind < 2 ? "missing operand" : "extra operand");
  if (!standardOutputUsable()) return kTrouble;
  const char* path = argv[optind];
  const std::string name = argv[optind + 1];
  try {
    ArchiveReader reader(path);
    // A name gives its first entry (a name listed twice is read as the
    // first); a pattern every entry it matches, one after another.
    std::vector<std::size_t> named = entriesNamed(namesOf(reader), name);
    if (named.size() > 1) named.resize(1);
    if (named.empty()) named = entriesMatching(namesOf(reader), name);
    if (named.empty()) {
      report(std::string(path) + ": " + noDataFileEnglish(reader.archiveIndex(), name));
      return kRefused;
    }
    std::vector<char> buffer(1 << 20);
    for (std::size_t k : named) {
      const ArchiveEntry& e = reader.entries()[k];
      for (int64_t at = 0; at < e.size;) {
        const int64_t n = reader.read(e, at, buffer.data(), static_cast<int64_t>(buffer.size()));
        if (std::fwrite(buffer.data(), 1, static_cast<std::size_t>(n), stdout) != static_cast<std::size_t>(n)) break;
        at += n;
      }
    }
    return finishOutput("kerv", kDone);
  } catch (const ArchiveError& e) {
    report(e.what());
    return e.errorNumber() != 0 ? kTrouble : kRefused;
  }
}

}  // namespace kerv
