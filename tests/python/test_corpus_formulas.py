"""Formula constants, ROUND with decimal places and selector-indexed values
in makers' descriptions, read through a virtual camera serving each file.

The virtual camera answers zeros for registers it does not model, so values
are not checked here; what is checked is that no feature fails for want of
a construct the model lacks: a formula that does not compile, a variable
that the description does declare but that was left unbound, or an indexed
Integer or Float that finds no value at all."""

import pathlib
import re

import pytest

import oculane
from oculane import Camera, sim
from corpus import corpus_files

# Addresses of our own so a camera left behind by another test never answers.
IP = "127.0.94.2"




GETTER = {
    "Integer": "get_integer",
    "IntSwissKnife": "get_integer",
    "IntConverter": "get_integer",
    "Float": "get_float",
    "SwissKnife": "get_float",
    "Converter": "get_float",
}


@pytest.mark.parametrize("path", corpus_files() or [None], ids=lambda p: p.name if p else "absent")
def test_corpus_formulas_and_selectors_evaluate(path):
    if path is None:
        pytest.skip("shared/genicam-corpus not found above the checkout")
    text = path.read_text(encoding="utf-8", errors="replace")
    features = re.findall(r'<(Integer|IntSwissKnife|IntConverter|Float|SwissKnife|Converter)\s+Name="([^"]+)"', text)
    indexed = set(re.findall(r'<(?:Integer|Float)\s+Name="([^"]+)"[^>]*>\s*<pIndex>', text))
    with sim.VirtualCamera(IP, description_file=path) as device:
        camera = Camera(device.ip)
        camera.connect()
        try:
            read = 0
            for kind, name in features:
                if not camera.has_feature(name):
                    continue  # commented out in the file; the regex cannot tell
                try:
                    getattr(camera, GETTER[kind])(name)
                    read += 1
                except (oculane.GenicamException, oculane.CameraException) as e:
                    message = str(e)
                    assert "unexpected character" not in message, (name, message)
                    unbound = re.search(r"unbound variable '([^']+)'", message)
                    if unbound:
                        assert f'Name="{unbound.group(1)}"' not in text, (name, message)
                    if name in indexed:
                        assert "does not support this access" not in message, (name, message)
            assert read > 0
        finally:
            camera.disconnect()


# Values the makers' files give over the virtual camera's zero registers,
# where a wrong model shows: float formulas computed as integers (a frame
# rate of 1000000/43970 read 22.0), bounds not taken from the pValue node,
# and chunk or event nodes read from unrelated device registers.
KNOWN = [
    ("teledyne-dalsa-shadobox.xml", lambda c: c.get_float("FrameRate"), pytest.approx(1000000 / 43970)),
    ("ids-ui322xcp-m.xml", lambda c: c.get_float("AcquisitionFrameRate"), pytest.approx(73.1528895391368)),
    ("basler-a2A2600-20gmBAS.xml", lambda c: c.integer_bounds("GevSCPSPacketSize"), (500, 8192)),
    ("basler-a2A2600-20gmBAS.xml", lambda c: c.get_integer("BslChunkTimestampValue"),
     "node 'd_977' cannot be read from the device: it is carried in the chunk data of frames (port 'd_978')"),
    ("hikrobot-mv-ca013-a0um.xml", lambda c: c.get_integer("EventExposureStart"),
     "node 'EventExposureStart_Reg' cannot be read from the device: it is carried in event data (port 'EventExposureStartPort')"),
]


@pytest.mark.parametrize("file,call,want", KNOWN, ids=[f"{k[0]}-{i}" for i, k in enumerate(KNOWN)])
def test_corpus_known_values(file, call, want):
    path = next((p for p in corpus_files() if p.name == file), None)
    if path is None:
        pytest.skip(f"{file} not found in shared/genicam-corpus")
    with sim.VirtualCamera(IP, description_file=path) as device:
        camera = Camera(device.ip)
        camera.connect()
        try:
            if isinstance(want, str):
                device.clear_commands()
                with pytest.raises(oculane.GenicamException) as info:
                    call(camera)
                assert str(info.value) == want
                assert not [c for c in device.commands() if c.command in (sim.Command.READREG, sim.Command.READMEM)]
            else:
                assert call(camera) == want
        finally:
            camera.disconnect()
