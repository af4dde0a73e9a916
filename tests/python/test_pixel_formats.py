"""Packed pixel formats and colour conversion, on frames the virtual camera
sends: array() unpacks packed samples (checked against an unpacking written
here from the bit layouts), to_rgb() and to_mono8() against reference
conversions written here in numpy."""

from __future__ import annotations

import numpy as np
import pytest

from oculane.sim import expected_frame
from streaming import HEIGHT, WIDTH, pattern_samples, streaming_camera

ORDERS = ("RG", "GR", "GB", "BG")
PACKED = [f"Mono{d}{p}" for d in (10, 12) for p in ("p", "Packed")] + [
    f"Bayer{o}{d}{p}" for o in ORDERS for d in (10, 12) for p in ("p", "Packed")]


def depth_of(fmt: str) -> int:
    return int("".join(c for c in fmt if c.isdigit()) or 8)


def unpack_reference(raw: bytes, fmt: str, width: int, height: int) -> np.ndarray:
    """The samples of a packed image. "p" formats: one little-endian bit
    stream, first pixel in the lowest bits. "Packed" formats: two pixels in
    three bytes, B0 = high 8 bits of the first, B2 = high 8 bits of the
    second, B1 = the low bits of the first from bit 0 and of the second from
    bit 4."""
    depth, n = depth_of(fmt), width * height
    data = np.frombuffer(raw, np.uint8)
    if fmt.endswith("p"):
        bits = np.unpackbits(data, bitorder="little")[: n * depth].reshape(n, depth).astype(np.uint32)
        values = (bits << np.arange(depth, dtype=np.uint32)).sum(axis=1)
    else:
        b = data[: 3 * (n // 2)].reshape(-1, 3).astype(np.uint32)
        low, mask = depth - 8, (1 << (depth - 8)) - 1
        values = np.stack([b[:, 0] << low | (b[:, 1] & mask), b[:, 2] << low | (b[:, 1] >> 4 & mask)], 1)
    return values.reshape(height, width)


def grab(ip: str, fmt: str):
    with streaming_camera(ip, pixel_format=fmt) as (_, cam):
        with cam.start_acquisition() as acq:
            frame = acq.wait_for(5.0)
    assert frame.is_complete and frame.pixel_format == fmt
    assert frame.data() == expected_frame(frame.frame_id, WIDTH, HEIGHT, fmt)
    return frame


@pytest.mark.parametrize("fmt", PACKED)
def test_packed_formats_unpack_to_a_copy_of_their_samples(camera_ip, fmt):
    frame = grab(camera_ip, fmt)
    array = frame.array()
    assert array.dtype == np.uint16 and array.shape == (HEIGHT, WIDTH)
    expected = unpack_reference(frame.data(), fmt, WIDTH, HEIGHT)
    assert np.array_equal(array, expected)
    assert np.array_equal(expected, pattern_samples(frame.frame_id, depth_of(fmt)))
    # A copy of its own: writable, and each call is another one.
    assert array.flags.writeable and array.flags.c_contiguous and array.base is not None
    assert not np.shares_memory(array, frame.array())
    assert np.array_equal(np.asarray(frame), array)
    with pytest.raises(ValueError, match="avoid copy"):
        np.asarray(frame, copy=False)


def demosaic_reference(mosaic: np.ndarray, order: str, depth: int) -> np.ndarray:
    """Bilinear demosaicing with the image mirrored at its edges."""
    m = mosaic.astype(np.int64)
    p = np.pad(m, 1, mode="reflect")
    up, down, left, right = p[:-2, 1:-1], p[2:, 1:-1], p[1:-1, :-2], p[1:-1, 2:]
    cross = (up + down + left + right + 2) >> 2
    diag = (p[:-2, :-2] + p[:-2, 2:] + p[2:, :-2] + p[2:, 2:] + 2) >> 2
    horiz, vert = (left + right + 1) >> 1, (up + down + 1) >> 1
    tile = {"RG": "RGGB", "GR": "GRBG", "GB": "GBRG", "BG": "BGGR"}[order]  # the 2x2 tile, reading order
    colour = np.empty(m.shape, dtype="<U1")
    for dy in (0, 1):
        for dx in (0, 1):
            colour[dy::2, dx::2] = tile[2 * dy + dx]
    red_row = np.zeros(m.shape, bool)
    red_row[:] = (colour == "R").any(axis=1)[:, None]
    rgb = np.empty(m.shape + (3,), np.int64)
    is_r, is_b, is_g = colour == "R", colour == "B", colour == "G"
    rgb[..., 0] = np.where(is_r, m, np.where(is_b, diag, np.where(red_row, horiz, vert)))
    rgb[..., 1] = np.where(is_g, m, cross)
    rgb[..., 2] = np.where(is_b, m, np.where(is_r, diag, np.where(red_row, vert, horiz)))
    return (rgb >> (depth - 8)).astype(np.uint8)


def yuv_reference(pairs: np.ndarray, uyvy: bool, video: bool) -> np.ndarray:
    """BT.601 YUV 4:2:2 to RGB in floating point."""
    y = pairs[..., 1 if uyvy else 0].astype(np.float64)
    chroma = pairs[..., 0 if uyvy else 1].astype(np.float64) - 128
    u, v = np.repeat(chroma[:, 0::2], 2, axis=1), np.repeat(chroma[:, 1::2], 2, axis=1)
    if video:
        y = (y - 16) * 255 / 219
        u, v = u * 255 / 224, v * 255 / 224
    rgb = np.stack([y + 1.402 * v, y - 0.344136 * u - 0.714136 * v, y + 1.772 * u], axis=-1)
    return np.clip(np.rint(rgb), 0, 255)


def luma(rgb: np.ndarray) -> np.ndarray:
    r, g, b = (rgb[..., i].astype(np.int64) for i in range(3))
    return ((4899 * r + 9617 * g + 1868 * b + 8192) >> 14).astype(np.uint8)


# format: the RGB image its samples make (from the frame's own array())
CONVERSIONS = {
    "Mono8": lambda a: np.repeat(a[..., None], 3, axis=2),
    "Mono12": lambda a: np.repeat((a >> 4)[..., None], 3, axis=2).astype(np.uint8),
    "Mono10p": lambda a: np.repeat((a >> 2)[..., None], 3, axis=2).astype(np.uint8),
    "RGB8": lambda a: a,
    "BGR8": lambda a: a[..., ::-1],
    "RGBa8": lambda a: a[..., :3],
    "BGRa8": lambda a: a[..., 2::-1],
    "YUV422_8": lambda a: yuv_reference(a, uyvy=False, video=False),
    "YUV422_8_UYVY": lambda a: yuv_reference(a, uyvy=True, video=False),
    **{f"Bayer{o}8": (lambda o: lambda a: demosaic_reference(a, o, 8))(o) for o in ORDERS},
    "BayerRG12": lambda a: demosaic_reference(a, "RG", 12),
    "BayerGB10p": lambda a: demosaic_reference(a, "GB", 10),
    "BayerBG12Packed": lambda a: demosaic_reference(a, "BG", 12),
    "BayerGR16": lambda a: demosaic_reference(a, "GR", 16),
}


@pytest.mark.parametrize("fmt", sorted(CONVERSIONS))
def test_to_rgb_and_to_mono8_follow_their_documented_rules(camera_ip, fmt):
    frame = grab(camera_ip, fmt)
    expected = CONVERSIONS[fmt](frame.array())
    rgb = frame.to_rgb()
    assert rgb.dtype == np.uint8 and rgb.shape == (HEIGHT, WIDTH, 3) and rgb.flags.writeable
    # The YUV reference is floating point; the conversion is fixed point.
    tolerance = 1 if fmt.startswith("YUV") else 0
    assert np.abs(rgb.astype(int) - expected).max() <= tolerance
    mono = frame.to_mono8()
    assert mono.dtype == np.uint8 and mono.shape == (HEIGHT, WIDTH)
    if fmt.startswith("Mono"):
        assert np.array_equal(mono, rgb[..., 0])
    elif fmt.startswith("YUV"):
        assert np.array_equal(mono, frame.array()[..., 1 if fmt.endswith("UYVY") else 0])
    else:
        assert np.array_equal(mono, luma(rgb))
    if fmt.startswith("YUV"):
        video = frame.to_rgb(yuv_range="video")
        assert np.abs(video.astype(int) - yuv_reference(frame.array(), fmt.endswith("UYVY"), True)).max() <= 1


def test_conversions_write_into_a_given_array_and_refuse_one_that_does_not_fit(camera_ip):
    frame = grab(camera_ip, "BayerRG8")
    out = np.zeros((HEIGHT, WIDTH, 3), np.uint8)
    assert frame.to_rgb(out) is out and np.array_equal(out, frame.to_rgb())
    grey = np.zeros((HEIGHT, WIDTH), np.uint8)
    assert frame.to_mono8(out=grey) is grey and np.array_equal(grey, frame.to_mono8())
    read_only = np.zeros((HEIGHT, WIDTH, 3), np.uint8)
    read_only.flags.writeable = False
    wrong = [
        (np.zeros((HEIGHT, WIDTH), np.uint8), "shape \\(16, 64\\), the image needs \\(16, 64, 3\\)"),
        (np.zeros((HEIGHT, WIDTH, 3), np.uint16), "writable C-contiguous numpy array of uint8"),
        (np.zeros((WIDTH, HEIGHT, 3), np.uint8).transpose(1, 0, 2), "C-contiguous"),
        (read_only, "writable"),
    ]
    for bad, message in wrong:
        before = bad.copy()
        with pytest.raises(ValueError, match=message):
            frame.to_rgb(bad)
        assert np.array_equal(bad, before)
    with pytest.raises(ValueError, match="yuv_range must be 'full' or 'video', not 'studio'"):
        frame.to_rgb(yuv_range="studio")
