"""A pair of throwaway network namespaces joined by a veth link: the
cameras' side and the host's, each with its own addresses. Broadcast tests
run only inside them (root needed), never in the machine's own namespace."""

from __future__ import annotations

import contextlib
import os
import subprocess
import sys
from typing import Iterator, Sequence

import pytest


def ip(*args: str) -> None:
    subprocess.run(["ip", *args], check=True, capture_output=True)


@contextlib.contextmanager
def linked_pair(tag: str, host_ip: str, camera_ips: Sequence[str]) -> Iterator[tuple[str, str, str]]:
    """(camera namespace, host namespace, host interface), deleted on exit;
    `tag` keeps names apart between the tests that use this."""
    n = os.getpid() % 100000
    cam, host = f"ocl-{tag}cam-{n}", f"ocl-{tag}host-{n}"
    h_if, c_if = f"ocl-{tag}h-{n}", f"ocl-{tag}c-{n}"
    try:
        ip("netns", "add", cam)
        ip("netns", "add", host)
        ip("link", "add", h_if, "type", "veth", "peer", "name", c_if)
        ip("link", "set", h_if, "netns", host)
        ip("link", "set", c_if, "netns", cam)
        ip("-n", host, "addr", "add", f"{host_ip}/24", "dev", h_if)
        for a in camera_ips:
            ip("-n", cam, "addr", "add", f"{a}/24", "dev", c_if)
        for ns, dev in ((host, h_if), (cam, c_if)):
            ip("-n", ns, "link", "set", "lo", "up")
            ip("-n", ns, "link", "set", dev, "up")
        yield cam, host, h_if
    finally:
        for ns in (cam, host):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)
        # A set-up that failed before the pair moved leaves it in this
        # namespace; deleting one end deletes both (an error when already gone).
        subprocess.run(["ip", "link", "del", h_if], capture_output=True)


def serve_camera(ns: str, *options: str, stdin: int | None = None) -> subprocess.Popen[str]:
    """A virtual camera (`python -m oculane.sim` with these options) running
    inside namespace `ns`, once it says it is up."""
    proc = subprocess.Popen(["ip", "netns", "exec", ns, sys.executable, "-m", "oculane.sim", *options],
                            stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert proc.stdout is not None
    line = proc.stdout.readline()
    if not line.startswith("virtual camera on"):
        # Not left running behind a failed test, nor inside a namespace that
        # is about to be deleted.
        proc.kill()
        _, err = proc.communicate(timeout=10)
        pytest.fail(f"the virtual camera did not start: {line}{err}")
    return proc
