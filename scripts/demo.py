"""Start a virtual camera on loopback, connect to it, show its identity and
features, change a few of them, and disconnect. No root needed."""

import re

import oculane
from oculane import AccessMode, Camera
from oculane.sim import VirtualCamera, describe

CAMERA_IP = "127.0.0.2"
FEATURE = re.compile(r"<(Integer|Float|Boolean|Enumeration|String|StringReg|Command)\s+Name=\"([^\"]+)\"")
MODES = {int(AccessMode.RO): "RO", int(AccessMode.WO): "WO", int(AccessMode.RW): "RW"}


def read(camera: Camera, kind: str, name: str) -> str:
    try:
        if kind == "Integer":
            value = camera.get_integer(name)
            lo, hi = camera.integer_bounds(name)
            return f"{value}" + (f"  [{lo}..{hi}]" if hi < 2**63 - 1 else "")
        if kind == "Float":
            return f"{camera.get_float(name):.6g}"
        if kind == "Boolean":
            return str(camera.get_boolean(name))
        if kind == "Enumeration":
            return f"{camera.get_enum(name)}  of {', '.join(camera.enum_entries(name))}"
        if kind in ("String", "StringReg"):
            return repr(camera.get_string(name))
        return "(command)"
    except (oculane.CameraException, oculane.GenicamException) as e:
        return f"<{e}>"


def main() -> None:
    with VirtualCamera(CAMERA_IP) as device:
        print(describe(device))
        print()
        camera = Camera(CAMERA_IP)
        camera.connect()
        info = camera.device_info()
        print(f"connected to {info.manufacturer} {info.model}, serial {info.serial}, "
              f"version {info.device_version}, at {info.ip} ({info.mac})")

        features = FEATURE.findall(device.description)
        print(f"\n{len(features)} features:")
        print(f"  {'feature':28} {'kind':12} {'mode':4}  value")
        for kind, name in features:
            mode = MODES[int(camera.access_mode(name))]
            print(f"  {name:28} {kind:12} {mode:4}  {read(camera, kind, name)}")

        print("\nchanging settings:")
        camera.set_integer("Width", 320)
        print(f"  Width        := 320      -> {camera.get_integer('Width')}"
              f" (PayloadSize now {camera.get_integer('PayloadSize')})")
        camera.set_float("ExposureTime", 2500.0)
        print(f"  ExposureTime := 2500.0   -> {camera.get_float('ExposureTime'):.6g} us")
        formats = camera.enum_entries("PixelFormat")
        target = formats[-1]
        camera.set_enum("PixelFormat", target)
        print(f"  PixelFormat  := {target:8} -> {camera.get_enum('PixelFormat')}"
              f" (PayloadSize now {camera.get_integer('PayloadSize')})")

        stats = camera.link_stats()
        camera.disconnect()
        print(f"\ndisconnected after {stats.commands} commands ({stats.retries} retries)")


if __name__ == "__main__":
    main()
