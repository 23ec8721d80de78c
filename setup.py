# Builds the Python module vesk (python/) for pip: the native part vesk._vesk
# is compiled from the library's sources directly (no CMake), with the
# floating-point options the interval code needs. See README.md, "Python".
import glob
import os
import platform

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

HERE = os.path.dirname(os.path.abspath(__file__))
os.chdir(HERE)

with open("VERSION", encoding="utf-8") as f:
    VERSION = f.readline().strip()
MAJOR, MINOR, PATCH = (VERSION.split(".") + ["0", "0"])[:3]

# vesk/version.h, as CMake makes it from cmake/version.h.in.
GENERATED = os.path.join("build", "pip", "generated")
os.makedirs(os.path.join(GENERATED, "vesk"), exist_ok=True)
with open(os.path.join("cmake", "version.h.in"), encoding="utf-8") as f:
    header = f.read()
for key, value in (("PROJECT_VERSION", VERSION), ("PROJECT_VERSION_MAJOR", MAJOR),
                   ("PROJECT_VERSION_MINOR", MINOR), ("PROJECT_VERSION_PATCH", PATCH)):
    header = header.replace("@%s@" % key, value)
path = os.path.join(GENERATED, "vesk", "version.h")
if not os.path.exists(path) or open(path, encoding="utf-8").read() != header:
    with open(path, "w", encoding="utf-8") as f:
        f.write(header)

sources = ["python/src/vesk_module.cpp"]
for folder in ("tree", "io", "map", "analysis"):
    sources += sorted(glob.glob(folder + "/*.cpp"))
sources += sorted(glob.glob("gateway/driver*.cpp"))
sources += ["cli/params.cpp", "cli/files.cpp", "cli/sha256.cpp", "cli/report.cpp",
            "sweep/cells.cpp", "sweep/run.cpp", "sweep/mpi.cpp"]

# The interval code relies on the rounding direction set at run time: no
# folding, reordering or contraction of floating-point operations, and no
# wider format.
flags = ["-Wall", "-Wextra", "-Wno-psabi", "-frounding-math", "-fno-fast-math", "-ffp-contract=off"]
if platform.machine() in ("x86_64", "i386", "i686", "AMD64"):
    flags += ["-msse2", "-mfpmath=sse"]

ParallelCompile("VESK_BUILD_JOBS", default=2).install()

setup(
    name="vesk",
    version=VERSION,
    description="Computer-assisted proofs of hyperbolicity for the Henon map",
    license="see LICENSE",
    package_dir={"": "python"},
    packages=["vesk"],
    ext_modules=[Pybind11Extension("vesk._vesk", sources, cxx_std=20,
                                   include_dirs=[HERE, os.path.join(HERE, GENERATED)],
                                   extra_compile_args=flags, extra_link_args=["-pthread"])],
    cmdclass={"build_ext": build_ext},
    options={"build": {"build_base": os.path.join("build", "pip")},
             "egg_info": {"egg_base": os.path.join("build", "pip")}},
    python_requires=">=3.9",
    install_requires=["numpy"],
    zip_safe=False,
)
