"""The main job so far: start a virtual camera on loopback, show who it is and
what it serves, and stop it."""

import socket
import struct

import oculane
from oculane.sim import VirtualCamera, describe

CAMERA_IP = "127.0.0.2"


def ask_identity(ip: str) -> dict[str, str]:
    """A unicast discovery command to one address (never a broadcast)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        s.settimeout(1.0)
        s.sendto(bytes.fromhex("42110002" "0000" "ffff"), (ip, 3956))
        ack, _ = s.recvfrom(1024)
    status, code, length, _ = struct.unpack(">HHHH", ack[:8])
    assert status == 0 and code == 0x0003 and length == 248, ack[:8].hex()
    block = ack[8:]

    def text(offset: int, width: int) -> str:
        return block[offset:offset + width].split(b"\0", 1)[0].decode("utf-8", "replace")

    return {
        "manufacturer": text(72, 32),
        "model": text(104, 32),
        "serial": text(216, 16),
        "version": text(136, 32),
        "ip": socket.inet_ntoa(block[36:40]),
        "mac": ":".join(f"{b:02x}" for b in block[10:16]),
    }


def main() -> None:
    print("oculane", "— public names:", ", ".join(oculane.__all__))
    with VirtualCamera(CAMERA_IP) as cam:
        print(describe(cam))
        print("identity from its discovery acknowledge:")
        for key, value in ask_identity(CAMERA_IP).items():
            print(f"  {key:13} {value}")
        print(f"  payload size {cam.payload_size} bytes (Width x Height x bytes per pixel)")
    print("virtual camera stopped")


if __name__ == "__main__":
    main()
