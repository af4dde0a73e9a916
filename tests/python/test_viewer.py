"""The live viewer, driven the way a person uses it: a virtual camera, the
viewer serving its page, and headless Chromium showing it (through the
browser's DevTools protocol). The image appears, is the camera's and changes;
feature edits reach the camera's registers; bad values show the library's
own error next to the feature; stopping and starting work. A screenshot of
the page is left in build/viewer/viewer.png."""

from __future__ import annotations

import asyncio
import io
import json
import pathlib
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import urllib.error
import urllib.request

import numpy as np
import pytest

import oculane
from oculane.sim import VirtualCamera, expected_frame

aiohttp = pytest.importorskip("aiohttp", reason="the viewer extra (aiohttp) is not installed")

SCREENSHOT = pathlib.Path(__file__).resolve().parents[2] / "build" / "viewer" / "viewer.png"
WIDTH, HEIGHT = 640, 480
# Generous: the machine is shared; nothing here measures speed.
WAIT_MS = 15000


class Browser:
    """Headless Chromium with one page, driven over its DevTools protocol."""

    def __init__(self, executable: str) -> None:
        self._profile = tempfile.TemporaryDirectory(prefix="oculane-chromium-")
        self._process = subprocess.Popen(
            [executable, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--mute-audio",
             "--remote-debugging-port=0", f"--user-data-dir={self._profile.name}", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        assert self._process.stderr is not None
        endpoint = None
        for line in self._process.stderr:
            if found := re.search(r"DevTools listening on (ws://\S+)", line):
                endpoint = found.group(1)
                break
        if endpoint is None:
            raise RuntimeError(f"chromium ended with status {self._process.wait()} before it listened")
        # Its further chatter must not fill the pipe and stall it.
        threading.Thread(target=self._process.stderr.read, daemon=True).start()
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, daemon=True)
        self._thread.start()
        self._next_id = 0
        self._pending: dict[int, asyncio.Future] = {}
        self._waiters: dict[str, asyncio.Future] = {}
        self._session_id: str | None = None
        self._run(self._connect(endpoint))

    def _run(self, coroutine):
        return asyncio.run_coroutine_threadsafe(coroutine, self._loop).result(WAIT_MS / 1000 + 5)

    async def _connect(self, endpoint: str) -> None:
        self._http = aiohttp.ClientSession()
        self._ws = await self._http.ws_connect(endpoint, max_msg_size=0)
        self._reader = asyncio.ensure_future(self._read())
        target = await self._send("Target.createTarget", {"url": "about:blank"})
        attached = await self._send("Target.attachToTarget", {"targetId": target["targetId"], "flatten": True})
        self._session_id = attached["sessionId"]
        await self._send("Page.enable")
        await self._send("Emulation.setDeviceMetricsOverride",
                         {"width": 1440, "height": 900, "deviceScaleFactor": 1, "mobile": False})

    async def _read(self) -> None:
        async for message in self._ws:
            reply = json.loads(message.data)
            if "id" in reply and reply["id"] in self._pending:
                self._pending.pop(reply["id"]).set_result(reply)
            elif (waiter := self._waiters.pop(reply.get("method", ""), None)) and not waiter.done():
                waiter.set_result(reply.get("params"))

    async def _send(self, method: str, params: dict | None = None) -> dict:
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if self._session_id and not method.startswith("Target."):
            message["sessionId"] = self._session_id
        reply = self._pending[self._next_id] = self._loop.create_future()
        await self._ws.send_str(json.dumps(message))
        answer = await reply
        if "error" in answer:
            raise RuntimeError(f"{method}: {answer['error']}")
        return answer["result"]

    async def _navigate(self, url: str) -> None:
        loaded = self._waiters["Page.loadEventFired"] = self._loop.create_future()
        await self._send("Page.navigate", {"url": url})
        await loaded

    def open(self, url: str) -> None:
        """Loads the page and waits for its load event."""
        self._run(self._navigate(url))

    def eval(self, expression: str):
        """The value of a JavaScript expression (awaited when it is a promise)."""
        result = self._run(self._send("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                                           "returnByValue": True}))
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            raise AssertionError(details.get("exception", {}).get("description") or details["text"])
        return result["result"].get("value")

    def until(self, event: str, condition: str):
        """Waits for the page's `oculane-<event>` until `condition` (a JS
        expression over `s`, the page's state) holds, and returns it."""
        return self.eval(f"""new Promise((resolve, reject) => {{
            const check = () => {{ const s = window.oculane; const v = s && ({condition});
                                   if (v) {{ done(); resolve(v); }} }};
            const timer = setTimeout(() => {{ done(); reject(new Error({json.dumps(f"no {event} with {condition}")})); }},
                                     {WAIT_MS});
            const done = () => {{ clearTimeout(timer); window.removeEventListener("oculane-{event}", check); }};
            window.addEventListener("oculane-{event}", check);
            check();
        }})""")

    def screenshot(self, path: pathlib.Path) -> None:
        import base64

        data = self._run(self._send("Page.captureScreenshot", {"format": "png"}))["data"]
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(base64.b64decode(data))

    def close(self) -> None:
        async def shut() -> None:
            try:
                await self._send("Browser.close")
            except (RuntimeError, aiohttp.ClientError):
                pass
            await self._ws.close()
            await self._http.close()
            self._reader.cancel()

        try:
            self._run(shut())
        finally:
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join()
            try:
                self._process.wait(10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
            self._profile.cleanup()


def _chromium() -> str:
    for name in ("chromium", "chromium-browser", "chromium-headless-shell"):
        if path := shutil.which(name):
            return path
    pytest.skip("no headless browser: Debian's chromium is not installed (make test installs it as root)")


@pytest.fixture(scope="module")
def setup():
    """A virtual camera streaming 640x480 Mono8 at 30 frames/s, the viewer on
    it, and the page open in the browser."""
    executable = _chromium()
    from conftest import _free_address

    ip = _free_address()
    with VirtualCamera(ip, width=WIDTH, height=HEIGHT) as device, oculane.Camera(ip) as camera:
        viewer = oculane.view(camera, block=False, browser=False)
        browser = Browser(executable)
        try:
            browser.open(viewer.url)
            yield device, camera, viewer, browser
        finally:
            browser.close()
            viewer.close()


_SAMPLES = """(() => {
    const c = document.getElementById("image"), d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
    const out = [];
    for (let y = 0; y < c.height; y += 20) for (let x = 0; x < c.width; x += 20) {
        const i = (y * c.width + x) * 4;
        out.push([d[i], d[i + 1], d[i + 2]]);
    }
    return {id: window.oculane.frameId, width: c.width, height: c.height, samples: out};
})()"""


def _bt601(yuv: np.ndarray) -> np.ndarray:
    """YUYV pixel pairs (H, W, 2) as full-range BT.601 RGB, pairs sharing U and V."""
    y = yuv[..., 0].astype(float)
    u = np.repeat(yuv[:, 0::2, 1], 2, axis=1).astype(float) - 128
    v = np.repeat(yuv[:, 1::2, 1], 2, axis=1).astype(float) - 128
    rgb = np.stack([y + 1.402 * v, y - 0.344136 * u - 0.714136 * v, y + 1.772 * u], axis=2)
    return np.clip(np.rint(rgb), 0, 255).astype(np.uint8)


def _on_screen(frame_id: int, pixel_format: str) -> np.ndarray:
    """The camera's frame as 8-bit RGB, sampled where the page is: wider
    formats by their significant bits, colour in RGB order."""
    raw = expected_frame(frame_id, WIDTH, HEIGHT, pixel_format)
    if pixel_format.endswith("p"):
        # The packed samples are the camera's pattern masked to its depth.
        depth = int(pixel_format[4:-1])
        x, r = np.meshgrid(np.arange(WIDTH, dtype=np.uint32), np.arange(HEIGHT, dtype=np.uint32) + frame_id % 16)
        grey = ((x + 3 * r + ((x * r) >> 4)) & ((1 << depth) - 1)) >> (depth - 8)
        rgb = np.repeat(grey[..., None], 3, axis=2)
    elif pixel_format.startswith("Mono") and pixel_format != "Mono8":
        grey = np.frombuffer(raw, "<u2").reshape(HEIGHT, WIDTH) >> (int(pixel_format[4:]) - 8)
        rgb = np.repeat(np.minimum(grey, 255)[..., None], 3, axis=2)
    elif pixel_format == "Mono8":
        rgb = np.repeat(np.frombuffer(raw, np.uint8).reshape(HEIGHT, WIDTH)[..., None], 3, axis=2)
    elif pixel_format.startswith("YUV422_8"):
        pairs = np.frombuffer(raw, np.uint8).reshape(HEIGHT, WIDTH, 2)
        rgb = _bt601(pairs[..., ::-1] if pixel_format.endswith("UYVY") else pairs)
    else:
        rgb = np.frombuffer(raw, np.uint8).reshape(HEIGHT, WIDTH, 3)
        rgb = rgb[..., ::-1] if pixel_format == "BGR8" else rgb
    return rgb[::20, ::20].reshape(-1, 3).astype(int)


def _difference(shown: dict, expected: np.ndarray) -> float:
    return float(np.median(np.abs(np.array(shown["samples"]) - expected)))


def _matches_its_frame(shown: dict) -> bool:
    """The page's Mono8 pixels are the camera's frame of that id, up to JPEG."""
    return _difference(shown, _on_screen(shown["id"], "Mono8")) <= 3


def test_the_page_shows_the_camera_image_and_it_changes(setup):
    device, camera, viewer, browser = setup
    browser.until("frame", "s.frames >= 1")
    first = browser.eval(_SAMPLES)
    browser.until("frame", f"s.frameId !== {first['id']}")
    second = browser.eval(_SAMPLES)
    assert (first["width"], first["height"]) == (WIDTH, HEIGHT)
    assert first["samples"] != second["samples"]
    assert _matches_its_frame(first) and _matches_its_frame(second)
    # The counters and the histogram reached the page too.
    status = browser.until("status", "s.status && s.status.completed > 0 && s.status")
    assert status["acquiring"] and status["packet_size"] > 0 and status["failed"] == 0
    assert browser.eval("document.getElementById('packet-size').textContent") == str(status["packet_size"])
    # The library delivers events: the panel waits for the first.
    assert browser.eval("document.getElementById('no-events').textContent") == "no events yet"
    browser.until("tree", "s.tree.length > 0")
    browser.until("frame", "s.frames >= 10")  # so that its rates have something to show
    browser.screenshot(SCREENSHOT)


def test_snapshots_are_the_frame_itself(setup):
    device, camera, viewer, browser = setup
    browser.until("frame", "s.frames >= 1")
    for ext in ("npy", "png"):
        with urllib.request.urlopen(viewer.url + "snapshot." + ext) as reply:
            frame_id = int(re.search(r"frame-(\d+)\.", reply.headers["Content-Disposition"]).group(1))
            body = reply.read()
        if ext == "npy":
            pixels = np.load(io.BytesIO(body))
        else:
            from PIL import Image

            pixels = np.asarray(Image.open(io.BytesIO(body)))
        assert pixels.shape == (HEIGHT, WIDTH)
        assert pixels.tobytes() == expected_frame(frame_id, WIDTH, HEIGHT, "Mono8")


def _edit(browser, name: str, action: str, value) -> dict:
    """Changes a feature's control the way a user does and waits for the
    page to hear back; returns the error shown beside it and its control's
    value then."""
    return browser.eval(f"""new Promise((resolve, reject) => {{
        const name = {json.dumps(name)}, value = {json.dumps(value)};
        const find = () => document.querySelector(`#tree .control [data-feature="${{name}}"]`);
        const control = find();
        if (!control) return reject(new Error("no control for " + name));
        window.addEventListener("oculane-written", function heard(e) {{
            if (e.detail.name !== name) return;
            window.removeEventListener("oculane-written", heard);
            const row = document.querySelector(`#tree .feature[data-feature="${{name}}"]`);
            const error = row.querySelector(".error");
            const now = find();
            resolve({{error: error ? error.textContent : null,
                      value: now.type === "checkbox" ? now.checked : now.value}});
        }});
        if ({json.dumps(action)} === "click") control.click();
        else {{ control.value = value; control.dispatchEvent(new Event("change")); }}
    }})""")


def _acquisition(browser, run: bool) -> None:
    """Presses Start or Stop once the page offers it, and waits until the
    page says the acquisition runs or stopped."""
    button = "start" if run else "stop"
    browser.until("status", f"!document.getElementById('{button}').disabled")
    browser.eval(f"document.getElementById('{button}').click()")
    browser.until("status", "s.acquiring" if run else "!s.acquiring")


def _float_register(device: VirtualCamera, address: int) -> float:
    return struct.unpack(">f", device.read_register(address).to_bytes(4, "big"))[0]


# (feature, what the user does, value, the register the camera holds it in)
EDITS = [
    ("Gain", "type", "6.5", lambda d: _float_register(d, 0x10060) == 6.5),
    ("TestPattern", "choose", "GreyVerticalRamp", lambda d: d.read_register(0x1002C) & 0xF == 2),
    ("ReverseX", "click", None, lambda d: d.read_register(0x10028) & 1 == 1),
    ("TestEventGenerate", "click", None, lambda d: d.counters()["events"] >= 1),
]


@pytest.mark.parametrize("name, action, value, reached", EDITS, ids=[e[0] for e in EDITS])
def test_a_feature_edit_reaches_the_camera(setup, name, action, value, reached):
    device, camera, viewer, browser = setup
    browser.until("tree", "s.tree.length > 0")
    shown = _edit(browser, name, action, value)
    assert shown["error"] is None
    assert reached(device)
    if value is not None:
        assert shown["value"] == value  # read back after the write


# A value the camera refuses, typed into the page: the page shows the
# library's own error, and the camera keeps its value.
BAD_VALUES = [("Width", "type", "99999", 99999), ("DeviceUserID", "type", "x" * 40, "x" * 40)]


@pytest.mark.parametrize("name, action, text, value", BAD_VALUES, ids=[b[0] for b in BAD_VALUES])
def test_a_bad_value_shows_the_library_error(setup, name, action, text, value):
    device, camera, viewer, browser = setup
    browser.until("tree", "s.tree.length > 0")
    before = camera.get(name)
    with pytest.raises(oculane.GenicamException) as refused:
        camera.set(name, value)
    shown = _edit(browser, name, action, text)
    assert shown["error"] == str(refused.value)
    assert camera.get(name) == before


_JSON = {"Content-Type": "application/json"}
_ELSEWHERE = {**_JSON, "Origin": "http://elsewhere.example"}
# Requests the page never makes, as a stray client or another site's page
# would: refused, and nothing changes.
BAD_REQUESTS = [
    ("not JSON", "api/features/Gain", _JSON, b"{", 400),
    ("not an object", "api/features/Gain", _JSON, b"[1]", 400),
    ("not marked as JSON", "api/features/Gain", {"Content-Type": "text/plain"}, b'{"value": "9"}', 415),
    ("write from another site", "api/features/Gain", _ELSEWHERE, b'{"value": "9"}', 403),
    ("stop from another site", "api/acquisition", _ELSEWHERE, b'{"run": false}', 403),
]


@pytest.mark.parametrize("path, headers, body, status", [b[1:] for b in BAD_REQUESTS], ids=[b[0] for b in BAD_REQUESTS])
def test_requests_the_page_never_makes_are_refused(setup, path, headers, body, status):
    device, camera, viewer, browser = setup
    gain = camera.get("Gain")
    request = urllib.request.Request(viewer.url + path, data=body, headers=headers, method="POST")
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(request)
    assert refused.value.code == status
    assert camera.get("Gain") == gain and device.acquiring


def test_stop_and_start(setup):
    device, camera, viewer, browser = setup
    _acquisition(browser, False)
    assert not device.acquiring
    frames = browser.eval("window.oculane.frames")
    _acquisition(browser, True)
    assert device.acquiring
    browser.until("frame", f"s.frames > {frames}")


def test_the_camera_events_show_as_they_arrive(setup):
    device, camera, viewer, browser = setup
    camera.set("EventSelector", "ExposureEnd")
    camera.set("EventNotification", "On")
    try:
        shown = browser.until("events", "s.lastEvent && s.lastEvent.includes('ExposureEnd') && s.lastEvent")
    finally:
        camera.set("EventNotification", "Off")
    # With the frame it ended, read from the event's own data.
    assert re.search(r"EventExposureEndFrameID=\d+", shown), shown
    assert browser.eval("document.getElementById('no-events').textContent") == ""


# (format, how far JPEG may take the page's pixels from the camera's)
FORMATS = [("Mono12", 3), ("Mono12p", 3), ("Mono16", 3), ("RGB8", 30), ("BGR8", 30), ("YUV422_8", 40),
           ("YUV422_8_UYVY", 40)]


@pytest.mark.parametrize("pixel_format, tolerance", FORMATS, ids=[f[0] for f in FORMATS])
def test_each_format_is_shown_as_the_camera_sends_it(setup, pixel_format, tolerance):
    device, camera, viewer, browser = setup
    try:
        _acquisition(browser, False)
        # The camera's own test image, as the edits above may have changed it.
        camera.set("TestPattern", "Off")
        camera.set("ReverseX", False)
        assert _edit(browser, "PixelFormat", "choose", pixel_format)["error"] is None
        _acquisition(browser, True)
        browser.until("frame", f"s.pixelFormat === {json.dumps(pixel_format)}")
        if tolerance is None:
            assert browser.eval("window.oculane.imageError") == f"the viewer cannot show {pixel_format} frames"
            return
        shown = browser.eval(_SAMPLES)
        expected = _on_screen(shown["id"], pixel_format)
        assert _difference(shown, expected) <= tolerance
        # Closer to the camera's colours than to them in the other order.
        assert pixel_format.startswith("Mono") or _difference(shown, expected) < _difference(shown, expected[:, ::-1])
    finally:
        _acquisition(browser, False)
        camera.set("PixelFormat", "Mono8")
        _acquisition(browser, True)


def test_the_command_serves_until_interrupted(virtual_camera):
    process = subprocess.Popen([sys.executable, "-m", "oculane", "view", virtual_camera.ip, "--no-browser"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert process.stdout is not None
        line = process.stdout.readline()
        url = re.search(r"(http://127\.0\.0\.1:\d+/)", line)
        assert url, line + process.stderr.read()
        with urllib.request.urlopen(url.group(1)) as reply:
            assert b"oculane viewer" in reply.read()
        assert virtual_camera.acquiring
        process.send_signal(signal.SIGINT)
        assert process.wait(20) == 0
        assert not virtual_camera.acquiring
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
