"""The interpreter exiting while the library is busy: a daemon thread that
iterates an acquisition or waits in wait_for, or an acquisition or snapshot
session left open on a camera that has lost power. The process must end
normally, with its buffered output written, and soon."""

from __future__ import annotations

import subprocess
import sys
import time

import pytest

RUNS = 10

SCRIPT = r"""
import sys, threading, time
import oculane
from oculane.sim import VirtualCamera

ip, mode = sys.argv[1], sys.argv[2]
vc = VirtualCamera(ip, width=64, height=16).start()
cam = oculane.Camera(ip)  # default waits: a camera that is gone would cost seconds per command
cam.connect()
cam.set_float("AcquisitionFrameRate", 200.0)
if mode in ("iterating", "waiting"):
    acq = cam.start_acquisition()
    flowing = threading.Event()

    def consume():
        if mode == "iterating":
            for _ in acq:
                flowing.set()
        else:
            while True:
                if acq.wait_for(1.0) is not None:
                    flowing.set()

    threading.Thread(target=consume, daemon=True).start()
    flowing.wait(10)
elif mode == "open acquisition":
    acq = cam.start_acquisition()
    vc.power_off()
else:
    session = cam.snapshot_session()
    vc.power_off()
# Left in the buffer on purpose: an abort at exit would lose it.
sys.stdout.write(f"leaving at {time.time()!r}\n")
"""


@pytest.mark.parametrize("mode, limit", [("iterating", None), ("waiting", None),
                                         ("open acquisition", 1.0), ("open session", 1.0)])
def test_exit_is_clean_and_prompt(camera_ip, mode, limit):
    for run in range(RUNS):
        proc = subprocess.run([sys.executable, "-c", SCRIPT, camera_ip, mode], capture_output=True, text=True,
                              timeout=60)
        ended = time.time()
        assert proc.returncode == 0, f"run {run}: exit status {proc.returncode}\n{proc.stderr[-2000:]}"
        assert "terminate called" not in proc.stderr
        lines = [line for line in proc.stdout.splitlines() if line.startswith("leaving at ")]
        assert len(lines) == 1, f"run {run}: output lost: {proc.stdout!r}"
        if limit is not None:
            # From the script's last line to the process's end: the releases
            # of the acquisition or session, the camera and the interpreter.
            assert ended - float(lines[0].split()[-1]) < limit, f"run {run}"
