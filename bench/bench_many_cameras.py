"""Many cameras in one process: the receiving side's CPU time per packet with
four virtual cameras streaming at once, against one camera measured in the
same run.

Each camera sends 640x480 Mono8 frames at 100 frames a second on 1,500-byte
packets (UDP GSO, so the in-process senders stay cheap); one acquisition per
camera, one consumer thread each (`for frame in acq: frame.array()`). The CPU
counted is the stream workers' (threads "oculane-gvsp*", from
/proc/self/task/*/schedstat) plus the consumer threads'; the virtual cameras'
threads are left out. Figures and ratios only; nothing is asserted."""

from __future__ import annotations

import contextlib
import os
import threading
import time

import oculane
from oculane.sim import VirtualCamera

WIDTH, HEIGHT = 640, 480
RATE = 100.0
PACKET_SIZE = 1500
SECONDS = 3.0
ROUNDS = 2
IPS = [f"127.43.1.{i}" for i in range(2, 6)]


def worker_cpu_ns() -> int:
    total = 0
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                if not f.read().startswith("oculane-gvsp"):
                    continue
            with open(f"/proc/self/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            continue  # the thread ended meanwhile
    return total


def round_with(cams: list[oculane.Camera]) -> dict[str, float]:
    consumer_cpu = [0.0] * len(cams)
    frames = [0] * len(cams)
    with contextlib.ExitStack() as stack:
        acqs = [stack.enter_context(cam.start_acquisition(packet_size=PACKET_SIZE, n_buffers=16)) for cam in cams]
        for acq in acqs:
            acq.wait_for(5.0)
        first = [acq.stats() for acq in acqs]
        start_workers, start = worker_cpu_ns(), time.monotonic()

        def consume(k: int, acq: oculane.Acquisition) -> None:
            cpu = time.thread_time()
            for frame in acq:
                if frame.is_complete:
                    frame.array()
                frames[k] += 1
                if time.monotonic() - start >= SECONDS:
                    break
            consumer_cpu[k] = time.thread_time() - cpu

        threads = [threading.Thread(target=consume, args=(k, a)) for k, a in enumerate(acqs)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        wall = time.monotonic() - start
        workers = (worker_cpu_ns() - start_workers) / 1e9
        last = [acq.stats() for acq in acqs]
    packets = sum(b.packets - a.packets for a, b in zip(first, last))
    completed = sum(b.completed_frames - a.completed_frames for a, b in zip(first, last))
    lost = sum((b.failed_frames - a.failed_frames) + (b.underruns - a.underruns) + (b.frames_dropped - a.frames_dropped)
               for a, b in zip(first, last))
    cpu = workers + sum(consumer_cpu)
    return {"ns_per_packet": 1e9 * cpu / max(packets, 1), "packets_s": packets / wall, "fps": completed / wall,
            "lost": lost, "cpu_share": cpu / wall}


def main() -> None:
    with contextlib.ExitStack() as stack:
        cams = []
        for ip in IPS:
            stack.enter_context(VirtualCamera(ip, sensor_width=WIDTH, sensor_height=HEIGHT, width=WIDTH,
                                              height=HEIGHT, gso=True))
            cam = oculane.Camera(ip)
            cam.connect()
            cam.set_enum("PixelFormat", "Mono8")
            cam.set_float("AcquisitionFrameRate", RATE)
            stack.callback(cam.disconnect)
            cams.append(cam)
        one, four = [], []
        for _ in range(ROUNDS):  # alternating, as the machine may be shared
            one.append(round_with(cams[:1]))
            four.append(round_with(cams))
    a = min(one, key=lambda r: r["ns_per_packet"])
    b = min(four, key=lambda r: r["ns_per_packet"])
    print(f"{WIDTH}x{HEIGHT} Mono8 at {RATE:g} frames/s a camera, {PACKET_SIZE}-byte packets, "
          f"{SECONDS:g} s a round, best of {ROUNDS}; CPU = stream workers + consumer threads")
    for name, r in (("1 camera ", a), ("4 cameras", b)):
        print(f"{name}: {r['ns_per_packet']:.0f} ns CPU a packet, {r['packets_s']:.0f} packets/s, "
              f"{r['fps']:.1f} frames/s completed in all, {r['lost']} frames lost or dropped, "
              f"{100 * r['cpu_share']:.0f}% of a core")
    print(f"4 cameras / 1 camera: CPU a packet {b['ns_per_packet'] / max(a['ns_per_packet'], 1e-3):.2f}x "
          f"(goal: within 1.10x)")


if __name__ == "__main__":
    main()
