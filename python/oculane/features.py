"""Features as objects: the metadata records that `Camera.feature_info()` and
`Camera.categories()` return, and the generic access behind `Camera.get`,
`Camera.set`, `camera[name]` and `Camera.feature()`.

All records are immutable. The flags `implemented`, `available` and
`locked` are read from the device when the record is made; the texts come
from the camera's description.
"""

from __future__ import annotations

import dataclasses
import enum
import numbers
import operator
import sys
from typing import TYPE_CHECKING, Any, Iterator, Sequence

import numpy

from . import _oculane_core as _core

if TYPE_CHECKING:  # pragma: no cover
    from . import Camera

__all__ = ["Category", "EnumEntryInfo", "Feature", "FeatureInfo", "Visibility"]


class Visibility(enum.IntEnum):
    """Who a feature is meant for; each level includes the ones before it."""

    BEGINNER = 0
    EXPERT = 1
    GURU = 2
    INVISIBLE = 3


@dataclasses.dataclass(frozen=True)
class EnumEntryInfo:
    """One entry of an Enumeration feature: its name, integer value and display
    name, and whether it is implemented and available now."""

    name: str
    value: int
    display_name: str
    implemented: bool
    available: bool


@dataclasses.dataclass(frozen=True)
class FeatureInfo:
    """What a feature is (`Camera.feature_info()`): its kind, texts, unit,
    visibility and place in the category tree, the features it selects and
    that select it, its enumeration entries, and whether it is implemented,
    available and locked at the moment the record was made."""

    name: str
    kind: str
    """Integer, Float, Boolean, String, Enumeration, Command, Category, Register or Port."""
    display_name: str
    tooltip: str
    description: str
    unit: str
    representation: str
    visibility: Visibility
    category_path: tuple[str, ...]
    """Enclosing categories, outermost first."""
    implemented: bool
    available: bool
    locked: bool
    selected: tuple[str, ...]
    """Features whose value this one selects (it is their selector)."""
    selectors: tuple[str, ...]
    """Features that select this one."""
    entries: tuple[EnumEntryInfo, ...]
    """Enumeration entries in description order; empty for other kinds."""

    def available_entries(self) -> list[str]:
        """Names of the entries that are implemented and available now."""
        return [e.name for e in self.entries if e.implemented and e.available]


@dataclasses.dataclass(frozen=True)
class Category:
    """One category of the description's tree (`Camera.categories()`): its
    features and subcategories, in description order."""

    name: str
    display_name: str
    visibility: Visibility
    features: tuple[str, ...]
    """Members that are not categories, in description order."""
    subcategories: tuple["Category", ...]

    def walk(self, depth: int = 0) -> Iterator[tuple[int, "Category"]]:
        """This category and every one below it, depth first, with its depth."""
        yield depth, self
        for sub in self.subcategories:
            yield from sub.walk(depth + 1)


def _category_tree(rows: Sequence[tuple]) -> tuple[Category, ...]:
    """Builds the tree from (name, display, visibility, parent, subcategories,
    features) rows, parents before children, as the core lists them."""
    by_name: dict[str, tuple] = {row[0]: row for row in rows}

    def build(name: str) -> Category:
        _, display, visibility, _, subs, features = by_name[name]
        return Category(name, display, Visibility(visibility), tuple(features),
                        tuple(build(s) for s in subs if s in by_name))

    return tuple(build(row[0]) for row in rows if not row[3])


# ---- generic access: values by the feature's own kind ------------------------------

# The getter and setter of each kind of feature that has a value.
_GETTERS = {"Integer": "get_integer", "Float": "get_float", "Boolean": "get_boolean",
            "String": "get_string", "Enumeration": "get_enum"}
_SETTERS = {"Integer": "set_integer", "Float": "set_float", "Boolean": "set_boolean",
            "String": "set_string", "Enumeration": "set_enum"}
_INT64 = (-(1 << 63), (1 << 63) - 1)
_DOUBLE = (-sys.float_info.max, sys.float_info.max)


def _article(kind: str) -> str:
    return "an" if kind[0] in "AEIOU" else "a"


def _no_value(name: str, kind: str, verb: str) -> TypeError:
    if kind == "Command":
        return TypeError(f"feature {name!r} is a Command and has no value to {verb}; "
                         f"run it with execute({name!r})")
    return TypeError(f"feature {name!r} is {_article(kind)} {kind} and has no value to {verb}")


def _wrong_type(name: str, kind: str, value: object, wanted: str) -> TypeError:
    return TypeError(f"feature {name!r} is {_article(kind)} {kind}: it takes {wanted}, "
                     f"not {value!r} ({type(value).__name__})")


def _is_bool(value: object) -> bool:
    return isinstance(value, (bool, numpy.bool_))


def _as_integer(name: str, value: object) -> int:
    if _is_bool(value) or isinstance(value, (str, bytes)):
        raise _wrong_type(name, "Integer", value, "an int")
    try:
        whole = operator.index(value)  # int, numpy integers
    except TypeError:
        if not isinstance(value, numbers.Real):
            raise _wrong_type(name, "Integer", value, "an int") from None
        # A float is fine when it holds a whole number (640.0).
        try:
            whole = int(value)
        except (OverflowError, ValueError):
            whole = None
        if whole is None or whole != value:
            raise ValueError(f"feature {name!r} is an Integer: {value!r} is not a whole number") from None
    if not _INT64[0] <= whole <= _INT64[1]:
        raise OverflowError(f"feature {name!r} is an Integer: an integer of {whole.bit_length()} bits "
                            f"is outside the signed 64-bit range")
    return whole


def _as_float(name: str, value: object) -> float:
    if _is_bool(value) or not isinstance(value, numbers.Real):
        raise _wrong_type(name, "Float", value, "a float or an int")
    try:
        return float(value)
    except OverflowError:
        raise OverflowError(f"feature {name!r} is a Float: the value is beyond the range of a float") from None


def _converted(name: str, kind: str, value: object) -> object:
    """The value as the setter of `kind` takes it, or the error naming the feature."""
    if kind == "Integer":
        return _as_integer(name, value)
    if kind == "Float":
        return _as_float(name, value)
    if kind == "Boolean":
        if not _is_bool(value):
            raise _wrong_type(name, kind, value, "True or False")
        return bool(value)
    if kind == "Enumeration":
        if not isinstance(value, str):
            raise _wrong_type(name, kind, value, "an entry name (str)")
        return value
    if kind == "String":
        if not isinstance(value, str):
            raise _wrong_type(name, kind, value, "a str")
        return value
    raise _no_value(name, kind, "set")


def _check_name(name: object) -> str:
    if not isinstance(name, str):
        raise TypeError(f"feature names are str, not {type(name).__name__}")
    return name


def get_value(camera: Camera, name: str) -> Any:
    """`Camera.get`: the value through the getter of the feature's kind."""
    kind, _ = camera._feature_kind(_check_name(name))
    method = _GETTERS.get(kind)
    if method is None:
        raise _no_value(name, kind, "read")
    return getattr(camera, method)(name)


def set_value(camera: Camera, name: str, value: object) -> None:
    """`Camera.set`: the value converted for the feature's kind, then its setter."""
    kind, _ = camera._feature_kind(_check_name(name))
    converted = _converted(name, kind, value)
    getattr(camera, _SETTERS[kind])(name, converted)


def feature(camera: Camera, name: str) -> Feature:
    """`Camera.feature`: the feature's handle, once it is known to exist."""
    kind, unit = camera._feature_kind(_check_name(name))
    return Feature(camera, name, kind, unit)


def iter_features(camera: Camera) -> Iterator[Feature]:
    """`Camera.features`: every feature in the category tree, depth first,
    each once. A camera without a feature model fails here, not at the first
    step of the iteration."""
    tops = camera.categories()

    def walk() -> Iterator[Feature]:
        seen: set[str] = set()
        for top in tops:
            for _, category in top.walk():
                for name in category.features:
                    if name not in seen:
                        seen.add(name)
                        yield feature(camera, name)

    return walk()


def contains(camera: Camera, name: object) -> bool:
    """`name in camera`."""
    return isinstance(name, str) and camera.has_feature(name)


def completions(camera: Camera) -> list[str]:
    """Feature names for `camera[...]` completion in IPython and Jupyter: the
    ones in the category tree, in its order; none without a feature model."""
    try:
        tops = camera.categories()
    except _core.GenicamError:
        return []
    names: dict[str, None] = {}
    for top in tops:
        for _, category in top.walk():
            names.update(dict.fromkeys(category.features))
    return list(names)


class Feature:
    """One feature of a connected camera, reached by name without knowing its
    kind. `Camera.feature(name)` makes one; it holds only the camera, the name,
    the kind and the unit, and reads everything else from the camera (through
    its feature model and caches) each time it is asked::

        >>> width = cam.feature("Width")
        >>> width
        Feature(Width: Integer = 640 [16..1280] step 4)
        >>> width.value, width.bounds, width.increment, width.access
        (640, (16, 1280), 4, AccessMode.RW)
        >>> width.set(320)                  # or width.value = 320
    """

    __slots__ = ("_camera", "_name", "_kind", "_unit")

    def __init__(self, camera: Camera, name: str, kind: str, unit: str) -> None:
        self._camera = camera
        self._name = name
        self._kind = kind
        self._unit = unit

    @property
    def name(self) -> str:
        """The feature's name, as the description spells it."""
        return self._name

    @property
    def kind(self) -> str:
        """What the value is: Integer, Float, Boolean, String, Enumeration or
        Command (or Category, Register, Port for nodes that have no value)."""
        return self._kind

    @property
    def unit(self) -> str:
        """The unit the description gives the value ("us", "dB"), or ""."""
        return self._unit

    @property
    def value(self) -> Any:
        """The current value, read on access (`Camera.get`). Setting it is
        `set()`."""
        return get_value(self._camera, self._name)

    @value.setter
    def value(self, value: object) -> None:
        set_value(self._camera, self._name, value)

    def set(self, value: object) -> None:
        """Write a value, converted as `Camera.set` converts it."""
        set_value(self._camera, self._name, value)

    def execute(self) -> None:
        """Run a Command feature (`Camera.execute`)."""
        self._camera.execute(self._name)

    @property
    def bounds(self) -> tuple[int, int] | tuple[float, float] | None:
        """(minimum, maximum) of an Integer or Float, read now; None for other
        kinds."""
        if self._kind == "Integer":
            return self._camera.integer_bounds(self._name)
        if self._kind == "Float":
            return self._camera.float_bounds(self._name)
        return None

    @property
    def increment(self) -> int | None:
        """The step between valid values of an Integer, read now; None for
        other kinds."""
        if self._kind == "Integer":
            return self._camera.integer_increment(self._name)
        return None

    @property
    def entries(self) -> tuple[str, ...] | None:
        """The entry names of an Enumeration, in description order (see
        `info.available_entries()` for those usable now); None for other
        kinds."""
        if self._kind == "Enumeration":
            return tuple(self._camera.enum_entries(self._name))
        return None

    @property
    def access(self) -> _core.AccessMode:
        """The access mode now: `AccessMode.RO`, `WO` or `RW`."""
        return self._camera.access_mode(self._name)

    @property
    def info(self) -> FeatureInfo:
        """The feature's `FeatureInfo` (texts, visibility, category, state),
        read now."""
        return self._camera.feature_info(self._name)

    def _range_text(self) -> str:
        if self._kind == "Integer":
            low, high = self._camera.integer_bounds(self._name)
            if (low, high) == _INT64:
                return ""
            step = self._camera.integer_increment(self._name)
            return f" [{low}..{high}]" + (f" step {step}" if step != 1 else "")
        if self._kind == "Float":
            low, high = self._camera.float_bounds(self._name)
            return "" if (low, high) == _DOUBLE else f" [{low:g}..{high:g}]"
        if self._kind == "Enumeration":
            return " {" + "|".join(self._camera.enum_entries(self._name)) + "}"
        return ""

    def __repr__(self) -> str:
        head = f"Feature({self._name}: {self._kind}"
        if self._kind not in _GETTERS:
            return head + ")"
        try:
            text = f"{self.value!r}" + (f" {self._unit}" if self._unit else "")
        except (_core.CameraError, _core.GenicamError) as e:
            text = f"<unreadable: {e}>"
        try:
            text += self._range_text()
        except (_core.CameraError, _core.GenicamError):
            pass
        return f"{head} = {text})"
