"""Builds marrowick._core with the project's CMake build (pybind11 and NumPy
from the system) and puts it into the package with the C library it links,
libmarrowick.so.0, found beside it through the extension's $ORIGIN rpath;
nothing is downloaded.

The CMake build folder is build-pip, beside the README's build: configured
with the same compile flags, so that ccache (cmake/ccache.cmake) gives back
that build's objects. `pip install -v` shows CMake's progress.
"""

import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))
# setuptools' own build files stay out of the CMake build folders.
BUILD_BASE = os.path.join(ROOT, "build-python")
CMAKE_BUILD = os.path.join(ROOT, "build-pip")
os.makedirs(BUILD_BASE, exist_ok=True)


def run(cmd):
    print("marrowick: " + " ".join(cmd), flush=True)
    subprocess.run(cmd, check=True)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        run(["cmake", "-S", ROOT, "-B", CMAKE_BUILD, "-DCMAKE_BUILD_TYPE=Release",
             "-DMARROWICK_TESTS=OFF", "-DMARROWICK_BENCH=OFF", "-DMARROWICK_WHEEL=ON",
             "-DMARROWICK_PYTHON_INSTALL_DIR=.", "-DPython_EXECUTABLE=" + sys.executable])
        run(["cmake", "--build", CMAKE_BUILD, "-j", str(os.cpu_count() or 2), "--target", "marrowick_python"])
        # The package's modules, the extension (rpath $ORIGIN) and
        # libmarrowick.so.0, stripped, into the wheel's tree.
        lib = os.path.abspath(self.build_lib)
        run(["cmake", "--install", CMAKE_BUILD, "--component", "Python", "--prefix", lib, "--strip"])
        built = os.path.join(lib, "marrowick", os.path.basename(self.get_ext_filename(ext.name)))
        target = self.get_ext_fullpath(ext.name)
        if os.path.abspath(target) != built:  # an in-place build
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(built, target)


setup(ext_modules=[Extension("marrowick._core", sources=[])], cmdclass={"build_ext": CMakeBuild},
      options={"build": {"build_base": BUILD_BASE}, "egg_info": {"egg_base": BUILD_BASE}})
