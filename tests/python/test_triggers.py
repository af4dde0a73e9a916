"""Triggered frames: a camera in trigger mode sends exactly one frame per
trigger (software, input line, action command) and none without; the
acquisition start trigger; snaps and snapshot sessions that trigger in
software or wait for the outside world; action commands on loopback."""

from __future__ import annotations

import threading

import pytest

import oculane
from oculane.sim import expected_frame
from streaming import HEIGHT, WIDTH, eventually, streaming_camera

DEVICE_KEY, GROUP_KEY, GROUP_MASK = 0x1234, 7, 0x0F
QUIET = 0.3  # long enough for a frame that should not come to have come


@pytest.fixture
def camera(camera_ip):
    with streaming_camera(camera_ip) as vc_cam:
        yield vc_cam


def trigger_on(cam, source, selector="FrameStart", activation=None, delay_us=None):
    cam.set_enum("TriggerSelector", selector)
    cam.set_enum("TriggerMode", "On")
    cam.set_enum("TriggerSource", source)
    if activation:
        cam.set_enum("TriggerActivation", activation)
    if delay_us is not None:
        cam.set_float("TriggerDelay", delay_us)


def arm_actions(cam):
    cam.set_integer("ActionDeviceKey", DEVICE_KEY)
    cam.set_integer("ActionSelector", 0)
    cam.set_integer("ActionGroupKey", GROUP_KEY)
    cam.set_integer("ActionGroupMask", GROUP_MASK)


def check_frames(acq, count, first_id=None):
    """`count` frames, each pixel-exact, then none."""
    frames = [acq.wait_for(5.0) for _ in range(count)]
    assert None not in frames
    for f in frames:
        assert f.is_complete
        assert f.data() == expected_frame(f.frame_id, WIDTH, HEIGHT, "Mono8")
    assert acq.wait_for(QUIET) is None
    return frames


# (trigger source, activation, how to fire it once, frames per firing)
FIRINGS = [
    ("Software", None, lambda vc, cam: cam.execute("TriggerSoftware"), 1),
    ("Line0", "RisingEdge", lambda vc, cam: vc.pulse_line(0), 1),
    ("Line2", "FallingEdge", lambda vc, cam: vc.pulse_line(2), 1),
    ("Line1", "AnyEdge", lambda vc, cam: vc.pulse_line(1), 2),  # a pulse has two edges
    ("Line1", "RisingEdge", lambda vc, cam: vc.pulse_line(0), 0),  # another line
    ("Action0", None, lambda vc, cam: oculane.action_command(DEVICE_KEY, GROUP_KEY, 0x01, address=vc.ip), 1),
]


@pytest.mark.parametrize("source, activation, fire, per_firing", FIRINGS,
                         ids=[f"{s}-{a or 'any'}-{n}" for s, a, _, n in FIRINGS])
def test_frame_start_trigger_gives_one_frame_per_trigger_and_none_without(camera, source, activation, fire,
                                                                         per_firing):
    vc, cam = camera
    arm_actions(cam)
    trigger_on(cam, source, activation=activation)
    triggers = 4
    with cam.start_acquisition() as acq:
        assert acq.wait_for(QUIET) is None, "a frame before any trigger"
        for _ in range(triggers):
            fire(vc, cam)
        frames = check_frames(acq, triggers * per_firing)
    ids = [f.frame_id for f in frames]
    assert ids == sorted(ids) and len(set(ids)) == len(ids)
    assert vc.counters()["triggers"] == triggers * per_firing


def test_trigger_delay_and_a_trigger_outside_an_acquisition(camera):
    vc, cam = camera
    trigger_on(cam, "Software", delay_us=50_000.0)
    cam.execute("TriggerSoftware")  # not acquiring: lost, as on a camera
    assert vc.counters()["triggers_missed"] == 1
    with cam.start_acquisition() as acq:
        cam.execute("TimestampLatch")
        before = cam.get_integer("TimestampLatchValue")
        cam.execute("TriggerSoftware")
        [frame] = check_frames(acq, 1)
    # Stamped at the trigger plus its delay (ticks are nanoseconds here).
    assert frame.timestamp_ticks - before >= 50_000_000


def test_acquisition_start_trigger_starts_a_continuous_acquisition(camera):
    vc, cam = camera
    trigger_on(cam, "Line1", selector="AcquisitionStart")
    cam.set_enum("TriggerSelector", "FrameStart")
    assert cam.get_enum("TriggerMode") == "Off"  # each selector has its own settings
    with cam.start_acquisition() as acq:
        assert acq.wait_for(QUIET) is None and not vc.acquiring
        vc.pulse_line(1)
        frames = [acq.wait_for(5.0) for _ in range(5)]
        assert None not in frames and vc.acquiring
        assert all(f.data() == expected_frame(f.frame_id, WIDTH, HEIGHT, "Mono8") for f in frames)


# ---- snaps ----------------------------------------------------------------------------


@pytest.mark.parametrize("mode", ["SingleFrame", "Continuous"])
def test_snaps_trigger_in_software_themselves(camera, mode):
    vc, cam = camera
    cam.set_enum("AcquisitionMode", mode)
    trigger_on(cam, "Software", selector="AcquisitionStart")
    trigger_on(cam, "Software")
    frame = cam.snap(2.0)
    assert frame.data() == expected_frame(frame.frame_id, WIDTH, HEIGHT, "Mono8")
    with cam.snapshot_session() as s:
        frames = [s.snap(2.0) for _ in range(3)]
    assert all(f.data() == expected_frame(f.frame_id, WIDTH, HEIGHT, "Mono8") for f in frames)
    # One start and one frame trigger per snap; the selector is put back.
    assert vc.counters()["triggers"] == 8
    assert cam.get_enum("TriggerSelector") == "FrameStart"
    assert not vc.acquiring


def test_snap_waits_for_an_external_trigger_within_its_timeout(camera):
    vc, cam = camera
    trigger_on(cam, "Line0")
    with pytest.raises(oculane.GenicamException) as e:
        cam.snap(QUIET)
    assert e.value.kind == "SnapTimeout"
    with cam.snapshot_session() as s:
        # The pulse comes once the camera waits for it.
        timer = threading.Timer(0.2, vc.pulse_line, args=(0,))
        timer.start()
        try:
            frame = s.snap(5.0)
        finally:
            timer.cancel()
    assert frame.data() == expected_frame(frame.frame_id, WIDTH, HEIGHT, "Mono8")
    assert vc.counters()["triggers"] == 1


# ---- action commands on loopback ------------------------------------------------------


@pytest.mark.parametrize("keys, acks", [
    ((DEVICE_KEY, GROUP_KEY, 0x01), 1),
    ((DEVICE_KEY + 1, GROUP_KEY, 0x01), 0),  # another device key
    ((DEVICE_KEY, GROUP_KEY + 1, 0x01), 0),  # another group
    ((DEVICE_KEY, GROUP_KEY, 0x10), 0),  # no mask bit in common
], ids=["matching", "device key", "group key", "group mask"])
def test_unicast_action_acts_only_when_its_keys_match(camera, keys, acks):
    vc, cam = camera
    arm_actions(cam)
    trigger_on(cam, "Action0")
    with cam.start_acquisition() as acq:
        got = oculane.action_command(*keys, address=vc.ip)
        assert got == [oculane.ActionAck(vc.ip, 3956, 0)] * acks
        check_frames(acq, acks)
    assert (vc.counters()["actions"], vc.counters()["actions_matched"]) == (1, acks)


def test_scheduled_action_acts_at_its_device_time(camera):
    vc, cam = camera
    arm_actions(cam)
    trigger_on(cam, "Action0")
    with cam.start_acquisition() as acq:
        cam.execute("TimestampLatch")
        at = cam.get_integer("TimestampLatchValue") + 200_000_000  # 0.2 s on
        assert oculane.action_command(DEVICE_KEY, GROUP_KEY, 1, scheduled_time=at, address=vc.ip) == [
            oculane.ActionAck(vc.ip, 3956, 0)]
        assert vc.timestamp() < at, "acknowledged before its time"
        [frame] = check_frames(acq, 1)
        assert frame.timestamp_ticks == at
        # A time already past: acted on at once, and the acknowledge says so.
        late = oculane.action_command(DEVICE_KEY, GROUP_KEY, 1, scheduled_time=1, address=vc.ip)
        assert late == [oculane.ActionAck(vc.ip, 3956, 0x8016)]
        check_frames(acq, 1)


def test_action_command_arguments_are_checked_before_sending(camera):
    vc, _ = camera
    for call, text in [
        (lambda: oculane.action_command(-1, 1, 1, address=vc.ip), "device_key"),
        (lambda: oculane.action_command(1, 1, 1 << 32, address=vc.ip), "group_mask"),
        (lambda: oculane.action_command(1, 1, 1, address="no.such"), "no.such"),
        (lambda: oculane.action_command(1, 1, 1, address=vc.ip, ack_timeout=-1.0), "negative"),
    ]:
        with pytest.raises((ValueError, TypeError, OverflowError), match=text):
            call()
    assert vc.counters()["actions"] == 0
    # Without acknowledges the call returns at once, and the device is still told.
    assert oculane.action_command(1, 1, 1, address=vc.ip, ack_timeout=0) == []
    assert eventually(lambda: vc.counters()["actions"] == 1)
