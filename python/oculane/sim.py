"""The oculane virtual GigE Vision camera.

A device that answers GVCP on one IPv4 address (port 3956) like a
well-behaved real camera: discovery, register and memory access with the
device status codes, the bootstrap register map, the control privilege with
heartbeat expiry, events, and a GenICam description of its own served from
device memory (a zip archive by default). It can be made to misbehave on
purpose while it runs, and it records what it received, so tests can check
both sides of a conversation.

Several cameras run at once on distinct loopback addresses::

    from oculane.sim import VirtualCamera

    with VirtualCamera("127.0.0.2") as cam, VirtualCamera("127.0.0.3", serial="B2"):
        ...   # talk to 127.0.0.2:3956 and 127.0.0.3:3956

It streams like one too. A host programs a stream channel (destination
0x0D18, port 0x0D00, packet size 0x0D04, delay 0x0D08; channel c at
+0x40 * c) and starts the acquisition; a sender thread of the camera's own
then sends GVSP blocks (leader, payload packets of the packet size, trailer)
with test images that ``expected_frame`` reproduces byte for byte. It
serves PACKETRESEND from its recent frames and answers packets it no longer
holds with status 0x800C, answers the packet-size fire test, and can lose,
reorder, duplicate or spoil packets on purpose (``stream_fault``) while
``stream_counters`` tells what it really did.

From the command line, ``python -m oculane.sim --ip 127.0.0.2`` serves one
until interrupted; stream faults and settings can be switched while it runs
by typing commands on its standard input (``run_command``).

Answering discovery broadcasts needs a wildcard socket on port 3956
(``discovery=True``); use that only inside a network namespace of its own.
"""

from __future__ import annotations

import argparse
import dataclasses
import enum
import ipaddress
import os
import signal
import sys
import threading
from types import TracebackType
from typing import Iterable, Sequence

from . import _sim

__all__ = [
    "STREAM_FAULTS",
    "LINK_RATES",
    "expected_frame",
    "Command",
    "CommandRecord",
    "EventAck",
    "VirtualCamera",
    "GVCP_PORT",
    "describe",
    "main",
    "parse_fault",
    "run_command",
]

GVCP_PORT = 3956


class Command(enum.IntEnum):
    """GVCP command codes the camera understands."""

    DISCOVERY = 0x0002
    FORCEIP = 0x0004
    PACKETRESEND = 0x0040
    READREG = 0x0080
    WRITEREG = 0x0082
    READMEM = 0x0084
    WRITEMEM = 0x0086
    EVENT = 0x00C0
    EVENTDATA = 0x00C2


@dataclasses.dataclass(frozen=True)
class CommandRecord:
    """One command the camera received, and how it answered."""

    time: float
    """Seconds since the camera was created."""
    source: tuple[str, int]
    """(ip, port) the command came from."""
    command: int
    request_id: int
    flags: int
    addresses: list[int]
    """READREG/WRITEREG addresses; READMEM/WRITEMEM start address."""
    values: list[int]
    """WRITEREG values."""
    length: int
    """READMEM byte count, WRITEMEM data bytes, otherwise the payload length."""
    status: int
    """Status the camera answered with (or would have, when the answer was withheld)."""
    answered: bool
    """Whether an acknowledge went out (a spoiled one counts)."""
    channel: int = 0
    """PACKETRESEND: the stream channel index."""
    block_id: int = 0
    """PACKETRESEND: the block asked for."""
    first_packet: int = 0
    """PACKETRESEND: the first packet id asked for."""
    last_packet: int = 0
    """PACKETRESEND: the last packet id asked for."""

    @property
    def command_name(self) -> str:
        """The command's name (READREG, ...), or its code in hex when unknown."""
        try:
            return Command(self.command).name
        except ValueError:
            return f"0x{self.command:04x}"


@dataclasses.dataclass(frozen=True)
class EventAck:
    """An acknowledge of one of the camera's events."""

    time: float
    source: tuple[str, int]
    status: int
    ack_code: int
    ack_id: int


_URL_FAULTS = ("bad_text", "http", "corrupt_zip", "truncated_zip")

STREAM_FAULTS = (
    "loss",
    "burst",
    "drop_packets",
    "drop_leader",
    "drop_trailer",
    "drop_frame",
    "reorder",
    "duplicate",
    "error_status",
    "wrong_packet_id",
    "absurd_trailer",
    "bad_payload_type",
    "truncate",
    "oversized_leader",
    "all_in",
)
"""Stream fault kinds of ``VirtualCamera.stream_fault``."""

LINK_RATES = {"1g": 1_000_000_000, "10g": 10_000_000_000, "unlimited": 0}
"""Named link rates, in bits per second (0: no limit)."""


def expected_frame(frame_id: int, width: int, height: int, pixel_format: int | str) -> bytes:
    """The image bytes of block ``frame_id`` as the virtual camera sends them.

    Row-major, no padding. With ``h = x + 3*r + ((x*r) >> 4)`` (unsigned
    32-bit) and ``r = y + frame_id % 16``: Mono8 and the 8-bit Bayer formats
    hold ``h % 256``; the 10- to 16-bit Mono and Bayer formats hold the sample
    ``h`` masked to their bit depth: as two little-endian bytes when
    unpacked (Mono12, BayerRG12, ...), in one little-endian bit stream for the
    "p" formats (Mono12p, BayerGR10p, ...: the first pixel in the low bits),
    and for the "Packed" formats (Mono12Packed, BayerBG10Packed, ...) as pairs
    in three bytes: the high 8 bits of the first pixel, a byte with the low
    bits of the first pixel from bit 0 and of the second from bit 4, the high 8
    bits of the second (packed rows that end inside a byte run on). RGB8 holds
    ``h, h+85, h+170`` (mod 256) and BGR8 the same in reverse; RGBa8 and BGRa8
    add alpha ``h+42``; YUV422_8 holds ``Y = h % 256`` then U (even x) or V
    (odd x) of the pixel pair, with g the value of h at the even x of the
    pair: ``U = g+64``, ``V = g+192`` (mod 256); YUV422_8_UYVY swaps each
    pixel's two bytes.
    In chunk mode the payload continues with an 8-byte tag (0xA0000001, image
    length), the 64-bit block id and its tag (0xA0000002, 8), big-endian.

    ``pixel_format`` is a name ("Mono8") or a code; ValueError for a format
    outside the table.
    """
    if width < 0 or height < 0 or frame_id < 0:
        raise ValueError("frame_id, width and height must not be negative")
    return _sim.expected_frame(frame_id, width, height, pixel_format)


def _link_rate(rate: int | str | None) -> int:
    if rate is None:
        return 0
    if isinstance(rate, str):
        try:
            return LINK_RATES[rate.lower()]
        except KeyError:
            raise ValueError(f"link_rate must be one of {', '.join(LINK_RATES)} or bits per second") from None
    if rate < 0:
        raise ValueError("link_rate must not be negative")
    return int(rate)


def _path_mtu(mtu: int | None) -> int:
    if mtu is None:
        return 0
    if not 64 <= mtu <= 65535:
        raise ValueError("path_mtu must be from 64 to 65535 (or None for no limit)")
    return int(mtu)
_ACK_SPOILERS = ("wrong_id", "wrong_code", "short_payload", "malformed")


def _command_codes(commands: Iterable[int | str | Command] | None) -> list[int] | None:
    if commands is None:
        return None
    codes = []
    for c in commands:
        codes.append(int(Command[c.upper()]) if isinstance(c, str) else int(c))
    if not codes:
        raise ValueError("commands must name at least one command (or be None for all)")
    return codes


def _count(count: int | None) -> int:
    if count is None:
        return -1
    if count < 1:
        raise ValueError("count must be at least 1 (or None for every acknowledge)")
    return count


class VirtualCamera:
    """A virtual GigE Vision camera serving GVCP on ``(ip, port)``.

    A context manager: entering starts it, leaving stops it and releases its
    thread and sockets. ``start()`` and ``stop()`` do the same explicitly.

    Identity options default to values derived from ``ip`` so that cameras on
    different addresses differ (serial, MAC address).

    Description options: by default the camera serves its own GenICam
    description as a deflated zip archive at the location in the first URL
    register. ``serve_zip=False`` serves the plain XML; ``tl_params_locked``
    adds a TLParamsLocked node; ``second_url`` also fills the second URL
    register; ``broken_first_url`` ("bad_text", "http", "corrupt_zip" or
    "truncated_zip") spoils the first register and puts the working location
    in the second. ``description_file`` serves any description file instead,
    with a permissive register space: every address reads (as 0 until
    written) and every write is remembered.

    ``no_concatenation=True`` plays a device that reads or writes one
    register per command: the capability word's concatenation bit is clear,
    and a READREG or WRITEREG naming several addresses is served for the
    first one only.

    Stream options: ``stream_channels`` (1 to 4, each with its registers at
    0x0D00 + 0x40 * c); ``extended_ids`` starts with 64-bit block ids (the
    host may switch them with bit 0x8 of register 0x0954, the
    GevGVSPExtendedIDMode feature); ``path_mtu`` silently loses every stream
    and test packet whose IP datagram is larger; ``link_rate`` ("1g", "10g",
    "unlimited" or bits per second) paces the sender like a link of that
    speed; ``resend_memory`` is the frame memory resends are served from
    (the newest ``max(1, resend_memory // PayloadSize)`` frames of each
    channel); ``resend_capability=False`` clears the capability word's
    packet-resend bit. AcquisitionFrameRate paces frames unless
    AcquisitionFrameRateEnable is off, which sends them back to back.

    Packets on the wire: one datagram per GVSP packet, batched with sendmmsg.
    ``gso=True`` instead hands the kernel runs of equal packets to segment
    (UDP GSO), which is cheaper for the sender but reaches packet-capturing
    receivers on loopback as 64 KiB super-datagrams; benchmarks use it.
    ``packet_data_align`` rounds the data bytes of each payload packet down
    to a multiple of it (1 to 256), as cameras that align their packets do:
    at packet size 1498 a host estimates 1462 bytes, while 4 sends 1460 and
    8 sends 1456 (at 1500, 16 gives 1456). The stream leaves from a port of
    its own, not the GVCP port: ``stream_source_port`` picks it (default: one
    the kernel chooses); the ``stream_source_port`` property (and register
    0x0D1C) tells which.

    Triggers: TriggerSelector (FrameStart, AcquisitionStart), TriggerMode,
    TriggerSource (Software, Line0..Line2, Action0, Action1),
    TriggerActivation (RisingEdge, FallingEdge, AnyEdge), TriggerDelay (us)
    and TriggerSoftware. With the FrameStart trigger on, an acquisition sends
    exactly one frame per trigger and none without, stamped with the trigger's
    instant plus the delay; with the AcquisitionStart trigger on,
    AcquisitionStart only arms the camera and the trigger starts it.
    ``pulse_line(n)`` pulses an input line. Action commands (ACTION_CMD, also
    broadcast) assert action signals whose group key and mask match, once
    ActionDeviceKey is set and an application holds control; a scheduled
    action waits for its device time. ``host_clock=True`` runs the timestamp
    on the host's real-time clock (ticks since the Unix epoch), so that
    cameras on one host share a time base as PTP-synchronised cameras do;
    PtpEnable then reads True and PtpStatus "Slave" (otherwise False and
    "Disabled": the camera runs no PTP).

    Options a camera could not honour (a serial longer than its 16-byte
    field, a width beyond the sensor or off its increment of 4, a zero
    heartbeat timeout) raise ValueError naming the option.
    """

    def __init__(
        self,
        ip: str = "127.0.0.2",
        *,
        port: int = GVCP_PORT,
        discovery: bool = False,
        manufacturer: str = "oculane",
        model: str = "VirtualCamera",
        serial: str | None = None,
        device_version: str = "1.0.0",
        manufacturer_info: str = "oculane virtual GigE Vision camera",
        user_defined_name: str = "",
        mac: str | None = None,
        subnet_mask: str = "255.0.0.0",
        gateway: str = "0.0.0.0",
        spec_version: tuple[int, int] = (2, 0),
        serve_zip: bool = True,
        tl_params_locked: bool = False,
        second_url: bool = False,
        broken_first_url: str | None = None,
        description_file: str | os.PathLike[str] | None = None,
        description_address: int | None = None,
        heartbeat_timeout_ms: int = 3000,
        no_concatenation: bool = False,
        stream_channels: int = 2,
        extended_ids: bool = False,
        path_mtu: int | None = None,
        link_rate: int | str | None = None,
        resend_memory: int = 64 << 20,
        resend_capability: bool = True,
        gso: bool = False,
        packet_data_align: int = 1,
        stream_source_port: int = 0,
        tick_frequency: int = 1_000_000_000,
        host_clock: bool = False,
        sensor_width: int = 1280,
        sensor_height: int = 960,
        width: int = 640,
        height: int = 480,
    ) -> None:
        addr = ipaddress.IPv4Address(ip)
        packed = addr.packed
        if not 1 <= stream_channels <= 4:
            raise ValueError("stream_channels must be from 1 to 4")
        if resend_memory < 0:
            raise ValueError("resend_memory must not be negative")
        if not 1 <= packet_data_align <= 256:
            raise ValueError("packet_data_align must be from 1 to 256")
        if not 0 <= stream_source_port <= 65535:
            raise ValueError("stream_source_port must be from 0 to 65535")
        if broken_first_url is not None and broken_first_url not in _URL_FAULTS:
            raise ValueError(f"broken_first_url must be one of {', '.join(_URL_FAULTS)}")
        config: dict[str, object] = {
            "ip": str(addr),
            "manufacturer": manufacturer,
            "model": model,
            "serial": serial if serial is not None else "OCL" + packed.hex().upper(),
            "device_version": device_version,
            "manufacturer_info": manufacturer_info,
            "user_defined_name": user_defined_name,
            "mac": _parse_mac(mac) if mac is not None else [0x02, 0x0C, packed[0], packed[1], packed[2], packed[3]],
            "subnet_mask": str(ipaddress.IPv4Address(subnet_mask)),
            "gateway": str(ipaddress.IPv4Address(gateway)),
            "spec_version": tuple(spec_version),
            "serve_zip": serve_zip,
            "tl_params_locked": tl_params_locked,
            "second_url": second_url,
            "first_url_fault": broken_first_url or "none",
            "description_address": description_address,
            "heartbeat_timeout_ms": heartbeat_timeout_ms,
            "concatenation": not no_concatenation,
            "stream_channels": stream_channels,
            "extended_ids": extended_ids,
            "path_mtu": _path_mtu(path_mtu),
            "link_rate": _link_rate(link_rate),
            "resend_memory": resend_memory,
            "packet_data_align": packet_data_align,
            "packet_resend": resend_capability,
            "tick_frequency": tick_frequency,
            "host_clock": host_clock,
            "sensor_width": sensor_width,
            "sensor_height": sensor_height,
            "width": width,
            "height": height,
        }
        if description_file is not None:
            path = os.fspath(description_file)
            with open(path, "rb") as f:
                config["description"] = f.read()
            config["description_name"] = os.path.splitext(os.path.basename(path))[0]
        self._ip = str(addr)
        self._port = port
        self._discovery = discovery
        self._gso = gso
        self._stream_port = stream_source_port
        self._device = _sim.Device(config)

    # ---- lifecycle -------------------------------------------------------

    def start(self) -> VirtualCamera:
        """Bind the address and start answering. Raises RuntimeError when the
        address cannot be bound (for example another camera already has it)."""
        self._device.start(self._ip, self._port, self._discovery, self._gso, self._stream_port)
        return self

    def stop(self) -> None:
        """Stop answering; joins the worker thread and closes the sockets. Idempotent."""
        self._device.stop()

    def __enter__(self) -> VirtualCamera:
        return self.start()

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.stop()

    @property
    def running(self) -> bool:
        """True while the camera answers on its address."""
        return self._device.running

    @property
    def ip(self) -> str:
        """The address the camera serves."""
        return self._ip

    @property
    def port(self) -> int:
        """The GVCP port; the bound one while running (useful with port=0)."""
        address = self._device.address
        return address[1] if address is not None else self._port

    @property
    def address(self) -> tuple[str, int]:
        """(ip, port) of the camera's GVCP socket."""
        return (self._ip, self.port)

    # ---- identity and what is served ----------------------------------------

    @property
    def identity_block(self) -> bytes:
        """The 248-byte identity block (discovery acknowledge payload)."""
        return self._device.read_memory(0, 248)

    @property
    def serial(self) -> str:
        """The serial number of its identity record."""
        return _field(self._device.read_memory(0x00D8, 16))

    @property
    def model(self) -> str:
        """The model name of its identity record."""
        return _field(self._device.read_memory(0x0068, 32))

    @property
    def manufacturer(self) -> str:
        """The maker's name of its identity record."""
        return _field(self._device.read_memory(0x0048, 32))

    @property
    def mac(self) -> str:
        """The MAC address of its identity record ("02:0c:7f:00:00:02")."""
        return ":".join(f"{b:02x}" for b in self._device.read_memory(0x0008, 8)[2:])

    @property
    def description(self) -> str:
        """The GenICam description text the camera serves."""
        return self._device.description

    @property
    def served_file(self) -> bytes:
        """The bytes at the working description location (zip or XML)."""
        return self._device.served_file

    @property
    def first_url(self) -> str:
        """The description location in the first URL register."""
        return self._device.first_url

    @property
    def second_url(self) -> str:
        """The description location in the second URL register."""
        return self._device.second_url

    # ---- fault injection -------------------------------------------------------

    def drop_acks(self, count: int | None = 1, commands: Iterable[int | str] | None = None) -> None:
        """Withhold the next ``count`` acknowledges (None: every one) of the
        given commands (None: all but discovery). The commands are still
        carried out, as when an acknowledge is lost on the way."""
        self._device.add_ack_fault("drop", _count(count), _command_codes(commands))

    def spoil_acks(
        self, kind: str, count: int | None = 1, commands: Iterable[int | str] | None = None
    ) -> None:
        """Send the next ``count`` acknowledges spoiled: ``kind`` is
        "wrong_id", "wrong_code", "short_payload" or "malformed" (a length
        field larger than the datagram)."""
        if kind not in _ACK_SPOILERS:
            raise ValueError(f"kind must be one of {', '.join(_ACK_SPOILERS)}")
        self._device.add_ack_fault(kind, _count(count), _command_codes(commands))

    def pending_ack(
        self,
        pending_ms: int,
        answer_after_ms: int | None = None,
        count: int | None = None,
        commands: Iterable[int | str] | None = None,
    ) -> None:
        """Answer with a pending acknowledge announcing ``pending_ms`` first,
        and the real acknowledge ``answer_after_ms`` later (default: half of
        ``pending_ms``). ``count`` limits how many commands get this."""
        if not 0 <= pending_ms <= 0xFFFF:
            # The acknowledge carries the time in a 16-bit field.
            raise ValueError("pending_ms must be from 0 to 65535")
        after = pending_ms // 2 if answer_after_ms is None else answer_after_ms
        self._device.set_pending_ack(pending_ms, after, _count(count), _command_codes(commands))

    def fail_address(self, address: int, status: int) -> None:
        """Answer every command touching ``address`` with ``status`` (e.g. 0x8006)
        without carrying it out."""
        self._device.set_address_status(address, status)

    def clear_failing_addresses(self) -> None:
        """Undo every `fail_address`."""
        self._device.clear_address_status()

    def delay_acks(self, ms: int) -> None:
        """Hold every acknowledge back by ``ms`` milliseconds (0 to stop)."""
        self._device.set_ack_delay(ms)

    def set_silent(self, silent: bool = True) -> None:
        """Stop answering altogether (discovery included), or resume."""
        self._device.set_muted(silent)

    def lose_control(self) -> None:
        """End the control privilege now, as a lapsed heartbeat would."""
        self._device.clear_control()

    def hold_control_elsewhere(self, ip: str | None = "10.255.255.1", port: int = 3956) -> None:
        """Pretend another application holds control (never expires); None releases it."""
        self._device.set_foreign_controller(ip, port)

    def clear_faults(self) -> None:
        """Undo every fault switch (a lost or foreign privilege stays as it is),
        stream faults included."""
        self._device.clear_faults()
        self._device.clear_stream_faults()

    # ---- stream side -------------------------------------------------------------

    def stream_fault(
        self,
        kind: str,
        *,
        ratio: float = 0.0,
        length: int = 0,
        status: int = 0x800C,
        packets: Iterable[int] | None = None,
        frames: Iterable[int] | None = None,
        count: int | None = None,
    ) -> None:
        """Spoil the stream from the next block on. ``kind`` is one of
        STREAM_FAULTS: "loss" (each packet with probability ``ratio``, or only
        the listed ``packets``), "burst" (``length`` packets in a row from
        ``packets[0]``, default 1), "drop_packets" (the listed ids),
        "drop_leader", "drop_trailer", "drop_frame", "reorder" (each window of
        ``length`` packets reversed), "duplicate" (the listed packets, or each
        with probability ``ratio``), "error_status" (the listed packets,
        default 1, replaced by a bare header with ``status``),
        "wrong_packet_id" (the listed payload packets, default 1, carry an id
        past the trailer's), "absurd_trailer" (the largest packet id),
        "bad_payload_type" (the leader announces a file transfer) or
        "truncate" (the listed packets, default 1, cut to half their data),
        "oversized_leader" (the leader announces an image twice as high as
        the payload holds) or "all_in" (the block goes as a single all-in
        packet carrying only its leader's bytes).
        ``frames`` limits it to those block ids; ``count`` to that many blocks.
        """
        if kind not in STREAM_FAULTS:
            raise ValueError(f"kind must be one of {', '.join(STREAM_FAULTS)}")
        if not 0.0 <= ratio <= 1.0:
            raise ValueError("ratio must be from 0 to 1")
        if kind in ("loss",) and ratio == 0.0 and packets is None:
            raise ValueError("a loss fault needs a ratio above 0")
        if kind in ("burst", "reorder") and length < 1:
            raise ValueError(f"a {kind} fault needs a length of at least 1")
        if kind == "duplicate" and ratio == 0.0 and packets is None:
            raise ValueError("a duplicate fault needs a ratio above 0 or packets")
        if kind == "drop_packets" and not packets:
            raise ValueError("a drop_packets fault needs packets")
        if not 0 <= status <= 0xFFFF:
            raise ValueError("status must be a 16-bit value")
        if kind == "error_status" and not status & 0x8000:
            raise ValueError("status must be an error status (0x8000 or above)")
        pids = [int(p) for p in packets] if packets is not None else []
        if any(not 0 <= p <= 0xFFFFFFFF for p in pids):
            raise ValueError("packet ids must be from 0 to 4294967295")
        blocks = [int(f) for f in frames] if frames is not None else []
        if any(b < 0 for b in blocks):
            raise ValueError("block ids must not be negative")
        self._device.add_stream_fault(kind, ratio, length, status, pids, blocks, _count(count))

    def clear_stream_faults(self) -> None:
        """Undo every stream fault (lose_resent included)."""
        self._device.clear_stream_faults()

    def lose_resent(self, on: bool = True) -> None:
        """Let the loss faults (loss, burst, drop_packets) hit resent packets too."""
        self._device.set_lose_resent(bool(on))

    def set_path_mtu(self, mtu: int | None) -> None:
        """Lose every stream and test packet whose IP datagram exceeds ``mtu``
        bytes (None: no limit), from now on."""
        self._device.set_path_mtu(_path_mtu(mtu))

    def set_link_rate(self, rate: int | str | None) -> None:
        """Pace the sender like a link of this speed ("1g", "10g", "unlimited"
        or bits per second)."""
        self._device.set_link_rate(_link_rate(rate))

    def set_resend_memory(self, size: int) -> None:
        """Frame memory for resends, in bytes (at least one frame is kept)."""
        if size < 0:
            raise ValueError("resend_memory must not be negative")
        self._device.set_resend_memory(size)

    # ---- behaviours of real cameras ----------------------------------------------

    def ignore_single_frame(self, on: bool = True) -> None:
        """Keep streaming after the first frame of a SingleFrame acquisition,
        as cameras do that ignore the mode (until AcquisitionStop)."""
        self._device.set_ignore_single_frame(bool(on))

    def stream_on_port_write(self, on: bool = True) -> None:
        """Start acquiring as soon as a stream channel's port register is
        written, before any AcquisitionStart."""
        self._device.set_stream_on_port_write(bool(on))

    def ignore_event_acks(self, on: bool = True) -> None:
        """Act as if every event acknowledge were lost on the way: each event
        is sent again as the message channel's timeout and retry count say."""
        self._device.set_ignore_event_acks(bool(on))

    def power_off(self, after_frames: int = 0) -> None:
        """Go silent as on power loss: no acknowledge, no stream packet, no
        heartbeat answer, nothing carried out; at once, or once ``after_frames``
        more frames have been sent. Unlike ``set_silent`` (which only withholds
        GVCP acknowledges) the stream stops too. The sockets stay bound."""
        if after_frames < 0:
            raise ValueError("after_frames must not be negative")
        self._device.power_off(after_frames)

    def power_on(self) -> None:
        """Power back after ``power_off``: the camera answers again as one that
        restarted (no controlling application, not acquiring, stream channels
        closed)."""
        self._device.power_on()

    def pulse_line(self, line: int) -> None:
        """Pulse input line ``line`` (0, 1 or 2): a rising edge, then a falling
        edge. A trigger whose source is that line fires on the edge its
        TriggerActivation names (twice for AnyEdge). ValueError for another
        line."""
        self._device.pulse_line(line)

    def timestamp(self) -> int:
        """The device timestamp now, in ticks (see ``tick_frequency`` and
        ``host_clock``)."""
        return int(self._device.timestamp())

    @property
    def powered(self) -> bool:
        """False from the moment a ``power_off`` took effect until ``power_on``."""
        return self._device.powered

    def stream_counters(self) -> dict[str, int]:
        """What the stream side did: frames and packets sent, bytes, packets
        lost on purpose (``lost``) or to the path MTU (``mtu_lost``), packets
        resent, 0x800C answers (``unavailable``), PACKETRESEND commands
        received and refused, frames refused for want of a destination, test
        packets, duplicates and send errors."""
        return dict(self._device.stream_counters())

    def send_raw(
        self, data: bytes, ip: str | None = None, port: int | None = None, *, source_port: int | None = None
    ) -> None:
        """Send ``data`` from the camera's address and its GVCP port; by
        default to the controlling application, else to the last host that
        sent a command. ``source_port`` sends it from that port of the
        camera's address instead (0: one the kernel picks), as a stray
        datagram from another of the device's sockets would come."""
        if source_port is not None and not 0 <= source_port <= 65535:
            raise ValueError("source_port must be from 0 to 65535")
        self._device.send_raw(bytes(data), ip, port, source_port)

    def send_event(
        self,
        event_id: int,
        data: bytes = b"",
        *,
        with_data: bool = False,
        ack_required: bool = True,
        stream_channel: int = 0xFFFF,
        block_id: int = 0,
    ) -> int:
        """Send an EVENT (or EVENTDATA with ``with_data``) command to the
        controlling application; returns its request id. Acknowledges are
        collected in ``event_acks()``. Raises ValueError with no controller."""
        request_id, _ = self._device.send_event(
            event_id, bytes(data), with_data, ack_required, stream_channel, block_id
        )
        return int(request_id)

    # ---- observation -----------------------------------------------------------

    def commands(self) -> list[CommandRecord]:
        """Every command received so far (the latest 10000), oldest first."""
        return [CommandRecord(**r) for r in self._device.command_log()]

    def clear_commands(self) -> None:
        """Forget the command log and the recorded event acknowledges."""
        self._device.clear_command_log()

    def event_acks(self) -> list[EventAck]:
        """The acknowledges the host sent for the camera's events, oldest first."""
        return [EventAck(**a) for a in self._device.event_acks()]

    def counters(self) -> dict[str, int]:
        """Counts of commands, acknowledges, faults applied, events and privilege changes."""
        return dict(self._device.counters())

    @property
    def controller(self) -> tuple[str, int] | None:
        """(ip, port) of the application holding control, if any."""
        c = self._device.controller()
        return None if c is None else (c[0], c[1])

    @property
    def control_bits(self) -> int:
        """The CCP value of the current holder (0x2 control, 0x3 exclusive), or 0."""
        c = self._device.controller()
        return 0 if c is None else int(c[2])

    def read_register(self, address: int) -> int:
        """Current value of a 32-bit register (device byte order)."""
        return int(self._device.read_register(address))

    def read_memory(self, address: int, size: int) -> bytes:
        """`size` bytes of device memory at `address`, as the camera holds them."""
        return self._device.read_memory(address, size)

    def write_register(self, address: int, value: int) -> None:
        """Store a value directly, bypassing privilege and checks (scenario set-up)."""
        self._device.poke_register(address, value)

    @property
    def acquiring(self) -> bool:
        """True between AcquisitionStart and AcquisitionStop."""
        return bool(self._device.acquiring)

    @property
    def payload_size(self) -> int:
        """The bytes of one frame's image at the current settings (PayloadSize)."""
        return int(self._device.payload_size)

    @property
    def stream_channels(self) -> int:
        """How many stream channels the camera offers."""
        return self.read_register(0x0904)

    @property
    def stream_source_port(self) -> int:
        """The port the stream leaves from while running (register 0x0D1C)."""
        return self.read_register(0x0D1C) & 0xFFFF

    def stream_channel(self, channel: int = 0) -> dict[str, int | str]:
        """Stream channel registers as last written (host port, packet size, delay, destination)."""
        return dict(self._device.stream_channel(channel))

    def __repr__(self) -> str:
        state = "running" if self.running else "stopped"
        return f"VirtualCamera({self.manufacturer} {self.model} serial={self.serial} ip={self._ip} {state})"


def _field(raw: bytes) -> str:
    return raw.split(b"\0", 1)[0].decode("utf-8", "replace")


def _parse_mac(text: str) -> list[int]:
    parts = text.replace("-", ":").split(":")
    if len(parts) != 6:
        raise ValueError(f"invalid MAC address: {text!r}")
    return [int(p, 16) for p in parts]


# ---- command line --------------------------------------------------------------


class _ArgumentParser(argparse.ArgumentParser):
    """Reports a usage error in one line, with the usage in it."""

    def error(self, message: str):
        usage = " ".join(self.format_usage().split())
        self.exit(2, f"{self.prog}: {message} ({usage})\n")


def _port(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 0 <= value <= 0xFFFF:
        raise argparse.ArgumentTypeError(f"{value} is not a UDP port (0 to 65535)")
    return value


def _parser() -> argparse.ArgumentParser:
    p = _ArgumentParser(
        prog="python -m oculane.sim",
        description="Serve a virtual GigE Vision camera until interrupted.",
    )
    p.add_argument("--ip", default="127.0.0.2", help="address to bind (default 127.0.0.2)")
    p.add_argument("--port", type=_port, default=GVCP_PORT, help="GVCP port (default 3956)")
    p.add_argument(
        "--discovery",
        action="store_true",
        help="also answer discovery broadcasts (wildcard socket; use only in a network namespace)",
    )
    p.add_argument("--serial")
    p.add_argument("--model", default="VirtualCamera")
    p.add_argument("--manufacturer", default="oculane")
    p.add_argument("--user-name", default="", help="user-defined name")
    p.add_argument("--mac", help="MAC address, e.g. 02:0c:7f:00:00:02")
    p.add_argument("--device-version", default="1.0.0")
    p.add_argument("--subnet-mask", default="255.0.0.0")
    p.add_argument("--gateway", default="0.0.0.0")
    p.add_argument("--plain-xml", action="store_true", help="serve the description as plain XML, not zip")
    p.add_argument("--tl-params-locked", action="store_true", help="put TLParamsLocked in the description")
    p.add_argument("--second-url", action="store_true", help="also fill the second URL register")
    p.add_argument("--broken-first-url", choices=_URL_FAULTS, help="spoil the first URL register")
    p.add_argument("--description", metavar="FILE", help="serve this GenICam description file instead")
    p.add_argument("--heartbeat-ms", type=int, default=3000, help="initial heartbeat timeout")
    p.add_argument("--tick-frequency", type=int, default=1_000_000_000, help="timestamp ticks per second")
    p.add_argument("--host-clock", action="store_true",
                   help="timestamp on the host's real-time clock, shared by cameras on this host")
    p.add_argument("--stream-channels", type=int, default=2, help="number of stream channels (1 to 4)")
    p.add_argument("--extended-ids", action="store_true", help="start with 64-bit block ids")
    p.add_argument("--path-mtu", type=int, help="lose stream and test packets whose IP datagram is larger")
    p.add_argument("--link-rate", default="unlimited", help="1g, 10g, unlimited or bits per second")
    p.add_argument("--resend-memory", type=int, default=64 << 20, help="frame memory for resends, bytes")
    p.add_argument("--no-resend-capability", action="store_true", help="clear the packet-resend capability bit")
    p.add_argument("--packet-data-align", type=int, default=1,
                   help="round each payload packet's data bytes down to a multiple of this (1 to 256)")
    p.add_argument("--stream-port", type=int, default=0, help="source port of the stream (default: any)")
    p.add_argument("--gso", action="store_true",
                   help="send runs of packets as UDP GSO super-datagrams (faster; unsplit on loopback captures)")
    p.add_argument(
        "--fault",
        action="append",
        default=[],
        metavar="FAULT",
        help="stream fault kind[:key=value,...], repeatable; e.g. loss:ratio=0.01 or drop_packets:packets=3+4",
    )
    p.add_argument("--lose-resent", action="store_true", help="loss faults hit resent packets too")
    p.add_argument("--ignore-single-frame", action="store_true",
                   help="keep streaming after the first frame of a SingleFrame acquisition")
    p.add_argument("--stream-on-port-write", action="store_true",
                   help="start acquiring as soon as a stream port register is written")
    p.add_argument(
        "--no-concatenation",
        action="store_true",
        help="one register per READREG/WRITEREG (capability bit clear; further addresses ignored)",
    )
    return p


def parse_fault(text: str) -> tuple[str, dict[str, object]]:
    """A stream fault as the command line writes it: ``kind`` or
    ``kind:key=value,...`` with keys ratio, length, status, packets, frames
    and count; lists join their numbers with "+" (``drop_packets:packets=3+4``)."""
    kind, _, rest = text.partition(":")
    args: dict[str, object] = {}
    for item in filter(None, rest.split(",")):
        key, eq, value = item.partition("=")
        if not eq:
            raise ValueError(f"fault option {item!r} is not key=value")
        try:
            if key == "ratio":
                args[key] = float(value)
            elif key in ("length", "status", "count"):
                args[key] = int(value, 0)
            elif key in ("packets", "frames"):
                args[key] = [int(v, 0) for v in value.split("+")]
            else:
                raise ValueError(f"unknown fault option {key!r} (ratio, length, status, packets, frames, count)")
        except ValueError as e:
            if "fault option" in str(e):
                raise
            raise ValueError(f"fault option {key!r} has an invalid value {value!r}") from None
    return kind, args


def run_command(cam: VirtualCamera, line: str) -> str:
    """One run-time command of ``python -m oculane.sim`` (read from its
    standard input): ``fault KIND[:OPTIONS]``, ``clear``, ``lose-resent on|off``,
    ``mtu N|none``, ``link RATE``, ``resend-memory BYTES``, ``counters``,
    ``power-off [FRAMES]``, ``power-on``, ``ignore-single-frame on|off``,
    ``stream-on-port on|off``, ``pulse LINE``.
    Returns the answer line; ValueError for a bad command."""
    words = line.split()
    if not words:
        return ""
    cmd, args = words[0], words[1:]
    if cmd == "fault" and len(args) == 1:
        kind, options = parse_fault(args[0])
        cam.stream_fault(kind, **options)  # type: ignore[arg-type]
        return f"fault {args[0]} set"
    if cmd == "clear" and not args:
        cam.clear_stream_faults()
        return "stream faults cleared"
    if cmd == "lose-resent" and args in (["on"], ["off"]):
        cam.lose_resent(args[0] == "on")
        return f"lose-resent {args[0]}"
    if cmd == "mtu" and len(args) == 1:
        cam.set_path_mtu(None if args[0] == "none" else int(args[0]))
        return f"path MTU {args[0]}"
    if cmd == "link" and len(args) == 1:
        cam.set_link_rate(args[0] if not args[0].isdigit() else int(args[0]))
        return f"link rate {args[0]}"
    if cmd == "resend-memory" and len(args) == 1:
        cam.set_resend_memory(int(args[0]))
        return f"resend memory {args[0]}"
    if cmd == "counters" and not args:
        return " ".join(f"{k}={v}" for k, v in cam.stream_counters().items())
    if cmd == "power-off" and (not args or (len(args) == 1 and args[0].isdigit())):
        frames = int(args[0]) if args else 0
        cam.power_off(frames)
        return f"power off after {frames} frames" if frames else "power off"
    if cmd == "power-on" and not args:
        cam.power_on()
        return "power on"
    if cmd == "ignore-single-frame" and args in (["on"], ["off"]):
        cam.ignore_single_frame(args[0] == "on")
        return f"ignore-single-frame {args[0]}"
    if cmd == "stream-on-port" and args in (["on"], ["off"]):
        cam.stream_on_port_write(args[0] == "on")
        return f"stream-on-port {args[0]}"
    if cmd == "pulse" and args in (["0"], ["1"], ["2"]):
        cam.pulse_line(int(args[0]))
        return f"line {args[0]} pulsed"
    raise ValueError(f"unknown command {line.strip()!r} (fault KIND[:OPTIONS], clear, lose-resent on|off, mtu N|none, "
                     "link RATE, resend-memory BYTES, counters, power-off [FRAMES], power-on, "
                     "ignore-single-frame on|off, stream-on-port on|off, pulse 0|1|2)")


def describe(cam: VirtualCamera) -> str:
    """What a camera serves, as the command line prints it."""
    lines = [
        f"virtual camera on {cam.ip}:{cam.port}",
        f"  manufacturer {cam.manufacturer}, model {cam.model}, serial {cam.serial}, mac {cam.mac}",
        f"  first URL:  {cam.first_url}",
    ]
    if cam.second_url:
        lines.append(f"  second URL: {cam.second_url}")
    lines.append(
        f"  description: {len(cam.description)} characters, served as {len(cam.served_file)} bytes"
    )
    return "\n".join(lines)


def _camera_from(args: argparse.Namespace) -> VirtualCamera:
    cam = VirtualCamera(
        args.ip,
        port=args.port,
        discovery=args.discovery,
        serial=args.serial,
        model=args.model,
        manufacturer=args.manufacturer,
        user_defined_name=args.user_name,
        mac=args.mac,
        device_version=args.device_version,
        subnet_mask=args.subnet_mask,
        gateway=args.gateway,
        serve_zip=not args.plain_xml,
        tl_params_locked=args.tl_params_locked,
        second_url=args.second_url,
        broken_first_url=args.broken_first_url,
        description_file=args.description,
        heartbeat_timeout_ms=args.heartbeat_ms,
        no_concatenation=args.no_concatenation,
        stream_channels=args.stream_channels,
        tick_frequency=args.tick_frequency,
        host_clock=args.host_clock,
        extended_ids=args.extended_ids,
        path_mtu=args.path_mtu,
        link_rate=int(args.link_rate) if args.link_rate.isdigit() else args.link_rate,
        resend_memory=args.resend_memory,
        resend_capability=not args.no_resend_capability,
        packet_data_align=args.packet_data_align,
        stream_source_port=args.stream_port,
        gso=args.gso,
    )
    for text in args.fault:
        kind, options = parse_fault(text)
        cam.stream_fault(kind, **options)  # type: ignore[arg-type]
    if args.lose_resent:
        cam.lose_resent(True)
    if args.ignore_single_frame:
        cam.ignore_single_frame(True)
    if args.stream_on_port_write:
        cam.stream_on_port_write(True)
    return cam


def _serve_commands(cam: VirtualCamera) -> None:
    """Run-time switches from standard input, one command a line (run_command)."""
    try:
        for line in sys.stdin:
            try:
                answer = run_command(cam, line)
            except ValueError as e:
                answer = f"error: {e}"
            if answer:
                print(answer, flush=True)
    except (OSError, ValueError):
        pass  # no readable standard input (closed, or captured by a test runner)


def main(argv: Sequence[str] | None = None) -> int:
    """`python -m oculane.sim`: serve one virtual camera until interrupted
    (`--help` lists the options); returns the exit status."""
    args = _parser().parse_args(argv)
    try:
        cam = _camera_from(args)
    except (ValueError, OSError, TypeError, OverflowError) as e:
        # A bad option or an unreadable description file: say so in one
        # line, no traceback.
        print(f"cannot start the virtual camera: {e}".splitlines()[0], file=sys.stderr)
        return 2
    done = threading.Event()
    # Restored on the way out: main() may be called from a program that has
    # handlers of its own.
    previous = {sig: signal.signal(sig, lambda *_: done.set()) for sig in (signal.SIGINT, signal.SIGTERM)}
    try:
        try:
            cam.start()
        except RuntimeError as e:
            print(f"cannot start the virtual camera: {e}", file=sys.stderr)
            return 1
        try:
            print(describe(cam), flush=True)
            print("serving until interrupted (Ctrl-C)", flush=True)
            threading.Thread(target=_serve_commands, args=(cam,), daemon=True).start()
            while not done.wait(0.5):
                pass
        finally:
            cam.stop()
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
    print("stopped", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
