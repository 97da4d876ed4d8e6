"""Scaling benchmark of kelpwise.accel.parallel: each kernel on 1, 2, ...
workers, side by side in one process (the worker counts alternating, medians
of several runs, every result checked bit for bit against the module
function), next to the peers at their own all-core settings: SciPy's
`cKDTree.query(workers=-1)`, scikit-learn's `euclidean_distances(squared=True)`
with BLAS on every thread, PyTorch's `max_pool2d` at its default threads.

    python benchmarks/parallel.py [--quick] [--repeats N] [--only SUBSTRING] [--png FILE] [--json FILE]

With Dask installed it also times kelpwise.accel.dask on Dask's threaded
scheduler against its synchronous one: an 8000 x 8000 distance matrix of
64 columns reduced per row, whose blocks run side by side on the threads
because their kernels let go of the interpreter lock.

It then estimates the scaling on machines with more cores from what it
measured: the part of each call that did not shrink from 1 to all workers
(taken as serial), the start-up of a thread, and how the kernel's blocks
share out over p threads; and draws the figure (time against workers per
kernel, the peers' all-core times marked) when matplotlib is installed.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import math
import os
import statistics
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

import numpy as np
from kelpwise.accel import _ostrim, _parallel, _plenvo, _tarsine, _vellard
from kelpwise.accel import parallel as P
from kelpwise.accel.reference import bits_equal


@dataclass
class Case:
    name: str
    size: str
    run: Callable[[int], object]  # workers -> result
    want: Callable[[], object]  # the module function's result
    blocks: Callable[[int], int]  # blocks of work for p threads
    goal: float  # speed-up from 1 to all workers asked for on 2 cores
    serial: Callable[[], object]  # the part of a call that runs on one thread, alone
    bytes_moved: int = 0  # for a kernel bound by memory: bytes read and written
    peers: dict = field(default_factory=dict)  # name -> (callable, goal: peer time / our all-core time)
    times: dict = field(default_factory=dict)  # workers -> samples
    peer_times: dict = field(default_factory=dict)  # name -> samples


def _same(a, b) -> bool:
    if isinstance(a, tuple):
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b, strict=True))
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and (bits_equal(a, b) if a.dtype == np.float64 else np.array_equal(a, b))
    return a == b


def _installed(name: str) -> bool:
    return importlib.util.find_spec(name) is not None


def _row_blocks(n: int) -> Callable[[int], int]:
    def blocks(p: int) -> int:  # two blocks per thread, a multiple of 12 rows each
        per = math.ceil(math.ceil(n / (2 * p)) / 12) * 12
        return math.ceil(n / per)

    return blocks


def _query_blocks(nq: int) -> Callable[[int], int]:
    def blocks(p: int) -> int:  # four blocks per thread, 256 to 65536 query rows each
        p = max(1, min(p, nq // 512))
        per = min(max(math.ceil(math.ceil(nq / (4 * p)) / 256) * 256, 256), 65536)
        return math.ceil(nq / per)

    return blocks


def cases(quick: bool) -> list[Case]:
    rng = np.random.default_rng(21)
    scale = 8 if quick else 1
    out = []

    n = 2000 // scale
    X = rng.standard_normal((n, 64))
    dist = Case(
        "pairwise_squared_euclidean",
        f"{n}²×64",
        lambda w: P.pairwise_squared_euclidean(X, X, workers=w),
        lambda: _tarsine.pairwise_squared_euclidean(X, X),
        _row_blocks(n),
        1.8,
        lambda: P.pairwise_squared_euclidean(X[:12], X[:12], workers=1),  # checks, allocation, return
    )
    if _installed("sklearn"):
        from sklearn.metrics.pairwise import euclidean_distances

        dist.peers["sklearn euclidean_distances(squared=True), BLAS threads"] = (
            lambda: euclidean_distances(X, X, squared=True),
            1.5,
        )
    out.append(dist)

    nd, nq = 100_000 // scale, 200_000 // scale
    D, Q = rng.standard_normal((nd, 3)), rng.standard_normal((nq, 3))
    tree = P.KDTree(D)
    knn = Case(
        "KDTree.query k=10",
        f"{nq} queries over {nd}×3",
        lambda w: tree.query(Q, 10, workers=w),
        lambda: _ostrim.KDTree(D).query(Q, 10),
        _query_blocks(nq),
        1.8,
        lambda: tree.query(Q[:1], 10, workers=1),
    )
    D8, Q8 = rng.standard_normal((nd // 2, 8)), rng.standard_normal((nd // 5, 8))
    tree8 = P.KDTree(D8)
    knn8 = Case(
        "KDTree.query k=10",
        f"{nd // 5} queries over {nd // 2}×8",
        lambda w: tree8.query(Q8, 10, workers=w),
        lambda: _ostrim.KDTree(D8).query(Q8, 10),
        _query_blocks(nd // 5),
        1.8,
        lambda: tree8.query(Q8[:1], 10, workers=1),
    )
    if _installed("scipy"):
        from scipy.spatial import cKDTree

        ck, ck8 = cKDTree(D, leafsize=16), cKDTree(D8, leafsize=16)
        knn.peers["scipy cKDTree.query(workers=-1)"] = (lambda: ck.query(Q, 10, workers=-1), 1.25)
        knn8.peers["scipy cKDTree.query(workers=-1)"] = (lambda: ck8.query(Q8, 10, workers=-1), 2.0)
    out += [knn, knn8]

    ns = 200_000 // scale
    S, y = np.round(rng.standard_normal((ns, 64)), 3), rng.integers(0, 3, ns)
    out.append(
        Case(
            "best_split_classifier",
            f"{ns}×64, 3 classes",
            lambda w: P.best_split_classifier(S, y, 1, workers=w),
            lambda: _vellard._best_split_classifier(S, y, 1),
            lambda p: 64,
            1.6,
            lambda: _split_serial(S, y),
        )
    )

    N = 32 // (4 if quick else 1)
    img = rng.standard_normal((N, 64, 64, 32))
    pool = Case(
        "maxpool_forward k=3 s=2",
        f"{N}×64²×32",
        lambda w: P.maxpool_forward(img, 3, 2, workers=w),
        lambda: _plenvo.maxpool_forward(img, 3, 2),
        lambda p: math.ceil(N / math.ceil(N / (4 * p))),
        1.3,
        lambda: P.maxpool_forward(img[:1, :3, :3], 3, 2, workers=1),
        img.nbytes + 2 * img.nbytes // 4,  # the input, and the two outputs a quarter of its size
    )
    if _installed("torch"):
        import torch

        t_img = torch.from_numpy(img).permute(0, 3, 1, 2)  # NCHW view of channels-last memory
        pool.peers[f"torch max_pool2d, channels last, {torch.get_num_threads()} threads"] = (
            lambda: torch.nn.functional.max_pool2d(t_img, 3, 2),
            1.5,
        )
    out.append(pool)
    return out


def _split_serial(S, y):
    """What the classifier's split search does on one thread: the labels'
    classes and counts, and handing out its 64 features (no work in them)."""
    classes = np.unique(y)
    np.bincount(np.searchsorted(classes, y), minlength=classes.size)
    with ThreadPoolExecutor(2) as pool:
        list(pool.map(lambda j: S[:, j], range(S.shape[1])))


def _median_time(fn, repeats=9) -> float:
    samples = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - t0)
    return statistics.median(samples)


def measure(case: Case, workers: list[int], repeats: int) -> str | None:
    """Times the case for every worker count and its peers, alternating;
    returns what is wrong with a result, if anything."""
    want = case.want()
    for w in workers:
        if not _same(case.run(w), want):
            return f"workers={w}: not the module's result"
    for peer, _ in case.peers.values():
        peer()  # warm-up
    for _ in range(repeats):
        for name, (peer, _) in case.peers.items():
            t0 = time.perf_counter()
            peer()
            case.peer_times.setdefault(name, []).append(time.perf_counter() - t0)
        if case.peers:
            # The BLAS and OpenMP threads of a peer spin for a while after
            # it returns, on the cores our threads would take.
            time.sleep(0.3)
        for w in workers:
            t0 = time.perf_counter()
            case.run(w)
            case.times.setdefault(w, []).append(time.perf_counter() - t0)
    return None


def thread_start_cost(repeats: int = 200) -> float:
    """Seconds added per started thread: a call with almost no work on two
    threads against one, the fastest run of each."""
    X = np.ones((48, 2))
    med = {}
    for w in (1, 2):
        samples = []
        for _ in range(repeats):
            t0 = time.perf_counter()
            _parallel.pairwise_squared_euclidean(X, X, w)
            samples.append(time.perf_counter() - t0)
        med[w] = min(samples)  # the least disturbed run
    return max(med[2] - med[1], 0.0)


def estimate(case: Case, spawn: float, cores=(8, 16, 64)) -> dict:
    """Speed-up over one worker at p cores, from the measured parts of one
    call: the serial part (run alone, timed), the rest shared out over p
    threads in whole blocks (the last round of blocks may leave threads
    idle), and a thread start per extra thread.  A kernel bound by memory
    bandwidth stops where p cores at the one-core rate use up the machine's
    bandwidth, which this machine cannot show: `per_core_gbs` is that rate."""
    t1 = statistics.median(case.times[1])
    serial = min(_median_time(case.serial), t1)
    out = {"serial_fraction": serial / t1}
    if case.bytes_moved:
        out["per_core_gbs"] = case.bytes_moved / t1 / 1e9
    for p in cores:
        b = case.blocks(p)
        share = b / p / math.ceil(b / p)
        out[p] = t1 / (serial + (t1 - serial) / (p * share) + spawn * (p - 1))
    return out


def draw(results: list[Case], workers: list[int], cpus: int, note: str, path: str) -> bool:
    if not _installed("matplotlib"):
        return False
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(results), figsize=(3.2 * len(results), 3.4), squeeze=False)
    for ax, case in zip(axes[0], results, strict=True):
        ms = [statistics.median(case.times[w]) * 1e3 for w in workers]
        ax.plot(workers, ms, "o-", label="kelpwise parallel")
        ideal = [ms[0] / min(w, cpus) for w in workers]
        ax.plot(workers, ideal, ":", color="gray", label=f"1 worker / min(workers, {cpus})")
        for name, samples in case.peer_times.items():
            ax.axhline(statistics.median(samples) * 1e3, ls="--", color="C3", label=name.split(",")[0])
        ax.set_title(f"{case.name}\n{case.size}", fontsize=8)
        ax.set_xlabel("workers")
        ax.set_xticks(workers)
        ax.set_ylim(bottom=0)
        ax.legend(fontsize=6)
    axes[0][0].set_ylabel("ms (median)")
    fig.suptitle(note, fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return True


def dask_threads(quick: bool, repeats: int) -> dict | None:
    """Dask's threaded scheduler against its synchronous one on a distance
    matrix reduced per row, the two alternating; None without Dask."""
    if not _installed("dask"):
        return None
    from kelpwise.accel import dask as kd

    n = 2000 if quick else 8000
    X = np.random.default_rng(5).standard_normal((n, 64))
    lazy = kd.pairwise_distances(X, X).min(axis=1)
    want = _tarsine.pairwise_distances(X, X).min(axis=1)
    times: dict[str, list[float]] = {"sync": [], "threads": []}
    for _ in range(repeats):
        for scheduler in times:
            t0 = time.perf_counter()
            got = lazy.compute(scheduler=scheduler)
            times[scheduler].append(time.perf_counter() - t0)
            if not bits_equal(got, want):
                raise AssertionError(f"dask on the {scheduler} scheduler differs from one call")
    sync, threads = (statistics.median(times[k]) for k in ("sync", "threads"))
    return {
        "size": f"{n}x{n}, d=64",
        "blocks": lazy.numblocks[0],
        "sync_ms": sync * 1e3,
        "threads_ms": threads * 1e3,
        "speedup": sync / threads,
    }


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--png", default="benchmarks/parallel.png", help="the scaling figure")
    parser.add_argument("--json", metavar="FILE")
    parser.add_argument("--only", default="", metavar="SUBSTRING", help="only kernels whose name contains this")
    args = parser.parse_args(argv)

    cpus = P.workers_count(None)
    workers = sorted({1, *range(2, cpus + 1), 2 * cpus})
    name, width = P.simd_path()
    load = os.getloadavg()
    start_load = load[0]
    print(f"{cpus} CPUs for this process; SIMD path {name} ({width} doubles); load average {load[0]:.2f} at start")
    print(f"median of {args.repeats} runs; speed-up = time on 1 worker / time on {cpus}; peer ratio = peer / ours")
    spawn = thread_start_cost()
    print(f"thread start and join: {spawn * 1e6:.0f} µs per thread")

    results, ok, rows = [], True, []
    for case in cases(args.quick):
        if args.only not in case.name:
            continue
        problem = measure(case, workers, args.repeats)
        if problem:
            print(f"{case.name} {case.size}: {problem}")
            ok = False
            continue
        results.append(case)
        med = {w: statistics.median(s) for w, s in case.times.items()}
        speedup = med[1] / med[cpus]
        line = " ".join(f"{w}:{med[w] * 1e3:8.2f} ms" for w in workers)
        print(f"{case.name:28s} {case.size:28s} {line}  speed-up {speedup:4.2f}x (goal {case.goal}x)")
        row = {"kernel": case.name, "size": case.size, "ms": {w: med[w] * 1e3 for w in workers}, "speedup": speedup}
        for peer_name, samples in case.peer_times.items():
            ratio = statistics.median(samples) / med[cpus]
            goal = case.peers[peer_name][1]
            print(f"    vs {peer_name}: {statistics.median(samples) * 1e3:.2f} ms, ratio {ratio:.2f}x (goal {goal}x)")
            row.setdefault("peers", {})[peer_name] = {"ms": statistics.median(samples) * 1e3, "ratio": ratio}
        est = estimate(case, spawn)
        bound = f"; {est['per_core_gbs']:.1f} GB/s per core" if "per_core_gbs" in est else ""
        print(
            f"    estimate: serial part {est['serial_fraction']:.2%}{bound}; speed-up at 8 / 16 / 64 cores "
            f"{est[8]:.1f}x / {est[16]:.1f}x / {est[64]:.1f}x"
        )
        row["estimate"] = est
        rows.append(row)
    if args.only in "dask threaded scheduler":
        d = dask_threads(args.quick, min(args.repeats, 5))
        if d is not None:
            print(
                f"{'dask pairwise_distances':28s} {d['size']:28s} sync {d['sync_ms']:8.2f} ms, threads "
                f"{d['threads_ms']:8.2f} ms ({d['blocks']} row blocks)  speed-up {d['speedup']:4.2f}x (goal 1.7x)"
            )
            rows.append({"kernel": "dask threaded scheduler", **d})
    load = os.getloadavg()
    print(f"load average {load[0]:.2f} / {load[1]:.2f} / {load[2]:.2f} at the end")
    note = f"{cpus} CPUs, SIMD path {name}, load average {start_load:.1f} at start, {load[0]:.1f} at end"
    if args.png and results and draw(results, workers, cpus, note, args.png):
        print(f"figure: {args.png}")
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"cpus": cpus, "simd_path": name, "spawn_s": spawn, "cases": rows}, fh, indent=2, default=str)
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
