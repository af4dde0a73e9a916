"""The virtual camera's stream side, received by a raw UDP socket and
checked byte by byte: packet layouts, acquisition modes, packet resend, the
fire test, faults against their counters, and the registers' refusals."""

from __future__ import annotations

import struct

import pytest

from gvcp_raw import Host, wait_until
from oculane.sim import STREAM_FAULTS, VirtualCamera, expected_frame
from stream_raw import (
    ACQ_START,
    ACQ_STATUS,
    ACQ_STOP,
    CHUNK_MODE,
    HEIGHT,
    PIXEL_FORMAT,
    RATE_ENABLE,
    SCP,
    TL_LOCKED,
    WIDTH,
    Receiver,
    image_of,
    parse,
)

FORMATS = {
    "Mono8": (0x01080001, 1),
    "Mono10": (0x01100003, 2),
    "Mono12": (0x01100005, 2),
    "Mono16": (0x01100007, 2),
    "BayerRG8": (0x01080009, 1),
    "BayerGB8": (0x0108000A, 1),
    "RGB8": (0x02180014, 3),
    "BGR8": (0x02180015, 3),
    "YUV422_8": (0x02100032, 2),
}


@pytest.fixture
def rig(camera_ip: str, request):
    """A small camera (32 x 16), a controlling host and a receiver on channel 0;
    one datagram per packet unless parametrized with True (UDP GSO where the
    kernel has it)."""
    with VirtualCamera(camera_ip, width=32, height=16, gso=getattr(request, "param", False)) as cam, Host(camera_ip) as h, Receiver(h) as rx:
        h.take_control()
        rx.open()
        yield cam, h, rx


# ---- layout -------------------------------------------------------------------


@pytest.mark.parametrize("rig", [True, False], ids=["gso", "no-gso"], indirect=True)
@pytest.mark.parametrize("name", list(FORMATS))
@pytest.mark.parametrize("extended", [False, True])
def test_block_layout_is_byte_exact(rig, name: str, extended: bool) -> None:
    cam, h, rx = rig
    code, bpp = FORMATS[name]
    assert h.write(PIXEL_FORMAT, code) == 0
    assert h.write(0x0954, 0x8 if extended else 0) == 0
    rx.start()
    packets = rx.block()
    header = 20 if extended else 8
    per = 576 - 28 - header
    size = 32 * 16 * bpp
    n_data = -(-size // per)
    assert [p.packet_id for p in packets] == list(range(n_data + 2))
    assert {p.block for p in packets} == {1} and {p.extended for p in packets} == {extended}
    assert {p.status for p in packets} == {0}

    leader = packets[0]
    assert leader.format == 1 and len(leader.payload) == 36
    reserved, ptype, ts, fmt, w, hgt, ox, oy, px, py = struct.unpack(">HHQIIIIIHH", leader.payload)
    assert (reserved, ptype, fmt, w, hgt, ox, oy, px, py) == (0, 1, code, 32, 16, 0, 0, 0, 0)
    assert ts > 0
    if extended:
        assert leader.raw[:8] == bytes([0, 0, 0, 0, 0x81, 0, 0, 0])
    else:
        assert leader.raw[:8] == bytes([0, 0, 0, 1, 0x01, 0, 0, 0])

    data = packets[1:-1]
    assert all(p.format == 3 for p in data)
    assert [len(p.raw) + 28 for p in data[:-1]] == [576] * (n_data - 1)
    assert len(data[-1].payload) == size - per * (n_data - 1)
    assert image_of(packets) == expected_frame(1, 32, 16, name) == expected_frame(1, 32, 16, code)

    trailer = packets[-1]
    assert trailer.format == 2 and trailer.payload == struct.pack(">HHI", 0, 1, 16)
    assert wait_until(lambda: cam.stream_counters()["packets"] == n_data + 2)  # published after the block


def test_chunk_mode_appends_image_and_block_id_chunks(rig) -> None:
    cam, h, rx = rig
    assert h.write(CHUNK_MODE, 1) == 0
    assert cam.payload_size == 32 * 16 + 24
    rx.start(mode=2, count=2)
    rx.block()
    packets = rx.block()
    assert struct.unpack(">H", packets[0].payload[2:4])[0] == 0x4001
    data = image_of(packets)
    assert data == expected_frame(2, 32, 16, "Mono8") + struct.pack(">IIQII", 0xA0000001, 512, 2, 0xA0000002, 8)


def test_expected_frame_is_a_function_of_id_and_geometry() -> None:
    a = expected_frame(1, 32, 16, "Mono8")
    assert a == expected_frame(17, 32, 16, "Mono8")  # the row shift repeats every 16 frames
    assert a != expected_frame(2, 32, 16, "Mono8")
    assert expected_frame(2, 32, 16, "Mono8")[:32 * 15] == a[32:]  # one row further on
    rgb = expected_frame(5, 8, 2, "RGB8")
    assert expected_frame(5, 8, 2, "BGR8") == b"".join(rgb[i:i + 3][::-1] for i in range(0, len(rgb), 3))
    mono10 = expected_frame(3, 64, 64, "Mono10")
    assert max(struct.unpack(f"<{64 * 64}H", mono10)) < 1024
    for bad in ("Mono9", 0x01080002):
        with pytest.raises(ValueError, match="pixel format"):
            expected_frame(1, 8, 8, bad)


# ---- acquisition ----------------------------------------------------------------


@pytest.mark.parametrize("mode,count,blocks", [(1, 5, [1]), (2, 3, [1, 2, 3])])
def test_single_and_multi_frame_stop_by_themselves(rig, mode: int, count: int, blocks: list[int]) -> None:
    cam, h, rx = rig
    rx.start(mode=mode, count=count)
    assert [rx.block()[0].block for _ in blocks] == blocks
    assert wait_until(lambda: h.read(ACQ_STATUS)[0] == 0)
    assert rx.drain(0.1) == []
    assert wait_until(lambda: cam.stream_counters()["frames"] == len(blocks))


def test_continuous_runs_until_stopped(rig) -> None:
    cam, h, rx = rig
    rx.start(mode=0, paced=True)  # 30 frames a second
    blocks = [rx.block() for _ in range(3)]
    assert [b[0].block for b in blocks] == [1, 2, 3]
    assert h.read(ACQ_STATUS) == [1]
    assert h.write(ACQ_STOP, 1) == 0
    assert h.read(ACQ_STATUS) == [0]
    rx.settle(cam, sum(map(len, blocks)))
    frames = cam.stream_counters()["frames"]
    assert rx.drain(0.1) == [] and cam.stream_counters()["frames"] == frames


@pytest.mark.parametrize("frequency", [1_000_000_000, 125_000_000, 1000])
def test_leader_timestamps_come_from_the_device_clock(camera_ip: str, frequency: int) -> None:
    with VirtualCamera(camera_ip, width=32, height=16, tick_frequency=frequency) as cam, Host(camera_ip) as h, Receiver(h) as rx:
        h.take_control()
        assert h.read(0x093C, 0x0940) == [frequency >> 32, frequency & 0xFFFFFFFF]
        rx.open()
        rx.start(mode=2, count=3, paced=True)  # 30 Hz: a thirtieth of a second apart
        stamps = [struct.unpack(">Q", rx.block()[0].payload[4:12])[0] for _ in range(3)]
        assert h.write(0x0944, 0x2) == 0  # latch the clock
        hi, lo = h.read(0x0948, 0x094C)
    # Increasing in the device's ticks, and behind the clock latched afterwards.
    assert stamps[0] < stamps[1] < stamps[2] <= (hi << 32 | lo), (stamps, hi << 32 | lo)


def test_second_channel_streams_beside_the_first(rig) -> None:
    cam, h, rx = rig
    with Receiver(h, channel=1) as rx1:
        rx1.open(packet_size=300)
        assert cam.stream_channel(1)["host_port"] == rx1.sock.getsockname()[1]
        rx.start(mode=1)
        a, b = rx.block(), rx1.block()
    assert image_of(a) == image_of(b) == expected_frame(1, 32, 16, "Mono8")
    # Each channel with its own packet size: 512 bytes in one packet, or in two of 264 and 248.
    assert [len(p.payload) for p in a[1:-1]] == [512]
    assert [len(p.payload) for p in b[1:-1]] == [264, 248]


def test_port_zero_and_lost_control_close_the_channel(rig) -> None:
    cam, h, rx = rig
    rx.start(mode=0, paced=True)
    received = len(rx.block())
    assert h.write(SCP, 0) == 0
    # A frame taken before the close may still arrive; then nothing does.
    received += len(rx.settle(cam, received, idle=False))
    assert rx.drain(0.1) == [] and cam.acquiring
    assert cam.stream_counters()["packets"] == received
    rx.open()
    received += len(rx.block())
    cam.lose_control()
    assert cam.stream_channel(0)["host_port"] == 0 and not cam.acquiring
    received += len(rx.settle(cam, received))
    assert rx.drain(0.1) == [] and cam.stream_counters()["packets"] == received


@pytest.mark.parametrize("address", [WIDTH, HEIGHT, 0x10018, PIXEL_FORMAT, 0x10028, CHUNK_MODE])
def test_locked_transport_parameters_refuse_payload_shaping_writes(rig, address: int) -> None:
    cam, h, rx = rig
    before = h.read(address)[0]
    assert h.write(TL_LOCKED, 1) == 0
    assert h.write(address, before) == 0x8004
    assert h.read(address) == [before]
    assert h.write(TL_LOCKED, 0) == 0
    assert h.write(address, before) == 0


@pytest.mark.parametrize(
    "register,value",
    [
        (SCP + 0x04, 63),
        (SCP + 0x04, 16385),
        (SCP + 0x04, 0xC0000000 + 20),
        (SCP + 0x18, 0xFFFFFFFF),  # broadcast
        (SCP + 0x18, 0x7FFFFFFF),  # the camera's subnet broadcast
        (SCP + 0x18, 0xE0000001),  # multicast
        (0x10034, 0),  # AcquisitionFrameCount
    ],
)
def test_impossible_stream_settings_are_refused(rig, register: int, value: int) -> None:
    _, h, _ = rig
    before = h.read(register)[0]
    assert h.write(register, value) == 0x8002
    assert h.read(register) == [before]


# ---- fire test -----------------------------------------------------------------


@pytest.mark.parametrize("mtu,probe,arrives", [(None, 1400, True), (None, 9152, True), (4000, 4000, True), (4000, 4016, False)])
def test_fire_test_sends_one_packet_of_the_probe_size(camera_ip: str, mtu, probe: int, arrives: bool) -> None:
    with VirtualCamera(camera_ip, path_mtu=mtu) as cam, Host(camera_ip) as h, Receiver(h) as rx:
        h.take_control()
        rx.open(packet_size=1500)
        assert h.write(SCP + 0x04, 0xC0000000 + probe) == 0
        got = rx.drain(0.2)
        assert [len(p.raw) + 28 for p in got] == ([probe] if arrives else [])
        assert h.read(SCP + 0x04) == [1500]
        c = cam.stream_counters()
        assert (c["test_packets"], c["mtu_lost"]) == ((1, 0) if arrives else (0, 1))


def test_path_mtu_loses_larger_stream_packets_silently(rig) -> None:
    cam, h, rx = rig
    cam.set_path_mtu(400)
    rx.start()
    got = rx.settle(cam)
    assert [p.format for p in got] == [1, 2]  # leader and trailer fit, data packets of 576 do not
    assert wait_until(lambda: cam.stream_counters()["mtu_lost"] == 1)  # the one data packet of 512 bytes


# ---- resend -----------------------------------------------------------------------


def test_resend_from_the_ring_and_unavailable_beyond_it(camera_ip: str) -> None:
    # 512-byte frames, 1024 bytes of memory: the two newest frames are held.
    with VirtualCamera(camera_ip, width=32, height=16, resend_memory=1024) as cam, Host(camera_ip) as h, Receiver(h) as rx:
        h.take_control()
        rx.open()
        rx.start(mode=2, count=3)
        blocks = [rx.block() for _ in range(3)]
        rx.resend(3, 1, 1)
        again = rx.recv()
        assert again is not None and again.raw == blocks[2][1].raw
        rx.resend(2, 0, 2)
        assert [rx.recv().raw for _ in range(3)] == [p.raw for p in blocks[1][0:3]]
        rx.resend(1, 1, 2)  # no longer held
        gone = [rx.recv() for _ in range(2)]
        assert [(p.status, p.block, p.packet_id, p.payload) for p in gone] == [(0x800C, 1, 1, b""), (0x800C, 1, 2, b"")]
        assert wait_until(lambda: cam.stream_counters()["unavailable"] == 2)
        c = cam.stream_counters()
        assert (c["resent"], c["unavailable"], c["resend_requests"], c["resend_refused"]) == (4, 2, 3, 0)
        assert rx.drain(0.1) == []
        log = [r for r in cam.commands() if r.command_name == "PACKETRESEND"]
        assert [(r.block_id, r.first_packet, r.last_packet) for r in log] == [(3, 1, 1), (2, 0, 2), (1, 1, 2)]


def test_extended_resend_names_the_channel_and_64_bit_block(camera_ip: str) -> None:
    with VirtualCamera(camera_ip, width=32, height=16, extended_ids=True) as cam, Host(camera_ip) as h, Receiver(h, 1) as rx:
        h.take_control()
        rx.open()
        rx.start()
        block = rx.block()
        rx.resend(1, 2, 2, extended=True, channel=1)
        again = rx.recv()
        assert again is not None and again.raw == block[2].raw and again.extended
        assert cam.commands()[-1].channel == 1


@pytest.mark.parametrize(
    "why,args",
    [
        ("closed channel", dict(block=1, first=1, last=1, channel=1)),
        ("reversed range", dict(block=1, first=2, last=1)),
        ("never sent", dict(block=9, first=1, last=1)),
        ("block 0", dict(block=0, first=1, last=1)),
        ("beyond the last packet", dict(block=1, first=1, last=1000)),
    ],
)
def test_absurd_resend_requests_are_counted_and_ignored(rig, why: str, args: dict) -> None:
    cam, h, rx = rig
    rx.start()
    rx.block()
    rx.resend(**args)
    assert wait_until(lambda: cam.stream_counters()["resend_refused"] == 1), why
    assert rx.drain(0.1) == [], why


# ---- faults -------------------------------------------------------------------------

FAULTS = [
    # kind, options, check(packets of the block) -> bool, counter, value
    ("loss", dict(ratio=1.0), lambda ps: ps == [], "lost", 10),
    ("burst", dict(length=3, packets=[2]), lambda ps: [p.packet_id for p in ps] == [0, 1, 5, 6, 7, 8, 9], "lost", 3),
    ("drop_packets", dict(packets=[1, 8]), lambda ps: 1 not in ids(ps) and 8 not in ids(ps), "lost", 2),
    ("drop_leader", {}, lambda ps: ids(ps)[0] == 1, "lost", 1),
    ("drop_trailer", {}, lambda ps: 9 not in ids(ps), "lost", 1),
    ("drop_frame", {}, lambda ps: ps == [], "lost", 10),
    ("reorder", dict(length=4), lambda ps: ids(ps) == [3, 2, 1, 0, 7, 6, 5, 4, 9, 8], "lost", 0),
    ("duplicate", dict(packets=[4]), lambda ps: ids(ps).count(4) == 2, "duplicated", 1),
    ("error_status", dict(packets=[3], status=0x8012), lambda ps: [(p.status, len(p.payload)) for p in ps if p.packet_id == 3] == [(0x8012, 0)], "lost", 0),
    ("wrong_packet_id", {}, lambda ps: ids(ps)[1] == 10 + 16, "lost", 0),
    ("absurd_trailer", {}, lambda ps: ids(ps)[-1] == 0xFFFFFF, "lost", 0),
    ("bad_payload_type", {}, lambda ps: struct.unpack(">H", ps[0].payload[2:4])[0] == 3, "lost", 0),
    ("truncate", dict(packets=[2]), lambda ps: len(ps[2].payload) == 270, "lost", 0),
    ("oversized_leader", {}, lambda ps: struct.unpack(">II", ps[0].payload[16:24]) == (144, 60), "lost", 0),
    ("all_in", {}, lambda ps: [(p.format, p.packet_id, len(p.payload)) for p in ps] == [(4, 0, 36)], "lost", 9),
]


def ids(packets) -> list[int]:
    return [p.packet_id for p in packets]


def test_every_fault_kind_has_a_case() -> None:
    assert sorted(kind for kind, *_ in FAULTS) == sorted(STREAM_FAULTS)


@pytest.mark.parametrize("kind,options,check,counter,value", FAULTS, ids=[f[0] for f in FAULTS])
def test_stream_faults_against_their_counters(camera_ip: str, kind, options, check, counter, value) -> None:
    # 144 x 30 Mono8 = 4320 bytes: 8 data packets of 540, so ids 0 (leader) to 9 (trailer).
    with VirtualCamera(camera_ip, width=144, height=30) as cam, Host(camera_ip) as h, Receiver(h) as rx:
        h.take_control()
        rx.open()
        cam.stream_fault(kind, count=1, **options)
        rx.start(mode=2, count=2)
        packets = rx.settle(cam)
        first = [p for p in packets if p.block == 1]
        second = [p for p in packets if p.block == 2]
        assert check(first), [(p.packet_id, p.status, len(p.raw)) for p in first]
        assert ids(second) == list(range(10))  # count=1: the next block is whole
        c = cam.stream_counters()
        assert c[counter] == value
        assert c["packets"] == len(packets)
        assert c["packets"] + c["lost"] - c["duplicated"] == 20


@pytest.mark.parametrize("capability", [True, False])
def test_resend_capability_bit_follows_the_option(camera_ip: str, capability: bool) -> None:
    with VirtualCamera(camera_ip, resend_capability=capability), Host(camera_ip) as h:
        assert bool(h.read(0x0934)[0] & 0x4) is capability


def test_lost_resends_only_when_asked(rig) -> None:
    cam, h, rx = rig
    rx.start()
    rx.block()
    cam.stream_fault("drop_packets", packets=[1])
    rx.resend(1, 1, 1)
    assert rx.recv() is not None
    cam.lose_resent()
    rx.resend(1, 1, 1)
    assert wait_until(lambda: cam.stream_counters()["lost"] == 1)
    assert rx.drain(0.1) == []
    c = cam.stream_counters()
    assert (c["resent"], c["lost"]) == (1, 1)


@pytest.mark.parametrize(
    "options,message",
    [
        (dict(stream_channels=0), "stream_channels"),
        (dict(path_mtu=20), "path_mtu"),
        (dict(link_rate="2g"), "link_rate"),
        (dict(link_rate=-1), "link_rate"),
        (dict(resend_memory=-1), "resend_memory"),
    ],
)
def test_impossible_stream_options_raise(camera_ip: str, options: dict, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        VirtualCamera(camera_ip, **options)


@pytest.mark.parametrize(
    "kind,options,message",
    [
        ("jitter", {}, "kind must be one of"),
        ("loss", dict(ratio=1.5), "ratio"),
        ("loss", {}, "ratio above 0"),
        ("burst", {}, "length"),
        ("drop_packets", {}, "packets"),
        ("error_status", dict(status=0x0001), "error status"),
    ],
)
def test_impossible_stream_faults_raise(virtual_camera: VirtualCamera, kind: str, options: dict, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        virtual_camera.stream_fault(kind, **options)


# ---- packet geometry and source port ---------------------------------------------


@pytest.mark.parametrize("align,per,port", [(4, 1460, 0), (8, 1456, 50123)])
def test_aligned_packet_data_from_a_stream_port_of_its_own(camera_ip: str, align: int, per: int, port: int) -> None:
    with VirtualCamera(camera_ip, width=128, height=128, packet_data_align=align, stream_source_port=port) as cam, \
            Host(camera_ip) as h, Receiver(h) as rx:
        h.take_control()
        rx.open(packet_size=1498)  # the host's estimate: 1462 data bytes per packet
        rx.start()
        first, source = rx.receive(2.0)
        packets = [parse(first)] + rx.block()
        assert source == (camera_ip, cam.stream_source_port) and source[1] != 3956
        assert port == 0 or source[1] == port
        data = packets[1:-1]
        assert [len(p.payload) for p in data] == [per] * (len(data) - 1) + [128 * 128 - per * (len(data) - 1)]
        assert image_of(packets) == expected_frame(1, 128, 128, "Mono8")
