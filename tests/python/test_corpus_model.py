"""Access modes and bounds of the makers' descriptions, checked against a
decoding of their XML written here, apart from the library: xml.etree reads
the file and the GenICam rules give what each node should report.

- Access mode: a value node has the mode of what its value chain ends in (a
  number is RW, a text RO, a register has its own mode, a SwissKnife is RO,
  a Command WO); a Converter passes on the mode of the value it converts.
- Bounds: a node's own Min/Max, else those of its value node; an integer
  register without bounds allows what its length, sign and bit field can
  hold; a Converter maps its value's bounds through its read formula, when
  that formula is monotonic over nine evenly spaced points of the range
  (a decreasing one swaps them).

Values of other nodes that a bound needs (a pMin, a formula variable, a
selector) are read through the camera; a virtual camera serves each file.
Nodes whose expected bounds this decoding cannot settle (a sub-expression
variable, a value that cannot be read) are counted, not compared."""

from __future__ import annotations

import math
import re
import xml.etree.ElementTree as ET

import pytest

import oculane
from oculane import Camera, sim
from corpus import corpus_files

IP = "127.0.95.2"
INT64 = (-(1 << 63), (1 << 63) - 1)
DOUBLE = (-1.7976931348623157e308, 1.7976931348623157e308)
INT_REGISTERS = ("IntReg", "MaskedIntReg", "StructEntry")
REGISTERS = INT_REGISTERS + ("Register", "FloatReg", "StringReg")
FLOAT_VALUED = ("Float", "FloatReg", "SwissKnife", "Converter")
CHECKED = ("Integer", "Float", "Converter", "IntConverter") + INT_REGISTERS


class Undecided(Exception):
    """The decoding cannot tell what this node's bounds are."""


class FormulaFailed(Exception):
    """The formula fails (division by zero, NaN compared): no bounds."""


def local(tag: str) -> str:
    return tag.rsplit("}", 1)[-1]


def child(el, name: str):
    for c in el:
        if local(c.tag) == name:
            return c
    return None


def text(el, name: str) -> str | None:
    c = child(el, name)
    if c is None or c.text is None or not c.text.strip():
        return None
    return c.text.strip()


def parse_int(s: str | None) -> int | None:
    if s is None:
        return None
    s = s.strip()
    try:
        if s[:2].lower() == "0x":
            v = int(s[2:].lstrip("+"), 16)
            if v >= 1 << 64:
                return None
            return v - (1 << 64) if v >= 1 << 63 else v
        v = int(s, 10)
        return v if INT64[0] <= v <= INT64[1] else None
    except ValueError:
        return None


def parse_number(s: str | None):
    if s is None:
        return None
    if re.fullmatch(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?|[+-]?(inf|infinity|nan)", s.strip(), re.I):
        return float(s)
    return parse_int(s)


def round_away(x: float) -> int:
    if math.isnan(x):
        return 0
    r = math.floor(abs(x) + 0.5) * (1 if x >= 0 else -1) if math.isfinite(x) else x
    if r >= 2.0**63:
        return INT64[1]
    if r < -(2.0**63):
        return INT64[0]
    return int(r)


def wrap64(v: int) -> int:
    v &= (1 << 64) - 1
    return v - (1 << 64) if v >= 1 << 63 else v


# ---- formulas ----------------------------------------------------------------

TOKEN = re.compile(r"\s*(0[xX][0-9a-fA-F]+|\d+\.\d*(?:[eE][+-]?\d+)?|\.\d+(?:[eE][+-]?\d+)?|\d+[eE][+-]?\d+|\d+"
                   r"|[A-Za-z_][A-Za-z0-9_.]*|\*\*|<<|>>|<=|>=|<>|&&|\|\||[-+*/%&|^~=<>?:(),])")
BINARY = [("?",), ("||",), ("&&",), ("|",), ("^",), ("&",), ("=", "<>"), ("<", "<=", ">", ">="),
          ("<<", ">>"), ("+", "-"), ("*", "/", "%"), ("**",)]
FUNCTIONS = {
    "LN": math.log, "LG": math.log10, "SQRT": math.sqrt, "EXP": math.exp, "SIN": math.sin, "COS": math.cos,
    "TAN": math.tan, "ASIN": math.asin, "ACOS": math.acos, "ATAN": math.atan,
}


def tokens(source: str) -> list[str]:
    out, pos = [], 0
    source = source.rstrip()
    while pos < len(source):
        m = TOKEN.match(source, pos)
        if not m:
            raise Undecided(f"cannot read formula {source!r}")
        out.append(m.group(1))
        pos = m.end()
    return out


class Formula:
    """A GenICam formula evaluated by precedence climbing: integers stay
    integers (64-bit, truncating division) unless `floating`, where division
    gives a float and a result beyond 64 bits becomes one."""

    def __init__(self, source: str, floating: bool, variable):
        self.toks, self.i, self.floating, self.variable = tokens(source), 0, floating, variable

    def value(self):
        v = self.expr(0)
        if self.i != len(self.toks):
            raise Undecided("trailing tokens")
        return v

    def peek(self):
        return self.toks[self.i] if self.i < len(self.toks) else None

    def take(self, want=None):
        t = self.peek()
        if t is None or (want is not None and t != want):
            raise Undecided(f"expected {want}")
        self.i += 1
        return t

    def expr(self, level: int):
        if level == len(BINARY):
            return self.unary()
        if BINARY[level] == ("?",):
            cond = self.expr(level + 1)
            if self.peek() != "?":
                return cond
            self.take("?")
            a = self.expr(0)
            self.take(":")
            b = self.expr(0)
            return a if truthy(cond) else b
        left = self.expr(level + 1)
        while self.peek() in BINARY[level]:
            op = self.take()
            right = self.expr(level if op == "**" else level + 1)  # ** groups to the right
            left = self.binary(op, left, right)
            if op == "**":
                break
        return left

    def unary(self):
        t = self.peek()
        if t in ("-", "+", "~"):
            self.take()
            v = self.unary()
            if t == "-":
                return self.fit(-v)
            if t == "~":
                return wrap64(~integer(v))
            return v
        return self.primary()

    def primary(self):
        t = self.take()
        if t == "(":
            v = self.expr(0)
            self.take(")")
            return v
        if t[0].isdigit() or t[0] == ".":
            if t[:2].lower() == "0x":
                return wrap64(int(t, 16))
            return float(t) if re.search(r"[.eE]", t) else int(t)
        if self.peek() == "(":
            self.take("(")
            args = [self.expr(0)]
            while self.peek() == ",":
                self.take(",")
                args.append(self.expr(0))
            self.take(")")
            return self.call(t.upper(), args)
        return self.variable(t)

    def call(self, name, args):
        x = args[0]
        if name == "ROUND":
            places = integer(args[1]) if len(args) > 1 else 0
            if isinstance(x, int):
                return x
            scale = 10.0**places
            return math.copysign(math.floor(abs(x) * scale + 0.5), x) / scale
        if name in ("TRUNC", "FLOOR", "CEIL"):
            if isinstance(x, int):
                return x
            return float({"TRUNC": math.trunc, "FLOOR": math.floor, "CEIL": math.ceil}[name](x))
        if name == "ABS":
            return abs(x)
        if name == "SGN":
            return (x > 0) - (x < 0)
        if name == "NEG":
            return -x
        if name in FUNCTIONS:
            try:
                return FUNCTIONS[name](float(x))
            except (ValueError, OverflowError):
                return math.nan
        raise Undecided(f"function {name}")

    def fit(self, v):
        if isinstance(v, int) and not INT64[0] <= v <= INT64[1]:
            return float(v) if self.floating else wrap64(v)
        return v

    def binary(self, op, a, b):
        if op in ("=", "<>", "<", "<=", ">", ">="):
            if isinstance(a, float) and math.isnan(a) or isinstance(b, float) and math.isnan(b):
                raise FormulaFailed("NaN in comparison")
            return int({"=": a == b, "<>": a != b, "<": a < b, "<=": a <= b, ">": a > b, ">=": a >= b}[op])
        if op == "&&":
            return int(truthy(a) and truthy(b))
        if op == "||":
            return int(truthy(a) or truthy(b))
        if op in ("&", "|", "^", "<<", ">>"):
            a, b = integer(a), integer(b)
            if op == "<<":
                return wrap64(a << b) if 0 <= b < 64 else 0
            if op == ">>":
                return a >> b if 0 <= b < 64 else (0 if a >= 0 else -1)
            return wrap64({"&": a & b, "|": a | b, "^": a ^ b}[op])
        both_int = isinstance(a, int) and isinstance(b, int)
        if op == "/":
            if both_int and not self.floating:
                if b == 0:
                    raise FormulaFailed("division by zero")
                q = abs(a) // abs(b)
                return wrap64(q if (a >= 0) == (b >= 0) else -q)
            a, b = float(a), float(b)
            if b == 0:
                return math.nan if a == 0 or math.isnan(a) else math.copysign(math.inf, a) * math.copysign(1, b)
            return a / b
        if op == "%":
            if both_int:
                if b == 0:
                    raise FormulaFailed("remainder by zero")
                return wrap64(int(math.fmod(a, b)) if abs(a) < 2**53 else a - b * int(a / b))
            return math.fmod(a, b) if b != 0 else math.nan
        if op == "**":
            if both_int and b >= 0:
                return self.fit(a**b)
            try:
                return float(a) ** float(b)
            except (OverflowError, ZeroDivisionError):
                return math.inf
        v = {"+": a + b, "-": a - b, "*": a * b}[op]
        return self.fit(v) if both_int else v


def truthy(v) -> bool:
    return v != 0


def integer(v) -> int:
    if isinstance(v, float):
        raise Undecided("bit operation on a float")
    return v


# ---- the description -----------------------------------------------------------

class Description:
    def __init__(self, path, camera: Camera):
        data = path.read_bytes()
        root = ET.fromstring(data[data.find(b"<?xml"):])
        self.nodes: dict[str, tuple[str, object, object]] = {}
        self.camera = camera
        self._walk(root)

    def _walk(self, el):
        for c in el:
            tag = local(c.tag)
            if tag == "Group":
                self._walk(c)
            elif tag == "StructReg":
                for e in c:
                    if local(e.tag) == "StructEntry" and e.get("Name") is not None:
                        self.nodes[e.get("Name")] = ("StructEntry", e, c)
            elif c.get("Name") is not None:
                self.nodes[c.get("Name")] = (tag, c, None)

    def tag(self, name):
        return self.nodes[name][0] if name in self.nodes else None

    def read(self, name: str, floating: bool):
        """A node's current value, through the camera."""
        if name not in self.nodes:
            raise Undecided(f"no node {name}")
        getter = self.camera.get_float if floating or self.tag(name) in FLOAT_VALUED else self.camera.get_integer
        try:
            v = getter(name)
        except (oculane.GenicamException, oculane.CameraException) as e:
            raise Undecided(str(e)) from None
        return float(v) if floating else (round_away(v) if isinstance(v, float) else v)

    # -- access modes --

    def access(self, name: str, seen=()) -> str:
        if name in seen:
            return "cycle"
        tag, el, parent = self.nodes[name]
        if tag in REGISTERS:
            mode = text(el, "AccessMode")
            if tag == "StructEntry" and mode not in ("RO", "WO", "RW"):
                mode = text(parent, "AccessMode")
            return mode if mode in ("RO", "WO") else "RW"
        if tag == "Command":
            return "WO"
        if tag not in ("Integer", "Float", "Boolean", "Enumeration", "String", "Converter", "IntConverter"):
            return "RO"
        ref, constant = self._advisory_value(el, tag)
        if ref is not None:
            return self.access(ref, seen + (name,)) if ref in self.nodes else "RO"
        if constant is None or tag in ("Converter", "IntConverter", "String"):
            return "RO"
        return "RW"

    def _advisory_value(self, el, tag):
        """(referenced name, constant) of the value that stands for the node;
        with a selector, its default entry, else its first entry."""
        if child(el, "pIndex") is not None and tag in ("Integer", "Float"):
            if text(el, "pValueDefault"):
                return text(el, "pValueDefault"), None
            if text(el, "ValueDefault"):
                return None, self._constant(text(el, "ValueDefault"), tag)
            for c in el:
                if local(c.tag) in ("ValueIndexed", "pValueIndexed") and c.get("Index") is not None \
                        and parse_int(c.get("Index")) is not None and c.text and c.text.strip():
                    if local(c.tag) == "pValueIndexed":
                        return c.text.strip(), None
                    v = self._constant(c.text.strip(), tag)
                    if v is not None:
                        return None, v
        if text(el, "pValue"):
            return text(el, "pValue"), None
        return None, self._constant(text(el, "Value"), tag)

    @staticmethod
    def _constant(s, tag):
        if s is None:
            return None
        if tag == "String":
            return s
        return parse_number(s) if tag == "Float" else parse_int(s)

    # -- bounds --

    def limits(self, name: str, seen=()):
        """(min, max) of a node; None where it has none."""
        if name in seen or len(seen) > 100:
            raise Undecided("cycle")
        seen = seen + (name,)
        tag, el, parent = self.nodes[name]
        if tag in ("Integer", "Float"):
            floating = tag == "Float"
            lo = self._bound(el, "Min", "pMin", floating)
            hi = self._bound(el, "Max", "pMax", floating)
            if lo is not None and hi is not None:
                return lo, hi
            ref = self._value_in_force(el)
            inner = self.limits(ref, seen) if ref in self.nodes else (None, None)
            return (lo if lo is not None else inner[0]), (hi if hi is not None else inner[1])
        if tag in INT_REGISTERS:
            return self._natural(tag, el, parent)
        if tag in ("Converter", "IntConverter"):
            ref = text(el, "pValue")
            if ref not in self.nodes:
                return None, None
            lo, hi = self.limits(ref, seen)
            if lo is None or hi is None:
                return None, None
            return self._mapped(el, tag == "Converter", lo, hi)
        return None, None

    def _bound(self, el, name, p_name, floating):
        if text(el, p_name):
            return self.read(text(el, p_name), floating)
        v = parse_number(text(el, name)) if floating else parse_int(text(el, name))
        return float(v) if floating and v is not None else v

    def _value_in_force(self, el):
        selector = text(el, "pIndex")
        if selector is not None:
            current = self.read(selector, False)
            for c in el:
                if local(c.tag) in ("ValueIndexed", "pValueIndexed") and parse_int(c.get("Index")) == current:
                    return c.text.strip() if local(c.tag) == "pValueIndexed" else None
            if text(el, "pValueDefault") or text(el, "ValueDefault"):
                return text(el, "pValueDefault")
        return text(el, "pValue")

    def _natural(self, tag, el, parent):
        reg = parent if tag == "StructEntry" else el
        if text(reg, "pLength"):
            n = self.read(text(reg, "pLength"), False)
        else:
            n = parse_int(text(reg, "Length")) if text(reg, "Length") else 4
        if n is None or not 1 <= n <= 8:
            return None, None

        def own_or_parent(field):
            if child(el, field) is not None or parent is None:
                return text(el, field)
            return text(parent, field)

        big = own_or_parent("Endianess") == "BigEndian"
        signed = own_or_parent("Sign") == "Signed"
        bits = 8 * n
        lsb = msb = None
        if tag != "IntReg":
            bit = parse_int(text(el, "Bit"))
            lsb = parse_int(text(el, "LSB"))
            msb = parse_int(text(el, "MSB"))
            lsb = (lsb if lsb is not None else bit)
            msb = (msb if msb is not None else bit)
            lsb = None if lsb is None else lsb & 0xFFFFFFFF
            msb = None if msb is None else msb & 0xFFFFFFFF
        if not big:
            low, high = (lsb, msb if msb is not None else lsb) if lsb is not None else \
                (0, msb if msb is not None else bits - 1)
        elif lsb is not None:
            low, high = bits - 1 - lsb, bits - 1 - (msb if msb is not None else lsb)
        elif msb is not None:
            low = high = bits - 1 - msb
        else:
            low, high = 0, bits - 1
        if high >= bits or high < low or low < 0:
            return None, None
        width = high - low + 1
        if signed:
            return (INT64 if width >= 64 else (-(1 << (width - 1)), (1 << (width - 1)) - 1))
        return 0, min((1 << width) - 1, INT64[1])

    def _mapped(self, el, floating, lo, hi):
        source = text(el, "FormulaFrom") or ""
        variables = {}
        for c in el:
            kind, vname = local(c.tag), c.get("Name")
            if vname is None or vname in variables or not (c.text and c.text.strip()):
                continue
            if kind == "pVariable":
                variables[vname] = ("node", c.text.strip())
            elif kind == "Constant":
                variables[vname] = ("constant", parse_number(c.text.strip()))
            elif kind == "Expression":
                variables[vname] = ("expression", None)

        def variable(vname, to):
            if vname == "TO":
                return to
            kind, what = variables.get(vname, ("node", vname))
            if kind == "constant":
                if what is None:
                    raise Undecided(f"constant {vname}")
                return what
            if kind == "expression":
                raise Undecided(f"expression {vname}")
            if what not in self.nodes:
                raise FormulaFailed(f"unbound {vname}")
            return self.read(what, False)

        both_int = isinstance(lo, int) and isinstance(hi, int)
        points = [lo] + [lo + (hi - lo) * k // 8 if both_int else lo + (hi - lo) * k / 8 for k in range(1, 8)] + [hi]
        try:
            values = [Formula(source, floating, lambda v, p=p: variable(v, p)).value() for p in points]
        except FormulaFailed:
            return None, None
        doubles = [float(v) for v in values]
        if any(math.isnan(v) for v in doubles):
            return None, None
        steps = list(zip(doubles, doubles[1:]))
        rising, falling = all(b >= a for a, b in steps), all(b <= a for a, b in steps)
        if not (rising or falling) or (doubles[0] == doubles[-1] and lo != hi):
            return None, None
        ends = sorted([values[0], values[-1]], key=float)
        return tuple(None if isinstance(v, float) and math.isinf(v) else v for v in ends)

    def expected_bounds(self, name):
        tag = self.tag(name)
        lo, hi = self.limits(name)
        if tag in ("Integer",) + INT_REGISTERS:
            as_int = lambda v: round_away(v) if isinstance(v, float) else v  # noqa: E731
            return (INT64[0] if lo is None else as_int(lo)), (INT64[1] if hi is None else as_int(hi))
        return (DOUBLE[0] if lo is None else float(lo)), (DOUBLE[1] if hi is None else float(hi))


def bounds_of(camera: Camera, tag: str, name: str):
    if tag in ("Integer",) + INT_REGISTERS:
        return camera.integer_bounds(name)
    return camera.float_bounds(name)


def same(a, b) -> bool:
    return all(x == pytest.approx(y, rel=1e-9, abs=1e-12, nan_ok=True) for x, y in zip(a, b))


def mode_text(mode) -> str:
    return next(t for t in ("RO", "WO", "RW") if mode == getattr(oculane.AccessMode, t))


def check_file(path):
    """(mismatched access modes, mismatched bounds, nodes compared, nodes undecided)."""
    with sim.VirtualCamera(IP, description_file=path) as device:
        camera = Camera(device.ip)
        camera.connect()  # every file loads, the one with a comment before its declaration too
        try:
            desc = Description(path, camera)
            modes, bounds, compared, undecided = [], [], 0, 0
            for name, (tag, _, _) in desc.nodes.items():
                if tag not in CHECKED + ("Boolean", "Enumeration", "String") or not camera.has_feature(name):
                    continue
                want = desc.access(name)
                if want != "cycle":
                    got = mode_text(camera.access_mode(name))
                    if got != want:
                        modes.append((name, got, want))
                if tag not in CHECKED:
                    continue
                try:
                    want = desc.expected_bounds(name)
                except Undecided:
                    undecided += 1
                    continue
                compared += 1
                try:
                    got = bounds_of(camera, tag, name)
                except oculane.GenicamException as e:
                    got = str(e)
                if isinstance(got, str) or not same(got, want):
                    bounds.append((name, got, want))
            return modes, bounds, compared, undecided
        finally:
            camera.disconnect()


@pytest.mark.parametrize("path", corpus_files() or [None], ids=lambda p: p.name if p else "absent")
def test_access_modes_and_bounds_match_the_xml(path):
    if path is None:
        pytest.skip("shared/genicam-corpus not found above the checkout")
    modes, bounds, compared, undecided = check_file(path)
    assert modes == [], f"{len(modes)} access modes differ, e.g. {modes[:5]}"
    assert bounds == [], f"{len(bounds)} of {compared} bounds differ, e.g. {bounds[:5]}"
    # Most bounds are settled from the XML alone or from values read.
    assert compared > 4 * undecided, (compared, undecided)
