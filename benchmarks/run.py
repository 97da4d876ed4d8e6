"""Reproducible benchmark harness: the cases of `python -m kelpwise.accel`,
each run several times (ours and the peer alternately, every peer on one
thread), the median quoted with the spread of the runs, our throughput and
the SIMD path of each case, after the machine's CPU features, the SIMD path
the kernels report and the library versions.  Inputs come from fixed seeds,
and every timed result is checked bit for bit.

    python benchmarks/run.py [--quick] [--repeats N] [--only SUBSTRING] [--cpu-time] [--json FILE]

On a machine shared with other jobs, --cpu-time times the CPU time of this
process instead of wall time (for single-threaded cases, the time the work
itself took while the process held a core).
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import time

from kelpwise.accel import _bench, _machine


def _spread(samples: list[float]) -> str:
    """Half the interquartile range relative to the median."""
    if len(samples) < 4:
        return ""
    q1, med, q3 = statistics.quantiles(samples, n=4, method="inclusive")
    return f"±{(q3 - q1) / 2 / med:.0%}" if med > 0 else ""


def _fmt(seconds: float | None, samples: list[float]) -> str:
    return "-" if seconds is None else f"{seconds * 1e3:10.2f} ms {_spread(samples):>5}"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="the small sizes of --quick")
    parser.add_argument("--repeats", type=int, default=7, help="timed runs per case (default 7)")
    parser.add_argument("--only", default="", metavar="SUBSTRING", help="only kernels whose name contains this")
    parser.add_argument("--cpu-time", action="store_true", help="time CPU time of this process, not wall time")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    args = parser.parse_args(argv)

    mods, errors = _machine.load_modules()
    machine = _machine.machine_info(mods)
    print(f"machine: {machine['cpu']}; Python {machine['python']}; NumPy {machine['numpy']}")
    print(f"CPU features: {' '.join(machine['features']) or '-'}")
    print("SIMD path: " + "; ".join(f"{k}: {v}" for k, v in machine["simd_path"].items()))
    print("peers: " + ", ".join(f"{k} {v or 'not installed'}" for k, v in machine["peers"].items()))
    for name, error in errors.items():
        print(f"kelpwise.accel.{name} did not import: {error}")
    clock = "CPU time" if args.cpu_time else "wall time"
    print(f"median of {args.repeats} runs (± half the interquartile range), {clock}; ratio = peer / ours")
    print(_bench.UNITS_NOTE)

    rows = []
    for case in _bench.benchmark_cases(args.quick, mods, machine["simd"]):
        if args.only not in case.kernel:
            continue
        b = _bench.run_case(case, args.repeats, clock=time.process_time if args.cpu_time else time.perf_counter)
        rows.append(b)
        ratio = "-" if b.ratio is None else f"{b.ratio:7.2f}x"
        rate = _bench.format_throughput(b.throughput, b.unit)
        print(
            f"{b.kernel:30s} {b.size:28s} ours {_fmt(b.ours_s, b.samples.get('ours', []))}  "
            f"{rate:>18} {b.simd_path:7s}  "
            f"{b.peer:48s} {_fmt(b.peer_s, b.samples.get('peer', []))}  {ratio:>8}  "
            f"{'exact' if b.exact else 'MISMATCH'} {b.detail}".rstrip(),
            flush=True,
        )
    ok = not errors and all(b.exact for b in rows)
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(
                {
                    "ok": ok,
                    "quick": args.quick,
                    "repeats": args.repeats,
                    "clock": "process_time" if args.cpu_time else "perf_counter",
                    "machine": machine,
                    "import_errors": errors,
                    "benchmarks": [b.__dict__ for b in rows],
                },
                fh,
                indent=2,
            )
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
