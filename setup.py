"""Build of the morvik Python package: the project's CMake builds
libmorvik.so and libmorvik_io.so, which go into the package beside the
ctypes bindings. The version is the CMake project version."""

import os
import re
import shutil
import subprocess
from pathlib import Path

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py
from wheel.bdist_wheel import bdist_wheel

ROOT = Path(__file__).resolve().parent
LIBRARIES = ("libmorvik.so", "libmorvik_io.so")


def project_version() -> str:
    text = (ROOT / "CMakeLists.txt").read_text()
    match = re.search(r"project\(\s*morvik\s+VERSION\s+([0-9][0-9.]*)", text)
    if match is None:
        raise RuntimeError("CMakeLists.txt: no 'project(morvik VERSION x.y.z' line")
    return match.group(1)


class BuildWithCMake(build_py):
    """Build the libraries with CMake (in build/python-cmake), then copy them
    and a _version.py into the package."""

    def run(self):
        super().run()
        build_dir = Path(os.environ.get("MORVIK_CMAKE_BUILD_DIR", ROOT / "build" / "python-cmake"))
        configure = ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
                     "-DMORVIK_BUILD_TOOLS=OFF", "-DMORVIK_BUILD_IO=ON"]
        if shutil.which("ninja") and not (build_dir / "CMakeCache.txt").exists():
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "morvik", "morvik_io", "-j", jobs],
                       check=True)
        package = Path(self.build_lib) / "morvik"
        package.mkdir(parents=True, exist_ok=True)
        for name in LIBRARIES:
            shutil.copy2(build_dir / name, package / name)
        (package / "_version.py").write_text(f'__version__ = "{project_version()}"\n')


class PlatformDistribution(Distribution):
    """Shared libraries make the package platform-specific (installed into
    platlib, wheel root not pure)."""

    def has_ext_modules(self):
        return True


class PlatformWheel(bdist_wheel):
    """No extension module, only libraries loaded through ctypes: one wheel
    per platform serves every Python 3."""

    def get_tag(self):
        _, _, platform = super().get_tag()
        return "py3", "none", platform


setup(version=project_version(), distclass=PlatformDistribution,
      cmdclass={"build_py": BuildWithCMake, "bdist_wheel": PlatformWheel})
