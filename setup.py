"""Builds the native library with CMake while setuptools builds the package,
and puts libgauss2_fitter.so inside it (see pyproject.toml)."""

import os
import shutil
import subprocess
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

ROOT = Path(__file__).resolve().parent


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        build = Path(self.get_finalized_command("build").build_temp) / "cmake"
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                        "-DGAUSS2_BUILD_TESTS=OFF", "-DGAUSS2_BUILD_BENCH=OFF"], check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "gauss2_fitter", "-j", jobs], check=True)
        target = Path(self.build_lib) / "gauss2_fitter" / "libgauss2_fitter.so"
        shutil.copyfile((build / "libgauss2_fitter.so").resolve(), target)  # the file, not the symlink


class PlatformDistribution(Distribution):
    """The package carries a native library: its wheel is for this platform."""

    def has_ext_modules(self):
        return True


setup(cmdclass={"build_py": BuildWithLibrary}, distclass=PlatformDistribution)
