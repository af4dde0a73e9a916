"""Feature metadata records: what `Camera.feature_info()` and
`Camera.categories()` return.

All records are immutable. The flags `implemented`, `available` and
`locked` are read from the device when the record is made; the texts come
from the camera's description.
"""

from __future__ import annotations

import dataclasses
import enum
from typing import Iterator, Sequence

__all__ = ["Category", "EnumEntryInfo", "FeatureInfo", "Visibility"]


class Visibility(enum.IntEnum):
    """Who a feature is meant for; each level includes the ones before it."""

    BEGINNER = 0
    EXPERT = 1
    GURU = 2
    INVISIBLE = 3


@dataclasses.dataclass(frozen=True)
class EnumEntryInfo:
    name: str
    value: int
    display_name: str
    implemented: bool
    available: bool


@dataclasses.dataclass(frozen=True)
class FeatureInfo:
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
