"""Camera.on_event and `async for` over an EventSubscription (the bindings
call these): written over the subscription's own waits, so that no Python
code ever runs on the library's control worker."""

from __future__ import annotations

import asyncio
import threading
from typing import Callable

from ._oculane_core import Camera, Event, EventSubscription


class EventCallback:
    """A callback that runs for each event of one name on a thread of its own
    (named "oculane-event-<name>"). `close()` (or leaving its `with` block)
    stops the thread and switches the event off again."""

    def __init__(self, subscription: EventSubscription, name: str, callback: Callable[[Event], object]) -> None:
        self._subscription = subscription
        self._name = name
        self._callback = callback
        self._stop = threading.Event()
        self.errors: list[BaseException] = []
        """Exceptions the callback raised, oldest first (the thread goes on)."""
        self._thread = threading.Thread(target=self._run, name=f"oculane-event-{name}", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while not self._stop.is_set():
            event = self._subscription.wait_for(0.1)
            if event is None or event.name != self._name:
                continue
            try:
                self._callback(event)
            except Exception as error:  # noqa: BLE001  (kept for the owner, the thread goes on)
                self.errors.append(error)

    @property
    def lost(self) -> int:
        """Events lost because the callback did not keep up."""
        return self._subscription.lost

    def close(self) -> None:
        """Stop the thread and the subscription. Idempotent."""
        self._stop.set()
        if threading.current_thread() is not self._thread:
            self._thread.join()
        self._subscription.close()

    def __enter__(self) -> EventCallback:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def on_event(camera: Camera, name: str, callback: Callable[[Event], object], *, capacity: int = 64) -> EventCallback:
    """`Camera.on_event`: switches the event on and calls `callback(event)`
    for each event of that name on a library-owned thread."""
    return EventCallback(camera.events(name, capacity=capacity), name, callback)


async def anext_event(self: EventSubscription) -> Event:
    # Each wait runs in the loop's executor in 100 ms slices, so the loop
    # stays free and a closed subscription ends the iteration soon.
    loop = asyncio.get_running_loop()
    while True:
        event = await loop.run_in_executor(None, self.wait_for, 0.1)
        if event is not None:
            return event
        if self.closed:
            raise StopAsyncIteration

