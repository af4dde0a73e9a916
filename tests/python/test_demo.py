"""`make demo` (scripts/demo.py) runs end to end on its virtual camera."""

from __future__ import annotations

import importlib.util
import socket
import subprocess
import sys
from pathlib import Path

import pytest

DEMO = Path(__file__).resolve().parents[2] / "scripts" / "demo.py"


def _address_free(ip: str) -> bool:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.bind((ip, 3956))
        except OSError:
            return False
    return True


def test_demo_shows_what_the_camera_serves_and_talks_to_it(tmp_path: Path) -> None:
    if not _address_free("127.0.0.2"):
        pytest.skip("127.0.0.2:3956, the demo's fixed address, is held by another process")
    done = subprocess.run([sys.executable, str(DEMO), "--seconds", "1", "--out", str(tmp_path)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "virtual camera on 127.0.0.2:3956"
    assert lines[2].startswith("  first URL:  Local:oculane-virtual-camera.zip;100000;")
    assert any(line.startswith("connected to oculane VirtualCamera, serial OCL7F000002") for line in lines)
    assert "(PayloadSize now 153600)" in done.stdout  # Width 320 x Height 480, Mono8
    # It takes images: a snap checked against the test pattern and saved (when
    # the imaging extra is there), a stream with its counters, three session snaps.
    assert "identical to the camera's test pattern" in done.stdout
    if importlib.util.find_spec("PIL") is not None:
        assert (tmp_path / "snap.png").is_file()
    assert any(line.startswith("  StreamStats { packets: ") for line in lines)
    assert sum("-> Frame(id=" in line and "Complete, 640x480 Mono8" in line for line in lines) == 3
    assert lines[-1].startswith("disconnected after ")
