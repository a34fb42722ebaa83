// kerv._kerv, the extension under the Python package `kerv`: archives for
// scripts, read in place and written whole or not at all.
//
// Archive opens an archive of either dialect in place, from a path or a
// binary file object; its entries are Entry values, its data files are read
// as bytes, and reads release the GIL, so threads reading different entries
// run in parallel. It also extracts under readable names and updates; pack
// packs a scenario, diff and apply_patch make and apply patches.
// Everything is the library's: the codec, the plans, the rules for names
// and the writer; this file only turns Python values into them. A file that
// cannot be opened raises the OSError that its errno means; one that is no
// archive raises kerv.BadArchive, a ValueError (and, for callers of old,
// a kerv.ArchiveError).
#include <Python.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "archive/FileName.h"
#include "archive/FileIdentity.h"
#include "archive/System.h"
#include "archive/SystemFile.h"
#include "archive/SystemFolder.h"
#include "archive/FileView.h"
#include "delta/Decoder.h"
#include "delta/PatchHeader.h"
#include "reader/ArchiveDiff.h"
#include "reader/ArchiveFiles.h"
#include "reader/ArchivePatch.h"
#include "reader/ArchiveReader.h"
#include "reader/InPlace.h"
#include "reader/PatcherPage.h"
#include "reader/PieceWriter.h"
#include "reader/UpdatePlan.h"
#include "scenario/Cp932.h"
#include "scenario/ScenarioText.h"
#include "scenario/Strings.h"

namespace py = pybind11;

namespace {

PyObject* archiveErrorType = nullptr;
PyObject* badArchiveType = nullptr;

// A str as UTF-8; a lone surrogate raises UnicodeEncodeError, as
// str.encode() does.
std::string utf8Of(const py::handle& text) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
  if (p == nullptr) throw py::error_already_set();
  return std::string(p, static_cast<std::size_t>(n));
}

// Raises KeyError(key), whose str() is the key's repr once.
[[noreturn]] void raiseKeyError(const py::handle& key) {
  PyErr_SetObject(PyExc_KeyError, key.ptr());
  throw py::error_already_set();
}

// A path given as str, bytes or os.PathLike, as the file system's bytes.
// A path is whole or refused: an embedded NUL raises ValueError, as
// open() does, rather than cutting the path there.
std::string pathOf(const py::handle& path) {
  std::string bytes = py::module_::import("os").attr("fsencode")(path).cast<std::string>();
  if (bytes.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
  return bytes;
}

// A path of the file system as str.
py::str strOf(const std::string& path) {
  return py::module_::import("os").attr("fsdecode")(py::bytes(path));
}

// Raises the OSError (FileNotFoundError, FileExistsError, ...) that
// `error` means, with `message`, about `file`; a plain OSError when the
// error is 0 (a file that changed).
[[noreturn]] void raiseOSError(int error, const std::string& message, const std::string& file) {
  py::object type = py::module_::import("builtins").attr("OSError");
  py::object e = error != 0 ? type(error, message, strOf(file)) : type(file + ": " + message);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e.ptr())), e.ptr());
  throw py::error_already_set();
}

// The indices of the names that `name` means: a str is matched against
// the names that decode to it, '\\' and '/' alike where none decodes to it
// exactly (a name with a byte that has no character decodes to nothing,
// so that Entry.text's escapes never match), bytes against the names as
// stored.
std::vector<std::size_t> named(const std::vector<std::string>& names, const py::handle& name) {
  std::vector<std::size_t> found;
  if (py::isinstance<py::bytes>(name)) {
    const std::string bytes = name.cast<std::string>();
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i] == bytes) found.push_back(i);
    }
    return found;
  }
  if (!py::isinstance<py::str>(name)) throw py::type_error("an entry is named by str, bytes or an Entry");
  const std::string given = utf8Of(name);
  for (std::size_t i : entriesNamed(names, given)) {
    std::string text;
    if (cp932::nameToUtf8Strictly(names[i], text)) found.push_back(i);
  }
  return found;
}

std::vector<std::string> namesOf(const ArchiveReader& reader) {
  std::vector<std::string> names;
  for (const ArchiveEntry& e : reader.entries()) names.push_back(e.name);
  return names;
}

// Raises what made the writer fail: an OSError for a failed call, a
// plain OSError for a file that changed, ValueError for a file that is read.
[[noreturn]] void raiseWriteFailure(const PieceWriter& writer) {
  if (writer.failureKind() == PieceWriter::Failure::protected_) throw py::value_error(writer.failure());
  raiseOSError(writer.failureKind() == PieceWriter::Failure::system ? writer.errorNumber() : 0, writer.reason(),
               writer.failedFile());
}

// Issues `message` as a warning, as Python's own code would.
void warn(const std::string& message) {
  // Level 1: the innermost Python frame, which is the caller's line (the
  // extension's functions have no frame of their own).
  py::module_::import("warnings").attr("warn")(message, py::module_::import("builtins").attr("UserWarning"), 1);
}

// Makes the writer stop, nothing named, when the script is interrupted
// (SIGINT's KeyboardInterrupt, or what another handler raises) before the
// file is named; after, the write stands. Python's own handlers run: none
// is installed.
void stopOnSignals(PieceWriter& writer) {
  writer.setCancel([] {
    py::gil_scoped_acquire gil;
    return PyErr_CheckSignals() != 0;
  });
}

// Writes with the GIL released; raises what failed (what a signal's
// handler raised, where it stopped the write).
void writeOrRaise(PieceWriter& writer, const std::vector<Piece>& pieces, const WriteTarget& target) {
  stopOnSignals(writer);
  bool ok;
  {
    py::gil_scoped_release unlocked;
    ok = writer.write(pieces, target);
  }
  if (!ok && writer.failureKind() == PieceWriter::Failure::cancelled) throw py::error_already_set();
  if (!writer.note().empty()) warn(writer.note());
  if (!ok) raiseWriteFailure(writer);
}

// Raises what stands against replacing a file in place, as Python names it.
void raiseInPlace(InPlace::Refusal refusal, int error, const InPlace& place, const std::string& path) {
  using Refusal = InPlace::Refusal;
  if (refusal == Refusal::none) return;
  const std::string why = InPlace::english(refusal, error, "archive", "overwrite=True", place.identity.links);
  const int code = refusal == Refusal::system    ? error
                   : refusal == Refusal::locked   ? EWOULDBLOCK
                   : refusal == Refusal::readOnly ? EACCES
                   : refusal == Refusal::links    ? EMLINK
                                                  : 0;
  raiseOSError(code, why, path);
}

// The target `path` in its folder; raises when the folder cannot be opened.
WriteTarget targetAt(const std::string& path, bool replace) {
  WriteTarget target;
  if (!WriteTarget::at(path, replace, &target)) raiseOSError(errno, std::strerror(errno), folderOf(path));
  return target;
}

class Archive {
 public:
  // `file` is a path (str, bytes, os.PathLike) or a binary file object
  // with seek() and read(): read in place through a duplicate of its
  // fileno() where it has one that is a regular file, else through
  // seek() and read() under a lock of its own.
  explicit Archive(const py::object& file) : path(file) {
    const py::module_ os = py::module_::import("os");
    if (py::isinstance<py::str>(file) || py::isinstance<py::bytes>(file) || py::isinstance(file, os.attr("PathLike"))) {
      std::string name = pathOf(file);
      reader = std::make_shared<ArchiveReader>(name.c_str());
      // Where an update in place writes: the file the path led to when it was
      // opened, whatever the current folder or a link says later.
      if (!resolvedPath(name, &real)) real = name;
      return;
    }
    if (!py::hasattr(file, "read") || !py::hasattr(file, "seek")) {
      throw py::type_error("an archive is a path or a binary file object with seek() and read()");
    }
    const py::object shown = py::getattr(file, "name", py::none());
    nameless = !py::isinstance<py::str>(shown) && !py::isinstance<py::bytes>(shown);
    const std::string name = nameless ? std::string("<file object>") : pathOf(shown);
    int descriptor = -1;
    try {
      descriptor = file.attr("fileno")().cast<int>();
    } catch (const py::error_already_set& e) {
      // io.UnsupportedOperation, or no fileno() at all: read through the object.
      if (!e.matches(PyExc_OSError) && !e.matches(PyExc_AttributeError) && !e.matches(PyExc_ValueError)) throw;
    }
    if (descriptor >= 0) {
      file.attr("flush")();
      reader = std::make_shared<ArchiveReader>(name, descriptor);
      return;
    }
    const int64_t size = file.attr("seek")(0, 2).cast<int64_t>();
    auto lock = std::make_shared<std::mutex>();
    // Borrowed: `path` holds the object as long as this Archive, which
    // outlives its reader's reads, and the function never owns a reference
    // it might drop without the GIL.
    const py::handle object = file;
    auto readAt = [object, lock](int64_t offset, char* p, int64_t n) -> int64_t {
      const std::lock_guard<std::mutex> held(*lock);
      py::gil_scoped_acquire gil;
      try {
        object.attr("seek")(offset);
        const py::object got = object.attr("read")(n);
        if (!py::isinstance<py::bytes>(got)) throw py::type_error("the archive's read() gave no bytes");
        const std::string bytes = got.cast<std::string>();
        const int64_t count = std::min<int64_t>(n, static_cast<int64_t>(bytes.size()));
        std::memcpy(p, bytes.data(), static_cast<std::size_t>(count));
        return count;
      } catch (py::error_already_set& e) {
        // Kept for the caller, which raises it once the reader has given up.
        e.restore();
        errno = EIO;
        return -1;
      }
    };
    // The object is read with the GIL released, so that its reads run as
    // other threads' do; a failed read leaves its exception to be raised.
    std::shared_ptr<ArchiveReader> made;
    {
      py::gil_scoped_release unlocked;
      try {
        made = std::make_shared<ArchiveReader>(name, size, readAt);
      } catch (...) {
        py::gil_scoped_acquire gil;
        if (PyErr_Occurred()) throw py::error_already_set();
        throw;
      }
    }
    reader = std::move(made);
    fromObject = true;
  }

  // The reader, or ValueError once the archive is closed. A read holds its
  // own reference, so that a close from another thread cannot pull the
  // file from under it.
  std::shared_ptr<ArchiveReader> open() const {
    if (!reader) throw py::value_error("I/O operation on a closed archive");
    return reader;
  }

  void close() { reader.reset(); }
  bool closed() const { return !reader; }

  py::bytes read(const py::object& member, int64_t start, int64_t size) const {
    std::shared_ptr<ArchiveReader> r = open();
    const ArchiveEntry entry = r->entries()[entryOf(member)];
    if (start < 0) throw py::value_error("start must not be negative");
    int64_t left = entry.size > start ? entry.size - start : 0;
    int64_t n = size < 0 || size > left ? left : size;
    py::bytes result = py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, n));
    if (!result) throw py::error_already_set();
    char* buffer = PyBytes_AS_STRING(result.ptr());  // not yet shared: filled in place
    readInto(*r, entry, start, buffer, n);
    return result;
  }

  // Whether `member` (a name or an Entry) is one of the archive's.
  bool contains(const py::object& member) const { return indexOf(member) != SIZE_MAX; }

  py::str scenarioText() const {
    return py::str(cp932::toUtf8(open()->scenarioText(), cp932::Undecodable::replace));
  }

  // The entry `member` means: an Entry of this archive, or a name (the
  // first entry of that name); SIZE_MAX when there is none.
  std::size_t indexOf(const py::handle& member) const {
    std::shared_ptr<ArchiveReader> r = open();
    if (py::isinstance<ArchiveEntry>(member)) {
      const ArchiveEntry& e = member.cast<const ArchiveEntry&>();
      for (std::size_t i = 0; i < r->entries().size(); ++i) {
        if (r->entries()[i].offset == e.offset && r->entries()[i].name == e.name) return i;
      }
    } else if (const std::vector<std::size_t> found = named(namesOf(*r), member); !found.empty()) {
      return found[0];
    }
    return SIZE_MAX;
  }

  // The same; KeyError when there is none.
  std::size_t entryOf(const py::handle& member) const {
    const std::size_t i = indexOf(member);
    if (i == SIZE_MAX) raiseKeyError(member);
    return i;
  }

  // Reads with the GIL released; a failed read of a file object raises
  // what the object raised.
  static void readInto(const ArchiveReader& r, const ArchiveEntry& entry, int64_t start, char* buffer, int64_t n) {
    py::gil_scoped_release unlocked;
    try {
      r.read(entry, start, buffer, n);
    } catch (...) {
      py::gil_scoped_acquire gil;
      if (PyErr_Occurred()) throw py::error_already_set();
      throw;
    }
  }

  // The pieces with every range of an archive read through a file object
  // made bytes, for a writer that copies from files only.
  void takeInMemory(const ArchiveReader& r, std::vector<Piece>& pieces) const {
    if (!fromObject) return;
    for (Piece& p : pieces) {
      if (p.kind != Piece::Kind::archive) continue;
      std::string bytes(static_cast<std::size_t>(p.length), '\0');
      for (int64_t at = 0, step = int64_t{1} << 30; at < p.length; at += step) {
        const int64_t n = std::min(step, p.length - at);
        readInto(r, ArchiveEntry{"", p.offset + at, static_cast<int32_t>(n)}, 0, bytes.data() + at, n);
      }
      p = Piece::ofBytes(std::move(bytes));
    }
  }

  py::list extract(const std::vector<bool>& chosen, bool withScenario, const py::object& to, bool raw,
                   bool overwrite) const {
    std::shared_ptr<ArchiveReader> r = open();
    const std::string folder = pathOf(to);
    std::vector<ExtractJob> jobs = planExtraction(*r, chosen, raw, withScenario);
    // A file object without a name of its own: the scenario is named after the dialect.
    for (ExtractJob& job : jobs) {
      if (job.entry == ExtractJob::kScenario && nameless) job.path = std::string("scenario.") + r->dialect().scenarioSuffix;
    }
    auto top = std::make_shared<SystemFolder>();
    if (!top->open(folder, true)) raiseOSError(errno, std::strerror(errno), folder);
    ExtractFolders folders(top);
    // Every name is checked before anything is written.
    for (const ExtractJob& job : jobs) {
      const std::string name = job.entry == ExtractJob::kScenario
                                   ? job.path
                                   : cp932::toUtf8(r->entries()[job.entry].name, cp932::Undecodable::escape);
      if (!job.refusal.empty()) throw py::value_error(name + ": not extracted: " + job.refusal);
      FileIdentity there;
      if (!folders.identityOf(job.path, &there)) {
        raiseOSError(errno, errno == ELOOP ? "a symbolic link stands among its folders" : std::strerror(errno),
                     joinPath(folder, job.path));
      }
      if (!overwrite && job.sameAs == SIZE_MAX && there.exists()) {
        raiseOSError(EEXIST, std::strerror(EEXIST), joinPath(folder, job.path));
      }
    }
    // An entry left out because an earlier one takes its path with other
    // bytes: the others are written, then the call fails naming each.
    std::string lost;
    for (const ExtractJob& job : jobs) {
      if (job.sameAs == SIZE_MAX) continue;
      const std::string one = leftOutEnglish(*r, jobs, job);
      if (!one.empty()) lost += (lost.empty() ? "" : "; ") + one;
    }
    // An archive read through a file object is read here, while the GIL is held.
    std::vector<std::vector<Piece>> pieces;
    for (const ExtractJob& job : jobs) {
      pieces.push_back({job.sameAs == SIZE_MAX ? job.piece() : Piece::ofBytes("")});
      takeInMemory(*r, pieces.back());
    }
    std::vector<std::string> written;
    std::string failed, why;
    int error = 0;
    bool refused = false;
    {
      py::gil_scoped_release unlocked;
      PieceWriter writer({&r->file(), {}});
      if (FileIdentity archive; r->file().isOpen() && r->file().identity(&archive)) {
        writer.protect(archive, "the archive being read");
      }
      BatchWriter batch(writer);
      for (std::size_t j = 0; j < jobs.size(); ++j) {
        const ExtractJob& job = jobs[j];
        if (job.sameAs != SIZE_MAX) continue;  // a name listed again: the first is written
        WriteTarget target;
        if (!folders.targetFor(job.path, overwrite, &target)) {
          error = errno, failed = joinPath(folder, job.path);
          why = errno == ELOOP ? "a symbolic link stands among its folders" : std::strerror(errno);
          break;
        }
        if (!batch.add(pieces[j], target)) {
          error = writer.errorNumber(), failed = writer.failedFile(), why = writer.reason();
          refused = writer.failureKind() == PieceWriter::Failure::protected_;
          break;
        }
        written.push_back(target.shown);
      }
      for (const BatchWriter::Failure& f : batch.finish()) {
        if (failed.empty()) {
          error = f.error, failed = f.target, why = f.message.substr(f.target.size() + 2);
          refused = f.kind == PieceWriter::Failure::protected_;
        }
      }
    }
    if (refused) throw py::value_error(failed + ": " + why);
    if (!failed.empty()) raiseOSError(error, why, failed);
    if (!lost.empty()) throw py::value_error(lost);
    py::list paths;
    for (const std::string& p : written) paths.append(strOf(p));
    return paths;
  }

  // The scenario's lines to translate: [(line, text)], or with `format`
  // ("po", "csv") the file kerv strings writes, as a str.
  py::object strings(const py::object& format) const {
    std::shared_ptr<ArchiveReader> r = open();
    const std::vector<strings::Line> lines = strings::translatableLines(r->scenarioText());
    if (format.is_none()) {
      py::list out;
      for (const strings::Line& l : lines) out.append(py::make_tuple(l.number, py::str(l.text)));
      return out;
    }
    const std::string kind = format.cast<std::string>();
    if (kind != "po" && kind != "csv") throw py::value_error("format is \"po\" or \"csv\"");
    const std::string name = scenarioNameFor(baseName(r->path()), r->dialect());
    const std::string file = kind == "po" ? strings::toPo(lines, name, KERV_VERSION) : strings::toCsv(lines);
    return py::str(kind == "csv" ? file.substr(3) : file);  // a str holds no byte order mark
  }

  py::str update(const py::object& out, const py::object& scenario, const py::object& scenarioText,
                 const py::object& replace, bool overwrite, const py::object& stringsPath) {
    std::shared_ptr<ArchiveReader> r = open();
    if ((!scenario.is_none()) + (!scenarioText.is_none()) + (!stringsPath.is_none()) > 1) {
      throw py::value_error("give one of scenario, scenario_text and strings");
    }
    const bool inPlace = out.is_none();
    InPlace place;
    WriteTarget outTarget;
    if (inPlace && real.empty()) {
      PyErr_SetString(py::module_::import("io").attr("UnsupportedOperation").ptr(),
                      "an archive opened from a file object is updated into a new file: give out");
      throw py::error_already_set();
    }
    if (inPlace) {
      // The file the path led to when it was opened, whatever the current folder says now.
      int error = 0;
      const InPlace::Refusal refusal = InPlace::prepare(real, r->file(), &place, &error);
      place.target.shown = r->path();
      raiseInPlace(refusal, error, place, r->path());
    } else {
      outTarget = targetAt(pathOf(out), overwrite);
    }
    const WriteTarget& target = inPlace ? place.target : outTarget;

    std::string newScenario;
    const bool withScenario = !scenario.is_none() || !scenarioText.is_none() || !stringsPath.is_none();
    if (!scenario.is_none()) newScenario = scenario.cast<py::bytes>().cast<std::string>();
    if (!stringsPath.is_none()) {
      // Read as kerv update --strings reads it; every error named at once.
      const std::string name = pathOf(stringsPath);
      SystemFile file;
      int64_t size = 0;
      if (!file.openForReading(name.c_str(), &size)) raiseOSError(errno, std::strerror(errno), name);
      std::string bytes(static_cast<std::size_t>(size), '\0');
      for (int64_t at = 0, n; at < size; at += n) {
        if ((n = file.read(bytes.data() + at, size - at)) <= 0) raiseOSError(n < 0 ? errno : EIO, "cannot read", name);
      }
      std::vector<strings::Entry> entries;
      std::vector<strings::Error> errors;
      const bool read = strings::formatOf(name, bytes) == strings::Format::po ? strings::readPo(bytes, &entries, &errors)
                                                                                : strings::readCsv(bytes, &entries, &errors);
      if (read) strings::applyTranslations(r->scenarioText(), entries, &newScenario, &errors);
      if (!errors.empty()) {
        std::string all;
        for (const strings::Error& e : errors) {
          all += (all.empty() ? "" : "; ") + name + (e.fileLine > 0 ? ":" + e.where() : ": " + e.message);
        }
        throw py::value_error(all);
      }
    }
    if (!scenarioText.is_none()) {
      if (!py::isinstance<py::str>(scenarioText)) throw py::type_error("scenario_text is a str");
      const std::string text = utf8Of(scenarioText);
      TextError e;
      std::vector<TextError> all;
      if (!textToScenario(text, r->scenarioText(), newScenario, &e, &all)) {
        // Every character without a code in the message; the first in the exception's place.
        std::string reason;
        for (const TextError& one : all) reason += (reason.empty() ? "" : "; ") + one.message();
        e = all.front();
        PyErr_SetObject(PyExc_UnicodeEncodeError,
                        py::make_tuple("cp932", scenarioText, e.index, e.index + 1, reason).ptr());
        throw py::error_already_set();
      }
    }
    std::vector<std::string> names = namesOf(*r);
    if (withScenario) {
      const PackPlan plan(newScenario.data(), static_cast<int64_t>(newScenario.size()));
      if (plan.problem()) throw py::value_error("the new scenario: " + plan.error());
      names = plan.names();
    }

    // Each replacement: its name as stored, and its contents in memory or in a file.
    std::vector<UpdatePlan::Replacement> replaced;
    std::vector<std::unique_ptr<SystemFile>> files;
    std::vector<FileIdentity> identities;
    std::vector<std::string> contents;
    std::vector<bool> inMemory;
    if (!replace.is_none()) {
      for (const auto& [name, value] : replace.cast<py::dict>()) {
        const std::vector<std::size_t> found = named(names, name);
        const Problem* missing =
            withScenario || !py::isinstance<py::str>(name) ? nullptr : missingBlockOf(r->archiveIndex(), utf8Of(name));
        if (found.empty() && missing != nullptr) throw py::value_error(missing->english());
        if (found.empty()) {
          throw py::value_error("no data file " + py::repr(name).cast<std::string>() +
                                (withScenario ? " in the new scenario's file list" : " in the archive"));
        }
        int64_t size = 0;
        const bool isPath = py::isinstance<py::str>(value) ||
                            py::isinstance(value, py::module_::import("os").attr("PathLike"));
        inMemory.push_back(!isPath);
        files.push_back(std::make_unique<SystemFile>());
        identities.emplace_back();
        if (isPath) {
          const std::string file = pathOf(value);
          contents.emplace_back();
          if (!files.back()->openForReading(file.c_str(), &size)) raiseOSError(errno, std::strerror(errno), file);
          files.back()->identity(&identities.back());
        } else {  // bytes, anything else with the buffer protocol, or a binary file object
          const bool isFile = !PyObject_CheckBuffer(value.ptr()) && py::hasattr(value, "read");
          py::object data = isFile ? py::object(value.attr("read")())
                                   : py::reinterpret_steal<py::object>(PyBytes_FromObject(value.ptr()));
          if (data && isFile && !py::isinstance<py::bytes>(data)) {
            throw py::type_error("the file object for " + py::repr(name).cast<std::string>() + " gave no bytes");
          }
          if (!data) throw py::error_already_set();
          contents.push_back(data.cast<std::string>());
          size = static_cast<int64_t>(contents.back().size());
        }
        replaced.push_back({names[found[0]], size});
      }
    }
    const UpdatePlan plan(r->archiveIndex(), withScenario ? &newScenario : nullptr, replaced);
    if (plan.problem()) throw py::value_error(plan.error());
    for (const UpdatePlan::Dropped& d : plan.dropped()) {
      warn(cp932::toUtf8(d.name, cp932::Undecodable::escape) + " (" + std::to_string(d.size) +
           " bytes) is no longer listed and is left out");
    }
    std::vector<Piece> pieces = plan.pieces();
    for (Piece& p : pieces) {
      if (p.kind == Piece::Kind::file && inMemory[p.file]) p = Piece::ofBytes(std::move(contents[p.file]));
    }
    PieceSources sources{&r->file(), {}};
    for (const auto& f : files) sources.files.push_back(f.get());
    if (inPlace && (plan.unchanged(r->size()) || sameAsArchive(pieces, sources, r->size()))) {
      warn(r->path() + ": nothing to change; the archive is left as it is");
      return strOf(r->path());
    }
    if (inPlace) raiseInPlace(place.check(overwrite), 0, place, r->path());
    takeInMemory(*r, pieces);
    PieceWriter writer(sources);
    if (FileIdentity read; !inPlace && r->file().isOpen() && r->file().identity(&read)) {
      writer.protect(read, "the archive being read");
    }
    for (const FileIdentity& id : identities) writer.protect(id, "a data file being read");
    writeOrRaise(writer, pieces, target);
    const std::string written = inPlace ? r->path() : target.shown;
    if (inPlace) {
      // This object reads the new archive from now on, as it would read what it wrote.
      r.reset();
      reader = std::make_shared<ArchiveReader>(real.c_str());
    }
    return strOf(written);
  }

  std::string repr() const {
    std::string where = py::repr(path).cast<std::string>();
    if (!reader) return "<kerv.Archive " + where + " closed>";
    return "<kerv.Archive " + where + " " + reader->dialectName() + ", " + std::to_string(reader->entries().size()) +
           " entries>";
  }

 private:
  std::shared_ptr<ArchiveReader> reader;
  py::object path;
  std::string real;  // the archive's path with every link resolved, when it was opened; empty for a file object
  bool fromObject = false;  // read through a file object's seek() and read(), not a file of its own
  bool nameless = false;    // a file object without a name
};

py::str pack(const py::object& scenario, const py::object& archive, const py::object& folder, bool overwrite) {
  const std::string scenarioPath = pathOf(scenario);
  SystemFile file;
  int64_t length = 0;
  if (!file.openForReading(scenarioPath.c_str(), &length)) raiseOSError(errno, std::strerror(errno), scenarioPath);
  if (const std::string tooLong = PackPlan::lengthError(length); !tooLong.empty()) {
    throw py::value_error(scenarioPath + ": " + tooLong);
  }
  FileIdentity scenarioIdentity;
  file.identity(&scenarioIdentity);
  std::string text(static_cast<std::size_t>(length), '\0');
  for (int64_t at = 0, n; at < length; at += n) {
    if ((n = file.read(text.data() + at, length - at)) <= 0) raiseOSError(n < 0 ? errno : EIO, "cannot read", scenarioPath);
  }
  const PackPlan plan(text.data(), length);
  if (plan.problem().code == Problem::Code::bareLineFeed || plan.problem().code == Problem::Code::bareCarriageReturn) {
    throw py::value_error(scenarioPath + ":" + std::to_string(plan.problem().n[0]) + ": the line ends in " +
                          (plan.problem().code == Problem::Code::bareLineFeed ? "LF" : "CR") +
                          " alone; save the scenario with CR LF line ends");
  }
  if (plan.problem()) throw py::value_error(scenarioPath + ": " + plan.error());
  const std::string where = folder.is_none() ? folderOf(scenarioPath) : pathOf(folder);
  SystemFolder data;
  if (!data.open(where, false)) raiseOSError(errno, std::strerror(errno), where);
  const std::vector<DataFile> found = findDataFiles(plan, data);
  PieceSources sources;
  std::vector<int64_t> sizes;
  for (const DataFile& f : found) {
    if (f.problem.code == Problem::Code::missingDataFile) raiseOSError(ENOENT, describe(f), f.path);
    if (f.problem) throw py::value_error(describe(f));
    sources.files.push_back(f.file.get());
    sizes.push_back(f.size);
  }
  const WriteTarget target =
      targetAt(archive.is_none() ? archivePathFor(scenarioPath, plan.dialect()) : pathOf(archive), overwrite);
  PieceWriter writer(sources);
  writer.protect(scenarioIdentity, "the scenario being packed");
  for (const DataFile& f : found) writer.protect(f.identity, "a data file being packed");
  writeOrRaise(writer, plan.pieces(sizes), target);
  return strOf(target.shown);
}

// The changes from the archive `old` to `new`; with `patch`, also writes
// the patch that makes `new` from `old` there.
py::list diff(const py::object& oldPath, const py::object& newPath, const py::object& patch, bool overwrite,
              const std::string& compress, const py::object& page, const std::string& title, const std::string& note) {
  const std::string oldName = pathOf(oldPath), newName = pathOf(newPath);
  vcdiff::EncoderOptions encoding;
  if (compress != "none" && compress != "lzma") throw py::value_error("compress is \"none\" or \"lzma\"");
  encoding.lzma = compress == "lzma";
  if (encoding.lzma && !vcdiff::Encoder::lzmaAvailable()) throw py::value_error("this build has no liblzma");
  const ArchiveReader olds(oldName.c_str()), news(newName.c_str());
  WriteTarget target, pageTarget;
  if (!patch.is_none()) target = targetAt(pathOf(patch), overwrite);
  std::string pageTemplate;
  if (!page.is_none()) {
    pageTarget = targetAt(pathOf(page), overwrite);
    const std::string prefix = py::module_::import("sys").attr("prefix").cast<std::string>();
    std::string why;
    if (!readPatcherPage({prefix + "/share/kerv/kerv-patcher.html", "/usr/share/kerv/kerv-patcher.html",
                          "/usr/local/share/kerv/kerv-patcher.html"},
                         &pageTemplate, &why)) {
      raiseOSError(ENOENT, why, "kerv-patcher.html");
    }
  } else if (!title.empty() || !note.empty()) {
    throw py::value_error("title and note are the patcher page's: give page");
  }
  const bool making = !patch.is_none() || !page.is_none();
  const FileView oldView(olds.file(), olds.size()), newView(news.file(), news.size());
  std::unique_ptr<FileDiff> compared;
  {
    py::gil_scoped_release unlocked;
    compared = std::make_unique<FileDiff>(olds.archiveIndex(), news.archiveIndex(), oldView, newView, making);
  }
  const ArchiveDiff& d = compared->diff();
  if (const Problem& p = d.problem()) {
    if (p.code == Problem::Code::differentDialects) throw py::value_error(p.english());
    const std::string& which = p.other == "new" ? newName : oldName;
    throw ArchiveError(which, p.english());
  }
  if (making) {
    FileIdentity oldId, newId;
    olds.file().identity(&oldId);
    news.file().identity(&newId);
    PieceWriter writer({});
    writer.protect(oldId, "the old archive");
    writer.protect(newId, "the new archive");
    for (const WriteTarget* t : {&target, &pageTarget}) {
      if (t->folder && !writer.mayWrite(*t)) raiseWriteFailure(writer);
    }
    // The patch in memory, for the page and the patch file both.
    std::string bytes, error;
    bool written;
    {
      py::gil_scoped_release unlocked;
      written = compared->writePatch(baseName(newName), baseName(oldName),
                                     [&](const char* p, std::size_t n) { return bytes.append(p, n), true; }, &error,
                                     encoding);
    }
    if (!written) raiseOSError(EIO, error, error.rfind("the new", 0) == 0 ? newName : oldName);
    if (!patch.is_none()) writeOrRaise(writer, {Piece::ofBytes(bytes)}, target);
    if (!page.is_none()) {
      PatcherInfo info;
      info.oldName = baseName(oldName);
      info.newName = baseName(newName);
      info.oldSize = olds.size();
      info.newSize = news.size();
      info.title = title;
      info.note = note;
      const std::string filled = fillPatcherPage(pageTemplate, bytes, info);
      if (filled.empty()) throw py::value_error("the patcher page found is no patcher page; build it again");
      writeOrRaise(writer, {Piece::ofBytes(filled)}, pageTarget);
    }
  }
  py::list changes;
  for (const ArchiveDiff::Change& c : d.changes()) changes.append(py::cast(c));
  return changes;
}

// Applies the patch at `patchPath` to the file at `path`: in place, as an
// update, or into `out`; returns the path written.
py::str applyPatchTo(const py::object& path, const py::object& patchPath, const py::object& out, bool overwrite,
                     bool backup) {
  PatchRequest request;
  request.path = pathOf(path);
  request.patchPath = pathOf(patchPath);
  if (!out.is_none()) request.out = pathOf(out);
  request.force = overwrite;
  request.backup = backup;
  request.forceName = "overwrite=True";
  if (backup && !out.is_none()) throw py::value_error("backup keeps the original of a file patched in place; give no out");
  PatchReport done;
  {
    py::gil_scoped_release unlocked;
    done = patchFile(request);
  }
  for (const std::string& note : done.notes) warn(note);
  switch (done.status) {
    case PatchReport::Status::done:
      break;
    case PatchReport::Status::unchanged:
      warn(done.message);
      break;
    case PatchReport::Status::refused:
      if (done.error == 0) throw py::value_error(done.message);
      [[fallthrough]];
    case PatchReport::Status::trouble:
      raiseOSError(done.error, done.message.substr(std::min(done.message.size(), done.errorPath.size() + 2)),
                   done.errorPath);
  }
  return strOf(out.is_none() ? request.path : request.out);
}

}  // namespace

PYBIND11_MODULE(_kerv, m) {
  m.doc() = "The extension under the package kerv: archives read in place, extracted, updated, packed and patched.";

  archiveErrorType = PyErr_NewExceptionWithDoc(
      "kerv.ArchiveError", "An archive that cannot be used (the base of BadArchive); an OSError.", PyExc_OSError,
      nullptr);
  if (archiveErrorType == nullptr) throw py::error_already_set();
  m.add_object("ArchiveError", py::handle(archiveErrorType));
  py::tuple badBases = py::make_tuple(py::handle(archiveErrorType), py::handle(PyExc_ValueError));
  badArchiveType = PyErr_NewExceptionWithDoc(
      "kerv.BadArchive", "The file is no archive of either dialect, or its header or scenario is cut short.",
      badBases.ptr(), nullptr);
  if (badArchiveType == nullptr) throw py::error_already_set();
  m.add_object("BadArchive", py::handle(badArchiveType));
  // A failed system call raises the OSError its errno means (as open()
  // does: FileNotFoundError, PermissionError, IsADirectoryError) with the
  // path; bytes that are no usable archive raise BadArchive("<path>: <reason>").
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const ArchiveError& e) {
      if (e.errorNumber() != 0) {
        py::object error = py::module_::import("builtins").attr("OSError")(e.errorNumber(), e.reason(), strOf(e.path()));
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
      } else {
        PyErr_SetObject(badArchiveType, py::str(e.what()).ptr());
      }
    }
  });

  m.def("pack", &pack, py::arg("scenario"), py::arg("archive") = py::none(), py::kw_only(),
        py::arg("folder") = py::none(), py::arg("overwrite") = false,
        "Packs a scenario and the data files its file list names; returns the archive's path.");

  m.def("diff", &diff, py::arg("old"), py::arg("new"), py::arg("patch") = py::none(), py::kw_only(),
        py::arg("overwrite") = false, py::arg("compress") = "none", py::arg("page") = py::none(),
        py::arg("title") = "", py::arg("note") = "",
        "What differs from the archive `old` to `new`, as a list of Change; with `patch`, also writes the VCDIFF "
        "patch that makes `new` from `old`.");
  m.def("apply_patch", &applyPatchTo, py::arg("archive"), py::arg("patch"), py::arg("out") = py::none(),
        py::kw_only(), py::arg("overwrite") = false, py::arg("backup") = false,
        "Applies a VCDIFF patch to `archive`, in place or into `out`; returns the path written.");

  py::class_<ArchiveDiff::Change>(m, "Change", "One thing that differs between two archives.")
      .def_property_readonly(
          "kind",
          [](const ArchiveDiff::Change& c) {
            using Kind = ArchiveDiff::Change::Kind;
            switch (c.kind) {
              case Kind::header: return "header";
              case Kind::scenario: return "scenario";
              case Kind::changed: return "changed";
              case Kind::added: return "added";
              case Kind::removed: return "removed";
            }
            return "";
          },
          "\"header\", \"scenario\", \"changed\", \"added\" or \"removed\".")
      .def_property_readonly(
          "name",
          [](const ArchiveDiff::Change& c) -> py::object {
            if (c.kind == ArchiveDiff::Change::Kind::header || c.kind == ArchiveDiff::Change::Kind::scenario) {
              return py::none();
            }
            return py::bytes(c.name);
          },
          "The data file's name as stored (bytes); None for the header and the scenario.")
      .def_property_readonly(
          "text",
          [](const ArchiveDiff::Change& c) -> py::object {
            if (c.kind == ArchiveDiff::Change::Kind::header || c.kind == ArchiveDiff::Change::Kind::scenario) {
              return py::none();
            }
            return py::str(cp932::toUtf8(c.name, cp932::Undecodable::escape));
          },
          "The data file's name decoded, as Entry.text; None for the header and the scenario.")
      .def_readonly("old_size", &ArchiveDiff::Change::oldSize, "Its size in the old archive (0 when added).")
      .def_readonly("new_size", &ArchiveDiff::Change::newSize, "Its size in the new archive (0 when removed).")
      .def("__str__", &ArchiveDiff::Change::english)
      .def("__repr__", [](const ArchiveDiff::Change& c) { return "<kerv.Change " + c.english() + ">"; });

  py::class_<ArchiveEntry>(m, "Entry", "One data file of an archive: its name, and where its bytes lie.")
      .def_property_readonly(
          "name", [](const ArchiveEntry& e) { return py::bytes(e.name); },
          "The name as the file list gives it (prefixes dropped), Shift_JIS bytes as they stand.")
      .def_property_readonly(
          "text", [](const ArchiveEntry& e) { return cp932::toUtf8(e.name, cp932::Undecodable::escape); },
          "The name decoded as code page 932; a byte that does not decode, or a control character, shows as "
          "a \\xNN escape.")
      .def_readonly("offset", &ArchiveEntry::offset, "Where the entry's bytes start in the archive.")
      .def_readonly("size", &ArchiveEntry::size, "The entry's length in bytes.")
      .def("__eq__",
           [](const ArchiveEntry& e, const py::object& other) -> py::object {
             if (!py::isinstance<ArchiveEntry>(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
             const ArchiveEntry& o = other.cast<const ArchiveEntry&>();
             return py::bool_(e.name == o.name && e.offset == o.offset && e.size == o.size);
           },
           py::arg("other"))
      .def("__hash__", [](const ArchiveEntry& e) { return py::hash(py::make_tuple(py::bytes(e.name), e.offset, e.size)); })
      .def("__repr__", [](const ArchiveEntry& e) {
        return "<kerv.Entry " + py::repr(py::str(cp932::toUtf8(e.name, cp932::Undecodable::escape))).cast<std::string>() +
               " offset=" + std::to_string(e.offset) + " size=" + std::to_string(e.size) + ">";
      });

  py::class_<Archive>(m, "Archive",
                      "An archive of either dialect, opened and indexed in place.\n\n"
                      "Raises the OSError of a failed call (FileNotFoundError, ...), and BadArchive for a file that is no archive.")
      .def(py::init<const py::object&>(), py::arg("file"))
      .def_property_readonly(
          "dialect", [](const Archive& a) { return std::string(a.open()->dialectName()); },
          "\"KERV\" or \"P-KERV\", from the archive's magic.")
      .def_property_readonly(
          "version", [](const Archive& a) { return a.open()->version(); },
          "The scenario's version as the tools print it, such as \"1.2000\".")
      .def_property_readonly(
          "waiting_time", [](const Archive& a) { return a.open()->scenario().getWaitingTime(); },
          "The scenario's waiting time in seconds (32767 when it gives none).")
      .def_property_readonly(
          "scenario", [](const Archive& a) { return py::bytes(a.open()->scenarioText()); },
          "The scenario text exactly as stored in the archive.")
      .def_property_readonly("scenario_text", &Archive::scenarioText,
                             "The scenario decoded by code page 932, its line ends as stored; a byte that has no "
                             "character is U+FFFD.")
      .def_property_readonly(
          "damage", [](const Archive& a) { return a.open()->damage(); },
          "What is wrong with the archive, each finding naming its byte offset; [] when sound.")
      .def_property_readonly("closed", &Archive::closed, "True once the archive is closed.")
      .def("__len__", [](const Archive& a) { return a.open()->entries().size(); })
      .def(
          "__iter__",
          [](const Archive& a) { return py::iter(py::cast(a.open()->entries())); },
          "The entries, in list order.")
      .def("__contains__", &Archive::contains, py::arg("member"),
           "Whether an entry has this name (a str decoded, bytes as stored), or is this Entry.")
      .def(
          "__getitem__", [](const Archive& a, const py::object& member) { return a.read(member, 0, -1); },
          py::arg("member"), "The bytes of the first data file of that name, or of that Entry.")
      .def(
          "getinfo", [](const Archive& a, const py::object& member) { return a.open()->entries()[a.entryOf(member)]; },
          py::arg("name"), "The first entry of that name (a str decoded, bytes as stored); KeyError when there is none.")
      .def("read", &Archive::read, py::arg("member"), py::arg("start") = 0, py::arg("size") = -1,
           "The bytes of one entry (an Entry, a str or bytes name), or of up to `size` bytes of it from `start` on.")
      .def(
          "extract",
          [](const Archive& a, const py::object& member, const py::object& path, bool raw, bool overwrite) {
            const std::size_t i = a.entryOf(member);
            std::vector<bool> chosen(a.open()->entries().size(), false);
            chosen[i] = true;
            const py::list written = a.extract(chosen, false, path, raw, overwrite);
            return py::object(written[0]);
          },
          py::arg("member"), py::arg("path") = ".", py::kw_only(), py::arg("raw_names") = false,
          py::arg("overwrite") = false, "Writes one data file into the folder `path`; returns its path.")
      .def(
          "extractall",
          [](const Archive& a, const py::object& path, const py::object& members, bool raw, bool overwrite) {
            std::vector<bool> chosen(a.open()->entries().size(), members.is_none());
            if (!members.is_none()) {
              for (const py::handle member : members) chosen[a.entryOf(member)] = true;
            }
            return a.extract(chosen, members.is_none(), path, raw, overwrite);
          },
          py::arg("path") = ".", py::arg("members") = py::none(), py::kw_only(), py::arg("raw_names") = false,
          py::arg("overwrite") = false,
          "Writes the scenario and every data file, or the data files `members` names, into the folder `path`; "
          "returns the paths written.")
      .def("strings", &Archive::strings, py::arg("format") = py::none(),
           "The scenario's lines to translate as [(line, text)], or with format (\"po\", \"csv\") as kerv strings "
           "writes them.")
      .def("update", &Archive::update, py::arg("out") = py::none(), py::kw_only(), py::arg("scenario") = py::none(),
           py::arg("scenario_text") = py::none(), py::arg("replace") = py::none(), py::arg("overwrite") = false,
           py::arg("strings") = py::none(),
           "Writes the archive with data files and/or the scenario replaced; returns its path.")
      .def("close", &Archive::close, "Closes the file; later use raises ValueError.")
      .def("__enter__",
           [](const py::object& self) {
             self.cast<const Archive&>().open();
             return self;
           })
      .def("__exit__", [](Archive& a, const py::args&) { a.close(); })
      .def("__repr__", &Archive::repr);
}
