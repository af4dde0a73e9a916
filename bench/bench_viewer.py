"""The live viewer against a 1920x1080 Mono8 stream at 60 frames/s from the
virtual camera on loopback: the stream's completeness with the viewer's page
open in headless Chromium, beside the same stream read by a plain loop and
by the viewer with no page. Prints frames/s of the camera and of the images
the page was sent, and the stream's complete, failed and dropped frames.
Needs the viewer extra and Debian's chromium (skipped without them)."""

from __future__ import annotations

import shutil
import subprocess
import sys
import tempfile
import time

import oculane
from oculane.sim import VirtualCamera

IP = "127.0.9.2"
WIDTH, HEIGHT, RATE, SECONDS = 1920, 1080, 60.0, 8.0


def _plain(camera: oculane.Camera) -> dict:
    with camera.start_acquisition() as acq:
        end = time.monotonic() + SECONDS
        while time.monotonic() < end:
            acq.recv_all() or acq.wait_for(0.1)
        stats = acq.stats()
    return {"completed": stats.completed_frames, "failed": stats.failed_frames,
            "kernel_drops": stats.kernel_drops, "shown": 0}


def _viewer(camera: oculane.Camera, browser: str | None) -> dict:
    with oculane.view(camera, block=False, browser=False) as viewer, tempfile.TemporaryDirectory() as profile:
        page = None
        if browser:
            page = subprocess.Popen([browser, "--headless", "--no-sandbox", "--disable-gpu", "--mute-audio",
                                     f"--user-data-dir={profile}", "--window-size=1440,900", viewer.url],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            # The page needs a moment to load; count from its first image on.
            deadline = time.monotonic() + 30
            while browser and viewer.status()["shown"] == 0 and time.monotonic() < deadline:
                time.sleep(0.1)
            start = viewer.status()
            time.sleep(SECONDS)
            end = viewer.status()
        finally:
            if page:
                page.terminate()
                page.wait()
    return {key: end.get(key, 0) - start.get(key, 0) for key in ("completed", "failed", "kernel_drops", "shown")}


def main() -> int:
    try:
        import aiohttp  # noqa: F401
        import PIL  # noqa: F401
    except ImportError:
        print("skipped: the viewer extra is not installed (pip install 'oculane[viewer]')")
        return 0
    browser = shutil.which("chromium")
    if browser is None:
        print("skipped: no headless browser (Debian's chromium)")
        return 0
    print(f"{WIDTH}x{HEIGHT} Mono8 at {RATE:g} frames/s, {SECONDS:g} s each")
    print(f"  {'reader':22} {'frames/s':>9} {'shown/s':>8} {'complete':>9} {'failed':>7} {'kernel drops':>13}")
    with VirtualCamera(IP, sensor_width=WIDTH, sensor_height=HEIGHT, width=WIDTH, height=HEIGHT) as _, \
            oculane.Camera(IP) as camera:
        camera.set("AcquisitionFrameRate", RATE)
        for name, run in [("plain loop", lambda: _plain(camera)), ("viewer, no page", lambda: _viewer(camera, None)),
                          ("viewer, page open", lambda: _viewer(camera, browser))]:
            r = run()
            print(f"  {name:22} {r['completed'] / SECONDS:9.1f} {r['shown'] / SECONDS:8.1f} {r['completed']:9d} "
                  f"{r['failed']:7d} {r['kernel_drops']:13d}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
