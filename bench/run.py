"""Runs every benchmark script in this folder (bench_*.py) and every compiled
benchmark binary that the build put in build/py/bench/, in name order."""

import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent


def main() -> int:
    failed = 0
    for script in sorted(HERE.glob("bench_*.py")):
        print(f"== {script.name}", flush=True)
        failed |= subprocess.call([sys.executable, str(script)]) != 0
    bindir = ROOT / "build" / "py" / "bench"
    if bindir.is_dir():
        for exe in sorted(p for p in bindir.iterdir() if p.is_file() and p.name.startswith("bench_")):
            print(f"== {exe.name}", flush=True)
            failed |= subprocess.call([str(exe)], cwd=ROOT) != 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
