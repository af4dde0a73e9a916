"""Camera construction, the busy slot, connect and disconnect, against
virtual cameras on loopback addresses of this module's own."""

from __future__ import annotations

import itertools
import math
import os
import random
import threading
import time

import pytest

import oculane
from oculane.sim import VirtualCamera
from streaming import eventually

# A block of loopback addresses apart from the shared fixtures', so these
# cameras never meet another test run's on port 3956.
_addresses = (f"127.0.{hi}.{lo}" for hi in range(77, 90) for lo in range(2, 255))

CCP = 0x0A00
HEARTBEAT_TIMEOUT = 0x0938


@pytest.fixture
def cam():
    with VirtualCamera(next(_addresses)) as vc:
        yield vc


def fast_camera(vc: VirtualCamera, **kw) -> oculane.Camera:
    kw.setdefault("gvcp_timeout", 0.1)
    kw.setdefault("retries", 2)
    return oculane.Camera(vc.ip, **kw)


# ---- construction -----------------------------------------------------------


@pytest.mark.parametrize(
    "text, message",
    [
        ("192.168.1.300", 'invalid IP address: "192.168.1.300"'),
        ("cam1", 'invalid IP address: "cam1"'),
        ("", 'invalid IP address: ""'),
        (" 10.0.0.1", 'invalid IP address: " 10.0.0.1"'),
        ("10.0.0.1:3956", 'invalid IP address: "10.0.0.1:3956"'),
        ('a"b\\c\n\x01', 'invalid IP address: "a\\"b\\\\c\\n\\x01"'),
    ],
)
def test_invalid_addresses_are_refused_with_the_input_escaped(text, message):
    with pytest.raises(ValueError) as err:
        oculane.Camera(text)
    assert str(err.value) == message
    with pytest.raises(ValueError) as err:
        oculane.Camera("127.0.0.1", local_ip=text)
    assert str(err.value) == message


def test_ip_is_checked_before_the_timeout_and_the_timeout_before_local_ip():
    with pytest.raises(ValueError, match="invalid IP address"):
        oculane.Camera("bad", gvcp_timeout=-1.0)
    with pytest.raises(ValueError, match="value is negative"):
        oculane.Camera("127.0.0.1", gvcp_timeout=-1.0, local_ip="bad")


@pytest.mark.parametrize(
    "value, message",
    [
        (-0.5, "cannot convert float seconds to Duration: value is negative"),
        (math.nan, "cannot convert float seconds to Duration: value is either too big or NaN"),
        (math.inf, "cannot convert float seconds to Duration: value is either too big or NaN"),
    ],
)
def test_bad_durations_are_refused(value, message):
    with pytest.raises(ValueError) as err:
        oculane.Camera("127.0.0.1", gvcp_timeout=value)
    assert str(err.value) == message


def test_argument_conversion_rejects_wrong_types_and_ranges():
    for bad, error in (({"retries": 256}, ValueError), ({"retries": -1}, ValueError),
                       ({"retries": 2**64}, OverflowError), ({"exclusive": "yes"}, TypeError)):
        with pytest.raises(error):
            oculane.Camera("127.0.0.1", **bad)
    with pytest.raises(TypeError):
        oculane.Camera("127.0.0.1", 0.5)  # everything after ip is keyword-only


def test_a_new_camera_is_disconnected_and_does_nothing():
    camera = oculane.Camera("::1")
    assert repr(camera) == "Camera(::1, connected=False)"
    assert camera.is_connected() is False
    assert camera.link_stats() is None
    assert camera.disconnect() is None
    with pytest.raises(oculane.CameraException, match="^driver is not connected$"):
        camera.device_info()
    with pytest.raises(TypeError):
        oculane.LinkStats()


def test_ipv6_device_fails_cleanly_on_connect():
    camera = oculane.Camera("::1")
    with pytest.raises(oculane.CameraException, match="IPv4"):
        camera.connect()
    assert not camera.is_connected()


# ---- connect and disconnect ---------------------------------------------------


def test_connect_serves_identity_and_counters_then_disconnect_releases(cam):
    camera = fast_camera(cam)
    assert camera.connect() is None
    assert camera.is_connected()
    assert repr(camera) == f"Camera({cam.ip}, connected=True)"
    info = camera.device_info()
    assert (info.model, info.manufacturer, info.serial) == (cam.model, cam.manufacturer, cam.serial)
    assert cam.control_bits == 0x2
    assert cam.read_register(HEARTBEAT_TIMEOUT) == 3000

    stats = camera.link_stats()
    assert stats.commands == stats.acks >= 10
    assert stats.retries == stats.timeouts == stats.naks == 0
    names = ["commands", "acks", "retries", "timeouts", "naks", "pending_acks", "heartbeats", "events", "unsolicited"]
    assert repr(stats) == "LinkStats { " + ", ".join(f"{n}: {getattr(stats, n)}" for n in names) + " }"

    seen = len(cam.commands())
    camera.connect()
    assert len(cam.commands()) == seen, "a live connection is reused without traffic"

    camera.disconnect()
    assert not camera.is_connected()
    assert eventually(lambda: cam.controller is None)  # the camera handles the release on its own thread
    assert camera.link_stats() is None


def test_exclusive_access_writes_three(cam):
    camera = fast_camera(cam, exclusive=True)
    camera.connect()
    writes = [c for c in cam.commands() if c.command == 0x0082 and c.addresses == [CCP]]
    assert writes[0].values == [0x3]
    assert cam.control_bits == 0x3


@pytest.mark.parametrize(
    "seconds, millis", [(2.5, 2500), (1e12, 4294967295), (0.0015, 1), (0.0009, 0), (-1.0, 0), (math.nan, 0)]
)
def test_heartbeat_timeout_is_written_in_whole_milliseconds(cam, seconds, millis):
    camera = fast_camera(cam, heartbeat_timeout=seconds)
    if millis == 0:
        # The camera refuses a zero timeout; what matters is what was asked.
        with pytest.raises(oculane.CameraException, match=r"^device answered command 0x0082 with invalid parameter"):
            camera.connect()
    else:
        camera.connect()
        assert cam.read_register(HEARTBEAT_TIMEOUT) == millis
    writes = [c.values for c in cam.commands() if c.command == 0x0082 and c.addresses == [HEARTBEAT_TIMEOUT]]
    assert writes == [[millis]]


def test_dropped_acks_are_retried_and_counted(cam):
    cam.drop_acks(2, commands=[0x0080])
    camera = fast_camera(cam)
    camera.connect()
    stats = camera.link_stats()
    assert stats.retries == 2
    assert stats.timeouts == 0
    assert camera.device_info().serial == cam.serial


def test_a_nak_gives_the_device_status_text(cam):
    cam.fail_address(0x0934, 0x8001)
    camera = fast_camera(cam)
    with pytest.raises(oculane.CameraException) as err:
        camera.connect()
    assert str(err.value) == "device answered command 0x0080 with not implemented (0x8001)"
    assert not camera.is_connected()
    assert eventually(lambda: cam.controller is None), "a failed connect gives control back"


def test_control_held_elsewhere_is_access_denied(cam):
    cam.hold_control_elsewhere()
    camera = fast_camera(cam)
    with pytest.raises(oculane.CameraException) as err:
        camera.connect()
    assert str(err.value) == "device control is held by another application"


def test_silent_camera_times_out(cam):
    cam.set_silent()
    camera = fast_camera(cam, gvcp_timeout=0.05, retries=1)
    start = time.monotonic()
    with pytest.raises(oculane.CameraException) as err:
        camera.connect()
    assert str(err.value) == "connect timed out"
    # Two sends 50 ms apart; the wait W (0.6 s) bounds it from above.
    assert time.monotonic() - start >= 0.1
    assert not camera.is_connected()


def test_lost_control_is_reported_and_connect_recovers(cam):
    camera = fast_camera(cam, heartbeat_timeout=0.06)
    camera.connect()
    cam.lose_control()
    assert eventually(lambda: not camera.is_connected())
    with pytest.raises(oculane.CameraException) as err:
        camera.device_info()
    assert str(err.value) == "device control was lost (heartbeat failed)"
    assert camera.link_stats() is not None
    camera.connect()
    assert camera.is_connected()
    assert cam.control_bits == 0x2


def test_disconnect_with_zero_deadline_still_stops_everything(cam):
    camera = fast_camera(cam)
    camera.connect()
    camera.disconnect(0.0)
    assert not camera.is_connected()
    with pytest.raises(ValueError, match="value is negative"):
        camera.disconnect(-1.0)
    camera.connect()  # the failed disconnect released the busy slot


# ---- busy slot and the interpreter lock ---------------------------------------


def test_busy_slot_refuses_a_second_long_operation_while_connect_runs(cam):
    cam.delay_acks(100)  # every step of connect now takes 100 ms
    camera = fast_camera(cam, gvcp_timeout=0.5)
    errors, busy = [], []

    def connect():
        try:
            camera.connect()
        except ValueError as e:
            busy.append(str(e))
        except Exception as e:  # reported below
            errors.append(e)

    # Whichever thread claims the slot first, the other is refused; the
    # refused one returns at once while the winner is still connecting.
    worker = threading.Thread(target=connect)
    worker.start()
    end = time.monotonic() + 5
    while not busy and time.monotonic() < end:
        connect()
    worker.join()
    assert busy and busy[0] == "camera is busy (a connect in progress); stop it first"
    assert errors == []
    # The interpreter lock was free meanwhile: this thread kept running, and
    # the short queries work once connect is done.
    assert camera.is_connected()


def test_failed_connect_releases_the_busy_slot(cam):
    cam.set_silent()
    camera = fast_camera(cam, gvcp_timeout=0.02, retries=0)
    for _ in range(2):
        with pytest.raises(oculane.CameraException, match="connect timed out"):
            camera.connect()
    cam.set_silent(False)
    camera.connect()
    assert camera.is_connected()


def test_quick_queries_answer_while_a_connect_holds_the_camera(cam):
    # A silent camera keeps connect on its first command, holding the camera
    # state, for as long as the test wants (20 tries of 0.5 s).
    cam.set_silent()
    camera = fast_camera(cam, gvcp_timeout=0.5, retries=20)
    done = threading.Event()
    found = []

    def connect():
        try:
            camera.connect()
        finally:
            done.set()

    connecting = threading.Thread(target=connect)
    connecting.start()
    assert eventually(lambda: len(cam.commands()) > 0)
    # Waits for the camera state with the interpreter lock released.
    waiting = threading.Thread(target=lambda: found.append(camera.has_feature("Width")))
    waiting.start()
    # This thread keeps running, and the connection queries answer without
    # waiting for the connect.
    assert not camera.is_connected()
    assert repr(camera) == f"Camera({cam.ip}, connected=False)"
    assert camera.link_stats() is None
    with pytest.raises(oculane.CameraException, match="driver is not connected"):
        camera.device_info()
    assert not done.is_set() and waiting.is_alive()
    cam.set_silent(False)
    connecting.join()
    waiting.join()
    assert camera.is_connected() and found == [True]
    assert repr(camera) == f"Camera({cam.ip}, connected=True)"


def _description_read_seen(vc: VirtualCamera) -> bool:
    return any(c.command == 0x0084 and c.addresses[0] >= 0x10000 for c in vc.commands())


@pytest.mark.parametrize("phase", ["take", "download"])
def test_ctrl_c_interrupts_a_connect_and_leaves_the_camera_free(next_camera_ip, phase):
    import _thread

    # A long heartbeat timeout: the camera is free again only because
    # control was given back, not because the privilege lapsed.
    with VirtualCamera(next_camera_ip(), heartbeat_timeout_ms=60000) as cam:
        if phase == "take":
            cam.set_silent()  # the take goes unanswered (yet is carried out)
            seen = lambda: len(cam.commands()) > 0  # noqa: E731
        else:
            cam.delay_acks(30)  # control is ours; the description comes slowly
            seen = lambda: _description_read_seen(cam)  # noqa: E731
        camera = fast_camera(cam, gvcp_timeout=0.5, retries=10, heartbeat_timeout=60.0)

        def interrupt():
            if eventually(seen):
                _thread.interrupt_main()

        threading.Thread(target=interrupt).start()
        with pytest.raises(KeyboardInterrupt):
            camera.connect()
        assert not camera.is_connected()
        assert eventually(lambda: cam.control_bits == 0)
        cam.clear_faults()
        cam.set_silent(False)
        camera.connect()
        assert camera.is_connected()
        camera.disconnect()


@pytest.mark.parametrize("announced_ms", [0, 1])
def test_a_pending_ack_announcing_no_time_still_gets_the_ack_timeout(cam, announced_ms):
    # The first commands are answered "pending, 0-1 ms" first, the real answer
    # follows 30 ms later: well inside the 0.2 s acknowledge timeout.
    cam.pending_ack(announced_ms, answer_after_ms=30, count=5)
    camera = fast_camera(cam, gvcp_timeout=0.2, retries=2)
    camera.connect()
    assert camera.is_connected()
    assert camera.link_stats().pending_acks > 0


@pytest.mark.parametrize("concatenation", [True, False])
def test_register_lists_follow_the_concatenation_capability(next_camera_ip, concatenation):
    with VirtualCamera(next_camera_ip(), no_concatenation=not concatenation) as vc:
        camera = fast_camera(vc)
        camera.connect()
        info = camera.device_info()
        assert (info.serial, info.model, info.mac.lower()) == (vc.serial, vc.model, vc.mac)
        assert camera.get_integer("Width") == vc.read_register(0x10010)
        lists = [len(c.addresses) for c in vc.commands() if c.command in (0x0080, 0x0082)]
        assert max(lists) == (9 if concatenation else 1)


# ---- robustness -----------------------------------------------------------------


def _count(path: str) -> int:
    return len(os.listdir(path))


def test_connect_disconnect_cycles_leave_no_threads_or_descriptors(cam):
    camera = fast_camera(cam)
    camera.connect()
    camera.disconnect()
    threads, fds = _count("/proc/self/task"), _count("/proc/self/fd")
    for i in range(50):
        camera.connect()
        camera.disconnect(0.5 if i % 2 else 0.0)
    assert _count("/proc/self/task") == threads
    assert _count("/proc/self/fd") == fds
    assert eventually(lambda: cam.controller is None)  # the camera handles the release on its own thread


def test_garbage_from_the_camera_during_traffic_changes_nothing(cam):
    camera = fast_camera(cam)
    camera.connect()
    rng = random.Random(7)
    stop = threading.Event()

    def noise():
        for i in range(3000):
            if stop.is_set():
                return
            data = bytearray(rng.randbytes(rng.randrange(0, 48)))
            if len(data) >= 8 and i % 2:
                data[0] = 0x42  # looks like a device command
            cam.send_raw(bytes(data))

    t = threading.Thread(target=noise)
    t.start()
    try:
        for _ in range(20):
            camera.disconnect()
            camera.connect()
            assert camera.device_info().serial == cam.serial
    finally:
        stop.set()
        t.join()
    assert camera.is_connected()


def test_many_threads_use_one_camera_without_deadlock(cam):
    camera = fast_camera(cam)
    camera.connect()
    failures = []
    width = camera.get_integer("Width")
    scda = camera.get_integer("GevSCDA")
    acks_before = camera.link_stats().acks

    def query():
        try:
            for _ in range(50):
                # A device read each time (uncached register) beside the short queries.
                assert camera.get_integer("GevSCDA") == scda
                assert camera.get_integer("Width") == width
                assert camera.device_info().serial == cam.serial
                assert camera.link_stats().acks > 0
                assert camera.is_connected()
        except Exception as e:  # reported below
            failures.append(e)

    threads = [threading.Thread(target=query) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=30)
    assert not any(t.is_alive() for t in threads)
    assert failures == []
    stats = camera.link_stats()
    assert stats.acks >= acks_before + 8 * 50, "every thread's reads reached the device"
    assert stats.timeouts == stats.naks == 0


def test_vanished_camera_makes_the_connection_die_without_leaks(cam):
    camera = fast_camera(cam, heartbeat_timeout=0.06)
    threads = _count("/proc/self/task")  # the camera's own two threads included
    camera.connect()
    cam.stop()
    assert eventually(lambda: not camera.is_connected())
    with pytest.raises(oculane.CameraException, match="device control was lost"):
        camera.device_info()
    camera.disconnect()
    assert _count("/proc/self/task") == threads - 2


def test_local_ip_binds_the_control_socket(cam):
    camera = fast_camera(cam, local_ip="127.0.0.1")
    camera.connect()
    assert cam.controller[0] == "127.0.0.1"


def test_unbindable_local_ip_fails_to_start_the_worker(cam):
    # 192.0.2.0/24 is reserved for documentation and on no interface here.
    camera = fast_camera(cam, local_ip="192.0.2.1")
    with pytest.raises(oculane.CameraException) as err:
        camera.connect()
    assert str(err.value).startswith("worker thread failed to start: bind control socket 192.0.2.1:0: ")
    assert cam.commands() == []


# ---- registers at unaligned addresses ---------------------------------------

# Descriptions pack small registers into words and put strings at odd
# offsets; the device itself only answers aligned requests.
_PACKED = """<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="Packed" VendorName="Test" StandardNameSpace="None"
    SchemaMajorVersion="1" SchemaMinorVersion="1" SchemaSubMinorVersion="0"
    MajorVersion="1" MinorVersion="0" SubMinorVersion="0" ToolTip="" ProductGuid="" VersionGuid="">
  <Category Name="Root"><pFeature>HighByte</pFeature><pFeature>MiddleHalf</pFeature><pFeature>OddText</pFeature></Category>
  <IntReg Name="HighByte"><Address>0x20000</Address><Length>1</Length><AccessMode>RO</AccessMode>
    <pPort>Device</pPort><Cachable>NoCache</Cachable><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
  <IntReg Name="MiddleHalf"><Address>0x20001</Address><Length>2</Length><AccessMode>RW</AccessMode>
    <pPort>Device</pPort><Cachable>NoCache</Cachable><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
  <StringReg Name="OddText"><Address>0x20103</Address><Length>7</Length><AccessMode>RO</AccessMode>
    <pPort>Device</pPort><Cachable>NoCache</Cachable></StringReg>
  <Port Name="Device"/>
</RegisterDescription>
"""


def test_registers_at_unaligned_addresses_read_their_own_bytes(tmp_path):
    path = tmp_path / "packed.xml"
    path.write_text(_PACKED)
    with VirtualCamera(next(_addresses), description_file=path) as vc:
        vc.write_register(0x20000, 0xA1B2C3D4)
        for i, word in enumerate([b"xxxo", b"dd t", b"ext!"]):
            vc.write_register(0x20100 + 4 * i, int.from_bytes(word, "big"))
        camera = fast_camera(vc)
        camera.connect()
        try:
            vc.clear_commands()
            assert camera.get_integer("HighByte") == 0xA1
            assert camera.get_integer("MiddleHalf") == 0xB2C3
            assert camera.get_string("OddText") == "odd tex"
            # Whole aligned words went out; nothing was refused.
            assert all(c.status == 0 for c in vc.commands())
            # Writing there would need a read-modify-write of the neighbours.
            with pytest.raises(oculane.CameraException, match="write address and length must be 4-byte aligned"):
                camera.set_integer("MiddleHalf", 7)
            assert vc.read_register(0x20000) == 0xA1B2C3D4
        finally:
            camera.disconnect()
