"""The type stubs cannot drift from the modules: mypy's stubtest compares
them with the imported modules."""

import subprocess
import sys
from pathlib import Path

import pytest

from support import MODULES

ROOT = Path(__file__).resolve().parents[1]
# The four modules and the lock-free one of kelpwise.accel.parallel.
STUBBED = [*MODULES, "_parallel"]


def test_stubs_match_the_modules(tmp_path):
    pytest.importorskip("mypy")
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\nmypy_path = {ROOT}\ncache_dir = {tmp_path / 'cache'}\n")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config),
         "--allowlist", str(ROOT / ".ci" / "stubtest-allowlist.txt"), *("kelpwise.accel." + m for m in STUBBED)],
        capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_stubs_and_marker_ship_with_the_package():
    accel = ROOT / "kelpwise" / "accel"
    assert (ROOT / "kelpwise" / "py.typed").exists()
    assert sorted(p.stem for p in accel.glob("*.pyi")) == sorted(STUBBED)
