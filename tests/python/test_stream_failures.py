"""Failures reach the caller, and the stream and the camera agree: a camera
that loses power mid-stream, Ctrl-C during a snap, a pool starved by frames
the application keeps, a camera that is already streaming when a stream
opens, and the stream socket's receive buffer."""

from __future__ import annotations

import logging
import os
import re
import shutil
import signal
import subprocess
import threading
import time

import pytest

import oculane
from oculane.sim import VirtualCamera
from streaming import FRAME_RATE, HEIGHT, WIDTH, acquisition_writes, eventually, streaming_camera

LOST = "device control was lost (heartbeat failed)"
TIMEOUT_TEXT = "no frame arrived within the snap timeout"


def losable_camera(vc: VirtualCamera, ip: str) -> oculane.Camera:
    """A camera object that notices a silent camera within about a second."""
    cam = oculane.Camera(ip, gvcp_timeout=0.1, heartbeat_timeout=1.0)
    cam.connect()
    cam.set_float("AcquisitionFrameRate", FRAME_RATE)
    return cam


# ---- camera loss --------------------------------------------------------------------


def take_until_it_fails(acq: oculane.Acquisition, how: str, taken: list, failure: list) -> None:
    """Reads frames the way `how` says until the read raises (on a thread
    of its own, so that a wait that never ends fails the test instead of
    hanging it)."""
    try:
        if how == "iteration":
            taken.extend(acq)
        elif how == "subscription":
            taken.extend(acq.subscribe(16))
        else:
            end = time.monotonic() + 30
            while time.monotonic() < end:
                frame = acq.wait_for(0.5)
                if frame is not None:
                    taken.append(frame)
    except oculane.CameraException as e:
        failure.append(e)


@pytest.mark.parametrize("how", ["iteration", "wait_for", "subscription"])
def test_camera_loss_ends_every_wait_once_the_queued_frames_are_taken(camera_ip, how):
    with VirtualCamera(camera_ip, width=WIDTH, height=HEIGHT) as vc:
        cam = losable_camera(vc, camera_ip)
        vc.power_off(after_frames=5)
        acq = cam.start_acquisition(n_buffers=16)
        taken: list[oculane.Frame] = []
        failure: list[oculane.CameraException] = []
        reader = threading.Thread(target=take_until_it_fails, args=(acq, how, taken, failure), daemon=True)
        reader.start()
        reader.join(20)
        assert not reader.is_alive(), "the wait did not end"
        assert [str(e) for e in failure] == [LOST]
        assert not vc.powered and not cam.is_connected()
        # Every frame the camera sent before it went silent came first.
        ids = [f.frame_id for f in taken if f.is_complete]
        assert ids == list(range(ids[0], 6)) and (how == "subscription" or ids[0] == 1)
        acq.clear()  # the built-in queue, unread while a subscription was read
        with pytest.raises(oculane.CameraException, match=re.escape(LOST)):
            acq.wait_for(0.1)  # and it stays so
        with pytest.raises(oculane.CameraException):
            acq.stop()  # AcquisitionStop cannot reach the camera; the stream is closed all the same
        assert acq.is_stopped()


@pytest.mark.parametrize("kind", ["Camera.snap", "session snap"])
def test_camera_loss_fails_a_snap(camera_ip, kind):
    with VirtualCamera(camera_ip, width=WIDTH, height=HEIGHT) as vc:
        cam = losable_camera(vc, camera_ip)
        session = cam.snapshot_session() if kind == "session snap" else None
        vc.stream_fault("drop_frame")
        vc.power_off(after_frames=1)
        start = time.monotonic()
        with pytest.raises(oculane.CameraException, match=re.escape(LOST)):
            session.snap(30) if session else cam.snap(30)
        assert time.monotonic() - start < 15  # long before the snap's own timeout
        if session:
            session.close()  # never raises for camera trouble
        assert not cam.is_connected()


# ---- Ctrl-C in a snap -----------------------------------------------------------------


def normalised(writes: list[tuple[str, int]]) -> list[tuple[str, int]]:
    # The stream port differs from stream to stream; whether it opened or closed does not.
    return [(name, int(value != 0) if name == "port" else value) for name, value in writes]


@pytest.mark.parametrize("kind", ["Camera.snap", "session snap"])
def test_ctrl_c_ends_a_snap_and_puts_the_camera_back_as_a_timeout_does(camera_ip, kind):
    with streaming_camera(camera_ip, tl_params_locked=True) as (vc, cam):
        session = cam.snapshot_session() if kind == "session snap" else None

        def snap(timeout: float) -> oculane.Frame:
            return session.snap(timeout) if session else cam.snap(timeout)

        vc.stream_fault("drop_frame")
        before = len(vc.commands())
        with pytest.raises(oculane.GenicamException, match=TIMEOUT_TEXT):
            snap(0.05)
        timed_out = normalised(acquisition_writes(vc, before))

        before = len(vc.commands())
        interrupt = threading.Timer(0.2, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT))
        start = time.monotonic()
        interrupt.start()
        with pytest.raises(KeyboardInterrupt):
            snap(30)
        assert time.monotonic() - start < 5  # not the 30 s of the snap timeout
        interrupt.join()
        assert normalised(acquisition_writes(vc, before)) == timed_out
        assert not vc.acquiring

        vc.clear_stream_faults()
        assert snap(5).is_complete  # the session, or the camera's busy slot, is free again
        if session:
            session.close()
        assert cam.get_enum("AcquisitionMode") == "Continuous"


def test_a_session_closed_during_a_snap_ends_the_snap(camera_ip):
    with streaming_camera(camera_ip) as (vc, cam):
        session = cam.snapshot_session()
        vc.stream_fault("drop_frame")
        closer = threading.Timer(0.2, session.close)
        closer.start()
        with pytest.raises(ValueError, match="snapshot session is closed"):
            session.snap(30)
        closer.join()
        assert not vc.acquiring  # the snap still stopped the camera it started
        with cam.start_acquisition():
            pass


# ---- a starved pool -------------------------------------------------------------------


@pytest.fixture
def warnings_logged():
    records: list[logging.LogRecord] = []

    class Keep(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            records.append(record)

    logger = logging.getLogger("oculane")
    handler = Keep(logging.WARNING)
    logger.addHandler(handler)
    oculane.enable_logging(logging.WARNING)
    yield records
    oculane.disable_logging()
    logger.removeHandler(handler)


def test_a_pool_starved_by_kept_frames_says_so(camera_ip, warnings_logged):
    with streaming_camera(camera_ip) as (vc, cam):
        acq = cam.start_acquisition(n_buffers=4)
        kept = []
        while (frame := acq.wait_for(1.0)) is not None:
            kept.append(frame)
        assert len(kept) == 4
        assert eventually(lambda: "underruns=" in repr(acq))
        assert re.fullmatch(r"Acquisition\(stopped=False, underruns=\d+, buffers held=4 of 4\)", repr(acq))
        kept.clear()
        assert acq.wait_for(2.0) is not None  # released, the frames flow again
        acq.stop()
        assert repr(acq) == "Acquisition(stopped=True)"
    oculane.disable_logging()  # delivers what is queued
    starved = [r for r in warnings_logged if "frame pool" in r.getMessage()]
    assert len(starved) == 1, [r.getMessage() for r in warnings_logged]  # once, not per lost frame
    message = starved[0].getMessage()
    assert starved[0].levelno == logging.WARNING and "4 of 4 buffers" in message
    assert "Release the Frame objects" in message and "n_buffers" in message


@pytest.mark.parametrize("n_buffers, queued", [(None, 8 + 64), (8, 8)])
def test_a_default_pool_has_buffers_for_frames_behind_a_resend(camera_ip, n_buffers, queued):
    """Frames close in block order, so the frames behind one that waits for a
    resend keep their buffers and then close together. By default the pool
    has buffers for them beyond 8 (here, tiny frames, the most it adds), and
    the queue room for every frame the pool holds."""
    with streaming_camera(camera_ip) as (_, cam):
        kwargs = {} if n_buffers is None else {"n_buffers": n_buffers}
        with cam.start_acquisition(**kwargs) as acq:
            # Nobody reads until the stream runs out of buffers.
            assert eventually(lambda: acq.stats().underruns > 0)
            stats = acq.stats()
            assert stats.frames_dropped == 0, stats
            assert sum(1 for _ in iter(acq.try_recv, None)) == queued


# ---- a camera already streaming -------------------------------------------------------


@pytest.mark.parametrize("how", ["streams on the port write", "keeps acquiring after a snap"])
def test_a_camera_already_streaming_negotiates_the_size_of_a_quiet_one(camera_ip, how):
    with VirtualCamera(camera_ip, path_mtu=1500) as vc:
        cam = oculane.Camera(camera_ip)
        cam.connect()
        with cam.start_acquisition() as acq:
            quiet = acq.packet_size()
        if how == "streams on the port write":
            vc.stream_on_port_write()
        else:
            vc.ignore_single_frame()
            assert cam.snap().is_complete
            assert vc.acquiring  # it took no notice of SingleFrame
        with cam.start_acquisition() as acq:
            assert acq.packet_size() == quiet
            frames = [acq.wait_for(2.0) for _ in range(3)]
            assert all(f is not None and f.is_complete for f in frames)


# ---- the receive buffer ---------------------------------------------------------------


def granted_receive_buffer(port: int) -> int:
    """The stream socket's receive buffer as the kernel keeps it (it reports
    twice the size set)."""
    out = subprocess.run(["ss", "-uanm", "sport", "=", f":{port}"], capture_output=True, text=True,
                         check=True).stdout
    return int(re.search(r"rb(\d+)", out).group(1)) // 2


def expected_grant(asked: int) -> int:
    if os.geteuid() == 0:
        return asked  # privileged: SO_RCVBUFFORCE passes net.core.rmem_max
    with open("/proc/sys/net/core/rmem_max") as f:
        return min(asked, int(f.read()))


@pytest.mark.skipif(shutil.which("ss") is None, reason="the ss tool (iproute2) is not installed")
@pytest.mark.parametrize("opener", ["start_acquisition", "snapshot_session"])
@pytest.mark.parametrize("receive_buffer, asked", [(None, 31_250_000), (0, 31_250_000), (1 << 20, 1 << 20)])
def test_receive_buffer_sizes_the_stream_socket(camera_ip, opener, receive_buffer, asked):
    with streaming_camera(camera_ip) as (vc, cam):
        # The socket path's own buffer (on the ring the argument sizes the ring).
        kwargs = {"receive_path": "socket"} if receive_buffer is None else {"receive_buffer": receive_buffer,
                                                                            "receive_path": "socket"}
        with getattr(cam, opener)(**kwargs):
            assert granted_receive_buffer(vc.stream_channel(0)["host_port"]) == expected_grant(asked)
        with pytest.raises(ValueError, match="^receive_buffer must be 0 or more, not -1$"):
            cam.snap(receive_buffer=-1)  # the snap takes it too, as an unsigned size
