"""The camera's feature tree as the page shows it, and writes from the page.

Every function here talks to the camera and blocks; the server runs them on
its camera thread, one at a time.
"""

from __future__ import annotations

import math
import sys
from typing import Any

from .. import _oculane_core as _core
from ..features import Visibility

_ERRORS = (_core.CameraError, _core.GenicamError)
_VALUE_KINDS = ("Integer", "Float", "Boolean", "String", "Enumeration")
# Bounds this wide are no bounds at all: the description gives none.
_INT64 = (-(1 << 63), (1 << 63) - 1)
_DOUBLE = (-sys.float_info.max, sys.float_info.max)
_ACCESS = {int(_core.AccessMode.RO): "RO", int(_core.AccessMode.WO): "WO", int(_core.AccessMode.RW): "RW"}


def _json_number(value: float) -> float | str:
    # JSON has no infinities or NaN.
    return value if math.isfinite(value) else repr(value)


def _json_value(value: Any) -> Any:
    if isinstance(value, float):
        return _json_number(value)
    # The page's numbers are doubles: wider integers go as text, whole.
    if isinstance(value, int) and not isinstance(value, bool) and abs(value) > 1 << 53:
        return str(value)
    return value


def _feature(camera: _core.Camera, name: str) -> dict[str, Any]:
    """One feature's row; a part that cannot be read leaves only itself
    out, with the reason."""
    row: dict[str, Any] = {"name": name}
    try:
        info = camera.feature_info(name)
    except _ERRORS as e:
        row.update(kind="?", access="?", visibility="Beginner", read_error=str(e))
        return row
    row.update(kind=info.kind, display=info.display_name or name, tooltip=info.tooltip or info.description,
               unit=info.unit, visibility=info.visibility.name.capitalize(),
               available=info.implemented and info.available, locked=info.locked)
    try:
        row["access"] = _ACCESS.get(int(camera.access_mode(name)), "NA")
    except _ERRORS as e:
        row["access"] = "?"
        row["read_error"] = str(e)
        return row
    if info.kind in _VALUE_KINDS and row["access"] in ("RO", "RW"):
        try:
            row["value"] = _json_value(camera.get(name))
        except _ERRORS as e:
            row["read_error"] = str(e)
    if row["access"] not in ("RW", "WO"):
        return row
    try:
        if info.kind == "Integer":
            low, high = camera.integer_bounds(name)
            if (low, high) != _INT64:
                row.update(min=_json_value(low), max=_json_value(high))
            row["inc"] = _json_value(camera.integer_increment(name))
        elif info.kind == "Float":
            low, high = camera.float_bounds(name)
            if (low, high) != _DOUBLE:
                row.update(min=_json_number(low), max=_json_number(high))
        elif info.kind == "Enumeration":
            row["entries"] = info.available_entries()
    except _ERRORS:
        pass  # the value is still editable; the camera checks it on writing
    return row


def feature_tree(camera: _core.Camera) -> list[dict[str, Any]]:
    """Every category (depth first, with its depth) and its features; the
    Invisible ones are left out."""
    out = []
    for top in camera.categories():
        for depth, category in top.walk():
            if category.visibility >= Visibility.INVISIBLE:
                continue
            rows = [_feature(camera, name) for name in category.features]
            rows = [r for r in rows if r.get("visibility") != "Invisible"]
            out.append({"name": category.name, "display": category.display_name or category.name,
                        "depth": depth, "visibility": category.visibility.name.capitalize(),
                        "features": rows})
    return out


def _number(text: str) -> int | float | str:
    """A number typed on the page; text that is none goes to the camera as
    it is, so that the library's own error names what is wrong with it."""
    for parse in (lambda t: int(t, 0), float):
        try:
            return parse(text.strip())
        except ValueError:
            pass
    return text


def write(camera: _core.Camera, name: str, value: Any) -> str | None:
    """Writes a value from the page (a Command runs), converted for the
    feature's kind; returns the library's error text, or None."""
    try:
        kind = camera.feature_info(name).kind
        if kind == "Command":
            camera.execute(name)
            return None
        if kind in ("Integer", "Float") and isinstance(value, str):
            value = _number(value)
        camera.set(name, value)
    except (*_ERRORS, TypeError, ValueError, OverflowError) as e:
        return str(e)
    return None
