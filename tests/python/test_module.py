import oculane
from oculane import _oculane_core


def test_exception_classes_are_named_and_shared():
    assert oculane.CameraException is _oculane_core.CameraError
    assert oculane.GenicamException is _oculane_core.GenicamError
    for cls, name in [(oculane.CameraException, "CameraException"),
                      (oculane.GenicamException, "GenicamException")]:
        assert cls.__module__ == "oculane"
        assert cls.__name__ == name
        assert cls.__bases__ == (RuntimeError,)
    assert oculane.CameraException.__doc__ == (
        "Raised when the transport link fails: connect/acknowledge timeout, I/O error, "
        "device NAK, lost control, or a malformed packet.")
    assert oculane.GenicamException.__doc__ == (
        "Raised by the GenICam feature layer: unknown feature, wrong type or access mode, "
        "value out of range, or a broken device description.")
    assert _oculane_core.__doc__ in ("", None)
