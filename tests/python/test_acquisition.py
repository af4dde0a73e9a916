"""Continuous acquisitions from Python against the virtual camera: lifecycle
and busy rule, frames after the stop, extra subscriptions, drops during
garbage collection and while the camera is busy, consumer threads, Ctrl-C,
and the FrameStatus / Frame / StreamStats values."""

from __future__ import annotations

import _thread
import gc
import math
import re
import threading

import pytest

import oculane
from oculane import FrameStatus
from streaming import (ACQUISITION_START, HEIGHT, WIDTH, acquisition_writes, eventually,
                       streaming_camera)

BUSY = "camera is busy (an acquisition in progress); stop it first"


@pytest.fixture
def camera(camera_ip):
    with streaming_camera(camera_ip, tl_params_locked=True) as vc_cam:
        yield vc_cam


# ---- lifecycle ---------------------------------------------------------------


def test_start_stop_sequence_and_second_stop_sends_nothing(camera):
    vc, cam = camera
    before = len(vc.commands())
    acq = cam.start_acquisition()
    assert repr(acq) == "Acquisition(stopped=False)" and not acq.is_stopped()
    assert vc.acquiring
    frame = acq.wait_for(5.0)
    assert frame is not None and frame.is_complete
    ip, port = acq.local_addr().rsplit(":", 1)
    assert ip == "127.0.0.1" and vc.stream_channel(0)["host_port"] == int(port)
    assert acq.packet_size() == vc.stream_channel(0)["packet_size"]
    assert acq.stats().completed_frames >= 1

    assert acq.stop() is None
    assert acq.is_stopped() and repr(acq) == "Acquisition(stopped=True)"
    assert not vc.acquiring and vc.stream_channel(0)["host_port"] == 0
    sent = acquisition_writes(vc, before)
    assert sent[sent.index(("TLParamsLocked", 1)):] == [
        ("TLParamsLocked", 1), ("AcquisitionStart", 1), ("AcquisitionStop", 1), ("TLParamsLocked", 0), ("port", 0)]
    count = len(vc.commands())
    assert acq.stop() is None
    assert len(vc.commands()) == count


@pytest.mark.parametrize("call", ["stats", "packet_size", "local_addr", "subscribe"])
def test_stream_queries_after_stop_say_so(camera, call):
    _, cam = camera
    acq = cam.start_acquisition()
    acq.stop()
    with pytest.raises(ValueError, match="^acquisition is stopped$"):
        getattr(acq, call)()


def test_busy_while_running_and_free_after_stop(camera):
    _, cam = camera
    acq = cam.start_acquisition()
    for attempt in (cam.start_acquisition, cam.snap, cam.snapshot_session, cam.connect, cam.disconnect):
        with pytest.raises(ValueError) as err:
            attempt()
        assert str(err.value) == BUSY
    assert cam.get_integer("Width") == WIDTH  # feature calls are not refused
    acq.stop()
    cam.start_acquisition().stop()


def test_with_block_stops_and_lets_the_exception_through(camera):
    vc, cam = camera
    with pytest.raises(KeyError):
        with cam.start_acquisition() as acq:
            assert acq.wait_for(5.0) is not None
            raise KeyError("body")
    assert acq.is_stopped() and not vc.acquiring


def test_refused_acquisition_start_closes_the_stream_and_frees_the_camera(camera):
    vc, cam = camera
    vc.fail_address(ACQUISITION_START, 0x8006)
    before = len(vc.commands())
    with pytest.raises(oculane.CameraException, match="access denied"):
        cam.start_acquisition()
    assert acquisition_writes(vc, before)[-2:] == [("TLParamsLocked", 0), ("port", 0)]
    vc.clear_failing_addresses()
    cam.start_acquisition().stop()


def test_a_camera_without_tlparamslocked_starts_and_stops(camera_ip):
    with streaming_camera(camera_ip, tl_params_locked=False) as (vc, cam):
        with cam.start_acquisition() as acq:
            assert acq.wait_for(5.0).is_complete
        assert not vc.acquiring


@pytest.mark.parametrize("kwargs, error, message", [
    ({"channel": 65536}, ValueError, "channel must be from 0 to 65535, not 65536"),
    ({"channel": -1}, ValueError, "channel must be from 0 to 65535, not -1"),
    ({"n_buffers": -1}, ValueError, "n_buffers must be 0 or more, not -1"),
    ({"packet_size": 70000}, ValueError, "packet_size must be from 0 to 65535, not 70000"),
    ({"packet_delay": -1}, ValueError, "packet_delay must be from 0 to 4294967295, not -1"),
    ({"receive_buffer": 2**80}, OverflowError, "receive_buffer must be 0 or more, not 1208925819614629174706176"),
    ({"resend": "yes"}, TypeError, "incompatible function arguments"),
])
def test_argument_conversion_refuses_before_anything_happens(camera, kwargs, error, message):
    vc, cam = camera
    before = len(vc.commands())
    with pytest.raises(error, match=re.escape(message)):
        cam.start_acquisition(**kwargs)
    assert len(vc.commands()) == before
    cam.start_acquisition().stop()  # nor was the busy slot taken


@pytest.mark.parametrize("timeout, message", [
    (-1.0, "cannot convert float seconds to Duration: value is negative"),
    (math.nan, "cannot convert float seconds to Duration: value is either too big or NaN"),
    (1e300, "cannot convert float seconds to Duration: value is either too big or NaN"),
])
def test_wait_for_refuses_bad_timeouts(camera, timeout, message):
    _, cam = camera
    with cam.start_acquisition() as acq:
        for channel in (acq, acq.subscribe()):
            with pytest.raises(ValueError) as err:
                channel.wait_for(timeout)
            assert str(err.value) == message


# ---- frames and subscriptions ---------------------------------------------------


def test_queued_frames_stay_readable_after_stop(camera):
    _, cam = camera
    acq = cam.start_acquisition(n_buffers=4)
    # Nobody reads: the four buffers end up queued, later blocks find no buffer.
    assert eventually(lambda: acq.stats().underruns > 0)
    acq.stop()
    frames = list(acq)
    assert len(frames) == 4
    assert [f.frame_id for f in frames] == sorted(f.frame_id for f in frames)
    assert acq.recv_all() == [] and acq.try_recv() is None and acq.wait_for(0.0) is None


def test_extra_subscriptions_see_later_frames_and_count_their_drops(camera):
    _, cam = camera
    acq = cam.start_acquisition(n_buffers=8)
    before = acq.wait_for(5.0)
    slow = acq.subscribe(capacity=1)

    # The built-in subscription is emptied as frames come, so only `slow`,
    # which holds one frame and never reads, drops frames.
    def dropped_by_slow() -> bool:
        acq.clear()
        return acq.stats().frames_dropped >= 3

    assert eventually(dropped_by_slow)
    acq.stop()
    held = slow.recv_all()
    assert len(held) == 1 and held[0].frame_id > before.frame_id
    assert list(slow) == []  # the stream let go: iteration ends
    with pytest.raises(ValueError, match="^acquisition is stopped$"):
        acq.subscribe()


def test_consumer_threads_share_frames_and_all_end_at_stop(camera):
    _, cam = camera
    acq = cam.start_acquisition(n_buffers=16)
    seen: list[list[int]] = [[] for _ in range(4)]
    started = threading.Barrier(len(seen) + 1)
    some = threading.Event()

    def consume(ids):
        started.wait()
        for frame in acq:
            ids.append(frame.frame_id)
            some.set()

    threads = [threading.Thread(target=consume, args=(ids,)) for ids in seen]
    for t in threads:
        t.start()
    started.wait()
    assert some.wait(5.0)
    stopper = threading.Thread(target=acq.stop)
    stopper.start()
    for t in threads + [stopper]:
        t.join(10.0)
        assert not t.is_alive()
    every = [i for ids in seen for i in ids]
    assert len(every) == len(set(every)) > 0  # each frame went to exactly one consumer


# ---- drops -------------------------------------------------------------------------


def test_garbage_collected_acquisition_stops_the_camera(camera):
    vc, cam = camera
    acq = cam.start_acquisition()
    assert acq.wait_for(5.0) is not None
    cycle: list[object] = [acq]
    cycle.append(cycle)  # released only by the collector
    del acq, cycle
    gc.collect()
    assert not vc.acquiring and vc.stream_channel(0)["host_port"] == 0
    cam.start_acquisition().stop()  # the busy slot is free


def test_drop_while_another_thread_holds_the_camera(camera_ip):
    with streaming_camera(camera_ip, gvcp_timeout=3.0) as (vc, cam):
        acq = cam.start_acquisition()
        assert acq.wait_for(5.0) is not None
        # A feature read whose acknowledge is held back for a second keeps the
        # camera-state lock that long; the drop gives up on it after 200 ms.
        vc.delay_acks(1000)
        before = len(vc.commands())
        reader = threading.Thread(target=cam.get_integer, args=("AcquisitionStatus",))
        reader.start()
        assert eventually(lambda: len(vc.commands()) > before)
        del acq
        gc.collect()
        reader.join(10.0)
        assert not reader.is_alive()
        vc.delay_acks(0)
        assert vc.stream_channel(0)["host_port"] == 0  # stream closed
        assert vc.acquiring  # AcquisitionStop was not sent
        assert ("AcquisitionStop", 1) not in acquisition_writes(vc, before)
        cam.execute("AcquisitionStop")
        cam.start_acquisition().stop()  # the busy slot is free


def test_acquisition_outlives_its_camera_object(camera):
    vc, cam = camera
    acq = cam.start_acquisition()
    del cam
    gc.collect()
    assert acq.wait_for(5.0) is not None
    acq.stop()
    assert not vc.acquiring


# ---- Ctrl-C ------------------------------------------------------------------------


@pytest.mark.parametrize("wait", [lambda acq: next(acq), lambda acq: acq.wait_for(60.0)])
def test_ctrl_c_interrupts_a_wait_for_frames(camera, wait):
    _, cam = camera
    with cam.start_acquisition() as acq:
        cam.execute("AcquisitionStop")  # the stream stays open but goes quiet
        assert eventually(lambda: acq.wait_for(0.2) is None)
        waiting = threading.Event()

        def interrupt():
            waiting.wait()
            _thread.interrupt_main()
            # Should the wait not notice, end it so the test fails instead of hanging.
            if not interrupted.wait(5.0):
                acq.stop()

        interrupted = threading.Event()
        helper = threading.Thread(target=interrupt)
        helper.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                waiting.set()
                wait(acq)
        finally:
            interrupted.set()
            helper.join()


# ---- values ------------------------------------------------------------------------


def test_frame_status_values_follow_the_access_mode_rules():
    names = ["Complete", "MissingPackets", "Timeout", "Aborted", "WrongPacketId", "PayloadUnsupported"]
    for code, name in enumerate(names):
        value = getattr(FrameStatus, name)
        assert int(value) == code and value == code and value != code + 1
        assert repr(value) == f"FrameStatus.{name}"
        assert value is getattr(FrameStatus, name)
    assert FrameStatus.Timeout == 2 and FrameStatus.Timeout != FrameStatus.Aborted
    assert (FrameStatus.Complete == "Complete") is False and FrameStatus.Complete != None  # noqa: E711
    with pytest.raises(TypeError):
        FrameStatus.Timeout < FrameStatus.Aborted
    with pytest.raises(TypeError):
        hash(FrameStatus.Complete)
    # None of the stream classes is made from Python.
    for cls in (FrameStatus, oculane.Frame, oculane.FrameChannel, oculane.Acquisition, oculane.SnapshotSession,
                oculane.StreamStats):
        with pytest.raises(TypeError):
            cls()


def test_frame_metadata_and_stats_repr(camera):
    _, cam = camera
    with cam.start_acquisition() as acq:
        frame = acq.wait_for(5.0)
        stats = acq.stats()
    size = WIDTH * HEIGHT
    assert repr(frame) == f"Frame(id={frame.frame_id}, Complete, {WIDTH}x{HEIGHT} Mono8, {size} bytes)"
    assert frame.status == FrameStatus.Complete and frame.is_complete
    assert (frame.pixel_format, frame.pixel_format_code, frame.bits_per_pixel) == ("Mono8", 0x01080001, 8)
    assert (frame.x_offset, frame.y_offset, frame.received_size) == (0, 0, size)
    assert frame.timestamp_ns > 0 and frame.system_timestamp_ns > 0 and frame.timestamp_ticks > 0
    assert len(frame.data()) == size

    names = ["packets", "bytes", "completed_frames", "failed_frames", "timed_out_frames", "aborted_frames",
             "missing_frames", "underruns", "missing_packets", "resend_requests", "resent_packets",
             "resend_ratio_reached", "resend_disabled", "duplicated_packets", "error_packets",
             "ignored_packets", "unsupported_frames", "size_mismatch_errors", "frames_dropped", "kernel_drops"]
    body = ", ".join(f"{n}: {getattr(stats, n)}" for n in names)
    assert repr(stats) == "StreamStats { " + body + " }"
    assert stats.packets > 0 and stats.completed_frames > 0
