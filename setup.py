"""Builds the native part of the quenvale package with the project's own
CMake build (the module's target alone), and takes the version from the
CMake project, where it is written once."""
import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as cmake:
        return re.search(r"project\(quenvale VERSION ([0-9.]+)", cmake.read()).group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, extension):
        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        target = os.path.abspath(os.path.dirname(self.get_ext_fullpath(extension.name)))
        options = [
            "-DCMAKE_BUILD_TYPE=Release",
            "-DBUILD_TESTING=OFF",
            "-DQUENVALE_PYTHON=ON",
            "-DQUENVALE_PICTURES=ON",
            "-DPython3_EXECUTABLE=" + sys.executable,
        ]
        try:
            import pybind11

            options.append("-Dpybind11_DIR=" + pybind11.get_cmake_dir())
        except ImportError:
            pass  # Debian's pybind11-dev is found by CMake itself
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        subprocess.run(["cmake", "-S", ROOT, "-B", build, *generator, *options], check=True)
        subprocess.run(["cmake", "--build", build, "--target", "quenvale_python", "--parallel"], check=True)
        built = os.path.join(build, "python", "quenvale")
        os.makedirs(target, exist_ok=True)
        for name in os.listdir(built):
            if name.startswith("_core.") and name.endswith((".so", ".pyd")):
                self.copy_file(os.path.join(built, name), os.path.join(target, name))


setup(
    version=project_version(),
    packages=["quenvale"],
    package_dir={"": "python"},
    package_data={"quenvale": ["__init__.pyi", "py.typed"]},
    ext_modules=[CMakeExtension("quenvale._core")],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)
