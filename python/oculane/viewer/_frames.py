"""What the viewer does with a frame: take the newest one a stream has, turn
it into 8-bit pixels for the screen, count its histogram, and encode it.

These are the only places the viewer touches frames, so that a faster way of
doing any of them (a subscription that keeps only the newest frame, a
conversion done in the core) replaces one function here and nothing else.
"""

from __future__ import annotations

import io
import re
from typing import Protocol

import numpy as np

from .. import _oculane_core as _core


class FrameSource(Protocol):
    """What frames are taken from: an `Acquisition` or a `FrameChannel`."""

    def wait_for(self, timeout: float) -> _core.Frame | None: ...

    def recv_all(self) -> list[_core.Frame]: ...


def newest_frame(source: FrameSource, timeout: float) -> tuple[_core.Frame | None, int]:
    """The newest complete frame the source holds, waiting at most `timeout`
    seconds for a frame, and how many frames were taken. The others are let
    go at once, so their buffers return to the stream's pool."""
    first = source.wait_for(timeout)
    if first is None:
        return None, 0
    taken = [first, *source.recv_all()]
    newest = next((f for f in reversed(taken) if f.is_complete), None)
    return newest, len(taken)


def _significant_bits(pixel_format: str) -> int:
    found = re.search(r"(\d+)p?$", pixel_format.removesuffix("Packed"))
    bits = int(found.group(1)) if found else 16
    return bits if 8 < bits <= 16 else 16


def display_pixels(frame: _core.Frame) -> np.ndarray:
    """The frame as 8-bit pixels to show: (H, W) grey for the Mono formats
    (wider ones keep their top 8 bits), (H, W, 3) RGB for every other format
    the core converts (Bayer demosaiced, BGR reordered, YUV by BT.601).
    ValueError for formats it cannot show."""
    if frame.pixel_format == "Mono8":
        return frame.array()  # already what the screen takes: no copy
    try:
        if frame.pixel_format.startswith("Mono"):
            return frame.to_mono8()
        return frame.to_rgb()
    except ValueError:
        raise ValueError(f"the viewer cannot show {frame.pixel_format} frames") from None


# A histogram of every fourth pixel in each direction is as good a picture of
# the exposure as one of every pixel, at a sixteenth of the cost.
_HISTOGRAM_STEP = 4


def histogram(pixels: np.ndarray) -> list[list[int]]:
    """256-bin counts of 8-bit pixels: one list for grey, three for RGB."""
    sample = pixels[::_HISTOGRAM_STEP, ::_HISTOGRAM_STEP]
    planes = [sample] if sample.ndim == 2 else [sample[..., c] for c in range(sample.shape[2])]
    return [np.bincount(p.ravel(), minlength=256).tolist() for p in planes]


def jpeg(pixels: np.ndarray, quality: int = 80) -> bytes:
    """8-bit pixels as a JPEG file."""
    from PIL import Image

    out = io.BytesIO()
    Image.fromarray(np.ascontiguousarray(pixels)).save(out, "JPEG", quality=quality)
    return out.getvalue()


def png(frame: _core.Frame) -> bytes:
    """The frame as a PNG at its own depth: 8-bit grey or colour (YUV
    converted to RGB, alpha kept), 16-bit grey for the wider formats with their significant bits stretched to the full
    16-bit range (so that other programs do not show 12-bit data near
    black)."""
    from PIL import Image

    pixels = frame.array()
    if pixels.dtype == np.uint16:
        bits = _significant_bits(frame.pixel_format)
        top = (1 << bits) - 1
        wide = np.minimum(pixels.astype(np.uint32), top)
        pixels = ((wide * 65535 + top // 2) // top).astype(np.uint16)
    elif frame.pixel_format.startswith("YUV"):
        pixels = frame.to_rgb()
    elif frame.pixel_format == "BGR8":
        pixels = pixels[..., ::-1]
    elif frame.pixel_format == "BGRa8":
        pixels = pixels[..., [2, 1, 0, 3]]
    elif not (pixels.ndim == 2 or pixels.shape[2] in (3, 4)):
        raise ValueError(f"{frame.pixel_format} frames have no PNG form; take the .npy")
    out = io.BytesIO()
    Image.fromarray(np.ascontiguousarray(pixels)).save(out, "PNG")
    return out.getvalue()


def npy(frame: _core.Frame) -> bytes:
    """The frame's pixels exactly as received, as a .npy file."""
    out = io.BytesIO()
    np.save(out, frame.array())
    return out.getvalue()
