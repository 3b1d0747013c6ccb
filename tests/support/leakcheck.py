"""Reference-leak checks, for every module of the package.

Under a debug interpreter (``sys.gettotalrefcount``) an operation is repeated
in rounds and the total reference count and the number of allocated memory
blocks are compared between rounds. A leak of even one reference per call
grows both in every round; caches that fill once do not.
"""
import gc
import sys

import pytest

import refleaks

HAVE_REFCOUNT = hasattr(sys, "gettotalrefcount")

needs_debug_python = pytest.mark.skipif(
    not HAVE_REFCOUNT, reason="reference counts need the debug interpreter (python3.14-dbg)"
)


def _run(func, raises, n):
    for _ in range(n):
        if raises is None:
            func()
        else:
            try:
                func()
            except raises:
                pass
            else:
                raise AssertionError(f"{func!r} did not raise {raises!r}")


def assert_no_leaks(func, *, raises=None, per_round=40, rounds=6, warmup=3):
    """Fail when repeated calls of ``func`` keep references or memory.

    ``raises``: an exception type (or tuple) that every call must raise; the
    failure path is then what is checked.
    """
    if not HAVE_REFCOUNT:
        pytest.skip("reference counts need the debug interpreter (python3.14-dbg)")
    if refleaks.hunting():  # tools/dev leaks: counted around every run of the whole test
        _run(func, raises, per_round)
        return
    _run(func, raises, warmup * per_round)
    ref_deltas, block_deltas = [], []
    for _ in range(rounds):
        gc.collect()
        refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
        _run(func, raises, per_round)
        gc.collect()
        ref_deltas.append(sys.gettotalrefcount() - refs)
        block_deltas.append(sys.getallocatedblocks() - blocks)
    # Drop the first round: lazily made objects (interned names, caches).
    ref_deltas, block_deltas = ref_deltas[1:], block_deltas[1:]
    leaked_refs = all(d > 0 for d in ref_deltas) and sum(ref_deltas) >= per_round
    leaked_blocks = all(d > 0 for d in block_deltas) and sum(block_deltas) >= per_round
    assert not (leaked_refs or leaked_blocks), (
        f"leak in {getattr(func, '__name__', func)!s}: reference deltas {ref_deltas}, "
        f"block deltas {block_deltas} over rounds of {per_round} calls"
    )
