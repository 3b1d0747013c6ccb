"""Conversions of command-line and configuration text."""

import os
import re

__all__ = ["typecast_str", "decode_cli_string"]

_INT = re.compile(r"[+-]?(?:0|[1-9][0-9]*)", re.ASCII)
_FLOAT = re.compile(
    r"[+-]?(?:(?:0|[1-9][0-9]*)(?:\.[0-9]*)?(?:[eE][+-]?[0-9]+)?"
    r"|\.[0-9]+(?:[eE][+-]?[0-9]+)?)",
    re.ASCII,
)
_CONSTANTS = {"true": True, "false": False, "none": None, "null": None}


def typecast_str(value):
    """Return the typed value that the text ``value`` stands for.

    Non-strings and text that stands for nothing else come back as the same object.
    """
    if not isinstance(value, str):
        return value
    lowered = value.lower()
    if lowered in _CONSTANTS:
        return _CONSTANTS[lowered]
    if _INT.fullmatch(value):
        return int(value)
    if _FLOAT.fullmatch(value):
        return float(value)
    return value


def decode_cli_string(text):
    """Return command-line text as ``str``; ``bytes`` are decoded like file names."""
    if isinstance(text, str):
        return text
    if isinstance(text, bytes):
        return os.fsdecode(text)
    raise TypeError(
        f"decode_cli_string() argument must be str or bytes, not {type(text).__name__}"
    )
