"""Builds the compiled part of the qova package with the project's CMake (for
the Python running this), and lays the chromaticity table beside it."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.build_py import build_py

ROOT = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = Path(self.build_temp).resolve() / "cmake"
        subprocess.check_call(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                               "-DQOVA_PYTHON=ON", "-DQOVA_BUILD_TESTS=OFF", "-DQOVA_BUILD_BENCH=OFF",
                               f"-DPYTHON_EXECUTABLE={sys.executable}"])
        subprocess.check_call(["cmake", "--build", str(build), "--target", "_qova", "-j", str(os.cpu_count() or 1)])
        built = next((build / "python" / "qova").glob("_qova*.so"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(built, target)


class WithTable(build_py):
    def run(self):
        super().run()
        shutil.copy(ROOT / "data" / "cie_table.txt", Path(self.build_lib) / "qova" / "cie_table.txt")


setup(ext_modules=[Extension("qova._qova", sources=[])], cmdclass={"build_ext": CMakeBuild, "build_py": WithTable},
      options={"build": {"build_base": "build-pip"}, "egg_info": {"egg_base": "build-pip"}})
