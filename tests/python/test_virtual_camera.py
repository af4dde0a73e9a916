"""The virtual camera as a device: driven with raw GVCP datagrams over
loopback, checked byte by byte."""

from __future__ import annotations

import io
import os
import re
import struct
import zipfile
import zlib
from pathlib import Path

import pytest

from gvcp_raw import DISCOVERY, Ack, Host, read_mem, read_reg, wait_until, write_mem, write_reg
from oculane.sim import VirtualCamera, describe
from corpus import corpus_files


def fetch_location(host: Host, url: str) -> bytes:
    """Reads a Local: location through READMEM in 512-byte chunks."""
    m = re.fullmatch(r"Local:([^;]+);([0-9a-fA-F]+);([0-9a-fA-F]+)", url)
    assert m, url
    address, size = int(m.group(2), 16), int(m.group(3), 16)
    data = b""
    while len(data) < size:
        count = min(512, (size - len(data) + 3) & ~3)
        ack = host.transact(read_mem, address + len(data), count)
        assert ack.status == 0 and ack.code == 0x0085, ack
        assert ack.payload[:4] == struct.pack(">I", address + len(data))
        data += ack.payload[4:]
    return data[:size]


# ---- identity and bootstrap ---------------------------------------------------


def test_discovery_ack_carries_the_identity_block(camera_ip: str) -> None:
    with VirtualCamera(camera_ip, serial="SN-42", model="M7", user_defined_name="line 3"), Host(camera_ip) as h:
        h.send(DISCOVERY)
        data = h.recv()
    assert data is not None
    assert data[:8] == bytes.fromhex("0000 0003 00f8 ffff".replace(" ", ""))
    block = data[8:]
    assert len(block) == 248
    octets = [int(x) for x in camera_ip.split(".")]
    assert struct.unpack(">HH", block[0:4]) == (2, 0)
    assert block[10:16] == bytes([0x02, 0x0C, *octets])
    assert block[36:40] == bytes(octets)
    assert block[52:56] == bytes([255, 0, 0, 0])
    assert block[72:104].rstrip(b"\0") == b"oculane"
    assert block[104:136].rstrip(b"\0") == b"M7"
    assert block[216:232].rstrip(b"\0") == b"SN-42"
    assert block[232:248].rstrip(b"\0") == b"line 3"


def test_bootstrap_registers_in_one_command(virtual_camera: VirtualCamera) -> None:
    with Host(virtual_camera.ip) as h:
        h.send(read_reg(0x0102, 0x0000, 0x0004, 0x0008, 0x000C, 0x0010, 0x0014, 0x0024, 0x0034, 0x0044))
        ack = Ack(h.recv())
        assert ack.raw[:8] == bytes.fromhex("0000 0081 0024 0102".replace(" ", ""))
        version, mode, mac_hi, mac_lo, _, _, ip, mask, gateway = ack.words()
        assert version == 0x00020000
        assert mode & 0x80000000
        assert f"{mac_hi:04x}{mac_lo:08x}" == virtual_camera.mac.replace(":", "")
        assert ip == int.from_bytes(bytes(int(x) for x in virtual_camera.ip.split(".")), "big")
        assert (mask, gateway) == (0xFF000000, 0)
        capability, heartbeat, tick_hi, tick_lo = h.read(0x0934, 0x0938, 0x093C, 0x0940)
        # user-defined name, serial number, heartbeat disable; pending ack,
        # event data, event, packet resend (0x4), WRITEMEM, concatenation
        assert capability == 0xE002007F  # and action, scheduled action commands
        assert heartbeat == 3000
        assert (tick_hi << 32) | tick_lo == 1_000_000_000


# ---- status codes ---------------------------------------------------------------

STATUS_CASES = [
    ("unmapped register", lambda i: read_reg(i, 0x00F00000), 0x8003),
    ("unaligned register", lambda i: read_reg(i, 0x0A02), 0x8005),
    ("read-only register", lambda i: write_reg(i, (0x0934, 0)), 0x8004),
    ("unaligned write", lambda i: write_reg(i, (0x0A01, 2)), 0x8005),
    ("unaligned memory count", lambda i: read_mem(i, 0x0048, 6), 0x8005),
    ("memory read beyond 512", lambda i: read_mem(i, 0x0048, 516), 0x8002),
    ("memory write to read-only", lambda i: write_mem(i, 0x0048, b"ABCD"), 0x8004),
    ("memory write unaligned length", lambda i: write_mem(i, 0x10500, b"ABC"), 0x8005),
    ("length field past the datagram", lambda i: struct.pack(">BBHHH", 0x42, 1, 0x80, 8, i) + b"\0\0\0\0", 0x800E),
    ("read register payload not whole words", lambda i: struct.pack(">BBHHH", 0x42, 1, 0x80, 2, i) + b"\0\0", 0x800E),
    ("unknown command", lambda i: struct.pack(">BBHHH", 0x42, 1, 0x0F00, 0, i), 0x8001),
]


@pytest.mark.parametrize("what,build,status", STATUS_CASES, ids=[c[0] for c in STATUS_CASES])
def test_status_codes(virtual_camera: VirtualCamera, what: str, build, status: int) -> None:
    with Host(virtual_camera.ip) as h:
        h.take_control()
        datagram = build(0x0777)
        h.send(datagram)
        ack = Ack(h.recv())
    command = struct.unpack(">H", datagram[2:4])[0]
    assert (ack.status, ack.code, ack.ack_id) == (status, command + 1, 0x0777)


def test_refused_writes_change_nothing(virtual_camera: VirtualCamera) -> None:
    with Host(virtual_camera.ip) as h:
        h.take_control()
        assert h.write(0x0938, 0) == 0x8002  # heartbeat timeout 0
        assert h.write(0x10010, 642) == 0x8002  # Width not a multiple of 4
        assert h.read(0x0938, 0x10010) == [3000, 640]


def test_memory_write_and_read_back(virtual_camera: VirtualCamera) -> None:
    data = bytes(range(64))
    with Host(virtual_camera.ip) as h:
        h.take_control()
        ack = h.transact(write_mem, 0x10500, data)
        assert ack.raw[:2] == b"\0\0" and ack.code == 0x0087 and ack.payload == b"\0\0\0\x40"
        ack = h.transact(read_mem, 0x10500, 64)
        assert ack.payload == struct.pack(">I", 0x10500) + data


# ---- control privilege ------------------------------------------------------------


def test_writes_need_control(virtual_camera: VirtualCamera) -> None:
    with Host(virtual_camera.ip) as h:
        assert h.write(0x10010, 320) == 0x8006
        h.take_control()
        assert h.write(0x10010, 320) == 0
        assert h.read(0x0A00) == [0x2]
        assert virtual_camera.controller == h.address


@pytest.mark.parametrize("other_ip", ["127.0.0.1", "127.0.0.250"], ids=["same address", "other address"])
def test_another_application_is_refused(virtual_camera: VirtualCamera, other_ip: str) -> None:
    with Host(virtual_camera.ip) as owner, Host(virtual_camera.ip, local_ip=other_ip) as other:
        owner.take_control()
        assert other.write(0x0A00, 0x2) == 0x8006
        assert other.write(0x0A00, 0x0) == 0x8006
        assert other.write(0x10010, 320) == 0x8006
        assert other.read(0x0A00) == [0]  # it holds nothing itself
        assert other.read(0x10010) == [640]  # but may watch
        assert virtual_camera.controller == owner.address
        assert owner.write(0x0A00, 0) == 0
        other.take_control(0x3)
        assert virtual_camera.control_bits == 0x3
        assert owner.transact(read_reg, 0x10010).status == 0x8006  # exclusive: no reads either


def test_privilege_lapses_after_the_heartbeat_timeout(virtual_camera: VirtualCamera) -> None:
    with Host(virtual_camera.ip) as owner, Host(virtual_camera.ip) as other:
        owner.take_control()
        # A generous timeout: a loaded machine may stall this thread between
        # two reads, and only the total time talking needs to exceed it.
        assert owner.write(0x0938, 1000) == 0
        # Keep talking for well over the timeout: the privilege holds.
        for _ in range(12):
            assert owner.read(0x0A00) == [0x2]
            assert not wait_until(lambda: virtual_camera.controller is None, timeout=0.15)
        assert virtual_camera.controller == owner.address
        # Go quiet: it lapses, and someone else may take it.
        assert wait_until(lambda: virtual_camera.controller is None)
        assert virtual_camera.counters()["control_expired"] == 1
        assert owner.write(0x10010, 320) == 0x8006
        other.take_control()


# ---- behaviour registers ---------------------------------------------------------------


def test_image_registers_drive_payload_size(virtual_camera: VirtualCamera) -> None:
    with Host(virtual_camera.ip) as h:
        h.take_control()
        assert h.write(0x10010, 320) == 0 and h.write(0x10014, 200) == 0
        assert h.write(0x10020, 0x01100007) == 0  # Mono16
        assert h.read(0x10024) == [320 * 200 * 2]
        assert virtual_camera.payload_size == 320 * 200 * 2
        assert h.write(0x10038, 1) == 0  # AcquisitionStart
        assert h.read(0x10050) == [1] and virtual_camera.acquiring
        assert h.write(0x1003C, 1) == 0  # AcquisitionStop
        assert h.read(0x10050) == [0] and not virtual_camera.acquiring


# ---- description ------------------------------------------------------------------------


def test_served_zip_unpacks_to_the_description(virtual_camera: VirtualCamera) -> None:
    with Host(virtual_camera.ip) as h:
        url = h.transact(read_mem, 0x0200, 512).payload[4:].split(b"\0")[0].decode()
        assert url == virtual_camera.first_url
        assert h.transact(read_mem, 0x0400, 512).payload[4:] == bytes(512)
        archive = zipfile.ZipFile(io.BytesIO(fetch_location(h, url)))
    (member,) = archive.infolist()
    assert member.filename == "oculane-virtual-camera.xml"
    assert member.compress_type == zipfile.ZIP_DEFLATED
    text = archive.read(member).decode()
    assert text == virtual_camera.description
    assert "TLParamsLocked" not in text
    for construct in ("<IntSwissKnife>", "<StructReg", "<Converter", "<MaskedIntReg", "<FloatReg", "<StringReg",
                      "<Register ", "<pInvalidator>", "<Group ", "<Category", "<Boolean", "<Command"):
        assert construct in text, construct


# The interface the standard feature naming calls for, by feature name, and
# the node elements that provide each interface.
STANDARD_INTERFACES = {
    "Integer": ["AcquisitionFrameCount", "BinningHorizontal", "GevHeartbeatTimeout", "GevSCDA", "GevSCPD",
                "GevSCPHostPort", "GevSCPSPacketSize", "GevTimestampTickFrequency", "Height", "HeightMax", "LUTIndex",
                "LUTValue", "OffsetX", "OffsetY", "PayloadSize", "SensorHeight", "SensorWidth", "TLParamsLocked",
                "Width", "WidthMax", "ActionDeviceKey", "ActionSelector", "ActionGroupKey", "ActionGroupMask",
                "TimestampLatchValue"]
    + ["ChunkFrameID", "ChunkTimestamp", "ChunkWidth", "ChunkHeight", "ChunkLineStatusAll"]
    + [f"Event{e}{d}" for e in ("AcquisitionStart", "AcquisitionEnd", "FrameStart", "ExposureEnd", "Test")
       for d in ("", "Timestamp")] + ["EventFrameStartFrameID", "EventExposureEndFrameID"],
    "Float": ["AcquisitionFrameRate", "BlackLevel", "DeviceTemperature", "ExposureTime", "Gain", "Gamma",
              "TriggerDelay", "ChunkExposureTime", "ChunkGain"],
    "Enumeration": ["AcquisitionMode", "GevGVSPExtendedIDMode", "PixelFormat", "TestPattern", "TriggerMode",
                    "TriggerSelector", "TriggerSource", "TriggerActivation", "PtpStatus",
                    "ChunkSelector", "ChunkPixelFormat", "EventSelector", "EventNotification"],
    "Boolean": ["AcquisitionFrameRateEnable", "AcquisitionStatus", "ChunkModeActive", "ReverseX", "ReverseY",
                "PtpEnable", "ChunkEnable"],
    "Command": ["AcquisitionStart", "AcquisitionStop", "TestEventGenerate", "TriggerSoftware", "TimestampLatch"],
    "String": ["DeviceFamilyName", "DeviceManufacturerInfo", "DeviceModelName", "DeviceSerialNumber", "DeviceUserID",
               "DeviceVendorName", "DeviceVersion"],
}
PROVIDERS = {
    "Integer": {"Integer", "IntReg", "MaskedIntReg", "IntSwissKnife", "IntConverter"},
    "Float": {"Float", "FloatReg", "SwissKnife", "Converter"},
    "Enumeration": {"Enumeration"},
    "Boolean": {"Boolean"},
    "Command": {"Command"},
    "String": {"String", "StringReg"},
}
# Standard names of nodes that are not features of a value type.
NOT_VALUES = {"Category", "EnumEntry", "Port"}


def test_standard_features_have_the_type_their_name_calls_for() -> None:
    """A client that types features strictly accepts the description."""
    import xml.etree.ElementTree as ET

    root = ET.fromstring(VirtualCamera(tl_params_locked=True).description)
    local = lambda tag: tag.rsplit("}", 1)[-1]  # noqa: E731
    standard = {e.get("Name"): local(e.tag) for e in root.iter() if e.get("NameSpace") == "Standard"}
    wanted = {name: kind for kind, names in STANDARD_INTERFACES.items() for name in names}
    wrong = {name: (element, wanted.get(name)) for name, element in standard.items()
             if element not in NOT_VALUES and element not in PROVIDERS.get(wanted.get(name), ())}
    assert wrong == {}, "standard features whose node is not of the interface their name calls for"
    assert set(wanted) <= set(standard)


def test_plain_xml_second_url_and_tlparamslocked(camera_ip: str) -> None:
    with VirtualCamera(camera_ip, serve_zip=False, second_url=True, tl_params_locked=True) as cam, Host(camera_ip) as h:
        assert cam.first_url.startswith("Local:oculane-virtual-camera.xml;")
        assert cam.second_url == cam.first_url
        text = fetch_location(h, cam.first_url).decode()
    assert text == cam.description
    assert '<Integer Name="TLParamsLocked"' in text


@pytest.mark.parametrize("fault", ["bad_text", "http", "corrupt_zip", "truncated_zip"])
def test_broken_first_url_leaves_a_working_second(camera_ip: str, fault: str) -> None:
    with VirtualCamera(camera_ip, broken_first_url=fault) as cam, Host(camera_ip) as h:
        first, second = cam.first_url, cam.second_url
        good = zipfile.ZipFile(io.BytesIO(fetch_location(h, second))).read("oculane-virtual-camera.xml")
        assert good.decode() == cam.description
        if fault == "bad_text":
            assert not first.lower().startswith(("local:", "file:", "http"))
        elif fault == "http":
            assert first.startswith("http://")
        else:
            broken = fetch_location(h, first)
            with pytest.raises((zipfile.BadZipFile, zlib.error)):
                zipfile.ZipFile(io.BytesIO(broken)).read("oculane-virtual-camera.xml")


@pytest.mark.skipif(not corpus_files(), reason="the GenICam corpus (../shared/genicam-corpus) is not present")
@pytest.mark.parametrize("path", corpus_files(), ids=lambda p: p.name)
def test_serves_a_makers_description_with_a_permissive_space(camera_ip: str, path: Path) -> None:
    with VirtualCamera(camera_ip, description_file=path) as cam, Host(camera_ip) as h:
        assert cam.first_url.startswith(f"Local:{path.stem}.zip;e0000000;")
        served = zipfile.ZipFile(io.BytesIO(fetch_location(h, cam.first_url))).read(f"{path.stem}.xml")
        assert served == path.read_bytes()
        h.take_control()
        assert h.read(0x00123450) == [0]
        assert h.write(0x00123450, 0xCAFE) == 0
        assert h.read(0x00123450) == [0xCAFE]


def test_a_description_in_another_encoding_is_served_byte_for_byte(camera_ip: str, tmp_path: Path) -> None:
    text = ('<?xml version="1.0" encoding="ISO-8859-1"?>\n<RegisterDescription ModelName="X" '
            'VendorName="Caf\u00e9 Optik"><!-- Gr\u00f6\u00dfe --></RegisterDescription>\n')
    path = tmp_path / "latin1.xml"
    path.write_bytes(text.encode("latin-1"))
    with VirtualCamera(camera_ip, description_file=path, serve_zip=False) as cam, Host(camera_ip) as h:
        assert fetch_location(h, cam.first_url) == path.read_bytes()
        assert "Optik" in cam.description
        assert "description: " in describe(cam)


# ---- lifecycle ----------------------------------------------------------------------------


def thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


def fd_count() -> int:
    return len(os.listdir("/proc/self/fd"))


def test_several_cameras_and_clean_release(camera_ip: str, next_camera_ip) -> None:
    before, fds = thread_count(), fd_count()
    first = VirtualCamera(camera_ip)
    with first, VirtualCamera(next_camera_ip(), serial="OTHER") as second:
        with pytest.raises(RuntimeError, match="Address already in use"):
            VirtualCamera(camera_ip).start()
        with Host(first.ip) as a, Host(second.ip) as b:
            a.send(DISCOVERY)
            b.send(DISCOVERY)
            assert Ack(a.recv()).payload[216:232].rstrip(b"\0") == first.serial.encode()
            assert Ack(b.recv()).payload[216:232].rstrip(b"\0") == b"OTHER"
        assert thread_count() == before + 4  # each: the GVCP server and the GVSP sender
    assert not first.running and thread_count() == before and fd_count() == fds
    with VirtualCamera(camera_ip):  # the address is free again
        pass
    first.stop()  # idempotent


def test_own_description_references_only_existing_nodes(virtual_camera: VirtualCamera) -> None:
    import xml.etree.ElementTree as ET

    root = ET.fromstring(virtual_camera.description)
    local = lambda tag: tag.rsplit("}", 1)[-1]  # noqa: E731
    names = {e.get("Name") for e in root.iter() if e.get("Name")}
    refs = {
        (local(e.tag), (e.text or "").strip())
        for e in root.iter()
        if local(e.tag) in {"pValue", "pMin", "pMax", "pInc", "pFeature", "pInvalidator", "pVariable",
                            "pAddress", "pLength", "pCommandValue", "pPort"}
    }
    assert refs, "no references found"
    assert {r for r in refs if r[1] not in names} == set()


@pytest.mark.parametrize("no_concatenation", [False, True])
def test_concatenation_can_be_switched_off(camera_ip: str, no_concatenation: bool) -> None:
    with VirtualCamera(camera_ip, no_concatenation=no_concatenation), Host(camera_ip) as h:
        capability = h.read(0x0934)[0]
        assert bool(capability & 0x1) is not no_concatenation
        ack = h.transact(read_reg, 0x0000, 0x0938)
        assert ack.status == 0
        assert ack.words() == ([0x00020000] if no_concatenation else [0x00020000, 3000])
