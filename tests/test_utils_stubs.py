"""The vornal.utils stand-in that the configuration and logic modules import."""

import math
import os

import pytest

from vornal.utils.import_utils import get_entry_points
from vornal.utils.strings import decode_cli_string, typecast_str


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("True", True),
        ("false", False),
        ("FALSE", False),
        ("none", None),
        ("NULL", None),
        ("0", 0),
        ("-0", 0),
        ("+3", 3),
        ("42", 42),
        ("-17", -17),
        ("123456789012345678901234567890", 123456789012345678901234567890),
        ("1.5", 1.5),
        ("1.", 1.0),
        (".5", 0.5),
        ("-.5", -0.5),
        ("1e5", 1e5),
        ("1E-3", 1e-3),
        ("0.0", 0.0),
        ("+2.5e+2", 250.0),
    ],
)
def test_typecast_str_converts(text, expected):
    result = typecast_str(text)
    assert type(result) is type(expected)
    assert result == expected


@pytest.mark.parametrize(
    "text",
    [
        "",
        " ",
        "007",  # leading zeros stay text
        "00.5",
        "1_000",  # underscores accepted by int() stay text
        "١٢",  # non-ASCII digits accepted by int() stay text
        "1.5\u0661",
        " 1",
        "1 ",
        "1\n",
        "0x10",
        "inf",
        "nan",
        "-inf",
        "1e",
        "e5",
        ".",
        "+",
        "1.2.3",
        "yes",
        "truee",
        "None?",
    ],
)
def test_typecast_str_leaves_other_text_unchanged(text):
    assert typecast_str(text) is text


@pytest.mark.parametrize(
    "value",
    [None, 5, 2.5, True, b"1", ["1"], {"a": "1"}, object()],
    ids=lambda v: type(v).__name__,
)
def test_typecast_str_returns_non_strings_themselves(value):
    assert typecast_str(value) is value


@pytest.mark.parametrize(
    "text", ["true", "null", "-0", "+3", "1.", ".5", "1e5", "007", "x"]
)
def test_typecast_str_is_stable_on_its_own_results(text):
    once = typecast_str(text)
    assert typecast_str(once) is once


def test_typecast_str_keeps_negative_zero_sign():
    assert math.copysign(1.0, typecast_str("-0.0")) == -1.0


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("And('a', 'b')", "And('a', 'b')"),
        ("", ""),
        (b"And('a')", "And('a')"),
        ("caf\u00e9".encode(), os.fsdecode("caf\u00e9".encode())),
        (b"\xff", os.fsdecode(b"\xff")),
    ],
)
def test_decode_cli_string(text, expected):
    result = decode_cli_string(text)
    assert type(result) is str
    assert result == expected


def test_decode_cli_string_returns_str_itself():
    text = "Or('x')"
    assert decode_cli_string(text) is text


@pytest.mark.parametrize(
    ("value", "type_name"),
    [(None, "NoneType"), (1, "int"), (bytearray(b"x"), "bytearray"), (["a"], "list")],
)
def test_decode_cli_string_rejects_other_types(value, type_name):
    with pytest.raises(TypeError) as info:
        decode_cli_string(value)
    assert str(info.value) == (
        f"decode_cli_string() argument must be str or bytes, not {type_name}"
    )


def test_get_entry_points_lists_group_and_nothing_for_unknown_group():
    scripts = get_entry_points("console_scripts")
    assert isinstance(scripts, list)
    assert all(ep.group == "console_scripts" for ep in scripts)
    assert get_entry_points("vornal.no-such-group") == []
