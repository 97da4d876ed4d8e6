"""The main job `python -m kelpwise.accel`: faults its self-check must catch, the benchmark cases and
their outcomes, and what it reports about the machine."""

import json
import platform
import subprocess
import sys

import numpy as np
import pytest
from kelpwise.accel import __main__ as main_mod
from kelpwise.accel import _bench, _machine, _ostrim, _plenvo, _selfcheck, _tarsine, _vellard

from support import FUNCTIONS, MODULES, bump_last

TIMED = {"KDTree build" if f == "KDTree" else f for f in FUNCTIONS}  # the tree is timed by its build


def test_quick_run_reports_every_function_exact(tmp_path):
    out = tmp_path / "r.json"
    proc = subprocess.run([sys.executable, "-m", "kelpwise.accel", "--quick", "--json", str(out)],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "all kernels exact" in proc.stdout and "ratio" in proc.stdout
    result = json.loads(out.read_text())
    assert result["ok"] is True and result["quick"] is True
    assert [c["function"] for c in result["checks"]] == FUNCTIONS
    assert all(c["exact"] and c["detail"] == "" for c in result["checks"])
    assert {b["kernel"] for b in result["benchmarks"]} == TIMED
    for b in result["benchmarks"]:
        assert b["exact"] is True, b
        assert b["ours_s"] > 0 and len(b["samples"]["ours"]) == 3
        if b["peer_s"] is not None:
            assert b["ratio"] == pytest.approx(b["peer_s"] / b["ours_s"])
        assert b["throughput"] > 0 and b["unit"] in _bench.UNITS
        vector = b["kernel"].startswith("pairwise") or b["kernel"] in ("maxpool_forward", "KDTree.query") or (
            b["kernel"] == "KDTree build" and _machine.native_path()[1] >= 4)
        assert b["simd_path"] == (result["machine"]["simd"] if vector else "scalar")
        if b["kernel"] == "pairwise_distances":  # 300x200, d=16 pair-columns over our median time
            assert b["throughput"] == pytest.approx(300 * 200 * 16 / b["ours_s"] / 1e9)
    m = result["machine"]
    assert set(m["features"]) <= set(_machine.CPU_FLAGS)
    assert m["simd"] in proc.stdout and "pair-cols/ns" in proc.stdout and "GB/s" in proc.stdout
    assert set(m["simd_path"]) == set(MODULES)


class _SwappedTree:
    """A KDTree whose query lists its two nearest indices the wrong way round."""
    real = _ostrim.KDTree

    def __init__(self, X):
        self.tree = self.real(X)

    def query(self, Q, k):
        idx, dst = self.tree.query(Q, k)
        idx = idx.copy()
        if idx.shape[1] > 1:
            idx[:, [0, 1]] = idx[:, [1, 0]]
        return idx, dst


BROKEN = [
    (_tarsine, "pairwise_manhattan_distances", "pairwise_manhattan_distances",
     lambda f: lambda X, Y: bump_last(f(X, Y)) if X.size and Y.size else f(X, Y)),
    (_tarsine, "pairwise_distances", "pairwise_distances",  # sqrt instead of pow: off in the last bit at times
     lambda f: lambda X, Y: np.sqrt(_tarsine.pairwise_squared_euclidean(X, Y))),
    (_plenvo, "col2im", "col2im", lambda f: lambda *a: bump_last(f(*a))),
    (_plenvo, "maxpool_forward", "maxpool_forward",
     lambda f: lambda X, k, s: (lambda r: (r[0], np.where(r[1] == 1, 0, r[1])))(f(X, k, s))),
    (_vellard, "_best_split_regressor", "_best_split_regressor",
     lambda f: lambda X, y, msl: (lambda r: r if r[0] is None else (r[0], r[1], float(np.nextafter(r[2], 9))))(
         f(X, y, msl))),
    (_ostrim, "KDTree", "KDTree.query", lambda f: _SwappedTree),
]


@pytest.mark.parametrize("module, attr, function, breaker", BROKEN, ids=[b[2] for b in BROKEN])
def test_a_wrong_kernel_is_reported(monkeypatch, tmp_path, module, attr, function, breaker):
    monkeypatch.setattr(module, attr, breaker(getattr(module, attr)))
    checks = {c.function: c for c in _selfcheck.run_checks()}
    assert not checks[function].exact and checks[function].detail
    assert all(c.exact for name, c in checks.items() if name != function)
    assert main_mod.main(["--no-bench", "--json", str(tmp_path / "r.json")]) == 1
    result = json.loads((tmp_path / "r.json").read_text())
    assert result["ok"] is False
    assert [c["function"] for c in result["checks"] if not c["exact"]] == [function]


def _wrong_when(f, cond):
    """f, but with its result off by one ulp whenever cond(*args) holds."""
    def g(*args):
        r = f(*args)
        if not cond(*args):
            return r
        if isinstance(r, tuple):
            return (bump_last(r[0]),) + r[1:]
        return bump_last(r)
    return g


CONFINED = [  # faults that only one layout, size or parameter reaches
    (_tarsine, "pairwise_squared_euclidean", lambda X, Y: Y.shape[0] < 8 and X.size > 0 and Y.size > 0),
    (_tarsine, "pairwise_manhattan_distances", lambda X, Y: X.shape[1] == 1 and X.size > 0 and Y.size > 0),
    (_plenvo, "im2col", lambda X, kh, kw, s, p: p < 0),
    (_plenvo, "col2im", lambda cols, *a: not cols.flags.c_contiguous),
    (_plenvo, "maxpool_forward", lambda X, k, s: X.shape[3] >= 16 and not X.flags.c_contiguous),
    (_plenvo, "maxpool_backward", lambda g, arg, shape, k, s: k == 4),
]


@pytest.mark.parametrize("module, name, cond", CONFINED, ids=[c[1] for c in CONFINED])
def test_faults_confined_to_one_path_are_caught(monkeypatch, module, name, cond):
    monkeypatch.setattr(module, name, _wrong_when(getattr(module, name), cond))
    (check,) = _selfcheck.run_checks(functions=[name])
    assert not check.exact


@pytest.mark.parametrize("regression", [False, True])
def test_split_faults_at_min_samples_leaf_zero_are_caught(monkeypatch, regression):
    name = "_best_split_regressor" if regression else "_best_split_classifier"
    f = getattr(_vellard, name)
    monkeypatch.setattr(_vellard, name, lambda X, y, msl: f(X, y, max(msl, 1)) if msl != 0 else (None, None, None))
    (check,) = _selfcheck.run_checks(functions=[name])
    assert not check.exact and "min_samples_leaf=0" in check.detail


def test_a_module_that_does_not_import_fails_its_functions(monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "kelpwise.accel._vellard", None)  # importing it now raises ImportError
    checks = _selfcheck.run_checks()
    assert [c.function for c in checks] == FUNCTIONS
    failed = {c.function: c.detail for c in checks if not c.exact}
    assert set(failed) == {"_best_split_classifier", "_best_split_regressor"}
    assert all("kelpwise.accel._vellard did not import" in d for d in failed.values())
    assert main_mod.main(["--no-bench", "--json", str(tmp_path / "r.json")]) == 1
    assert not any(c.kernel.startswith("_best_split") for c in
                   _bench.benchmark_cases(True, _machine.load_modules()[0]))


def test_numpy_peers_stand_in_when_nothing_else_is_installed(monkeypatch):
    monkeypatch.setattr(_bench, "_installed", lambda name: False)
    benches = [_bench.run_case(c, 1) for c in _bench.benchmark_cases(True, _machine.load_modules()[0])]
    assert {b.kernel for b in benches} == TIMED
    assert not any(b.peer.startswith(("scipy", "sklearn", "torch")) for b in benches)
    assert all(b.exact and b.detail == "" for b in benches), [b for b in benches if not b.exact]
    assert [b.kernel for b in benches if b.peer_s is None] == ["KDTree build"]


@pytest.mark.parametrize("ours, peer, check, exact, detail", [
    (lambda: 1, lambda: 2, lambda r: None, True, ""),
    (lambda: 1, lambda: 2, lambda r: "differs", False, "differs"),
    (lambda: 1, lambda: 1 / 0, lambda r: None, True, "peer failed: ZeroDivisionError"),
    (lambda: 1 / 0, lambda: 2, lambda r: None, False, "ZeroDivisionError"),
])
def test_timed_case_outcomes(ours, peer, check, exact, detail):
    b = _bench.run_case(_bench.Case("k", "size", "peer", lambda: (ours, peer, check)), 3)
    assert b.exact is exact and b.detail.startswith(detail)
    if b.ours_s is not None and peer is not None and not detail.startswith("peer failed"):
        assert len(b.samples["ours"]) == len(b.samples["peer"]) == 3
        assert b.ratio == b.peer_s / b.ours_s


def _expected_path(flags, cap):
    """The path the native dispatch should pick for these CPU flags under the
    build's cap, worked out here independently of the modules."""
    if platform.machine() != "x86_64":
        return None
    width = 8 if {"avx512f", "avx512dq", "avx512bw", "avx512vl"} <= flags else 4 if {"avx2", "fma"} <= flags else 2
    width = min(width, cap) if cap else width
    return {8: "AVX-512", 4: "AVX2", 2: "SSE2"}[width], width


def test_machine_info_reports_the_cpu_and_the_native_simd_path(tmp_path):
    cpuinfo = tmp_path / "cpuinfo"
    cpuinfo.write_text("model name\t: Test CPU\nflags\t\t: fpu sse2 avx2 fma avx512f avx512dq\n\n"
                       "model name\t: Test CPU\nflags\t\t: fpu\n")
    info = _machine.machine_info({"_tarsine": _tarsine}, str(cpuinfo))
    assert info["cpu"] == "Test CPU"
    assert info["features"] == ["sse2", "avx2", "fma", "avx512f", "avx512dq"]
    # the path is the one the native dispatch took on this processor, not one derived from a file
    name, width = _machine.native_path()
    assert (info["simd"], info["simd_width"]) == (name, width)
    assert info["simd_path"]["_tarsine"].startswith(f"{name} ({width} lanes)")
    expected = _expected_path(_machine.read_cpuinfo()[1], _machine.build_cap())
    assert expected is None or (name, width) == expected


@pytest.mark.parametrize("argv, text", [
    (["--repeats", "-1"], "must be at least 1, got -1"),
    (["--repeats", "0"], "must be at least 1, got 0"),
    (["--repeats", "two"], "invalid int value: 'two'"),
    (["--json", "/nonexistent-dir/r.json"], "can't open '/nonexistent-dir/r.json'"),
])
def test_bad_arguments_are_refused_before_anything_runs(monkeypatch, capsys, argv, text):
    monkeypatch.setattr(_machine, "load_modules", lambda: pytest.fail("measuring started"))
    with pytest.raises(SystemExit) as exc:
        main_mod.main(argv)
    assert exc.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: python -m kelpwise.accel") and text in err
