"""A bare GVSP receiver for testing the virtual camera's stream side byte by
byte, independent of the oculane client."""

from __future__ import annotations

import struct
import time
from dataclasses import dataclass

from gvcp_raw import Host, UdpSocket

SCP = 0x0D00  # stream channel 0: port; +0x04 packet size, +0x08 delay, +0x18 destination
ACQ_MODE, FRAME_COUNT, ACQ_START, ACQ_STOP, ACQ_STATUS = 0x10030, 0x10034, 0x10038, 0x1003C, 0x10050
RATE_ENABLE, CHUNK_MODE, TL_LOCKED = 0x10088, 0x10084, 0x1007C
WIDTH, HEIGHT, PIXEL_FORMAT = 0x10010, 0x10014, 0x10020


@dataclass
class Packet:
    raw: bytes
    status: int
    block: int
    format: int
    packet_id: int
    extended: bool
    payload: bytes


def parse(raw: bytes) -> Packet:
    status, block, flags = struct.unpack(">HHB", raw[:5])
    pid = int.from_bytes(raw[5:8], "big")
    if flags & 0x80:
        block, pid = struct.unpack(">QI", raw[8:20])
        return Packet(raw, status, block, flags & 0x7F, pid, True, raw[20:])
    return Packet(raw, status, block, flags & 0x7F, pid, False, raw[8:])


class Receiver(UdpSocket):
    """A host application with a stream socket on 127.0.0.1 that programs
    channel `channel` of the camera to send to it."""

    def __init__(self, host: Host, channel: int = 0) -> None:
        super().__init__("127.0.0.1", receive_buffer=1 << 22)
        self.host = host
        self.base = SCP + 0x40 * channel

    def open(self, packet_size: int = 576) -> None:
        assert self.host.write(self.base + 0x18, 0x7F000001) == 0
        assert self.host.write(self.base, self.sock.getsockname()[1]) == 0
        assert self.host.write(self.base + 0x04, packet_size) == 0

    def recv(self, timeout: float = 2.0) -> Packet | None:
        got = self.receive(timeout)
        if got is None:
            return None
        data, source = got
        assert source[0] == self.host.camera[0]
        return parse(data)

    def drain(self, timeout: float = 0.2) -> list[Packet]:
        """Every packet until none comes for `timeout`."""
        out = []
        while (p := self.recv(timeout)) is not None:
            out.append(p)
        return out

    def settle(self, cam, received: int = 0, idle: bool = True, timeout: float = 5.0) -> list[Packet]:
        """Everything still on its way: packets until the camera has sent
        (by its counters, which it publishes after each block) as many as
        `received` plus those returned, and, with `idle`, its acquisition is
        over. Waits on the camera, not on a quiet spell."""
        out: list[Packet] = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            out += self.drain(0.02)
            done = not (idle and cam.acquiring)
            if done and cam.stream_counters()["packets"] == received + len(out):
                return out
        raise AssertionError(f"camera sent {cam.stream_counters()['packets']}, received {received + len(out)}")

    def block(self, timeout: float = 2.0) -> list[Packet]:
        """The packets of the next block, leader to trailer, in arrival order."""
        out: list[Packet] = []
        while (p := self.recv(timeout)) is not None:
            out.append(p)
            if p.format == 2:
                return out
        raise AssertionError(f"no trailer; got {len(out)} packets")

    def resend(self, block: int, first: int, last: int, extended: bool = False, channel: int = 0) -> None:
        if extended:
            cmd = struct.pack(">BBHHHHHIIQ", 0x42, 0x10, 0x0040, 20, 0xFF01, channel, 0, first, last, block)
        else:
            cmd = struct.pack(">BBHHHHHII", 0x42, 0x00, 0x0040, 12, 0xFF01, channel, block, first, last)
        self.sock.sendto(cmd, self.host.camera)

    def start(self, mode: int = 1, count: int = 1, paced: bool = False) -> None:
        h = self.host
        assert h.write(ACQ_MODE, mode) == 0
        assert h.write(FRAME_COUNT, count) == 0
        assert h.write(RATE_ENABLE, int(paced)) == 0
        assert h.write(ACQ_START, 1) == 0


def image_of(packets: list[Packet]) -> bytes:
    return b"".join(p.payload for p in sorted(packets, key=lambda p: p.packet_id) if p.format == 3)
