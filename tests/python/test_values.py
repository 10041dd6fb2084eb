"""The value table, both ways, through an object that hands values back as it got them."""

import pathlib

import pytest

import docmill

MISMATCH = 0x800A000D
OVERFLOW = 0x800A0006


def self_holding_list():
    loop = []
    loop.append(loop)
    return loop


@pytest.mark.parametrize("value, described, back", [
    (None, "Nothing", None),
    (True, "Bool(True)", True),
    (-2**31, "I4(-2147483648)", -2**31),
    (2**40, "R8(1099511627776)", 2.0**40),  # past 32 bits, carried as a double
    (-0.0, "R8(0)", -0.0),
    ("üñï €", 'Bstr("üñï €")', "üñï €"),
    ("caf\udce9", 'Bstr("caf\udce9")', "caf\udce9"),  # a file name byte that is not UTF-8
    (pathlib.PurePosixPath("/x/y.ps"), 'Bstr("/x/y.ps")', "/x/y.ps"),
    (docmill.I2(-3), "I2(-3)", -3),
    (docmill.R4(0.5), "R4(0.5)", 0.5),
    (docmill.Empty, "Empty", docmill.Empty),
    (docmill.Null, "Null", docmill.Null),
    ([], "Array of Variant(0 To -1)[]", []),
    ((1, "a"), 'Array of Variant(0 To 1)[I4(1), Bstr("a")]', [1, "a"]),
    ([[1], [None]], "Array of Variant(0 To 1)[Array of Variant(0 To 0)[I4(1)], "
                    "Array of Variant(0 To 0)[Nothing]]", [[1], [None]]),
])
def test_values_travel_by_the_table_and_come_back(echo, value, described, back):
    assert echo.Describe(value) == described
    got = echo.Echo(value)
    assert got == back and type(got) in (type(back), docmill.Array)
    if isinstance(back, list):
        assert isinstance(got, docmill.Array) and got.lower_bound == 0


def test_arrays_keep_their_lower_bounds_and_dimensions(echo):
    one = docmill.Array(["a", "b"], lower_bound=1)
    assert echo.Describe(one) == 'Array of Variant(1 To 2)[Bstr("a"), Bstr("b")]'
    back = echo.Echo(one)
    assert back == ["a", "b"] and back.lower_bound == 1 and back.ndim == 1
    assert echo.Echo(docmill.Array([], lower_bound=-5)).lower_bound == -5
    rows = docmill.Array([[1, 2, 3], [4, 5, 6]], lower_bound=(1, 0), ndim=2)
    # Stored with the first index varying fastest, as automation stores arrays.
    assert echo.Describe(rows) == (
        "Array of Variant(1 To 2, 0 To 2)[I4(1), I4(4), I4(2), I4(5), I4(3), I4(6)]")
    back = echo.Echo(rows)
    assert back == [[1, 2, 3], [4, 5, 6]] and back.ndim == 2 and back.lower_bound == (1, 0)
    assert echo.Describe(docmill.Array([[], []], ndim=2)) == "Array of Variant(1 To 2, 1 To 0)[]"
    echo.Value = one  # properties take any value too
    assert echo.value.lower_bound == 1


def test_objects_travel_as_objects(echo):
    other = docmill.Dispatch("Docmill.Echo")
    back = echo.Echo(other)
    assert isinstance(back, docmill.Dispatch) and back == other and back != echo
    assert back.Echo(3) == 3


@pytest.mark.parametrize("value, number", [
    (object(), MISMATCH),
    ({"a": 1}, MISMATCH),
    (b"bytes", MISMATCH),
    ("a\0b", MISMATCH),  # would cut a path short at the file system
    (self_holding_list(), MISMATCH),  # refused, not recursed into
    (docmill.Array([[1, 2], [3]], ndim=2), MISMATCH),
    (docmill.Array([1, 2], ndim=2), MISMATCH),
    (2**60, OVERFLOW),
    (docmill.I2(40000), OVERFLOW),
    (docmill.R4(1e39), OVERFLOW),
    (docmill.Array([1], lower_bound=2**31), OVERFLOW),
    (docmill.Array([1, 2], lower_bound=2**31 - 1), OVERFLOW),
])
def test_values_without_an_automation_form_are_refused(echo, value, number):
    with pytest.raises(docmill.AutomationError) as info:
        echo.Echo(value)
    assert info.value.number == number
