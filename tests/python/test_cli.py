"""The `oculane` command line as a user meets it, each run as a subprocess
against a virtual camera: options anywhere, help with examples, bad values
that end in one line and exit 1 or 2, `set` that writes all or nothing, the
feature table, and images written at their full range."""

from __future__ import annotations

import subprocess
import sys

import pytest

from oculane import sim

SUBCOMMANDS = ["discover", "info", "features", "get", "set", "save", "load", "snap", "stream"]


def cli(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "oculane", *args], capture_output=True, text=True, timeout=60)


@pytest.fixture
def cam(virtual_camera, camera_ip):
    return virtual_camera, camera_ip


@pytest.mark.parametrize("command", SUBCOMMANDS)
def test_every_subcommand_has_a_description_and_examples(command):
    r = cli(command, "--help")
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    description = lines[lines.index("") + 1]
    assert description[0].isupper() and description.endswith(".")
    examples = lines[lines.index("examples:") + 1:]
    assert examples and all(e.startswith(f"  oculane {command}") for e in examples)


# Each row: arguments ({ip} is the camera, {tmp} a scratch folder) and the
# exit status. Every one must end in one line on stderr and no traceback.
BAD = [
    (["discover", "--address", "{ip}", "--timeout", "x"], 2),
    (["discover", "--address", "{ip}", "--timeout", "-1"], 2),
    (["discover", "--address", "{ip}", "--timeout", "nan"], 2),
    (["discover", "--address", "{ip}", "--timeout", "inf"], 2),
    (["discover", "--address", "nope", "--timeout", "0.1"], 2),
    (["discover", "--address", "999.1.1.1", "--timeout", "0.1"], 2),
    (["discover", "--address", "{ip}", "--interface", "no-such-if0", "--timeout", "0.1"], 1),
    (["discover", "--address", "{ip}", "--interface", "", "--timeout", "0.1"], 2),
    (["info"], 2),
    (["info", "cam1"], 2),
    (["info", "{ip}", "extra"], 2),
    (["features", "{ip}", "--category", "Nope"], 1),
    (["features", "{ip}", "--bogus"], 2),
    (["features", "{ip}", "a*", "b*"], 2),
    (["get", "{ip}"], 2),
    (["get", "{ip}", "Nope"], 1),
    (["get", "{ip}", "AcquisitionStart"], 1),
    (["set", "{ip}"], 2),
    (["set", "{ip}", "Width"], 2),
    (["set", "{ip}", "=5"], 2),
    (["set", "{ip}", "Width=abc"], 1),
    (["set", "{ip}", "Width=99999999999999999999999"], 1),
    (["set", "{ip}", "Width=100000"], 1),
    (["set", "{ip}", "ExposureTime=nan"], 1),
    (["set", "{ip}", "ExposureTime=1e999"], 1),
    (["set", "{ip}", "SensorWidth=5"], 1),
    (["set", "{ip}", "PixelFormat=Mono99"], 1),
    (["set", "{ip}", "ReverseX=maybe"], 1),
    (["set", "{ip}", "DeviceUserID=" + "x" * 40], 1),
    (["set", "{ip}", "AcquisitionStart=2"], 1),
    (["set", "{ip}", "Root=1"], 1),
    (["save", "{ip}"], 2),
    (["save", "{ip}", "/proc/no/such/dir/cam.txt"], 1),
    (["save", "{ip}", "{tmp}"], 1),
    (["load", "{ip}", "{tmp}/missing.txt"], 1),
    (["load", "{ip}", "{tmp}/binary.txt"], 1),
    (["load", "{ip}", "{tmp}/garbled.txt"], 1),
    (["snap", "{ip}"], 2),
    (["snap", "{ip}", "-o", "{tmp}/f.jpg"], 2),
    (["snap", "{ip}", "-o", "{tmp}/f.npy", "--packet-size", "1000000"], 2),
    (["snap", "{ip}", "-o", "{tmp}/f.npy", "--packet-size", "0"], 2),
    (["snap", "{ip}", "-o", "{tmp}/f.npy", "--packet-size", "big"], 2),
    (["snap", "{ip}", "-o", "{tmp}/f.npy", "--timeout", "-1"], 2),
    (["snap", "{ip}", "-o", "{tmp}/f.npy", "--timeout", "nan"], 2),
    (["snap", "{ip}", "-o", "/proc/no/such/dir/f.npy"], 1),
    (["stream", "{ip}", "--seconds", "0"], 2),
    (["stream", "{ip}", "--seconds", "inf"], 2),
    (["stream", "{ip}", "--seconds", "nan"], 2),
    (["stream", "{ip}", "--seconds", "soon"], 2),
    (["stream", "{ip}", "--packet-size", "70000"], 2),
    (["stream", "{ip}", "--every", "0", "--save", "{tmp}"], 2),
    (["stream", "{ip}", "--save", "{tmp}"], 2),
    (["stream", "{ip}", "--save", "/proc/no/such/dir", "--every", "1"], 1),
    (["sim", "--ip", "nope"], 2),
    (["sim", "--port", "x"], 2),
    (["sim", "--port", "99999999999"], 2),
    (["sim", "--description", "{tmp}/missing.xml"], 2),
]


def test_bad_values_end_in_one_line(cam, tmp_path):
    device, ip = cam
    (tmp_path / "binary.txt").write_bytes(b"\xff\xfe\x00garbage")
    (tmp_path / "garbled.txt").write_text("Width = 320\nnot a setting\n")
    for args, code in BAD:
        args = [a.format(ip=ip, tmp=tmp_path) for a in args]
        r = cli(*args)
        assert "Traceback" not in r.stderr, (args, r.stderr)
        assert (r.returncode, r.stderr.count("\n")) == (code, 1), (args, r.returncode, r.stderr)
        assert r.stderr.startswith(("oculane ", "cannot start the virtual camera", "python -m oculane.sim")), r.stderr
    # None of it changed the camera.
    assert cli("get", ip, "Width", "SensorWidth", "DeviceUserID").stdout == \
        "Width = 640\nSensorWidth = 1280\nDeviceUserID = \n"


def test_options_and_positionals_mix_in_any_order(cam, tmp_path):
    device, ip = cam
    orders = [
        ["features", ip, "--all", "Expo*"],
        ["features", "--all", ip, "Expo*"],
        ["features", ip, "Expo*", "--all"],
    ]
    outputs = {tuple(cli(*args).stdout.split()) for args in orders}
    assert len(outputs) == 1
    [rows] = outputs
    assert ("ExposureTime", "Float", "RW", "10000", "us") == rows[rows.index("ExposureTime"):][:5]
    r = cli("snap", "-o", str(tmp_path / "f.npy"), "--timeout", "5", ip)
    assert r.returncode == 0 and (tmp_path / "f.npy").exists(), r.stderr
    r = cli("set", ip, "Width=320", "Height=240")
    assert r.returncode == 0, r.stderr
    assert cli("get", ip, "Width", "Height").stdout == "Width = 320\nHeight = 240\n"


@pytest.mark.parametrize("assignments, error", [
    (["Width=320", "Height=bad", "OffsetX=4"], "oculane set: Height: 'bad' is not a valid Integer value"),
    (["Width=320", "SensorWidth=5"], "oculane set: SensorWidth is read-only"),
    (["Width=320", "Height=7"], "oculane set: Height: value 7 out of range [16, 960] in steps of 2 for 'Height'"),
    (["Width=320", "PixelFormat=Mono99"], "oculane set: PixelFormat: enumeration 'PixelFormat' has no entry 'Mono99'"),
    (["Width=320", "DeviceUserID=seventeen letters"],
     "oculane set: DeviceUserID: text length 17 out of range [0, 16] for 'DeviceUserID'"),
    (["Width=320", "Nope=1"], "oculane set: Nope: feature 'Nope' not found"),
])
def test_set_checks_every_assignment_before_writing_any(cam, assignments, error):
    device, ip = cam

    def writes(*args):
        device.clear_commands()
        r = cli(*args)
        return r, [(c.command, c.addresses) for c in device.commands() if c.command in (sim.Command.WRITEREG,
                                                                                      sim.Command.WRITEMEM)]

    _, connecting = writes("get", ip, "Width")  # what taking and giving back control writes
    r, written = writes("set", ip, *assignments)
    assert (r.returncode, r.stderr) == (1, error + "\n")
    assert written == connecting
    assert cli("get", ip, "Width").stdout == "Width = 640\n"


def test_feature_table_shows_values_where_get_reads_them(cam):
    device, ip = cam
    rows = {line.split()[0]: line.split()[1:] for line in cli("features", ip).stdout.splitlines()}
    get = cli("get", ip, "DeviceTemperature", "PayloadSize").stdout.split()
    assert rows["DeviceTemperature"] == ["Float", "RO", get[2]]
    assert rows["PayloadSize"] == ["Integer", "RO", get[5]]
    # A converter's feature is as writable as the register under it.
    assert rows["ExposureTime"][:2] == ["Float", "RW"]
    # Read-only features show no range; the widest value column fits its clip.
    assert rows["SensorWidth"] == ["Integer", "RO", "1280"]


@pytest.mark.parametrize("pixel_format, bits", [("Mono8", 8), ("Mono10", 10), ("Mono12", 12), ("Mono16", 16)])
def test_images_use_the_full_range_and_npy_keeps_raw_values(cam, tmp_path, pixel_format, bits):
    Image = pytest.importorskip("PIL.Image", reason="PNG and TIFF need Pillow (the demo extra)")
    import numpy as np

    device, ip = cam
    assert cli("set", ip, f"PixelFormat={pixel_format}").returncode == 0
    dtype = np.uint8 if bits == 8 else np.dtype("<u2")
    top = (1 << bits) - 1
    for suffix in ("npy", "png", "tif"):
        path = tmp_path / f"f.{suffix}"
        r = cli("snap", ip, "-o", str(path))
        assert r.returncode == 0, r.stderr
        frame_id = int(r.stdout.split("id=")[1].split(",")[0])
        raw = np.frombuffer(sim.expected_frame(frame_id, 640, 480, pixel_format), dtype).reshape(480, 640)
        written = np.load(path) if suffix == "npy" else np.asarray(Image.open(path))
        if suffix == "npy" or bits in (8, 16):
            assert np.array_equal(written, raw), suffix
        else:
            want = (raw.astype(np.uint32) * 65535 + top // 2) // top
            assert np.array_equal(written, want), suffix
            assert written.max() > 65000 and raw.max() == top
