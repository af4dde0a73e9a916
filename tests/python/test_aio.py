"""asyncio: frame waits woken by the stream, cancellable, and the camera's
awaitable operations, with one loop running several cameras."""

from __future__ import annotations

import asyncio
import contextlib
import threading

import pytest

import oculane
from streaming import streaming_camera


async def _frames(acq: oculane.Acquisition, n: int) -> list[int]:
    first = await acq.next_frame(timeout=5.0)
    ids = [first.frame_id]
    async for frame in acq:
        ids.append(frame.frame_id)
        if len(ids) == n:
            break
    return ids


def test_one_loop_streams_from_several_cameras_without_a_thread_per_wait(next_camera_ip):
    n = 30

    async def main(cams):
        # Started in the executor: a blocking start would hold up the loop
        # while the other cameras' frames arrive. None is read until all
        # run (tens of milliseconds each on a packet ring), so the pools
        # hold a third of a second of frames.
        acqs = await asyncio.gather(*(cam.aio.start_acquisition(n_buffers=64) for cam in cams))
        threads_before = threading.active_count()

        async def one(acq):
            async with acq:
                ids = await _frames(acq, n)
                waited_in = threading.active_count()
            assert acq.is_stopped()
            return ids, waited_in

        results = await asyncio.gather(*(one(acq) for acq in acqs))
        return threads_before, results

    with contextlib.ExitStack() as stack:
        cams = [stack.enter_context(streaming_camera(next_camera_ip()))[1] for _ in range(3)]
        threads_before, results = asyncio.run(main(cams))
    for ids, threads in results:
        assert ids == list(range(ids[0], ids[0] + n))
        assert threads == threads_before  # frame waits start no thread


@pytest.mark.parametrize("source", ["acquisition", "channel"])
def test_a_wait_times_out_is_cancelled_and_ends_with_the_stream(camera_ip, source):
    async def main(cam):
        acq = cam.start_acquisition()
        frames = acq if source == "acquisition" else acq.subscribe(4)
        await cam.aio.execute("AcquisitionStop")
        await asyncio.get_running_loop().run_in_executor(None, acq.wait_for, 0.3)
        frames.clear()
        assert await frames.next_frame(timeout=0.05) is None  # nothing comes: the timeout
        waiting = asyncio.create_task(frames.next_frame())
        await asyncio.sleep(0)  # the task is now waiting for the stream
        waiting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiting
        # A later wait is woken by the next frame, a waiter at the end by the stream's end.
        await cam.aio.execute("AcquisitionStart")
        assert isinstance(await asyncio.wait_for(frames.next_frame(), 5.0), oculane.Frame)
        ending = asyncio.create_task(_drain(frames))
        await asyncio.get_running_loop().run_in_executor(None, acq.stop)
        assert await asyncio.wait_for(ending, 5.0) >= 0
        assert await frames.next_frame(timeout=1.0) is None
        with pytest.raises(ValueError, match="value is negative"):
            await frames.next_frame(timeout=-1.0)

    with streaming_camera(camera_ip) as (_, cam):
        asyncio.run(main(cam))


async def _drain(frames) -> int:
    n = 0
    async for _ in frames:
        n += 1
    return n


def test_camera_operations_have_awaitable_forms(camera_ip):
    async def main(cam):
        aio = cam.aio
        await aio.connect()
        await aio.set("Width", 32)
        assert await aio.get("Width") == 32
        frame = await aio.snap(5.0)
        assert frame.is_complete and frame.width == 32
        acq = await aio.start_acquisition(n_buffers=4)
        async with acq:
            assert (await acq.next_frame(timeout=5.0)).width == 32
        with pytest.raises(oculane.GenicamException):
            await aio.get("NoSuchFeature")
        await aio.disconnect()
        assert not cam.is_connected()

    with streaming_camera(camera_ip) as (_, cam):
        cam.disconnect()
        asyncio.run(main(cam))
