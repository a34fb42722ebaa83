"""KERV and P-KERV archives used in place: list, check, and read data files by name."""

import os
from typing import Iterator, Union

_Path = Union[str, bytes, os.PathLike]

class ArchiveError(OSError):
    """The file cannot be opened, or is not a KERV or P-KERV archive.

    When a system call failed, errno, strerror and filename are set as for
    any OSError; otherwise str() names the archive and what is wrong.
    """

class Entry:
    """One data file of an archive: its name, and where its bytes lie."""

    @property
    def name(self) -> bytes:
        """The name as the file list gives it (prefixes dropped), Shift_JIS bytes as they stand."""
    @property
    def text(self) -> str:
        """The name decoded as code page 932; bytes that do not decode are shown as \\xNN escapes."""
    @property
    def offset(self) -> int:
        """Where the entry's bytes start in the archive."""
    @property
    def size(self) -> int:
        """The entry's length in bytes."""

class Archive:
    """An archive of either dialect, opened and indexed in place.

    Opening reads the header, the scenario and the block sizes, not the
    data. Reads release the GIL, so threads may read at once. Closing, or
    leaving a with block, closes the file; later use raises ValueError.
    """

    def __init__(self, path: _Path) -> None:
        """Opens and indexes the archive; raises ArchiveError when it cannot."""
    @property
    def dialect(self) -> str:
        """"KERV" or "P-KERV", from the archive's magic."""
    @property
    def version(self) -> str:
        """The scenario's version as the tools print it, such as "1.2000"."""
    @property
    def waiting_time(self) -> int:
        """The scenario's waiting time in seconds (32767 when it gives none)."""
    @property
    def scenario(self) -> bytes:
        """The scenario text exactly as stored in the archive."""
    @property
    def damage(self) -> list[str]:
        """What is wrong with the archive, each finding naming its byte offset; [] when sound."""
    @property
    def closed(self) -> bool:
        """True once the archive is closed."""
    def __len__(self) -> int:
        """The number of complete data blocks."""
    def __iter__(self) -> Iterator[Entry]:
        """The entries, in list order."""
    def __contains__(self, name: Union[str, bytes]) -> bool:
        """Whether a data file has this name (str is encoded as code page 932)."""
    def __getitem__(self, name: Union[str, bytes]) -> bytes:
        """The bytes of the first data file of that name; KeyError when there is none."""
    def read(self, entry: Entry, start: int = 0, size: int = -1) -> bytes:
        """The bytes of one entry, or at most `size` bytes of it from `start` on."""
    def close(self) -> None:
        """Closes the file; a read already under way in another thread completes."""
    def __enter__(self) -> "Archive": ...
    def __exit__(self, *args: object) -> None: ...
