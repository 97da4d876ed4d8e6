"""Scale-out benchmark of kelpwise.accel.dask: each case on a LocalCluster of
one worker process and then of two (one thread each), medians of several
runs, next to one call of the kernel in this process, every result checked
bit for bit against that call; and the same blocks without Dask, in one
plain process and in two, for what the machine itself gives.

    python benchmarks/scale.py [--quick] [--repeats N] [--only SUBSTRING] [--quiet CORES]

Inputs are generated on the cluster from fixed seeds and kept there, spread
evenly over the workers, before timing starts, so a run times the kernels
and the scheduling, not the transfer of inputs from this process or the
placement of the generating tasks; results stay on the workers (persisted or
reduced per block), as they would in use.  Every run gives the inputs new
keys, so k-nearest neighbours builds its trees (one per worker) in every
timed run.

Runs follow each other without pauses, after an untimed one: on this kind
of virtual machine, memory freed for a couple of seconds goes back to the
host, and touching it again costs about 1.5 ms per MB (0.8 s for 512 MB,
against 60 ms for memory freed just before), which would swamp the pooling
cases.  On a shared machine, a run during which other processes took CPU is
repeated after they have been quiet for a second and an untimed run; the
table shows the most CPU other processes took during the runs that count.
"""

from __future__ import annotations

import argparse
import itertools
import logging
import multiprocessing as mp
import os
import platform
import statistics
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import dask
import dask.array as da
import distributed
import kelpwise.accel.dask as kd
import numpy as np
import psutil  # type: ignore[import-untyped]
from dask.graph_manipulation import clone
from kelpwise.accel import _ostrim, _plenvo, _tarsine, _vellard


@dataclass
class Case:
    name: str
    size: str
    inputs: Callable[[], tuple]  # lazy Dask arrays, the same for every cluster
    work: Callable[..., Any]  # inputs -> Dask collections to persist, or a computed result
    one_call: Callable[..., Any]  # inputs as NumPy arrays -> the single call's result
    blocks: Callable[..., list[tuple]]  # inputs as NumPy arrays -> one_call's arguments for each block


def knn_one_call(X: np.ndarray, Q: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The tree's answer with int64 rows, which is the Dask layer's for data
    without equal distances (random floats)."""
    idx, dist = _ostrim.KDTree(X).query(Q, 10)
    return idx.astype(np.int64), dist


def cases(quick: bool) -> list[Case]:
    s = 10 if quick else 1

    def rng(seed):
        return da.random.default_rng(seed)

    n, nq = 100_000 // s, 1_000_000 // s
    knn = Case(
        "kneighbors",
        f"{nq} queries, {n}x3 data, k=10",
        lambda: (rng(1).random((n, 3), chunks=(-1, -1)), rng(2).random((nq, 3), chunks=(nq // 16, -1))),
        lambda X, Q: kd.kneighbors(X, Q, 10),
        knn_one_call,
        lambda X, Q: [(X, Q[i : i + nq // 16]) for i in range(0, nq, nq // 16)],
    )
    m = 20_000 // s
    dist = Case(
        "nearest distance per row",
        f"{m}x{m}, d=64, min per block",
        lambda: (rng(3).random((m, 64), chunks=(m // 8, -1)), rng(4).random((m, 64), chunks=(m // 8, -1))),
        lambda X, Y: kd.pairwise_distances(X, Y).min(axis=1),
        lambda X, Y: _tarsine.pairwise_distances(X, Y).min(axis=1),
        lambda X, Y: [(X[i : i + m // 8], Y[j : j + m // 8]) for i in range(0, m, m // 8) for j in range(0, m, m // 8)],
    )
    r = 200_000 // s
    split = Case(
        "best_split_classifier",
        f"{r}x64, 3 classes",
        lambda: (rng(5).random((r, 64), chunks=(-1, 4)), rng(6).integers(0, 3, r, chunks=-1)),
        lambda X, y: kd.best_split_classifier(X, y, 1),
        lambda X, y: _vellard._best_split_classifier(X, y, 1),
        lambda X, y: [(X[:, j : j + 4], y) for j in range(0, 64, 4)],
    )

    def pool(b: int, chunk: int) -> Case:
        return Case(
            "maxpool_forward" + (" (4x the batch)" if b > 256 // s else ""),
            f"{b}x64x64x32, k=2 s=2",
            lambda: (rng(7).random((b, 64, 64, 32), chunks=(chunk, -1, -1, -1)),),
            lambda X: kd.maxpool_forward(X, 2, 2),
            lambda X: _plenvo.maxpool_forward(X, 2, 2),
            lambda X: [(X[i : i + chunk],) for i in range(0, b, chunk)],
        )

    return [knn, dist, split, pool(256 // s, 64 // s), pool(1024 // s, 64 // s)]


def identical(a, b) -> bool:
    if isinstance(a, tuple):
        return len(a) == len(b) and all(identical(x, y) for x, y in zip(a, b, strict=True))
    if isinstance(a, np.ndarray):
        return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(a.view(np.uint8), b.view(np.uint8))
    return repr(a) == repr(b)


def cpu_seconds() -> tuple[float, float]:
    """Busy CPU seconds of the machine, and of this process and its children
    (the workers)."""
    t = psutil.cpu_times()
    busy = sum(getattr(t, f, 0.0) for f in ("user", "nice", "system", "irq", "softirq", "steal"))
    own = 0.0
    for p in [psutil.Process(), *psutil.Process().children(recursive=True)]:
        try:
            c = p.cpu_times()
        except psutil.NoSuchProcess:
            continue
        own += c.user + c.system
    return busy, own


def others(busy: float, own: float, busy1: float, own1: float, seconds: float) -> float:
    """Cores that other processes of the machine took over `seconds`."""
    return max(0.0, (busy1 - busy) - (own1 - own)) / seconds


def wait_until_quiet(limit: float, patience: float) -> None:
    """Wait (at most `patience` seconds) for a second in which other
    processes take less than `limit` cores."""
    end = time.perf_counter() + patience
    while time.perf_counter() < end:
        before = cpu_seconds()
        time.sleep(1.0)
        if others(*before, *cpu_seconds(), 1.0) < limit:
            return


def median_time(fn: Callable[[], Any], repeats: int, limit: float) -> tuple[float, float]:
    """The median wall time of `repeats` runs of `fn` (after an untimed
    one), and the most CPU that other processes took during one of them, in
    cores.  A run during which other processes took `limit` cores or more
    is followed by a wait for a quiet second and an untimed run; it counts
    only if three times `repeats` runs gave too few quiet ones, the least
    disturbed first."""
    quiet: list[tuple[float, float]] = []
    disturbed: list[tuple[float, float]] = []
    fn()
    for _ in range(3 * repeats):
        before = cpu_seconds()
        t0 = time.perf_counter()
        fn()
        seconds = time.perf_counter() - t0
        load = others(*before, *cpu_seconds(), seconds)
        (quiet if load < limit else disturbed).append((seconds, load))
        if len(quiet) == repeats:
            break
        if load >= limit:
            wait_until_quiet(limit, patience=60)
            fn()
    runs = (quiet + sorted(disturbed, key=lambda run: run[1]))[:repeats]
    return statistics.median(s for s, _ in runs), max(load for _, load in runs)


def is_lazy(out: Any) -> bool:
    return dask.is_dask_collection(out) or isinstance(out, (tuple, list)) and any(map(dask.is_dask_collection, out))


def run_on_cluster(
    client: distributed.Client, case: Case, repeats: int, limit: float
) -> tuple[tuple[float, float], Any]:
    inputs = client.persist(case.inputs())
    distributed.wait(inputs)
    client.rebalance()  # as many bytes of input on each worker
    runs = itertools.count()

    def once():
        # Fresh keys for every run, or the cluster would hand back the
        # results of the previous one.
        fresh = clone(*inputs, seed=next(runs))
        out = case.work(*(fresh if len(inputs) > 1 else (fresh,)))
        if is_lazy(out):
            out = client.persist(out)
            distributed.wait(out)
        return out

    result = once()
    if is_lazy(result):
        result = client.gather(client.compute(result))
    return median_time(once, repeats, limit), tuple(result) if isinstance(result, list) else result


def run_one_call(case: Case, repeats: int, limit: float) -> tuple[tuple[float, float], Any]:
    """The kernel on the whole arrays in this process: its time and result."""
    arrays = dask.compute(*case.inputs(), scheduler="threads")
    out = [None]

    def call():
        out[0] = None  # freed first, as the runs on the cluster free theirs
        out[0] = case.one_call(*arrays)

    return median_time(call, repeats, limit), out[0]


def _plain_process(name: str, quick: bool, blocks: list[tuple], barrier: Any, queue: Any) -> None:
    case = next(c for c in cases(quick) if c.name == name)
    times = []
    for _ in range(4):  # the first untimed
        barrier.wait()
        t0 = time.perf_counter()
        for args in blocks:
            case.one_call(*args)
        times.append(time.perf_counter() - t0)
    queue.put(times[1:])


def plain_processes(case: Case, quick: bool) -> float:
    """The speed-up of the machine itself from one process to two, without
    Dask: the blocks of the case's graph called one after the other in one
    process, or half in each of two (medians of three runs)."""
    blocks = case.blocks(*dask.compute(*case.inputs(), scheduler="threads"))
    ctx = mp.get_context("spawn")
    seconds = []
    for groups in ([blocks], [blocks[: len(blocks) // 2], blocks[len(blocks) // 2 :]]):
        barrier, queue = ctx.Barrier(len(groups)), ctx.Queue()
        procs = [ctx.Process(target=_plain_process, args=(case.name, quick, g, barrier, queue)) for g in groups]
        for p in procs:
            p.start()
        runs = [queue.get() for _ in procs]
        for p in procs:
            p.join()
        seconds.append(statistics.median(max(t) for t in zip(*runs, strict=True)))
    return seconds[0] / seconds[1]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="sizes divided by 10")
    parser.add_argument("--repeats", type=int, default=5, help="timed runs per case (default 5)")
    parser.add_argument("--only", default="", metavar="SUBSTRING", help="only cases whose name contains this")
    parser.add_argument(
        "--quiet",
        type=float,
        default=0.1,
        metavar="CORES",
        help="repeat runs during which other processes took this many cores (default 0.1)",
    )
    args = parser.parse_args(argv)

    todo = [c for c in cases(args.quick) if args.only in c.name]
    print(
        f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores; "
        f"dask {dask.__version__}, distributed {distributed.__version__}, NumPy {np.__version__}"
    )
    print(f"medians of {args.repeats} runs ({min(args.repeats, 3)} for one call, the kernel on the whole arrays here)")
    print("load average before: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))

    reference: dict[str, tuple[tuple[float, float], Any]] = {}
    timings: dict[str, dict[int, tuple[tuple[float, float], bool]]] = {c.name: {} for c in todo}
    for workers in (1, 2):
        with (
            distributed.LocalCluster(
                n_workers=workers,
                threads_per_worker=1,
                processes=True,
                dashboard_address=":0",
                silence_logs=logging.ERROR,
            ) as cluster,
            distributed.Client(cluster) as client,
        ):
            for case in todo:
                if case.name not in reference:
                    reference[case.name] = run_one_call(case, min(args.repeats, 3), args.quiet)
                seconds, got = run_on_cluster(client, case, args.repeats, args.quiet)
                timings[case.name][workers] = (seconds, identical(got, reference[case.name][1]))
                print(f"  {case.name}: {workers} worker(s) {seconds[0]:.3f} s", flush=True)

    ceiling = {case.name: plain_processes(case, args.quick) for case in todo}
    print("load average after: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))
    print()
    print("| case | size | one call | 1 worker | 2 workers | 1 → 2 workers | plain processes | exact | others' CPU |")
    print("|---|---|---|---|---|---|---|---|---|")
    ok = True
    for case in todo:
        ((t1, o1), e1), ((t2, o2), e2) = timings[case.name][1], timings[case.name][2]
        ok &= e1 and e2
        (t0, o0), _ = reference[case.name]
        print(
            f"| {case.name} | {case.size} | {t0:.3f} s | {t1:.3f} s | {t2:.3f} s | "
            f"{t1 / t2:.2f}× | {ceiling[case.name]:.2f}× | {'yes' if e1 and e2 else 'NO'} | "
            f"{max(o0, o1):.2f} / {o2:.2f} |"
        )
    print("\nplain processes: the same blocks without Dask, one process against two, as a measure of")
    print("what the machine itself gives at the time.")
    print("others' CPU: the most CPU that other processes of the machine took during a counted run,")
    print(f"in cores (one call and 1 worker / 2 workers); {args.quiet} or more means disturbed timings.")
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
