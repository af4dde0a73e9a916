"""Chunk data through the public API: the virtual camera sends the chunks
ChunkEnable selects, frames evaluate them from their own bytes (no device
traffic), and the image part stays pixel-exact."""

from __future__ import annotations

import numpy as np
import pytest

import oculane
from oculane.sim import expected_frame
from streaming import HEIGHT, WIDTH, pattern_samples, streaming_camera

CHUNKS = ["FrameID", "Timestamp", "ExposureTime", "Gain", "Width", "Height", "PixelFormat", "LineStatusAll"]
# Data bytes of each chunk, and its tag (id, length).
SIZES = {"FrameID": 8, "Timestamp": 8, "ExposureTime": 8, "Gain": 8, "Width": 4, "Height": 4,
         "PixelFormat": 4, "LineStatusAll": 4}


def expected_values(frame: oculane.Frame, exposure: float, gain: float, pixel_format: str) -> dict:
    return {"ChunkFrameID": frame.frame_id, "ChunkTimestamp": frame.timestamp_ticks,
            "ChunkExposureTime": exposure, "ChunkGain": gain, "ChunkWidth": WIDTH, "ChunkHeight": HEIGHT,
            "ChunkPixelFormat": pixel_format, "ChunkLineStatusAll": 0}


@pytest.mark.parametrize("enabled, pixel_format, exposure, gain", [
    ([], "Mono8", 10000.0, 0.0),                # from power-up: the block id alone
    (CHUNKS, "Mono8", 2500.0, 6.5),
    (["Timestamp", "Gain", "PixelFormat"], "Mono16", 800.0, 1.25),
    (["ExposureTime", "Width", "Height", "LineStatusAll"], "RGB8", 12000.0, 0.0),
    (["Width", "Height", "PixelFormat"], "Mono12p", 500.0, 2.0),   # packed: array() unpacks the image part
])
def test_frames_carry_the_enabled_chunks_with_the_values_sent(camera_ip, enabled, pixel_format, exposure, gain):
    with streaming_camera(camera_ip, pixel_format=pixel_format) as (vc, cam):
        cam.set_boolean("ChunkModeActive", True)
        for name in enabled:
            cam.set_enum("ChunkSelector", name)
            cam.set_boolean("ChunkEnable", True)
        cam.set_float("ExposureTime", exposure)
        cam.set_float("Gain", gain)
        sent = set(enabled) | {"FrameID"}
        image_size = len(expected_frame(1, WIDTH, HEIGHT, pixel_format))
        assert cam.get_integer("PayloadSize") == image_size + 8 + sum(SIZES[n] + 8 for n in sent)
        with cam.start_acquisition() as acq:
            frames = [acq.wait_for(5.0) for _ in range(3)]
            commands = len(vc.commands())
            values = [frame.chunks() for frame in frames]
            singles = {n: frames[0].chunk("Chunk" + n) for n in sent}
            assert len(vc.commands()) == commands  # chunk values cost no device round trip
    for frame, got in zip(frames, values):
        assert frame.is_complete and frame.has_chunks
        want = expected_values(frame, exposure, gain, pixel_format)
        assert got == {k: want[k] for k in want if k[len("Chunk"):] in sent}
        image = expected_frame(frame.frame_id, WIDTH, HEIGHT, pixel_format)
        assert frame.data()[:image_size] == image
        if pixel_format == "Mono12p":
            assert np.array_equal(frame.array(), pattern_samples(frame.frame_id, 12))
        else:
            assert frame.array().tobytes() == image
        layout = frame.chunk_layout()
        assert layout[0][1:] == (0, image_size)
        assert len(layout) == 1 + len(sent)
    assert singles == {n: values[0]["Chunk" + n] for n in sent}


def test_chunk_values_the_frame_lacks_or_cannot_read(camera_ip):
    with streaming_camera(camera_ip) as (vc, cam):
        plain = cam.snap()
        cam.set_boolean("ChunkModeActive", True)
        frame = cam.snap()
        # A packet that never comes back leaves stale bytes where the chunk tags are.
        vc.stream_fault("drop_trailer")
        vc.stream_fault("drop_packets", packets=[1])
        with cam.start_acquisition(resend=False) as acq:
            broken = acq.wait_for(5.0)
    assert not plain.has_chunks and plain.chunks() == {} and plain.chunk_layout() == []
    with pytest.raises(oculane.GenicamException) as err:
        frame.chunk("ChunkGain")
    assert err.value.kind == "Unavailable" and "carries no chunk 0xa0000005" in str(err.value)
    with pytest.raises(oculane.GenicamException) as err:
        frame.chunk("NoSuchChunk")
    assert err.value.kind == "FeatureNotFound"
    assert not broken.is_complete
    for read in (broken.chunks, broken.chunk_layout, lambda: broken.chunk("ChunkFrameID")):
        with pytest.raises(ValueError, match="did not arrive complete"):
            read()


def test_the_image_chunk_cannot_be_switched_off(camera_ip):
    with streaming_camera(camera_ip) as (_, cam):
        cam.set_boolean("ChunkModeActive", True)
        cam.set_enum("ChunkSelector", "Image")
        with pytest.raises(oculane.CameraException):
            cam.set_boolean("ChunkEnable", False)
        assert cam.get_boolean("ChunkEnable") is True
