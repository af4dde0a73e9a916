"""GigE Vision cameras from Python: discovery, control, GenICam features and streaming."""

from __future__ import annotations

import pathlib
import re

from . import _oculane_core
from ._oculane_core import *  # noqa: F401,F403  (every public name of the core module)

# The exception classes carry the qualified names oculane.CameraException and
# oculane.GenicamException; bind those names so the classes resolve by name.
CameraException = _oculane_core.CameraError
GenicamException = _oculane_core.GenicamError
CameraError = _oculane_core.CameraError
GenicamError = _oculane_core.GenicamError



def force_ip(mac: str, ip: str, mask: str, gateway: str, *, interface: str | None = None,
             address: str | None = None, timeout: float = 1.0) -> None:
    """Tell the device with this MAC address ("00:0c:df:04:a1:7e") to take a
    static IPv4 address, subnet mask and gateway (GVCP FORCEIP), and wait up
    to `timeout` seconds for its acknowledge.

    The command is broadcast on every adapter, or on the one `interface`
    (name or address) names; with `address` it goes to that address alone.
    Raises CameraException when no acknowledge comes or the device refuses.
    """
    _oculane_core._force_ip(mac, ip, mask, gateway, interface=interface, address=address,
                            timeout=timeout)


def _version(package_file: str = __file__) -> str:
    """The installed package's version; for a source tree that was never
    installed, the one its pyproject.toml gives."""
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("oculane")
    except PackageNotFoundError:
        pyproject = pathlib.Path(package_file).resolve().parents[2] / "pyproject.toml"
        text = pyproject.read_text() if pyproject.is_file() else ""
        found = re.search(r'^version\s*=\s*"([^"]+)"', text, re.M)
        return found.group(1) if found else "0+unknown"


__version__ = _version()


def view(camera: Camera, *, bind: str = "127.0.0.1", port: int = 0, browser: bool = True,  # noqa: F405
         block: bool = True, acquire: bool = True, packet_size: int | None = None):
    """Shows a connected camera live in the browser: its image, histogram,
    stream counters, features and events, served by the library on
    `bind`:`port` (0: a free port). It prints the page's URL and opens it
    in the desktop's browser when there is one and `browser` is true; with
    `block` it serves until Ctrl-C, otherwise it returns the running
    `oculane.viewer.Viewer` at once. Needs the `viewer` extra
    (``pip install 'oculane[viewer]'``)."""
    from .viewer import view as _view

    return _view(camera, bind=bind, port=port, browser=browser, block=block, acquire=acquire,
                 packet_size=packet_size)

from ._callbacks import FrameCallback  # noqa: E402
from .action import ActionAck, action_command  # noqa: E402
from .events import EventCallback  # noqa: E402
from .features import Category, EnumEntryInfo, Feature, FeatureInfo, Visibility  # noqa: E402
from .logging_bridge import disable as disable_logging, enable as enable_logging  # noqa: E402
from .settings import SettingsIssue  # noqa: E402

__all__ = [name for name in dir(_oculane_core) if not name.startswith("_")] + [
    "ActionAck",
    "CameraException",
    "GenicamException",
    "Category",
    "EnumEntryInfo",
    "EventCallback",
    "Feature",
    "FeatureInfo",
    "FrameCallback",
    "SettingsIssue",
    "Visibility",
    "action_command",
    "disable_logging",
    "enable_logging",
    "force_ip",
    "view",
]
