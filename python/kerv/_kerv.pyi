"""The extension under the package kerv: archives read in place, extracted, updated, packed and patched.

Names are decoded from Shift_JIS and encoded back by the library's code
page 932 codec. Every file written is whole or absent: it is written
without a name, synced, then linked in place, so an error leaves nothing
behind and a file it replaces stays whole until then.
"""

import os
from typing import IO, Iterable, Iterator, Mapping, Optional, TypeVar, Union, overload

_Self = TypeVar("_Self", bound="Archive")
_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_Name = Union[str, bytes]
_Member = Union[str, bytes, "Entry"]
# New contents: bytes (or another buffer), the path of a file, or a binary file object read to its end.
_Contents = Union[bytes, bytearray, memoryview, str, "os.PathLike[str]", "os.PathLike[bytes]", IO[bytes]]

def pack(scenario: _Path, archive: Optional[_Path] = None, *, folder: Optional[_Path] = None,
         overwrite: bool = False) -> str:
    """Packs the scenario and every data file its file list names; returns the archive's path.

    Byte for byte the archive krvmake or pkvmake makes. Each data file is
    looked for in `folder` (default: the scenario's folder) by its name as
    stored, then by its UTF-8 name with '\\' separating folders, so a folder
    that extractall() wrote packs back to the identical archive. `archive`
    defaults to the scenario's name with the dialect's suffix (story.ker
    gives story.krv). Raises FileExistsError when the archive exists (unless
    overwrite), FileNotFoundError naming a missing data file, and
    ValueError for a scenario of neither dialect or of more than 32767
    bytes; no archive is left behind then. The GIL is released while data
    is copied.
    """

def diff(
    old: _Path,
    new: _Path,
    patch: Optional[_Path] = None,
    *,
    overwrite: bool = False,
    compress: str = "none",
    page: Optional[_Path] = None,
    title: str = "",
    note: str = "",
) -> list["Change"]:
    """What differs from the archive `old` to the archive `new`, as `kerv diff` prints it.

    One Change for the scenario and each data file changed, added or
    removed; [] when the archives hold the same bytes. With `patch`, also
    writes there the VCDIFF patch that makes `new` from `old`, byte for
    byte the patch `kerv diff --patch` writes (xdelta3 applies it too);
    compress="lzma" compresses its sections as xdelta3 does by default.
    With `page`, also writes a patcher page there, as `kerv diff --page`
    does (with `title` and `note`): one HTML file with the patch in it,
    with which a player patches the old archive in the browser. It is made
    from the built kerv-patcher.html (KERV_PATCHER_PAGE names it, else
    PREFIX/share/kerv is looked in).
    Raises BadArchive for a file that is not an archive or is damaged,
    ValueError for archives of two dialects or a patch named as one of
    them, and FileExistsError when `patch` exists (unless overwrite);
    nothing is written then. The GIL is released while the archives are
    read.
    """

def apply_patch(
    archive: _Path, patch: _Path, out: Optional[_Path] = None, *, overwrite: bool = False, backup: bool = False
) -> str:
    """Applies a VCDIFF patch (from diff(), `kerv diff` or xdelta3) to `archive`; returns the path written.

    `archive` may be any file. Without `out` the file is replaced in one
    step under the rules of Archive.update (one update at a time, its
    permission bits, owner, ACL and attributes kept; overwrite replaces a
    read-only file or gives this name of a linked one the result); backup
    keeps the original as ARCHIVE.orig first. The result is written only
    when it is whole: a patch that names the file it was made from is
    applied only to that file (ValueError says when the file is another one
    or already patched), and what it makes must have the size and sum it
    promises. A patch that is damaged, cut short or lengthened raises
    ValueError; so does one that cannot tell the right file (no sums, no
    checksums) in place unless overwrite (into `out` it is applied with a
    warning). FileExistsError when `out` exists (unless overwrite, which
    replaces regular files only). Nothing is written then. A patch that
    changes nothing writes nothing and warns. The GIL is released while
    data is copied.
    """

class Change:
    """One thing that differs between two archives; str() gives kerv diff's line."""
    @property
    def kind(self) -> str:
        """One of "header", "scenario", "changed", "added" and "removed"."""
    @property
    def name(self) -> Optional[bytes]:
        """The data file's name as stored; None for the header and the scenario."""
    @property
    def text(self) -> Optional[str]:
        """The data file's name decoded, as Entry.text; None for the header and the scenario."""
    @property
    def old_size(self) -> int:
        """Its size in the old archive (0 when added)."""
    @property
    def new_size(self) -> int:
        """Its size in the new archive (0 when removed)."""

class ArchiveError(OSError):
    """An archive that cannot be used; the base of BadArchive, kept for callers that catch it."""

class BadArchive(ArchiveError, ValueError):
    """The file is no archive of either dialect, or its header or scenario is cut short.

    A ValueError, and an OSError through ArchiveError: catch BadArchive
    first where the two are told apart.

    str() names the file and what is wrong. A file that cannot be opened
    raises the OSError its errno means instead (FileNotFoundError, ...).
    """

class Entry:
    """One data file of an archive: its name, and where its bytes lie."""

    @property
    def name(self) -> bytes:
        """The name as the file list gives it (prefixes dropped), Shift_JIS bytes as they stand."""
    @property
    def text(self) -> str:
        """The name decoded as code page 932; a byte that does not decode, or a control character, shows as \\xNN."""
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

    def __init__(self, file: Union[_Path, IO[bytes]]) -> None:
        """Opens and indexes the archive at a path, or read through a binary file object.

        Raises the OSError of the failed call (FileNotFoundError, ...) and
        BadArchive for a file that is no archive.
        """
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
    def scenario_text(self) -> str:
        """The scenario decoded as code page 932, its line ends as stored; a byte with no character is U+FFFD."""
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
    def __contains__(self, member: object) -> bool:
        """Whether an entry has this name (a str decoded, bytes as stored), or is this Entry."""
    def __getitem__(self, member: _Member) -> bytes:
        """The bytes of the first data file of that name, or of that Entry; KeyError when there is none."""
    def getinfo(self, name: _Member) -> Entry:
        """The first entry of that name (a str decoded, bytes as stored); KeyError when there is none.

        A str names the entries whose stored names decode to it, every byte
        of them: a name with a byte that has no character is found by its
        bytes or its Entry, never by Entry.text's \\xNN.
        """
    def read(self, member: _Member, start: int = 0, size: int = -1) -> bytes:
        """The bytes of one entry (an Entry, a str or bytes name), or at most `size` bytes of it from `start` on."""
    def extract(self, member: _Member, path: _Path = ".", *, raw_names: bool = False,
                overwrite: bool = False) -> str:
        """Writes one data file into the folder `path`; returns the path written.

        `member` is an Entry, a decoded name (str) or a stored name (bytes).
        The file is named by its decoded name, '/' and '\\' making folders,
        or with raw_names by its stored bytes. Raises KeyError for an
        unknown member, FileExistsError when the file exists (unless
        overwrite), and ValueError for a name that would leave the folder,
        holds a control character or a byte with no character.
        """
    def extractall(self, path: _Path = ".", members: Optional[Iterable[_Member]] = None, *, raw_names: bool = False,
                   overwrite: bool = False) -> list[str]:
        """Writes the scenario (story.krv gives story.ker) and every data file into `path`.

        With `members` (names or Entry values; KeyError for one that is not
        there), only those data files are written, and not the scenario.

        Every name is checked first: an unsafe name raises ValueError naming
        it, an existing file FileExistsError (unless overwrite), and then
        nothing is written. A name listed twice is written once. Returns the
        paths written. The GIL is released while data is copied.
        """
    @overload
    def strings(self, format: None = None) -> list[tuple[int, str]]:
        """The scenario's lines to translate (every line holding a character outside ASCII).

        Without format, [(line, text)] in scenario order (line from 1, text as
        scenario_text shows it); with format "po" or "csv", the file `kerv
        strings` writes, as a str (the CSV without its byte order mark).
        """
    @overload
    def strings(self, format: str) -> str: ...
    def update(self, out: Optional[_Path] = None, *, scenario: Optional[bytes] = None,
               scenario_text: Optional[str] = None, replace: Optional[Mapping[_Name, _Contents]] = None,
               overwrite: bool = False, strings: Optional[_Path] = None) -> str:
        """Writes the archive with data files and/or the scenario replaced; returns its path.

        `replace` maps names (str decoded, bytes as stored) to new contents
        (bytes, the path of a file, or a binary file object, read from its
        position to its end); every occurrence of a name listed
        twice is replaced. `strings` is a PO or CSV file of translations,
        as `kerv update --strings` takes it (ValueError naming every error:
        a line that reads otherwise now, each character without a code).
        `scenario` is a new scenario's bytes,
        `scenario_text` its text: an LF without CR becomes CR LF, and a line
        that reads as a line of the old scenario keeps that line's bytes.
        With a new scenario each name of its list takes its replacement,
        else the old data file of that name. Without `out` the archive is
        replaced in one step (its bits, owner, ACL and attributes kept), and
        this object reads the new archive from then on; an update that
        changes nothing writes nothing and warns. An archive opened from a
        file object is written into `out` only (io.UnsupportedOperation
        without it). An interrupt (KeyboardInterrupt) while it is written
        stops it: nothing is written, and it is raised.
        Raises ValueError for a name not in the list, a scenario of the
        other dialect or a damaged archive; UnicodeEncodeError ("cp932",
        `start` the character's index in scenario_text) for a character
        with no code; FileExistsError when `out` exists (unless overwrite).
        Nothing is written then. The GIL is released while data is copied.
        """
    def close(self) -> None:
        """Closes the file; a read already under way in another thread completes."""
    def __enter__(self: _Self) -> _Self: ...
    def __exit__(self, *args: object) -> None: ...
