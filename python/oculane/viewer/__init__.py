"""A live view of one camera in the browser: `oculane view IP` on the command
line, `oculane.view(camera)` from Python.

The page is served by the library itself (from 127.0.0.1 by default), so
it works the same on a desktop, through SSH port forwarding and against the
virtual camera. It needs the `viewer` extra: ``pip install 'oculane[viewer]'``.
"""

from __future__ import annotations

import ipaddress

from .. import _oculane_core as _core

try:
    from ._server import Viewer, open_browser
except ImportError as e:  # aiohttp or Pillow missing
    raise ImportError(f"the viewer needs its extra: pip install 'oculane[viewer]' ({e})") from e

__all__ = ["Viewer", "view"]


def _loopback(host: str) -> bool:
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return host == "localhost"


def view(camera: _core.Camera, *, bind: str = "127.0.0.1", port: int = 0, browser: bool = True,
         block: bool = True, acquire: bool = True, packet_size: int | None = None) -> Viewer:
    """Shows a connected camera in the browser (see `Viewer`). It starts the
    acquisition, serves the page on `bind`:`port` (0: a free port), prints
    its URL and opens it in the desktop's browser when there is one and
    `browser` is true. With `block` (the default) it serves until Ctrl-C and
    returns the closed viewer; otherwise it returns the running one at once,
    to be closed by the caller."""
    viewer = Viewer(camera, bind=bind, port=port, acquire=acquire, packet_size=packet_size).start()
    print(f"oculane viewer: {viewer.url}" + ("  (Ctrl-C ends it)" if block else ""), flush=True)
    if not _loopback(bind):
        # The page has no login: whoever reaches it can change the camera.
        print(f"oculane viewer: anyone who can reach {bind} on that port can see and change this camera",
              flush=True)
    if browser:
        open_browser(viewer.url)
    if not block:
        return viewer
    try:
        viewer.wait()
    except KeyboardInterrupt:
        pass
    finally:
        viewer.close()
    return viewer
