"""The feature model loaded by Camera.connect() from what a virtual camera
serves: every maker's description in the corpus, zipped and plain, and the
fallback to the second location register when the first is spoiled."""

import pathlib
import re

import pytest

import oculane
from oculane import Camera, sim
from corpus import corpus_files

# Addresses of our own so a camera left behind by another test never answers.
IP = "127.0.93.2"

# The dumping tool left a comment before the XML declaration of this one,
# where the XML rules allow none; it loads all the same.
PREFIXED = "huaray-ds5131mg30ce.xml"




CORPUS = corpus_files()


def _named_features(text: str) -> set[str]:
    return set(re.findall(r'<(?:Integer|Enumeration|IntSwissKnife|IntConverter)\s+Name="([^"]+)"', text))


@pytest.mark.parametrize("zipped", [True, False], ids=["zip", "plain"])
@pytest.mark.parametrize("path", CORPUS or [None], ids=lambda p: p.name if p else "absent")
def test_corpus_description_loads_on_connect(path, zipped):
    if path is None:
        pytest.skip("shared/genicam-corpus not found above the checkout")
    text = path.read_text(encoding="utf-8", errors="replace")
    with sim.VirtualCamera(IP, description_file=path, serve_zip=zipped) as device:
        camera = Camera(device.ip)
        camera.connect()
        try:
            named = _named_features(text)
            # A transport-layer description has none of the image features.
            expected = {"Width", "Height", "PixelFormat", "PayloadSize"} & named or set(sorted(named)[:5])
            assert expected
            for name in expected:
                assert camera.has_feature(name), name
        finally:
            camera.disconnect()


@pytest.mark.parametrize("zipped", [True, False], ids=["zip", "plain"])
def test_prefixed_description_reads_like_the_same_file_without_its_comment(tmp_path, zipped):
    path = next((p for p in CORPUS if p.name == PREFIXED), None)
    if path is None:
        pytest.skip(f"{PREFIXED} not in shared/genicam-corpus")
    raw = path.read_bytes()
    start = raw.index(b"<?xml")
    assert start == 73 and raw[:4] == b"<!--"
    cut = tmp_path / PREFIXED
    cut.write_bytes(raw[start:])
    seen = []
    for description in (path, cut):
        with sim.VirtualCamera(IP, description_file=description, serve_zip=zipped) as device:
            camera = Camera(device.ip)
            camera.connect()
            try:
                names = camera.feature_names()
                seen.append((names, [camera.get_integer(n) for n in ("Width", "Height", "PayloadSize")]))
            finally:
                camera.disconnect()
    assert seen[0] == seen[1] and len(seen[0][0]) > 1000


@pytest.mark.parametrize("codec", ["utf-16-le", "utf-16-be"])
@pytest.mark.parametrize("zipped", [True, False], ids=["zip", "plain"])
def test_utf16_description_with_byte_order_mark_loads(tmp_path, codec, zipped):
    path = next((p for p in CORPUS if p.name == "pgr-flea3-ge-28s4c.xml"), None)
    if path is None:
        pytest.skip("pgr-flea3-ge-28s4c.xml not in shared/genicam-corpus")
    text = path.read_text(encoding="utf-8")
    text = re.sub(r"encoding=[\"'][^\"']*[\"']", 'encoding="UTF-16"', text, count=1)
    wide = tmp_path / "utf16.xml"
    wide.write_bytes("\ufeff".encode(codec) + text.encode(codec))
    names = {}
    for served in (path, wide):
        with sim.VirtualCamera(IP, description_file=served, serve_zip=zipped) as device:
            camera = Camera(device.ip)
            camera.connect()
            try:
                names[served] = camera.feature_names()
                assert camera.get_integer("Width") >= 0
            finally:
                camera.disconnect()
    assert names[wide] == names[path]
    assert "Width" in names[wide]


@pytest.mark.parametrize("fault", ["bad_text", "http", "corrupt_zip", "truncated_zip"])
def test_spoiled_first_location_falls_back_to_the_second(fault):
    with sim.VirtualCamera("127.0.93.3", broken_first_url=fault) as device:
        camera = Camera(device.ip)
        camera.connect()
        try:
            assert camera.get_integer("Width") == 640
        finally:
            camera.disconnect()
