"""The type stubs shipped with the package match the built module."""

import ast
import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

import oculane
from oculane import _oculane_core

REPO = pathlib.Path(__file__).resolve().parents[2]
SOURCE_PACKAGE = REPO / "python" / "oculane"
CORE_STUB = SOURCE_PACKAGE / "_oculane_core.pyi"


def test_core_stub_is_what_stubgen_makes_of_the_built_module(tmp_path):
    if importlib.util.find_spec("nanobind.stubgen") is None:
        pytest.skip("nanobind's stubgen is not installed in this environment")
    import nanobind
    pinned = re.search(r"^NANOBIND_VERSION := (\S+)", (REPO / "Makefile").read_text(), re.M)
    if pinned and nanobind.__version__ != pinned.group(1):
        pytest.skip(f"stubs are generated with nanobind {pinned.group(1)}; "
                    f"this environment has {nanobind.__version__}, whose output may differ")
    out = tmp_path / "_oculane_core.pyi"
    subprocess.run([sys.executable, "-m", "nanobind.stubgen", "-q", "-m", "oculane._oculane_core",
                    "-o", str(out)], check=True, capture_output=True, text=True, timeout=120)
    assert out.read_text() == CORE_STUB.read_text(), (
        "python/oculane/_oculane_core.pyi is stale: run `make stubs` and commit the result")


def test_installed_package_carries_stubs_and_marker():
    installed = pathlib.Path(oculane.__file__).parent
    for name in ("py.typed", "__init__.pyi", "_oculane_core.pyi"):
        assert (installed / name).is_file(), f"{name} is missing from the installed package"


def _stub_names(path):
    tree = ast.parse(path.read_text())
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.add(node.name)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.ImportFrom) and (node.level or (node.module or "").startswith("oculane")):
            # Names taken from typing or collections.abc are not the module's own.
            names.update(a.asname or a.name for a in node.names if a.name != "*")
    return {n for n in names if not n.startswith("_")}


def test_stubs_declare_every_public_name():
    core = {n for n in dir(_oculane_core) if not n.startswith("_")}
    assert _stub_names(CORE_STUB) == core
    # The package stub takes the core's names by star import and adds the
    # two exception aliases.
    package_stub = (SOURCE_PACKAGE / "__init__.pyi").read_text()
    assert "from ._oculane_core import *" in package_stub
    assert _stub_names(SOURCE_PACKAGE / "__init__.pyi") >= {"CameraException", "GenicamException"}
    assert set(oculane.__all__) <= core | _stub_names(SOURCE_PACKAGE / "__init__.pyi")


# A user script checked against the installed stubs, and mistakes the stubs
# must catch (so that a stub that types everything as Any fails here).
_MISTAKES = '''\
import oculane
cam = oculane.Camera("127.0.0.2")
cam.set_integer("Width", "640")
name: int = cam.feature("Width").name
cam.feature("Width").bounds[0]
cam.snap().timestamp.tzinfo.bogus
'''


@pytest.mark.parametrize("source, errors", [
    ((REPO / "tests" / "python" / "data" / "typed_user.py").read_text(), []),
    (_MISTAKES, [3, 4, 5, 6]),
])
def test_the_stubs_type_a_user_script(tmp_path, source, errors):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed (it comes with the test extras)")
    script = tmp_path / "script.py"
    script.write_text(source)
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                          "--cache-dir", str(tmp_path / "cache"), str(script)],
                         capture_output=True, text=True, timeout=300, cwd=tmp_path)
    lines = sorted({int(m.group(1)) for m in re.finditer(r"script\.py:(\d+): error", run.stdout)})
    assert lines == errors, run.stdout + run.stderr
