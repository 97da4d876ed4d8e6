"""The package's main job: `python -m kelpwise.accel`."""

import json
import subprocess
import sys

import numpy as np

from kelpwise.accel import __main__ as main_mod
from kelpwise.accel import _selfcheck, _tarsine

FUNCTIONS = {"pairwise_squared_euclidean", "pairwise_distances", "pairwise_manhattan_distances", "im2col",
             "col2im", "maxpool_forward", "maxpool_backward", "_best_split_classifier", "_best_split_regressor",
             "KDTree.query"}


def test_quick_run_reports_everything_exact(tmp_path):
    out = tmp_path / "r.json"
    proc = subprocess.run([sys.executable, "-m", "kelpwise.accel", "--quick", "--json", str(out)],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    result = json.loads(out.read_text())
    assert result["ok"] is True
    assert {c["function"] for c in result["checks"]} == FUNCTIONS
    assert all(c["exact"] for c in result["checks"])
    kernels = {b["kernel"] for b in result["benchmarks"]}
    assert FUNCTIONS - {"KDTree.query"} <= kernels and {"KDTree build", "KDTree.query"} <= kernels
    for b in result["benchmarks"]:
        assert b["ours_s"] > 0 and b["peer_s"] > 0 and b["exact"] in (True, None)


def test_a_wrong_kernel_is_reported(monkeypatch, tmp_path):
    real = _tarsine.pairwise_manhattan_distances

    def off_by_one_ulp(X, Y):
        out = real(X, Y)
        out[0, 0] = np.nextafter(out[0, 0], np.inf)
        return out

    monkeypatch.setattr(_tarsine, "pairwise_manhattan_distances", off_by_one_ulp)
    checks = {c.function: c for c in _selfcheck.run_checks()}
    assert not checks["pairwise_manhattan_distances"].exact
    assert all(c.exact for name, c in checks.items() if name != "pairwise_manhattan_distances")
    assert main_mod.main(["--no-bench", "--json", str(tmp_path / "r.json")]) == 1
    assert json.loads((tmp_path / "r.json").read_text())["ok"] is False


def test_references_agree_with_brute_loops():
    """The vectorised references used by the self-check follow the stated
    accumulation order (checked here against direct loops)."""
    rng = np.random.default_rng(0)
    g = rng.standard_normal((2 * 4 * 4, 9 * 2))
    d = np.zeros((2, 6, 6, 2))
    for row in range(32):
        n, oh, ow = row // 16, row // 4 % 4, row % 4
        d[n, oh:oh + 3, ow:ow + 3, :] += g[row].reshape(3, 3, 2)
    assert np.array_equal(_selfcheck.ref_col2im(g, (2, 4, 4, 2), 3, 3, 1, 1), d[:, 1:-1, 1:-1, :])
