"""Helpers for the stream tests: the virtual camera's acquisition registers,
what the camera was told, and a connected camera that streams small frames
fast."""

from __future__ import annotations

import contextlib
import time
from typing import Callable, Iterator

import numpy as np

import oculane
from oculane.sim import VirtualCamera

# Feature registers of the virtual camera's own description.
ACQUISITION_MODE = 0x10030
ACQUISITION_START = 0x10038
ACQUISITION_STOP = 0x1003C
TL_PARAMS_LOCKED = 0x1007C
STREAM_PORT = 0x0D00  # stream channel 0's host port (bootstrap)

# Small frames at the description's highest frame rate keep tests short.
WIDTH, HEIGHT = 64, 16
FRAME_RATE = 200.0

WRITEREG = 0x0082


def pattern_samples(frame_id: int, depth: int) -> np.ndarray:
    """The documented test pattern's samples, h masked to the bit depth."""
    x = np.arange(WIDTH, dtype=np.uint32)[None, :]
    r = np.arange(HEIGHT, dtype=np.uint32)[:, None] + frame_id % 16
    return (x + 3 * r + ((x * r) >> 4)) & ((1 << depth) - 1)


def writes(vc: VirtualCamera, since: int = 0) -> list[tuple[int, int]]:
    """(address, value) of every register write the camera carried out, in
    order, from command number `since` on."""
    out = []
    for c in vc.commands()[since:]:
        if c.command == WRITEREG and c.status == 0:
            out.extend(zip(c.addresses, c.values))
    return out


def acquisition_writes(vc: VirtualCamera, since: int = 0) -> list[tuple[str, int]]:
    """The acquisition-related register writes, by name."""
    names = {ACQUISITION_MODE: "AcquisitionMode", ACQUISITION_START: "AcquisitionStart",
             ACQUISITION_STOP: "AcquisitionStop", TL_PARAMS_LOCKED: "TLParamsLocked", STREAM_PORT: "port"}
    return [(names[a], v) for a, v in writes(vc, since) if a in names]


def eventually(condition: Callable[[], bool], limit: float = 10.0) -> bool:
    """Polls a condition that has no event to wait on (a device-side state)."""
    end = time.monotonic() + limit
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.005)
    return True


@contextlib.contextmanager
def streaming_camera(ip: str, *, pixel_format: str = "Mono8", gvcp_timeout: float = 0.5,
                     **options) -> Iterator[tuple[VirtualCamera, oculane.Camera]]:
    """A virtual camera with small frames at a high rate, and a camera
    object connected to it."""
    options.setdefault("width", WIDTH)
    options.setdefault("height", HEIGHT)
    with VirtualCamera(ip, **options) as vc:
        cam = oculane.Camera(ip, gvcp_timeout=gvcp_timeout)
        cam.connect()
        cam.set_float("AcquisitionFrameRate", FRAME_RATE)
        cam.set_enum("PixelFormat", pixel_format)
        try:
            yield vc, cam
        finally:
            # A failed test may leave an acquisition holding the camera; the
            # virtual camera's stop ends everything anyway.
            with contextlib.suppress(ValueError):
                cam.disconnect()
