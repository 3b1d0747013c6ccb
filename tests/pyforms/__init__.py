"""The classes of vornal.datastructures written in Python, one module each.

Each module here is the class body that the matching extension module
implements, with the same module-level imports and names looked up when a
method runs, and with every deliberate difference from the plain body
(copies and pickles of attribute maps, methods looked up on the class, the
configuration loaders, the FlatNest pair checks and tuple levels, the
RefSequence operations that would otherwise act on the weak references
themselves) written in. They are the reference the tests compare the
extension modules with (tests/test_differential.py, the state machines)
and the yardstick of the benchmarks ("the same class written in Python").

They live under tests/ so that the suite can run from a copy of tests/
without the source tree; the benchmarks put tests/ on sys.path.
"""
