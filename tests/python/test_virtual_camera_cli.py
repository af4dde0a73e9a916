"""`python -m oculane.sim`: serves until interrupted and says what it serves."""

from __future__ import annotations

import signal
import subprocess
import sys

import pytest

from gvcp_raw import Ack, Host, read_reg


def test_command_line_serves_until_interrupted(camera_ip: str) -> None:
    proc = subprocess.Popen(
        [sys.executable, "-m", "oculane.sim", "--ip", camera_ip, "--serial", "CLI-1", "--plain-xml"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        banner = [proc.stdout.readline() for _ in range(5)]
        assert banner[0].strip() == f"virtual camera on {camera_ip}:3956"
        assert "serial CLI-1" in banner[1]
        assert banner[2].strip().startswith("first URL:  Local:oculane-virtual-camera.xml;100000;")
        assert banner[4].strip() == "serving until interrupted (Ctrl-C)"
        with Host(camera_ip) as h:
            h.send(read_reg(3, 0x0000))
            assert Ack(h.recv()).words() == [0x00020000]
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0, err
    assert out.strip().endswith("stopped")


def test_command_line_reports_a_busy_address(camera_ip: str) -> None:
    from oculane.sim import VirtualCamera

    with VirtualCamera(camera_ip):
        done = subprocess.run(
            [sys.executable, "-m", "oculane.sim", "--ip", camera_ip],
            capture_output=True,
            text=True,
            timeout=30,
        )
    assert done.returncode == 1
    assert "Address already in use" in done.stderr


def test_command_line_in_process_restores_signal_handlers(camera_ip: str) -> None:
    from oculane.sim import VirtualCamera, main

    before = signal.getsignal(signal.SIGINT), signal.getsignal(signal.SIGTERM)
    with VirtualCamera(camera_ip):
        assert main(["--ip", camera_ip]) == 1  # the address is taken
    assert (signal.getsignal(signal.SIGINT), signal.getsignal(signal.SIGTERM)) == before


@pytest.mark.parametrize(
    "options,message",
    [
        (["--serial", "S" * 17], "serial 'SSSSSSSSSSSSSSSSS' is longer than the 16 bytes its field holds"),
        (["--description", "/nonexistent/camera.xml"], "No such file or directory"),
        (["--gateway", "10.0.0.300"], "10.0.0.300"),
    ],
    ids=["long serial", "missing description", "bad gateway"],
)
def test_command_line_refuses_bad_options_without_a_traceback(camera_ip: str, options: list[str],
                                                              message: str) -> None:
    done = subprocess.run(
        [sys.executable, "-m", "oculane.sim", "--ip", camera_ip, *options],
        capture_output=True,
        text=True,
        timeout=30,
    )
    assert done.returncode == 2
    assert done.stderr.startswith("cannot start the virtual camera: ") and message in done.stderr
    assert "Traceback" not in done.stderr and done.stdout == ""


def test_command_line_device_switches_reach_the_device(camera_ip: str) -> None:
    from oculane.sim import _camera_from, _parser

    cam = _camera_from(_parser().parse_args(["--ip", camera_ip, "--no-concatenation"]))
    assert cam.read_register(0x0934) & 0x1 == 0


def test_stream_switches_from_flags_and_at_run_time(camera_ip: str) -> None:
    proc = subprocess.Popen(
        [sys.executable, "-m", "oculane.sim", "--ip", camera_ip, "--fault", "drop_packets:packets=3+4,count=2",
         "--path-mtu", "1500", "--link-rate", "1g", "--stream-channels", "3"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        for _ in range(5):
            proc.stdout.readline()
        with Host(camera_ip) as h:
            h.send(read_reg(3, 0x0904))
            assert Ack(h.recv()).words() == [3]
        answers = []
        for line in ["fault loss:ratio=0.25", "lose-resent on", "mtu none", "link 10g", "clear", "fault jitter",
                     "counters"]:
            proc.stdin.write(line + "\n")
            proc.stdin.flush()
            answers.append(proc.stdout.readline().strip())
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert answers[:5] == ["fault loss:ratio=0.25 set", "lose-resent on", "path MTU none", "link rate 10g",
                           "stream faults cleared"]
    assert answers[5].startswith("error: kind must be one of")
    assert answers[6].startswith("frames=0 packets=0 ")


@pytest.mark.parametrize(
    "text,message",
    [("loss:ratio", "not key=value"), ("loss:speed=3", "unknown fault option"), ("burst:length=x", "invalid value")],
)
def test_bad_fault_texts_are_named(text: str, message: str) -> None:
    from oculane.sim import parse_fault

    with pytest.raises(ValueError, match=message):
        parse_fault(text)


def test_run_time_commands_switch_real_camera_behaviours(virtual_camera, camera_ip: str) -> None:
    from oculane.sim import run_command

    cam = virtual_camera
    assert run_command(cam, "power-off") == "power off"
    with Host(camera_ip) as h:
        h.send(read_reg(3, 0x0000))
        assert h.recv(0.2) is None  # without power nothing answers
        assert run_command(cam, "power-on") == "power on"
        h.send(read_reg(4, 0x0000))
        assert Ack(h.recv()).words() == [0x00020000]
    assert run_command(cam, "power-off 3") == "power off after 3 frames"
    assert cam.powered  # not before three frames went out
    for line, answer in [("ignore-single-frame on", "ignore-single-frame on"),
                         ("stream-on-port off", "stream-on-port off")]:
        assert run_command(cam, line) == answer
    with pytest.raises(ValueError, match="power-off \\[FRAMES\\]"):
        run_command(cam, "power-off now")
