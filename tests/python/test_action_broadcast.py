"""One broadcast action command fires two virtual cameras at the same device
time. The broadcast is sent only inside a pair of network namespaces this
test creates and deletes itself (root needed): two cameras on one link in
one namespace, the host in the other."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import textwrap
from typing import Iterator

import pytest

from netns import linked_pair, serve_camera

pytestmark = pytest.mark.skipif(
    os.geteuid() != 0 or shutil.which("ip") is None,
    reason="needs root and iproute2 to create throwaway network namespaces",
)

HOST_IP, CAMERA_IPS = "198.18.0.1", ("198.18.0.2", "198.18.0.3")

# In the host namespace: both cameras armed for Action0, one scheduled
# broadcast action 0.3 s ahead of the first camera's clock, then what each
# camera sent.
FIRE = textwrap.dedent(
    """
    import json, sys, oculane
    interface, ips = sys.argv[1], sys.argv[2:]
    cams = []
    for ip in ips:
        cam = oculane.Camera(ip)
        cam.connect()
        cam.set_enum("TriggerMode", "On")
        cam.set_enum("TriggerSource", "Action0")
        cam.set_integer("ActionDeviceKey", 0x5EED)
        cam.set_integer("ActionGroupKey", 3)
        cam.set_integer("ActionGroupMask", 0x1)
        cams.append(cam)
    acqs = [cam.start_acquisition() for cam in cams]
    early = [acq.wait_for(0.2) is not None for acq in acqs]
    cams[0].execute("TimestampLatch")
    at = cams[0].get_integer("TimestampLatchValue") + 300_000_000
    acks = oculane.action_command(0x5EED, 3, 0x3, scheduled_time=at, interface=interface)
    frames = [[acq.wait_for(5.0)] for acq in acqs]
    for got, acq in zip(frames, acqs):
        while (f := acq.wait_for(0.3)) is not None:
            got.append(f)
    print(json.dumps({
        "early": early, "at": at, "acks": sorted([a.address, a.status] for a in acks),
        "frames": [[(f.timestamp_ticks, f.system_timestamp_ns, f.is_complete) for f in got if f] for got in frames],
        "ptp": [[c.get_boolean("PtpEnable"), c.get_enum("PtpStatus")] for c in cams],
    }))
    for acq in acqs:
        acq.stop()
    """
)


@pytest.fixture
def namespaces() -> Iterator[tuple[str, str, str]]:
    with linked_pair("a", HOST_IP, CAMERA_IPS) as pair:
        yield pair


def serve(ns: str, address: str) -> subprocess.Popen[str]:
    # The wildcard socket hears broadcasts; the host clock gives both
    # cameras one time base.
    return serve_camera(ns, "--ip", address, "--discovery", "--host-clock", stdin=subprocess.DEVNULL)


def test_one_broadcast_action_fires_two_cameras_at_one_device_time(namespaces):
    cam_ns, host_ns, host_if = namespaces
    procs = [serve(cam_ns, a) for a in CAMERA_IPS]
    try:
        done = subprocess.run(["ip", "netns", "exec", host_ns, sys.executable, "-c", FIRE, host_if, *CAMERA_IPS],
                              capture_output=True, text=True, timeout=120)
    finally:
        for p in procs:
            p.terminate()
            p.communicate(timeout=10)
    assert done.returncode == 0, done.stderr
    r = json.loads(done.stdout)
    assert r["early"] == [False, False]
    assert r["acks"] == [[a, 0] for a in CAMERA_IPS]
    assert r["ptp"] == [[True, "Slave"]] * 2
    at = r["at"]
    [[(ts_a, host_a, ok_a)], [(ts_b, host_b, ok_b)]] = r["frames"]  # exactly one frame each
    assert ok_a and ok_b
    assert abs(ts_a - ts_b) < 1_000_000  # within a millisecond of each other
    assert abs(ts_a - at) < 1_000_000
    # Acted on at its time, not on receipt (device ticks are host-clock ns).
    assert min(host_a, host_b) >= at
