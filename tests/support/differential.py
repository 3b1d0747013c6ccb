"""What the differential tests share: the open differences, settings, outcomes, hooks.

A differential test applies the same operations to one of our classes and to
the same class written in Python (tests/pyforms) and compares what comes
back (values, or exception types and messages), what user code saw, and the
state left behind. Each side lives in a World of its own: the structure
under test, fresh subclasses (so that methods installed during a run stay
in that run), and the hostile objects, whose hooks act on their own world.

A difference found and not yet mended is listed in OPEN, with its explicit
test marked @known(name): a strict expected failure with the reason given
there; the random runs consult open_difference(name) to keep away from
what triggers it while it is open. None is open now.
"""
import contextlib
import gc
import os
import sys

import pytest
from hypothesis import HealthCheck, settings

DEBUG = hasattr(sys, "gettotalrefcount")

OPEN = {}


def open_difference(name):
    """Whether a listed difference is still open (its triggers stay out of the random runs)."""
    return name in OPEN


def known(name):
    """Marks a difference's explicit test: a strict expected failure while it is open."""
    def decorate(test):
        if name not in OPEN:
            return test
        return pytest.mark.xfail(strict=True, reason=OPEN[name])(test)

    return decorate


# VORNAL_DIFFERENTIAL=N runs N times as many examples: a longer hunt.
SCALE = int(os.environ.get("VORNAL_DIFFERENTIAL", "1"))


def runs(release, debug):
    """Settings of a random run: `release` examples, `debug` under the debug interpreter."""
    return settings(
        max_examples=(debug if DEBUG else release) * SCALE,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much, HealthCheck.data_too_large],
    )


@contextlib.contextmanager
def collections_between_steps():
    """Cyclic garbage (a map is its own namespace, so a map that is dropped is such
    garbage) collected at the same points in both worlds: after each step, through
    the function this gives, instead of whenever an allocation starts a collection;
    what finalisers drop then is collected too, so that nothing of one world is left
    to die during the other's step. What existed before is frozen, so that those
    collections stay small."""
    enabled = gc.isenabled()
    gc.disable()
    gc.freeze()

    def collect():
        while gc.collect():  # until finalisers leave no more garbage behind
            pass

    try:
        yield collect
    finally:
        gc.unfreeze()
        if enabled:
            gc.enable()


def outcome(func, shape=lambda value: value):
    """("ok", shape(value)) or (exception type, message). The value is shaped at
    once and not kept, so that what it holds is released before the next step."""
    try:
        value = func()
    except Exception as e:
        return (type(e), str(e))
    return ("ok", shape(value))


class Hook:
    """Runs `action(world)` once, at the n-th call of the hooked method."""

    def __init__(self, world, n, action):
        self.world, self.n, self.action, self.calls = world, n, action, 0

    def fire(self):
        self.calls += 1
        if self.calls == self.n and self.action is not None:
            self.action(self.world)


class HKey(str):
    """A str key whose __hash__ (event "hash") or __eq__ (event "eq") fires a hook."""

    def __new__(cls, text, event, hook):
        self = super().__new__(cls, text)
        self.event, self.hook = event, hook
        return self

    def __hash__(self):
        if self.event == "hash":
            self.hook.fire()
        return str.__hash__(self)

    def __eq__(self, other):
        if self.event == "eq":
            self.hook.fire()
        return str.__eq__(self, other)

    def __ne__(self, other):
        return not self == other
