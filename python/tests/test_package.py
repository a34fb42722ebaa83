"""The package as zipfile and tarfile users use it: errors, file objects,
open(), the lookup rules, surrogates, python -m kerv, and an install by pip."""
import errno
import io
import os
import shutil
import struct
import subprocess
import sys
import threading

import pytest

import kerv
from test_kerv import archive, example, scenario  # noqa: F401 (example is a fixture)

# Three names that look alike: a byte with no character, the same text
# typed, and a name that decodes.
UNDECODABLE, TYPED, SEA = b"\x80x.qvd", b"\\x80x.qvd", "海.qvd".encode("cp932")
COLLIDING = archive(scenario(files=(UNDECODABLE, TYPED, SEA)), [b"raw", b"typed", b"sea"])


class Unseekable(io.RawIOBase):
    """A file object with seek() and read() but no fileno()."""

    def __init__(self, data):
        self.inner = io.BytesIO(data)

    def readable(self):
        return True

    def seekable(self):
        return True

    def readinto(self, b):
        return self.inner.readinto(b)

    def seek(self, *args):
        return self.inner.seek(*args)


@pytest.mark.parametrize("make, error, check", [
    (lambda d: d / "missing", FileNotFoundError, lambda e, d: e.errno == errno.ENOENT and e.filename == str(d / "missing")),
    (lambda d: os.fsencode(d / "missing"), FileNotFoundError, lambda e, d: e.filename == str(d / "missing")),
    (lambda d: d, IsADirectoryError, lambda e, d: e.errno == errno.EISDIR),
    (lambda d: (d / "zip").write_bytes(b"PK\3\4") and d / "zip", kerv.BadArchive,
     lambda e, d: str(e).endswith("zip: not a KERV or P-KERV archive: it does not start with KRV or PKV")),
    (lambda d: (d / "cut").write_bytes(b"KRV\0") and d / "cut", kerv.BadArchive, lambda e, d: "cut" in str(e)),
    (lambda d: io.BytesIO(b"PKV\0\0\0\0\0\xff\x00"), kerv.BadArchive, lambda e, d: str(e).startswith("<file object>: ")),
    (lambda d: (d / "a").write_bytes(b"") and os.chmod(d / "a", 0) or d / "a", PermissionError,
     lambda e, d: e.errno == errno.EACCES),
])
def test_errors_as_python_names_them(tmp_path, make, error, check):
    if error is PermissionError and os.geteuid() == 0:
        pytest.skip("root may read any file")
    with pytest.raises(error) as raised:
        kerv.Archive(make(tmp_path))
    assert check(raised.value, tmp_path), raised.value
    if error is kerv.BadArchive:
        # A ValueError as Python names it, and an ArchiveError for callers of old.
        assert isinstance(raised.value, ValueError) and isinstance(raised.value, kerv.ArchiveError)
    assert kerv.is_archive(make(tmp_path)) is False


def test_a_scenario_of_the_other_dialect_is_a_finding_not_an_empty_list(tmp_path):
    text = b"PKERV 1.0\r\nTitle\r\n.15\r\na.qvd\r\nb.qvd\r\n.\r\nbgm\r\n.\r\nbody\r\n"
    (tmp_path / "k.krv").write_bytes(archive(text, [b"AAA", b"BB"]))
    with kerv.Archive(tmp_path / "k.krv") as a:
        assert a.namelist() == ["a.qvd", "b.qvd"] and a["b.qvd"] == b"BB"
        assert a.damage == ["offset 10: the scenario is not for KERV: it does not start with KERV"]


@pytest.mark.parametrize("opener", [
    lambda p: str(p), lambda p: p, lambda p: os.fsencode(p), lambda p: open(p, "rb"),
    lambda p: open(p, "rb", buffering=0), lambda p: io.BytesIO(p.read_bytes()),
    lambda p: io.BufferedReader(Unseekable(p.read_bytes())),
], ids=["str", "Path", "bytes", "file", "raw file", "BytesIO", "no fileno"])
def test_file_objects_read_as_paths_do(tmp_path, opener):
    (tmp_path / "c.krv").write_bytes(COLLIDING)
    (tmp_path / "new.qvd").write_bytes(b"from a file object")
    source = opener(tmp_path / "c.krv")
    with kerv.Archive(source) as a, kerv.Archive(tmp_path / "c.krv") as b:
        assert kerv.is_archive(source)
        assert a.infolist() == [] or [(e.name, e.offset, e.size) for e in a] == [(e.name, e.offset, e.size) for e in b]
        assert [a.read(e) for e in a] == [b"raw", b"typed", b"sea"] and a.damage == []
        with open(tmp_path / "new.qvd", "rb") as f:
            written = a.update(tmp_path / "u.krv", replace={"海.qvd": f})
        b.update(tmp_path / "v.krv", replace={"海.qvd": b"from a file object"})
        assert (tmp_path / "u.krv").read_bytes() == (tmp_path / "v.krv").read_bytes() and written == str(tmp_path / "u.krv")
        a.extractall(tmp_path / "out", raw_names=True)
        # A file object without a name: the scenario is named after the dialect.
        named = not isinstance(source, (io.BytesIO, io.BufferedReader)) or hasattr(source, "name")
        assert (tmp_path / "out" / ("c.ker" if named else "scenario.ker")).read_bytes() == b.scenario
        assert (tmp_path / os.fsdecode(b"out/" + UNDECODABLE)).read_bytes() == b"raw"
        if not isinstance(source, (str, bytes, os.PathLike)):
            # In place needs the file's path, which a file object does not give.
            with pytest.raises(io.UnsupportedOperation):
                a.update(replace={"海.qvd": b""})
            assert not source.closed  # the caller's object is the caller's to close
            source.close()


def test_open_seeks_and_readers_run_in_parallel(tmp_path):
    blocks = [bytes(range(256)) * 4096, b"x" * 100_000, b""]
    (tmp_path / "p.krv").write_bytes(archive(scenario(files=(b"a.qvd", b"b.qvd", b"c.qvd")), blocks))
    with kerv.Archive(tmp_path / "p.krv") as a:
        with a.open("a.qvd") as f:
            assert isinstance(f, io.BufferedReader) and f.readable() and f.seekable() and not f.writable()
            assert f.read(3) == b"\0\1\2" and f.tell() == 3
            assert f.seek(-2, io.SEEK_END) == len(blocks[0]) - 2 and f.read() == b"\xfe\xff" and f.read() == b""
            assert f.seek(300) == 300 and f.read1(4) == bytes([44, 45, 46, 47]) and f.seek(5, io.SEEK_CUR) == 309
            with pytest.raises(ValueError):
                f.seek(-1)
        assert a.open(b"c.qvd").read() == b""
        results = {}

        def reader(i):
            with a.open(a.infolist()[i % 2]) as f:
                f.seek(i * 1000)
                results[i] = f.read(5000)

        threads = [threading.Thread(target=reader, args=(i,)) for i in range(16)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert all(results[i] == blocks[i % 2][i * 1000:i * 1000 + 5000] for i in range(16))
        f = a.open("a.qvd")
    with pytest.raises(ValueError):
        f.read()  # the archive is closed


def test_lookups_take_a_decoded_str_the_stored_bytes_or_an_entry(tmp_path):
    (tmp_path / "c.krv").write_bytes(COLLIDING)
    with kerv.Archive(tmp_path / "c.krv") as a:
        raw, typed, sea = a.infolist()
        assert a.namelist() == ["\\x80x.qvd", "\\x80x.qvd", "海.qvd"]
        # A str names only what decodes to it: the typed name, never the escape of a byte.
        for key, expected in [("\\x80x.qvd", b"typed"), (UNDECODABLE, b"raw"), (TYPED, b"typed"), ("海.qvd", b"sea"),
                              (SEA, b"sea"), (raw, b"raw"), (typed, b"typed"), (sea, b"sea")]:
            assert key in a and a[key] == a.read(key) == expected, key
            assert a.open(key).read() == expected and a.read(a.getinfo(key)) == expected
        assert a.getinfo(raw.text) == typed
        for missing in ["x.qvd", b"\x80", "\\x80X.qvd"]:
            assert missing not in a
            with pytest.raises(KeyError) as raised:
                a.getinfo(missing)
            assert str(raised.value) == repr(missing)  # quoted once
        with pytest.raises(TypeError):
            5 in a
        assert a.extract(raw, tmp_path / "one", raw_names=True) == os.fsdecode(os.path.join(os.fsencode(tmp_path / "one"), UNDECODABLE))
        some = os.fsencode(tmp_path / "some")
        assert a.extractall(some, members=[sea, "\\x80x.qvd"], raw_names=True) == [
            os.fsdecode(os.path.join(some, TYPED)), os.fsdecode(os.path.join(some, SEA))]
        assert sorted(os.listdir(some)) == sorted([TYPED, SEA])  # no scenario
        assert open(os.path.join(some, TYPED), "rb").read() == b"typed"
        with pytest.raises(KeyError):
            a.extractall(tmp_path / "none", members=["x.qvd"])
        assert not (tmp_path / "none").exists()


@pytest.mark.parametrize("use", [
    lambda a: a["\udc80.qvd"], lambda a: "\udc80" in a, lambda a: a.getinfo("a\udcff"),
    lambda a: a.update(a.path_out, replace={"\udc80": b""}), lambda a: a.update(a.path_out, scenario_text="x\ud800"),
])
def test_lone_surrogates_raise_unicode_encode_error(tmp_path, use):
    (tmp_path / "c.krv").write_bytes(COLLIDING)
    with kerv.Archive(tmp_path / "c.krv") as a:
        a.path_out = None
        with pytest.raises(UnicodeEncodeError):
            use(a)


def run_module(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "kerv", *map(str, args)], capture_output=True, text=True, cwd=cwd)


def test_python_m_kerv(example, tmp_path):
    listed = run_module("-l", example)
    assert listed.returncode == 0 and listed.stdout.split("\n")[1].split() == ["op.qvd", "1536"]
    assert len(listed.stdout.splitlines()) == 5
    # The sizes stand in one column although 海.zpt takes two columns a character.
    assert len({line.index(line.split()[-1]) + len(line.split()[-1]) + sum(ord(c) > 0x2E80 for c in line)
                for line in listed.stdout.splitlines()}) == 1, listed.stdout
    assert run_module("-t", example).stdout == "Done testing\n"
    assert run_module("-e", example, tmp_path / "out").returncode == 0
    assert (tmp_path / "out" / "story.ker").read_bytes() == kerv.Archive(example).scenario
    # The archive first, as zipfile's -c; the data files' folder after the scenario; the old order still works.
    (tmp_path / "scenario").mkdir()
    shutil.copy(tmp_path / "out" / "story.ker", tmp_path / "scenario")
    for args, made in ((("again.krv", "out/story.ker"), "again.krv"),
                       (("data.krv", "scenario/story.ker", "out"), "data.krv"),
                       (("out/story.ker", "old.krv"), "old.krv")):
        run = run_module("-c", *args, cwd=tmp_path)
        assert run.returncode == 0 and (tmp_path / made).read_bytes() == example.read_bytes(), run.stderr
    (tmp_path / "damaged.krv").write_bytes(example.read_bytes() + b"junk")
    checked = run_module("-t", tmp_path / "damaged.krv")
    assert checked.returncode == 1 and "4 bytes after the last data block" in checked.stderr
    (tmp_path / "zip.krv").write_bytes(b"PK\3\4")
    for args, status in [(("-l", tmp_path / "missing.krv"), 2), (("-t", tmp_path / "zip.krv"), 1),
                         (("-c", tmp_path / "again.krv", tmp_path / "out" / "story.ker"), 1),  # it exists
                         (("-c", tmp_path / "x.krv", tmp_path / "scenario" / "story.ker"), 2),  # no data file
                         (("-c", tmp_path / "x.krv"), 2)]:
        failed = run_module(*args)
        assert (failed.returncode, failed.stderr[:16]) == (status, "python -m kerv: " if status == 1 else
                                                           failed.stderr[:16]), (args, failed.stderr)
        assert failed.stderr.startswith("python -m kerv: ") or status == 2 and "usage:" in failed.stderr
    assert run_module().returncode == 2  # usage


def test_a_file_object_without_a_name_is_named_so():
    with pytest.raises(kerv.BadArchive, match="^<file object>: "):
        kerv.Archive(io.BytesIO(b"PK\3\4 a zip"))


@pytest.mark.skipif(not os.environ.get("KERV_SOURCE"), reason="KERV_SOURCE (the project's folder) is not set")
def test_pip_installs_into_a_fresh_venv(tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}  # the venv's own kerv, not the build's
    source = tmp_path / "source"
    shutil.copytree(os.environ["KERV_SOURCE"], source,
                    ignore=lambda folder, names: [n for n in names if n.startswith("build") or n in (".git", "__pycache__")])
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", tmp_path / "venv"], check=True)
    python = tmp_path / "venv" / "bin" / "python"
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-index", source], check=True,
                   cwd=tmp_path, env=env)
    shown = subprocess.run([python, "-m", "pip", "show", "kerv"], capture_output=True, text=True, check=True,
                           env=env).stdout
    assert "Name: kerv\n" in shown
    check = ("import importlib.metadata, sys, kerv\n"
             "assert kerv.__file__.startswith(sys.prefix), kerv.__file__\n"
             "a = kerv.Archive(sys.argv[1])\n"
             "print(importlib.metadata.version('kerv') == kerv.__version__, len(a), a['door.qvd'][:4].hex())\n")
    (tmp_path / "packed").mkdir()
    for name in os.listdir(source / "examples"):
        shutil.copy(source / "examples" / name, tmp_path / "packed")
    subprocess.run([os.path.join(os.environ["KERV_BIN"], "krvmake"), "story.ker"], cwd=tmp_path / "packed", check=True,
                   stdout=subprocess.DEVNULL)
    door = (source / "examples" / "door.qvd").read_bytes()[:4].hex()
    out = subprocess.run([python, "-c", check, tmp_path / "packed" / "story.krv"], capture_output=True, text=True,
                         cwd=tmp_path, check=True, env=env).stdout
    assert out == f"True 4 {door}\n"
