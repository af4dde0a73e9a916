"""The packet ring and the UDP socket as the stream's receive path: the same
frames and the same counters from a camera that misbehaves, "auto" choosing
by the process's capability, and a forced ring refused without it."""

from __future__ import annotations

import contextlib
import ctypes
import socket
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import oculane
from oculane import FrameStatus
from oculane.sim import expected_frame
from streaming import eventually, streaming_camera

WIDTH, HEIGHT = 128, 128  # 12 data packets of 1464 bytes at packet size 1500
FRAMES = 6
PR_CAPBSET_DROP = 24
CAP_NET_RAW = 13


def may_open_rings() -> bool:
    try:
        socket.socket(socket.AF_PACKET, socket.SOCK_RAW, 0).close()
        return True
    except PermissionError:
        return False


PATHS = ["socket", pytest.param("ring", marks=pytest.mark.skipif(not may_open_rings(),
                                                                  reason="the packet ring needs CAP_NET_RAW"))]


def gvsp_leader(block: int) -> bytes:
    """A plain image leader that would open a frame if its source were believed."""
    leader = struct.pack(">HHQIIIIIHH", 0, 1, 0, 0x01080001, WIDTH, HEIGHT, 0, 0, 0, 0)
    return struct.pack(">HHB3s", 0, block, 0x01, (0).to_bytes(3, "big")) + leader


def from_another_host(vc, acq, camera_ip):
    """Two leaders from an address that is not the camera's."""
    ip, port = acq.local_addr().rsplit(":", 1)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.77" if camera_ip != "127.0.0.77" else "127.0.0.78", 0))
        for block in (40, 41):
            s.sendto(gvsp_leader(block), (ip, int(port)))


def from_another_port(vc, acq, camera_ip):
    """Three leaders from the camera's address but not its stream port."""
    ip, port = acq.local_addr().rsplit(":", 1)
    for block in (50, 51, 52):
        vc.send_raw(gvsp_leader(block), ip, int(port), source_port=0)


# name: (fault set before the start, stray sender after the first frame,
#        complete frame ids, the counters that must come out so on each path)
CASES = {
    "loss-resent": (lambda vc: vc.stream_fault("drop_packets", packets=[2], frames=[3]), None,
                    [1, 2, 3, 4, 5, 6], dict(resent_packets=1, missing_packets=0, failed_frames=0)),
    "duplicate": (lambda vc: vc.stream_fault("duplicate", packets=[2, 5], frames=[3]), None,
                  [1, 2, 3, 4, 5, 6], dict(duplicated_packets=2, failed_frames=0, resend_requests=0)),
    "reordered": (lambda vc: vc.stream_fault("reorder", length=4, frames=[2, 4]), None,
                  [1, 2, 3, 4, 5, 6], dict(failed_frames=0, duplicated_packets=0)),
    "stray-port": (None, from_another_port, [1, 2, 3, 4, 5, 6], dict(ignored_packets=3, failed_frames=0)),
    "stray-host": (None, from_another_host, [1, 2, 3, 4, 5, 6], dict(ignored_packets=0, failed_frames=0)),
    "cut-packet": (lambda vc: vc.stream_fault("truncate", packets=[3], frames=[2]), None,
                   [1, 2, 3, 4, 5, 6], dict(size_mismatch_errors=1, resent_packets=1, failed_frames=0)),
    "power-off": (lambda vc: vc.power_off(after_frames=3), None, [1, 2, 3], dict(failed_frames=0)),
}
ALWAYS = dict(kernel_drops=0, underruns=0, unsupported_frames=0)


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("path", PATHS)
def test_misbehaving_camera_gives_the_same_frames_and_counters_on_each_path(camera_ip, path, case):
    fault, stray, complete_ids, counters = CASES[case]
    with streaming_camera(camera_ip, width=WIDTH, height=HEIGHT) as (vc, cam):
        cam.set_enum("AcquisitionMode", "MultiFrame")
        cam.set_integer("AcquisitionFrameCount", FRAMES)
        if fault:
            fault(vc)
        acq = cam.start_acquisition(packet_size=1500, receive_path=path)
        try:
            assert acq.receive_path() == path
            frames = []
            while (frame := acq.wait_for(0.5)) is not None:
                want = np.frombuffer(expected_frame(frame.frame_id, WIDTH, HEIGHT, "Mono8"), np.uint8)
                frames.append((frame.frame_id, frame.status,
                               frame.is_complete and np.array_equal(np.frombuffer(frame.data(), np.uint8), want)))
                if stray and len(frames) == 1:
                    stray(vc, acq, camera_ip)
            if stray:  # the strays came after the camera's last frame, maybe
                assert eventually(lambda: acq.stats().ignored_packets >= counters["ignored_packets"], 5.0)
            stats = acq.stats()
        finally:
            with contextlib.suppress(oculane.CameraException):  # a camera without power does not answer
                acq.stop()
    assert [i for i, status, _ in frames if status == FrameStatus.Complete] == complete_ids
    assert all(exact for _, status, exact in frames if status == FrameStatus.Complete)
    assert stats.completed_frames == len(complete_ids)
    for name, value in {**counters, **ALWAYS}.items():
        assert getattr(stats, name) == value, (name, stats)


CHILD = textwrap.dedent("""
    import oculane
    from oculane.sim import VirtualCamera
    with VirtualCamera({ip!r}, width=64, height=16) as vc:
        cam = oculane.Camera({ip!r})
        cam.connect()
        with cam.start_acquisition() as acq:
            print(acq.receive_path())
        try:
            cam.start_acquisition(receive_path="ring").stop()
            print("ring opened")
        except oculane.CameraException as e:
            print(e)
        cam.disconnect()
""")


def drop_net_raw() -> None:
    """In the child before it runs Python: CAP_NET_RAW leaves the bounding
    set, so the program it executes never has it (not even as root)."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "PR_CAPBSET_DROP")


@pytest.mark.parametrize("capable", [True, False], ids=["with-CAP_NET_RAW", "without"])
def test_auto_takes_the_ring_only_with_the_capability(camera_ip, capable):
    if capable and not may_open_rings():
        pytest.skip("this process lacks CAP_NET_RAW")
    if not capable and may_open_rings() and not hasattr(ctypes.CDLL(None), "prctl"):
        pytest.skip("no prctl to drop the capability with")
    out = subprocess.run([sys.executable, "-c", CHILD.format(ip=camera_ip)], capture_output=True, text=True,
                         timeout=60, preexec_fn=None if capable else drop_net_raw)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    if capable:
        assert lines == ["ring", "ring opened"]
    else:
        assert lines[0] == "socket"
        assert lines[1].startswith("io error: the packet ring receive path needs CAP_NET_RAW: "), lines[1]


@pytest.mark.parametrize("value", ["Ring", "udp", ""])
def test_a_receive_path_that_is_none_of_the_three_is_refused(camera_ip, value):
    with streaming_camera(camera_ip) as (vc, cam):
        for call in (cam.start_acquisition, cam.snapshot_session, cam.snap):
            with pytest.raises(ValueError, match=f'^receive_path must be "auto", "socket" or "ring", not "{value}"$'):
                call(receive_path=value)
