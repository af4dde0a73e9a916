"""GigE Vision cameras from Python: discovery, control, GenICam features and streaming."""

from . import _oculane_core
from ._oculane_core import *  # noqa: F401,F403  (every public name of the core module)

# The exception classes carry the qualified names oculane.CameraException and
# oculane.GenicamException; bind those names so the classes resolve by name.
CameraException = _oculane_core.CameraError
GenicamException = _oculane_core.GenicamError
CameraError = _oculane_core.CameraError
GenicamError = _oculane_core.GenicamError

__all__ = [name for name in dir(_oculane_core) if not name.startswith("_")] + [
    "CameraException",
    "GenicamException",
]
