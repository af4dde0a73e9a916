"""The `oculane` command: find cameras, inspect and change their features.

    oculane discover [--interface NAME|ADDR] [--address IP] [--timeout S] [--json]
    oculane info IP
    oculane features IP [PATTERN] [--category NAME] [--all]
    oculane get IP NAME...
    oculane set IP NAME=VALUE...
    oculane save IP FILE / oculane load IP FILE
    oculane snap IP -o FILE (.png, .tif/.tiff or .npy)
    oculane stream IP [--seconds N] [--packet-size N] [--save DIR --every N]
    oculane view IP [--port N] [--bind ADDR] [--no-browser] [--packet-size N]
    oculane sim [virtual camera options]

Options and positionals mix in any order. Exit status: 0 on success, 1 when
the camera, a feature or a file fails, 2 for a usage error; a failure is one
line on stderr.
"""

from __future__ import annotations

import argparse
import fnmatch
import json
import math
import os
import re
import sys
import time
from typing import Callable, Sequence

from . import _oculane_core as _core
from .features import FeatureInfo, Visibility
from .settings import VALUE_KINDS, SettingsIssue, parse_value, read_value, save, write_value

__all__ = ["main"]

_CAMERA_ERRORS = (_core.CameraError, _core.GenicamError)


class _Failure(Exception):
    """A camera or feature error, already worded for the user."""


class _Usage(Exception):
    """A command-line mistake the parser could not see (a NAME=VALUE without '=')."""


# ---- helpers ---------------------------------------------------------------------

def _connect(ip: str) -> _core.Camera:
    camera = _core.Camera(ip)
    try:
        camera.connect()
    except _CAMERA_ERRORS as e:
        raise _Failure(f"cannot connect to {ip}: {e}") from None
    return camera


def _disconnect(camera: _core.Camera) -> None:
    """Gives control back; a failure here changes nothing the user asked for."""
    try:
        camera.disconnect()
    except _CAMERA_ERRORS:
        pass


def _access(camera: _core.Camera, name: str) -> str:
    mode = camera.access_mode(name)
    for text in ("RO", "WO", "RW"):
        if mode == getattr(_core.AccessMode, text):
            return text
    return "?"


def _value_text(camera: _core.Camera, info: FeatureInfo) -> str:
    if info.kind not in VALUE_KINDS:
        return ""
    value = read_value(camera, info)
    if info.kind == "Boolean":
        return "true" if value else "false"
    if info.kind == "Float":
        return f"{value:g}"
    return str(value)


_INT64 = (-(1 << 63), (1 << 63) - 1)
_DOUBLE = (-sys.float_info.max, sys.float_info.max)
_VALUE_WIDTH = 40


def _clip(text: str) -> str:
    return text if len(text) <= _VALUE_WIDTH else text[:_VALUE_WIDTH - 3] + "..."


# Why a value could not be read, in a few words for the table (get shows the
# whole message).
_REASONS = [
    ("chunk data", "<in chunk data>"), ("event data", "<in event data>"), ("timed out", "<no answer>"),
    ("device answered", "<refused by the device>"), ("not accessible", "<not readable>"),
    ("formula in", "<formula fails>"), ("dangling reference", "<broken description>"),
    ("circular reference", "<broken description>"), ("control was lost", "<control lost>"),
]


def _reason(error: Exception) -> str:
    text = str(error)
    if m := re.search(r"has no entry 'value (-?\d+)'", text):
        return f"<{m.group(1)}: no such entry>"
    return next((short for pattern, short in _REASONS if pattern in text), "<unreadable>")


def _range_text(camera: _core.Camera, info: FeatureInfo) -> str:
    """The values the feature takes, for features that can be written."""
    if info.kind == "Integer":
        low, high = camera.integer_bounds(info.name)
        if (low, high) == _INT64:
            return ""  # no bounds at all
        step = camera.integer_increment(info.name)
        return f"[{low}..{high}]" + (f" step {step}" if step != 1 else "")
    if info.kind == "Float":
        low, high = camera.float_bounds(info.name)
        if (low, high) == _DOUBLE:
            return ""
        return f"[{low:g}..{high:g}]"
    if info.kind == "Enumeration":
        return "{" + "|".join(info.available_entries()) + "}"
    return ""


def _table(rows: list[list[str]]) -> str:
    if not rows:
        return ""
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    return "\n".join("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in rows)


# ---- subcommands -----------------------------------------------------------------

def _discover(args: argparse.Namespace) -> int:
    try:
        devices = _core.discover(args.timeout, interface=args.interface, address=args.address)
    except _CAMERA_ERRORS as e:
        raise _Failure(f"discovery failed: {e}") from None
    fields = ["model", "serial", "ip", "mac", "user_defined_name", "manufacturer"]
    if args.json:
        print(json.dumps([{f: getattr(d, f) for f in fields} for d in devices], indent=2))
        return 0
    if not devices:
        print("no cameras found")
        return 0
    rows = [["MODEL", "SERIAL", "IP", "MAC", "USER NAME"]]
    rows += [[f"{d.manufacturer} {d.model}", d.serial, d.ip, d.mac, d.user_defined_name] for d in devices]
    print(_table(rows))
    return 0


# GVCP capability register bits, most significant first.
_CAPABILITIES = [
    (31, "user-defined name"), (30, "serial number"), (29, "heartbeat disable"), (28, "link speed"),
    (26, "manifest table"), (17, "scheduled action"), (6, "action"), (5, "pending ack"), (4, "event data"),
    (3, "event"), (2, "packet resend"),
    (1, "WRITEMEM"), (0, "concatenation"),
]


def _capability_text(word: int) -> str:
    names = [name for bit, name in _CAPABILITIES if word >> bit & 1]
    return f"0x{word:08x} " + (", ".join(names) if names else "none")


def _info(args: argparse.Namespace) -> int:
    camera = _connect(args.ip)
    try:
        d = camera.device_info()
        names = camera.feature_names()
        tops = camera.categories()
        listed = {f for top in tops for _, c in top.walk() for f in c.features}
        stats = camera.link_stats()
        link = camera._link_details() or {}
    except _CAMERA_ERRORS as e:
        raise _Failure(str(e)) from None
    finally:
        _disconnect(camera)
    rows = [
        ["Device", f"{d.manufacturer} {d.model}"],
        ["Serial", d.serial],
        ["Version", d.device_version],
        ["Maker info", d.manufacturer_info],
        ["User name", d.user_defined_name],
        ["MAC", d.mac],
        ["Address", f"{d.ip} mask {d.subnet_mask} gateway {d.gateway}"],
        ["GigE Vision", "{}.{}".format(*d.spec_version)],
        ["Capabilities", _capability_text(link["capability"]) if link else "-"],
        ["Description", f"{len(listed)} features in categories, {len(names)} nodes"],
        ["Source", link.get("description") or "-"],
        ["Link", repr(stats) if stats is not None else "-"],
    ]
    print(_table(rows))
    return 0


def _features(args: argparse.Namespace) -> int:
    camera = _connect(args.ip)
    try:
        tops = camera.categories()
        if args.category:
            found = [c for top in tops for _, c in top.walk() if c.name == args.category]
            if not found:
                raise _Failure(f"no category '{args.category}'")
            tops = found
        limit = Visibility.INVISIBLE if args.all else Visibility.EXPERT
        rows: list[list[str]] = []
        for top in tops:
            for depth, category in top.walk():
                if category.visibility > limit:
                    continue
                shown = []
                for name in category.features:
                    if args.pattern and not fnmatch.fnmatchcase(name.lower(), args.pattern.lower()):
                        continue
                    try:
                        info = camera.feature_info(name)
                    except _CAMERA_ERRORS as e:
                        shown.append(["  " * (depth + 1) + name, "?", "", _reason(e), "", ""])
                        continue
                    if info.visibility > limit or not (args.all or (info.implemented and info.available)):
                        continue
                    # Each column on its own: a value that cannot be read
                    # blanks only itself.
                    access, value, bounds = "?", "", ""
                    try:
                        access = _access(camera, name)
                    except _CAMERA_ERRORS:
                        pass
                    if access != "WO":
                        try:
                            value = _value_text(camera, info)
                        except _CAMERA_ERRORS as e:
                            value = _reason(e)
                    if access in ("RW", "WO"):
                        try:
                            bounds = _range_text(camera, info)
                        except _CAMERA_ERRORS:
                            pass
                    shown.append(["  " * (depth + 1) + name, info.kind, access, _clip(value), info.unit,
                                  bounds])
                if shown or not args.pattern:
                    rows.append(["  " * depth + category.name + "/", "", "", "", "", ""])
                    rows.extend(shown)
    finally:
        _disconnect(camera)
    print(_table(rows))
    return 0


def _get(args: argparse.Namespace) -> int:
    camera = _connect(args.ip)
    try:
        for name in args.names:
            try:
                info = camera.feature_info(name)
                if info.kind not in VALUE_KINDS:
                    raise _Failure(f"{name}: a {info.kind} has no value to read")
                text = _value_text(camera, info)
            except _CAMERA_ERRORS as e:
                raise _Failure(f"{name}: {e}") from None
            print(f"{name} = {text}{' ' + info.unit if info.unit else ''}")
    finally:
        _disconnect(camera)
    return 0


def _plan(camera: _core.Camera, name: str, text: str) -> tuple[str, object]:
    """What `name=text` will write, checked as far as it can be without
    writing: the feature exists, has a value of its kind that can be set
    now, the text parses, and the value passes the setter's own checks
    (bounds, increment, entry, string length). Errors name the feature."""
    try:
        info = camera.feature_info(name)
    except _CAMERA_ERRORS as e:
        raise _Failure(f"{name}: {e}") from None
    if info.kind == "Command":
        if text not in ("", "1", "execute"):
            raise _Failure(f"{name}: a command takes no value (use {name}=)")
        return info.kind, None
    if info.kind not in VALUE_KINDS:
        raise _Failure(f"{name}: a {info.kind} has no value to set")
    try:
        value = parse_value(info.kind, text)
        if info.kind == "Integer" and not _INT64[0] <= value <= _INT64[1]:
            raise ValueError("beyond 64 bits")
    except ValueError:
        raise _Failure(f"{name}: {text!r} is not a valid {info.kind} value") from None
    try:
        access = _access(camera, name)
    except _CAMERA_ERRORS as e:
        raise _Failure(f"{name}: {e}") from None
    if access == "RO":
        raise _Failure(f"{name} is read-only")
    if not (info.implemented and info.available):
        raise _Failure(f"{name} is not available now")
    if info.locked:
        raise _Failure(f"{name} is locked now")
    if info.kind == "Enumeration" and value in (e.name for e in info.entries) \
            and value not in info.available_entries():
        raise _Failure(f"{name}: entry {value!r} is not available now")
    if info.kind != "Boolean":
        try:
            camera._check_write(name, value)
        except _CAMERA_ERRORS as e:
            raise _Failure(f"{name}: {e}") from None
    return info.kind, value


def _set(args: argparse.Namespace) -> int:
    assignments = []
    for item in args.assignments:
        name, sep, value = item.partition("=")
        if not sep or not name.strip():
            raise _Usage(f"expected NAME=VALUE, got {item!r}")
        assignments.append((name.strip(), value.strip()))
    camera = _connect(args.ip)
    try:
        # Every assignment is checked against the camera as it is now before
        # any is written, so one bad value leaves the camera untouched.
        plans = [(name, *_plan(camera, name, text)) for name, text in assignments]
        done: list[str] = []
        for name, kind, value in plans:
            try:
                if kind == "Command":
                    camera.execute(name)
                else:
                    write_value(camera, kind, name, value)
            except _CAMERA_ERRORS as e:
                already = f" ({', '.join(done)} already set)" if done else ""
                raise _Failure(f"{name}: {e}{already}") from None
            done.append(name)
    finally:
        _disconnect(camera)
    return 0


def _settings_file(args: argparse.Namespace, verb: str, errors: tuple[type[Exception], ...],
                   apply: Callable[[_core.Camera, str], object]) -> object:
    """Runs `apply(camera, args.file)` on the camera at args.ip; an error of
    the given kinds or of the file itself (which it would `verb`) fails."""
    camera = _connect(args.ip)
    try:
        return apply(camera, args.file)
    except errors as e:
        raise _Failure(str(e)) from None
    except OSError as e:
        raise _Failure(f"cannot {verb} {args.file}: {e.strerror}") from None
    finally:
        _disconnect(camera)


def _save(args: argparse.Namespace) -> int:
    skipped: list[SettingsIssue] = []
    count = _settings_file(args, "write", _CAMERA_ERRORS, lambda camera, path: save(camera, path, skipped))
    print(f"saved {count} settings to {args.file}")
    # Saved all the same; what was left out is noted in the file too.
    for issue in skipped:
        print(f"{args.file}:{issue.line}: {issue.name}: {issue.reason}", file=sys.stderr)
    return 0


def _load(args: argparse.Namespace) -> int:
    issues = _settings_file(args, "read", (ValueError,), lambda camera, path: camera.load_settings(path))
    for issue in issues:
        print(f"{args.file}:{issue.line}: {issue.name}: {issue.reason}", file=sys.stderr)
    return 1 if issues else 0


# ---- images ----------------------------------------------------------------------

_IMAGE_SUFFIXES = (".png", ".tif", ".tiff", ".npy")


def _write_image(frame: _core.Frame, path: str) -> None:
    """Writes the frame's pixels: .npy as the array itself, PNG and TIFF
    through Pillow (8-bit and 16-bit grey, 8-bit colour)."""
    import numpy as np

    try:
        pixels = frame.array()
    except ValueError as e:
        raise _Failure(f"frame {frame.frame_id}: {e}") from None
    if path.lower().endswith(".npy"):
        np.save(path, pixels)
        return
    if pixels.ndim == 3 and pixels.shape[2] != 3:
        raise _Failure(f"{frame.pixel_format} cannot be written as an image file; use .npy")
    if frame.pixel_format == "BGR8":
        pixels = pixels[..., ::-1]
    pixels = _full_range(pixels, frame.pixel_format)
    try:
        from PIL import Image
    except ImportError:
        raise _Failure("writing PNG or TIFF needs Pillow (pip install pillow); .npy needs nothing") from None
    Image.fromarray(np.ascontiguousarray(pixels)).save(path)


def _full_range(pixels, pixel_format: str):
    """10-, 12- and 14-bit pixels in 16-bit words stretched to the full
    16-bit range (0 stays 0, the largest value becomes 65535): viewers show a
    16-bit image by its full range, where 4095 is near black."""
    import numpy as np

    m = re.match(r"(?:Mono|Bayer[A-Z]{2})(\d+)", pixel_format)
    bits = int(m.group(1)) if m else 16
    if pixels.dtype != np.uint16 or not 8 < bits < 16:
        return pixels
    top = (1 << bits) - 1
    wide = np.minimum(pixels.astype(np.uint32), top)
    return ((wide * 65535 + top // 2) // top).astype(np.uint16)


def _image_path(path: str) -> str:
    if not path.lower().endswith(_IMAGE_SUFFIXES):
        raise _Usage(f"the output file must end in {', '.join(_IMAGE_SUFFIXES)}: {path!r}")
    return path


def _snap(args: argparse.Namespace) -> int:
    path = _image_path(args.output)
    camera = _connect(args.ip)
    try:
        try:
            frame = camera.snap(args.timeout, packet_size=args.packet_size)
        except _CAMERA_ERRORS as e:
            raise _Failure(str(e)) from None
        if not frame.is_complete:
            raise _Failure(f"{frame!r} is incomplete; nothing written")
        try:
            _write_image(frame, path)
        except OSError as e:
            raise _Failure(f"cannot write {path}: {e.strerror or e}") from None
    finally:
        _disconnect(camera)
    print(f"{frame!r} -> {path}")
    return 0


def _status(stats, elapsed: float, frames: float, megabytes: float) -> str:
    return (f"{elapsed:6.1f} s  {frames:7.1f} frames/s  {megabytes:8.2f} MB/s  "
            f"complete {stats.completed_frames}  failed {stats.failed_frames}  "
            f"resent {stats.resent_packets}  kernel drops {stats.kernel_drops}")


def _stream(args: argparse.Namespace) -> int:
    if (args.save is None) != (args.every is None):
        raise _Usage("--save and --every go together")
    if args.every is not None and args.every < 1:
        raise _Usage("--every must be at least 1")
    if not 0 < args.seconds < math.inf:
        raise _Usage("--seconds must be a positive number of seconds")
    if args.save is not None:
        # Found out before the stream starts, not at the first frame.
        try:
            os.makedirs(args.save, exist_ok=True)
        except OSError as e:
            raise _Failure(f"cannot create {args.save}: {e.strerror or e}") from None
        if not os.access(args.save, os.W_OK | os.X_OK):
            raise _Failure(f"cannot write to {args.save}: permission denied")
    camera = _connect(args.ip)
    saved = received = 0
    try:
        try:
            acq = camera.start_acquisition(packet_size=args.packet_size)
        except _CAMERA_ERRORS as e:
            raise _Failure(str(e)) from None
        with acq:
            packet_size = acq.packet_size()
            start = last_time = time.monotonic()
            last = acq.stats()
            # One plain line per second: readable live and in a log file alike.
            try:
                while (now := time.monotonic()) - start < args.seconds:
                    frame = acq.wait_for(min(0.2, max(start + args.seconds - now, 0.0)))
                    if frame is not None:
                        received += 1
                        if args.every and frame.is_complete and received % args.every == 0:
                            target = os.path.join(args.save, f"frame-{frame.frame_id:08d}.npy")
                            try:
                                _write_image(frame, target)
                            except OSError as e:
                                raise _Failure(f"cannot write {target}: {e.strerror or e}") from None
                            saved += 1
                    if time.monotonic() - last_time >= 1.0:
                        stats, t = acq.stats(), time.monotonic()
                        span = t - last_time
                        print(_status(stats, t - start, (stats.completed_frames - last.completed_frames) / span,
                                      (stats.bytes - last.bytes) / span / 1e6), flush=True)
                        last, last_time = stats, t
            except KeyboardInterrupt:
                pass  # Ctrl-C ends the stream early; the summary still follows
            stats, elapsed = acq.stats(), time.monotonic() - start
    finally:
        _disconnect(camera)
    print(f"summary: {_status(stats, elapsed, stats.completed_frames / elapsed, stats.bytes / elapsed / 1e6)}")
    print(f"         packet size {packet_size}, {received} frames taken"
          + (f", {saved} saved to {args.save}" if args.save else ""))
    return 0


def _view(args: argparse.Namespace) -> int:
    try:
        from . import viewer
    except ImportError as e:
        raise _Failure(str(e)) from None
    camera = _connect(args.ip)
    try:
        viewer.view(camera, bind=args.bind, port=args.port, browser=not args.no_browser,
                    packet_size=args.packet_size)
    except OSError as e:
        raise _Failure(f"cannot serve the page on {args.bind}:{args.port}: {e.strerror or e}") from None
    except ValueError as e:  # the acquisition did not start
        raise _Failure(str(e)) from None
    finally:
        _disconnect(camera)
    return 0


# ---- entry point -----------------------------------------------------------------

class _ArgumentParser(argparse.ArgumentParser):
    """Reports a usage error in one line, with the usage in it."""

    def error(self, message: str):
        usage = " ".join(self.format_usage().split())
        self.exit(2, f"{self.prog}: {message} ({usage})\n")


def _packet_size(text: str) -> int:
    """A GVSP packet size: the stream channel register holds 16 bits."""
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 1 <= value <= 0xFFFF:
        raise argparse.ArgumentTypeError(f"{value} is not a packet size (1 to 65535 bytes)")
    return value


def _tcp_port(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= value <= 0xFFFF:
        raise argparse.ArgumentTypeError(f"{value} is not a TCP port (0 to 65535)")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 <= value < math.inf:
        raise argparse.ArgumentTypeError(f"{text} is not a number of seconds (0 or more, finite)")
    return value


def _count(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{value} is not a count (1 or more)")
    return value


# One line of description and the examples of each subcommand.
_HELP = {
    "discover": ("list the cameras that answer discovery",
                 ["oculane discover", "oculane discover --interface eth1 --timeout 2",
                  "oculane discover --address 192.168.1.10 --json"]),
    "info": ("identity, addressing and description of one camera", ["oculane info 192.168.1.10"]),
    "features": ("the feature tree with values, units and ranges",
                 ["oculane features 192.168.1.10", "oculane features 192.168.1.10 'Expo*' --all",
                  "oculane features --category ImageFormatControl 192.168.1.10"]),
    "get": ("print feature values", ["oculane get 192.168.1.10 Width Height PixelFormat"]),
    "set": ("set feature values; every assignment is checked before any is written",
            ["oculane set 192.168.1.10 Width=640 PixelFormat=Mono12 ExposureTime=2500",
             "oculane set 192.168.1.10 ReverseX=true DeviceUserID='left cam'",
             "oculane set 192.168.1.10 AcquisitionStart=    (executes a command)"]),
    "save": ("write the camera's settings to a file",
             ["oculane save 192.168.1.10 cam.txt"]),
    "load": ("apply a settings file", ["oculane load 192.168.1.10 cam.txt"]),
    "snap": ("take one frame and write it to a file",
             ["oculane snap 192.168.1.10 -o frame.png", "oculane snap -o raw.npy --timeout 10 192.168.1.10"]),
    "stream": ("stream for a while, with a status line every second",
               ["oculane stream 192.168.1.10", "oculane stream 192.168.1.10 --seconds 60 --packet-size 8000",
                "oculane stream 192.168.1.10 --save frames --every 10"]),
    "view": ("show the camera live in the browser: image, counters, features, events",
             ["oculane view 192.168.1.10", "oculane view 192.168.1.10 --port 8080 --no-browser",
              "oculane view 192.168.1.10 --bind 0.0.0.0 --port 8080    (reachable from other machines)"]),
}


def _subparser(sub, name: str) -> argparse.ArgumentParser:
    line, examples = _HELP[name]
    return sub.add_parser(name, help=line, description=line[0].upper() + line[1:] + ".",
                          epilog="examples:\n" + "\n".join("  " + e for e in examples),
                          formatter_class=argparse.RawDescriptionHelpFormatter)


def _parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    p = _ArgumentParser(prog="oculane", description="GigE Vision cameras from the command line.",
                                epilog="oculane COMMAND --help tells more about each.")
    from . import __version__

    p.add_argument("--version", action="version", version=f"oculane {__version__}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    d = _subparser(sub, "discover")
    d.add_argument("--interface", metavar="NAME|ADDR", help="probe on this interface only")
    d.add_argument("--address", metavar="IP", help="ask this one address instead of broadcasting")
    d.add_argument("--timeout", type=_seconds, default=1.0, metavar="S", help="seconds to wait (default 1)")
    d.add_argument("--json", action="store_true", help="print JSON instead of a table")
    d.set_defaults(run=_discover)

    i = _subparser(sub, "info")
    i.add_argument("ip")
    i.set_defaults(run=_info)

    f = _subparser(sub, "features")
    f.add_argument("ip")
    f.add_argument("pattern", nargs="?", help="only features whose name matches (shell wildcards, any case)")
    f.add_argument("--category", metavar="NAME", help="only this category")
    f.add_argument("--all", action="store_true", help="also Guru, Invisible and unavailable features")
    f.set_defaults(run=_features)

    g = _subparser(sub, "get")
    g.add_argument("ip")
    g.add_argument("names", nargs="+", metavar="NAME")
    g.set_defaults(run=_get)

    s = _subparser(sub, "set")
    s.add_argument("ip")
    s.add_argument("assignments", nargs="+", metavar="NAME=VALUE")
    s.set_defaults(run=_set)

    sv = _subparser(sub, "save")
    sv.add_argument("ip")
    sv.add_argument("file")
    sv.set_defaults(run=_save)

    ld = _subparser(sub, "load")
    ld.add_argument("ip")
    ld.add_argument("file")
    ld.set_defaults(run=_load)

    sn = _subparser(sub, "snap")
    sn.add_argument("ip")
    sn.add_argument("-o", "--output", required=True, metavar="FILE", help="a .png, .tif/.tiff or .npy file")
    sn.add_argument("--timeout", type=_seconds, default=5.0, metavar="S", help="seconds to wait (default 5)")
    sn.add_argument("--packet-size", type=_packet_size, metavar="N", help="GVSP packet size (default: negotiated)")
    sn.set_defaults(run=_snap)

    st = _subparser(sub, "stream")
    st.add_argument("ip")
    st.add_argument("--seconds", type=float, default=5.0, metavar="N", help="how long (default 5)")
    st.add_argument("--packet-size", type=_packet_size, metavar="N", help="GVSP packet size (default: negotiated)")
    st.add_argument("--save", metavar="DIR", help="write every N-th complete frame here as .npy")
    st.add_argument("--every", type=_count, metavar="N", help="with --save: which frames")
    st.set_defaults(run=_stream)

    v = _subparser(sub, "view")
    v.add_argument("ip")
    v.add_argument("--port", type=_tcp_port, default=0, metavar="N", help="TCP port of the page (default: a free one)")
    v.add_argument("--bind", default="127.0.0.1", metavar="ADDR",
                   help="address to serve the page on (default 127.0.0.1, this machine only)")
    v.add_argument("--no-browser", action="store_true", help="only print the URL")
    v.add_argument("--packet-size", type=_packet_size, metavar="N", help="GVSP packet size (default: negotiated)")
    v.set_defaults(run=_view)

    sim = sub.add_parser("sim", help="run a virtual camera (as python -m oculane.sim)", add_help=False)
    sim.add_argument("sim_args", nargs=argparse.REMAINDER)
    sim.set_defaults(run=None)
    return p, dict(sub.choices)


def _parse(argv: list[str]) -> argparse.Namespace:
    """Parses the command line. Each subcommand's own arguments are parsed
    intermixed, so options may stand before, between or after positionals
    (`features IP --all 'Expo*'`); the top level only picks the subcommand."""
    parser, subparsers = _parser()
    command = argv[0] if argv else None
    if command not in subparsers:
        return parser.parse_args(argv)  # --help, no command or an unknown one
    args = subparsers[command].parse_intermixed_args(argv[1:])
    args.command, args.parser = command, subparsers[command]
    return args


def main(argv: Sequence[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    # Everything after "sim" belongs to the virtual camera's own parser.
    if argv[:1] == ["sim"]:
        from . import sim

        return sim.main(argv[1:])
    args = _parse(argv)
    try:
        return args.run(args)
    except _Usage as e:
        args.parser.error(str(e))
    except _Failure as e:
        print(f"oculane {args.command}: {e}", file=sys.stderr)
        return 1
    except _CAMERA_ERRORS as e:
        # A camera or feature error on a path without its own wording.
        print(f"oculane {args.command}: {e}", file=sys.stderr)
        return 1
    except (ValueError, TypeError, OverflowError) as e:
        # Arguments the library refuses before any traffic (an address that
        # is not one, a negative timeout): a usage error.
        print(f"oculane {args.command}: {e}".splitlines()[0], file=sys.stderr)
        return 2
    except OSError as e:
        print(f"oculane {args.command}: {e.strerror or e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except Exception as e:  # noqa: BLE001
        # Whatever else goes wrong is still one line, never a traceback; the
        # exception's type tells a bug report what happened.
        print(f"oculane {args.command}: unexpected {type(e).__name__}: {e}".splitlines()[0], file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
