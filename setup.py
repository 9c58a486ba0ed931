"""Builds marrowick._core with the project's CMake build (pybind11 and NumPy
from the system) and puts it into the package; nothing is downloaded."""

import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))
# setuptools' own build files stay out of the CMake build directory "build".
BUILD_BASE = os.path.join(ROOT, "build-python")
os.makedirs(BUILD_BASE, exist_ok=True)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                        "-DMARROWICK_TESTS=OFF", "-DMARROWICK_BENCH=OFF",
                        "-DPython_EXECUTABLE=" + sys.executable], check=True)
        subprocess.run(["cmake", "--build", build_dir, "-j2", "--target", "marrowick_python"], check=True)
        built = os.path.join(build_dir, "python", "marrowick", os.path.basename(self.get_ext_filename(ext.name)))
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built, target)


setup(ext_modules=[Extension("marrowick._core", sources=[])], cmdclass={"build_ext": CMakeBuild},
      options={"build": {"build_base": BUILD_BASE}, "egg_info": {"egg_base": BUILD_BASE}})
