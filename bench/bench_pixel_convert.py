"""Pixel conversions against OpenCV's cvtColor on the same frames.

For each format, one 1920x1080 frame from the virtual camera; our
conversion (`frame.to_rgb(out)`, `frame.to_mono8(out)`, `frame.array()`
for packed formats) and OpenCV's on the frame's array, both into arrays made
beforehand where the call allows it; the best of several rounds of each. The
ratio is ours / OpenCV (below 1: ours is faster). Where the method is the
same the outputs are compared pixel by pixel (max difference; Bayer on
interior pixels only, since border handling differs). OpenCV's Bayer codes
are named after a different pixel of the mosaic than the GenICam names:
the code matching each order is found here, by trying the four on the test
pattern. OpenCV is installed for `make bench` only. Figures and ratios only;
nothing is asserted."""

from __future__ import annotations

import time

import numpy as np

import oculane
from oculane.sim import VirtualCamera

IP = "127.43.0.9"
WIDTH, HEIGHT = 1920, 1080
ROUNDS = 15


def best_of(fn) -> float:
    fn()
    best = float("inf")
    for _ in range(ROUNDS):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def grab(camera: oculane.Camera, fmt: str) -> oculane.Frame:
    camera.set_enum("PixelFormat", fmt)
    return camera.snap(timeout=10.0)


def interior(a: np.ndarray) -> np.ndarray:
    return a[2:-2, 2:-2]


def row(name: str, ours: float, theirs: float | None, diff: str) -> None:
    ratio = f"{ours / theirs:5.2f}x" if theirs else "   - "
    cv = f"{theirs * 1e3:7.2f}" if theirs else "      -"
    print(f"  {name:34s} {ours * 1e3:7.2f} ms  {cv} ms  {ratio}  {diff}", flush=True)


def main() -> None:
    try:
        import cv2
    except ImportError:
        print("  OpenCV (cv2) is not installed: `make bench` installs opencv-python-headless")
        return
    cv2.setNumThreads(1)  # ours runs on the calling thread alone
    print(f"  {WIDTH}x{HEIGHT}, best of {ROUNDS}; OpenCV {cv2.__version__}, one thread")
    print(f"  {'conversion':34s} {'ours':>10s}  {'OpenCV':>10s}  ours/OpenCV  max difference")
    rgb = np.empty((HEIGHT, WIDTH, 3), np.uint8)
    grey = np.empty((HEIGHT, WIDTH), np.uint8)
    with VirtualCamera(IP, sensor_width=WIDTH, sensor_height=HEIGHT, width=WIDTH, height=HEIGHT) as _device:
        camera = oculane.Camera(IP)
        camera.connect()
        try:
            # Bayer: which OpenCV code matches each GenICam order, by experiment.
            codes = {name: getattr(cv2, f"COLOR_Bayer{name}2RGB") for name in ("RG", "GR", "GB", "BG")}
            for order in ("RG", "GR", "GB", "BG"):
                fmt = f"Bayer{order}8"
                frame = grab(camera, fmt)
                mosaic = frame.array()
                ours_rgb = frame.to_rgb()
                diffs = {name: int(np.abs(interior(cv2.cvtColor(mosaic, code)).astype(int)
                                          - interior(ours_rgb)).max()) for name, code in codes.items()}
                match = min(diffs, key=diffs.get)
                print(f"  {fmt} matches OpenCV COLOR_Bayer{match}2RGB (interior max differences {diffs})")
                t_ours = best_of(lambda: frame.to_rgb(rgb))
                t_cv = best_of(lambda: cv2.cvtColor(mosaic, codes[match], dst=rgb))
                row(f"{fmt} -> RGB (bilinear)", t_ours, t_cv, f"{diffs[match]} (interior)")
                if order == "RG":
                    gcode = getattr(cv2, f"COLOR_Bayer{match}2GRAY")
                    d = np.abs(interior(cv2.cvtColor(mosaic, gcode)).astype(int) - interior(frame.to_mono8())).max()
                    row(f"{fmt} -> mono8", best_of(lambda: frame.to_mono8(grey)),
                        best_of(lambda: cv2.cvtColor(mosaic, gcode, dst=grey)), f"{d} (interior)")
                    bayer_code = codes[match]

            frame = grab(camera, "BayerRG12p")
            t_ours = best_of(lambda: frame.to_rgb(rgb))
            # OpenCV has no packed input: unpack (ours), scale and demosaic.
            t_cv = best_of(lambda: cv2.cvtColor((frame.array() >> 4).astype(np.uint8), bayer_code, dst=rgb))
            row("BayerRG12p -> RGB", t_ours, t_cv, "- (OpenCV after our unpacking)")

            for fmt, code in (("RGB8", None), ("BGR8", cv2.COLOR_BGR2RGB), ("RGBa8", cv2.COLOR_RGBA2RGB),
                              ("BGRa8", cv2.COLOR_BGRA2RGB)):
                frame = grab(camera, fmt)
                src = frame.array()
                if code is None:
                    row(f"{fmt} -> RGB (copy)", best_of(lambda: frame.to_rgb(rgb)),
                        best_of(lambda: np.copyto(rgb, src)), "0 (numpy copy)")
                    continue
                d = np.abs(cv2.cvtColor(src, code).astype(int) - frame.to_rgb()).max()
                row(f"{fmt} -> RGB", best_of(lambda: frame.to_rgb(rgb)),
                    best_of(lambda: cv2.cvtColor(src, code, dst=rgb)), str(d))
            frame = grab(camera, "RGB8")
            src = frame.array()
            d = np.abs(cv2.cvtColor(src, cv2.COLOR_RGB2GRAY).astype(int) - frame.to_mono8()).max()
            row("RGB8 -> mono8", best_of(lambda: frame.to_mono8(grey)),
                best_of(lambda: cv2.cvtColor(src, cv2.COLOR_RGB2GRAY, dst=grey)), str(d))

            for fmt, code in (("YUV422_8", cv2.COLOR_YUV2RGB_YUYV), ("YUV422_8_UYVY", cv2.COLOR_YUV2RGB_UYVY)):
                frame = grab(camera, fmt)
                src = frame.array()
                # OpenCV reads 4:2:2 as video range: compared with ours in that range.
                diff = np.abs(cv2.cvtColor(src, code).astype(int) - frame.to_rgb(yuv_range="video")).max(axis=2)
                # OpenCV clips Y below 16 first; compared apart on pixels inside the video range.
                y = src[..., 1 if fmt.endswith("UYVY") else 0]
                inside = (y >= 16) & (y <= 235)
                row(f"{fmt} -> RGB (video range)", best_of(lambda: frame.to_rgb(rgb, yuv_range="video")),
                    best_of(lambda: cv2.cvtColor(src, code, dst=rgb)),
                    f"{diff.max()}; {diff[inside].max()} where 16 <= Y <= 235")
                row(f"{fmt} -> RGB (full range)", best_of(lambda: frame.to_rgb(rgb)), None, "")

            for fmt in ("Mono12", "Mono12p", "Mono10p", "Mono12Packed"):
                frame = grab(camera, fmt)
                if fmt == "Mono12":
                    src = frame.array()
                    d = np.abs((src >> 4).astype(int) - frame.to_mono8()).max()
                    row("Mono12 -> mono8", best_of(lambda: frame.to_mono8(grey)),
                        best_of(lambda: cv2.convertScaleAbs(src, dst=grey, alpha=1 / 16)), f"{d} (OpenCV rounds)")
                    continue
                row(f"{fmt} array() (unpack)", best_of(frame.array), None, "")
        finally:
            camera.disconnect()


if __name__ == "__main__":
    main()
