"""Frames as numpy arrays: pixel-exact against the virtual camera's test
pattern in every format it sends, read-only zero-copy views, and views that
outlive the frame, the acquisition and the camera."""

from __future__ import annotations

import gc

import numpy as np
import pytest

from oculane.sim import expected_frame
from streaming import HEIGHT, WIDTH, streaming_camera

# format: (dtype, trailing shape)
LAYOUTS = {
    "Mono8": (np.uint8, ()),
    "BayerRG8": (np.uint8, ()),
    "Mono10": (np.dtype("<u2"), ()),
    "Mono12": (np.dtype("<u2"), ()),
    "Mono16": (np.dtype("<u2"), ()),
    "RGB8": (np.uint8, (3,)),
    "BGR8": (np.uint8, (3,)),
    "BayerGB8": (np.uint8, ()),
    "YUV422_8": (np.uint8, (2,)),
}


@pytest.mark.parametrize("pixel_format", sorted(LAYOUTS))
def test_frames_are_pixel_exact_and_viewed_without_a_copy(camera_ip, pixel_format):
    dtype, channels = LAYOUTS[pixel_format]
    with streaming_camera(camera_ip, pixel_format=pixel_format) as (_, cam):
        with cam.start_acquisition() as acq:
            frames = [acq.wait_for(5.0) for _ in range(2)]
    for frame in frames:
        expected = expected_frame(frame.frame_id, WIDTH, HEIGHT, pixel_format)
        assert frame.is_complete and frame.data() == expected
        assert frame.pixel_format == pixel_format
        assert frame.bits_per_pixel == 8 * np.dtype(dtype).itemsize * (channels[0] if channels else 1)
        array = frame.array()
        assert array.shape == (HEIGHT, WIDTH) + channels and array.dtype == dtype
        assert array.tobytes() == expected
        assert not array.flags.writeable
        with pytest.raises(ValueError):
            array[0, 0] = 1
        view = np.asarray(frame)
        assert np.shares_memory(view, array) and view.shape == array.shape
        assert not np.shares_memory(np.array(frame), array)  # numpy.array copies by default
        assert np.array_equal(np.asarray(frame, dtype=np.float64), array)
        with pytest.raises(ValueError):
            np.asarray(frame, dtype=np.float64, copy=False)
    if dtype != np.uint8:
        # Little-endian 16-bit pixels: the value of pixel (1, 2) from its two bytes.
        raw = frames[0].data()
        offset = 2 * (1 * WIDTH + 2)
        assert frames[0].array()[1, 2] == raw[offset] | raw[offset + 1] << 8


def test_arrays_outlive_acquisition_and_camera_and_hold_their_buffers(camera_ip):
    with streaming_camera(camera_ip) as (_, cam):
        acq = cam.start_acquisition(n_buffers=3)
        frames = [acq.wait_for(5.0) for _ in range(3)]
        ids, arrays = [f.frame_id for f in frames], [f.array() for f in frames]
        del frames
        completed = acq.stats().completed_frames
        # Every buffer of the pool is held by an array: new blocks find none.
        assert acq.wait_for(0.3) is None
        assert acq.stats().underruns > 0 and acq.stats().completed_frames == completed
        acq.stop()
        del acq, cam
    gc.collect()
    # Camera, acquisition and virtual camera are gone; the pixels are intact.
    for frame_id, array in zip(ids, arrays):
        assert array.tobytes() == expected_frame(frame_id, WIDTH, HEIGHT, "Mono8")


def test_chunk_data_after_the_image_is_not_part_of_the_array(camera_ip):
    with streaming_camera(camera_ip) as (_, cam):
        cam.set_boolean("ChunkModeActive", True)
        frame = cam.snap()
    image = expected_frame(frame.frame_id, WIDTH, HEIGHT, "Mono8")
    assert len(frame.data()) > len(image)
    assert frame.array().shape == (HEIGHT, WIDTH) and frame.array().tobytes() == image


def test_a_frame_too_short_for_its_image_refuses_an_array_but_not_its_bytes(camera_ip):
    with streaming_camera(camera_ip) as (vc, cam):
        # 540 bytes a packet: the 1024-byte image takes payload packets 1 and 2.
        vc.stream_fault("drop_packets", packets=[2])
        with cam.start_acquisition(packet_size=576, resend=False) as acq:
            frame = acq.wait_for(5.0)
    assert not frame.is_complete
    with pytest.raises(ValueError) as err:
        frame.array()
    assert str(err.value) == (f"frame data holds 540 bytes, too few for a {WIDTH}x{HEIGHT} Mono8 image "
                              f"({WIDTH * HEIGHT} bytes)")
    with pytest.raises(ValueError):
        np.asarray(frame)
    assert frame.data() == expected_frame(frame.frame_id, WIDTH, HEIGHT, "Mono8")[:540]
