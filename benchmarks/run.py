"""Reproducible benchmark harness: the same cases as `python -m kelpwise.accel`,
each run several times with the median quoted, printed with the machine's CPU
features and the SIMD path the kernels use.

    python benchmarks/run.py [--quick] [--repeats N] [--json FILE] [--only SUBSTRING]
"""

import argparse
import json
import platform
import statistics

import numpy as np

from kelpwise.accel import _selfcheck


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--json")
    parser.add_argument("--only", default="", help="run only kernels whose name contains this")
    args = parser.parse_args()
    cpu = _selfcheck.cpu_info()
    print(f"machine: {cpu['model']}; python {platform.python_version()}; numpy {np.__version__}")
    print(f"CPU features: {' '.join(cpu['features'])}")
    print(f"SIMD path: {cpu['simd_path']}")
    rows = []
    for b in _selfcheck.run_benchmarks(args.quick, args.repeats):
        if args.only not in b.kernel:
            continue
        spread = statistics.pstdev(b.samples["ours"]) / b.ours_s if b.ours_s else 0.0
        rows.append(b)
        print(f"{b.kernel:30s} {b.size:32s} ours {b.ours_s * 1e3:9.2f} ms (±{spread:4.0%})  "
              f"{b.peer:38s} {b.peer_s * 1e3:9.2f} ms  ratio {b.ratio:6.2f}x  exact {b.exact}")
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"cpu": cpu, "benchmarks": [b.__dict__ for b in rows]}, fh, indent=2)


if __name__ == "__main__":
    main()
