"""Builds the clsg Python package: CMake compiles the module clsg._clsg from
the repository's CMake project (one level up), setuptools installs it with the
package's Python files.

    pip install -v --no-build-isolation ./python

Only the library, the tiled runner and the file library are compiled with the
module: not the clsg program or its studio. With -v, pip shows CMake's
progress, one line per step.

CMAKE_ARGS (for example "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache") is passed on
to CMake; CLSG_BUILD_JOBS sets the build's parallelism (default: all cores).
"""

import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = Path(self.build_temp).resolve() / "cmake"
        # A build left by this tree in another place (the clone moved or was
        # renamed) cannot be reused: CMake refuses it. Begin afresh.
        cache = build_dir / "CMakeCache.txt"
        if cache.exists() and f"CMAKE_CACHEFILE_DIR:INTERNAL={build_dir}\n" not in cache.read_text(
                errors="replace"):
            shutil.rmtree(build_dir)
        configure = ["cmake", "-S", str(ROOT), "-B", str(build_dir),
                     "-DCMAKE_BUILD_TYPE=Release", "-DCLSG_BUILD_TESTS=OFF",
                     "-DCLSG_BUILD_BENCH=OFF", "-DCLSG_BUILD_APPS=OFF",
                     "-DCLSG_BUILD_PYTHON=ON",
                     f"-DPython_EXECUTABLE={sys.executable}"]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        configure += shlex.split(os.environ.get("CMAKE_ARGS", ""))
        subprocess.check_call(configure)
        jobs = os.environ.get("CLSG_BUILD_JOBS", str(os.cpu_count() or 1))
        subprocess.check_call(["cmake", "--build", str(build_dir), "--target", "_clsg",
                               "--parallel", jobs])
        built = next((build_dir / "python" / "clsg").glob("_clsg*"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(built, target)


setup(
    name="clsg",
    version="0.1.0",
    description="Teach colour classes by example, then segment RGB images",
    packages=["clsg"],
    package_dir={"clsg": "clsg"},
    package_data={"clsg": ["*.pyi", "py.typed"]},
    ext_modules=[CMakeExtension("clsg._clsg")],
    cmdclass={"build_ext": CMakeBuild},
    python_requires=">=3.9",
    install_requires=["numpy"],
    extras_require={"dask": ["dask", "distributed"]},
    zip_safe=False,
)
