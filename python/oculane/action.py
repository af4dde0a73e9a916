"""Action commands: one GVCP ACTION_CMD that makes every addressed camera act
at once, or at a device time given in advance."""

from __future__ import annotations

from typing import NamedTuple

from . import _oculane_core


class ActionAck(NamedTuple):
    """A device's acknowledge of an action command: where it came from and the
    GVCP status it carried (0 success; 0x8016 the scheduled time had passed and
    the device acted at once; 0x8015 its queue of scheduled actions was full)."""

    address: str
    port: int
    status: int


def action_command(device_key: int, group_key: int, group_mask: int, *, scheduled_time: int | None = None,
                   interface: str | None = None, address: str | None = None,
                   ack_timeout: float = 0.2) -> list[ActionAck]:
    """Send one action command (GVCP ACTION_CMD) and return the acknowledges
    of the devices that acted on it, collected for `ack_timeout` seconds.

    A device acts when `device_key` equals its ActionDeviceKey and, for one of
    its action signals, `group_key` equals the signal's ActionGroupKey and
    `group_mask` shares a bit with its ActionGroupMask; a trigger whose
    TriggerSource is that signal (Action0, ...) then fires. Other devices stay
    silent. Devices act only while an application holds their control
    privilege. With `scheduled_time` (device timestamp ticks, e.g. from
    TimestampLatch and TimestampLatchValue plus a margin) devices act at that
    time of their own clock; cameras whose clocks are synchronised act
    together.

    The command is broadcast on the subnet of every IPv4 adapter, or of the one
    `interface` names (interface name or address); with `address` it goes to
    that device alone, and the call returns as soon as it answered.
    `ack_timeout=0` asks for no acknowledge and returns an empty list at once.

        acks = oculane.action_command(1, 1, 0xFFFFFFFF, interface="eth1")
    """
    acks = _oculane_core._action_command(device_key, group_key, group_mask, scheduled_time=scheduled_time,
                                         interface=interface, address=address, ack_timeout=ack_timeout)
    return [ActionAck(*a) for a in acks]
