# The reference-leak hunter (tests/refleaks.py) is off unless --refleaks is given.
from refleaks import pytest_addoption, pytest_configure  # noqa: F401
