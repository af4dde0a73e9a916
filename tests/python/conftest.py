"""Shared fixtures: loopback addresses and virtual cameras.

Every test that needs a camera gets an address of its own (127.0.0.2,
127.0.0.3, ...), so tests never meet each other's cameras, all on port 3956.
"""

from __future__ import annotations

import itertools
from typing import Callable, Iterator

import pytest

from oculane.sim import VirtualCamera

# 127.0.0.1 is the hosts' side; cameras take the rest of 127.0.0.0/24 and
# then move on to 127.0.1.0/24 and beyond.
_addresses = (f"127.0.{hi}.{lo}" for hi in itertools.count() for lo in range(2, 255))


@pytest.fixture
def camera_ip() -> str:
    """A loopback address no other test in this run uses."""
    return next(_addresses)


@pytest.fixture
def next_camera_ip() -> Callable[[], str]:
    """Hands out further unused loopback addresses, for tests with several cameras."""
    return lambda: next(_addresses)


@pytest.fixture
def virtual_camera(camera_ip: str) -> Iterator[VirtualCamera]:
    """A running virtual camera with default options on its own address."""
    with VirtualCamera(camera_ip) as cam:
        yield cam
