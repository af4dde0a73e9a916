"""Frames to trust when the camera misbehaves: a Complete frame holds the
camera's bytes at their places and has a usable array, one frame that cannot
complete costs only itself, and datagrams from another port of the camera's
address are strays."""

from __future__ import annotations

import random
import struct
import threading

import numpy as np
import pytest

from oculane import FrameStatus
from oculane.sim import expected_frame
from streaming import streaming_camera

FRAME_RATE_REG = 0x10070  # AcquisitionFrameRate, a big-endian double
MONO8 = 0x01080001


def set_frame_rate(vc, rate: float) -> None:
    """Beyond the description's maximum, straight into the register."""
    high, low = struct.unpack(">II", struct.pack(">d", rate))
    vc.write_register(FRAME_RATE_REG, high)
    vc.write_register(FRAME_RATE_REG + 4, low)


def take(acq, count: int, check) -> list:
    """`check(frame)` of the next `count` frames; each frame is let go at
    once, as a consumer that keeps up does."""
    results = []
    for _ in range(count):
        frame = acq.wait_for(5.0)
        assert frame is not None, f"only {len(results)} of {count} frames arrived"
        results.append(check(frame))
        del frame
    return results


def verdict(width: int, height: int):
    """Status, wrong bytes against the test pattern, and array shape."""
    def check(frame):
        want = np.frombuffer(expected_frame(frame.frame_id, width, height, "Mono8"), np.uint8)
        got = np.frombuffer(frame.data(), np.uint8)
        wrong = int(np.count_nonzero(got != want)) if got.size == want.size else abs(got.size - want.size)
        shape = frame.array().shape if frame.is_complete else None
        return frame.frame_id, frame.status, wrong, shape
    return check


# ---- Complete means every byte is the camera's ----------------------------------


@pytest.mark.parametrize("width,height", [(128, 128), (640, 480)], ids=["16KiB", "300KiB"])
@pytest.mark.parametrize("packet_size,align", [(1498, 4), (1498, 8), (1500, 16)],
                         ids=["1460-byte", "1456-byte", "1456-of-1464"])
@pytest.mark.parametrize("fault,options", [
    ("drop_packets", dict(packets=[1])),  # packet 1 lost, then resent after the others
    ("reorder", dict(length=3)),          # packet 2 first, then 1, then the leader
])
def test_aligned_packet_data_with_packet_1_late_is_pixel_exact(camera_ip, width, height, packet_size, align,
                                                                fault, options):
    with streaming_camera(camera_ip, width=width, height=height, packet_data_align=align) as (vc, cam):
        vc.stream_fault(fault, **options)
        with cam.start_acquisition(packet_size=packet_size) as acq:
            frames = take(acq, 6, verdict(width, height))
            stats = acq.stats()
    assert [(status, wrong, shape) for _, status, wrong, shape in frames] == \
        [(FrameStatus.Complete, 0, (height, width))] * 6
    assert stats.size_mismatch_errors == 0


@pytest.mark.parametrize("resend", [True, False], ids=["resend", "no-resend"])
@pytest.mark.parametrize("packet", [1, 3], ids=["first-data-packet", "middle-packet"])
def test_a_cut_data_packet_is_not_received(camera_ip, resend, packet):
    # 128 x 128 Mono8 at packet size 1500: 12 data packets of 1464 bytes.
    with streaming_camera(camera_ip, width=128, height=128) as (vc, cam):
        vc.stream_fault("truncate", packets=[packet], frames=[3])
        with cam.start_acquisition(packet_size=1500, resend=resend) as acq:
            frames = take(acq, 5, verdict(128, 128))
            stats = acq.stats()
    assert stats.size_mismatch_errors >= 1
    # Resent, the packet comes whole; without resend the frame fails.
    complete = FrameStatus.Complete
    assert [(i, status == complete) for i, status, _, _ in frames] == [(1, True), (2, True), (3, resend), (4, True),
                                                                         (5, True)]
    assert all(wrong == 0 and shape == (128, 128) for _, status, wrong, shape in frames if status == complete)


@pytest.mark.parametrize("fault,options", [
    ("oversized_leader", {}),          # an image twice as high as the payload
    ("all_in", {}),                    # one all-in packet, no image
    ("truncate", dict(packets=[0])),   # a 10-byte leader: no image size
    ("bad_payload_type", {}),          # refused at its leader
])
def test_a_frame_whose_image_cannot_be_had_is_not_complete(camera_ip, fault, options):
    with streaming_camera(camera_ip) as (vc, cam):
        vc.stream_fault(fault, frames=[2, 3], **options)
        with cam.start_acquisition() as acq:
            frames = take(acq, 5, verdict(64, 16))
    # A refused block makes no frame at all; a failed one, no Complete frame.
    assert [i for i, status, _, _ in frames if status == FrameStatus.Complete and i <= 5] == [1, 4, 5]
    assert all(wrong == 0 and shape == (16, 64) for _, status, wrong, shape in frames if status == FrameStatus.Complete)


# ---- one bad frame costs only itself ------------------------------------------------

LOST = {
    # The camera answers "packet unavailable" in place of packet 1.
    "unavailable": (dict(resend=True), lambda vc, k: vc.stream_fault("error_status", packets=[1], frames=[k])),
    # Packet 2 and its resend lost: the budget (1 packet of 4) is spent.
    "budget-spent": (dict(resend=True), lambda vc, k: (vc.lose_resent(True),
                                                         vc.stream_fault("drop_packets", packets=[2], frames=[k]))),
    "resend-off": (dict(resend=False), lambda vc, k: vc.stream_fault("drop_packets", packets=[2], frames=[k])),
}


@pytest.mark.parametrize("rate", [100, 200, 400])
@pytest.mark.parametrize("cause", sorted(LOST))
def test_one_lost_frame_costs_only_itself(camera_ip, cause, rate):
    options, spoil = LOST[cause]
    bad = 5
    with streaming_camera(camera_ip) as (vc, cam):
        set_frame_rate(vc, rate)
        spoil(vc, bad)
        # 64 x 16 Mono8 in two data packets; the default 8 buffers.
        with cam.start_acquisition(packet_size=576, **options) as acq:
            seen = []  # (id, complete); the frames themselves are let go at once
            # A quarter second behind the bad frame: well past the frame timeout.
            while not seen or seen[-1][0] < bad + rate // 4:
                frame = acq.wait_for(5.0)
                assert frame is not None
                seen.append((frame.frame_id, frame.is_complete))
                del frame
            stats = acq.stats()
    assert stats.underruns == 0, repr(stats)
    assert [i for i, _ in seen] == list(range(1, len(seen) + 1))
    assert [i for i, complete in seen if not complete] == [bad]


# ---- strays ---------------------------------------------------------------------------


def forged(rng: random.Random) -> bytes:
    """A datagram a confused device might send: noise, or GVSP-shaped packets
    with made-up (extended) block ids that would open frames."""
    kind = rng.randrange(4)
    block = rng.getrandbits(64)
    if kind == 0:
        return rng.randbytes(rng.randrange(1, 80))
    if kind == 1:  # an extended-id image leader
        leader = struct.pack(">HHQIIIIIHH", 0, 1, 0, MONO8, 64, 16, 0, 0, 0, 0)
        return struct.pack(">HHB3xQI", 0, 0, 0x81, block, 0) + leader
    if kind == 2:  # an extended-id all-in packet
        return struct.pack(">HHB3xQI", 0, 0, 0x84, block, 0) + rng.randbytes(32)
    return struct.pack(">HHB3s", 0, block & 0xFFFF, 0x03, (1).to_bytes(3, "big")) + rng.randbytes(100)


def test_a_flood_from_another_port_is_ignored(camera_ip):
    rng = random.Random(16)
    flood = 3000
    with streaming_camera(camera_ip) as (vc, cam):
        with cam.start_acquisition() as acq:
            take(acq, 3, lambda f: None)  # the stream's own port is known from its first packet
            ip, port = acq.local_addr().rsplit(":", 1)
            datagrams = [forged(rng) for _ in range(flood)]
            flooder = threading.Thread(
                target=lambda: [vc.send_raw(d, ip, int(port), source_port=0) for d in datagrams])
            flooder.start()
            seen = []  # (id, complete) of every frame while the flood lasts, and 20 more
            after = 0  # frames taken since the flood ended: the worker has read all of it by then
            while after < 20:
                ended = not flooder.is_alive()
                frame = acq.wait_for(5.0)
                assert frame is not None
                seen.append((frame.frame_id, frame.is_complete))
                del frame
                after += ended
            flooder.join()
            stats = acq.stats()
    assert all(complete for _, complete in seen)
    assert [i for i, _ in seen] == list(range(seen[0][0], seen[0][0] + len(seen)))
    assert stats.underruns == 0 and stats.missing_frames == 0 and stats.unsupported_frames == 0
    assert stats.failed_frames == 0
    assert stats.ignored_packets >= flood
