"""The makers' GenICam descriptions in shared/genicam-corpus beside the
checkout; tests that use them skip when the folder is absent."""

from __future__ import annotations

import pathlib


def corpus_files() -> list[pathlib.Path]:
    for parent in pathlib.Path(__file__).resolve().parents:
        d = parent / "shared" / "genicam-corpus"
        if d.is_dir():
            return sorted(d.glob("*.xml"))
    return []
