"""The write side of kerv: pack, extract and update, byte for byte as the
tools make archives, and the refusals, after which nothing is written."""
import os
import shutil
import subprocess
import sys
import threading
import time

import pytest

import kerv
from test_kerv import EXAMPLES, SEA, archive, example, longest_pause, scenario  # noqa: F401 (example is a fixture)

KRVMAKE = os.path.join(os.environ.get("KERV_BIN", ""), "krvmake")


def tree(folder):
    return sorted(os.path.relpath(os.path.join(d, f), folder) for d, _, fs in os.walk(folder) for f in fs)


@pytest.mark.parametrize("raw_names", [False, True])
def test_extractall_then_pack_gives_the_identical_archive(tmp_path, raw_names):
    names = (b"op.qvd", b"=bg:\x8a\x43.zpt", b"sub\\y.qvd", "ソ.zpt".encode("cp932"), b"a.qvd", b"a.qvd")
    original = archive(scenario(files=names), [b"o" * 70000, b"sea", b"y", b"so", b"A", b"A"])
    (tmp_path / "s.krv").write_bytes(original)
    with kerv.Archive(tmp_path / "s.krv") as a:
        written = a.extractall(tmp_path / "out", raw_names=raw_names)
    expected = ["s.ker", "op.qvd", os.fsdecode(b"\x8a\x43.zpt") if raw_names else "海.zpt",
                os.fsdecode(b"sub\\y.qvd") if raw_names else os.path.join("sub", "y.qvd"),
                os.fsdecode("ソ.zpt".encode("cp932")) if raw_names else "ソ.zpt", "a.qvd"]
    assert written == [str(tmp_path / "out" / n) for n in expected]
    assert kerv.pack(tmp_path / "out" / "s.ker", tmp_path / "re.krv") == str(tmp_path / "re.krv")
    assert (tmp_path / "re.krv").read_bytes() == original


def test_update_equals_a_fresh_pack(example, tmp_path):
    (tmp_path / "new.zpt").write_bytes(b"added")
    with kerv.Archive(example) as a:
        text = a.scenario_text.replace("潮騒", "波音").replace("title.zpt\r\n", "title.zpt\r\nnew.zpt\r\n")
        assert a.update(scenario_text=text.replace("\r\n", "\n"),
                        replace={"door.qvd": b"a new door", b"new.zpt": tmp_path / "new.zpt"}) == str(example)
        # The open archive reads the new one, and may be updated again.
        assert a["door.qvd"] == b"a new door"
        a.update(replace={"door.qvd": b"a newer door"})
        assert a["door.qvd"] == b"a newer door"
        a.update(replace={"door.qvd": b"a new door"})
    fresh = tmp_path / "fresh"
    shutil.copytree(EXAMPLES, fresh)
    (fresh / "story.ker").write_bytes(text.encode("cp932"))
    (fresh / "door.qvd").write_bytes(b"a new door")
    (fresh / "new.zpt").write_bytes(b"added")
    subprocess.run([KRVMAKE, "story.ker"], cwd=fresh, check=True, stdout=subprocess.DEVNULL)
    assert example.read_bytes() == (fresh / "story.krv").read_bytes()
    with kerv.Archive(example) as a:
        assert a["door.qvd"] == b"a new door" and a.scenario_text == text
        # No change at all: the same bytes; an output that exists is refused.
        assert a.update(tmp_path / "copy.krv") == str(tmp_path / "copy.krv")
        with pytest.raises(FileExistsError):
            a.update(tmp_path / "copy.krv", replace={"op.qvd": b""})
        a.update(tmp_path / "copy.krv", replace={"op.qvd": b""}, overwrite=True)
    assert (tmp_path / "copy.krv").stat().st_size == example.stat().st_size - 1536


def test_refusals_write_nothing(example, tmp_path):
    before = example.read_bytes()
    (tmp_path / "u.krv").write_bytes(archive(scenario(files=(b"../up.qvd", b"ok.qvd")), [b"x", b"ok"]))
    with kerv.Archive(tmp_path / "u.krv") as a:
        with pytest.raises(ValueError, match=r"\.\./up\.qvd: not extracted: '\.\.' leads outside the folder"):
            a.extractall(tmp_path / "out")
        with pytest.raises(ValueError):
            a.extract("../up.qvd", tmp_path / "out")
        with pytest.raises(KeyError):
            a.extract("none.qvd", tmp_path / "out")
        assert a.extract(b"ok.qvd", tmp_path / "out") == str(tmp_path / "out" / "ok.qvd")
        with pytest.raises(FileExistsError):
            a.extract(list(a)[1], tmp_path / "out")
    with kerv.Archive(example) as a:
        (tmp_path / "ex").mkdir()
        (tmp_path / "ex" / "door.qvd").write_bytes(b"mine")
        with pytest.raises(FileExistsError):
            a.extractall(tmp_path / "ex")
        assert tree(tmp_path / "ex") == ["door.qvd"]
        for kwargs, error in (({"replace": {"none.qvd": b""}}, ValueError),
                              ({"scenario": scenario(b"PKERV 1.0", files=())}, ValueError),
                              ({"scenario": b"x", "scenario_text": "x"}, ValueError),
                              ({"replace": {"op.qvd": tmp_path / "missing"}}, FileNotFoundError)):
            with pytest.raises(error):
                a.update(**kwargs)
        with pytest.raises(UnicodeEncodeError) as raised:
            a.update(scenario_text="\ufeffKERV 1.2\nab😀\n")
        assert (raised.value.encoding, raised.value.start, raised.value.end) == ("cp932", 12, 13)
    assert example.read_bytes() == before
    assert sorted(os.listdir(example.parent)) == sorted(os.listdir(EXAMPLES) + ["story.krv"])

    (tmp_path / "c").mkdir()
    (tmp_path / "c" / "s.ker").write_bytes(scenario(files=(b"here.qvd", b"gone.qvd")))
    (tmp_path / "c" / "here.qvd").write_bytes(b"h")
    with pytest.raises(FileNotFoundError, match="gone.qvd"):
        kerv.pack(tmp_path / "c" / "s.ker")
    assert tree(tmp_path / "c") == ["here.qvd", "s.ker"]
    (tmp_path / "c" / "gone.qvd").write_bytes(b"g")
    assert kerv.pack(os.fsencode(tmp_path / "c" / "s.ker"), folder=str(tmp_path / "c")) == str(tmp_path / "c" / "s.krv")
    with pytest.raises(FileExistsError):
        kerv.pack(tmp_path / "c" / "s.ker")
    (tmp_path / "c" / "x.ker").write_bytes(b"not a scenario")
    with pytest.raises(ValueError):
        kerv.pack(tmp_path / "c" / "x.ker")


def test_writes_release_the_gil(tmp_path):
    size = 256 << 20
    (tmp_path / "s.ker").write_bytes(scenario(files=(b"big.qvd",)))
    with open(tmp_path / "big.qvd", "wb") as f:
        f.truncate(size)  # sparse: nothing to write first
    done = []
    longest, took = longest_pause(threading.Thread(target=lambda: done.append(kerv.pack(tmp_path / "s.ker"))))
    assert done == [str(tmp_path / "s.krv")]
    assert longest < took / 2, f"this thread waited {longest:.3f} s of {took:.3f} s"


def test_paths_are_whole_or_refused(tmp_path, example):
    (tmp_path / "real.krv").write_bytes(example.read_bytes())
    calls = (lambda: kerv.Archive(str(tmp_path / "real.krv") + "\0.txt"),
             lambda: kerv.pack(str(tmp_path / "s.ker\0x")),
             lambda: kerv.Archive(example).update(str(tmp_path / "out.krv\0x")),
             lambda: kerv.Archive(example).extractall(str(tmp_path / "out\0x")))
    for call in calls:
        with pytest.raises(ValueError, match="embedded null byte"):
            call()
    assert sorted(os.listdir(tmp_path)) == ["real.krv", "src"]


def test_writes_go_to_the_file_that_was_opened(tmp_path, example, monkeypatch):
    for folder in ("one", "two"):
        (tmp_path / folder).mkdir()
        (tmp_path / folder / "s.krv").write_bytes(example.read_bytes())
    monkeypatch.chdir(tmp_path / "one")
    with kerv.Archive("s.krv") as a:
        monkeypatch.chdir(tmp_path / "two")
        assert a.update(replace={"door.qvd": b"new"}) == "s.krv"
    assert kerv.Archive(tmp_path / "one" / "s.krv")["door.qvd"] == b"new"
    assert (tmp_path / "two" / "s.krv").read_bytes() == example.read_bytes()
    # Another program puts an archive of the same size in its place: extraction reads the one opened.
    with kerv.Archive(tmp_path / "one" / "s.krv") as a:
        other = bytearray((tmp_path / "one" / "s.krv").read_bytes())
        other[-703:-700] = b"XYZ"
        (tmp_path / "swap.krv").write_bytes(bytes(other))
        os.replace(tmp_path / "swap.krv", tmp_path / "one" / "s.krv")
        a.extractall(tmp_path / "out")
        with pytest.raises(OSError, match="holds another file now"):
            a.update(replace={"door.qvd": b"mine"})
    assert (tmp_path / "out" / "door.qvd").read_bytes() == b"new"
    assert (tmp_path / "one" / "s.krv").read_bytes() == bytes(other)


def test_an_update_in_place_keeps_the_file(tmp_path, example):
    os.chmod(example, 0o600)
    before = example.stat()
    with kerv.Archive(example) as a:
        with pytest.warns(UserWarning, match="nothing to change; the archive is left as it is"):
            a.update()
    assert example.stat().st_ino == before.st_ino and example.stat().st_mtime_ns == before.st_mtime_ns
    os.chmod(example, 0o444)
    with kerv.Archive(example) as a:
        with pytest.raises(PermissionError, match="the archive is read-only"):
            a.update(replace={"door.qvd": b"x"})
        a.update(replace={"door.qvd": b"x"}, overwrite=True)
    assert oct(example.stat().st_mode & 0o777) == "0o444"
    os.chmod(example, 0o644)
    shorter = scenario(files=(b"op.qvd",))
    with kerv.Archive(example) as a:
        with pytest.warns(UserWarning) as warned:
            a.update(scenario=b"KERV 1.2 30.5\r\n" + shorter[shorter.index(b"title"):].replace(b"op.qvd", b"door.qvd"))
    assert [str(w.message) for w in warned] == [
        "op.qvd (1536 bytes) is no longer listed and is left out", f"{SEA} (2048 bytes) is no longer listed and is "
        "left out", "title.zpt (0 bytes) is no longer listed and is left out"]
    with pytest.raises(ValueError, match="ends in LF alone"):
        kerv.Archive(example).update(scenario=b"KERV 1.2 30.5\ntitle\n.\na.qvd\n.\n.\n")


def test_one_update_at_a_time(tmp_path, example):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    kerv_command = os.path.join(os.environ["KERV_BIN"], "kerv")
    first = subprocess.Popen([kerv_command, "update", str(example), f"op.qvd={fifo}"])
    try:
        with open(fifo, "wb") as pipe:
            with kerv.Archive(example) as a:
                deadline = time.monotonic() + 10
                while True:
                    try:
                        a.update(replace={"door.qvd": b"late"})
                    except BlockingIOError as e:
                        assert "another update of this archive is running" in str(e)
                        break
                    assert time.monotonic() < deadline, "the second update was not refused"
                    time.sleep(0.01)
            pipe.write(b"first")
    finally:
        assert first.wait(30) == 0
    with kerv.Archive(example) as a:
        assert (a["op.qvd"], a["door.qvd"]) == (b"first", (tmp_path / "src" / "door.qvd").read_bytes())


def test_nothing_is_written_over_what_is_read(tmp_path):
    (tmp_path / "u.krv").write_bytes(archive(scenario(files=(b"u.krv", b"a.qvd")), [b"evil", b"a"]))
    before = (tmp_path / "u.krv").read_bytes()
    with kerv.Archive(tmp_path / "u.krv") as a:
        with pytest.raises(ValueError, match="not written over: it is the archive being read"):
            a.extractall(tmp_path, overwrite=True)
    assert (tmp_path / "u.krv").read_bytes() == before
    (tmp_path / "s.ker").write_bytes(scenario(files=(b"a.qvd",)))
    (tmp_path / "a.qvd").write_bytes(b"a")
    for target in ("s.ker", "a.qvd"):
        with pytest.raises(ValueError, match="not written over"):
            kerv.pack(tmp_path / "s.ker", tmp_path / target, overwrite=True)
    assert (tmp_path / "s.ker").read_bytes() == scenario(files=(b"a.qvd",))
    (tmp_path / "s.ker").write_bytes(scenario(files=(b"../outside.qvd", b"a.qvd")))
    with pytest.raises(ValueError, match=r"\.\./outside\.qvd: not packed: '\.\.' leads outside the folder"):
        kerv.pack(tmp_path / "s.ker")


def test_an_interrupt_stops_an_update_before_it_is_named_or_not_at_all(tmp_path):
    """SIGINT while Archive.update writes (a thread sends it once the new
    file is open): the archive is as it was and KeyboardInterrupt raised;
    an update the signal missed stands and returns."""
    script = (
        "import os, signal, sys, threading, time, kerv\n"
        "path, data = sys.argv[1], sys.argv[2]\n"
        "folder = os.path.dirname(os.path.realpath(path))\n"
        "def interrupt():\n"
        "    while not done.is_set():\n"
        "        for fd in os.listdir('/proc/self/fd'):\n"
        "            try:\n"
        "                target = os.readlink('/proc/self/fd/' + fd)\n"
        "            except OSError:\n"
        "                continue\n"
        "            if target.startswith(folder + '/') and ('(deleted)' in target or '.kerv-' in target):\n"
        "                os.kill(os.getpid(), signal.SIGINT)\n"
        "                return\n"
        "        time.sleep(0.0005)\n"
        "done = threading.Event()\n"
        "before = open(path, 'rb').read()\n"
        "a = kerv.Archive(path)\n"
        "returned = False\n"
        "try:\n"
        "    threading.Thread(target=interrupt, daemon=True).start()\n"
        "    a.update(replace={'b.qvd': data})\n"
        "    returned = True\n"
        "    done.set()\n"
        "    time.sleep(0.5)  # a signal sent meanwhile arrives here\n"
        "except KeyboardInterrupt:\n"
        "    pass\n"
        "after = open(path, 'rb').read()\n"
        "print('returned' if returned else 'raised', 'changed' if after != before else 'unchanged')\n")
    names = (b"a.qvd", b"b.qvd")
    for _ in range(3):
        (tmp_path / "s.krv").write_bytes(archive(scenario(files=names), [b"a" * (1 << 24), b"b"]))
        (tmp_path / "big").write_bytes(os.urandom(1 << 26))
        r = subprocess.run([sys.executable, "-c", script, str(tmp_path / "s.krv"), str(tmp_path / "big")],
                           capture_output=True, text=True, timeout=120)
        assert r.stdout.split() in (["returned", "changed"], ["raised", "unchanged"]), (r.stdout, r.stderr)
        assert [n for n in os.listdir(tmp_path) if ".kerv-" in n] == []


def test_extractall_names_each_entry_it_leaves_out(tmp_path):
    # The two codes of U+2160 decode to one name; a name listed twice with other bytes.
    one, other = b"\x87\x54.qvd", b"\xfa\x4a.qvd"
    names = (one, other, b"a.qvd", b"a.qvd", b"b.qvd")
    (tmp_path / "s.krv").write_bytes(archive(scenario(files=names), [b"1", b"2", b"first", b"second", b"b"]))
    with kerv.Archive(tmp_path / "s.krv") as a:
        with pytest.raises(ValueError) as raised:
            a.extractall(tmp_path / "out")
    message = str(raised.value)
    assert "Ⅰ.qvd: listed again (data block 2) with other bytes" in message
    assert "a.qvd: listed again (data block 4) with other bytes" in message
    assert sorted(os.listdir(tmp_path / "out")) == ["a.qvd", "b.qvd", "s.ker", "Ⅰ.qvd"]
    assert (tmp_path / "out" / "a.qvd").read_bytes() == b"first"


def test_warnings_point_at_the_callers_line_and_messages_read_well(tmp_path, example):
    with kerv.Archive(example) as a:
        with pytest.warns(UserWarning, match="nothing to change") as caught:
            a.update(replace={"door.qvd": a["door.qvd"]})  # the same bytes
        assert caught[0].filename == __file__
        lf = a.scenario_text.replace("\r\n", "\n", 3).encode("cp932")
        with pytest.raises(ValueError, match=r"^the new scenario: line 1 ends in LF alone"):
            a.update(scenario=lf)


def test_strings_out_and_back_as_the_command_does(tmp_path, example):
    with kerv.Archive(example) as a:
        lines = a.strings()
        assert (3, "潮騒の聞こえる町で") in lines and all(isinstance(n, int) for n, _ in lines)
        po = a.strings(format="po")
        made = subprocess.run([os.path.join(os.environ["KERV_BIN"], "kerv"), "strings", str(example)],
                              capture_output=True, check=True).stdout.decode()
        assert po == made
        assert a.strings(format="csv").startswith("line,source,translation\r\n")
        (tmp_path / "t.po").write_text(po.replace('msgid "潮騒の聞こえる町で"\nmsgstr ""',
                                                   'msgid "潮騒の聞こえる町で"\nmsgstr "A town by the sea"'),
                                       encoding="utf-8")
        a.update(tmp_path / "t.krv", strings=tmp_path / "t.po")
        (tmp_path / "bad.po").write_text(po.replace('msgid "潮騒の聞こえる町で"\nmsgstr ""',
                                                     'msgid "潮騒の聞こえる町で"\nmsgstr "♥ ☃"'), encoding="utf-8")
        with pytest.raises(ValueError, match=r"bad\.po:\d+:9: U\+2665 '♥' .*; .*bad\.po:\d+:11: U\+2603 '☃'"):
            a.update(tmp_path / "u.krv", strings=tmp_path / "bad.po")
        assert not (tmp_path / "u.krv").exists()
        with pytest.raises(UnicodeEncodeError, match=r"3:1: U\+2665 .*; 4:1: U\+2603"):
            a.update(tmp_path / "u.krv", scenario_text=a.scenario_text.replace("潮", "♥").replace("\n.15", "\n☃.15"))
    with kerv.Archive(tmp_path / "t.krv") as t:
        assert t.scenario_text.splitlines()[2] == "A town by the sea"
