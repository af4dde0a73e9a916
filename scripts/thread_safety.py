#!/usr/bin/env python3
"""Clang's thread-safety analysis over our sources (`make thread-safety`).

Every translation unit of src/, sim/, tests/ and bench/ in the build tree's
compile_commands.json is checked with clang's -fsyntax-only (nothing is
compiled or linked) and -Wthread-safety as an error; our other warnings are
GCC's business (-Werror in CI). The standard library is GCC's libstdc++, as
in the real build: libc++ 16 has no std::move_only_function. Clang 16 reports
concepts support as 201907L while libstdc++ 12 makes <expected> wait for
202002L, though clang 16 compiles that <expected>; the macro is set to
the later value for the check.

Exit status 1 when any unit has an analysis finding (or does not compile).
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import os
import pathlib
import shlex
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
OURS = ("src/", "sim/", "tests/", "bench/")
CHECK_FLAGS = ["-fsyntax-only", "-U__cpp_concepts", "-D__cpp_concepts=202002L",
               "-Wthread-safety", "-Wthread-safety-beta", "-Werror=thread-safety", "-Werror=thread-safety-beta"]


def clang_command(entry: dict, clang: str) -> list[str]:
    args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    out = [clang]
    skip = False
    for a in args[1:]:
        if skip:
            skip = False
            continue
        if a in ("-o", "-c"):
            skip = a == "-o"
            continue
        if a.startswith("-W") or a == entry["file"]:
            continue  # GCC's warning set; the unit is added below
        if a == "-std=c++23":
            a = "-std=c++2b"  # clang 16's name for it
        out.append(a)
    return out + CHECK_FLAGS + [entry["file"]]


def check(entry: dict, clang: str) -> tuple[str, int, str]:
    proc = subprocess.run(clang_command(entry, clang), cwd=entry["directory"], capture_output=True, text=True)
    return entry["file"], proc.returncode, proc.stderr


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("compile_commands", type=pathlib.Path)
    parser.add_argument("--clang", default="clang++-16")
    parser.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("only", nargs="*", help="check only the sources whose path contains one of these")
    args = parser.parse_intermixed_args()

    entries = []
    seen = set()
    for e in json.loads(args.compile_commands.read_text()):
        rel = os.path.relpath(e["file"], ROOT)
        # One check per file (a source in two targets is the same code).
        if rel.startswith(OURS) and rel not in seen and (not args.only or any(o in rel for o in args.only)):
            seen.add(rel)
            entries.append(e)
    if not entries:
        print(f"no sources of ours in {args.compile_commands}", file=sys.stderr)
        return 1

    failed = 0
    findings = 0
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for file, rc, err in pool.map(lambda e: check(e, args.clang), entries):
            findings += sum(1 for line in err.splitlines() if "-Wthread-safety" in line)
            if rc != 0:
                failed += 1
                sys.stderr.write(err)
    print(f"thread-safety analysis: {len(entries)} files, {findings} findings, {failed} failing")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
