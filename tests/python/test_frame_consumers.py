"""How applications take frames: the newest instead of a stale queue, callbacks
on a thread of the acquisition's own, and several cameras at once."""

from __future__ import annotations

import contextlib
import logging
import threading
import time

import numpy as np
import pytest

import oculane
from oculane.sim import expected_frame
from streaming import eventually, streaming_camera

SLOW_RATE = 50.0  # frames a second: a frame period (20 ms) no busy machine blurs


@pytest.mark.parametrize("reader", ["built-in", "subscription"])
def test_a_paused_consumer_gets_the_newest_frame_and_the_stream_loses_none(camera_ip, reader):
    with streaming_camera(camera_ip) as (vc, cam):
        cam.set_float("AcquisitionFrameRate", SLOW_RATE)
        # An explicit pool: the default one also has buffers for frames behind
        # a resend, and half of it would queue most of the pause.
        with cam.start_acquisition(keep="newest", n_buffers=8) as acq:
            source = acq if reader == "built-in" else acq.subscribe(2, keep="newest")
            assert source.wait_for(5.0) is not None
            before = acq.stats()
            time.sleep(1.0)  # the consumer's pause is the behaviour under test
            sent = vc.stream_counters()["frames"]
            newest = source.latest(1.0)
            after = acq.stats()
            following = source.wait_for(1.0)
    # Block ids count the camera's frames from 1: the frame handed over is
    # the last one sent before the call, or the one on the wire meanwhile.
    assert newest.is_complete and newest.frame_id >= sent
    assert following.frame_id == newest.frame_id + 1  # nothing older was left queued
    assert after.underruns == 0 and after.failed_frames == 0
    # Roughly a second of frames went past the full queue, counted as dropped.
    assert after.frames_dropped - before.frames_dropped >= SLOW_RATE / 2


def test_keep_refuses_an_unknown_rule(camera_ip):
    with streaming_camera(camera_ip) as (_, cam):
        with pytest.raises(ValueError, match='keep must be "oldest" or "newest"'):
            cam.start_acquisition(keep="latest")
        with cam.start_acquisition() as acq, pytest.raises(ValueError, match="keep must be"):
            acq.subscribe(4, keep="")


def test_callbacks_run_in_order_on_one_thread_and_survive_their_exceptions(camera_ip, caplog):
    calls: list[tuple[str, int]] = []
    threads: set[int] = set()
    enough = threading.Event()

    def first(frame):
        threads.add(threading.get_ident())
        calls.append(("first", frame.frame_id))

    def second(frame):
        threads.add(threading.get_ident())
        calls.append(("second", frame.frame_id))
        if frame.frame_id % 3 == 0:
            raise RuntimeError(f"bad frame {frame.frame_id}")
        if sum(1 for name, _ in calls if name == "second") >= 30:
            enough.set()

    with streaming_camera(camera_ip) as (_, cam), caplog.at_level(logging.ERROR, logger="oculane"):
        acq = cam.start_acquisition(keep="newest")
        a = acq.on_frame(first, capacity=64)
        b = acq.on_frame(second, capacity=64)
        assert enough.wait(10.0), (a.calls, b.calls, len(calls), acq.stats())
        a.remove()
        removed_at = a.calls
        n = b.calls
        assert eventually(lambda: b.calls >= n + 5)
        acq.stop()  # joins the callback thread: nothing is called after it returns
        ended = (a.calls, b.calls)
        assert not b.active and not a.active
        assert acq.is_stopped()
    assert ended == (a.calls, b.calls)
    assert a.calls <= removed_at + 1  # at most the call that ran while remove() was asked for
    assert threads and threading.main_thread().ident not in threads and len(threads) == 1
    by_name = {name: [i for n_, i in calls if n_ == name] for name in ("first", "second")}
    for ids in by_name.values():
        assert ids == list(range(ids[0], ids[0] + len(ids)))  # every frame, in stream order
    # For each frame both saw, in registration order.
    both = set(by_name["first"]) & set(by_name["second"])
    assert both and all(calls.index(("first", i)) < calls.index(("second", i)) for i in both)
    raised = [i for i in by_name["second"] if i % 3 == 0]
    assert b.errors == len(raised) and b.calls == len(by_name["second"])
    logged = [r for r in caplog.records if r.name == "oculane" and r.exc_info]
    assert len(logged) == b.errors
    assert "bad frame" in str(logged[0].exc_info[1]) and "the stream goes on" in logged[0].getMessage()


def test_a_callback_may_stop_its_own_acquisition(camera_ip):
    with streaming_camera(camera_ip) as (_, cam):
        acq = cam.start_acquisition(keep="newest")
        stopped = threading.Event()

        def stop_here(frame):
            acq.stop()
            stopped.set()

        handle = acq.on_frame(stop_here)
        assert stopped.wait(10.0)
        assert eventually(lambda: not any(t.name == "oculane-callbacks" for t in threading.enumerate()))
        assert handle.calls == 1 and acq.is_stopped()
        with cam.start_acquisition() as again:  # the camera is free
            assert again.wait_for(5.0) is not None
        with pytest.raises(ValueError, match="acquisition is stopped"):
            acq.on_frame(print)


CAMERAS = 4
FRAMES = 40


def test_four_cameras_stream_at_once_and_every_frame_is_pixel_exact(next_camera_ip):
    width, height = 320, 240
    with contextlib.ExitStack() as stack:
        cams = [stack.enter_context(streaming_camera(next_camera_ip(), width=width, height=height))[1]
                for _ in range(CAMERAS)]
        results: dict[int, list[tuple[int, bool]]] = {}
        stats: dict[int, oculane.StreamStats] = {}

        def consume(k: int, acq: oculane.Acquisition) -> None:
            out = []
            for frame in acq:
                want = np.frombuffer(expected_frame(frame.frame_id, width, height, "Mono8"), np.uint8)
                out.append((frame.frame_id, frame.is_complete and np.array_equal(frame.array().ravel(), want)))
                if len(out) == FRAMES:
                    break
            # Read now: left unread from here on, the stream loses frames.
            stats[k] = acq.stats()
            results[k] = out

        # Each acquisition is read from as soon as it runs: one left unread
        # while the others start (tens of milliseconds each on a packet
        # ring) would lose frames as underruns, as it should.
        acqs: list[oculane.Acquisition] = []
        threads = []
        for cam in cams:
            acqs.append(stack.enter_context(cam.start_acquisition(n_buffers=16)))
            threads.append(threading.Thread(target=consume, args=(len(acqs) - 1, acqs[-1])))
            threads[-1].start()
        for t in threads:
            t.join(60.0)
    assert sorted(results) == list(range(CAMERAS))
    for k, frames in results.items():
        ids = [i for i, _ in frames]
        assert ids == list(range(ids[0], ids[0] + FRAMES)), f"camera {k} lost frames {stats[k]}"
        assert all(exact for _, exact in frames), f"camera {k}: a frame not pixel-exact"
    assert all(s.underruns == 0 and s.failed_frames == 0 for s in stats.values()), stats
