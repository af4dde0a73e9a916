"""The tools around the library, against virtual cameras: feature metadata
and the category tree, settings files, the logging bridge and the `oculane`
command line (run as a subprocess)."""

from __future__ import annotations

import dataclasses
import json
import logging
import pathlib
import subprocess
import sys

import pytest

import oculane
from oculane.sim import VirtualCamera

from corpus import corpus_files

SELECTORS = pathlib.Path(__file__).parent / "data" / "selectors.xml"


def connected(ip: str) -> oculane.Camera:
    camera = oculane.Camera(ip)
    camera.connect()
    return camera


@pytest.fixture
def camera(virtual_camera, camera_ip):
    cam = connected(camera_ip)
    yield cam
    cam.disconnect()


@pytest.fixture
def selector_camera(next_camera_ip):
    """A camera whose description has a selector, availability flags and a string."""
    ip = next_camera_ip()
    with VirtualCamera(ip, description_file=SELECTORS):
        cam = connected(ip)
        yield cam
        cam.disconnect()


# ---- feature metadata ----------------------------------------------------------

@pytest.mark.parametrize("name, kind, path, unit", [
    ("Width", "Integer", ("Root", "ImageFormatControl"), ""),
    ("PixelFormat", "Enumeration", ("Root", "ImageFormatControl"), ""),
    ("AcquisitionStart", "Command", ("Root", "AcquisitionControl"), ""),
    ("ImageFormatControl", "Category", ("Root",), ""),
    ("GevSCPSPacketSize", "Integer", ("Root", "TransportLayerControl"), ""),
    ("WidthReg", "Integer", (), ""),  # a register no category lists
])
def test_feature_info_kinds_and_places(camera, name, kind, path, unit):
    info = camera.feature_info(name)
    assert (info.name, info.kind, info.category_path, info.unit) == (name, kind, path, unit)
    assert isinstance(info.visibility, oculane.Visibility)


def test_feature_info_is_a_read_only_record(camera):
    info = camera.feature_info("Width")
    assert info.tooltip == "Width of the image delivered by the device, in pixels."
    assert (info.implemented, info.available, info.locked) == (True, True, False)
    with pytest.raises(dataclasses.FrozenInstanceError):
        info.tooltip = "x"
    with pytest.raises(oculane.GenicamException, match="feature 'Nope' not found"):
        camera.feature_info("Nope")


def test_flags_and_entries_follow_the_device(selector_camera):
    cam = selector_camera
    sel = cam.feature_info("GainSelector")
    assert (sel.visibility, sel.selected) == (oculane.Visibility.EXPERT, ("Gain",))
    assert cam.feature_info("Gain").selectors == ("GainSelector",)
    assert [e.name for e in sel.entries] == ["All", "Red", "Blue"]
    assert sel.available_entries() == ["All", "Red"]
    assert cam.feature_info("Boost").available is False
    cam.set_integer("BlueThere", 1)
    cam.set_boolean("BoostThere", True)
    assert cam.feature_info("GainSelector").available_entries() == ["All", "Red", "Blue"]
    assert cam.feature_info("Boost").available is True


def test_category_tree(camera, selector_camera):
    [root] = camera.categories()
    tree = {c.name: (depth, c) for depth, c in root.walk()}
    assert root.name == "Root" and tree["ImageFormatControl"][0] == 1
    assert "Width" in tree["ImageFormatControl"][1].features
    [sel_root] = selector_camera.categories()
    [analog] = sel_root.subcategories
    assert (analog.display_name, analog.features) == (
        "Analog Control", ("GainSelector", "Gain", "Boost", "Label"))


@pytest.mark.skipif(not corpus_files(), reason="shared/genicam-corpus not found beside the checkout")
def test_corpus_descriptions_are_browsable(next_camera_ip, tmp_path):
    # Every feature in every tree is described through the virtual camera;
    # only a maker's own faulty flag formula may fail (FormulaError text).
    for path in corpus_files():
        ip = next_camera_ip()
        with VirtualCamera(ip, description_file=path):
            cam = connected(ip)
            try:
                names = {f for top in cam.categories() for _, c in top.walk() for f in c.features}
                assert names, path.name
                described = 0
                for name in names:
                    try:
                        cam.feature_info(name)
                        described += 1
                    except oculane.GenicamException as e:
                        assert "formula" in str(e) or "unbound" in str(e), (path.name, name, str(e))
                assert described >= 0.95 * len(names), path.name
            finally:
                cam.disconnect()


# ---- settings files --------------------------------------------------------------

CHANGES = [("Width", "set_integer", "get_integer", 320), ("PixelFormat", "set_enum", "get_enum", "Mono16"),
           ("Gain", "set_float", "get_float", 3.25), ("ReverseX", "set_boolean", "get_boolean", True),
           ("DeviceUserID", "set_string", "get_string", "left = cam #1")]


def test_settings_round_trip(camera, tmp_path):
    first, second = tmp_path / "a.txt", tmp_path / "b.txt"
    saved = camera.save_settings(first)
    original = {name: getattr(camera, get)(name) for name, _, get, _ in CHANGES}
    for name, set_, _, value in CHANGES:
        getattr(camera, set_)(name, value)
    assert camera.load_settings(first) == []
    assert {name: getattr(camera, get)(name) for name, _, get, _ in CHANGES} == original
    # Plain text, one feature a line, and the same camera state writes the same file.
    lines = first.read_text().splitlines()
    assert len([line for line in lines if not line.startswith("#")]) == saved
    assert lines[0].startswith("# oculane settings: ")
    assert "Width = 640" in lines and "PixelFormat = Mono8" in lines
    assert "ExposureTime = 10000.0" in lines  # behind a converter, and writable
    camera.save_settings(second)
    assert second.read_text() == first.read_text()


def test_selector_groups_round_trip(selector_camera, tmp_path):
    cam = selector_camera
    cam.set_integer("BlueThere", 1)
    for entry, gain in [("All", 5), ("Red", 7), ("Blue", 9)]:
        cam.set_enum("GainSelector", entry)
        cam.set_integer("Gain", gain)
    cam.set_enum("GainSelector", "Red")
    cam.set_string("Label", 'say "hi"')
    path = tmp_path / "s.txt"
    cam.save_settings(path)
    assert path.read_text().splitlines()[1:] == [
        "GainSelector = All", "Gain = 5", "GainSelector = Red", "Gain = 7", "GainSelector = Blue",
        "Gain = 9", "GainSelector = Red", 'Label = "say \\"hi\\""']  # Boost is unavailable: left out
    for entry in ("All", "Red", "Blue"):
        cam.set_enum("GainSelector", entry)
        cam.set_integer("Gain", 0)
    cam.set_string("Label", "")
    assert cam.load_settings(path) == []
    gains = []
    for entry in ("All", "Red", "Blue"):
        cam.set_enum("GainSelector", entry)
        gains.append(cam.get_integer("Gain"))
    assert gains == [5, 7, 9] and cam.get_string("Label") == 'say "hi"'


HOST = {"GevSCPSPacketSize": 0x0D04, "GevSCDA": 0x0D18, "GevSCPHostPort": 0x0D00, "GevSCPD": 0x0D08,
        "GevHeartbeatTimeout": 0x0938}


def test_settings_leave_this_hosts_link_out(camera, tmp_path, next_camera_ip):
    # A file from one camera applies to another one (the same camera on
    # another host) and writes nothing of the link it was saved over.
    path = tmp_path / "s.txt"
    camera.set_float("ExposureTime", 2500.0)
    camera.save_settings(path)
    lines = path.read_text().splitlines()
    for name in HOST:
        assert not [line for line in lines if line.startswith(f"{name} =")], name
        assert [line for line in lines if line.startswith(f"# {name} = ")], name
    ip = next_camera_ip()
    with VirtualCamera(ip) as other:
        cam = connected(ip)
        try:
            other.clear_commands()
            assert cam.load_settings(path) == []
            assert cam.get_float("ExposureTime") == pytest.approx(2500.0)
            written = {a for c in other.commands() if c.command == 0x0082 for a in c.addresses}
            assert not written & set(HOST.values())
        finally:
            cam.disconnect()


UNREADABLE = """<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="U" VendorName="Test" StandardNameSpace="GEV" SchemaMajorVersion="1"
    SchemaMinorVersion="1" SchemaSubMinorVersion="0" MajorVersion="1" MinorVersion="0" SubMinorVersion="0"
    ProductGuid="0" VersionGuid="0">
  <Category Name="Root"><pFeature>Plain</pFeature><pFeature>Index</pFeature><pFeature>Value</pFeature>
    <pFeature>Mode</pFeature><pFeature>After</pFeature></Category>
  <Integer Name="Plain"><pValue>PlainReg</pValue><Min>0</Min><Max>100</Max></Integer>
  <!-- A selector whose value is beyond the maximum the device gives it. -->
  <Integer Name="Index"><pSelected>Value</pSelected><pValue>IndexReg</pValue><Min>0</Min><pMax>CountReg</pMax></Integer>
  <Integer Name="Value"><pValue>ValueReg</pValue></Integer>
  <!-- An enumeration whose register holds a value none of its entries has. -->
  <Enumeration Name="Mode"><EnumEntry Name="A"><Value>0</Value></EnumEntry><EnumEntry Name="B"><Value>1</Value></EnumEntry>
    <pValue>ModeReg</pValue></Enumeration>
  <Integer Name="After"><pValue>AfterReg</pValue></Integer>
  <IntReg Name="PlainReg"><Address>0x30000</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
  <IntReg Name="IndexReg"><Address>0x30004</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
  <IntReg Name="CountReg"><Address>0x30008</Address><Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort></IntReg>
  <IntReg Name="ValueReg"><Address>0x3000C</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
  <IntReg Name="ModeReg"><Address>0x30010</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
  <IntReg Name="AfterReg"><Address>0x30014</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
  <Port Name="Device"/>
</RegisterDescription>
"""


def test_save_reports_and_skips_what_cannot_be_read(next_camera_ip, tmp_path):
    desc = tmp_path / "u.xml"
    desc.write_text(UNREADABLE)
    ip = next_camera_ip()
    with VirtualCamera(ip, description_file=desc):
        cam = connected(ip)
        try:
            for name, value in [("PlainReg", 5), ("IndexReg", 1), ("ModeReg", 7), ("AfterReg", 9)]:
                cam.set_integer(name, value)
            path = tmp_path / "s.txt"
            skipped = []
            assert oculane.settings.save(cam, path, skipped) == 2
            lines = path.read_text().splitlines()
            assert [line for line in lines if not line.startswith("#")] == ["Plain = 5", "After = 9"]
            assert [(i.name, lines[i.line - 1]) for i in skipped] == [
                ("Index", "# Index: not saved, nor what it selects (Value): value 1 out of range [0, 0] for 'Index'"),
                ("Mode", "# Mode: not saved: enumeration 'Mode' has no entry 'value 7'"),
            ]
            assert cam.get_integer("IndexReg") == 1  # the camera as it was found
            assert cam.load_settings(path) == []
        finally:
            cam.disconnect()
        # The command line saves too, and says what it left out.
        r = cli("save", ip, str(path))
        assert (r.returncode, r.stdout) == (0, f"saved 2 settings to {path}\n")
        assert r.stderr.splitlines() == [f"{path}:{i.line}: {i.name}: {i.reason}" for i in skipped]


@pytest.mark.skipif(not corpus_files(), reason="shared/genicam-corpus not found beside the checkout")
def test_every_corpus_description_saves(next_camera_ip, tmp_path):
    notes = {}
    for path in corpus_files():
        ip = next_camera_ip()
        with VirtualCamera(ip, description_file=path):
            cam = connected(ip)
            try:
                skipped = []
                assert oculane.settings.save(cam, tmp_path / "s.txt", skipped) > 0, path.name
                notes[path.name] = {i.name for i in skipped}
            finally:
                cam.disconnect()
    assert "DPCIndex" in notes["hikrobot-mv-ca013-a0um.xml"]


def test_load_reports_every_line_it_cannot_apply(camera, tmp_path):
    path = tmp_path / "s.txt"
    path.write_text("# a comment\n"
                    "Width = 100000\n"
                    "Nope = 1\n"
                    "PixelFormat = Mono99\n"
                    "ReverseX = maybe\n"
                    "AcquisitionStart = 1\n"
                    "Height = 240\n")
    issues = camera.load_settings(path)
    assert [(i.line, i.name) for i in issues] == [
        (2, "Width"), (3, "Nope"), (4, "PixelFormat"), (5, "ReverseX"), (6, "AcquisitionStart")]
    reasons = [i.reason for i in issues]
    # Refused by the bounds check or, where writes are not checked first, by the device.
    assert "out of range" in reasons[0] or "invalid parameter" in reasons[0]
    assert reasons[1] == "feature 'Nope' not found"
    assert reasons[4] == "a Command feature has no value to set"
    assert reasons[3] == "'maybe' is not a valid Boolean value"
    assert camera.get_integer("Height") == 240  # the good line was applied


def test_load_retries_a_line_whose_bound_a_later_line_widens(camera, tmp_path):
    # OffsetX may reach sensor width - Width: 640 now, 960 once Width is 320.
    path = tmp_path / "s.txt"
    path.write_text("OffsetX = 900\nWidth = 320\n")
    assert camera.load_settings(path) == []
    assert (camera.get_integer("OffsetX"), camera.get_integer("Width")) == (900, 320)


def test_unparsable_file_changes_nothing(camera, tmp_path):
    path = tmp_path / "s.txt"
    path.write_text("Width = 320\nthis is not a setting\n")
    with pytest.raises(ValueError, match=r":2: not a 'Name = value' line"):
        camera.load_settings(path)
    assert camera.get_integer("Width") == 640


# ---- logging into Python -----------------------------------------------------------

class Captured(logging.Handler):
    def __init__(self):
        super().__init__(logging.NOTSET)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def captured():
    logger = logging.getLogger("oculane")
    handler, level = Captured(), logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    yield handler.records
    oculane.disable_logging()
    logger.removeHandler(handler)
    logger.setLevel(level)


def test_log_events_reach_python_logging(virtual_camera, camera_ip, captured):
    oculane.enable_logging(logging.DEBUG)
    cam = connected(camera_ip)
    nodes = len(cam.feature_names())
    cam.disconnect()
    oculane.disable_logging()  # drains what is queued
    by_message = {r.getMessage(): r for r in captured}
    parsed = by_message["device description parsed"]
    assert (parsed.name, parsed.levelno, parsed.fields["nodes"]) == ("oculane.genicam", logging.DEBUG, str(nodes))
    assert by_message["connected"].serial == virtual_camera.serial  # a field as an attribute
    assert by_message["gvcp worker shutting down"].name == "oculane.gige.runner"
    # Disabled: nothing more arrives.
    captured.clear()
    connected(camera_ip).disconnect()
    assert oculane.logging_bridge.drain(0.05) == 0 and captured == []


def test_level_filter_and_full_queue(virtual_camera, camera_ip, captured):
    oculane.enable_logging(logging.WARNING, thread=False)
    connected(camera_ip).disconnect()
    assert oculane.logging_bridge.drain() == 0  # only debug and info events happened
    oculane.enable_logging(logging.DEBUG, capacity=2, thread=False)
    connected(camera_ip).disconnect()
    lost = oculane.logging_bridge.dropped()
    assert lost >= 3
    assert oculane.logging_bridge.drain() == 2
    assert captured[-1].levelno == logging.WARNING
    assert captured[-1].getMessage() == f"log queue full: {lost} events dropped"


# ---- the command line -------------------------------------------------------------------

def cli(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "oculane", *args], capture_output=True, text=True, timeout=60)


def test_cli_reads_and_writes_features(virtual_camera, camera_ip, next_camera_ip):
    ip, nobody = camera_ip, next_camera_ip()
    cases = [
        (["get", ip, "Width", "PixelFormat", "Gain"], 0, "Width = 640\nPixelFormat = Mono8\nGain = 0 dB\n", ""),
        (["set", ip, "Width=320", "ReverseX=true", "DeviceUserID=left cam"], 0, "", ""),
        (["get", ip, "Width", "ReverseX", "DeviceUserID"], 0, "Width = 320\nReverseX = true\nDeviceUserID = left cam\n", ""),
        (["get", ip, "Nope"], 1, "", "oculane get: Nope: feature 'Nope' not found\n"),
        (["set", ip, "Width=abc"], 1, "", "oculane set: Width: 'abc' is not a valid Integer value\n"),
        (["set", ip, "Width=100000"], 1, "", None),
        (["get", ip, "AcquisitionStart"], 1, "", "oculane get: AcquisitionStart: a Command has no value to read\n"),
        (["info", "cam1"], 2, "", 'oculane info: invalid IP address: "cam1"\n'),
        (["info", nobody], 1, "", f"oculane info: cannot connect to {nobody}: connect timed out\n"),
    ]
    for args, code, out, err in cases:
        r = cli(*args)
        assert (r.returncode, r.stdout) == (code, out), (args, r.stderr)
        if err is not None:
            assert r.stderr == err, args
        assert "Traceback" not in r.stderr and r.stderr.count("\n") <= 1, args


@pytest.mark.parametrize("args", [[], ["frobnicate"], ["set", "127.0.0.1", "Width"], ["discover", "--timeout", "x"]])
def test_cli_usage_errors_exit_2(args):
    r = cli(*args)
    assert r.returncode == 2 and "usage: oculane" in r.stderr and "Traceback" not in r.stderr


def test_cli_discover_info_and_features(virtual_camera, camera_ip):
    r = cli("discover", "--address", camera_ip, "--json", "--timeout", "0.3")
    assert r.returncode == 0, r.stderr
    [dev] = json.loads(r.stdout)
    assert (dev["ip"], dev["serial"], dev["model"]) == (camera_ip, virtual_camera.serial, "VirtualCamera")
    table = cli("discover", "--address", camera_ip, "--timeout", "0.3").stdout.splitlines()
    assert table[0].split() == ["MODEL", "SERIAL", "IP", "MAC", "USER", "NAME"]
    assert table[1].split()[2:4] == [virtual_camera.serial, camera_ip]

    info = dict(line.split(None, 1) for line in cli("info", camera_ip).stdout.splitlines() if " " in line)
    assert info["Serial"].strip() == virtual_camera.serial
    assert info["Capabilities"].split()[0] == "0xe002007f" and info["Capabilities"].endswith("concatenation")
    assert info["Source"].strip() == virtual_camera.first_url

    feats = cli("features", camera_ip, "width*").stdout.splitlines()
    rows = {line.split()[0]: line.split()[1:] for line in feats}
    assert rows["Width"] == ["Integer", "RW", "640", "[16..1280]", "step", "4"]
    assert rows["WidthMax"][:3] == ["Integer", "RO", "1280"]
    assert "Height" not in rows and "ImageFormatControl/" in rows


def test_cli_features_hide_what_is_not_for_now(next_camera_ip):
    ip = next_camera_ip()
    with VirtualCamera(ip, description_file=SELECTORS):
        default = [line.split()[0] for line in cli("features", ip).stdout.splitlines()]
        everything = [line.split()[0] for line in cli("features", ip, "--all").stdout.splitlines()]
    # Boost is unavailable until BoostThere is set; GainSelector is Expert, shown by default.
    assert default == ["Root/", "Analog/", "GainSelector", "Gain", "Label"]
    assert everything == ["Root/", "Analog/", "GainSelector", "Gain", "Boost", "Label"]


def test_cli_save_and_load(virtual_camera, camera_ip, tmp_path):
    path = str(tmp_path / "cam.txt")
    assert cli("save", camera_ip, path).returncode == 0
    assert cli("set", camera_ip, "Height=240").returncode == 0
    assert cli("load", camera_ip, path).returncode == 0
    assert cli("get", camera_ip, "Height").stdout == "Height = 480\n"
    (tmp_path / "bad.txt").write_text("Height = 7\n")
    r = cli("load", camera_ip, str(tmp_path / "bad.txt"))
    assert r.returncode == 1 and r.stderr.startswith(f"{tmp_path / 'bad.txt'}:1: Height: ")


def test_cli_snap_writes_the_frame(virtual_camera, camera_ip, tmp_path):
    import re

    import numpy as np
    from oculane.sim import expected_frame

    path = tmp_path / "f.npy"
    r = cli("snap", camera_ip, "-o", str(path))
    assert r.returncode == 0, r.stderr
    frame_id = int(re.match(r"Frame\(id=(\d+), Complete, 640x480 Mono8", r.stdout).group(1))
    assert np.load(path).tobytes() == expected_frame(frame_id, 640, 480, "Mono8")
    bad = cli("snap", camera_ip, "-o", str(tmp_path / "f.jpg"))
    assert bad.returncode == 2 and "must end in .png, .tif, .tiff, .npy" in bad.stderr
    try:
        import PIL  # noqa: F401
    except ImportError:
        return  # PNG and TIFF need Pillow; .npy is what every install can write
    assert cli("snap", camera_ip, "-o", str(tmp_path / "f.png")).returncode == 0
    from PIL import Image
    assert Image.open(tmp_path / "f.png").size == (640, 480)


def test_cli_stream_reports_and_saves(virtual_camera, camera_ip, tmp_path):
    import numpy as np
    from oculane.sim import expected_frame

    r = cli("stream", camera_ip, "--seconds", "1.5", "--save", str(tmp_path), "--every", "5")
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert "frames/s" in lines[0] and "kernel drops" in lines[0]
    summary = lines[-2].split()
    completed = int(summary[summary.index("complete") + 1])
    assert completed > 0 and lines[-1].split()[:2] == ["packet", "size"]
    saved = sorted(tmp_path.glob("frame-*.npy"))
    assert f"{len(saved)} saved to" in lines[-1] and saved
    for path in saved:  # every saved frame is the camera's pattern for its id
        frame_id = int(path.stem.split("-")[1])
        assert np.load(path).tobytes() == expected_frame(frame_id, 640, 480, "Mono8")
    assert cli("stream", camera_ip, "--save", str(tmp_path)).returncode == 2


def test_console_script_is_installed():
    script = pathlib.Path(sys.executable).parent / "oculane"
    r = subprocess.run([str(script), "discover", "--help"], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0 and "--interface" in r.stdout
    # `sim` hands everything after it to the virtual camera's own parser.
    sim = subprocess.run([str(script), "sim", "--help"], capture_output=True, text=True, timeout=60)
    assert sim.returncode == 0 and sim.stdout.startswith("usage: python -m oculane.sim")
