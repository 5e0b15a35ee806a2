"""Builds maxent_decoder._core from the engine sources of this repository.

Everything the build writes goes under the repository's build/python folder,
none of it into this source folder. MAXENT_BUILD_JOBS sets the number of
parallel compiler runs (default: one per core).
"""

import os
import re
from pathlib import Path

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
OUT = ROOT / "build" / "python"
OUT.mkdir(parents=True, exist_ok=True)

# The engine's libraries, as the CMake build gathers them.
ENGINE = (sorted(ROOT.glob("src/util/*.cpp")) + sorted(ROOT.glob("src/zanda/*.cpp"))
          + sorted(ROOT.glob("dst/*.cpp"))
          + [ROOT / "api" / name for name in (
              "loadfeats.cpp", "ngram_index.cpp", "work_share.cpp", "engine.cpp")])
# Any change of a header rebuilds the extension too.
HEADERS = [path for folder in ("src/util", "src/zanda", "dst", "api", "api/include/maxent")
           for path in sorted(ROOT.glob(folder + "/*.h"))]
VERSION = re.search(r"project\(\w+ VERSION ([\d.]+)", (ROOT / "CMakeLists.txt").read_text())[1]

ParallelCompile("MAXENT_BUILD_JOBS", default=0).install()

core = Pybind11Extension(
    "maxent_decoder._core",
    # setuptools takes source paths relative to this folder only.
    ["_core.cpp"] + [os.path.relpath(path, HERE) for path in ENGINE],
    include_dirs=[str(ROOT / d) for d in ("api/include", "api", "src/util", "src/zanda", "dst")],
    depends=[os.path.relpath(path, HERE) for path in HEADERS],
    libraries=["z"],
    cxx_std=17,
    # The optimisation of the command line's Release build.
    extra_compile_args=["-O3"],
)

setup(
    version=VERSION,
    ext_modules=[core],
    cmdclass={"build_ext": build_ext},
    # Objects of ../src/x.cpp go to obj/src/x.o, those of this folder to obj/python.
    options={"build": {"build_base": str(OUT), "build_temp": str(OUT / "obj" / "python")},
             "egg_info": {"egg_base": str(OUT)}},
)
