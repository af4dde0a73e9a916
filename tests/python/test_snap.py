"""Single frames from Python: Camera.snap and snapshot sessions, with the
acquisition mode the camera is in, one that refuses SingleFrame, timeouts,
closing, dropping and the busy rule."""

from __future__ import annotations

import gc
import math

import pytest

import oculane
from oculane.sim import expected_frame
from streaming import (ACQUISITION_MODE, HEIGHT, WIDTH, acquisition_writes, streaming_camera)

TIMEOUT_TEXT = "no frame arrived within the snap timeout"


@pytest.fixture
def camera(camera_ip):
    with streaming_camera(camera_ip, tl_params_locked=True) as vc_cam:
        yield vc_cam


def refuse_single_frame(vc, cam, how):
    """A camera whose AcquisitionMode cannot be read, or read but not set."""
    if how == "write refused":
        cam.get_enum("AcquisitionMode")  # cached: later reads need no traffic
    vc.fail_address(ACQUISITION_MODE, 0x8006)


# ---- Camera.snap -----------------------------------------------------------------


@pytest.mark.parametrize("mode, refusal, sent", [
    ("Continuous", None, [("AcquisitionMode", 1), ("TLParamsLocked", 1), ("AcquisitionStart", 1),
                          ("TLParamsLocked", 0), ("AcquisitionMode", 0)]),
    ("SingleFrame", None, [("TLParamsLocked", 1), ("AcquisitionStart", 1), ("TLParamsLocked", 0)]),
    ("Continuous", "read fails", [("TLParamsLocked", 1), ("AcquisitionStart", 1), ("AcquisitionStop", 1),
                                  ("TLParamsLocked", 0)]),
    ("Continuous", "write refused", [("TLParamsLocked", 1), ("AcquisitionStart", 1), ("AcquisitionStop", 1),
                                     ("TLParamsLocked", 0)]),
])
def test_snap_takes_one_exact_frame_in_any_acquisition_mode(camera, mode, refusal, sent):
    vc, cam = camera
    cam.set_enum("AcquisitionMode", mode)
    if refusal:
        refuse_single_frame(vc, cam, refusal)
    before = len(vc.commands())
    frame = cam.snap()
    assert frame.is_complete
    assert frame.data() == expected_frame(frame.frame_id, WIDTH, HEIGHT, "Mono8")
    assert [w for w in acquisition_writes(vc, before) if w[0] != "port"] == sent
    assert not vc.acquiring
    cam.snap().array()  # the busy slot was released


def test_snap_timeout_and_bad_timeouts_leave_the_camera_free(camera):
    vc, cam = camera
    vc.stream_fault("drop_frame")
    before = len(vc.commands())
    with pytest.raises(oculane.GenicamException) as err:
        cam.snap(0.05)
    assert str(err.value) == TIMEOUT_TEXT
    # Stopped even in single-frame mode; mode and TLParamsLocked put back.
    assert [w for w in acquisition_writes(vc, before) if w[0] != "port"] == [
        ("AcquisitionMode", 1), ("TLParamsLocked", 1), ("AcquisitionStart", 1), ("AcquisitionStop", 1),
        ("TLParamsLocked", 0), ("AcquisitionMode", 0)]
    for bad in (-1.0, math.nan):
        with pytest.raises(ValueError, match="cannot convert float seconds to Duration"):
            cam.snap(bad)
    assert cam.get_enum("AcquisitionMode") == "Continuous"
    with cam.start_acquisition():
        pass


# ---- sessions ----------------------------------------------------------------------


def test_session_switches_mode_snaps_and_restores_it(camera):
    vc, cam = camera
    before = len(vc.commands())
    with cam.snapshot_session() as session:
        assert repr(session) == "SnapshotSession(closed=False)" and not session.is_closed()
        frames = []
        for exposure in (1000.0, 2000.0, 3000.0):
            cam.set_float("ExposureTime", exposure)  # features stay usable between snaps
            frames.append(session.snap())
        assert session.packet_size() == vc.stream_channel(0)["packet_size"]
        assert session.stats().completed_frames == 3
        with pytest.raises(ValueError, match=r"^camera is busy \(a snapshot session in progress\)"):
            cam.snap()
    ids = [f.frame_id for f in frames]
    assert ids == sorted(set(ids))
    assert all(f.data() == expected_frame(f.frame_id, WIDTH, HEIGHT, "Mono8") for f in frames)
    assert [w for w in acquisition_writes(vc, before) if w[0] != "port"] == [
        ("AcquisitionMode", 1), ("TLParamsLocked", 1),
        ("AcquisitionStart", 1), ("AcquisitionStart", 1), ("AcquisitionStart", 1),
        ("TLParamsLocked", 0), ("AcquisitionMode", 0)]
    assert session.is_closed() and repr(session) == "SnapshotSession(closed=True)"
    count = len(vc.commands())
    assert session.close() is None and len(vc.commands()) == count
    for use in (session.snap, session.stats, session.packet_size):
        with pytest.raises(ValueError, match="^snapshot session is closed$"):
            use()
    cam.start_acquisition().stop()


@pytest.mark.parametrize("refusal", ["read fails", "write refused"])
def test_session_on_a_camera_refusing_single_frame_stops_after_each_snap(camera, refusal):
    vc, cam = camera
    refuse_single_frame(vc, cam, refusal)
    before = len(vc.commands())
    with cam.snapshot_session() as session:
        for _ in range(2):
            assert session.snap().is_complete
            assert not vc.acquiring
    assert [w for w in acquisition_writes(vc, before) if w[0] != "port"] == [
        ("TLParamsLocked", 1), ("AcquisitionStart", 1), ("AcquisitionStop", 1),
        ("AcquisitionStart", 1), ("AcquisitionStop", 1), ("TLParamsLocked", 0)]


def test_session_timeouts_keep_it_open(camera):
    vc, cam = camera
    with cam.snapshot_session() as session:
        session.snap()
        vc.stream_fault("drop_frame")
        with pytest.raises(oculane.GenicamException) as err:
            session.snap(0.05)
        assert str(err.value) == TIMEOUT_TEXT and not vc.acquiring
        with pytest.raises(ValueError, match="value is negative"):
            session.snap(-1.0)
        assert not session.is_closed()
        vc.clear_stream_faults()
        assert session.snap().is_complete


def test_dropped_session_restores_the_mode_and_frees_the_camera(camera):
    _, cam = camera
    session = cam.snapshot_session()
    session.snap()
    assert cam.get_enum("AcquisitionMode") == "SingleFrame"
    del session
    gc.collect()
    assert cam.get_enum("AcquisitionMode") == "Continuous"
    cam.snap()
