"""kerv.diff and kerv.apply_patch: the command's changes and bytes, and its refusals."""
import os
import shutil
import stat
import subprocess
import threading

import pytest

import kerv
from test_kerv import archive, example, longest_pause, scenario  # noqa: F401 (example is a fixture)

XDELTA3 = shutil.which("xdelta3")


def command(*args, cwd):
    return subprocess.run([os.path.join(os.environ["KERV_BIN"], "kerv"), *map(str, args)], cwd=cwd,
                          capture_output=True)


@pytest.fixture
def pair(example, tmp_path):
    """old.krv (the example) and new.krv (door.qvd and the scenario changed); returns the folder."""
    shutil.copy(example, tmp_path / "old.krv")
    with kerv.Archive(tmp_path / "old.krv") as a:
        a.update(tmp_path / "new.krv", replace={"door.qvd": b"a new door" * 80},
                 scenario=a.scenario.replace(b"\r\n.", b"\r\n; translated\r\n.", 1))
    return tmp_path


def test_diff_and_apply_patch_give_the_commands_bytes(pair):
    changes = kerv.diff(pair / "old.krv", pair / "new.krv", patch=pair / "py.vcdiff")
    printed = command("diff", "--patch", "cmd.vcdiff", "old.krv", "new.krv", cwd=pair)
    assert printed.returncode == 1
    assert "".join(f"{c}\n" for c in changes).encode() == printed.stdout
    assert [(c.kind, c.name, c.text, c.old_size, c.new_size) for c in changes][1:] == [
        ("changed", b"door.qvd", "door.qvd", 700, 800)]
    assert changes[0].kind == "scenario" and changes[0].name is None
    assert (pair / "py.vcdiff").read_bytes() == (pair / "cmd.vcdiff").read_bytes()
    assert kerv.diff(pair / "old.krv", pair / "old.krv") == []

    assert kerv.apply_patch(pair / "old.krv", pair / "py.vcdiff", pair / "out.krv") == str(pair / "out.krv")
    assert (pair / "out.krv").read_bytes() == (pair / "new.krv").read_bytes()
    if XDELTA3:  # xdelta3's own patch, as the command applies it
        subprocess.run([XDELTA3, "-e", "-S", "none", "-s", "old.krv", "new.krv", "x.vcdiff"], cwd=pair, check=True)
        kerv.apply_patch(pair / "old.krv", pair / "x.vcdiff", pair / "x.krv")
        assert (pair / "x.krv").read_bytes() == (pair / "new.krv").read_bytes()

    # In place, as an update: the file's bits kept; then it is patched already.
    os.chmod(pair / "old.krv", 0o640)
    assert kerv.apply_patch(pair / "old.krv", pair / "py.vcdiff") == str(pair / "old.krv")
    assert (pair / "old.krv").read_bytes() == (pair / "new.krv").read_bytes()
    assert stat.S_IMODE(os.stat(pair / "old.krv").st_mode) == 0o640
    with pytest.raises(ValueError, match="old.krv is already patched"):
        kerv.apply_patch(pair / "old.krv", pair / "py.vcdiff")


def test_refusals_write_nothing(pair):
    kerv.diff(pair / "old.krv", pair / "new.krv", patch=pair / "p.vcdiff")
    patch = (pair / "p.vcdiff").read_bytes()
    (pair / "cut.vcdiff").write_bytes(patch[:-3])
    (pair / "short.krv").write_bytes((pair / "old.krv").read_bytes()[:-1])
    size = os.path.getsize(pair / "old.krv")
    (pair / "p.krv").write_bytes(archive(scenario(magic=b"PKERV 1.2 30.5"), [b"", b""], magic=b"PKV"))
    cases = [
        (lambda: kerv.apply_patch(pair / "short.krv", pair / "p.vcdiff", pair / "o.krv"), ValueError,
         f"short.krv is not the archive this patch was made from ({size:,} bytes expected, {size - 1:,} found)"),
        (lambda: kerv.apply_patch(pair / "new.krv", pair / "p.vcdiff", pair / "o.krv"), ValueError,
         "new.krv is already patched"),
        (lambda: kerv.apply_patch(pair / "old.krv", pair / "cut.vcdiff", pair / "o.krv"), ValueError,
         "cut.vcdiff: window 0"),
        (lambda: kerv.apply_patch(pair / "old.krv", pair / "old.krv", pair / "o.krv"), ValueError,
         "not a VCDIFF patch"),
        (lambda: kerv.apply_patch(pair / "old.krv", pair / "none.vcdiff", pair / "o.krv"), FileNotFoundError,
         "none.vcdiff"),
        (lambda: kerv.apply_patch(pair / "old.krv", pair / "p.vcdiff", pair / "new.krv"), FileExistsError, "new.krv"),
        (lambda: kerv.diff(pair / "old.krv", pair / "new.krv", patch=pair / "p.vcdiff"), FileExistsError, "p.vcdiff"),
        (lambda: kerv.diff(pair / "old.krv", pair / "new.krv", patch=pair / "new.krv", overwrite=True), ValueError,
         "it is the new archive"),
        (lambda: kerv.diff(pair / "old.krv", pair / "p.krv"), ValueError, "KERV"),
        (lambda: kerv.diff(pair / "old.krv", pair / "p.vcdiff"), kerv.ArchiveError, "p.vcdiff"),
    ]
    for call, error, message in cases:
        before = sorted(os.listdir(pair))
        with pytest.raises(error) as raised:
            call()
        assert message in str(raised.value)
        assert sorted(os.listdir(pair)) == before, message


def test_patches_release_the_gil(tmp_path):
    size = 256 << 20
    text = scenario(files=(b"big.qvd",))
    for name in ("old.krv", "new.krv"):
        with open(tmp_path / name, "wb") as f:
            f.write(archive(text, [b""])[:-4] + size.to_bytes(4, "little"))
            f.truncate(f.tell() + size)  # sparse
    done = []
    worker = threading.Thread(target=lambda: done.append(
        kerv.diff(tmp_path / "old.krv", tmp_path / "new.krv", patch=tmp_path / "p.vcdiff")))
    longest, took = longest_pause(worker)
    assert done == [[]]
    assert longest < took / 2, f"this thread waited {longest:.3f} s of {took:.3f} s"
    worker = threading.Thread(target=lambda: done.append(
        kerv.apply_patch(tmp_path / "old.krv", tmp_path / "p.vcdiff", tmp_path / "out.krv")))
    longest, took = longest_pause(worker)
    assert (done[-1], os.path.getsize(tmp_path / "out.krv")) == (str(tmp_path / "out.krv"), os.path.getsize(
        tmp_path / "new.krv"))
    assert longest < took / 2, f"this thread waited {longest:.3f} s of {took:.3f} s"


def test_a_patch_is_applied_whole_or_not_at_all(pair):
    kerv.diff(pair / "old.krv", pair / "new.krv", patch=pair / "p.vcdiff")
    patch = (pair / "p.vcdiff").read_bytes()
    (pair / "cut.vcdiff").write_bytes(patch[:-40])
    old = (pair / "old.krv").read_bytes()
    for out in (None, pair / "o.krv"):
        with pytest.raises(ValueError, match="cut short or damaged|window"):
            kerv.apply_patch(pair / "old.krv", pair / "cut.vcdiff", out)
        assert (pair / "old.krv").read_bytes() == old and not (pair / "o.krv").exists()
    # The same in lzma sections; the original kept aside; nothing to change.
    if XDELTA3:
        kerv.diff(pair / "old.krv", pair / "new.krv", patch=pair / "z.vcdiff", compress="lzma")
        subprocess.run([XDELTA3, "-d", "-s", pair / "old.krv", pair / "z.vcdiff", pair / "x.krv"], check=True)
        assert (pair / "x.krv").read_bytes() == (pair / "new.krv").read_bytes()
    shutil.copy(pair / "old.krv", pair / "v.krv")
    assert kerv.apply_patch(pair / "v.krv", pair / "p.vcdiff", backup=True) == str(pair / "v.krv")
    assert (pair / "v.krv.orig").read_bytes() == old
    assert (pair / "v.krv").read_bytes() == (pair / "new.krv").read_bytes()
    kerv.diff(pair / "new.krv", pair / "new.krv", patch=pair / "same.vcdiff")
    before = os.stat(pair / "v.krv").st_ino
    with pytest.warns(UserWarning, match="nothing to change"):
        kerv.apply_patch(pair / "v.krv", pair / "same.vcdiff")
    assert os.stat(pair / "v.krv").st_ino == before


def test_a_patcher_page_as_the_command_writes_it(pair, monkeypatch):
    template = os.path.join(os.environ["KERV_BIN"], "web-page", "web", "kerv-patcher.html")
    if not os.path.exists(template):
        pytest.skip("the web pages are not built (emscripten)")
    monkeypatch.setenv("KERV_PATCHER_PAGE", template)
    note = "</script><b>a note</b>"
    kerv.diff(pair / "old.krv", pair / "new.krv", page=pair / "py.html", title="A mod", note=note)
    made = command("diff", "--page", "cmd.html", "--title", "A mod", "--note", note, "old.krv", "new.krv", cwd=pair)
    assert made.returncode == 1, made.stderr
    page = (pair / "py.html").read_bytes()
    assert page == (pair / "cmd.html").read_bytes()
    assert b"</script><b>" not in page and b"\\u003c/script\\u003e\\u003cb\\u003ea note" in page
    with pytest.raises(FileExistsError):
        kerv.diff(pair / "old.krv", pair / "new.krv", page=pair / "py.html")
    with pytest.raises(ValueError, match="give page"):
        kerv.diff(pair / "old.krv", pair / "new.krv", note="a note")
