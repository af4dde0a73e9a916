"""Smoke test of an installed oculane wheel, run by the interpreter of a fresh
virtual environment outside the checkout.

It checks that the package comes from that environment and that its modules
need nothing but the system libraries the manylinux rules allow, then does
what a first user would: starts `python -m oculane.sim` as a separate process
on a free loopback address, connects, snaps a frame and compares it with the
camera's test pattern, streams for a moment, and stops everything.

    python wheel_smoke.py CHECKOUT_DIR
"""

from __future__ import annotations

import pathlib
import queue
import signal
import socket
import subprocess
import sys
import threading
import time

import numpy as np

import oculane
from oculane.sim import expected_frame

# What a module of a manylinux wheel may still link against dynamically.
ALLOWED_LIBRARIES = {"libc.so.6", "libm.so.6", "libgcc_s.so.1", "ld-linux-x86-64.so.2",
                     "libpthread.so.0", "libdl.so.2", "librt.so.1"}
STREAM_FRAMES = 30
STREAM_DEADLINE_S = 20.0

passed = 0


def check(name: str, ok: bool, detail: str = "") -> None:
    global passed
    if not ok:
        print(f"FAILED  {name}{': ' + detail if detail else ''}", flush=True)
        print(f"wheel smoke test: {passed} passed, 1 failed", flush=True)
        sys.exit(1)
    passed += 1
    print(f"ok      {name}{': ' + detail if detail else ''}", flush=True)


def needed_libraries(path: pathlib.Path) -> set[str]:
    out = subprocess.run(["readelf", "-d", str(path)], capture_output=True, text=True, check=True).stdout
    return {line.split("[", 1)[1].rstrip("]") for line in out.splitlines() if "(NEEDED)" in line}


def free_loopback_address() -> str:
    # Some other process on the machine may hold an address's GVCP port.
    for lo in range(2, 255):
        ip = f"127.0.0.{lo}"
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            try:
                probe.bind((ip, 3956))
            except OSError:
                continue
        return ip
    raise RuntimeError("no free loopback address in 127.0.0.0/24")


class VirtualCameraProcess:
    """`python -m oculane.sim` in a process of its own; its output is read by a
    thread, so that waiting for the banner has a deadline."""

    def __init__(self, ip: str) -> None:
        self.proc = subprocess.Popen([sys.executable, "-m", "oculane.sim", "--ip", ip],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines: queue.Queue[str] = queue.Queue()
        self.reader = threading.Thread(target=lambda: [self.lines.put(line) for line in self.proc.stdout])
        self.reader.start()

    def banner(self) -> list[str]:
        banner: list[str] = []
        deadline = time.monotonic() + 30.0
        while not banner or banner[-1].strip() != "serving until interrupted (Ctrl-C)":
            try:
                banner.append(self.lines.get(timeout=max(0.0, deadline - time.monotonic())))
            except queue.Empty:
                self.proc.kill()
                raise SystemExit(f"the virtual camera did not start: {banner} {self.proc.stderr.read()}")
        return banner

    def interrupt(self) -> tuple[int, list[str], str]:
        """Stops it as Ctrl-C would; its exit code, its last lines and stderr."""
        self.proc.send_signal(signal.SIGINT)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.reader.join()
        rest = []
        while not self.lines.empty():
            rest.append(self.lines.get())
        return self.proc.returncode, rest, self.proc.stderr.read()


def main() -> None:
    checkout = pathlib.Path(sys.argv[1]).resolve()
    package = pathlib.Path(oculane.__file__).resolve().parent
    check("imported from the environment, not the checkout",
          checkout not in package.parents and pathlib.Path(sys.prefix).resolve() in package.parents, str(package))

    modules = sorted(package.glob("_*.so"))
    check("both extension modules installed", {m.name.split(".")[0] for m in modules} == {"_oculane_core", "_sim"},
          ", ".join(m.name for m in modules))
    for module in modules:
        needed = needed_libraries(module)
        check(f"{module.name.split('.')[0]} needs only system libraries", needed <= ALLOWED_LIBRARIES,
              " ".join(sorted(needed)))

    ip = free_loopback_address()
    device = VirtualCameraProcess(ip)
    try:
        banner = device.banner()
        check("python -m oculane.sim serves", banner[0].strip() == f"virtual camera on {ip}:3956", banner[0].strip())

        cam = oculane.Camera(ip)
        cam.connect()
        info = cam.device_info()
        check("connect", info.model == "VirtualCamera", repr(info))

        cam.set_enum("PixelFormat", "Mono8")
        cam.set_integer("Width", 320)
        cam.set_integer("Height", 240)
        frame = cam.snap(timeout=5.0)
        pixels = frame.array()
        expected = np.frombuffer(expected_frame(frame.frame_id, 320, 240, "Mono8"), np.uint8).reshape(240, 320)
        check("snap matches the test pattern", frame.is_complete and np.array_equal(pixels, expected), repr(frame))

        complete = 0
        with cam.start_acquisition() as acq:
            deadline = time.monotonic() + STREAM_DEADLINE_S
            while complete < STREAM_FRAMES and time.monotonic() < deadline:
                f = acq.wait_for(1.0)
                if f is not None and f.is_complete:
                    complete += 1
            stats = acq.stats()
        check(f"stream of {STREAM_FRAMES} frames", complete == STREAM_FRAMES,
              f"{complete} complete, {stats.failed_frames} failed")
        cam.disconnect()
    finally:
        code, last_lines, err = device.interrupt()
    check("virtual camera stopped on SIGINT", code == 0 and bool(last_lines) and last_lines[-1].strip() == "stopped",
          f"exit {code} {err.strip()}")
    print(f"wheel smoke test: {passed} passed, 0 failed", flush=True)


if __name__ == "__main__":
    main()
