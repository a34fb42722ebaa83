"""The Python module kerv: an archive's contents, its findings, reads and errors."""
import errno
import os
import shutil
import struct
import subprocess
import threading
import time

import pytest

import kerv

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
SEA = "海.zpt"


def scenario(magic=b"KERV 1.2 30.5", files=(b"a.qvd", b"b.qvd")):
    return b"\r\n".join([magic, b"title", b".20", *files, b".", b"."]) + b"\r\nR1\r\n"


def archive(text, blocks, magic=b"KRV"):
    out = magic + b"\0" * 5 + struct.pack("<H", len(text)) + text
    return out + b"".join(struct.pack("<i", len(b)) + b for b in blocks)


def longest_pause(worker):
    """Runs the thread `worker` while this one spins; returns the longest
    this thread had to wait for its turn, and how long the worker took."""
    start = last = time.perf_counter()
    longest = 0.0
    worker.start()
    while worker.is_alive():
        now = time.perf_counter()
        longest, last = max(longest, now - last), now
    return longest, last - start


@pytest.fixture
def example(tmp_path):
    """The example scenario packed by krvmake; returns the archive's path."""
    shutil.copytree(EXAMPLES, tmp_path / "src")
    subprocess.run([os.path.join(os.environ["KERV_BIN"], "krvmake"), "story.ker"], cwd=tmp_path / "src",
                   check=True, stdout=subprocess.DEVNULL)
    return tmp_path / "src" / "story.krv"


def test_the_example(example):
    folder = os.fsencode(EXAMPLES)
    with kerv.Archive(example) as a:
        assert (a.dialect, a.version, a.waiting_time, a.damage) == ("KERV", "1.2000", 15, [])
        with open(os.path.join(folder, b"story.ker"), "rb") as f:
            assert a.scenario == f.read()
        assert [(e.text, e.offset, e.size) for e in a] == [
            ("op.qvd", 205, 1536), (SEA, 1745, 2048), ("door.qvd", 3797, 700), ("title.zpt", 4501, 0)]
        assert len(a) == 4 and [e.name for e in a][1] == SEA.encode("cp932")
        for e in a:
            with open(os.path.join(folder, e.name), "rb") as f:
                data = f.read()
            assert a[e.name] == a[e.text] == a.read(e) == data
            assert a.read(e, 100, 10) == data[100:110] and a.read(e, e.size + 5) == b""
        assert SEA in a and SEA.encode("cp932") in a and "none.qvd" not in a and "€" not in a
        with pytest.raises(KeyError):
            a["none.qvd"]
        with pytest.raises(ValueError):
            a.read(next(iter(a)), -1)
    # Leaving the with block closed the file.
    for use in (len, lambda a: a.dialect, lambda a: a["op.qvd"], lambda a: list(a)):
        with pytest.raises(ValueError):
            use(a)
    assert a.closed


END = 10 + len(scenario()) + 5  # where the second block's size lies


@pytest.mark.parametrize("data, entries, damage", [
    (archive(scenario(), [b"A", b"BB"]), 2, []),
    (archive(scenario(), [b"A"]), 1, [f"offset {END}: 1 of 2 data blocks missing: the archive ends after 1 block",
                                      f"b.qvd: no block (the archive ends at offset {END})"]),
])
def test_findings(tmp_path, data, entries, damage):
    (tmp_path / "a.krv").write_bytes(data)
    a = kerv.Archive(str(tmp_path / "a.krv"))
    assert (len(a), a.damage, a["a.qvd"]) == (entries, damage, b"A")
    if damage:  # a listed file without its block is named so, not as a name never listed
        with pytest.raises(ValueError, match=r"^b\.qvd: no block \(the archive ends at offset"):
            a.update(str(tmp_path / "out.krv"), replace={"b.qvd": b"new"})


def test_a_name_with_slashes_for_its_backslashes(tmp_path):
    names = ("データ\\表紙.zpt".encode("cp932"), b"a\\b.qvd")
    (tmp_path / "a.krv").write_bytes(archive(scenario(files=names), [b"cover", b"ab"]))
    with kerv.Archive(str(tmp_path / "a.krv")) as a:
        assert (a["データ/表紙.zpt"], a["データ\\表紙.zpt"], a.getinfo("a/b.qvd").text) == (b"cover", b"cover", "a\\b.qvd")
        a.update(str(tmp_path / "b.krv"), replace={"データ/表紙.zpt": b"new"})
    with kerv.Archive(str(tmp_path / "b.krv")) as b:
        assert b["データ\\表紙.zpt"] == b"new"


def test_reads_release_the_gil(tmp_path):
    # A sparse entry of 256 MiB takes a while to read; while it is read in
    # one thread, this one must get to run Python.
    size = 256 << 20
    (tmp_path / "a.krv").write_bytes(archive(scenario(files=(b"big.qvd",)), []) + struct.pack("<i", size))
    os.truncate(tmp_path / "a.krv", os.path.getsize(tmp_path / "a.krv") + size)
    with kerv.Archive(tmp_path / "a.krv") as a:
        result = []
        longest, took = longest_pause(threading.Thread(target=lambda: result.append(len(a["big.qvd"]))))
    assert result == [size]
    assert longest < took / 2, f"this thread waited {longest:.3f} s of a read of {took:.3f} s"
