"""python -m kelpwise.accel: check every kernel against a plain NumPy
reference, then time it against the best alternative installed.

Exit status 0 when every function is exact, 1 on any mismatch.
"""

import argparse
import json
import sys

from rich.console import Console
from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn
from rich.table import Table

from . import _selfcheck


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kelpwise.accel", description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes: a run of a few seconds")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON to FILE")
    parser.add_argument("--no-bench", action="store_true", help="run the self-check only")
    parser.add_argument("--repeats", type=int, default=None, help="timed runs per case (median quoted)")
    args = parser.parse_args(argv)
    console = Console()
    cpu = _selfcheck.cpu_info()
    console.print(f"[bold]kelpwise.accel[/bold] on {cpu['model']} ({', '.join(cpu['features']) or 'no SIMD flags'})")

    progress = Progress(TextColumn("{task.description:<48}"), BarColumn(), MofNCompleteColumn(),
                        TimeElapsedColumn(), console=console, transient=True)
    with progress:
        task = progress.add_task("self-check", total=11)
        checks = _selfcheck.run_checks(lambda name: progress.update(task, advance=1, description=f"check {name}"))
        progress.update(task, completed=11)
    table = Table(title="Self-check against plain NumPy references")
    table.add_column("function")
    table.add_column("result")
    for c in checks:
        table.add_row(c.function, "[green]exact[/green]" if c.exact else f"[red]MISMATCH[/red] {c.detail}")
    console.print(table)

    benches = []
    if not args.no_bench and all(c.function != "import" for c in checks):
        cases = len(_selfcheck.benchmark_cases(args.quick))
        with progress:
            task = progress.add_task("benchmark", total=cases)
            benches = _selfcheck.run_benchmarks(
                args.quick, args.repeats, lambda name: progress.update(task, advance=1, description=name))
        table = Table(title="Timings (median, single thread)")
        for col in ("kernel", "size", "ours", "peer", "peer time", "ratio", "exact"):
            table.add_column(col, justify="right" if col in ("ours", "peer time", "ratio") else "left")
        for b in benches:
            exact = {True: "[green]yes[/green]", False: "[red]NO[/red]", None: "-"}[b.exact]
            table.add_row(b.kernel, b.size, f"{b.ours_s * 1e3:.2f} ms", b.peer,
                          f"{b.peer_s * 1e3:.2f} ms", f"{b.ratio:.2f}x", exact)
        console.print(table)
        console.print("ratio = peer time / our time (above 1: ours is faster)")

    result = _selfcheck.as_json(checks, benches, cpu)
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(result, fh, indent=2)
    if not result["ok"]:
        console.print("[red bold]mismatch found[/red bold]")
        return 1
    console.print("[green bold]all kernels exact[/green bold]")
    return 0


if __name__ == "__main__":
    sys.exit(main())
