"""Frame callbacks: one Python thread per acquisition calls them.

Each callback reads a subscription of its own. The thread sleeps in
``select.poll`` on the subscriptions' notification descriptors (and a wake-up
pipe of its own) with the interpreter lock released, so it costs nothing
between frames and never runs on the stream's worker.
"""

from __future__ import annotations

import logging
import os
import select
import threading
import traceback
from typing import Any, Callable

_log = logging.getLogger("oculane")


class FrameCallback:
    """The handle `Acquisition.on_frame` returns for one registered callback.

    `remove()` ends its calls (none starts after it returns; a call already
    running on the callback thread finishes). `calls` and `errors` count the
    calls made and those that raised; each exception was logged with its
    traceback on the "oculane" logger. `active` is False once removed or
    once its stream has ended.
    """

    __slots__ = ("callback", "calls", "errors", "_channel", "_dispatcher", "_active")

    def __init__(self, callback: Callable[[Any], object], channel: Any, dispatcher: Dispatcher) -> None:
        self.callback = callback
        self.calls = 0
        self.errors = 0
        self._channel = channel
        self._dispatcher = dispatcher
        self._active = True

    @property
    def active(self) -> bool:
        """True until `remove()`, `Acquisition.stop()` or the end of the stream."""
        return self._active

    def remove(self) -> None:
        """Stop calling the callback and let go of its subscription (and the
        frames queued in it). Idempotent."""
        self._dispatcher.remove(self)

    def __repr__(self) -> str:
        return (f"FrameCallback({self.callback!r}, calls={self.calls}, errors={self.errors}, "
                f"active={self._active})")


class Dispatcher:
    """The callbacks of one acquisition and the thread that calls them."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._entries: list[FrameCallback] = []  # guarded by _lock; replaced, never changed in place
        self._closed = False
        self._wake_r, self._wake_w = os.pipe()
        os.set_blocking(self._wake_r, False)
        os.set_blocking(self._wake_w, False)
        self._thread: threading.Thread | None = None

    def add(self, callback: Callable[[Any], object], channel: Any) -> FrameCallback:
        if channel._notify_fd() < 0:
            raise OSError("no notification descriptor for a frame callback (eventfd refused)")
        handle = FrameCallback(callback, channel, self)
        with self._lock:
            if self._closed:
                raise ValueError("acquisition is stopped")
            self._entries = [*self._entries, handle]
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name="oculane-callbacks", daemon=True)
                self._thread.start()
        self._wake()
        return handle

    def remove(self, handle: FrameCallback) -> None:
        with self._lock:
            handle._active = False
            self._entries = [e for e in self._entries if e is not handle]
        self._wake()

    def close(self) -> None:
        """Ends delivery and joins the thread, unless called from it."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            for e in self._entries:
                e._active = False
            self._entries = []
            thread = self._thread
        self._wake()
        if thread is not None and thread is not threading.current_thread():
            thread.join()

    def _wake(self) -> None:
        try:
            os.write(self._wake_w, b"\0")
        except BlockingIOError:
            pass  # a wake-up is pending anyway

    def _run(self) -> None:
        polled: dict[int, FrameCallback] = {}
        try:
            self._loop(polled)
        finally:
            # The subscriptions go only here, once their descriptors left
            # the poll set: a freed descriptor number may be reused.
            for e in polled.values():
                e._channel = None
            os.close(self._wake_r)
            os.close(self._wake_w)

    def _loop(self, polled: dict[int, FrameCallback]) -> None:
        poller = select.poll()
        poller.register(self._wake_r, select.POLLIN)
        while True:
            with self._lock:
                if self._closed:
                    return
                entries = self._entries
            # The poll set follows the registrations.
            fds = {e._channel._notify_fd(): e for e in entries if e._channel is not None}
            for fd in polled.keys() - fds.keys():
                poller.unregister(fd)
                polled.pop(fd)._channel = None
            for fd in fds.keys() - polled.keys():
                poller.register(fd, select.POLLIN)
                polled[fd] = fds[fd]
            for fd, _ in poller.poll():
                try:
                    os.read(fd, 4096 if fd == self._wake_r else 8)
                except BlockingIOError:
                    pass
            self._deliver(entries)

    def _deliver(self, entries: list[FrameCallback]) -> None:
        # One frame per callback per round, in registration order, until every
        # queue is empty: each callback sees its frames in stream order.
        busy = True
        while busy and not self._closed:
            busy = False
            for e in entries:
                channel = e._channel
                if not e._active or channel is None or self._closed:
                    continue
                try:
                    frame = channel._take_nowait()
                except Exception as exc:  # the camera was lost
                    _log.warning("frame callback %r ends: %s", e.callback, exc)
                    self.remove(e)
                    continue
                if frame is None:
                    continue
                if frame is False:  # the stream ended and nothing is left
                    self.remove(e)
                    continue
                busy = True
                e.calls += 1
                try:
                    e.callback(frame)
                except Exception as exc:
                    e.errors += 1
                    _log.exception("frame callback %r raised on frame %d; the stream goes on",
                                   e.callback, frame.frame_id)
                    # A handler that keeps the record (and so the traceback)
                    # must not keep the callback's frame, and with it a
                    # stream buffer, alive.
                    traceback.clear_frames(exc.__traceback__)
                    del exc
                del frame  # its buffer goes back before the next wait
