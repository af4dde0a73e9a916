"""The viewer's server: a web page with the camera's live image, its stream
counters, its features and its events.

Threads, and what each may do:
- the server thread runs the asyncio loop (HTTP, WebSockets); it never
  calls the camera and never touches a frame's pixels;
- the camera thread (one worker) makes every camera call: features,
  writes, starting and stopping the acquisition, counters, events;
- the stream thread takes the newest frame from the acquisition and puts it
  in the one-frame slot; nothing else, so the stream never waits for us;
- the encoder thread turns the slot's frame into a JPEG when a page has
  acknowledged the previous one; frames that came in between are skipped.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import json
import struct
import threading
import time
import urllib.parse
import webbrowser
from importlib import resources
from typing import Any, Callable

from aiohttp import WSMsgType, web

from .. import _oculane_core as _core
from . import _frames, _tree

_ERRORS = (_core.CameraError, _core.GenicamError)
_STATIC = {"index.html": "text/html", "viewer.js": "text/javascript", "viewer.css": "text/css"}
# How often the page hears the counters (and the events since last time).
_STATUS_PERIOD = 0.5
# Events kept for a page that connects later.
_EVENT_HISTORY = 100
# Images a page may have on their way at once: with two, the next one is
# encoded and sent while the page still decodes the last.
_IN_FLIGHT = 2


class _Page:
    """One connected page. `credit` (guarded by the live slot's lock) is how
    many more images it can take now: each image it shows gives one back."""

    def __init__(self, ws: web.WebSocketResponse, loop: asyncio.AbstractEventLoop) -> None:
        self.ws = ws
        self.loop = loop
        self.credit = 0

    def send_soon(self, payload: bytes | str) -> None:
        """Queues a message from any thread; a page or loop that has gone
        away is not an error."""
        try:
            self.loop.call_soon_threadsafe(self._send, payload)
        except RuntimeError:
            pass  # the loop is closed

    def _send(self, payload: bytes | str) -> None:
        if self.ws.closed:
            return
        send = self.ws.send_bytes(payload) if isinstance(payload, bytes) else self.ws.send_str(payload)
        asyncio.ensure_future(send).add_done_callback(lambda f: f.cancelled() or f.exception())


class _Live:
    """The newest frame of the stream and the two threads around it."""

    def __init__(self) -> None:
        self._cond = threading.Condition()
        # Guarded by _cond:
        self._frame: _core.Frame | None = None
        self._seq = 0
        self._pages: set[_Page] = set()
        self._closing = False
        self.taken = 0  # frames the stream thread took, shown or not
        self.shown = 0  # images sent to pages
        self.stream_error: str | None = None
        self._consumer: threading.Thread | None = None
        self._consumer_stop = threading.Event()
        self._encoder = threading.Thread(target=self._encode_loop, name="oculane-viewer-encode", daemon=True)
        self._encoder.start()

    # ---- the stream side -------------------------------------------------

    def attach(self, source: _frames.FrameSource) -> None:
        """Starts taking frames from a running acquisition."""
        self.detach()
        self._consumer_stop = threading.Event()
        self.stream_error = None
        self._consumer = threading.Thread(target=self._consume, args=(source, self._consumer_stop),
                                          name="oculane-viewer-stream", daemon=True)
        self._consumer.start()

    def detach(self) -> None:
        """Stops taking frames; the last one stays in the slot for snapshots."""
        if self._consumer is not None:
            self._consumer_stop.set()
            self._consumer.join()
            self._consumer = None

    def _consume(self, source: _frames.FrameSource, stop: threading.Event) -> None:
        while not stop.is_set():
            try:
                frame, count = _frames.newest_frame(source, 0.1)
            except (*_ERRORS, ValueError) as e:
                self.stream_error = str(e)  # the camera was lost; the page says so
                return
            with self._cond:
                self.taken += count
                if frame is None:
                    continue
                # The older frame is released after the lock, by `frame`.
                self._frame, frame = frame, self._frame
                self._seq += 1
                self._cond.notify_all()
            del frame

    def latest(self) -> _core.Frame | None:
        """The newest frame taken, also after the stream stopped."""
        with self._cond:
            return self._frame

    # ---- the page side ---------------------------------------------------

    def add(self, page: _Page) -> None:
        with self._cond:
            self._pages.add(page)

    def remove(self, page: _Page) -> None:
        with self._cond:
            self._pages.discard(page)

    def pages(self) -> list[_Page]:
        with self._cond:
            return list(self._pages)

    def ready(self, page: _Page) -> None:
        """The page showed an image (or is new): a new frame may go to it."""
        with self._cond:
            page.credit = min(page.credit + 1, _IN_FLIGHT)
            self._cond.notify_all()

    def _encode_loop(self) -> None:
        last = 0
        while True:
            with self._cond:
                while not self._closing and (self._seq == last or not any(p.credit for p in self._pages)):
                    self._cond.wait()
                if self._closing:
                    return
                frame, last = self._frame, self._seq
                pages = [p for p in self._pages if p.credit]
                for page in pages:
                    page.credit -= 1
            payload = self._render(frame)
            del frame
            with self._cond:
                self.shown += 1
            for page in pages:
                page.send_soon(payload)

    @staticmethod
    def _render(frame: _core.Frame) -> bytes:
        """One image message: the length of a JSON header, the header, the
        JPEG (none when the format cannot be shown)."""
        meta: dict[str, Any] = {"frame_id": frame.frame_id, "width": frame.width, "height": frame.height,
                                "pixel_format": frame.pixel_format}
        image = b""
        try:
            pixels = _frames.display_pixels(frame)
            meta["histogram"] = _frames.histogram(pixels)
            image = _frames.jpeg(pixels)
        except ValueError as e:
            meta["error"] = str(e)
        head = json.dumps(meta).encode()
        return struct.pack(">I", len(head)) + head + image

    def close(self) -> None:
        self.detach()
        with self._cond:
            self._closing = True
            self._cond.notify_all()
        self._encoder.join()
        with self._cond:
            self._frame = None


class Viewer:
    """A web page that shows one connected camera live: its image (the newest
    frame only), histogram and stream counters, its features by category,
    editable where their access mode allows, start and stop of the
    acquisition, snapshots and the camera's events.

    `Viewer(camera).start()` serves the page on `bind`:`port` (port 0 picks a
    free one) from a thread of its own and returns at once; `url` tells
    where. `close()` (or the end of a `with` block) stops the acquisition it
    started and the server. `oculane.view()` is the short form.
    """

    def __init__(self, camera: _core.Camera, *, bind: str = "127.0.0.1", port: int = 0, acquire: bool = True,
                 packet_size: int | None = None) -> None:
        self._camera = camera
        self._bind = bind
        self._port = port
        self._acquire = acquire
        self._packet_size = packet_size
        self._live = _Live()
        self._camera_thread = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="oculane-viewer-camera")
        self._acq: _core.Acquisition | None = None  # only the camera thread touches it
        self._acq_error: str | None = None
        self._events_source: Any = None
        self._events: list[dict[str, Any]] = []
        self._event_count = 0
        self._loop: asyncio.AbstractEventLoop | None = None
        self._stop: asyncio.Event | None = None
        self._thread: threading.Thread | None = None
        self._url: str | None = None
        self._closed = threading.Event()
        self._rates = _Rates()

    # ---- lifecycle ------------------------------------------------------------

    @property
    def url(self) -> str:
        """Where the page is, "http://127.0.0.1:PORT/"; ValueError before `start()`."""
        if self._url is None:
            raise ValueError("the viewer is not started")
        return self._url

    def start(self) -> Viewer:
        """Starts the acquisition (unless `acquire=False`) and serves the page;
        returns once the page can be loaded. OSError when the address cannot
        be bound."""
        if self._thread is not None:
            raise ValueError("the viewer is already started")
        self._call(self._open_events)
        if self._acquire:
            error = self._call(self._start_acquisition)
            if error:
                self._shut_down_camera_side()
                raise ValueError(error)
        started: concurrent.futures.Future[str] = concurrent.futures.Future()
        self._thread = threading.Thread(target=self._serve_thread, args=(started,), name="oculane-viewer-http",
                                        daemon=True)
        self._thread.start()
        try:
            self._url = started.result()
        except BaseException:
            self._thread.join()
            self._shut_down_camera_side()
            raise
        return self

    def close(self) -> None:
        """Stops the server, the acquisition the viewer runs and its threads.
        Idempotent; the camera stays connected."""
        if self._closed.is_set():
            return
        if self._loop is not None and self._stop is not None and self._thread is not None:
            try:
                self._loop.call_soon_threadsafe(self._stop.set)
            except RuntimeError:
                pass  # its loop has ended already
            self._thread.join()
        self._shut_down_camera_side()

    def wait(self, timeout: float | None = None) -> bool:
        """Waits until the viewer is closed; False when `timeout` seconds
        passed first. Ctrl-C ends the wait (KeyboardInterrupt)."""
        deadline = None if timeout is None else time.monotonic() + timeout
        # In slices, so that Ctrl-C gets through.
        while not self._closed.wait(0.2):
            if deadline is not None and time.monotonic() >= deadline:
                return False
        return True

    def __enter__(self) -> Viewer:
        """Starts the viewer unless it runs already."""
        return self if self._thread is not None else self.start()

    def __exit__(self, *args: object) -> None:
        """`close()`."""
        self.close()

    def _shut_down_camera_side(self) -> None:
        self._live.detach()
        try:
            self._call(self._stop_acquisition)
        finally:
            self._camera_thread.shutdown()
            self._live.close()
            self._closed.set()

    def _call(self, fn: Callable[..., Any], *args: Any) -> Any:
        """Runs `fn` on the camera thread and waits for it."""
        return self._camera_thread.submit(fn, *args).result()

    # ---- camera thread ---------------------------------------------------------

    def _start_acquisition(self) -> str | None:
        if self._acq is not None:
            return None
        try:
            self._acq = self._camera.start_acquisition(packet_size=self._packet_size)
        except (*_ERRORS, ValueError) as e:
            self._acq_error = str(e)
            return self._acq_error
        self._acq_error = None
        self._rates.reset()
        self._live.attach(self._acq)
        return None

    def _stop_acquisition(self) -> str | None:
        acq, self._acq = self._acq, None
        if acq is None:
            return None
        self._live.detach()
        try:
            acq.stop()
        except _ERRORS as e:
            return str(e)
        return None

    def _open_events(self) -> None:
        # A camera without a message channel has no events to show.
        subscribe = getattr(self._camera, "events", None)
        if callable(subscribe):
            try:
                self._events_source = subscribe(capacity=256)
            except (*_ERRORS, TypeError, ValueError):
                self._events_source = None

    def _new_events(self) -> list[dict[str, Any]]:
        source, found = self._events_source, []
        while source is not None and len(found) < _EVENT_HISTORY:
            try:
                event = source.try_recv()
            except (*_ERRORS, ValueError):
                break
            if event is None:
                break
            self._event_count += 1
            found.append(_event_row(event, self._event_count))
        self._events = (self._events + found)[-_EVENT_HISTORY:]
        return found

    def status(self) -> dict[str, Any]:
        """What the page's counters show, now: whether the acquisition runs,
        its packet size and stream counters (completed, failed, resent,
        kernel_drops, dropped, bytes), and the frames the viewer took from
        the stream (`taken`) and sent to pages as images (`shown`)."""
        return self._call(self._counters)

    def _status(self) -> dict[str, Any]:
        status = self._counters()
        status.update(self._rates.update(status))
        return status

    def _counters(self) -> dict[str, Any]:
        acq = self._acq
        status: dict[str, Any] = {"type": "status", "acquiring": acq is not None,
                                  "error": self._live.stream_error or self._acq_error,
                                  "events_available": self._events_source is not None,
                                  "shown": self._live.shown, "taken": self._live.taken}
        if acq is not None:
            try:
                stats = acq.stats()
                status.update(packet_size=acq.packet_size(), completed=stats.completed_frames,
                              failed=stats.failed_frames, resent=stats.resent_packets,
                              kernel_drops=stats.kernel_drops, dropped=stats.frames_dropped,
                              bytes=stats.bytes)
            except (*_ERRORS, ValueError):
                pass
        return status

    def _device(self) -> dict[str, str]:
        try:
            info = self._camera.device_info()
        except _ERRORS:
            return {}
        return {"model": f"{info.manufacturer} {info.model}", "serial": info.serial, "ip": info.ip}

    # ---- server thread ---------------------------------------------------------

    def _serve_thread(self, started: concurrent.futures.Future[str]) -> None:
        try:
            asyncio.run(self._serve(started))
        except BaseException as e:  # noqa: BLE001  (handed to start())
            if not started.done():
                started.set_exception(e)

    async def _serve(self, started: concurrent.futures.Future[str]) -> None:
        self._loop = asyncio.get_running_loop()
        self._stop = asyncio.Event()
        app = web.Application()
        app.add_routes([
            web.get("/", self._static), web.get("/static/{name}", self._static), web.get("/ws", self._socket),
            web.get("/api/features", self._features), web.post("/api/features/{name}", self._write),
            web.post("/api/acquisition", self._acquisition), web.get("/snapshot.{ext:png|npy}", self._snapshot),
        ])
        runner = web.AppRunner(app, handle_signals=False, access_log=None)
        await runner.setup()
        try:
            site = web.TCPSite(runner, self._bind, self._port)
            await site.start()
            host, port = runner.addresses[0][:2]
            shown = "127.0.0.1" if host in ("0.0.0.0", "") else host
            shown = f"[{shown}]" if ":" in shown else shown
            started.set_result(f"http://{shown}:{port}/")
            ticker = asyncio.ensure_future(self._tick())
            await self._stop.wait()
            ticker.cancel()
            for page in self._live.pages():
                await page.ws.close(code=1001, message=b"viewer closed")
        finally:
            await runner.cleanup()

    async def _on_camera(self, fn: Callable[..., Any], *args: Any) -> Any:
        assert self._loop is not None
        return await self._loop.run_in_executor(self._camera_thread, fn, *args)

    async def _tick(self) -> None:
        """Counters and new events to every page, twice a second."""
        while True:
            status = await self._on_camera(self._status)
            events = await self._on_camera(self._new_events)
            message = json.dumps(status)
            extra = json.dumps({"type": "events", "items": events}) if events else None
            for page in self._live.pages():
                page.send_soon(message)
                if extra:
                    page.send_soon(extra)
            await asyncio.sleep(_STATUS_PERIOD)

    async def _static(self, request: web.Request) -> web.Response:
        name = request.match_info.get("name", "index.html")
        if name not in _STATIC:
            raise web.HTTPNotFound()
        body = resources.files(__package__).joinpath("static", name).read_bytes()
        return web.Response(body=body, content_type=_STATIC[name], headers={"Cache-Control": "no-cache"})

    async def _socket(self, request: web.Request) -> web.WebSocketResponse:
        _same_origin(request)
        ws = web.WebSocketResponse(heartbeat=20)
        await ws.prepare(request)
        assert self._loop is not None
        page = _Page(ws, self._loop)
        self._live.add(page)
        try:
            hello = {"type": "hello", "device": await self._on_camera(self._device), "events": self._events}
            await ws.send_str(json.dumps(hello))
            await ws.send_str(json.dumps(await self._on_camera(self._counters)))
            async for message in ws:
                if message.type == WSMsgType.TEXT and message.data == "ack":
                    self._live.ready(page)
        finally:
            self._live.remove(page)
        return ws

    async def _features(self, request: web.Request) -> web.Response:
        return web.json_response(await self._on_camera(_tree.feature_tree, self._camera))

    async def _write(self, request: web.Request) -> web.Response:
        body = await _json_object(request)
        name = request.match_info["name"]
        error = await self._on_camera(_tree.write, self._camera, name, body.get("value"))
        # Every value is read again: a write may change others (a width
        # changes the payload size, a selector the selected feature).
        return web.json_response({"error": error, "tree": await self._on_camera(_tree.feature_tree, self._camera)})

    async def _acquisition(self, request: web.Request) -> web.Response:
        body = await _json_object(request)
        change = self._start_acquisition if body.get("run") else self._stop_acquisition
        error = await self._on_camera(change)
        return web.json_response({"error": error, "status": await self._on_camera(self._counters)})

    async def _snapshot(self, request: web.Request) -> web.Response:
        frame = self._live.latest()
        if frame is None:
            raise web.HTTPNotFound(text="no frame yet")
        ext = request.match_info["ext"]
        encode = _frames.png if ext == "png" else _frames.npy
        assert self._loop is not None
        try:
            body = await self._loop.run_in_executor(None, encode, frame)
        except ValueError as e:
            raise web.HTTPUnprocessableEntity(text=str(e)) from None
        name = f"frame-{frame.frame_id}.{ext}"
        return web.Response(body=body, content_type="image/png" if ext == "png" else "application/octet-stream",
                            headers={"Content-Disposition": f'attachment; filename="{name}"'})


def _same_origin(request: web.Request) -> None:
    """Refuses requests made by pages of other sites, which a browser would
    otherwise let reach this one (WebSockets and plain POSTs are not held
    back by the browser's cross-origin rules)."""
    origin = request.headers.get("Origin")
    if origin is not None and urllib.parse.urlsplit(origin).netloc != request.host:
        raise web.HTTPForbidden(text="requests from other sites are refused")


async def _json_object(request: web.Request) -> dict[str, Any]:
    _same_origin(request)
    # A JSON content type cannot be sent across sites without the browser
    # asking first, which this server never grants.
    if request.content_type != "application/json":
        raise web.HTTPUnsupportedMediaType(text="expected application/json")
    try:
        body = await request.json()
    except (json.JSONDecodeError, UnicodeDecodeError):
        body = None
    if not isinstance(body, dict):
        raise web.HTTPBadRequest(text="expected a JSON object")
    return body


class _Rates:
    """Frames and bytes per second from counters taken one after another."""

    def __init__(self) -> None:
        self._last: tuple[float, int, int, int] | None = None

    def reset(self) -> None:
        self._last = None

    def update(self, status: dict[str, Any]) -> dict[str, float]:
        now = time.monotonic()
        counts = (status.get("completed", 0), status.get("bytes", 0), status["shown"])
        rates = {"fps": 0.0, "mbps": 0.0, "shown_fps": 0.0}
        if self._last is not None and status["acquiring"]:
            span = now - self._last[0]
            if span > 0:
                rates = {"fps": (counts[0] - self._last[1]) / span, "mbps": (counts[1] - self._last[2]) / span / 1e6,
                         "shown_fps": (counts[2] - self._last[3]) / span}
        self._last = (now, *counts)
        return rates


def _event_row(event: Any, number: int) -> dict[str, Any]:
    """What the events panel shows of one event record."""
    name = getattr(event, "name", None)
    ident = getattr(event, "id", None)
    try:
        # The event's data features, read from its own bytes (no device traffic).
        values = {k: str(v) for k, v in event.values().items()}
    except (*_ERRORS, AttributeError, ValueError):
        values = {}
    return {"n": number, "time": time.strftime("%H:%M:%S"),
            "name": name or (f"0x{ident:04x}" if isinstance(ident, int) else repr(event)),
            "timestamp": getattr(event, "timestamp", None) if isinstance(getattr(event, "timestamp", None), int)
            else None,
            "values": values}


def open_browser(url: str) -> bool:
    """Opens the page in the desktop's browser when there is one; False
    when there is none (a session over SSH, a server)."""
    import os

    # Without a display, webbrowser would pick a text-mode browser and take
    # over the terminal the URL was printed on.
    if not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
        return False
    try:
        return webbrowser.get().open(url)
    except webbrowser.Error:
        return False
