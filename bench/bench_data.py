"""The data sets the benchmarks share: archives written directly (sparse or
not), and folders of a scenario with its data files."""
import os
import struct

MIB = 1 << 20


def scenario(names, title=b"bench"):
    """A KERV scenario whose file list holds `names` (bytes)."""
    return b"\r\n".join([b"KERV 1.0 30.0", title, b".", *names, b".", b"."]) + b"\r\n"


def write_archive(path, names, sizes, sparse, title=b"bench"):
    """Writes the archive of `names` with data blocks of `sizes`: holes
    where `sparse`, else the byte 'd'."""
    text = scenario(names, title)
    assert len(text) <= 65535
    with open(path, "wb") as f:
        f.write(b"KRV" + b"\0" * 5 + struct.pack("<H", len(text)) + text)
        for size in sizes:
            f.write(struct.pack("<i", size))
            if sparse:
                f.seek(size, os.SEEK_CUR)
            else:
                f.write(b"d" * size)
        f.truncate()


def write_folder(folder, count=4, mib=256):
    """Writes `count` data files of `mib` MiB of random bytes into `folder`
    and the scenario s.ker that lists them; returns their names."""
    names = [f"d{i}.qvd" for i in range(count)]
    chunk = os.urandom(MIB)
    for name in names:
        with open(os.path.join(folder, name), "wb") as f:
            for _ in range(mib):
                f.write(chunk)
    with open(os.path.join(folder, "s.ker"), "wb") as f:
        f.write(scenario([n.encode() for n in names]))
    return names
