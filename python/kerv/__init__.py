"""KERV and P-KERV archives, as zipfile and tarfile users know them.

    with kerv.Archive("story.krv") as a:      # a path, or a binary file object
        for info in a.infolist():             # the entries, as kerv.Entry
            print(info.text, info.size)
        data = a.read("door.qvd")             # a str name, stored bytes, or an Entry
        with a.open("op.qvd") as f:           # a seekable, read-only file object
            head = f.read(16)
        a.extractall("out")                   # beneath "out", never outside it
        a.update(replace={"door.qvd": b"..."})

Archives are read in place; reads release the GIL, so threads read at
once. Names are decoded from Shift_JIS and encoded back by the library's
code page 932 codec: a str names the entries whose names decode to it, bytes
the names as stored. Every file written is whole or absent. A file that
cannot be opened raises the OSError its errno means; a file that is no
archive raises BadArchive, a ValueError and (through ArchiveError, its
base of old) an OSError too; a damaged archive opens, lists
its complete blocks and says what is wrong in `damage`.
"""

from __future__ import annotations

import io
import os
import typing
from typing import List, Union

from kerv._kerv import (
    ArchiveError,
    BadArchive,
    Change,
    Entry,
    apply_patch,
    diff,
    pack,
)
from kerv._kerv import Archive as _Archive
from kerv._version import __version__

__all__ = [
    "Archive",
    "ArchiveError",
    "BadArchive",
    "Change",
    "Entry",
    "__version__",
    "apply_patch",
    "diff",
    "is_archive",
    "pack",
]

_Member = Union[str, bytes, Entry]


class _EntryReader(io.RawIOBase):
    """The bytes of one entry as a raw, seekable, read-only stream."""

    def __init__(self, archive: "Archive", entry: Entry) -> None:
        super().__init__()
        self._archive = archive
        self._entry = entry
        self._position = 0
        self.name = entry.text

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def readinto(self, buffer: "memoryview | bytearray") -> int:  # type: ignore[override]
        if self.closed:
            raise ValueError("I/O operation on closed file")
        data = self._archive.read(self._entry, self._position, len(buffer))
        n = len(data)
        memoryview(buffer).cast("B")[:n] = data
        self._position += n
        return n

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        if self.closed:
            raise ValueError("I/O operation on closed file")
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self._position, io.SEEK_END: self._entry.size}.get(whence)
        if base is None:
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        if base + offset < 0:
            raise ValueError(f"negative seek position {base + offset}")
        self._position = base + offset
        return self._position

    def tell(self) -> int:
        return self._position


class Archive(_Archive):
    """An archive of either dialect, opened and indexed in place.

    `file` is a path (str, bytes, os.PathLike) or a binary file object with
    seek() and read(); one with a fileno() is read by positioned reads of
    its file, any other through seek() and read() under a lock. Opening
    reads the header, the scenario and the block sizes, not the data.
    Raises FileNotFoundError, PermissionError, IsADirectoryError (an
    OSError with the path) when the file cannot be opened, BadArchive when
    it is no archive of either dialect. Closing, or leaving a with block,
    closes the file; later use raises ValueError.
    """

    def namelist(self) -> List[str]:
        """The entries' names decoded (Entry.text), in list order.

        A name with a byte that has no character shows it as \\xNN; such an
        entry is found by its bytes (Entry.name) or its Entry, not this text.
        """
        return [entry.text for entry in self]

    def infolist(self) -> List[Entry]:
        """The entries, in list order."""
        return list(self)

    def open(self, name: _Member) -> io.BufferedReader:
        """The entry as a read-only, seekable binary file object.

        Several may be open at once, also from several threads; each has its
        own position. Closing the archive ends their reads (ValueError).
        """
        return io.BufferedReader(_EntryReader(self, self.getinfo(name)))


def is_archive(file: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", typing.IO[bytes]]) -> bool:
    """Whether `file` (a path or a binary file object) is an archive of either dialect.

    A damaged archive is an archive; a file that cannot be opened is not.
    A file object's position is kept.
    """
    stream = None if isinstance(file, (str, bytes, os.PathLike)) else file
    position = stream.tell() if stream is not None else 0
    try:
        with Archive(file):
            return True
    except (OSError, ValueError):
        return False
    finally:
        if stream is not None:
            stream.seek(position)
