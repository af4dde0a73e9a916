"""A user script written against the typed API; the tests check it with mypy."""

from __future__ import annotations

import datetime
import logging

import numpy

import oculane


def exposure_sweep(ip: str, exposures: list[float]) -> list[numpy.ndarray]:
    images: list[numpy.ndarray] = []
    with oculane.Camera(ip, retries=2) as cam:
        width: int = cam.get_integer("Width")
        cam["Width"] = width // 2
        cam.set("PixelFormat", "Mono8")
        exposure = cam.feature("ExposureTime")
        bounds = exposure.bounds
        if bounds is not None:
            exposures = [e for e in exposures if bounds[0] <= e <= bounds[1]]
        names: list[str] = [f.name for f in cam.features() if f.kind == "Float"]
        assert "ExposureTime" in names and "Width" in cam
        with cam.snapshot_session() as session:
            for value in exposures:
                exposure.set(value)
                try:
                    frame = session.snap(timeout=2.0)
                except oculane.GenicamException as e:
                    if e.kind != "SnapTimeout":
                        raise
                    continue
                taken: datetime.datetime = frame.timestamp
                logging.info("frame %d at %s", frame.frame_id, taken.isoformat())
                images.append(frame.array().copy())
    return images


def main() -> None:
    try:
        exposure_sweep("127.0.0.2", [1000.0, 4000.0])
    except oculane.CameraException as e:
        status: int | None = e.status
        print(e.kind, e.feature, status, oculane.__version__)
