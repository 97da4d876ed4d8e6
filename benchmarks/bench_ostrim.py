"""KDTree build and query against scipy.spatial.cKDTree (leafsize 16,
workers=1), side by side in one process: medians of several runs and the
ratio ours / cKDTree.

    python benchmarks/bench_ostrim.py [--repeat 7]
"""

import argparse
import statistics
import time

import numpy as np
from scipy.spatial import cKDTree

from kelpwise.accel._ostrim import KDTree

CASES = [  # n, d, nq, k
    (100_000, 3, 10_000, 10),
    (50_000, 8, 5_000, 10),
]


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    print(f"{'case':<36}{'ours ms':>10}{'cKDTree ms':>12}{'ratio':>8}")
    for n, d, nq, k in CASES:
        X = rng.random((n, d))
        Q = rng.random((nq, d))
        ours, ref = KDTree(X), cKDTree(X, leafsize=16)
        idx, dst = ours.query(Q, k)
        ref_d, ref_i = ref.query(Q, k, workers=1)
        assert np.allclose(dst, ref_d**2) and np.array_equal(idx, ref_i)
        label = f"n={n} d={d}"
        rows = [
            ("build", lambda: KDTree(X), lambda: cKDTree(X, leafsize=16)),
            (f"query nq={nq} k={k}", lambda: ours.query(Q, k), lambda: ref.query(Q, k, workers=1)),
        ]
        for what, mine, theirs in rows:
            a = median_time(mine, args.repeat)
            b = median_time(theirs, args.repeat)
            print(f"{label + ' ' + what:<36}{a * 1e3:>10.1f}{b * 1e3:>12.1f}{a / b:>8.2f}")


if __name__ == "__main__":
    main()
