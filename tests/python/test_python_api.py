"""The forms a Python user reaches for first: features by name whatever their
kind, feature objects, cameras as context managers, exceptions that say
what happened, arguments refused by name and range, the version, and the
host time of a frame."""

from __future__ import annotations

import contextlib
import datetime
import importlib.metadata
import logging
import pathlib
import pickle
import re
import subprocess
import sys

import numpy
import pytest

import oculane
from oculane.sim import VirtualCamera
from streaming import WIDTH, HEIGHT, streaming_camera

REPO = pathlib.Path(__file__).resolve().parents[2]
WIDTH_REGISTER = 0x10010  # the virtual camera's Width


@pytest.fixture
def cam(virtual_camera, camera_ip):
    with oculane.Camera(camera_ip) as camera:
        yield camera


# ---- get and set whatever the kind --------------------------------------------------

@pytest.mark.parametrize("name, given, read_back", [
    ("Width", 320, 320),
    ("Width", 320.0, 320),                       # a float holding a whole number
    ("Width", numpy.int64(256), 256),
    ("ExposureTime", 2500, 2500.0),              # an int is fine for a Float
    ("ExposureTime", numpy.float32(1500.5), 1500.5),
    ("ReverseX", True, True),
    ("ReverseX", numpy.bool_(False), False),
    ("PixelFormat", "Mono16", "Mono16"),
    ("DeviceUserID", "left cam", "left cam"),
])
def test_set_and_get_convert_for_the_kind(cam, name, given, read_back):
    cam.set(name, given)
    assert cam.get(name) == read_back and type(cam[name]) is type(read_back)
    cam[name] = given
    assert cam[name] == read_back


@pytest.mark.parametrize("call, error, message", [
    (lambda c: c.set("Width", 2.5), ValueError, "feature 'Width' is an Integer: 2.5 is not a whole number"),
    (lambda c: c.set("Width", float("nan")), ValueError, "feature 'Width' is an Integer: nan is not a whole number"),
    (lambda c: c.set("Width", "640"), TypeError, "feature 'Width' is an Integer: it takes an int, not '640' (str)"),
    (lambda c: c.set("Width", True), TypeError, "feature 'Width' is an Integer: it takes an int, not True (bool)"),
    (lambda c: c.set("Width", 2**70), OverflowError,
     "feature 'Width' is an Integer: an integer of 71 bits is outside the signed 64-bit range"),
    (lambda c: c.set("ExposureTime", "fast"), TypeError, "feature 'ExposureTime' is a Float: it takes a float"),
    (lambda c: c.set("ReverseX", 1), TypeError, "feature 'ReverseX' is a Boolean: it takes True or False, not 1"),
    (lambda c: c.set("PixelFormat", 1), TypeError, "feature 'PixelFormat' is an Enumeration: it takes an entry"),
    (lambda c: c.set("AcquisitionStart", 1), TypeError,
     "feature 'AcquisitionStart' is a Command and has no value to set; run it with execute('AcquisitionStart')"),
    (lambda c: c.get("AcquisitionStart"), TypeError, "feature 'AcquisitionStart' is a Command and has no value to read"),
    (lambda c: c["Root"], TypeError, "feature 'Root' is a Category and has no value to read"),
    (lambda c: c[7], TypeError, "feature names are str, not int"),
    (lambda c: iter(c), TypeError, "'Camera' object is not iterable"),
])
def test_values_of_the_wrong_kind_are_refused_naming_the_feature(cam, call, error, message):
    width = cam["Width"]
    with pytest.raises(error) as e:
        call(cam)
    assert str(e.value).startswith(message)
    assert cam["Width"] == width  # nothing was written


def test_membership_completion_and_the_feature_walk(cam):
    assert "Width" in cam and "Nope" not in cam and 5 not in cam
    walk = [f.name for f in cam.features()]
    expected = []
    for top in cam.categories():
        for _, category in top.walk():
            expected += [n for n in category.features if n not in expected]
    assert walk == expected and "Width" in walk and "Root" not in walk
    assert cam._ipython_key_completions_() == walk
    offline = oculane.Camera("127.0.42.250")
    assert "Width" not in offline and offline._ipython_key_completions_() == []
    with pytest.raises(oculane.GenicamException, match="feature model not loaded"):
        offline.features()


@pytest.mark.parametrize("name, kind, bounds, increment, entries, unit, shown", [
    ("Width", "Integer", (16, 1280), 4, None, "", r"Feature\(Width: Integer = 640 \[16\.\.1280\] step 4\)"),
    ("ExposureTime", "Float", (10.0, 1000000.0), None, None, "us",
     r"Feature\(ExposureTime: Float = 10000\.0 us \[10\.\.1e\+06\]\)"),
    ("PixelFormat", "Enumeration", None, None, "Mono8", "", r"Feature\(PixelFormat: Enumeration = 'Mono8' \{Mono8\|"),
    ("ReverseX", "Boolean", None, None, None, "", r"Feature\(ReverseX: Boolean = False\)"),
    ("AcquisitionStart", "Command", None, None, None, "", r"Feature\(AcquisitionStart: Command\)"),
])
def test_feature_objects(cam, name, kind, bounds, increment, entries, unit, shown):
    f = cam.feature(name)
    assert (f.name, f.kind, f.bounds, f.increment, f.unit) == (name, kind, bounds, increment, unit)
    assert f.entries is None if entries is None else f.entries[0] == entries
    assert f.info == cam.feature_info(name) and f.access == cam.access_mode(name)
    assert re.match(shown, repr(f)), repr(f)
    if kind == "Integer":
        f.set(320)
        assert f.value == cam["Width"] == 320  # read on access, never kept
        f.value = 640
        assert cam.get_integer("Width") == 640


def test_a_feature_that_cannot_be_read_still_shows(virtual_camera, camera_ip):
    with oculane.Camera(camera_ip) as cam:
        width = cam.feature("Width")
        virtual_camera.fail_address(WIDTH_REGISTER, 0x8006)
        cam.invalidate_caches()
        assert "Integer = <unreadable: device answered command 0x0080 with access denied" in repr(width)


# ---- with oculane.Camera(ip) as cam -------------------------------------------------

def test_the_camera_as_a_context_manager(virtual_camera, camera_ip):
    camera = oculane.Camera(camera_ip)
    with camera as entered:
        assert entered is camera and camera.is_connected()
    assert not camera.is_connected()
    camera.connect()
    before = len(virtual_camera.commands())
    with camera:  # already connected: not connected again
        assert len(virtual_camera.commands()) == before
    assert not camera.is_connected()
    with pytest.raises(ZeroDivisionError):
        with camera:
            1 / 0
    assert not camera.is_connected()


def test_leaving_a_with_block_with_an_acquisition_left_running(camera_ip):
    with streaming_camera(camera_ip) as (vc, camera):
        with pytest.raises(KeyError):  # the body's exception, not the busy camera's
            with camera:
                acq = camera.start_acquisition()
                raise KeyError("mine")
        with pytest.raises(ValueError, match=r"camera is busy \(an acquisition in progress\)"):
            with camera:
                pass
        acq.stop()


# ---- exceptions a program can branch on --------------------------------------------------

def _snap_timeout(vc, cam):
    vc.stream_fault("drop_frame")
    cam.snap(0.05)


def _nak(vc, cam):
    vc.fail_address(WIDTH_REGISTER, 0x8006)
    cam.invalidate_caches()
    cam["Width"]


def _silent(vc, cam):
    vc.set_silent()
    cam.invalidate_caches()
    cam.get_integer("Width")


@pytest.mark.parametrize("provoke, cls, kind, feature, status", [
    (lambda vc, c: c.get_integer("Nope"), oculane.GenicamException, "FeatureNotFound", "Nope", None),
    (lambda vc, c: c["Nope"], oculane.GenicamException, "FeatureNotFound", "Nope", None),
    (lambda vc, c: c.set_integer("Width", 7), oculane.GenicamException, "OutOfRange", "Width", None),
    (lambda vc, c: c.set_enum("PixelFormat", "Mono9"), oculane.GenicamException, "NoEnumEntry", "PixelFormat", None),
    (lambda vc, c: c.set_integer("SensorWidth", 8), oculane.GenicamException, "AccessModeViolation", "SensorWidth",
     None),
    (_snap_timeout, oculane.GenicamException, "SnapTimeout", None, None),
    (_nak, oculane.CameraException, "DeviceStatus", "Width", 0x8006),
    (_silent, oculane.CameraException, "AckTimeout", "Width", None),
    (lambda vc, c: oculane.Camera(vc.ip).get_integer("Width"), oculane.CameraException, "NotConnected", "Width",
     None),
    (lambda vc, c: oculane.Camera(vc.ip).device_info(), oculane.CameraException, "NotConnected", None, None),
])
def test_exceptions_carry_kind_feature_and_status(camera_ip, provoke, cls, kind, feature, status):
    with streaming_camera(camera_ip, gvcp_timeout=0.1) as (vc, cam):
        with pytest.raises(cls) as e:
            provoke(vc, cam)
    err = e.value
    assert (err.kind, err.feature, err.status) == (kind, feature, status)
    with pytest.raises(AttributeError):
        err.kind = "Other"  # read-only
    copy = pickle.loads(pickle.dumps(err))
    assert (type(copy), str(copy), copy.kind, copy.feature, copy.status) == (cls, str(err), kind, feature, status)


def test_control_loss_is_told_apart(camera_ip):
    with VirtualCamera(camera_ip, width=WIDTH, height=HEIGHT) as vc:
        cam = oculane.Camera(camera_ip, gvcp_timeout=0.1, heartbeat_timeout=1.0)
        cam.connect()
        acq = cam.start_acquisition()
        vc.power_off()
        with pytest.raises(oculane.CameraException) as waited:
            for _ in acq:
                pass
        with pytest.raises(oculane.CameraException) as read:
            cam.get_integer("Width")
        # Ended here, not whenever the tracebacks kept above are collected.
        with contextlib.suppress(oculane.CameraException):
            acq.stop()
        cam.disconnect(0.0)
    assert (waited.value.kind, waited.value.feature) == ("ControlLost", None)
    assert (read.value.kind, read.value.feature) == ("ControlLost", "Width")


def test_exceptions_made_by_hand_have_no_details():
    for cls in (oculane.CameraException, oculane.GenicamException):
        e = cls("made here")
        assert (str(e), e.kind, e.feature, e.status) == ("made here", None, None, None)


# ---- arguments out of range ---------------------------------------------------------------

@pytest.mark.parametrize("call, error, message", [
    (lambda: oculane.Camera("127.0.0.1", retries=-1), ValueError, "retries must be from 0 to 255, not -1"),
    (lambda: oculane.Camera("127.0.0.1", retries=256), ValueError, "retries must be from 0 to 255, not 256"),
    (lambda: oculane.Camera("127.0.0.1", retries=-2**70), OverflowError,
     "retries must be from 0 to 255, not -1180591620717411303424"),
    (lambda: oculane.Camera("127.0.0.1", retries=2**200), OverflowError,
     "retries must be from 0 to 255, not an integer of 201 bits"),
    (lambda: oculane.Camera("127.0.0.1").set_integer("Width", -2**63 - 1), OverflowError,
     "value must be from -9223372036854775808 to 9223372036854775807, not -9223372036854775809"),
    (lambda: oculane.Camera("127.0.0.1").snap(channel=70000), ValueError, "channel must be from 0 to 65535, not 70000"),
    (lambda: oculane.Camera("127.0.0.1").snapshot_session(packet_size=70000), ValueError,
     "packet_size must be from 0 to 65535, not 70000"),
    (lambda: oculane.enable_logging(capacity=-1), ValueError, "capacity must be 0 or more, not -1"),
])
def test_arguments_out_of_range_name_themselves_and_their_range(call, error, message):
    with pytest.raises(error) as e:
        call()
    assert str(e.value) == message


def test_a_subscription_capacity_out_of_range(camera_ip):
    with streaming_camera(camera_ip) as (_, cam), cam.start_acquisition() as acq:
        with pytest.raises(ValueError, match="^capacity must be 0 or more, not -1$"):
            acq.subscribe(-1)
        assert acq.wait_for(5.0) is not None


# ---- version and frame time ---------------------------------------------------------------

def test_the_version_from_the_package_and_the_command_line():
    pyproject = re.search(r'^version = "(.+)"', (REPO / "pyproject.toml").read_text(), re.M).group(1)
    assert oculane.__version__ == importlib.metadata.version("oculane") == pyproject
    run = subprocess.run([sys.executable, "-m", "oculane", "--version"], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout) == (0, f"oculane {pyproject}\n")


def test_the_version_of_a_source_tree_that_was_never_installed(monkeypatch, tmp_path):
    def not_installed(name):
        raise importlib.metadata.PackageNotFoundError(name)

    monkeypatch.setattr(importlib.metadata, "version", not_installed)
    source = REPO / "python" / "oculane" / "__init__.py"
    assert oculane._version(str(source)) == oculane.__version__
    assert oculane._version(str(tmp_path / "a" / "b" / "__init__.py")) == "0+unknown"


def test_a_frame_tells_device_time_from_host_time(camera_ip):
    with streaming_camera(camera_ip) as (_, cam):
        before = datetime.datetime.now(datetime.timezone.utc)
        frame = cam.snap()
        after = datetime.datetime.now(datetime.timezone.utc)
    stamp = frame.timestamp
    assert stamp.tzinfo is datetime.timezone.utc and before - datetime.timedelta(seconds=1) <= stamp <= after
    epoch = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
    assert stamp == epoch + datetime.timedelta(microseconds=frame.system_timestamp_ns // 1000)
    assert "Device time" in type(frame).timestamp_ns.__doc__ and "Host time" in type(frame).timestamp.__doc__


# ---- logs that explain ------------------------------------------------------------------

@pytest.fixture
def records():
    kept: list[logging.LogRecord] = []

    class Keep(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            kept.append(record)

    logger, handler = logging.getLogger("oculane"), Keep(logging.DEBUG)
    level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    yield kept
    oculane.disable_logging()
    logger.removeHandler(handler)
    logger.setLevel(level)


def test_the_life_of_a_camera_at_info(camera_ip, records):
    oculane.enable_logging(logging.INFO, thread=False)
    with streaming_camera(camera_ip) as (vc, cam):
        with cam.start_acquisition(n_buffers=5) as acq:
            assert acq.wait_for(5.0) is not None
            size = acq.packet_size()
            path = acq.receive_path()
    oculane.logging_bridge.drain()
    receiving = "a packet ring of" if path == "ring" else "the socket, receive buffer"
    lines = [(r.name, r.levelname, r.getMessage()) for r in records if r.levelno == logging.INFO]
    expected = [
        ("oculane.py", rf"connected to oculane VirtualCamera \(serial {vc.serial}\) at {camera_ip}; "
                       r"feature model from Local:oculane-virtual-camera\.zip;"),
        ("oculane.py", rf"acquisition started on stream channel 0 \(127\.0\.0\.1:\d+\): packet size {size} bytes, "
                       rf"5 buffers of {WIDTH * HEIGHT} bytes, receiving on {receiving} \d+ bytes$"),
        ("oculane.py", r"acquisition stopped on stream channel 0: \d+ frames? complete, 0 failed, 0 lost to a starved "
                       r"pool \(underruns\), 0 not taken by a full queue, 0 packets resent, 0 kernel drops"),
        ("oculane.py", rf"disconnected from oculane VirtualCamera \(serial {vc.serial}\) at {camera_ip}"),
    ]
    assert len(lines) == len(expected), lines
    for (name, level, message), (want_name, pattern) in zip(lines, expected):
        assert name == want_name and re.match(pattern, message), message
    connected = next(r for r in records if r.getMessage().startswith("connected to"))
    assert connected.fields["serial"] == vc.serial and connected.description.startswith("Local:")


def test_failed_frames_are_warned_about_with_their_count_and_kind(camera_ip, records):
    oculane.enable_logging(logging.INFO, thread=False)
    with streaming_camera(camera_ip) as (vc, cam):
        with cam.start_acquisition(resend=False) as acq:
            vc.stream_fault("drop_packets", packets=[1])
            statuses = [f.status for f in (acq.wait_for(5.0) for _ in range(20)) if f is not None]
    oculane.logging_bridge.drain()
    warned = [r for r in records if "failed in the last" in r.getMessage()]
    assert oculane.FrameStatus.MissingPackets in statuses
    assert warned and all(r.levelno == logging.WARNING for r in warned)
    # Each warning counts its frames by how they ended; the first comes at
    # once, the rest are held back and counted when the stream ends.
    kinds = ("MissingPackets", "Timeout")
    for r in warned:
        assert int(r.fields["failed"]) == sum(int(r.fields.get(k, 0)) for k in kinds)
    # The summary is taken as the acquisition stops; the stream may still
    # close a frame before its worker ends.
    stopped = next(r for r in records if r.getMessage().startswith("acquisition stopped"))
    assert sum(int(r.fields["failed"]) for r in warned) >= int(stopped.fields["failed_frames"]) > 0
    assert re.fullmatch(r"stream channel 0: 1 frame failed in the last \d+\.\d s \(1 MissingPackets\)",
                        warned[0].getMessage())


def _readme_logging_example() -> str:
    text = (REPO / "README.md").read_text()
    section = text[text.index("### Logging into Python"):]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def test_the_readme_logging_set_up_formats_every_logger():
    root = logging.getLogger()
    handlers, level = list(root.handlers), root.level
    namespace: dict = {}
    try:
        exec(_readme_logging_example(), namespace)
        formatter = namespace["handler"].formatter
        other = logging.LogRecord("someone.else", logging.INFO, __file__, 1, "plain %s", ("record",), None)
        assert formatter.format(other).endswith(" someone.else INFO plain record ")
        ours = logging.makeLogRecord({"name": "oculane.py", "levelno": logging.INFO, "levelname": "INFO",
                                      "msg": "connected", "fields": {"serial": "A1"}})
        assert formatter.format(ours).endswith(" oculane.py INFO connected {'serial': 'A1'}")
    finally:
        oculane.disable_logging()
        root.handlers[:] = handlers
        root.setLevel(level)
