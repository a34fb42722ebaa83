"""The README's Python examples type-check under mypy --strict against the
package's stub, so that the idioms it teaches are the ones the types allow."""
import os
import re
import subprocess
import sys

import pytest

import kerv

SOURCE = os.environ.get("KERV_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))


def readme_python_examples():
    """Each indented block of the README that is Python (it uses the package), as a module of its own."""
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
        text = f.read()
    blocks = re.findall(r"(?:^ {4}.*\n)+", text, re.MULTILINE)
    starts = re.compile(r"(import kerv|with kerv\.|kerv\.\w+\(|\w+ = kerv\.)")
    return [re.sub(r"^ {4}", "", b, flags=re.MULTILINE) for b in blocks if starts.match(b.lstrip())]


def mypy_command():
    """A Python with mypy: this one, else the system's (Debian's python3-mypy)."""
    for python in (sys.executable, "/usr/bin/python3"):
        if os.path.exists(python) and subprocess.run([python, "-c", "import mypy"], capture_output=True).returncode == 0:
            return [python, "-m", "mypy"]
    pytest.skip("mypy is not installed (apt-get install python3-mypy)")


def test_the_readme_examples_type_check(tmp_path):
    examples = readme_python_examples()
    assert len(examples) >= 4, "the README's Python examples were not found"
    files = []
    for i, block in enumerate(examples):
        path = tmp_path / f"example_{i}.py"
        path.write_text(("" if block.startswith("import kerv") else "import kerv\n") + block, encoding="utf-8")
        files.append(str(path))
    package_folder = os.path.dirname(os.path.dirname(kerv.__file__))
    run = subprocess.run([*mypy_command(), "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                          *files], capture_output=True, text=True, cwd=tmp_path,
                         env=dict(os.environ, PYTHONPATH=package_folder))
    assert run.returncode == 0, run.stdout + "".join(open(f, encoding="utf-8").read() for f in files)
