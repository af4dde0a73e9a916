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
        try:
            camera.connect()
        except oculane.GenicamException as e:
            assert camera.is_connected()
            camera.disconnect()
            pytest.skip(f"description not loaded: {e}")
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
