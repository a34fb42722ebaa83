// The Python module `kerv`: the archive reader for scripts.
//
// kerv.Archive opens an archive of either dialect in place; its entries are
// kerv.Entry values, its data files are read as bytes, and reads release
// the GIL, so threads reading different entries run in parallel. What the
// reader cannot use raises kerv.ArchiveError, an OSError.
#include <Python.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>

#include "reader/ArchiveReader.h"

namespace py = pybind11;

namespace {

PyObject* archiveErrorType = nullptr;

// A name given as bytes, or as str encoded as code page 932. Returns false
// for a str that code page 932 cannot encode: no entry can have that name.
bool nameBytes(const py::handle& name, std::string& out) {
  if (py::isinstance<py::bytes>(name)) {
    out = name.cast<std::string>();
    return true;
  }
  if (!py::isinstance<py::str>(name)) throw py::type_error("an entry name is str or bytes");
  try {
    out = name.attr("encode")("cp932").cast<std::string>();
    return true;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_UnicodeEncodeError)) throw;
    return false;
  }
}

class Archive {
 public:
  explicit Archive(const py::object& path) {
    std::string name = py::module_::import("os").attr("fsencode")(path).cast<std::string>();
    reader = std::make_shared<ArchiveReader>(name.c_str());
    this->path = path;
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

  py::bytes read(const ArchiveEntry& entry, int64_t start, int64_t size) const {
    std::shared_ptr<ArchiveReader> r = open();
    if (start < 0) throw py::value_error("start must not be negative");
    int64_t left = entry.size > start ? entry.size - start : 0;
    int64_t n = size < 0 || size > left ? left : size;
    py::bytes result = py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, n));
    if (!result) throw py::error_already_set();
    char* buffer = PyBytes_AS_STRING(result.ptr());  // not yet shared: filled in place
    {
      py::gil_scoped_release unlocked;
      r->read(entry, start, buffer, n);
    }
    return result;
  }

  const ArchiveEntry* find(const py::handle& name) const {
    std::shared_ptr<ArchiveReader> r = open();
    std::string bytes;
    return nameBytes(name, bytes) ? r->find(bytes.c_str()) : nullptr;
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
};

}  // namespace

PYBIND11_MODULE(kerv, m) {
  m.doc() = "KERV and P-KERV archives used in place: list, check, and read data files by name.";

  archiveErrorType = PyErr_NewExceptionWithDoc(
      "kerv.ArchiveError", "The file cannot be opened, or is not a KERV or P-KERV archive.", PyExc_OSError, nullptr);
  if (archiveErrorType == nullptr) throw py::error_already_set();
  m.add_object("ArchiveError", py::handle(archiveErrorType));
  // With an errno: ArchiveError(errno, strerror, filename), as OSError is
  // raised for a file; else ArchiveError("<path>: <reason>").
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const ArchiveError& e) {
      py::object args = e.errorNumber() != 0
                            ? py::make_tuple(e.errorNumber(), e.reason(), py::bytes(e.path()).attr("decode")(
                                                                               py::module_::import("sys").attr(
                                                                                   "getfilesystemencoding")(),
                                                                               "surrogateescape"))
                            : py::make_tuple(e.what());
      PyErr_SetObject(archiveErrorType, args.ptr());
    }
  });

  py::class_<ArchiveEntry>(m, "Entry", "One data file of an archive: its name, and where its bytes lie.")
      .def_property_readonly(
          "name", [](const ArchiveEntry& e) { return py::bytes(e.name); },
          "The name as the file list gives it (prefixes dropped), Shift_JIS bytes as they stand.")
      .def_property_readonly(
          "text",
          [](const ArchiveEntry& e) { return py::bytes(e.name).attr("decode")("cp932", "backslashreplace"); },
          "The name decoded as code page 932; bytes that do not decode are shown as \\xNN escapes.")
      .def_readonly("offset", &ArchiveEntry::offset, "Where the entry's bytes start in the archive.")
      .def_readonly("size", &ArchiveEntry::size, "The entry's length in bytes.")
      .def("__repr__", [](const ArchiveEntry& e) {
        return "<kerv.Entry " +
               py::repr(py::bytes(e.name).attr("decode")("cp932", "backslashreplace")).cast<std::string>() +
               " offset=" + std::to_string(e.offset) + " size=" + std::to_string(e.size) + ">";
      });

  py::class_<Archive>(m, "Archive",
                      "An archive of either dialect, opened and indexed in place.\n\n"
                      "Raises ArchiveError when the file cannot be opened or is not an archive.")
      .def(py::init<const py::object&>(), py::arg("path"))
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
      .def_property_readonly(
          "damage", [](const Archive& a) { return a.open()->damage(); },
          "What is wrong with the archive, each finding naming its byte offset; [] when sound.")
      .def_property_readonly("closed", &Archive::closed, "True once the archive is closed.")
      .def("__len__", [](const Archive& a) { return a.open()->entries().size(); })
      .def(
          "__iter__",
          [](const Archive& a) { return py::iter(py::cast(a.open()->entries())); },
          "The entries, in list order.")
      .def("__contains__", [](const Archive& a, const py::handle& name) { return a.find(name) != nullptr; })
      .def(
          "__getitem__",
          [](const Archive& a, const py::handle& name) {
            const ArchiveEntry* entry = a.find(name);
            if (entry == nullptr) throw py::key_error(py::repr(name).cast<std::string>());
            return a.read(*entry, 0, -1);
          },
          "The bytes of the data file of that name (str or bytes).")
      .def("read", &Archive::read, py::arg("entry"), py::arg("start") = 0, py::arg("size") = -1,
           "The bytes of one entry, or of up to `size` bytes of it from `start` on.")
      .def("close", &Archive::close, "Closes the file; later use raises ValueError.")
      .def("__enter__",
           [](const py::object& self) {
             self.cast<const Archive&>().open();
             return self;
           })
      .def("__exit__", [](Archive& a, const py::args&) { a.close(); })
      .def("__repr__", &Archive::repr);
}
