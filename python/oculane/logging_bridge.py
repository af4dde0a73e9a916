"""The library's log events in Python's `logging`.

Off by default. `enable()` installs a sink in the core that copies each event
into a bounded queue; a daemon thread ("oculane-log") takes them out, with
the interpreter lock released while it waits, and emits them as log records:

- the logger is named after the event's target: "oculane::gige::runner"
  logs to "oculane.gige.runner";
- levels map to DEBUG, INFO, WARNING and ERROR, and trace to TRACE (5);
- the event's named fields are the record's `fields` dict, and each field
  whose name does not clash with a LogRecord attribute is also an attribute
  of the record (as `extra` would make it).

Worker threads never wait for Python: when the queue is full an event is
dropped and counted, and the next record emitted after a drop is a WARNING
on the "oculane" logger saying how many were lost.

Without the thread (``thread=False``) call `drain()` yourself.
"""

from __future__ import annotations

import atexit
import logging
import threading

from . import _oculane_core as _core

__all__ = ["TRACE", "enable", "disable", "drain", "dropped"]

TRACE = 5

# Core levels: trace, debug, info, warn, error.
_TO_PYTHON = (TRACE, logging.DEBUG, logging.INFO, logging.WARNING, logging.ERROR)
_RESERVED = frozenset(vars(logging.LogRecord("", 0, "", 0, "", (), None))) | {"message", "asctime", "fields"}

_lock = threading.Lock()
_thread: threading.Thread | None = None
_reported_drops = 0


def _core_level(level: int) -> int:
    """The lowest core level whose events the Python level lets through."""
    for core, python in enumerate(_TO_PYTHON):
        if level <= python:
            return core
    return len(_TO_PYTHON) - 1


def _emit(event: tuple) -> None:
    target, level, message, fields = event
    logger = logging.getLogger(target.replace("::", "."))
    pylevel = _TO_PYTHON[level]
    if not logger.isEnabledFor(pylevel):
        return
    values = dict(fields)
    extra = {k: v for k, v in values.items() if k not in _RESERVED}
    extra["fields"] = values
    logger.handle(logger.makeRecord(logger.name, pylevel, "(oculane)", 0, message, (), None, extra=extra))


def _report_drops() -> None:
    global _reported_drops
    total = _core._log_dropped()
    if total > _reported_drops:
        logging.getLogger("oculane").warning(
            "log queue full: %d events dropped", total - _reported_drops)
        _reported_drops = total


def drain(timeout: float = 0.0) -> int:
    """Emits every event queued now (waiting up to `timeout` seconds for the
    first); returns how many were emitted."""
    n = 0
    wait = timeout
    while True:
        event = _core._log_next(wait)
        if not event:
            break
        _emit(event)
        n += 1
        wait = 0.0
    _report_drops()
    return n


def _run() -> None:
    while True:
        event = _core._log_next(0.1)
        if event is False:
            break
        if event is not None:
            _emit(event)
        _report_drops()


def enable(level: int = logging.DEBUG, *, capacity: int = 10000, thread: bool = True) -> None:
    """Starts delivering events at `level` (a logging level) and above."""
    global _thread, _reported_drops
    disable()
    # Named only once the bridge is used, and never over a name the
    # application gave level 5 itself.
    if logging.getLevelName(TRACE) == f"Level {TRACE}":
        logging.addLevelName(TRACE, "TRACE")
    with _lock:
        _core._log_enable(_core_level(level), capacity)
        _reported_drops = 0
        if thread:
            _thread = threading.Thread(target=_run, name="oculane-log", daemon=True)
            _thread.start()


def disable() -> None:
    """Stops delivery; events already queued are still emitted."""
    global _thread
    with _lock:
        _core._log_disable()
        t, _thread = _thread, None
    if t is not None and t is not threading.current_thread():
        t.join()
    else:
        drain()


def dropped() -> int:
    """Events lost to a full queue since `enable()`."""
    return _core._log_dropped()


atexit.register(disable)
