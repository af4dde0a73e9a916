from . import _oculane_core as _oculane_core
from ._oculane_core import *  # noqa: F401,F403

# The exception classes belong to this package by their qualified names; the
# core module's stub imports them from here as CameraError and GenicamError.

__version__: str

class CameraException(RuntimeError):
    """
    Raised when the transport link fails: connect/acknowledge timeout, I/O error, device NAK, lost control, or a malformed packet.
    """

    @property
    def kind(self) -> str | None:
        """The kind of failure: "AckTimeout", "ControlLost", "DeviceStatus", ..."""
    @property
    def feature(self) -> str | None:
        """The feature the failing call named, or None."""
    @property
    def status(self) -> int | None:
        """The GVCP status code of a device's refusal (kind "DeviceStatus"), or None."""

class GenicamException(RuntimeError):
    """
    Raised by the GenICam feature layer: unknown feature, wrong type or access mode, value out of range, or a broken device description.
    """

    @property
    def kind(self) -> str | None:
        """The kind of failure: "FeatureNotFound", "OutOfRange", "SnapTimeout", ..."""
    @property
    def feature(self) -> str | None:
        """The feature the failing call named, or None."""
    @property
    def status(self) -> int | None:
        """Always None: device refusals raise CameraException."""

CameraError = CameraException
GenicamError = GenicamException

from .events import EventCallback as EventCallback
from .features import (
    Category as Category,
    EnumEntryInfo as EnumEntryInfo,
    Feature as Feature,
    FeatureInfo as FeatureInfo,
    Visibility as Visibility,
)
from .logging_bridge import disable as disable_logging, enable as enable_logging
from ._callbacks import FrameCallback as FrameCallback
from .action import ActionAck as ActionAck, action_command as action_command
from .settings import SettingsIssue as SettingsIssue
from .viewer import Viewer as _Viewer

def force_ip(mac: str, ip: str, mask: str, gateway: str, *, interface: str | None = None,
             address: str | None = None, timeout: float = 1.0) -> None:
    """
    Tell the device with this MAC address to take a static IPv4 address,
    subnet mask and gateway (GVCP FORCEIP) and wait for its acknowledge.
    """

def view(camera: Camera, *, bind: str = "127.0.0.1", port: int = 0, browser: bool = True, block: bool = True,
         acquire: bool = True, packet_size: int | None = None) -> _Viewer:
    """
    Show a connected camera live in the browser (image, histogram, stream
    counters, features, events); needs the `viewer` extra.
    """
