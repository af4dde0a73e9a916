from . import _oculane_core as _oculane_core
from ._oculane_core import *  # noqa: F401,F403

# The exception classes belong to this package by their qualified names; the
# core module's stub imports them from here as CameraError and GenicamError.

class CameraException(RuntimeError):
    """
    Raised when the transport link fails: connect/acknowledge timeout, I/O error, device NAK, lost control, or a malformed packet.
    """

class GenicamException(RuntimeError):
    """
    Raised by the GenICam feature layer: unknown feature, wrong type or access mode, value out of range, or a broken device description.
    """

CameraError = CameraException
GenicamError = GenicamException
