"""Reads every value feature of every description in shared/genicam-corpus
through a virtual camera serving that file (a permissive register space that
reads zeros), one getter per node kind, and prints how many readings
succeed. With --save FILE the readings (value or error text) are written as
JSON; with --compare FILE the readings are compared with a saved run and the
changes are listed.

    .venv/bin/python scripts/corpus_scan.py --save /tmp/before.json
    .venv/bin/python scripts/corpus_scan.py --compare /tmp/before.json
"""

from __future__ import annotations

import argparse
import json
import pathlib
import re
import sys

import oculane
from oculane import Camera, sim

GETTER = {
    "Integer": "get_integer",
    "IntReg": "get_integer",
    "MaskedIntReg": "get_integer",
    "StructEntry": "get_integer",
    "IntSwissKnife": "get_integer",
    "IntConverter": "get_integer",
    "Float": "get_float",
    "FloatReg": "get_float",
    "SwissKnife": "get_float",
    "Converter": "get_float",
    "Boolean": "get_boolean",
    "Enumeration": "get_enum",
    "String": "get_string",
    "StringReg": "get_string",
}
# Bounds are read too, and reported apart from the value readings.
BOUNDS = {"Integer": "integer_bounds", "Float": "float_bounds"}
BOUNDS_SUFFIX = " (bounds)"
FULL_RANGE = re.compile(r"^ok \((-9223372036854775808, 9223372036854775807|-1\.7976931348623157e\+308, 1\.7976931348623157e\+308)\)$")
ELEMENT = re.compile(r'<(' + "|".join(GETTER) + r')\s+Name="([^"]+)"')


def corpus_dir() -> pathlib.Path | None:
    for parent in pathlib.Path(__file__).resolve().parents:
        d = parent / "shared" / "genicam-corpus"
        if d.is_dir():
            return d
    return None


def scan_file(path: pathlib.Path, ip: str) -> dict[str, str] | str:
    text = path.read_text(encoding="utf-8", errors="replace")
    kinds: dict[str, str] = {}
    for kind, name in ELEMENT.findall(text):
        kinds[name] = kind  # a duplicate name reaches the node appended last
    readings: dict[str, str] = {}
    with sim.VirtualCamera(ip, description_file=path) as device:
        camera = Camera(device.ip)
        try:
            camera.connect()
        except oculane.GenicamException as e:
            camera.disconnect()
            return f"not loaded: {e}"
        try:
            for name, kind in kinds.items():
                if not camera.has_feature(name):
                    continue  # inside a vendor extension, not a node
                try:
                    value = getattr(camera, GETTER[kind])(name)
                    readings[name] = f"ok {value!r}"
                except (oculane.GenicamException, oculane.CameraException) as e:
                    readings[name] = f"error {e}"
                bounds = BOUNDS.get(kind)
                if bounds:
                    try:
                        readings[name + BOUNDS_SUFFIX] = f"ok {getattr(camera, bounds)(name)!r}"
                    except (oculane.GenicamException, oculane.CameraException) as e:
                        readings[name + BOUNDS_SUFFIX] = f"error {e}"
        finally:
            camera.disconnect()
    return readings


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ip", default="127.0.97.2")
    parser.add_argument("--save")
    parser.add_argument("--compare")
    args = parser.parse_args()
    d = corpus_dir()
    if d is None:
        print("shared/genicam-corpus not found above this script", file=sys.stderr)
        return 2
    results: dict[str, dict[str, str] | str] = {}
    total = ok = bounded = 0
    for path in sorted(d.glob("*.xml")):
        r = scan_file(path, args.ip)
        results[path.name] = r
        if isinstance(r, str):
            print(f"{path.name}: {r}")
            continue
        values = {k: v for k, v in r.items() if not k.endswith(BOUNDS_SUFFIX)}
        good = sum(1 for v in values.values() if v.startswith("ok "))
        total += len(values)
        ok += good
        full = sum(1 for k, v in r.items() if k.endswith(BOUNDS_SUFFIX) and FULL_RANGE.search(v))
        bounded += sum(1 for k in r if k.endswith(BOUNDS_SUFFIX)) - full
        print(f"{path.name}: {good} of {len(values)}; {full} Integer/Float bounds are the full range")
    print(f"total: {ok} of {total} readings succeed; {bounded} bounds narrower than the full range")
    if args.save:
        pathlib.Path(args.save).write_text(json.dumps(results, indent=1, sort_keys=True))
    if args.compare:
        before = json.loads(pathlib.Path(args.compare).read_text())
        changed = 0
        for file, now in results.items():
            then = before.get(file)
            if isinstance(now, str) or isinstance(then, str) or then is None:
                if now != then:
                    print(f"{file}: {then!r} -> {now!r}")
                continue
            for name in sorted(set(now) | set(then)):
                if now.get(name) != then.get(name):
                    changed += 1
                    print(f"{file} {name}: {then.get(name)} -> {now.get(name)}")
        print(f"changed readings: {changed}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
