"""The machine and the modules at hand: which kernel modules import, the
processor and its features, the SIMD path the kernels take on it, and the
versions of the libraries they are compared with."""

from __future__ import annotations

import importlib
import importlib.metadata
import platform
from collections.abc import Callable

import numpy as np

MODULES = {
    "_tarsine": ("pairwise_squared_euclidean", "pairwise_distances", "pairwise_manhattan_distances"),
    "_plenvo": ("im2col", "col2im", "maxpool_forward", "maxpool_backward"),
    "_vellard": ("_best_split_classifier", "_best_split_regressor"),
    "_ostrim": ("KDTree", "KDTree.query"),
}
FUNCTIONS = tuple(f for names in MODULES.values() for f in names)

CPU_FLAGS = ("sse2", "sse4_2", "avx", "avx2", "fma", "avx512f", "avx512dq", "avx512bw", "avx512vl")


def load_modules(importer: Callable[[str], object] = importlib.import_module) -> tuple[dict, dict]:
    """(modules that import, {name: error text} for those that do not)."""
    mods, errors = {}, {}
    for name in MODULES:
        try:
            mods[name] = importer("kelpwise.accel." + name)
        except Exception as e:  # ImportError, or anything a broken build raises
            errors[name] = f"{type(e).__name__}: {e}"
    return mods, errors


def read_cpuinfo(cpuinfo: str = "/proc/cpuinfo") -> tuple[str, set[str]]:
    """(model name, feature flags) of the first processor listed."""
    flags: set[str] = set()
    model = platform.machine()
    try:
        with open(cpuinfo) as fh:
            for line in fh:
                key, _, value = line.partition(":")
                key = key.strip()
                if key == "flags" and not flags:
                    flags = set(value.split())
                elif key == "model name" and model == platform.machine():
                    model = value.strip()
    except OSError:
        pass
    return model, flags


def build_cap() -> int:
    """The cap on the SIMD width the modules were built with (CMake
    -DKW_SIMD_WIDTH=4 or =2), as the build records it; 0 for no cap or a build
    that records none."""
    try:
        return int(importlib.import_module(__package__ + "._build").SIMD_WIDTH_CAP)
    except (ImportError, AttributeError, TypeError, ValueError):
        return 0


def native_path() -> tuple[str, int]:
    """(name, width in doubles) of the vector path the kernels take here, as
    the native dispatch decides it (under the build's cap); ("unknown", 0)
    when the native modules do not import."""
    try:
        name, width = importlib.import_module(__package__ + "._parallel").simd_path()
        return str(name), int(width)
    except Exception:
        return "unknown", 0


def dispatched_paths(name: str, width: int) -> dict:
    """What each module does on the path of this name and width."""
    return {
        "_tarsine": f"{name} ({width} lanes), one pair per lane"
        + (", the sums over 4 where the processor runs 512-bit operations in halves (Zen 4)" if width == 8 else "")
        + ("; half the additions on the multiply-add units" if name in ("AVX-512", "AVX2") else "")
        + "; root: sqrt where it provably equals glibc's pow, else pow",
        "_plenvo": f"max pooling {name}, {width} channels per step, 2x2 to 5x5 windows unrolled; patches: block copies",
        "_vellard": "scalar sweep over values gathered in sorted order (NumPy argsort per column)",
        "_ostrim": (f"build: its sorts compare {width} keys per vector ({name})" if width >= 4 else "build scalar")
        + f"; query: buckets of up to 32 rows scored {width} rows per vector ({name}), "
        "a direct search when the k nearest are unique, else the heap descent (cell-bound pruning)",
    }


def machine_info(mods: dict, cpuinfo: str = "/proc/cpuinfo") -> dict:
    model, flags = read_cpuinfo(cpuinfo)
    cap = build_cap()
    path, width = native_path()
    peers = {}
    for name, dist in (
        ("scipy", "scipy"),
        ("sklearn", "scikit-learn"),
        ("torch", "torch"),
        ("threadpoolctl", "threadpoolctl"),
    ):
        try:  # read from the installed metadata: importing the peers here would cost seconds
            peers[name] = importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            peers[name] = None
    return {
        "cpu": model,
        "features": [f for f in CPU_FLAGS if f in flags],
        "simd_width": width,
        "simd_width_cap": cap,
        "simd": path,
        "simd_path": dispatched_paths(path, width),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "peers": peers,
    }
