"""asyncio forms of frame waits and camera operations.

Frame waits (`await acq.next_frame()`, `async for frame in acq`, the same on a
`FrameChannel`) are woken by the stream itself: each subscription has a
notification descriptor that the stream worker makes readable when it queues
a frame or lets go of the queue, and the event loop watches it with
``add_reader``. No thread waits and nothing polls; cancelling the awaiting
task ends the wait at once. A subscription is awaited from one event loop at
a time.

Camera operations that wait on the device run in the loop's default
executor through `AsyncCamera` (``cam.aio``), so the loop goes on meanwhile.
Cancelling such an await does not undo the operation: it finishes in its
executor thread.
"""

from __future__ import annotations

import asyncio
import functools
import math
import os
import weakref
from typing import TYPE_CHECKING, Any, Callable, TypeVar

if TYPE_CHECKING:
    from ._oculane_core import Acquisition, Camera, Frame, FrameChannel, SnapshotSession

    FrameSource = Acquisition | FrameChannel

T = TypeVar("T")

__all__ = ["AsyncCamera", "next_frame"]


class _Readiness:
    """The futures of one event loop waiting for one notification descriptor;
    the loop watches the descriptor only while some future waits."""

    def __init__(self, loop: asyncio.AbstractEventLoop, fd: int) -> None:
        self.loop = loop
        self.fd = fd
        self.futures: set[asyncio.Future[None]] = set()

    def add(self, future: asyncio.Future[None]) -> None:
        if not self.futures:
            self.loop.add_reader(self.fd, self._ready)
        self.futures.add(future)

    def discard(self, future: asyncio.Future[None]) -> None:
        if future in self.futures:
            self.futures.discard(future)
            if not self.futures:
                self.loop.remove_reader(self.fd)
                _by_loop.get(self.loop, {}).pop(self.fd, None)

    def _ready(self) -> None:
        try:
            os.read(self.fd, 8)  # the eventfd's counter back to zero
        except BlockingIOError:
            pass
        # Every waiter looks again; those that find nothing wait again.
        for future in self.futures:
            if not future.done():
                future.set_result(None)


_by_loop: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, dict[int, _Readiness]] = (
    weakref.WeakKeyDictionary())


def _readiness(loop: asyncio.AbstractEventLoop, fd: int) -> _Readiness:
    waiters = _by_loop.setdefault(loop, {})
    if fd not in waiters:
        waiters[fd] = _Readiness(loop, fd)
    return waiters[fd]


def _seconds(timeout: float | None) -> float | None:
    if timeout is None:
        return None
    timeout = float(timeout)
    if timeout < 0:
        raise ValueError("cannot convert float seconds to Duration: value is negative")
    if math.isnan(timeout) or math.isinf(timeout):
        raise ValueError("cannot convert float seconds to Duration: value is either too big or NaN")
    return timeout


def _expire(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


async def _take(source: FrameSource, deadline: float | None) -> Frame | None:
    """The next frame; None once `deadline` (loop time) passed; raises
    StopAsyncIteration once the stream ended and nothing is queued."""
    loop = asyncio.get_running_loop()
    while True:
        frame = source._take_nowait()
        if frame is False:
            raise StopAsyncIteration
        if frame is not None:
            return frame
        fd = source._notify_fd()
        if fd < 0:
            raise OSError("no notification descriptor for the subscription (eventfd refused)")
        remaining = None if deadline is None else deadline - loop.time()
        if remaining is not None and remaining <= 0:
            return None
        waiter = _readiness(loop, fd)
        future = loop.create_future()
        waiter.add(future)
        timer = loop.call_later(remaining, _expire, future) if remaining is not None else None
        try:
            # A frame queued between the first look and the watch is found
            # here; one queued after it makes the descriptor readable.
            frame = source._take_nowait()
            if frame is False:
                raise StopAsyncIteration
            if frame is not None:
                return frame
            await future
        finally:
            if timer is not None:
                timer.cancel()
            waiter.discard(future)


async def next_frame(source: FrameSource, timeout: float | None = None) -> Frame | None:
    """The next frame of an `Acquisition` or `FrameChannel`, or None when
    `timeout` seconds (None: no limit) passed first or the stream has ended
    and nothing is queued. Raises CameraException ("ControlLost") once the
    camera was lost and the queued frames are read."""
    limit = _seconds(timeout)
    deadline = None if limit is None else asyncio.get_running_loop().time() + limit
    try:
        return await _take(source, deadline)
    except StopAsyncIteration:
        return None


async def anext_frame(source: FrameSource) -> Frame:
    """`__anext__` of the frame sources: StopAsyncIteration at the end."""
    frame = await _take(source, None)
    assert frame is not None
    return frame


async def enter(acquisition: Acquisition) -> Acquisition:
    """`__aenter__` of `Acquisition`."""
    return acquisition


async def exit_acquisition(acquisition: Acquisition) -> bool:
    """`__aexit__` of `Acquisition`: `stop()` in the executor."""
    await asyncio.get_running_loop().run_in_executor(None, acquisition.stop)
    return False


class AsyncCamera:
    """Awaitable forms of a `Camera`'s operations that wait on the device
    (``cam.aio``). Each runs the blocking method in the running loop's
    default executor and returns its result or raises its exception; the
    camera's own rules (busy slot, locks) apply as for the blocking call.
    """

    __slots__ = ("camera",)

    def __init__(self, camera: Camera) -> None:
        self.camera = camera

    async def _run(self, method: Callable[..., T], *args: Any, **kwargs: Any) -> T:
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(None, functools.partial(method, *args, **kwargs))

    async def connect(self, *args: Any, **kwargs: Any) -> None:
        """`Camera.connect` without blocking the loop."""
        await self._run(self.camera.connect, *args, **kwargs)

    async def disconnect(self, *args: Any, **kwargs: Any) -> None:
        """`Camera.disconnect` without blocking the loop."""
        await self._run(self.camera.disconnect, *args, **kwargs)

    async def snap(self, *args: Any, **kwargs: Any) -> Frame:
        """`Camera.snap` without blocking the loop."""
        return await self._run(self.camera.snap, *args, **kwargs)

    async def get(self, name: str) -> Any:
        """`Camera.get` (a feature's value) without blocking the loop."""
        return await self._run(self.camera.get, name)

    async def set(self, name: str, value: Any) -> None:
        """`Camera.set` (a feature's value) without blocking the loop."""
        await self._run(self.camera.set, name, value)

    async def execute(self, name: str) -> None:
        """`Camera.execute` (a command feature) without blocking the loop."""
        await self._run(self.camera.execute, name)

    async def start_acquisition(self, **kwargs: Any) -> Acquisition:
        """`Camera.start_acquisition` without blocking the loop; use the
        result with ``async with``."""
        return await self._run(self.camera.start_acquisition, **kwargs)

    async def snapshot_session(self, **kwargs: Any) -> SnapshotSession:
        """`Camera.snapshot_session` without blocking the loop."""
        return await self._run(self.camera.snapshot_session, **kwargs)

    def __repr__(self) -> str:
        return f"AsyncCamera({self.camera!r})"
