"""Every public name of the package and of the virtual camera has a
docstring: classes, functions, methods and properties alike."""

import inspect
import re

import oculane
import oculane.sim

# What the binding library puts in a function's __doc__ by itself: its
# signature ("get(self, name: str) -> int", "(self) -> int" for a getter).
_SIGNATURE = re.compile(r"^\w*\(.*\)( -> .+)?$")


def _text(obj) -> str:
    doc = getattr(obj, "__doc__", None) or ""
    lines = doc.strip().splitlines()
    if lines and _SIGNATURE.match(lines[0]):
        lines = lines[1:]
    return "\n".join(lines).strip()


def _is_member(value) -> bool:
    return (isinstance(value, (property, staticmethod, classmethod)) or inspect.isfunction(value)
            or type(value).__name__ in ("nb_method", "nb_func"))


def _undocumented():
    for module in (oculane, oculane.sim):
        for name in module.__all__:
            obj = getattr(module, name)
            if not (inspect.isclass(obj) or callable(obj)):
                continue  # constants
            text = _text(obj)
            # A dataclass without a docstring gets its signature as one.
            if not text or (inspect.isclass(obj) and text.startswith(f"{obj.__name__}(")):
                yield f"{module.__name__}.{name}"
            if not inspect.isclass(obj):
                continue
            for attr, value in vars(obj).items():
                if not attr.startswith("_") and _is_member(value) and not _text(value):
                    yield f"{module.__name__}.{name}.{attr}"


def test_every_public_class_function_method_and_property_has_a_docstring():
    assert list(_undocumented()) == []


def test_the_checks_see_a_missing_docstring():
    # The binding library's own rendering of an undocumented method, and a
    # dataclass's made-up docstring, both count as missing.
    assert _text(type("T", (), {"__doc__": "get(self, name: str) -> int"})) == ""
    assert _text(type("T", (), {"__doc__": "(self) -> int"})) == ""
    assert _text(oculane.Camera.get_integer).startswith("The value of an Integer feature.")
