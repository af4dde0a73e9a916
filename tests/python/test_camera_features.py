"""Feature methods of Camera against virtual cameras on loopback."""

import math
import pathlib
import re
import threading
import xml.etree.ElementTree as ET

import pytest

import oculane
from oculane import AccessMode, Camera
from corpus import corpus_files

sim = pytest.importorskip("oculane.sim")

# Addresses of this file's cameras; other test files use their own.
IP = "127.0.42.2"


@pytest.fixture
def vcam():
    with sim.VirtualCamera(IP) as device:
        yield device


@pytest.fixture
def cam(vcam):
    camera = Camera(vcam.ip)
    camera.connect()
    yield camera
    camera.disconnect()


def readregs(vcam, address):
    return [c for c in vcam.commands() if c.command == sim.Command.READREG and address in c.addresses]


# ---- before connecting ------------------------------------------------------------


def test_never_connected_camera():
    camera = Camera("127.0.42.250")
    with pytest.raises(oculane.CameraException, match="^driver is not connected$"):
        camera.get_integer("Width")
    with pytest.raises(oculane.CameraException, match="^driver is not connected$"):
        camera.invalidate_caches()
    assert camera.has_feature("Width") is False
    with pytest.raises(oculane.GenicamException) as info:
        camera.feature_names()
    assert str(info.value) == "device description: feature model not loaded"


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda c: c.set_boolean("ReverseX", 1), TypeError),
        (lambda c: c.set_integer("Width", 2**63), ValueError),
        (lambda c: c.set_integer("Width", 2**64), OverflowError),
        (lambda c: c.set_integer("Width", 1.5), TypeError),
        (lambda c: c.get_integer(7), TypeError),
        (lambda c: c.set_string("DeviceUserID", b"bytes"), TypeError),
        (lambda c: c.set_enum("PixelFormat", None), TypeError),
    ],
)
def test_argument_conversion_rejects_before_anything_else(call, error):
    # Rejected by conversion, so no "not connected" error can come first.
    with pytest.raises(error):
        call(Camera("127.0.42.250"))


# ---- the virtual camera's own description ------------------------------------------


def _features_by_kind(xml_text):
    kinds = {}
    for kind, name in re.findall(r"<(Integer|Float|Boolean|Enumeration|String|Command)\s+Name=\"([^\"]+)\"", xml_text):
        kinds[name] = kind
    return kinds


def _carried_in_frames_or_events(xml_text):
    """Features whose value is a register on a chunk or event port."""
    root = ET.fromstring(xml_text)
    local = lambda tag: tag.rsplit("}", 1)[-1]  # noqa: E731
    on_data_ports = {e.get("Name") for e in root.iter()
                     if any(local(c.tag) == "pPort" and c.text != "Device" for c in e)}
    return {e.get("Name") for e in root.iter()
            if any(local(c.tag) == "pValue" and c.text in on_data_ports for c in e)}


def test_every_feature_reads_with_its_type(vcam, cam):
    kinds = _features_by_kind(vcam.description)
    assert len(kinds) > 20
    getters = {
        "Integer": (cam.get_integer, int),
        "Float": (cam.get_float, float),
        "Boolean": (cam.get_boolean, bool),
        "Enumeration": (cam.get_enum, str),
        "String": (cam.get_string, str),
    }
    names = set(cam.feature_names())
    carried = _carried_in_frames_or_events(vcam.description)
    assert len(carried) > 10
    for name, kind in kinds.items():
        assert name in names and cam.has_feature(name)
        if name in carried:
            # Values of chunk and event ports come with frames and events only.
            with pytest.raises(oculane.GenicamException) as err:
                cam.get(name)
            assert err.value.kind == "Unavailable"
            continue
        if kind == "Command":
            assert cam.access_mode(name) is AccessMode.WO
            continue
        getter, typ = getters[kind]
        value = getter(name)
        assert type(value) is typ, name
        if kind == "Enumeration":
            assert value in cam.enum_entries(name)
            assert cam.get_string(name) == value


def test_feature_names_list_every_node_in_description_order(vcam, cam):
    root = ET.fromstring(vcam.description)

    def declared(parent):
        for child in parent:
            if child.tag.rsplit("}", 1)[-1] == "Group":
                yield from declared(child)
            elif child.get("Name"):
                yield child.get("Name")

    in_document = list(declared(root))
    names = cam.feature_names()
    # Categories, registers and the port are nodes too, not only features.
    assert {"Root", "Device", "WidthReg", "TLParamsLocked"} <= set(names)
    assert [n for n in names if n in set(in_document)] == in_document


def test_integer_features_match_their_registers(vcam, cam):
    root = ET.fromstring(vcam.description)
    ns = root.tag[: root.tag.index("}") + 1] if root.tag.startswith("{") else ""
    registers = {r.get("Name"): r for r in root.iter(ns + "IntReg")}
    checked = 0
    for feature in root.iter(ns + "Integer"):
        target = feature.findtext(ns + "pValue")
        reg = registers.get(target)
        if reg is None or reg.findtext(ns + "Length") != "4" or reg.findtext(ns + "AccessMode") == "WO":
            continue
        if reg.findtext(ns + "pPort") != "Device":  # chunk and event data: no device register
            continue
        assert reg.findtext(ns + "Endianess") == "BigEndian"
        expected = vcam.read_register(int(reg.findtext(ns + "Address"), 0))
        if reg.findtext(ns + "Sign") == "Signed" and expected >= 2**31:
            expected -= 2**32
        assert cam.get_integer(feature.get("Name")) == expected, feature.get("Name")
        checked += 1
    assert checked >= 10


def test_known_values(vcam, cam):
    assert cam.get_integer("Width") == 640
    assert cam.get_integer("Height") == 480
    assert cam.get_integer("SensorWidth") == 1280
    assert cam.get_string("DeviceVendorName") == vcam.manufacturer
    assert cam.get_string("DeviceModelName") == vcam.model
    assert cam.get_string("DeviceSerialNumber") == vcam.serial
    # get_enum and get_string are one operation, on strings as on enumerations.
    assert cam.get_enum("DeviceFamilyName") == cam.get_string("DeviceFamilyName") == "oculane virtual cameras"
    assert cam.get_enum("DeviceModelName") == vcam.model
    assert cam.get_string("PixelFormat") == cam.get_enum("PixelFormat") == "Mono8"
    assert cam.get_integer("PayloadSize") == vcam.payload_size
    lo, hi = cam.integer_bounds("Width")
    assert lo <= 640 <= hi and hi == cam.get_integer("WidthMax")
    assert cam.integer_increment("Width") >= 1
    flo, fhi = cam.float_bounds("ExposureTime")
    assert (flo, fhi) == (10.0, 1000000.0)
    assert cam.access_mode("Width") is AccessMode.RW
    assert cam.access_mode("PayloadSize") is AccessMode.RO


def test_writes_reach_registers_and_behaviour(vcam, cam):
    width_reg = 0x10010
    cam.set_integer("Width", 320)
    assert vcam.read_register(width_reg) == 320
    assert cam.get_integer("Width") == 320
    # PayloadSize is a formula over the width register.
    assert cam.get_integer("PayloadSize") == vcam.payload_size
    assert cam.get_integer("PayloadSize") == 320 * cam.get_integer("Height") * (vcam.payload_size // (320 * cam.get_integer("Height")))

    cam.set_float("ExposureTime", 2000)  # an int is accepted as a float
    assert math.isclose(cam.get_float("ExposureTime"), 2000.0, rel_tol=1e-3)

    entries = cam.enum_entries("PixelFormat")
    other = [e for e in entries if e != cam.get_enum("PixelFormat")][0]
    cam.set_enum("PixelFormat", other)
    assert cam.get_enum("PixelFormat") == other
    with pytest.raises(oculane.GenicamException, match="has no entry 'NoSuchFormat'"):
        cam.set_enum("PixelFormat", "NoSuchFormat")

    # Bit fields of one register: each write keeps the neighbouring fields.
    flags = 0x10028
    before = vcam.read_register(flags)
    cam.set_boolean("ReverseX", True)
    cam.set_integer("BinningHorizontal", 2)
    assert cam.get_boolean("ReverseX") is True and cam.get_boolean("ReverseY") is False
    assert cam.get_integer("BinningHorizontal") == 2
    assert vcam.read_register(flags) == (before & ~0xF01) | 0x201

    cam.set_string("DeviceUserID", "bench-7")
    assert cam.get_string("DeviceUserID") == "bench-7"


def test_cached_reads_stay_off_the_wire(vcam, cam):
    width_reg = 0x10010
    vcam.clear_commands()
    assert cam.get_integer("Width") == 640
    first = len(readregs(vcam, width_reg))
    for _ in range(5):
        assert cam.get_integer("Width") == 640
    assert len(readregs(vcam, width_reg)) == first
    # A change behind our back is only seen after the caches are dropped.
    vcam.write_register(width_reg, 512)
    assert cam.get_integer("Width") == 640
    assert cam.invalidate_caches() is None
    assert cam.get_integer("Width") == 512
    assert len(readregs(vcam, width_reg)) == first + 1


def test_acquisition_start_lands_in_its_register(vcam, cam):
    vcam.clear_commands()
    cam.execute("AcquisitionStart")
    writes = [c for c in vcam.commands() if c.command == sim.Command.WRITEREG and 0x10038 in c.addresses]
    assert writes and writes[-1].values == [1]
    assert vcam.acquiring
    cam.execute("AcquisitionStop")
    assert not vcam.acquiring


def test_feature_errors(cam):
    with pytest.raises(oculane.GenicamException, match="^feature 'width' not found$"):
        cam.get_integer("width")
    with pytest.raises(oculane.GenicamException, match="does not support this access"):
        cam.get_float("AcquisitionStart")
    assert cam.has_feature("") is False
    assert cam.access_mode("Width") == 2 and cam.access_mode("Width") == AccessMode.RW


def test_disconnected_after_connect(vcam):
    camera = Camera(vcam.ip)
    camera.connect()
    camera.disconnect()
    with pytest.raises(oculane.CameraException, match="^driver is not connected$"):
        camera.set_integer("Width", 1)


def test_reconnect_starts_with_a_fresh_model(vcam):
    camera = Camera(vcam.ip)
    camera.connect()
    assert camera.get_integer("Width") == 640  # now cached
    camera.disconnect()
    assert camera.has_feature("Width") is False
    with pytest.raises(oculane.GenicamException, match="feature model not loaded"):
        camera.feature_names()
    vcam.write_register(0x10010, 100)
    camera.connect()
    assert camera.get_integer("Width") == 100
    camera.disconnect()


def test_unparsable_description_leaves_the_link_up(tmp_path):
    broken = tmp_path / "broken.xml"
    broken.write_text("<RegisterDescription><Integer Name='Width'>")
    with sim.VirtualCamera("127.0.42.4", description_file=broken) as device:
        camera = Camera(device.ip)
        with pytest.raises(oculane.GenicamException, match="^device description: "):
            camera.connect()
        assert camera.is_connected()
        with pytest.raises(oculane.GenicamException, match="^device description: feature model not loaded$"):
            camera.get_integer("Width")
        assert camera.has_feature("Width") is False
        # Connecting again keeps the live link and parses the bytes it already
        # has: the description is not downloaded a second time.
        device.clear_commands()
        with pytest.raises(oculane.GenicamException, match="^device description: "):
            camera.connect()
        assert [c for c in device.commands() if c.command == sim.Command.READMEM] == []
        camera.disconnect()
        # A new connection fetches it afresh.
        device.clear_commands()
        with pytest.raises(oculane.GenicamException, match="^device description: "):
            camera.connect()
        assert any(c.command == sim.Command.READMEM for c in device.commands())
        camera.disconnect()


def test_lost_control_is_reported(vcam, cam):
    vcam.lose_control()
    # The worker notices at its next heartbeat; wait for the state to flip.
    deadline = 50
    while cam.is_connected() and deadline:
        threading.Event().wait(0.1)
        deadline -= 1
    if cam.is_connected():
        pytest.skip("control loss not noticed within 5 s")
    for call in (lambda: cam.get_integer("Width"), cam.invalidate_caches):
        with pytest.raises(oculane.CameraException, match=r"^device control was lost \(heartbeat failed\)$"):
            call()
    # The model is still there to look at; only device work is refused.
    assert cam.has_feature("Width") is True
    assert "Width" in cam.feature_names()


# ---- threads -----------------------------------------------------------------------


def test_feature_calls_from_threads_during_a_long_connect(vcam):
    camera = Camera(vcam.ip, gvcp_timeout=2.0)
    vcam.delay_acks(15)  # every acknowledge late: the description download takes a while
    errors = []
    results = []
    stop = threading.Event()

    def reader():
        while not stop.is_set():
            try:
                results.append(camera.get_integer("Height"))
                camera.has_feature("Width")
            except (oculane.CameraException, oculane.GenicamException) as e:
                errors.append(str(e))

    connector = threading.Thread(target=camera.connect)
    connector.start()
    readers = [threading.Thread(target=reader) for _ in range(3)]
    for t in readers:
        t.start()
    connector.join(60)
    assert not connector.is_alive()
    vcam.delay_acks(0)
    # Let the readers see the connected camera.
    for _ in range(200):
        if results:
            break
        threading.Event().wait(0.01)
    stop.set()
    for t in readers:
        t.join(30)
        assert not t.is_alive()
    assert results and set(results) == {480}
    assert set(errors) <= {"driver is not connected", "device description: feature model not loaded"}
    assert camera.get_integer("Width") == 640
    camera.disconnect()


# ---- real descriptions -------------------------------------------------------------




@pytest.mark.parametrize("path", corpus_files() or [None], ids=lambda p: p.name if p else "absent")
def test_corpus_descriptions_read_or_fail_cleanly(path, tmp_path):
    if path is None:
        pytest.skip("shared/genicam-corpus not found above the checkout")
    text = path.read_text(encoding="utf-8", errors="replace")
    kinds = _features_by_kind(text)
    with sim.VirtualCamera("127.0.42.3", description_file=path) as device:
        camera = Camera(device.ip)
        camera.connect()
        getters = {
            "Integer": camera.get_integer,
            "Float": camera.get_float,
            "Boolean": camera.get_boolean,
            "Enumeration": camera.get_enum,
            "String": camera.get_string,
        }
        ok = 0
        for name, kind in kinds.items():
            if kind not in getters or not camera.has_feature(name):
                continue
            try:
                getters[kind](name)
                ok += 1
            except (oculane.GenicamException, oculane.CameraException) as e:
                # The C++ corpus test checks every cycle against the reference
                # graph; none of these descriptions has one.
                assert "circular reference" not in str(e), (name, str(e))
        assert ok > 0
        camera.disconnect()


def test_concurrent_feature_calls_keep_the_model_consistent(vcam, cam):
    widths = [320, 480, 640]
    failures = []

    def writer(w):
        try:
            for _ in range(30):
                cam.set_integer("Width", w)
                cam.set_enum("PixelFormat", "Mono8")
        except Exception as e:  # reported below
            failures.append(e)

    def reader():
        try:
            for _ in range(60):
                assert cam.get_integer("Width") in widths
                assert cam.get_integer("PayloadSize") % 16 == 0
                assert cam.get_enum("PixelFormat") == "Mono8"
                cam.invalidate_caches()
        except Exception as e:  # reported below
            failures.append(e)

    threads = [threading.Thread(target=writer, args=(w,)) for w in widths]
    threads += [threading.Thread(target=reader) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
        assert not t.is_alive()
    assert failures == []
    final = cam.get_integer("Width")
    assert final in widths and vcam.read_register(0x10010) == final
    assert cam.get_integer("PayloadSize") == vcam.payload_size


def test_device_waits_release_the_interpreter_lock(vcam):
    camera = Camera(vcam.ip, gvcp_timeout=2.0)
    camera.connect()
    vcam.clear_commands()
    vcam.delay_acks(800)
    reader = threading.Thread(target=camera.get_integer, args=("AcquisitionStatusReg",))
    reader.start()
    # Polling the command log needs the interpreter lock; seeing the read
    # arrive while the reader still waits for its late acknowledge shows that
    # the reader let go of it.
    while not readregs(vcam, 0x10050):
        assert reader.is_alive(), "the read finished before this thread could run"
    assert reader.is_alive()
    reader.join(10)
    vcam.delay_acks(0)
    camera.disconnect()


# ---- awkward descriptions, end to end ------------------------------------------------

AWKWARD = """<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="Awkward" VendorName="oculane">
  <Integer Name="A"><pValue>B</pValue></Integer>
  <Integer Name="B"><pValue>A</pValue></Integer>
  <String Name="S1"><pValue>S2</pValue></String>
  <String Name="S2"><pValue>S1</pValue></String>
  <Integer Name="Plain"><pValue>PlainReg</pValue></Integer>
  <IntReg Name="PlainReg"><Address>0x20000</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <pPort>Device</pPort><Endianess>BigEndian</Endianess></IntReg>
  <Integer Name="MinusOne"><Value>-1</Value></Integer>
  <Integer Name="Huge"><Value>0x7FFFFFFF00</Value></Integer>
  <IntReg Name="NegativeLength"><Address>0x20010</Address><pLength>MinusOne</pLength><AccessMode>RW</AccessMode>
    <pPort>Device</pPort><Endianess>BigEndian</Endianess></IntReg>
  <StringReg Name="HugeString"><Address>0x20010</Address><pLength>Huge</pLength><AccessMode>RW</AccessMode>
    <pPort>Device</pPort></StringReg>
  <Enumeration Name="Mode"><EnumEntry Name="Off"><Value>0</Value></EnumEntry>
    <EnumEntry Name="On"><Value>1</Value></EnumEntry><pValue>PlainReg</pValue></Enumeration>
  <Port Name="Device"/>
  <Port Name="ChunkPort"><ChunkID>8000</ChunkID></Port>
  <Port Name="EventPort"><EventID>9000</EventID></Port>
  <IntReg Name="ChunkValue"><Address>0x20010</Address><Length>4</Length><pPort>ChunkPort</pPort></IntReg>
  <IntReg Name="EventValue"><Address>0x20010</Address><Length>4</Length><pPort>EventPort</pPort></IntReg>
  <IntReg Name="NotAPort"><Address>0x20010</Address><Length>4</Length><pPort>Plain</pPort></IntReg>
  <IntReg Name="Wrapping"><Address>0xFFFFFFFFFFFFFFFF</Address><Address>0x20011</Address><Length>4</Length>
    <pPort>Device</pPort></IntReg>
  <Integer Name="Bounded"><pValue>PlainReg</pValue><Min>0</Min><Max>100</Max><Inc>2</Inc></Integer>
  <Integer Name="Inherits"><pValue>Bounded</pValue></Integer>
  <Float Name="FBounded"><pValue>FloatAt10</pValue><Min>0</Min><Max>1.5</Max></Float>
  <FloatReg Name="FloatAt10"><Address>0x20010</Address><Length>4</Length><pPort>Device</pPort></FloatReg>
</RegisterDescription>
"""


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda c: c.get_integer("A"), "^circular reference through 'A'$"),
        (lambda c: c.set_integer("B", 1), "^circular reference through 'B'$"),
        (lambda c: c.access_mode("A"), "^circular reference through 'A'$"),
        (lambda c: c.get_string("S1"), "^circular reference through 'S"),
        (lambda c: c.set_string("S2", "x"), "^circular reference through 'S"),
        (lambda c: c.get_integer("NegativeLength"), "^formula in 'NegativeLength': register length -1 "),
        (lambda c: c.set_integer("NegativeLength", 1), "^formula in 'NegativeLength': register length -1 "),
        (lambda c: c.get_string("HugeString"), "^formula in 'HugeString': register length 549755813632 "),
        (lambda c: c.set_string("HugeString", "x"), "^formula in 'HugeString': register length 549755813632 "),
        (lambda c: c.get_enum("Mode"), "^enumeration 'Mode' has no entry 'value 2'$"),
        (lambda c: c.set_enum("Mode", "on"), "^enumeration 'Mode' has no entry 'on'$"),
        (lambda c: c.get_integer("ChunkValue"),
         r"^node 'ChunkValue' cannot be read from the device: it is carried in the chunk data of frames \(port 'ChunkPort'\)$"),
        (lambda c: c.set_integer("EventValue", 1),
         r"^node 'EventValue' cannot be read from the device: it is carried in event data \(port 'EventPort'\)$"),
        (lambda c: c.get_integer("NotAPort"),
         "^device description: register 'NotAPort' is read through 'Plain', which is not a port$"),
        (lambda c: c.get_integer("Wrapping"), "^device description: address of register 'Wrapping' does not fit 64 bits$"),
        (lambda c: c.set_integer("Bounded", 102), r"^value 102 out of range \[0, 100\] in steps of 2 for 'Bounded'$"),
        (lambda c: c.set_integer("Inherits", 3), r"^value 3 out of range \[0, 100\] in steps of 2 for 'Inherits'$"),
        (lambda c: c.set_float("FBounded", 1.75), r"^value 1.75 out of range \[0, 1.5\] for 'FBounded'$"),
        (lambda c: c.set_float("FBounded", float("nan")), r"^value nan out of range \[0, 1.5\] for 'FBounded'$"),
    ],
)
def test_awkward_descriptions_fail_cleanly_and_leave_the_camera_usable(tmp_path, call, message):
    path = tmp_path / "awkward.xml"
    path.write_text(AWKWARD)
    with sim.VirtualCamera("127.0.42.5", description_file=path) as device:
        device.write_register(0x20000, 2)
        camera = Camera(device.ip)
        camera.connect()
        try:
            with pytest.raises(oculane.GenicamException, match=message):
                call(camera)
            # No evaluation state is left behind, and no register was touched.
            assert camera.get_integer("Plain") == 2
            assert device.read_register(0x20010) == 0
            assert not [c for c in device.commands() if 0x20010 in c.addresses]
        finally:
            camera.disconnect()
