"""Events through the public API: the virtual camera sends the events that
are switched on, with their data, to the message channel the library
configures; the library names them and evaluates their data nodes without
device traffic; a slow consumer loses events, counted, and the camera's
retries follow its message channel settings."""

from __future__ import annotations

import struct
import threading

import pytest

import oculane
from gvcp_raw import Host
from streaming import eventually, streaming_camera

MESSAGE_PORT, MESSAGE_DEST, MESSAGE_TIMEOUT, MESSAGE_RETRIES = 0x0B00, 0x0B10, 0x0B14, 0x0B18
EVENT_SELECTOR, EVENT_NOTIFICATION = 0x12100, 0x12110


@pytest.mark.parametrize("name, event_id, data_features, acks_lost", [
    ("AcquisitionStart", 0x9000, [], False),
    ("AcquisitionEnd", 0x9001, [], False),
    ("FrameStart", 0x9002, ["FrameID"], False),
    ("ExposureEnd", 0x9003, ["FrameID"], False),
    # The camera misses our acknowledges and sends each event twice more.
    ("ExposureEnd", 0x9003, ["FrameID"], True),
])
def test_each_event_arrives_once_with_its_data(camera_ip, name, event_id, data_features, acks_lost):
    with streaming_camera(camera_ip) as (vc, cam):
        vc.ignore_event_acks(acks_lost)
        with cam.events(name, capacity=8, ack_timeout=0.02, retries=2) as sub:
            assert vc.read_register(MESSAGE_PORT) != 0
            frame = cam.snap()
            event = sub.wait_for(5.0)
            commands = len(vc.commands())
            values = event.values()
            assert len(vc.commands()) == commands  # no device round trip
            if acks_lost:
                # All three copies reached the library; only the first was delivered.
                assert eventually(lambda: cam.link_stats().events == 3)
                assert sub.try_recv() is None and vc.counters()["event_retries"] == 2
            assert sub.wait_for(0.2) is None  # only the event switched on
        assert (event.id, event.name) == (event_id, name)
        assert values[f"Event{name}"] == event_id
        assert values[f"Event{name}Timestamp"] == event.timestamp > 0
        for feature in data_features:
            assert values[f"Event{name}{feature}"] == frame.frame_id == event.block_id
            assert event.value(f"Event{name}{feature}") == frame.frame_id
        assert event.data == (struct.pack(">Q", frame.frame_id) if data_features else b"")
        with pytest.raises(oculane.GenicamException) as err:
            event.value("EventTestTimestamp")  # data of another event
        assert err.value.kind == "Unavailable"
        # Closing switched the notification off again.
        index = ["AcquisitionStart", "AcquisitionEnd", "FrameStart", "ExposureEnd"].index(name)
        assert vc.read_register(EVENT_NOTIFICATION + 4 * index) == 0


def test_a_slow_consumer_loses_events_counted_and_callbacks_run_on_a_library_thread(camera_ip):
    with streaming_camera(camera_ip) as (vc, cam):
        with cam.events("FrameStart", capacity=2) as sub:
            with cam.start_acquisition() as acq:
                for _ in range(8):
                    acq.wait_for(5.0)
                # Register traffic goes on while nobody reads the events.
                assert cam.get_integer("Width") > 0
            assert eventually(lambda: sub.lost >= 4)
            queued = [sub.try_recv(), sub.try_recv()]
            assert all(e.name == "FrameStart" for e in queued) and sub.try_recv() is None
        seen, done = [], threading.Event()

        def record(event):
            seen.append((event.name, threading.current_thread().name))
            done.set()

        with cam.on_event("Test", record) as callback:
            cam.execute("TestEventGenerate")
            assert done.wait(5.0)
        assert seen == [("Test", "oculane-event-Test")] and callback.errors == []


def test_unacknowledged_events_are_sent_again_as_the_retry_count_says(virtual_camera):
    vc = virtual_camera
    with Host(vc.ip) as h:
        h.take_control()
        # The host never acknowledges: each event comes 1 + retries times.
        for retries, timeout_ms in [(2, 20), (0, 20)]:
            assert h.write(MESSAGE_RETRIES, retries) == 0
            assert h.write(MESSAGE_TIMEOUT, timeout_ms) == 0
            assert h.write(0x10090, 1) == 0  # TestEventGenerate
            copies = [h.recv() for _ in range(1 + retries)]
            assert len({c[6:8] for c in copies}) == 1  # one request id
            assert h.recv(timeout=0.2) is None
        # An acknowledge ends the retries.
        assert h.write(MESSAGE_RETRIES, 3) == 0
        assert h.write(MESSAGE_TIMEOUT, 100) == 0
        assert h.write(0x10090, 1) == 0
        event = h.recv()
        h.send(struct.pack(">HHHH", 0, 0x00C1, 0, struct.unpack(">H", event[6:8])[0]))
        assert h.recv(timeout=0.4) is None
    assert vc.counters()["event_retries"] == 2
