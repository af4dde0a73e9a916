import pytest

from oculane import AccessMode


@pytest.mark.parametrize("name,code", [("RO", 0), ("WO", 1), ("RW", 2)])
def test_values_are_shared_ints_with_repr(name, code):
    value = getattr(AccessMode, name)
    assert value is getattr(AccessMode, name)
    assert int(value) == code
    assert repr(value) == f"AccessMode.{name}"
    assert value == code and code == value
    assert not (value != code)
    assert value == getattr(AccessMode, name)


def test_distinct_values_differ():
    assert AccessMode.RO != AccessMode.RW
    assert AccessMode.RO != 2
    assert not (AccessMode.WO == 0)


@pytest.mark.parametrize("other", ["RO", 0.0, None, object()])
def test_other_types_are_not_equal(other):
    # Falls back to identity, which never holds.
    assert (AccessMode.RO == other) is False
    assert (AccessMode.RO != other) is True


def test_ordering_and_hashing_are_refused():
    with pytest.raises(TypeError):
        AccessMode.RO < AccessMode.RW  # noqa: B015
    with pytest.raises(TypeError):
        hash(AccessMode.RW)
    with pytest.raises(TypeError):
        {AccessMode.RW}


def test_no_constructor():
    with pytest.raises(TypeError):
        AccessMode()


@pytest.mark.parametrize("other", ["RW", 2.0, None, b"\x02"])
def test_foreign_operands_get_not_implemented(other):
    # Not False: Python must be left to try the other operand's comparison.
    assert AccessMode.RW.__eq__(other) is NotImplemented
    assert AccessMode.RW.__ne__(other) is NotImplemented


def test_huge_ints_compare_unequal_without_error():
    assert AccessMode.RO != 2**64
    assert not (AccessMode.RO == -(2**70))
