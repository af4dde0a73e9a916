"""discover() and DeviceInfo.

discover() broadcasts on every interface, so it only ever runs inside network
namespaces these tests create and delete themselves (root needed); in the
test process itself only calls that fail before any traffic are made.
"""

import ipaddress
import json
import os
import queue
import secrets
import shutil
import struct
import subprocess
import sys
import threading

import pytest

import oculane

PROPERTIES = ["manufacturer", "model", "serial", "device_version", "manufacturer_info",
              "user_defined_name", "ip", "subnet_mask", "gateway", "mac", "spec_version"]

needs_netns = pytest.mark.skipif(
    os.geteuid() != 0 or shutil.which("ip") is None or shutil.which("unshare") is None,
    reason="network namespaces need root and the ip/unshare tools; discovery is never run "
           "in the host's own namespace")

# Runs discover() once per timeout given on the command line and prints what
# came back as JSON.
DISCOVER_SCRIPT = r"""
import json, math, sys, time, oculane
results = []
for arg in sys.argv[1:]:
    t0 = time.monotonic()
    try:
        found = oculane.discover(float(arg))
        r = {"devices": [dict({k: getattr(d, k) for k in %(props)r},
                              repr=repr(d), spec_is_tuple=type(d.spec_version) is tuple)
                         for d in found]}
    except Exception as e:
        r = {"error": type(e).__name__, "message": str(e),
             "camera_exception": isinstance(e, oculane.CameraException)}
    r["elapsed"] = time.monotonic() - t0
    results.append(r)
print(json.dumps(results))
""" % {"props": PROPERTIES}

# A stand-in device: answers every datagram on port 3956 with the given
# datagrams (hex on the command line) and reports each probe it saw.
RESPONDER_SCRIPT = r"""
import socket, sys
answers = [bytes.fromhex(h) for h in sys.argv[1:]]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 3956))  # broadcasts only reach a wildcard-bound socket
print("ready", flush=True)
while True:
    data, src = s.recvfrom(2048)
    print("probe", data.hex(), src[0], flush=True)
    for a in answers:
        s.sendto(a, src)
"""


def identity_block(*, major=2, minor=0, mac=b"\x00\x0c\xdf\x04\xa1\x7e", ip="198.18.0.2",
                   mask="255.255.255.0", gateway="198.18.0.254", manufacturer=b"Acme",
                   model=b"C1", version=b"1.2.3", info=b"line scan", serial=b"A1",
                   user=b"left"):
    """The 248-byte identity record, laid out independently of the library."""
    b = bytearray(248)
    struct.pack_into(">HHI", b, 0, major, minor, 0x80000000)
    b[10:16] = mac
    struct.pack_into(">II", b, 16, 0x7, 0x5)
    b[36:40] = ipaddress.IPv4Address(ip).packed
    b[52:56] = ipaddress.IPv4Address(mask).packed
    b[68:72] = ipaddress.IPv4Address(gateway).packed
    for off, width, text in [(72, 32, manufacturer), (104, 32, model), (136, 32, version),
                             (168, 48, info), (216, 16, serial), (232, 16, user)]:
        assert len(text) <= width
        b[off:off + len(text)] = text
    return bytes(b)


def discovery_ack(block, status=0x0000, ack=0x0003, ack_id=0xFFFF, length=None):
    length = len(block) if length is None else length
    return struct.pack(">HHHH", status, ack, length, ack_id) + block


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, timeout=60, **kw)


def discover_in(prefix, *timeouts):
    out = run(prefix + [sys.executable, "-c", DISCOVER_SCRIPT, *map(str, timeouts)])
    return json.loads(out.stdout)


class NamespacePair:
    """A camera namespace and a host namespace joined by a veth pair on 198.18.0.0/24."""

    def __init__(self):
        tag = secrets.token_hex(3)
        self.cam, self.host = f"ocl-cam-{tag}", f"ocl-host-{tag}"
        self.cam_if, self.host_if = f"ocl-c-{tag}", f"ocl-h-{tag}"
        self.responders = []

    def create(self):
        run(["ip", "netns", "add", self.cam])
        run(["ip", "netns", "add", self.host])
        run(["ip", "-n", self.host, "link", "add", self.host_if, "type", "veth",
             "peer", "name", self.cam_if, "netns", self.cam])
        # No `brd`: the adapter's broadcast address has to be worked out.
        run(["ip", "-n", self.host, "addr", "add", "198.18.0.1/24", "dev", self.host_if])
        run(["ip", "-n", self.cam, "addr", "add", "198.18.0.2/24", "dev", self.cam_if])
        for ns, dev in [(self.host, self.host_if), (self.cam, self.cam_if)]:
            run(["ip", "-n", ns, "link", "set", "lo", "up"])
            run(["ip", "-n", ns, "link", "set", dev, "up"])

    def start_responder(self, *answers):
        proc = subprocess.Popen(
            ["ip", "netns", "exec", self.cam, sys.executable, "-c", RESPONDER_SCRIPT,
             *(a.hex() for a in answers)],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        lines = queue.Queue()
        threading.Thread(target=lambda: [lines.put(l.split()) for l in proc.stdout],
                         daemon=True).start()
        self.responders.append(proc)
        assert lines.get(timeout=30) == ["ready"]
        return lines

    def discover(self, *timeouts):
        return discover_in(["ip", "netns", "exec", self.host], *timeouts)

    def delete(self):
        for proc in self.responders:
            proc.kill()
            proc.wait()
        for ns in (self.cam, self.host):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)


@pytest.fixture
def netns():
    pair = NamespacePair()
    try:
        try:
            pair.create()
        except subprocess.CalledProcessError as e:
            pytest.skip(f"cannot create network namespaces here: {e.stderr.strip()}")
        yield pair
    finally:
        pair.delete()


@needs_netns
def test_discover_returns_the_device_that_answers(netns):
    block = identity_block(user=b"cam\xff1")  # invalid UTF-8 comes back replaced
    other = identity_block(mac=b"\x00\x0c\xdf\x00\x00\x02", model=b"Other")
    netns.start_responder(
        discovery_ack(other, status=0x8001),            # error status: ignored
        discovery_ack(other, ack=0x0081),               # not a discovery ack: ignored
        discovery_ack(other[:247]),                     # short identity block: ignored
        discovery_ack(other, length=249),               # length beyond the data: ignored
        discovery_ack(block),
        discovery_ack(identity_block(model=b"Again")),  # same MAC again: first answer wins
    )
    [result] = netns.discover(0.5)
    assert "error" not in result, result
    [dev] = result["devices"]
    assert {k: dev[k] for k in PROPERTIES} == {
        "manufacturer": "Acme", "model": "C1", "serial": "A1", "device_version": "1.2.3",
        "manufacturer_info": "line scan", "user_defined_name": "cam\ufffd1",
        "ip": "198.18.0.2", "subnet_mask": "255.255.255.0", "gateway": "198.18.0.254",
        "mac": "00:0c:df:04:a1:7e", "spec_version": [2, 0],
    }
    assert dev["spec_is_tuple"]
    assert dev["repr"] == "DeviceInfo(Acme C1 serial=A1 ip=198.18.0.2)"


@needs_netns
def test_zero_timeout_still_probes_and_returns_nothing(netns):
    probes = netns.start_responder(discovery_ack(identity_block()))
    [result] = netns.discover(0)
    assert result["devices"] == []
    # The probe went out from the host side, as the fixed 8-byte command.
    assert probes.get(timeout=30)[1:] == ["42110002 0000ffff".replace(" ", ""), "198.18.0.1"]


# A second thread notes the time every few milliseconds while discover()
# waits 0.4 s. Had the call kept the interpreter lock, that thread could only
# have run just before the call or after it, never in the middle of it.
GIL_SCRIPT = r"""
import json, threading, time, oculane
seen, stop = [], threading.Event()
def tick():
    last = 0.0
    while not stop.is_set():
        now = time.monotonic()
        if now - last >= 0.005:
            seen.append(now)
            last = now
t = threading.Thread(target=tick)
t.start()
t0 = time.monotonic()
found = oculane.discover(0.4)
t1 = time.monotonic()
stop.set()
t.join()
print(json.dumps({"devices": len(found), "t0": t0, "t1": t1, "seen": seen}))
"""


@needs_netns
def test_discover_lets_other_threads_run(netns):
    netns.start_responder(discovery_ack(identity_block()))
    out = run(["ip", "netns", "exec", netns.host, sys.executable, "-c", GIL_SCRIPT])
    r = json.loads(out.stdout)
    assert r["devices"] == 1
    assert r["t1"] - r["t0"] >= 0.4
    middle = [t for t in r["seen"] if r["t0"] + 0.1 < t < r["t1"] - 0.1]
    assert middle, "no other thread ran while discover() waited"


@needs_netns
def test_loopback_only_host_has_no_usable_adapter():
    [result] = discover_in(["unshare", "-n"], 0.2)
    assert result["camera_exception"], result
    assert result["message"] == "io error: no usable network adapter for discovery"


@needs_netns
def test_invalid_timeouts_are_refused_before_any_traffic():
    # Inside a namespace without adapters: were the timeout accepted, the call
    # would fail with the adapter error instead.
    neg, nan, huge = discover_in(["unshare", "-n"], -1.0, "nan", 1e300)
    assert (neg["error"], neg["message"]) == (
        "ValueError", "cannot convert float seconds to Duration: value is negative")
    for r in (nan, huge):
        assert (r["error"], r["message"]) == (
            "ValueError", "cannot convert float seconds to Duration: value is either too big or NaN")


def test_non_numeric_timeout_is_a_type_error():
    # Argument conversion rejects it before discover's body runs.
    with pytest.raises(TypeError, match="timeout"):
        oculane.discover("soon")


def test_device_info_surface():
    cls = oculane.DeviceInfo
    with pytest.raises(TypeError):
        cls()
    props = [name for name, v in vars(cls).items() if isinstance(v, property)]
    assert props == PROPERTIES
    assert cls.__doc__ == (
        "Identity and addressing of a device, parsed from the first\n"
        "[`DISCOVERY_DATA_SIZE`] bytes of bootstrap register space (the discovery\n"
        "acknowledge payload, or the same block read via READMEM).")
    assert cls.spec_version.__doc__ == "GigE Vision spec version as `(major, minor)`."
    assert oculane.discover.__doc__.endswith(
        "Broadcast a GigE Vision discovery beacon on every Up IPv4 adapter and\n"
        "return the devices that answer within `timeout` seconds.")


def test_module_registration_order():
    from oculane import _oculane_core as core
    names = [n for n in vars(core) if not n.startswith("_")]
    expected = ["CameraError", "GenicamError", "Camera", "SnapshotSession", "Acquisition", "Frame",
                "FrameChannel", "FrameStatus", "AccessMode", "StreamStats", "LinkStats",
                "DeviceInfo", "discover"]
    # Other subsystems register their classes in between; the relative order holds.
    assert [n for n in expected if n in names] == [n for n in names if n in expected]
    assert names[-2:] == ["DeviceInfo", "discover"]


def test_device_info_is_read_only(virtual_camera, camera_ip):
    camera = oculane.Camera(camera_ip)
    camera.connect()
    try:
        info = camera.device_info()
    finally:
        camera.disconnect()
    for name in PROPERTIES:
        with pytest.raises(AttributeError):
            setattr(info, name, getattr(info, name))
    with pytest.raises(AttributeError):
        info.extra = 1
    assert info.ip == camera_ip
    assert repr(info) == f"DeviceInfo({info.manufacturer} {info.model} serial={info.serial} ip={camera_ip})"


# ---- one interface, one address, FORCEIP ------------------------------------

def test_unicast_discovery_finds_a_loopback_camera(next_camera_ip):
    from oculane.sim import VirtualCamera
    ips = [next_camera_ip(), next_camera_ip()]
    with VirtualCamera(ips[0], serial="U1"), VirtualCamera(ips[1], serial="U2"):
        # Only the addressed camera answers, though both listen on port 3956.
        for ip, serial in zip(ips, ["U1", "U2"]):
            [dev] = oculane.discover(0.3, address=ip)
            assert (dev.ip, dev.serial) == (ip, serial)


def test_unicast_to_nobody_returns_nothing(camera_ip):
    assert oculane.discover(0.1, address=camera_ip) == []


@pytest.mark.parametrize("kwargs, error, message", [
    ({"address": "cam1"}, ValueError, 'invalid IP address: "cam1"'),
    ({"interface": ""}, ValueError, "interface must not be empty"),
    ({"address": "127.0.0.1", "timeout": -1.0}, ValueError,
     "cannot convert float seconds to Duration: value is negative"),
    ({"interface": "ocl-none0", "address": "127.0.0.1"}, oculane.CameraException,
     "io error: no IPv4 address on interface 'ocl-none0'"),
])
def test_discovery_arguments_are_checked_before_traffic(kwargs, error, message):
    # Every case fails before a probe is sent: the unicast ones would
    # otherwise simply find nothing, and no broadcast is ever attempted.
    with pytest.raises(error) as e:
        oculane.discover(**kwargs)
    assert str(e.value) == message


def test_force_ip_moves_the_named_camera(virtual_camera, camera_ip):
    [before] = oculane.discover(0.3, address=camera_ip)
    oculane.force_ip(before.mac, "10.20.30.40", "255.255.0.0", "10.20.0.1", address=camera_ip)
    [after] = oculane.discover(0.3, address=camera_ip)
    assert (after.mac, after.ip, after.subnet_mask, after.gateway) == (
        before.mac, "10.20.30.40", "255.255.0.0", "10.20.0.1")
    # Another MAC gets no answer: the camera is not the one named.
    with pytest.raises(oculane.CameraException, match="timed out waiting for acknowledge"):
        oculane.force_ip("00:00:00:00:00:01", "10.0.0.9", "255.0.0.0", "10.0.0.1",
                         address=camera_ip, timeout=0.2)
    assert oculane.discover(0.3, address=camera_ip)[0].ip == "10.20.30.40"


@pytest.mark.parametrize("mac", ["00:0c:df:04:a1", "00:0c:df:04:a1:7g", "000cdf04a17e0000x", "00:0c:df:04:a1:7e:"])
def test_force_ip_refuses_a_bad_mac(mac):
    with pytest.raises(ValueError, match="invalid MAC address"):
        oculane.force_ip(mac, "10.0.0.2", "255.0.0.0", "10.0.0.1", address="127.0.0.1")


@needs_netns
def test_discover_on_one_interface(netns):
    netns.start_responder(discovery_ack(identity_block()))
    script = ("import json, oculane\n"
              "out = []\n"
              f"for name in ['{netns.host_if}', '198.18.0.1', 'lo', 'nope0']:\n"
              "    try: out.append([d.ip for d in oculane.discover(0.3, interface=name)])\n"
              "    except oculane.CameraException as e: out.append(str(e))\n"
              "print(json.dumps(out))\n")
    out = run(["ip", "netns", "exec", netns.host, sys.executable, "-c", script])
    by_name, by_address, loopback, missing = json.loads(out.stdout)
    assert by_name == by_address == ["198.18.0.2"]
    assert loopback == []  # the namespace's own loopback holds no camera
    assert missing == "io error: no IPv4 address on interface 'nope0'"
