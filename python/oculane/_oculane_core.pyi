import os

import numpy

from oculane import (
    CameraException as CameraError,
    GenicamException as GenicamError
)
import oculane.features
import oculane.settings


class Camera:
    """
    A connected GenICam camera shared behind a mutex, so sessions and
    channels created from it stay valid while Python holds them.
    """

    def __init__(self, ip: str, *, gvcp_timeout: float = 0.5, retries: int = 4, heartbeat_timeout: float = 3.0, exclusive: bool = False, local_ip: str | None = None) -> None: ...

    def connect(self) -> None: ...

    def disconnect(self, deadline: float = 0.5) -> None: ...

    def is_connected(self) -> bool: ...

    def device_info(self) -> DeviceInfo: ...

    def link_stats(self) -> LinkStats | None: ...

    def __repr__(self) -> str: ...

    def get_integer(self, name: str) -> int: ...

    def set_integer(self, name: str, value: int) -> None: ...

    def integer_bounds(self, name: str) -> tuple[int, int]: ...

    def integer_increment(self, name: str) -> int: ...

    def get_float(self, name: str) -> float: ...

    def set_float(self, name: str, value: float) -> None: ...

    def float_bounds(self, name: str) -> tuple[float, float]: ...

    def get_boolean(self, name: str) -> bool: ...

    def set_boolean(self, name: str, value: bool) -> None: ...

    def get_string(self, name: str) -> str: ...

    def set_string(self, name: str, value: str) -> None: ...

    def get_enum(self, name: str) -> str: ...

    def set_enum(self, name: str, entry: str) -> None: ...

    def enum_entries(self, name: str) -> list[str]: ...

    def execute(self, name: str) -> None: ...

    def access_mode(self, name: str) -> object: ...

    def has_feature(self, name: str) -> bool: ...

    def feature_names(self) -> list[str]: ...

    def invalidate_caches(self) -> None: ...

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

    def start_acquisition(self, *, channel: int = 0, n_buffers: int = 8, packet_size: int | None = None, packet_delay: int | None = None, resend: bool = True, receive_buffer: int | None = None) -> Acquisition:
        """
        Start continuous acquisition and return the running `Acquisition`.
        `receive_buffer` is the stream socket's receive buffer in bytes; None (or 0)
        sizes it for bursts of frames at line rate, within what the system grants
        (a warning names the sysctl to raise when it grants less).
        """

    def snap(self, timeout: float = 5.0, *, channel: int = 0, n_buffers: int = 8, packet_size: int | None = None, packet_delay: int | None = None, resend: bool = True, receive_buffer: int | None = None) -> Frame:
        """
        Take one frame: open a stream, trigger, wait at most `timeout` seconds,
        and put the camera back. Ctrl-C ends the wait at once.
        `receive_buffer` is the stream socket's receive buffer in bytes; None (or 0)
        sizes it for bursts of frames at line rate, within what the system grants
        (a warning names the sysctl to raise when it grants less).
        """

    def snapshot_session(self, *, channel: int = 0, n_buffers: int = 8, packet_size: int | None = None, packet_delay: int | None = None, resend: bool = True, receive_buffer: int | None = None) -> SnapshotSession:
        """
        Open a stream for on-demand single frames (see `SnapshotSession`).
        `receive_buffer` is the stream socket's receive buffer in bytes; None (or 0)
        sizes it for bursts of frames at line rate, within what the system grants
        (a warning names the sysctl to raise when it grants less).
        """

class SnapshotSession:
    """
    An open stream channel dedicated to on-demand single-frame capture; the
    camera transmits only while a `snap()` is in flight. Use as a context
    manager or call `close()` to restore the camera's acquisition mode.
    """

    def snap(self, timeout: float = 5.0) -> Frame: ...

    def close(self) -> None:
        """
        Restore `AcquisitionMode`, unlock transport parameters, and close the
        stream channel. Idempotent.
        """

    def __enter__(self) -> SnapshotSession: ...

    def __exit__(self, *args) -> bool: ...

    def is_closed(self) -> bool: ...

    def stats(self) -> StreamStats: ...

    def packet_size(self) -> int: ...

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

    def __enter__(self) -> Acquisition: ...

    def __exit__(self, *args) -> bool: ...

    def is_stopped(self) -> bool: ...

    def stats(self) -> StreamStats: ...

    def packet_size(self) -> int: ...

    def local_addr(self) -> str: ...

    def subscribe(self, capacity: int = 16) -> FrameChannel:
        """
        An additional subscription with its own buffer; unlike the built-in
        one it only sees frames completed after this call.
        """

    def wait_for(self, timeout: float = 1.0) -> Frame | None: ...

    def try_recv(self) -> Frame | None: ...

    def recv_all(self) -> list[Frame]: ...

    def clear(self) -> None: ...

    def __iter__(self) -> Acquisition: ...

    def __next__(self) -> Frame: ...

    def __repr__(self) -> str: ...

class Frame:
    """One captured frame. The pixel payload is copied out by `data()`."""

    @property
    def status(self, /) -> FrameStatus: ...

    @property
    def is_complete(self) -> bool:
        """`True` when every packet of the frame arrived."""

    @property
    def frame_id(self) -> int: ...

    @property
    def width(self) -> int: ...

    @property
    def height(self) -> int: ...

    @property
    def x_offset(self) -> int: ...

    @property
    def y_offset(self) -> int: ...

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
    def bits_per_pixel(self) -> int: ...

    @property
    def timestamp_ns(self) -> int: ...

    @property
    def timestamp_ticks(self) -> int: ...

    @property
    def system_timestamp_ns(self) -> int: ...

    @property
    def received_size(self) -> int: ...

    def data(self) -> bytes:
        """
        The payload bytes (e.g. for `numpy.frombuffer`). For an incomplete
        frame the holes read as stale buffer content — check `status` first.
        """

    def array(self) -> numpy.ndarray:
        """
        The pixels as a read-only numpy array viewing the frame's buffer, without
        a copy: (height, width) uint8 for Mono8 and the 8-bit Bayer formats,
        (height, width) uint16 for Mono10, Mono12 and Mono16 (little-endian, as
        GigE Vision sends them), (height, width, 3) uint8 for RGB8 and BGR8, and
        (height, width, 2) uint8 for YUV422_8; line padding is skipped through
        the strides. The array keeps the frame, and with it one buffer of the
        stream's pool, until it is released; it stays valid after the
        acquisition stopped. Raises ValueError when the format has no known
        layout or the data is too short for the image (`data()` still works).
        """

    def __array__(self, dtype: object | None = None, copy: bool | None = None) -> numpy.ndarray: ...

    def __repr__(self) -> str: ...

class FrameChannel:
    """
    A clone-able receiver for completed frames. Each subscription has its own
    bounded buffer; when it is full new frames are dropped for that
    subscriber and counted in [`StreamStats::frames_dropped`].
    """

    def wait_for(self, timeout: float) -> Frame | None: ...

    def try_recv(self) -> Frame | None: ...

    def recv_all(self) -> list[Frame]: ...

    def clear(self) -> None: ...

    def __iter__(self) -> FrameChannel: ...

    def __next__(self) -> Frame: ...

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
    def packets(self) -> int: ...

    @property
    def bytes(self) -> int: ...

    @property
    def completed_frames(self) -> int: ...

    @property
    def failed_frames(self) -> int: ...

    @property
    def timed_out_frames(self) -> int: ...

    @property
    def aborted_frames(self) -> int: ...

    @property
    def missing_frames(self) -> int: ...

    @property
    def underruns(self) -> int: ...

    @property
    def missing_packets(self) -> int: ...

    @property
    def resend_requests(self) -> int: ...

    @property
    def resent_packets(self) -> int: ...

    @property
    def resend_ratio_reached(self) -> int: ...

    @property
    def resend_disabled(self) -> int: ...

    @property
    def duplicated_packets(self) -> int: ...

    @property
    def error_packets(self) -> int: ...

    @property
    def ignored_packets(self) -> int: ...

    @property
    def unsupported_frames(self) -> int: ...

    @property
    def size_mismatch_errors(self) -> int: ...

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
    def commands(self) -> int: ...

    @property
    def acks(self) -> int: ...

    @property
    def retries(self) -> int: ...

    @property
    def timeouts(self) -> int: ...

    @property
    def naks(self) -> int: ...

    @property
    def pending_acks(self) -> int: ...

    @property
    def heartbeats(self) -> int: ...

    @property
    def events(self) -> int: ...

    @property
    def unsolicited(self) -> int: ...

    def __repr__(self) -> str: ...

class DeviceInfo:
    """
    Identity and addressing of a device, parsed from the first
    [`DISCOVERY_DATA_SIZE`] bytes of bootstrap register space (the discovery
    acknowledge payload, or the same block read via READMEM).
    """

    @property
    def manufacturer(self) -> str: ...

    @property
    def model(self) -> str: ...

    @property
    def serial(self) -> str: ...

    @property
    def device_version(self) -> str: ...

    @property
    def manufacturer_info(self) -> str: ...

    @property
    def user_defined_name(self) -> str: ...

    @property
    def ip(self) -> str: ...

    @property
    def subnet_mask(self) -> str: ...

    @property
    def gateway(self) -> str: ...

    @property
    def mac(self) -> str: ...

    @property
    def spec_version(self) -> tuple[int, int]:
        """GigE Vision spec version as `(major, minor)`."""

    def __repr__(self) -> str: ...

def discover(timeout: float = 1.0, *, interface: str | None = None, address: str | None = None) -> list[DeviceInfo]:
    """
    Broadcast a GigE Vision discovery beacon on every Up IPv4 adapter and
    return the devices that answer within `timeout` seconds.
    """
