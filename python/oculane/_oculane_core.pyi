import os

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

class AccessMode:
    def __int__(self) -> int: ...

    def __repr__(self) -> str: ...

    def __eq__(self, other: object | None) -> object: ...

    def __ne__(self, other: object | None) -> object: ...

    __hash__: None = None

    RO: AccessMode = ...

    WO: AccessMode = ...

    RW: AccessMode = ...

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
