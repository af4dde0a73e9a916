"""Fault switches, events and the camera's records, seen from a raw GVCP host."""

from __future__ import annotations

import struct
import time

import pytest

from gvcp_raw import DISCOVERY, Ack, Host, read_mem, read_reg, wait_until, write_reg
from oculane.sim import Command, VirtualCamera

NO_ANSWER = 0.3  # how long a test waits to conclude that nothing comes


def test_dropped_acks_still_carry_out_the_command(virtual_camera: VirtualCamera) -> None:
    with Host(virtual_camera.ip) as h:
        virtual_camera.drop_acks(2)
        h.send(write_reg(5, (0x0A00, 0x2)))
        assert h.recv(NO_ANSWER) is None
        assert virtual_camera.controller == h.address  # done, though unacknowledged
        h.send(write_reg(5, (0x0A00, 0x2)))  # the host's retry, same id
        assert h.recv(NO_ANSWER) is None
        h.send(write_reg(5, (0x0A00, 0x2)))
        assert Ack(h.recv()).ack_id == 5
    assert virtual_camera.counters()["dropped_acks"] == 2


def test_every_ack_of_chosen_commands_is_dropped(virtual_camera: VirtualCamera) -> None:
    virtual_camera.drop_acks(None, commands=["READMEM"])
    with Host(virtual_camera.ip) as h:
        for i in range(3):
            h.send(read_mem(i + 1, 0, 4))
            assert h.recv(NO_ANSWER) is None
        assert h.read(0x0000) == [0x00020000]  # other commands still answered
        virtual_camera.clear_faults()
        assert h.transact(read_mem, 0, 4).status == 0


def test_pending_ack_before_the_real_one(virtual_camera: VirtualCamera) -> None:
    virtual_camera.pending_ack(400, answer_after_ms=100, count=1)
    with Host(virtual_camera.ip) as h:
        sent = time.monotonic()
        h.send(read_reg(9, 0x0934))
        pending = Ack(h.recv())
        assert pending.raw == bytes.fromhex("0000 0089 0004 0009 0000 0190".replace(" ", ""))
        real = Ack(h.recv())
        assert time.monotonic() - sent >= 0.1
        assert (real.code, real.ack_id, real.status) == (0x0081, 9, 0)
        h.send(read_reg(10, 0x0934))  # count used up: answered at once
        assert Ack(h.recv()).code == 0x0081
    assert virtual_camera.counters()["pending_acks"] == 1


def test_failing_address_answers_with_the_given_status(virtual_camera: VirtualCamera) -> None:
    virtual_camera.fail_address(0x0938, 0x8FFF)
    with Host(virtual_camera.ip) as h:
        h.take_control()
        assert h.write(0x0938, 1000) == 0x8FFF
        assert h.transact(read_reg, 0x0938).status == 0x8FFF
        assert h.transact(read_mem, 0x0930, 16).status == 0x8FFF
        virtual_camera.clear_failing_addresses()
        assert h.read(0x0938) == [3000]  # the refused write was not carried out


@pytest.mark.parametrize(
    "kind,check",
    [
        ("wrong_id", lambda raw: struct.unpack(">H", raw[6:8])[0] == 0x0033 ^ 0x8000),
        ("wrong_code", lambda raw: raw[2:4] == b"\x00\x83"),
        ("short_payload", lambda raw: raw[4:6] == b"\x00\x04" and len(raw) == 12),
        ("malformed", lambda raw: struct.unpack(">H", raw[4:6])[0] > len(raw) - 8),
    ],
)
def test_spoiled_acks(virtual_camera: VirtualCamera, kind: str, check) -> None:
    virtual_camera.spoil_acks(kind, count=1, commands=[Command.READREG])
    with Host(virtual_camera.ip) as h:
        h.send(read_reg(0x33, 0x0000, 0x0004))
        spoiled = h.recv()
        assert spoiled is not None and check(spoiled), spoiled.hex()
        h.send(read_reg(0x34, 0x0000, 0x0004))
        clean = Ack(h.recv())
        assert (clean.ack_id, clean.code, len(clean.payload)) == (0x34, 0x0081, 8)


def test_raw_datagrams_from_the_camera_address(virtual_camera: VirtualCamera) -> None:
    with Host(virtual_camera.ip) as h:
        h.read(0x0000)  # the camera now knows this host
        virtual_camera.send_raw(b"\x01\x02\x03")
        assert h.recv() == b"\x01\x02\x03"  # Host checks it came from (camera ip, 3956)
        virtual_camera.send_raw(b"xyz", ip=h.address[0], port=h.address[1])
        assert h.recv() == b"xyz"
    assert virtual_camera.counters()["raw"] == 2


def test_delayed_acks(virtual_camera: VirtualCamera) -> None:
    virtual_camera.delay_acks(150)
    with Host(virtual_camera.ip) as h:
        sent = time.monotonic()
        h.send(read_reg(1, 0))
        assert h.recv(NO_ANSWER / 3) is None
        assert Ack(h.recv()).ack_id == 1
        assert time.monotonic() - sent >= 0.15


def test_silent_camera_answers_nothing(virtual_camera: VirtualCamera) -> None:
    virtual_camera.set_silent()
    with Host(virtual_camera.ip) as h:
        h.send(DISCOVERY)
        h.send(read_reg(1, 0))
        assert h.recv(NO_ANSWER) is None
        virtual_camera.set_silent(False)
        h.send(read_reg(2, 0))
        assert Ack(h.recv()).ack_id == 2
    assert [r.answered for r in virtual_camera.commands()] == [False, False, True]


def test_control_lost_and_held_elsewhere(virtual_camera: VirtualCamera) -> None:
    with Host(virtual_camera.ip) as h:
        h.take_control()
        virtual_camera.lose_control()
        assert h.read(0x0A00) == [0]  # what a heartbeat would see
        assert h.write(0x10010, 320) == 0x8006
        virtual_camera.hold_control_elsewhere("10.1.2.3", 5000)
        assert h.write(0x0A00, 0x2) == 0x8006
        assert virtual_camera.controller == ("10.1.2.3", 5000)
        virtual_camera.hold_control_elsewhere(None)
        h.take_control()


def test_events_reach_the_controller_and_acks_are_recorded(virtual_camera: VirtualCamera) -> None:
    with pytest.raises(ValueError, match="no controlling application"):
        virtual_camera.send_event(0x9000)
    with Host(virtual_camera.ip) as h:
        h.take_control()
        request_id = virtual_camera.send_event(0x9001, b"\xAA\xBB\xCC\xDD", with_data=True, block_id=7)
        event = h.recv()
        assert event[:8] == struct.pack(">BBHHH", 0x42, 0x01, 0x00C2, 20, request_id)
        _, event_id, channel, block, timestamp = struct.unpack(">HHHHQ", event[8:24])
        assert (event_id, channel, block) == (0x9001, 0xFFFF, 7)
        assert event[24:] == b"\xAA\xBB\xCC\xDD"
        h.send(struct.pack(">HHHH", 0, 0x00C3, 0, request_id))
        assert wait_until(lambda: len(virtual_camera.event_acks()) == 1)
        (ack,) = virtual_camera.event_acks()
        assert (ack.source, ack.ack_code, ack.ack_id, ack.status) == (h.address, 0x00C3, request_id, 0)

        with pytest.raises(ValueError, match="EVENT command carries no data"):
            virtual_camera.send_event(0x9003, b"\x01\x02\x03\x04")
        virtual_camera.send_event(0x9002, ack_required=False)
        assert h.recv()[:4] == bytes([0x42, 0x00, 0x00, 0xC0])
        # TestEventGenerate makes the device send one of its own.
        assert h.write(0x10090, 1) == 0
        assert struct.unpack(">H", h.recv()[10:12])[0] == 0x4FFF
    assert virtual_camera.counters()["events"] == 3


def test_command_log_and_counters(virtual_camera: VirtualCamera) -> None:
    with Host(virtual_camera.ip) as h:
        h.take_control()
        h.send(read_reg(77, 0x0000, 0x0934))
        h.recv()
        h.transact(read_mem, 0x0200, 64)
        h.send(b"\x42\x01\x00")  # not even a header
        host = h.address
    log = virtual_camera.commands()
    assert [(r.command_name, r.addresses, r.values) for r in log] == [
        ("WRITEREG", [0x0A00], [0x2]),
        ("READREG", [0x0000, 0x0934], []),
        ("READMEM", [0x0200], []),
    ]
    assert log[1].request_id == 77 and log[1].source == host and log[1].answered
    assert log[2].length == 64
    assert wait_until(lambda: virtual_camera.counters()["malformed"] == 1)
    counters = virtual_camera.counters()
    assert (counters["commands"], counters["acks"], counters["control_granted"]) == (3, 3, 1)
    assert virtual_camera.read_register(0x0A00) == 0x2
    virtual_camera.clear_commands()
    assert virtual_camera.commands() == []


def test_direct_register_access_for_set_up(virtual_camera: VirtualCamera) -> None:
    virtual_camera.write_register(0x10010, 1024)
    assert virtual_camera.read_register(0x10010) == 1024
    assert virtual_camera.payload_size == 1024 * 480
    assert virtual_camera.stream_channel() == {
        "host_port": 0, "packet_size": 1500, "packet_delay": 0, "destination": "0.0.0.0"}


def test_option_errors() -> None:
    with pytest.raises(ValueError):
        VirtualCamera("127.0.0.300")
    with pytest.raises(ValueError, match="broken_first_url"):
        VirtualCamera("127.0.0.2", broken_first_url="bogus")
    cam = VirtualCamera("127.0.0.2")
    with pytest.raises(ValueError, match="kind"):
        cam.spoil_acks("drop")
    with pytest.raises(ValueError, match="count"):
        cam.drop_acks(0)
    with pytest.raises(ValueError, match="pending_ms must be from 0 to 65535"):
        cam.pending_ack(70_000)
    with pytest.raises(KeyError):
        cam.drop_acks(1, commands=["NOPE"])
    with pytest.raises(ValueError, match="not running"):
        cam.send_raw(b"x", "127.0.0.1", 9)


CONFIG_ERRORS = [
    ({"serial": "S" * 17}, "serial 'S{17}' is longer than the 16 bytes its field holds"),
    ({"model": "M" * 33}, "model .* 32 bytes"),
    ({"user_defined_name": "n" * 17}, "user_defined_name .* 16 bytes"),
    ({"width": 2000}, r"width must be a multiple of 4 from 16 to sensor_width \(1280\)"),
    ({"width": 642}, "width must be a multiple of 4"),
    ({"height": 8}, "height must be a multiple of 2 from 16"),
    ({"sensor_width": 100_000}, "sensor_width must be a multiple of 4 from 16 to 16384"),
    ({"heartbeat_timeout_ms": 0}, "heartbeat_timeout_ms must be at least 1"),
    ({"tick_frequency": 0}, "tick_frequency must be at least 1"),
    ({"width": -4}, "option 'width' has a value of the wrong type or range: -4"),
    ({"heartbeat_timeout_ms": 2**32}, "option 'heartbeat_timeout_ms' has a value of the wrong type or range"),
    ({"spec_version": (2, "x")}, "option 'spec_version' has a value of the wrong type"),
]


@pytest.mark.parametrize("options,message", CONFIG_ERRORS, ids=[next(iter(o)) + "=" + str(next(iter(o.values())))[:8]
                                                                  for o, _ in CONFIG_ERRORS])
def test_options_a_camera_cannot_honour_are_refused(options: dict, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        VirtualCamera("127.0.0.2", **options)


def test_largest_accepted_options_are_served_as_given(camera_ip: str) -> None:
    with VirtualCamera(camera_ip, serial="S" * 16, sensor_width=16384, sensor_height=16384, width=16384,
                       height=16384) as cam:
        assert cam.serial == "S" * 16
        assert cam.payload_size == 16384 * 16384
        with Host(camera_ip) as h:
            h.take_control()
            assert h.write(0x10020, 0x02180014) == 0  # RGB8: three bytes a pixel still fit the register
            assert h.read(0x10024) == [16384 * 16384 * 3]
