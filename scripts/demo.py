"""Start a virtual camera on loopback and use it the way an application uses a
camera: show its identity and features, change a few of them, take one image
and check it pixel by pixel, save it as a PNG, stream for a few seconds with a
live status line, and take three snaps in a snapshot session with a setting
changed between them. No root needed."""

from __future__ import annotations

import argparse
import os
import pathlib
import re
import sys
import textwrap
import time

import numpy as np

import oculane
from oculane import AccessMode, Camera
from oculane.sim import VirtualCamera, describe, expected_frame

CAMERA_IP = "127.0.0.2"
FEATURE = re.compile(r"<(Integer|Float|Boolean|Enumeration|String|StringReg|Command)\s+Name=\"([^\"]+)\"")
MODES = {int(AccessMode.RO): "RO", int(AccessMode.WO): "WO", int(AccessMode.RW): "RW"}
OUT_DIR = pathlib.Path(__file__).resolve().parent.parent / "build" / "demo"

# The image the demo takes.
WIDTH, HEIGHT, PIXEL_FORMAT, FRAME_RATE = 640, 480, "Mono8", 100.0


def read(camera: Camera, kind: str, name: str, mode: str) -> str:
    try:
        if kind == "Integer":
            value = camera.get_integer(name)
            if mode != "RW":
                return f"{value}"  # a range says what may be written
            lo, hi = camera.integer_bounds(name)
            return f"{value}" + (f"  [{lo}..{hi}]" if hi < 2**63 - 1 else "")
        if kind == "Float":
            return f"{camera.get_float(name):.6g}"
        if kind == "Boolean":
            return str(camera.get_boolean(name))
        if kind == "Enumeration":
            return f"{camera.get_enum(name)}  of {', '.join(camera.enum_entries(name))}"
        if kind in ("String", "StringReg"):
            return repr(camera.get_string(name))
        return "(command)"
    except (oculane.CameraException, oculane.GenicamException) as e:
        return f"<{e}>"


def show_features(camera: Camera, device: VirtualCamera) -> None:
    features = FEATURE.findall(device.description)
    print(f"\n{len(features)} features:")
    print(f"  {'feature':28} {'kind':12} {'mode':4}  value")
    for kind, name in features:
        mode = MODES[int(camera.access_mode(name))]
        print(f"  {name:28} {kind:12} {mode:4}  {read(camera, kind, name, mode)}")


def change_settings(camera: Camera) -> None:
    print("\nchanging settings:")
    camera.set_integer("Width", 320)
    print(f"  Width        := 320      -> {camera.get_integer('Width')}"
          f" (PayloadSize now {camera.get_integer('PayloadSize')})")
    camera.set_float("ExposureTime", 2500.0)
    print(f"  ExposureTime := 2500.0   -> {camera.get_float('ExposureTime'):.6g} us")
    formats = camera.enum_entries("PixelFormat")
    target = formats[-1]
    camera.set_enum("PixelFormat", target)
    print(f"  PixelFormat  := {target:8} -> {camera.get_enum('PixelFormat')}"
          f" (PayloadSize now {camera.get_integer('PayloadSize')})")


def configure(camera: Camera) -> None:
    print(f"\nconfiguring the image: {WIDTH}x{HEIGHT} {PIXEL_FORMAT} at {FRAME_RATE:g} frames/s")
    camera.set_enum("PixelFormat", PIXEL_FORMAT)
    camera.set_integer("Width", WIDTH)
    camera.set_integer("Height", HEIGHT)
    camera.set_float("AcquisitionFrameRate", FRAME_RATE)
    print(f"  PayloadSize is now {camera.get_integer('PayloadSize')} bytes a frame")


def save_png(pixels: np.ndarray, path: pathlib.Path) -> str:
    try:
        from PIL import Image
    except ImportError:
        return "not saved: the PNG needs the demo extra (pip install 'oculane[demo]')"
    path.parent.mkdir(parents=True, exist_ok=True)
    Image.fromarray(pixels).save(path)
    return f"saved as {os.path.relpath(path)}"


def snap_one(camera: Camera, out_dir: pathlib.Path) -> None:
    print("\nsnap(): one frame on a stream opened and closed for it")
    frame = camera.snap(timeout=2.0)
    print(f"  {frame!r}")
    pixels = frame.array()  # a read-only view of the frame's buffer, no copy
    expected = np.frombuffer(expected_frame(frame.frame_id, WIDTH, HEIGHT, PIXEL_FORMAT), np.uint8)
    same = np.array_equal(pixels.reshape(-1), expected)
    print(f"  pixels {pixels.shape} {pixels.dtype}, mean {pixels.mean():.1f}: "
          + ("identical to the camera's test pattern" if same else "DIFFERENT from the test pattern"))
    if not same:
        raise SystemExit("the snapped frame does not match the test pattern")
    print(f"  {save_png(pixels, out_dir / 'snap.png')}")


def status_line(stats: oculane.StreamStats, elapsed: float, mbps: float) -> str:
    return (f"  {elapsed:4.1f} s  {stats.completed_frames / elapsed:6.1f} frames/s  {mbps:6.1f} MB/s  "
            f"complete {stats.completed_frames}  failed {stats.failed_frames}  "
            f"resent {stats.resent_packets}  kernel drops {stats.kernel_drops}")


def stream(camera: Camera, device: VirtualCamera, seconds: float) -> None:
    print(f"\nstreaming for {seconds:g} s, every frame read as a numpy array; the virtual camera loses")
    print("one packet in 2000 on purpose, and the receiver asks for each one again:")
    device.stream_fault("loss", ratio=0.0005)
    live = sys.stdout.isatty()  # one line rewritten in place, else a line a second
    frames = pixels_seen = 0
    with camera.start_acquisition(n_buffers=16) as acq:
        start = last = time.monotonic()
        last_bytes = 0
        while True:
            now = time.monotonic()
            done = now - start >= seconds
            if done or now - last >= (0.25 if live else 1.0):
                s = acq.stats()
                line = status_line(s, now - start, (s.bytes - last_bytes) / (now - last) / 1e6)
                print("\r" + line if live else line, end="" if live else "\n", flush=True)
                last, last_bytes = now, s.bytes
            if done:
                break
            frame = acq.wait_for(0.25)
            if frame is not None and frame.is_complete:
                pixels = frame.array()  # no copy: a view of the frame's buffer
                frames += 1
                pixels_seen += pixels.size
        stats = acq.stats()
    device.clear_stream_faults()
    if live:
        print()
    print(f"  Python took {frames} complete frames ({pixels_seen / 1e6:.1f} M pixels). The stream's counters:")
    print(textwrap.fill(repr(stats), width=100, initial_indent="  ", subsequent_indent="    "))


def snapshot_session(camera: Camera) -> None:
    print("\nsnapshot session: the stream stays open, the camera sends one frame per snap()")
    print(f"  AcquisitionMode is {camera.get_enum('AcquisitionMode')}")
    with camera.snapshot_session() as session:
        print(f"  AcquisitionMode is {camera.get_enum('AcquisitionMode')} while the session is open")
        for exposure in (1000.0, 4000.0, 16000.0):
            camera.set_float("ExposureTime", exposure)  # features stay usable between snaps
            frame = session.snap(timeout=2.0)
            print(f"  ExposureTime {exposure:7.0f} us -> {frame!r}")
    print(f"  closed: AcquisitionMode back to {camera.get_enum('AcquisitionMode')}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--seconds", type=float, default=3.0, help="how long to stream (default 3)")
    parser.add_argument("--out", type=pathlib.Path, default=OUT_DIR, help=f"where the PNG goes (default {OUT_DIR})")
    args = parser.parse_args()

    with VirtualCamera(CAMERA_IP) as device:
        print(describe(device))
        print()
        camera = Camera(CAMERA_IP)
        camera.connect()
        info = camera.device_info()
        print(f"connected to {info.manufacturer} {info.model}, serial {info.serial}, "
              f"version {info.device_version}, at {info.ip} ({info.mac})")

        show_features(camera, device)
        change_settings(camera)
        configure(camera)
        snap_one(camera, args.out)
        stream(camera, device, args.seconds)
        snapshot_session(camera)

        stats = camera.link_stats()
        camera.disconnect()
        print(f"\ndisconnected after {stats.commands} commands ({stats.retries} retries)")


if __name__ == "__main__":
    main()
