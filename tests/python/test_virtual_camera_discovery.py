"""Discovery broadcasts reach the virtual camera only through its optional
wildcard socket. Broadcasts are sent only inside a pair of network namespaces
this test creates and deletes itself (root needed)."""

from __future__ import annotations

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

CAMERA_IP, HOST_IP, BROADCAST = "198.18.0.2", "198.18.0.1", "198.18.0.255"

# Sends one discovery broadcast on the namespace's own link and prints the
# serial numbers of the devices that answer.
PROBE = textwrap.dedent(
    f"""
    import socket
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind(("{HOST_IP}", 0))
    s.settimeout(0.5)
    s.sendto(bytes.fromhex("42110002" "0000" "ffff"), ("{BROADCAST}", 3956))
    try:
        while True:
            data, src = s.recvfrom(1024)
            print(src[0], data[8 + 216:8 + 232].split(b"\\0")[0].decode())
    except socket.timeout:
        pass
    """
)


@pytest.fixture
def namespaces() -> Iterator[tuple[str, str]]:
    with linked_pair("", HOST_IP, [CAMERA_IP]) as (cam, host, _):
        yield cam, host


def serve(ns: str, *options: str) -> subprocess.Popen[str]:
    return serve_camera(ns, "--ip", CAMERA_IP, "--serial", "NS-1", *options)


def probe(ns: str) -> list[str]:
    done = subprocess.run(["ip", "netns", "exec", ns, sys.executable, "-c", PROBE],
                          capture_output=True, text=True, timeout=30, check=True)
    return done.stdout.splitlines()


@pytest.mark.parametrize("discovery,answers", [(True, [f"{CAMERA_IP} NS-1"]), (False, [])],
                         ids=["with wildcard socket", "address only"])
def test_broadcast_discovery(namespaces: tuple[str, str], discovery: bool, answers: list[str]) -> None:
    cam_ns, host_ns = namespaces
    proc = serve(cam_ns, *(["--discovery"] if discovery else []))
    try:
        assert probe(host_ns) == answers
    finally:
        proc.terminate()
        proc.communicate(timeout=10)
    assert proc.returncode == 0


# Inside the host namespace: the command line's broadcast discovery, then
# FORCEIP by broadcast and discovery on the one interface.
FORCE = textwrap.dedent(
    """
    import json, subprocess, sys, oculane
    cli = subprocess.run([sys.executable, "-m", "oculane", "discover", "--json", "--timeout", "0.5"],
                         capture_output=True, text=True)
    [before] = oculane.discover(0.5)
    oculane.force_ip(before.mac, "198.18.0.77", "255.255.255.0", "198.18.0.1")
    after = oculane.discover(0.5, interface=sys.argv[1])
    print(json.dumps({"cli": [cli.returncode, json.loads(cli.stdout or "[]")],
                      "after": [(d.serial, d.ip, d.gateway) for d in after]}))
    """
)


def test_command_line_discovery_and_force_ip_by_broadcast(namespaces: tuple[str, str]) -> None:
    import json

    cam_ns, host_ns = namespaces
    host_if = f"ocl-h-{os.getpid() % 100000}"
    proc = serve(cam_ns, "--discovery")
    try:
        done = subprocess.run(["ip", "netns", "exec", host_ns, sys.executable, "-c", FORCE, host_if],
                              capture_output=True, text=True, timeout=60)
    finally:
        proc.terminate()
        proc.communicate(timeout=10)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    code, [listed] = result["cli"]
    assert (code, listed["serial"], listed["ip"]) == (0, "NS-1", CAMERA_IP)
    # The camera took the address; it still answers where its socket is bound.
    assert result["after"] == [["NS-1", "198.18.0.77", "198.18.0.1"]]
