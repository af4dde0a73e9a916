"""A bare GVCP host for testing the virtual camera byte by byte, independent
of the oculane client."""

from __future__ import annotations

import socket
import struct
import time
from typing import Self

PORT = 3956


def read_reg(request_id: int, *addresses: int) -> bytes:
    return struct.pack(f">BBHHH{len(addresses)}I", 0x42, 0x01, 0x0080, 4 * len(addresses), request_id, *addresses)


def write_reg(request_id: int, *pairs: tuple[int, int]) -> bytes:
    flat = [x for pair in pairs for x in pair]
    return struct.pack(f">BBHHH{len(flat)}I", 0x42, 0x01, 0x0082, 8 * len(pairs), request_id, *flat)


def read_mem(request_id: int, address: int, count: int) -> bytes:
    return struct.pack(">BBHHHII", 0x42, 0x01, 0x0084, 8, request_id, address, count)


def write_mem(request_id: int, address: int, data: bytes) -> bytes:
    return struct.pack(">BBHHHI", 0x42, 0x01, 0x0086, 4 + len(data), request_id, address) + data


DISCOVERY = bytes.fromhex("42110002 0000 FFFF".replace(" ", ""))


class Ack:
    def __init__(self, datagram: bytes) -> None:
        self.raw = datagram
        self.status, self.code, self.length, self.ack_id = struct.unpack(">HHHH", datagram[:8])
        self.payload = datagram[8:]

    def words(self) -> list[int]:
        return list(struct.unpack(f">{len(self.payload) // 4}I", self.payload[: len(self.payload) // 4 * 4]))

    def __repr__(self) -> str:
        return f"Ack(status=0x{self.status:04x}, code=0x{self.code:04x}, id={self.ack_id}, {len(self.payload)} bytes)"


class UdpSocket:
    """A UDP socket bound to a loopback address, closed on leaving `with`."""

    def __init__(self, local_ip: str, receive_buffer: int | None = None) -> None:
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        if receive_buffer is not None:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.sock.bind((local_ip, 0))

    def close(self) -> None:
        self.sock.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def receive(self, timeout: float) -> tuple[bytes, tuple[str, int]] | None:
        """The next datagram and its source, or None when none comes in time."""
        self.sock.settimeout(timeout)
        try:
            return self.sock.recvfrom(65536)
        except socket.timeout:
            return None


class Host(UdpSocket):
    """One application: a UDP socket on a loopback address of its own."""

    def __init__(self, camera_ip: str, local_ip: str = "127.0.0.1", port: int = PORT) -> None:
        super().__init__(local_ip)
        self.camera = (camera_ip, port)
        self.next_id = 1

    @property
    def address(self) -> tuple[str, int]:
        return self.sock.getsockname()

    def send(self, datagram: bytes) -> None:
        self.sock.sendto(datagram, self.camera)

    def recv(self, timeout: float = 2.0) -> bytes | None:
        """The next datagram from the camera, or None when none comes in time."""
        got = self.receive(timeout)
        if got is None:
            return None
        data, source = got
        assert source == self.camera, f"datagram from {source}, expected {self.camera}"
        return data

    def transact(self, build, *args, timeout: float = 2.0) -> Ack:
        """Send a command built with a fresh request id and return its acknowledge."""
        request_id = self.next_id
        self.next_id += 1
        self.send(build(request_id, *args))
        data = self.recv(timeout)
        assert data is not None, "no acknowledge"
        ack = Ack(data)
        assert ack.ack_id == request_id, ack
        return ack

    def read(self, *addresses: int) -> list[int]:
        ack = self.transact(read_reg, *addresses)
        assert ack.status == 0, ack
        return ack.words()

    def write(self, address: int, value: int) -> int:
        return self.transact(write_reg, (address, value)).status

    def take_control(self, ccp: int = 0x2) -> None:
        assert self.write(0x0A00, ccp) == 0


def wait_until(predicate, timeout: float = 5.0, interval: float = 0.01) -> bool:
    """Polls a condition the device changes on its own thread."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()
