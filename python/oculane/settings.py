"""Settings files: every readable and writable feature of a camera as plain,
diffable text, and applying such a file back.

The format is one ``Name = value`` per line, in the order the lines must be
applied; ``#`` starts a comment line. Features that a selector chooses
between (a gain per colour channel, say) appear once per selector entry,
each group introduced by a line that sets the selector, and the selector's
own value follows the group::

    # oculane settings: oculane VirtualCamera serial OCL7F000002
    Width = 640
    GainSelector = Red
    Gain = 1.5
    GainSelector = All
    Gain = 0.0
    GainSelector = All

Integers are written in decimal, floats so that they read back exactly,
booleans as true/false, enumerations by entry name and strings quoted.

A settings file holds the camera's settings, not this host's. The
transport-layer values that name this host or describe its session with the
camera are written commented out at the end of the file, so that loading
applies nothing of them and the file suits the same camera on another host:
where the stream and the messages go (GevSCDA, GevSCPHostPort, GevMCDA,
GevMCPHostPort), what the host negotiated for the link (GevSCPSPacketSize,
GevSCPD and the other stream channel options GevSCPS*, GevSCCFG*; the
message channel's GevMCTT, GevMCRC; GevGVCP* protocol options), how it keeps
control (GevHeartbeatTimeout, GevCCP, GevPrimaryApplication*), the channel
selector GevStreamChannelSelector and TLParamsLocked, which is set while a
stream is open. The camera's own network configuration (GevPersistent*,
GevCurrentIPConfiguration*) stays in the file.

A feature that cannot be read while saving is left out and noted in the file
as a comment (and in `skipped`); the rest is saved.
"""

from __future__ import annotations

import json
import os
import re
from typing import TYPE_CHECKING, NamedTuple

from . import _oculane_core as _core

if TYPE_CHECKING:  # pragma: no cover
    from . import Camera
    from .features import FeatureInfo

__all__ = ["SettingsIssue", "is_host_setting", "save", "load"]

# The kinds of feature that have a value to read and write.
VALUE_KINDS = ("Integer", "Float", "Boolean", "String", "Enumeration")
# An integer selector is walked entry by entry only when it has this few values.
_MAX_INTEGER_SELECTOR_VALUES = 64
_LINE = re.compile(r"^([A-Za-z_][A-Za-z0-9_.]*)\s*=\s*(.*?)\s*$")
_ERRORS = (_core.CameraError, _core.GenicamError, ValueError, TypeError, OverflowError)
# The host and session values the module docstring lists, by standard name.
_HOST_SESSION = re.compile(
    r"GevSC(DA|PHostPort|PD|SP|PS\w*|CFG\w*)|GevMC(DA|PHostPort|TT|RC|SP)|GevGVCP\w*"
    r"|GevHeartbeatTimeout|GevCCP|GevPrimaryApplication\w*|GevStreamChannelSelector|TLParamsLocked")


def is_host_setting(name: str) -> bool:
    """True for a feature whose value belongs to this host or its session
    with the camera rather than to the camera (see the module docstring)."""
    return _HOST_SESSION.fullmatch(name) is not None


class SettingsIssue(NamedTuple):
    """A line of a settings file that could not be applied."""

    line: int
    name: str
    reason: str


# ---- values as text ------------------------------------------------------------

def read_value(camera: Camera, info: FeatureInfo):
    """The feature's value through the getter of its kind (a KeyError for a
    kind that has no value)."""
    return {
        "Integer": camera.get_integer,
        "Float": camera.get_float,
        "Boolean": camera.get_boolean,
        "String": camera.get_string,
        "Enumeration": camera.get_enum,
    }[info.kind](info.name)


def _format(kind: str, value) -> str:
    if kind == "Boolean":
        return "true" if value else "false"
    if kind == "Float":
        return repr(float(value))
    if kind == "String":
        return json.dumps(value, ensure_ascii=False)
    return str(value)


def parse_value(kind: str, text: str):
    """A value as the settings format (and the command line) writes it."""
    if kind == "Integer":
        return int(text, 0)
    if kind == "Float":
        return float(text)
    if kind == "Boolean":
        lowered = text.lower()
        if lowered in ("true", "1", "on", "yes"):
            return True
        if lowered in ("false", "0", "off", "no"):
            return False
        raise ValueError(f"not a boolean: {text!r}")
    if kind == "String":
        if text.startswith('"'):
            value = json.loads(text)
            if not isinstance(value, str):
                raise ValueError(f"not a string: {text!r}")
            return value
        return text
    if kind == "Enumeration":
        return text
    raise ValueError(f"a {kind} feature has no value to set")


def write_value(camera: Camera, kind: str, name: str, value) -> None:
    """Sets a feature by its kind."""
    {
        "Integer": camera.set_integer,
        "Float": camera.set_float,
        "Boolean": camera.set_boolean,
        "String": camera.set_string,
        "Enumeration": camera.set_enum,
    }[kind](name, value)


# ---- saving ----------------------------------------------------------------------

def _features_in_order(camera: Camera) -> list[str]:
    """Every feature the category tree lists, depth first, each once."""
    seen: dict[str, None] = {}
    for top in camera.categories():
        for _, category in top.walk():
            for name in category.features:
                seen.setdefault(name, None)
    return list(seen)


def _saveable(camera: Camera, info: FeatureInfo) -> bool:
    return (info.kind in VALUE_KINDS and info.implemented and info.available and not info.locked
            and camera.access_mode(info.name) == _core.AccessMode.RW)


def _selector_values(camera: Camera, info: FeatureInfo) -> list:
    if info.kind == "Enumeration":
        return info.available_entries()
    if info.kind == "Integer":
        low, high = camera.integer_bounds(info.name)
        step = max(camera.integer_increment(info.name), 1)
        if (high - low) // step + 1 <= _MAX_INTEGER_SELECTOR_VALUES:
            return list(range(low, high + 1, step))
    return []


def save(camera: Camera, path: str | os.PathLike, skipped: list[SettingsIssue] | None = None) -> int:
    """Writes the settings file; returns the number of value lines in it.
    Features that could not be saved are noted in the file as comments and,
    when `skipped` is a list, appended to it with the line of their note."""
    infos: dict[str, FeatureInfo] = {}
    host: list[FeatureInfo] = []
    for name in _features_in_order(camera):
        try:
            info = camera.feature_info(name)
            if not _saveable(camera, info):
                continue
            if is_host_setting(name):
                host.append(info)
            else:
                infos[name] = info
        except _ERRORS:
            continue  # a feature that cannot even be described is not a setting
    # Each selected feature is written inside the group of its first saved
    # selector. A selector with a group of its own stays at top level (its
    # value is written where it stands), so nested selectors keep their groups.
    groups: dict[str, list[str]] = {}
    owned: set[str] = set()
    for name, info in infos.items():
        for selected in info.selected:
            if selected in infos and selected not in owned and selected != name:
                groups.setdefault(name, []).append(selected)
                owned.add(selected)
    owned -= groups.keys()

    device = camera.device_info()
    lines = [f"# oculane settings: {device.manufacturer} {device.model} serial {device.serial}"]
    values = 0
    issues: list[SettingsIssue] = []

    def line(info: FeatureInfo, value) -> None:
        nonlocal values
        lines.append(f"{info.name} = {_format(info.kind, value)}")
        values += 1

    def note(name: str, reason: str) -> None:
        lines.append(f"# {name}: {reason}")
        issues.append(SettingsIssue(len(lines), name, reason))

    for name, info in infos.items():
        if name in owned:
            continue
        try:
            current = read_value(camera, info)
        except _ERRORS as e:
            note(name, f"not saved: {e}")
            continue
        if name in groups:
            # Walking the selector's entries changes it; one whose value
            # could not be put back would leave the camera changed, so the
            # group goes only when the current value passes the setter's
            # own checks.
            try:
                if info.kind != "Boolean":
                    camera._check_write(name, current)
            except _ERRORS as e:
                note(name, f"not saved, nor what it selects ({', '.join(groups[name])}): {e}")
                continue
            try:
                for choice in _selector_values(camera, info) or [current]:
                    try:
                        write_value(camera, info.kind, name, choice)
                    except _ERRORS:
                        continue
                    line(info, choice)
                    for selected in groups[name]:
                        try:
                            line(infos[selected], read_value(camera, infos[selected]))
                        except _ERRORS as e:
                            note(selected, f"not saved for {name} = {_format(info.kind, choice)}: {e}")
            except _ERRORS as e:
                note(name, f"entries not walked: {e}")
            finally:
                # Saving leaves the camera as it found it.
                try:
                    write_value(camera, info.kind, name, current)
                except _ERRORS as e:
                    note(name, f"could not be set back to {_format(info.kind, current)}: {e}")
        line(info, current)
    if host:
        lines.append("# This host's link to the camera, not applied when loading:")
        for info in host:
            try:
                lines.append(f"# {info.name} = {_format(info.kind, read_value(camera, info))}")
            except _ERRORS:
                continue
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    if skipped is not None:
        skipped.extend(issues)
    return values


# ---- loading ---------------------------------------------------------------------

class _Op(NamedTuple):
    line: int
    name: str
    text: str
    context: tuple  # (selector name, its value) in force where the line stands


def _parse(path: str | os.PathLike) -> list[tuple[int, str, str]]:
    with open(path, encoding="utf-8") as f:
        text = f.read()
    out = []
    for number, raw in enumerate(text.splitlines(), 1):
        stripped = raw.strip()
        if not stripped or stripped.startswith("#"):
            continue
        m = _LINE.match(stripped)
        if not m:
            raise ValueError(f"{os.fspath(path)}:{number}: not a 'Name = value' line: {stripped!r}")
        out.append((number, m.group(1), m.group(2)))
    return out


def load(camera: Camera, path: str | os.PathLike) -> list[SettingsIssue]:
    """Applies a settings file and returns the lines that could not be
    applied. The whole file is read and checked first: a line that is not
    ``Name = value`` raises ValueError and nothing is written to the camera.

    Lines are applied in file order; a line that fails is tried again after
    the others (its selectors set as they were at that line), as long as
    retrying makes progress, since a bound may depend on a later line.
    """
    entries = _parse(path)
    kinds: dict[str, str] = {}
    lookup_errors: dict[str, str] = {}
    selectors_of: dict[str, tuple[str, ...]] = {}
    ops: list[_Op] = []
    in_force: dict[str, str] = {}
    for number, name, text in entries:
        if name not in kinds and name not in lookup_errors:
            try:
                info = camera.feature_info(name)
                kinds[name] = info.kind
                selectors_of[name] = info.selectors
            except _ERRORS as e:
                lookup_errors[name] = str(e)
        context = tuple((s, in_force[s]) for s in selectors_of.get(name, ()) if s in in_force)
        ops.append(_Op(number, name, text, context))
        in_force[name] = text
    is_selector = {s for sel in selectors_of.values() for s in sel}

    def apply(op: _Op) -> str | None:
        if op.name in lookup_errors:
            return lookup_errors[op.name]
        kind = kinds[op.name]
        if kind not in VALUE_KINDS:
            return f"a {kind} feature has no value to set"
        try:
            value = parse_value(kind, op.text)
        except ValueError:
            return f"{op.text!r} is not a valid {kind} value"
        try:
            write_value(camera, kind, op.name, value)
        except _ERRORS as e:
            return str(e)
        return None

    def apply_with_context(op: _Op) -> str | None:
        for selector, text in op.context:
            if selector in kinds:
                try:
                    write_value(camera, kinds[selector], selector, parse_value(kinds[selector], text))
                except _ERRORS:
                    pass
        return apply(op)

    failed = [(op, reason) for op in ops if (reason := apply(op)) is not None]
    while failed:
        still = [(op, reason) for op, _ in failed if (reason := apply_with_context(op)) is not None]
        progress = len(still) < len(failed)
        failed = still
        if not progress:
            break
    # Selectors end where the file left them, whatever the retries set.
    for name in is_selector & in_force.keys():
        apply(max((op for op in ops if op.name == name), key=lambda op: op.line))
    return sorted((SettingsIssue(op.line, op.name, reason) for op, reason in failed),
                  key=lambda i: i.line)
