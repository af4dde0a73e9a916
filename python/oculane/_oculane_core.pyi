from collections.abc import Awaitable, Callable, Iterator
import datetime
import os
import types
from typing import Any

import numpy

import oculane
from oculane import (
    CameraException as CameraError,
    GenicamException as GenicamError
)
import oculane.aio
import oculane.features
import oculane.settings


class Camera:
    """
    A connected GenICam camera shared behind a mutex, so sessions and
    channels created from it stay valid while Python holds them.
    """

    def __init__(self, ip: str, *, gvcp_timeout: float = 0.5, retries: int = 4, heartbeat_timeout: float = 3.0, exclusive: bool = False, local_ip: str | None = None) -> None:
        """
        A camera at `ip` (an address, no port), not yet connected: nothing is
        sent until `connect()` or a `with` block.

        `gvcp_timeout`: seconds to wait for each acknowledge; `retries`: how
        often an unanswered command is sent again (0 to 255);
        `heartbeat_timeout`: seconds the camera keeps control for us without
        a heartbeat; `exclusive`: ask for exclusive instead of control
        access; `local_ip`: the local address to talk from.

        Raises ValueError for an address that does not parse, a negative or
        NaN timeout, or `retries` outside 0 to 255.

            >>> with oculane.Camera("192.168.1.10") as cam:
            ...     print(cam["Width"], cam.feature("ExposureTime"))
        """

    def connect(self) -> None:
        """
        Take control of the camera and load its GenICam description (the
        feature model). Returns at once when already connected; Ctrl-C
        interrupts it and leaves nothing connected.

        Raises CameraException when the camera does not answer or refuses
        control (`kind` "ConnectTimeout", "AccessDenied", ...),
        GenicamException when its description cannot be loaded (the camera
        then stays connected), and ValueError while a snap, snapshot session
        or acquisition holds the camera.
        """

    def disconnect(self, deadline: float = 0.5) -> None:
        """
        Give control back and stop the control worker, allowing it `deadline`
        seconds to shut down in order. Does nothing when not connected and
        never raises for transport trouble; ValueError while a snap, session
        or acquisition holds the camera.
        """

    def is_connected(self) -> bool:
        """
        True while a connection exists and its control link is alive (False
        once the camera was lost, until the next `connect()`).
        """

    def device_info(self) -> DeviceInfo:
        """
        The connected camera's identity record (`DeviceInfo`). Raises
        CameraException when not connected (`kind` "NotConnected") or after
        control was lost ("ControlLost").
        """

    def link_stats(self) -> LinkStats | None:
        """
        A copy of the control link's counters (`LinkStats`), or None when not
        connected. Reading does not reset them.
        """

    def __enter__(self) -> Camera:
        """
        Connect unless already connected, and return the camera:

            >>> with oculane.Camera("192.168.1.10") as cam:
            ...     frame = cam.snap()
        """

    def __exit__(self, exc_type: type[BaseException] | None, exc_value: BaseException | None, traceback: types.TracebackType | None) -> bool:
        """
        Disconnect. Never suppresses an exception of the `with` body, nor
        replaces it: a disconnect failing then is logged instead.
        """

    def __repr__(self) -> str: ...

    def get_integer(self, name: str) -> int:
        """
        The value of an Integer feature. Raises GenicamException for an unknown
        feature, another kind or one that cannot be read, CameraException for
        transport trouble; `get(name)` takes any kind.
        """

    def set_integer(self, name: str, value: int) -> None:
        """
        Write an Integer feature. Its bounds and increment are checked before
        anything is sent (GenicamException, `kind` "OutOfRange"); an int outside
        signed 64 bits raises ValueError or OverflowError.
        """

    def integer_bounds(self, name: str) -> tuple[int, int]:
        """(minimum, maximum) of an Integer feature, as they are now."""

    def integer_increment(self, name: str) -> int:
        """
        The step between valid values of an Integer feature (1 when it has none).
        """

    def get_float(self, name: str) -> float:
        """The value of a Float feature."""

    def set_float(self, name: str, value: float) -> None:
        """
        Write a Float feature (an int is accepted); values outside its bounds
        are refused before anything is sent.
        """

    def float_bounds(self, name: str) -> tuple[float, float]:
        """(minimum, maximum) of a Float feature, as they are now."""

    def get_boolean(self, name: str) -> bool:
        """The value of a Boolean feature."""

    def set_boolean(self, name: str, value: bool) -> None:
        """Write a Boolean feature; only True or False are accepted."""

    def get_string(self, name: str) -> str:
        """
        The text of a String feature, or the current entry name of an
        Enumeration (the same operation as `get_enum`).
        """

    def set_string(self, name: str, value: str) -> None:
        """
        Write a String feature. A text longer than its register is refused,
        not cut.
        """

    def get_enum(self, name: str) -> str:
        """
        The current entry name of an Enumeration (or the text of a String:
        the same operation as `get_string`).
        """

    def set_enum(self, name: str, entry: str) -> None:
        """
        Select an Enumeration entry by name (`enum_entries` lists them); an
        unknown entry raises GenicamException (`kind` "NoEnumEntry").
        """

    def enum_entries(self, name: str) -> list[str]:
        """The entry names of an Enumeration, in description order."""

    def execute(self, name: str) -> None:
        """Run a Command feature, such as "AcquisitionStart"."""

    def access_mode(self, name: str) -> object:
        """The feature's access mode now: `AccessMode.RO`, `WO` or `RW`."""

    def has_feature(self, name: str) -> bool:
        """
        True when the feature model is loaded and has a node of this name
        (`name in camera` is the same). No device access; never raises.
        """

    def feature_names(self) -> list[str]:
        """
        The name of every node of the feature model (features, categories,
        registers, ports), in description order. Raises GenicamException when
        no model is loaded.
        """

    def invalidate_caches(self) -> None:
        """
        Forget every cached register value, so that the next reads go to the
        device. No device access.
        """

    def feature_info(self, name: str) -> oculane.features.FeatureInfo:
        """
        What the feature is: kind, display name, tooltip, description, unit,
        representation, visibility and category path, and whether it is
        implemented, available and locked now (read from the device).
        """

    def categories(self) -> tuple[oculane.features.Category, ...]:
        """
        The category tree of the description: the top-level categories, each
        with its features and subcategories.
        """

    def save_settings(self, path: str | os.PathLike[str]) -> int:
        """
        Write every readable and writable feature to a text file, in an order
        that restores correctly; returns the number of features written.
        """

    def load_settings(self, path: str | os.PathLike[str]) -> list[oculane.settings.SettingsIssue]:
        """
        Apply a settings file. Returns the lines that could not be applied, each
        with its reason; a file that cannot be parsed changes nothing.
        """

    def get(self, name: str) -> Any:
        """
        The feature's value, whatever its kind: an int for an Integer, a float
        for a Float, a bool for a Boolean, the entry name for an Enumeration, a
        str for a String. `camera[name]` is the same.

        Raises GenicamException for an unknown feature (kind "FeatureNotFound")
        or one that cannot be read, CameraException for transport trouble, and
        TypeError for a Command or another node without a value.

            >>> cam.get("PayloadSize"), cam["PixelFormat"]
            (307200, 'Mono8')
        """

    def set(self, name: str, value: int | float | bool | str) -> None:
        """
        Write a feature, whatever its kind; `camera[name] = value` is the same.
        The value is converted the way the kind needs: an Integer takes an int
        (or a float holding a whole number), a Float an int or a float, a
        Boolean True or False, an Enumeration an entry name, a String a str.

        Raises TypeError for a value of the wrong type or a feature without a
        value (a Command: use `execute`), ValueError for a float that is not a
        whole number given to an Integer, OverflowError for an int beyond 64
        bits; each names the feature. The feature's own checks (bounds,
        increment, entries, access) raise GenicamException.

            >>> cam.set("ExposureTime", 2500)     # an int is fine for a Float
            >>> cam["PixelFormat"] = "Mono16\"
        """

    def __getitem__(self, name: str) -> Any:
        """`get(name)`."""

    def __setitem__(self, name: str, value: int | float | bool | str) -> None:
        """`set(name, value)`."""

    __iter__: None = None

    def __contains__(self, name: object) -> bool:
        """
        `name in camera`: the camera's feature model has a node of that name
        (`has_feature`). False while not connected.
        """

    def feature(self, name: str) -> oculane.features.Feature:
        """
        A `Feature` for the name: its kind, unit, value, bounds, increment,
        entries and access, each read when asked. Raises GenicamException
        (kind "FeatureNotFound") for an unknown name.

            >>> cam.feature("ExposureTime")
            Feature(ExposureTime: Float = 10000.0 us [10..1e+06])
        """

    def features(self) -> Iterator[oculane.features.Feature]:
        """
        Every feature of the category tree as a `Feature`, in category order
        (depth first, each once).

            >>> [f.name for f in cam.features() if f.kind == "Float"]
            ['ExposureTime', 'AcquisitionFrameRate', 'Gain', ...]
        """

    def start_acquisition(self, *, channel: int = 0, n_buffers: int | None = None, packet_size: int | None = None, packet_delay: int | None = None, resend: bool = True, receive_buffer: int | None = None, keep: str = 'oldest', receive_path: str = 'auto') -> Acquisition:
        """
        Start continuous acquisition and return the running `Acquisition`.
        `n_buffers` is the number of frame buffers; None (the default) gives 8 and,
        for frames that wait for a resend while newer ones arrive, as many more as
        41 ms of a 10 Gbit/s stream fill (1 to 64).
        `receive_buffer` is the stream socket's receive buffer in bytes; None (or 0)
        sizes it for bursts of frames at line rate, within what the system grants
        (a warning names the sysctl to raise when it grants less). On the packet
        ring it sizes the ring instead (None: four frames, 8 to 64 MiB).
        `receive_path` is where the stream's packets are read from: "socket"
        (the UDP socket), "ring" (a packet-socket ring, which costs far less
        CPU per frame; needs CAP_NET_RAW, else CameraException) or "auto"
        (the default: the ring when the process may open one, else the socket).
        `keep` is the built-in queue's rule (see `Acquisition.subscribe`); with
        "newest" it holds the newest half of the `n_buffers` (at least one), so
        the stream keeps buffers to fill while the consumer pauses.

        A camera in FrameStart trigger mode sends one frame per trigger. With
        TriggerSource Software, trigger it yourself once the acquisition runs
        (its subscription exists before the camera starts, so no frame is lost)::

            cam.set_enum("TriggerSelector", "FrameStart")
            cam.set_enum("TriggerMode", "On")
            cam.set_enum("TriggerSource", "Software")
            with cam.start_acquisition() as acq:
                for _ in range(10):
                    cam.execute("TriggerSoftware")
                    frame = acq.wait_for(1.0)  # this trigger's frame, or None
        """

    @property
    def aio(self) -> oculane.aio.AsyncCamera:
        """
        The camera's awaitable forms (`oculane.aio.AsyncCamera`): `await
        cam.aio.connect()`, `await cam.aio.snap()`, `await cam.aio.get(name)`
        and the like run the blocking call in the event loop's executor.
        """

    def snap(self, timeout: float = 5.0, *, channel: int = 0, n_buffers: int = 8, packet_size: int | None = None, packet_delay: int | None = None, resend: bool = True, receive_buffer: int | None = None, receive_path: str = 'auto') -> Frame:
        """
        Take one frame: open a stream, trigger, wait at most `timeout` seconds,
        and put the camera back. Ctrl-C ends the wait at once.

        In trigger mode: a FrameStart or AcquisitionStart trigger that is On
        with TriggerSource Software is executed by the snap (TriggerSoftware)
        once the stream is ready and the camera started; one whose source is
        a line or an action is waited for within `timeout`, e.g.::

            cam.set_enum("TriggerMode", "On")
            cam.set_enum("TriggerSource", "Line0")
            frame = cam.snap(10.0)  # the frame of the next pulse on Line0

        `receive_buffer` is the stream socket's receive buffer in bytes; None (or 0)
        sizes it for bursts of frames at line rate, within what the system grants
        (a warning names the sysctl to raise when it grants less). On the packet
        ring it sizes the ring instead (None: four frames, 8 to 64 MiB).
        `receive_path` is where the stream's packets are read from: "socket"
        (the UDP socket), "ring" (a packet-socket ring, which costs far less
        CPU per frame; needs CAP_NET_RAW, else CameraException) or "auto"
        (the default: the ring when the process may open one, else the socket).
        For a snap "auto" means the socket: opening a ring takes longer than
        the one frame it would save on.
        """

    def snapshot_session(self, *, channel: int = 0, n_buffers: int = 8, packet_size: int | None = None, packet_delay: int | None = None, resend: bool = True, receive_buffer: int | None = None, receive_path: str = 'auto') -> SnapshotSession:
        """
        Open a stream for on-demand single frames (see `SnapshotSession`).
        `receive_buffer` is the stream socket's receive buffer in bytes; None (or 0)
        sizes it for bursts of frames at line rate, within what the system grants
        (a warning names the sysctl to raise when it grants less). On the packet
        ring it sizes the ring instead (None: four frames, 8 to 64 MiB).
        `receive_path` is where the stream's packets are read from: "socket"
        (the UDP socket), "ring" (a packet-socket ring, which costs far less
        CPU per frame; needs CAP_NET_RAW, else CameraException) or "auto"
        (the default: the ring when the process may open one, else the socket).
        """

    def events(self, *names: str, capacity: int = 64, ack_timeout: float | None = None, retries: int | None = None) -> EventSubscription:
        """
        Subscribe to the camera's events and return an `EventSubscription` that
        queues up to `capacity` of them. The camera's message channel is pointed
        at this host (with `ack_timeout` seconds and `retries` for its resends
        when given), and each named event (e.g. "ExposureEnd") is switched on
        through EventSelector and EventNotification. The subscription receives
        every event the camera sends, switched on here or elsewhere.
        """

    def on_event(self, name: str, callback: Callable[[Event], object], *, capacity: int = 64) -> oculane.EventCallback:
        """
        Switch the event `name` on and call `callback(event)` for each event
        of that name on a thread the library owns (never the control worker),
        and return its `EventCallback` handle: `close()` (or leaving its `with`
        block) stops the thread and switches the event off. An exception of
        the callback is kept in `errors` and the thread goes on.
        """

class SnapshotSession:
    """
    An open stream channel dedicated to on-demand single-frame capture; the
    camera transmits only while a `snap()` is in flight. Use as a context
    manager or call `close()` to restore the camera's acquisition mode.
    """

    def snap(self, timeout: float = 5.0) -> Frame:
        """
        Take one frame: start the camera, wait at most `timeout` seconds for
        its frame, and have it stopped again. Ctrl-C ends the wait. Raises
        GenicamException (`kind` "SnapTimeout") when no frame came (the
        session stays usable) and ValueError once the session is closed.

        In trigger mode: a FrameStart or AcquisitionStart trigger that is On
        with TriggerSource Software is executed by the snap (TriggerSoftware)
        once the camera is started; one on a line or an action is waited for
        within `timeout`. The trigger settings are read at every snap.
        """

    def close(self) -> None:
        """
        Restore `AcquisitionMode`, unlock transport parameters, and close the
        stream channel. Idempotent.
        """

    def __enter__(self) -> SnapshotSession:
        """Return the session itself."""

    def __exit__(self, *args) -> bool:
        """`close()`; an exception of the `with` body is never suppressed."""

    def is_closed(self) -> bool:
        """True once closed."""

    def stats(self) -> StreamStats:
        """
        A copy of the stream's counters now (`StreamStats`). ValueError once
        closed.
        """

    def packet_size(self) -> int:
        """
        The GVSP packet size in force on the stream, in bytes. ValueError once
        closed.
        """

    def receive_path(self) -> str:
        """
        Where the stream's packets are read from: "ring" or "socket".
        ValueError once closed.
        """

    def __repr__(self) -> str: ...

class Acquisition:
    """
    A running continuous acquisition. The built-in subscription is created
    before the camera starts, so even the first frame is delivered. Use as a
    context manager or call `stop()`; buffered frames stay readable after.
    """

    def stop(self) -> None:
        """
        Stop the camera, unlock transport parameters, and close the stream
        channel. Idempotent; frames already buffered stay readable.
        """

    def __enter__(self) -> Acquisition:
        """Return the acquisition itself."""

    def __exit__(self, *args) -> bool:
        """`stop()`; an exception of the `with` body is never suppressed."""

    def is_stopped(self) -> bool:
        """
        True once stopped (by `stop()`, the end of its `with` block, or its
        release).
        """

    def stats(self) -> StreamStats:
        """
        A copy of the stream's counters now (`StreamStats`). ValueError once
        stopped.
        """

    def packet_size(self) -> int:
        """
        The GVSP packet size in force on the stream, in bytes (negotiated
        with the camera unless `packet_size` was given). ValueError once
        stopped.
        """

    def local_addr(self) -> str:
        """The stream socket's local address, "ip:port". ValueError once stopped."""

    def receive_path(self) -> str:
        """
        Where the stream's packets are read from: "ring" (a packet-socket
        ring) or "socket" (the UDP socket), as `receive_path` settled it at
        the start. ValueError once stopped.
        """

    def subscribe(self, capacity: int = 16, keep: str = 'oldest') -> FrameChannel:
        """
        An additional subscription with its own buffer; unlike the built-in
        one it only sees frames completed after this call.
        `keep` decides what a full queue lets go of: "oldest" (the default)
        refuses new frames until the consumer takes some; "newest" lets go of
        the oldest queued frame at once (its buffer goes back to the stream)
        so the queue always holds the most recent ones. Either way a frame the
        queue could not keep counts in `StreamStats.frames_dropped`.
        Keep `capacity` below the acquisition's `n_buffers`: queued frames hold
        their buffers.
        """

    def on_frame(self, callback: Callable[[Frame], object], capacity: int = 16, keep: str = 'oldest') -> oculane.FrameCallback:
        """
        Call `callback(frame)` for every frame of a subscription of its own
        (`capacity` and `keep` as for `subscribe`), and return its
        `FrameCallback` handle (`remove()` ends it; `calls` and `errors` count).
        Every callback of the acquisition runs on one Python thread the
        acquisition owns, in registration order for each frame, never on the
        stream's worker. An exception is logged with its traceback (logger
        "oculane") and counted; the stream goes on. `stop()` ends delivery and
        joins the thread; a callback may call `stop()` itself. Frames the
        built-in queue does not take still fill it: with callbacks only, start
        the acquisition with `keep="newest"` so it never holds every buffer.
        """

    def __aenter__(self) -> Awaitable[Acquisition]:
        """`async with camera.start_acquisition() as acq:` gives the acquisition."""

    def __aexit__(self, *args) -> Awaitable[bool]:
        """
        Awaitable `stop()` (run in the loop's executor, so the loop goes on
        meanwhile); an exception of the `async with` body is never suppressed.
        """

    def wait_for(self, timeout: float = 1.0) -> Frame | None:
        """
        The next frame, waiting at most `timeout` seconds; None when none came
        in time, or when the stream has ended and nothing is queued. Ctrl-C
        ends the wait. Once the camera was lost (and the queued frames are
        read) it raises CameraException with `kind` "ControlLost".
        """

    def try_recv(self) -> Frame | None:
        """The next queued frame, or None, without waiting."""

    def recv_all(self) -> list[Frame]:
        """Every frame queued right now, oldest first, without waiting."""

    def clear(self) -> None:
        """Discard every frame queued right now."""

    def latest(self, timeout: float = 1.0) -> Frame | None:
        """
        The newest frame available: every older queued frame is let go of
        (their buffers go back to the stream). When none is queued it waits at
        most `timeout` seconds, as `wait_for` does, and returns None when none
        came. With `keep="newest"` this is the frame of a consumer that only
        wants the present, however long it paused.
        """

    def __iter__(self) -> Acquisition: ...

    def __next__(self) -> Frame: ...

    def next_frame(self, timeout: float | None = None) -> Awaitable[Frame | None]:
        """
        Awaitable: the next frame, or None when `timeout` seconds (None: no
        limit) passed first or the stream has ended and nothing is queued.
        Woken by the stream itself; cancelling the awaiting task ends the wait.
        Raises CameraException (`kind` "ControlLost") as `wait_for` does.
        """

    def __aiter__(self) -> Acquisition:
        """
        `async for frame in ...`: frames as they arrive, until the stream ends.
        """

    def __anext__(self) -> Awaitable[Frame]:
        """
        Awaitable: the next frame; StopAsyncIteration once the stream ended
        and nothing is queued.
        """

    def __repr__(self) -> str: ...

class Frame:
    """One captured frame. The pixel payload is copied out by `data()`."""

    @property
    def status(self, /) -> FrameStatus:
        """
        How the frame ended (`FrameStatus`); only a `Complete` frame holds
        every byte of its image.
        """

    @property
    def is_complete(self) -> bool:
        """`True` when every packet of the frame arrived."""

    @property
    def frame_id(self) -> int:
        """The block id the camera gave the frame (counts up, frame by frame)."""

    @property
    def width(self) -> int:
        """Image width in pixels, from the frame's leader (0 without one)."""

    @property
    def height(self) -> int:
        """Image height in pixels, from the frame's leader (0 without one)."""

    @property
    def x_offset(self) -> int:
        """Horizontal offset of the image on the sensor, from the leader."""

    @property
    def y_offset(self) -> int:
        """Vertical offset of the image on the sensor, from the leader."""

    @property
    def pixel_format(self) -> str:
        """
        Pixel format name (e.g. `"Mono8"`), or the raw GigE Vision code in
        hex for formats without a known name.
        """

    @property
    def pixel_format_code(self) -> int:
        """The raw 32-bit GigE Vision pixel format code."""

    @property
    def bits_per_pixel(self) -> int:
        """
        Bits each pixel takes in the payload (bits 16 to 23 of the pixel
        format code).
        """

    @property
    def timestamp_ns(self) -> int:
        """
        Device time: the camera's timestamp of the frame in nanoseconds
        (its ticks converted with its tick frequency). The camera's clock
        has its own origin; the host's time of arrival is
        `system_timestamp_ns` (or `timestamp`).
        """

    @property
    def timestamp_ticks(self) -> int:
        """
        Device time: the camera's timestamp of the frame in its own ticks,
        as it sent it.
        """

    @property
    def system_timestamp_ns(self) -> int:
        """
        Host time: the host's wall clock when the frame's leader arrived, in
        nanoseconds since the Unix epoch (`timestamp` as a datetime).
        """

    @property
    def timestamp(self, /) -> datetime.datetime:
        """
        Host time: when the frame's leader arrived, as a timezone-aware UTC
        `datetime` (microsecond precision); `system_timestamp_ns` in
        nanoseconds. The camera's own clock is `timestamp_ns`.
        """

    @property
    def received_size(self) -> int:
        """Payload bytes received from the camera."""

    def data(self) -> bytes:
        """
        The payload bytes (e.g. for `numpy.frombuffer`). For an incomplete
        frame the holes read as stale buffer content — check `status` first.
        """

    def array(self) -> numpy.ndarray:
        """
        The pixels as a numpy array. For unpacked formats a read-only view of
        the frame's buffer, without a copy: (height, width) uint8 for Mono8 and
        the 8-bit Bayer formats, (height, width) uint16 for Mono10 to Mono16 and
        the 10- to 16-bit Bayer formats (little-endian, as GigE Vision sends
        them), (height, width, 3) uint8 for RGB8 and BGR8, (height, width, 4)
        for RGBa8 and BGRa8, and (height, width, 2) uint8 for YUV422_8 and
        YUV422_8_UYVY; line padding is skipped through the strides. The view
        keeps the frame, and with it one buffer of the stream's pool, until it
        is released; it stays valid after the acquisition stopped.

        For the packed formats (Mono10p, Mono12p, Mono10Packed, Mono12Packed and
        the Bayer ...10p, ...12p, ...10Packed and ...12Packed formats) a new,
        writable (height, width) uint16 array: a copy of the samples, unpacked,
        with their values as measured (0 to 1023 or 4095), which does not hold
        the frame's buffer.

        Raises ValueError when the format is unknown or the data is too short
        for the image (`data()` still works).
        """

    def __array__(self, dtype: object | None = None, copy: bool | None = None) -> numpy.ndarray: ...

    def to_rgb(self, out: numpy.ndarray | None = None, *, yuv_range: str = 'full') -> numpy.ndarray:
        """
        The image as a new (height, width, 3) uint8 RGB array, converted in C++
        without holding the interpreter lock.

        - Mono: the grey value in all three channels.
        - Bayer (RG, GR, GB, BG orders; 8 bits, 10 to 16 bits, packed or not):
          bilinear demosaicing. A pixel keeps its own colour; a missing colour is
          the mean of the nearest pixels of that colour (the two beside, the two
          above and below, or the four direct or four diagonal neighbours). The
          image is mirrored at its edges for the border pixels.
        - RGB8, BGR8, RGBa8, BGRa8: reordered; alpha is dropped.
        - YUV422_8 (YUYV) and YUV422_8_UYVY: BT.601; the two pixels of a pair
          share U and V. `yuv_range` "full" (the default) reads Y, U and V over
          0 to 255, "video" reads Y over 16 to 235 and U, V over 16 to 240.

        Samples of more than 8 bits keep their top 8 bits (value >> (depth - 8),
        e.g. >> 4 for 12-bit formats), after demosaicing. With `out`, a
        writable C-contiguous uint8 array of that shape, the result is written
        there and `out` is returned (no allocation). Raises ValueError for an
        unknown format or data too short for the image.
        """

    def to_mono8(self, out: numpy.ndarray | None = None) -> numpy.ndarray:
        """
        The image as a new (height, width) uint8 grey array, converted in C++
        without holding the interpreter lock.

        - Mono: samples of more than 8 bits keep their top 8 bits
          (value >> (depth - 8): Mono12 4095 becomes 255, Mono10 512 becomes 128).
        - YUV formats: the Y (luma) bytes.
        - RGB formats, and Bayer after demosaicing as in `to_rgb()`: BT.601 luma,
          (4899 R + 9617 G + 1868 B + 8192) >> 14.

        With `out`, a writable C-contiguous (height, width) uint8 array, the
        result is written there and `out` is returned. Raises ValueError for an
        unknown format or data too short for the image.
        """

    def __repr__(self) -> str: ...

    def chunks(self) -> dict[str, int | float | bool | str]:
        """
        The frame's chunk data as the camera's description reads it: every
        chunk feature whose chunk the frame carries, by name (e.g.
        `{"ChunkFrameID": 17, "ChunkExposureTime": 10000.0}`). Evaluated from
        the frame's own bytes, without device traffic. Empty for a frame without
        chunks. Raises ValueError when the frame did not arrive complete or its
        chunk layout is unreadable.
        """

    def chunk(self, name: str) -> int | float | bool | str:
        """
        The value of one chunk feature of this frame (int, float, bool or str
        by the feature's kind), without device traffic. Raises
        GenicamException when the name is unknown or the frame does not carry
        that chunk, ValueError when its chunk data cannot be read.
        """

    def chunk_layout(self) -> list[tuple[int, int, int]]:
        """
        The chunks of the payload as (chunk id, offset, length) tuples in
        payload order, read from the end of the data; the first is the image.
        Empty for a frame without chunks; ValueError as for `chunks()`.
        """

    @property
    def has_chunks(self) -> bool: ...

class FrameChannel:
    """
    A clone-able receiver for completed frames. Each subscription has its own
    bounded buffer; when it is full new frames are dropped for that
    subscriber and counted in [`StreamStats::frames_dropped`].
    """

    def wait_for(self, timeout: float) -> Frame | None:
        """
        The next frame, waiting at most `timeout` seconds; None when none came
        in time, or when the stream has ended and nothing is queued. Ctrl-C
        ends the wait. Once the camera was lost (and the queued frames are
        read) it raises CameraException with `kind` "ControlLost".
        """

    def try_recv(self) -> Frame | None:
        """The next queued frame, or None, without waiting."""

    def recv_all(self) -> list[Frame]:
        """Every frame queued right now, oldest first, without waiting."""

    def clear(self) -> None:
        """Discard every frame queued right now."""

    def latest(self, timeout: float) -> Frame | None:
        """
        The newest frame available: every older queued frame is let go of
        (their buffers go back to the stream). When none is queued it waits at
        most `timeout` seconds, as `wait_for` does, and returns None when none
        came. With `keep="newest"` this is the frame of a consumer that only
        wants the present, however long it paused.
        """

    def __iter__(self) -> FrameChannel: ...

    def __next__(self) -> Frame: ...

    def next_frame(self, timeout: float | None = None) -> Awaitable[Frame | None]:
        """
        Awaitable: the next frame, or None when `timeout` seconds (None: no
        limit) passed first or the stream has ended and nothing is queued.
        Woken by the stream itself; cancelling the awaiting task ends the wait.
        Raises CameraException (`kind` "ControlLost") as `wait_for` does.
        """

    def __aiter__(self) -> FrameChannel:
        """
        `async for frame in ...`: frames as they arrive, until the stream ends.
        """

    def __anext__(self) -> Awaitable[Frame]:
        """
        Awaitable: the next frame; StopAsyncIteration once the stream ended
        and nothing is queued.
        """

class FrameStatus:
    """How a frame ended."""

    def __int__(self) -> int: ...

    def __repr__(self) -> str: ...

    def __eq__(self, other: object | None) -> object: ...

    def __ne__(self, other: object | None) -> object: ...

    __hash__: None = None

    Complete: FrameStatus = ...

    MissingPackets: FrameStatus = ...

    Timeout: FrameStatus = ...

    Aborted: FrameStatus = ...

    WrongPacketId: FrameStatus = ...

    PayloadUnsupported: FrameStatus = ...

class AccessMode:
    """
    How a feature may be used now: `RO` (read only), `WO` (write only)
    or `RW`. Each value is one shared object that compares equal to its
    int (RO = 0, WO = 1, RW = 2).
    """

    def __int__(self) -> int: ...

    def __repr__(self) -> str: ...

    def __eq__(self, other: object | None) -> object: ...

    def __ne__(self, other: object | None) -> object: ...

    __hash__: None = None

    RO: AccessMode = ...

    WO: AccessMode = ...

    RW: AccessMode = ...

class StreamStats:
    """Stream receiver counters, all monotonic since stream open."""

    @property
    def packets(self) -> int:
        """Datagrams accepted from the camera's address."""

    @property
    def bytes(self) -> int:
        """Their total length in bytes."""

    @property
    def completed_frames(self) -> int:
        """Frames that ended Complete."""

    @property
    def failed_frames(self) -> int:
        """Frames that ended MissingPackets, Timeout or WrongPacketId."""

    @property
    def timed_out_frames(self) -> int:
        """Frames that ended Timeout (also counted in `failed_frames`)."""

    @property
    def aborted_frames(self) -> int:
        """Frames that ended Aborted (the stream closed under them)."""

    @property
    def missing_frames(self) -> int:
        """Block ids the camera skipped between frames."""

    @property
    def underruns(self) -> int:
        """New frames dropped because every pool buffer was in use."""

    @property
    def missing_packets(self) -> int:
        """Packets still missing in the frames that failed."""

    @property
    def resend_requests(self) -> int:
        """Packets asked for again with resend requests."""

    @property
    def resent_packets(self) -> int:
        """Packets that arrived after being asked for again."""

    @property
    def resend_ratio_reached(self) -> int:
        """Frames whose resend budget ran out."""

    @property
    def resend_disabled(self) -> int:
        """Packets the camera said it could not resend."""

    @property
    def duplicated_packets(self) -> int:
        """Packets that arrived for a slot already filled."""

    @property
    def error_packets(self) -> int:
        """Packets carrying an error status."""

    @property
    def ignored_packets(self) -> int:
        """Packets set aside: short, late, oversized or of unsupported blocks."""

    @property
    def unsupported_frames(self) -> int:
        """Blocks refused because their payload type is not supported."""

    @property
    def size_mismatch_errors(self) -> int:
        """Payload packets that would have overrun the frame's buffer."""

    @property
    def frames_dropped(self) -> int:
        """Completed frames a subscriber could not take (its channel was full)."""

    @property
    def kernel_drops(self) -> int:
        """
        Datagrams the kernel dropped because the socket's receive buffer was full.
        """

    def __repr__(self) -> str: ...

class LinkStats:
    """Control-channel counters."""

    @property
    def commands(self) -> int:
        """
        Commands sent (each chunk of a memory transfer counts; resends do not).
        """

    @property
    def acks(self) -> int:
        """Acknowledges that answered the command in flight."""

    @property
    def retries(self) -> int:
        """Commands sent again because no acknowledge came in time."""

    @property
    def timeouts(self) -> int:
        """Commands given up: no acknowledge came and no tries were left."""

    @property
    def naks(self) -> int:
        """Acknowledges with an error status (the camera refused)."""

    @property
    def pending_acks(self) -> int:
        """Pending acknowledges: the camera asked for more time to answer."""

    @property
    def heartbeats(self) -> int:
        """Heartbeats the camera acknowledged (control kept)."""

    @property
    def events(self) -> int:
        """Event messages received from the camera."""

    @property
    def unsolicited(self) -> int:
        """Acknowledges of nothing in flight, or of another request (late ones)."""

    def __repr__(self) -> str: ...

class Event:
    """
    One event the camera sent on its message channel (GVCP EVENT or
    EVENTDATA).
    """

    @property
    def id(self) -> int:
        """The event id the camera sent."""

    @property
    def name(self) -> str:
        """
        The event's name from the camera's description (e.g. "ExposureEnd"),
        or "" when the description names no event of this id.
        """

    @property
    def timestamp(self) -> int:
        """Device time of the event in the camera's timestamp ticks."""

    @property
    def stream_channel(self) -> int:
        """The stream channel the event concerns (0xFFFF: none)."""

    @property
    def block_id(self) -> int:
        """The block id (frame) the event concerns, 16 bits (0: none)."""

    @property
    def data(self) -> bytes:
        """
        The event's data: the bytes after its 16-byte header (empty for an
        EVENT without data).
        """

    @property
    def raw(self) -> bytes:
        """The whole event as received after the GVCP header: header and data."""

    def value(self, name: str) -> int | float | bool | str:
        """
        The value of an event data feature (e.g. "EventExposureEndFrameID")
        evaluated against this event's bytes, without device traffic. Raises
        GenicamException when the name is unknown or is not data of this event.
        """

    def values(self) -> dict[str, int | float | bool | str]:
        """Every data feature of this event by name, with its value."""

    def __repr__(self) -> str: ...

class EventSubscription:
    """
    Events from one camera, in arrival order, from a bounded queue. When the
    queue is full new events are lost and counted in `lost`: a slow consumer
    never holds up the camera's control channel. Iterate it (with `for` or
    `async for`), or call `wait_for` / `try_recv`; close it (or leave its
    `with` block) to stop receiving and switch off the events it switched on.
    """

    def wait_for(self, timeout: float = 1.0) -> Event | None:
        """
        The next event, waiting at most `timeout` seconds; None when none came
        in time or the connection has ended. Ctrl-C ends the wait.
        """

    def try_recv(self) -> Event | None:
        """The next queued event, or None, without waiting."""

    def __iter__(self) -> EventSubscription:
        """The subscription itself: iteration waits for each next event."""

    def __next__(self) -> Event:
        """The next event; the iteration ends with the connection or `close()`."""

    @property
    def lost(self) -> int:
        """Events lost because the queue was full."""

    @property
    def closed(self) -> bool:
        """True once `close()` ran."""

    def close(self) -> None:
        """
        Stop receiving and switch off the events this subscription switched
        on. Idempotent.
        """

    def __enter__(self) -> EventSubscription:
        """Return the subscription itself."""

    def __exit__(self, *args) -> bool:
        """`close()`; an exception of the `with` body is never suppressed."""

    def __aiter__(self) -> EventSubscription:
        """`async for event in ...`: events as they arrive, until `close()`."""

    def __anext__(self) -> Awaitable[Event]:
        """
        Awaitable: the next event; StopAsyncIteration once the subscription is
        closed and nothing is queued.
        """

class DeviceInfo:
    """
    Identity and addressing of a device, parsed from the first
    [`DISCOVERY_DATA_SIZE`] bytes of bootstrap register space (the discovery
    acknowledge payload, or the same block read via READMEM).
    """

    @property
    def manufacturer(self) -> str:
        """The maker's name."""

    @property
    def model(self) -> str:
        """The model name."""

    @property
    def serial(self) -> str:
        """The serial number."""

    @property
    def device_version(self) -> str:
        """The device's version text (firmware, hardware)."""

    @property
    def manufacturer_info(self) -> str:
        """Free text the maker puts in the record."""

    @property
    def user_defined_name(self) -> str:
        """The name a user gave the device (DeviceUserID), or ""."""

    @property
    def ip(self) -> str:
        """The current IPv4 address, dotted decimal ("192.168.1.10")."""

    @property
    def subnet_mask(self) -> str:
        """The current subnet mask, dotted decimal."""

    @property
    def gateway(self) -> str:
        """The default gateway, dotted decimal."""

    @property
    def mac(self) -> str:
        """
        The MAC address, lower-case hex bytes joined by ":" ("00:0c:df:04:a1:7e").
        """

    @property
    def spec_version(self) -> tuple[int, int]:
        """GigE Vision spec version as `(major, minor)`."""

    def __repr__(self) -> str: ...

def discover(timeout: float = 1.0, *, interface: str | None = None, address: str | None = None) -> list[DeviceInfo]:
    """
    Broadcast a GigE Vision discovery beacon on every Up IPv4 adapter and
    return the devices that answer within `timeout` seconds.
    """
