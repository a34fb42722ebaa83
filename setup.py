"""Builds the extension kerv._kerv through the project's CMake, for pip.

The version is the one CMakeLists.txt's project() gives; the build's
kerv/_version.py, written from it, goes into the package with the extension.
"""

import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))


def project_version():
    with open(os.path.join(HERE, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(kerv VERSION ([0-9.]+)", f.read()).group(1)


class CMakeBuild(build_ext):
    """Configures and builds the target kerv_python; copies what it made into the package."""

    def build_extension(self, ext):
        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        configure = ["cmake", "-S", HERE, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF",
                     "-DKERV_PYTHON=ON", f"-DPython3_EXECUTABLE={sys.executable}"]
        subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build, "--target", "kerv_python", "-j", str(os.cpu_count() or 2)],
                       check=True)
        made = os.path.join(build, "python", "kerv")
        target = os.path.dirname(os.path.abspath(self.get_ext_fullpath(ext.name)))
        os.makedirs(target, exist_ok=True)
        shutil.copy2(os.path.join(made, os.path.basename(self.get_ext_filename(ext.name))), target)
        shutil.copy2(os.path.join(made, "_version.py"), target)


# Built in a folder of its own, apart from the README's build/.
setup(version=project_version(), ext_modules=[Extension("kerv._kerv", sources=[])],
      cmdclass={"build_ext": CMakeBuild}, options={"build": {"build_base": "build-python-package"}})
