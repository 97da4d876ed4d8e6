"""python -m kelpwise.accel: check every kernel against a plain NumPy
reference, then time it against the best alternative installed.

Exit status 0 when every function and every timed result is exact, 1 on any
mismatch or on a module that does not import.
"""

from __future__ import annotations

import argparse
import json
import sys
from dataclasses import asdict

from rich.console import Console
from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn
from rich.table import Table

from . import _bench, _machine, _selfcheck


def _ms(seconds) -> str:
    return "-" if seconds is None else f"{seconds * 1e3:.2f} ms"


def _all_cores(b) -> str:
    if b.all_cores_s is None or not b.ours_s:
        return "-"
    return f"{_ms(b.all_cores_s)} ({b.ours_s / b.all_cores_s:.2f}x)"


def _machine_line(m: dict) -> str:
    peers = ", ".join(f"{k} {v}" for k, v in m["peers"].items() if v and k != "threadpoolctl") or "none"
    paths = "; ".join(f"{k}: {v}" for k, v in m["simd_path"].items())
    return (
        f"[bold]kelpwise.accel[/bold] on {m['cpu']}\n"
        f"CPU features: {' '.join(m['features']) or 'none of ' + ' '.join(_machine.CPU_FLAGS)}\n"
        f"SIMD path: {paths}\n"
        f"Python {m['python']}, NumPy {m['numpy']}; peers installed: {peers}"
    )


def as_json(checks, benches, machine: dict, quick: bool) -> dict:
    return {
        "ok": all(c.exact for c in checks) and all(b.exact for b in benches),
        "quick": quick,
        "machine": machine,
        "checks": [asdict(c) for c in checks],
        "benchmarks": [asdict(b) for b in benches],
    }


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kelpwise.accel", description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes: a run of a few seconds")
    # Opened before anything is measured, so that a path that cannot be
    # written is refused at once, not after the whole run.
    parser.add_argument(
        "--json", metavar="FILE", type=argparse.FileType("w"), help="also write the results as JSON to FILE"
    )
    parser.add_argument("--no-bench", action="store_true", help="run the self-check only")
    parser.add_argument(
        "--repeats",
        type=_positive_int,
        default=None,
        metavar="N",
        help="timed runs per case, median quoted (default 3 with --quick, else 5)",
    )
    args = parser.parse_args(argv)
    # Piped output gets a wide fixed width so the table stays on one line per row.
    console = Console(width=None if sys.stdout.isatty() else 200)

    mods, errors = _machine.load_modules()
    machine = _machine.machine_info(mods)
    console.print(_machine_line(machine))

    def progress_bar():
        return Progress(
            TextColumn("{task.description:<56}"),
            BarColumn(),
            MofNCompleteColumn(),
            TimeElapsedColumn(),
            console=console,
            transient=True,
        )

    with progress_bar() as progress:
        task = progress.add_task("self-check", total=len(_machine.FUNCTIONS))
        checks = _selfcheck.run_checks(
            lambda name: progress.update(task, advance=1, description=f"check {name}"), loaded=(mods, errors)
        )
    table = Table(title="Self-check, bit for bit")
    table.add_column("function")
    table.add_column("result")
    for c in checks:
        table.add_row(c.function, "[green]exact[/green]" if c.exact else f"[red]MISMATCH[/red] {c.detail}")
    console.print(table)

    benches = []
    if not args.no_bench:
        cases = _bench.benchmark_cases(args.quick, mods, machine["simd"])
        wide_mods = _bench.all_core_modules(mods)
        wide = _bench.benchmark_cases(args.quick, wide_mods, machine["simd"]) if wide_mods else []
        if len(wide) != len(cases):
            wide = [None] * len(cases)
        repeats = args.repeats or (3 if args.quick else 5)
        with progress_bar() as progress:
            task = progress.add_task("benchmark", total=len(cases))
            for case, wide_case in zip(cases, wide, strict=True):
                progress.update(task, description=f"time {case.kernel} {case.size}")
                benches.append(_bench.run_case(case, repeats, wide_case))
                progress.advance(task)
        cpus = next((b.cpus for b in benches if b.cpus), 0)
        table = Table(title=f"Timings: median of {repeats} runs, single thread (all cores: {cpus} threads)")
        columns = ("kernel", "size", "ours", "all cores", "throughput", "SIMD path", "peer", "peer time", "ratio")
        columns += ("exact",)
        for col in columns:
            right = col in ("ours", "all cores", "throughput", "peer time", "ratio")
            table.add_column(col, justify="right" if right else "left")
        notes = []
        for b in benches:
            exact = "[green]yes[/green]" if b.exact else "[red]NO[/red]"
            if b.detail:  # kept out of the table so that its rows stay on one line
                notes.append(f"[{len(notes) + 1}] {b.kernel} {b.size}: {b.detail}")
                exact += f" [{len(notes)}]"
            table.add_row(
                b.kernel,
                b.size,
                _ms(b.ours_s),
                _all_cores(b),
                _bench.format_throughput(b.throughput, b.unit),
                b.simd_path,
                b.peer,
                _ms(b.peer_s),
                "-" if b.ratio is None else f"{b.ratio:.2f}x",
                exact,
            )
        console.print(table)
        for note in notes:
            console.print(note, markup=False)
        console.print(
            "ratio = peer time / our time (above 1: ours is faster); exact = our result bit-identical to the reference;"
            " all cores = kelpwise.accel.parallel on every CPU (speed-up over ours), its result checked too"
        )
        console.print(_bench.UNITS_NOTE)

    result = as_json(checks, benches, machine, args.quick)
    if args.json:
        with args.json as fh:
            json.dump(result, fh, indent=2)
    if not result["ok"]:
        console.print("[red bold]mismatch found[/red bold]")
        return 1
    console.print("[green bold]all kernels exact[/green bold]")
    return 0


if __name__ == "__main__":
    sys.exit(main())
