"""RefSequence: a UserList of weak references that forgets collected objects."""
import collections
import copy
import gc
import sys
import weakref

import pytest

from leakcheck import assert_no_leaks
from vornal.datastructures import refsequence
from vornal.datastructures.refsequence import RefSequence

pytestmark = pytest.mark.quick  # the part of the suite `tools/dev compilers` runs


class Obj:
    def __init__(self, n):
        self.n = n

    def __repr__(self):
        return f"R{self.n}"

    def __str__(self):
        return f"S{self.n}"

    def __lt__(self, other):
        return self.n < other.n


class Sub(RefSequence):
    pass


def sound(seq):
    """Every entry is a live weak reference of its own, made by seq's own wrapping."""
    assert len(set(map(id, seq.data))) == len(seq.data)
    for e in seq.data:
        assert type(e) is weakref.ref and e() is not None and e.__callback__ == seq.remove
    return [e() for e in seq.data]


def test_module_and_class_shape():
    assert [k for k in vars(refsequence) if not k.startswith("__")] == ["weakref", "collections", "RefSequence"]
    assert RefSequence.__bases__ == (collections.UserList,) and type(RefSequence) is type(collections.UserList)
    assert (RefSequence.__module__, RefSequence.__qualname__) == ("vornal.datastructures.refsequence", "RefSequence")
    assert RefSequence.__doc__.startswith("RefSequence Class") and RefSequence.__hash__ is None
    import inspect

    assert str(inspect.signature(RefSequence.sort)) == "(self, key=None, reverse=False)"
    assert str(inspect.signature(RefSequence.pop)) == "(self, item)"
    with pytest.raises(TypeError):
        hash(RefSequence())


R = [Obj(i) for i in range(4)]
a, b, c, d = R


@pytest.mark.parametrize("read, expected", [
    (lambda s: (s[0], s[-1], len(s)), (a, d, 4)),
    (lambda s: list(s), R),
    (lambda s: list(s[1:3]), [b, c]),
    (lambda s: list(reversed(s)), R[::-1]),
    (lambda s: (s == R, s == RefSequence(R), s == tuple(R), s != R), (True, True, False, False)),
    (lambda s: (s < R + [a], s <= R, s > R[:2], s >= R, s < RefSequence(R[1:])), (True, True, True, True, True)),
    (lambda s: (a in s, Obj(0) in s, s.index(c), s.count(a)), (True, False, 2, 1)),
    (lambda s: (repr(s), str(s), repr(RefSequence())), ("RefSequence([R0, R1, R2, R3])", "RefSequence([S0, S1, S2, S3])", "RefSequence([])")),
    (lambda s: (s.__iter__().__name__, s.__iter__().__qualname__), ("__iter__", "RefSequence.__iter__")),
    (lambda s: (s[0:1].__class__, (s + s).__class__, (s * 1).__class__), (Sub, RefSequence, Sub)),
])
def test_reads_give_the_objects(read, expected):
    assert read(Sub(R)) == expected


@pytest.mark.parametrize("call, error, message", [
    (lambda s: s[10], IndexError, "list index out of range"),
    (lambda s: s["x"], TypeError, "list indices must be integers or slices, not str"),
    (lambda s: 5 in s, TypeError, "cannot create weak reference to 'int' object"),
    (lambda s: s.remove(Obj(9)), ValueError, None),
    (lambda s: s.index(Obj(9)), ValueError, None),
    (lambda s: s.pop(Obj(9)), ValueError, None),
    (lambda s: s.extend([a, 5]), TypeError, "cannot create weak reference to 'int' object"),
    (lambda s: s.__iadd__([a, "x"]), TypeError, "cannot create weak reference to 'str' object"),
    (lambda s: s.__setitem__(slice(None, None, 2), [a]), ValueError, "attempt to assign sequence of size 1"),
    (lambda s: s.__setitem__(slice(1, 2), [a, None]), TypeError, "cannot create weak reference to 'NoneType'"),
    (lambda s: s + [b], TypeError, 'can only concatenante RefSequence (not "list") to RefSequence'),
    (lambda s: (b,) + s, TypeError, 'can only concatenante RefSequence (not "tuple") to RefSequence'),
    (lambda s: s * 1.5, TypeError, "can't multiply sequence by non-int of type 'float'"),
    (lambda s: s.__imul__("x"), TypeError, "can't multiply sequence by non-int"),
    (lambda s: s.index(a, 0), TypeError, None),
    (lambda s: s.pop(), TypeError, "missing 1 required positional argument: 'item'"),
    (lambda s: s.sort(key=lambda o: 1 / 0), ZeroDivisionError, None),
    (lambda s: RefSequence(None), TypeError, "'NoneType' object is not iterable"),
])
def test_failures_leave_the_sequence_unchanged(call, error, message):
    s = RefSequence(R)
    data, entries = s.data, list(s.data)
    with pytest.raises(error) as info:
        call(s)
    assert message is None or message in str(info.value)
    assert s.data is data and s.data == entries and sound(s) == R


X, Y, Z = Obj(7), Obj(8), Obj(9)


@pytest.mark.parametrize("write, expected", [
    (lambda s: s.append(X), R + [X]),
    (lambda s: s.insert(100, X), R + [X]),
    (lambda s: s.insert(-100, X), [X] + R),
    (lambda s: s.extend(iter([X, Y])), R + [X, Y]),
    (lambda s: s.extend(s), R + R),
    (lambda s: s.__setitem__(slice(1, 3), [X, Y, Z]), [a, X, Y, Z, d]),
    (lambda s: s.__setitem__(-1, X), [a, b, c, X]),
    (lambda s: s.__iadd__(RefSequence([X])), R + [X]),
    (lambda s: s.remove(b), [a, c, d]),
    (lambda s: s.remove(weakref.ref(b)), [a, c, d]),
    (lambda s: s.pop(b) is b or 1 / 0, [a, c, d]),
    (lambda s: s.__imul__(2), R + R),
    (lambda s: s.__imul__(0), []),
    (lambda s: s.sort(reverse=True), R[::-1]),
    (lambda s: s.sort(key=lambda o: -o.n), R[::-1]),
    (lambda s: s.reverse(), R[::-1]),
    (lambda s: s.__delitem__(slice(0, 2)), [c, d]),
])
def test_writes_store_entries_of_the_sequences_own(write, expected):
    s = Sub(R)
    write(s)
    assert sound(s) == expected


def test_iadd_returns_the_receiver_and_sort_is_stable():
    s = RefSequence([b])
    t = s
    t += (o for o in [a])
    assert t is s and list(s) == [b, a]
    p, q, r = Obj(1), Obj(1), Obj(0)
    s = RefSequence([p, q, r])
    assert s.sort() is None and list(s) == [r, p, q]
    s.sort(reverse=True)
    assert list(s) == [p, q, r]


@pytest.mark.parametrize("make", [
    lambda s: s + RefSequence([X]),
    lambda s: s * 2,
    lambda s: 2 * s,
    lambda s: s.copy(),
    copy.copy,
    copy.deepcopy,
    lambda s: copy.deepcopy([s, s])[1],
    lambda s: s[:],
    reversed,
])
def test_new_sequences_hold_the_same_objects_with_entries_of_their_own(make):
    objs = [Obj(i) for i in range(3)]
    s = Sub(objs)
    new = make(s)
    assert new is not s and isinstance(new, RefSequence) and set(sound(new)) >= set(objs)
    del objs[0]
    assert sound(s) == objs and set(sound(new)) - {X} == set(objs)


def test_deepcopy_of_a_container_copies_a_sequence_once():
    s = RefSequence(R)
    deep = copy.deepcopy([s, s, R])
    assert deep[0] is deep[1] and deep[0] is not s and sound(deep[0]) == R and deep[2][0] is not a


def test_sort_keys_are_made_per_call_and_released():
    seen = []

    class Spy(collections.UserList):
        def sort(self, *args, **kwds):
            seen.append(kwds)
            return super().sort(*args, **kwds)

    class Key:
        def __call__(self, o):
            return -o.n

    s = type("Seq", (RefSequence, Spy), {})([b, a, c])
    key = Key()
    s.sort()
    s.sort(key=key, reverse=True)
    assert list(s) == [a, b, c]
    (plain, applied) = (kw["key"] for kw in seen)
    assert [kw["reverse"] for kw in seen] == [False, True] and plain is not applied
    for k in (plain, applied):
        assert (k.__name__, k.__qualname__) == ("<lambda>", "RefSequence.sort.<locals>.<lambda>")
        assert k.__module__ == "vornal.datastructures.refsequence"
    assert plain(s.data[0]) is a and applied(s.data[0]) == -0
    refs = [weakref.ref(plain), weakref.ref(applied), weakref.ref(key)]
    seen.clear()
    del plain, applied, k, key
    assert [r() for r in refs] == [None] * 3
    key = Key()
    before = sys.getrefcount(key)
    RefSequence(R).sort(key=key)
    assert sys.getrefcount(key) == before
    # (The function type is shared by the package's modules: configuration has a <lambda> of its own.)
    assert not [f for f in gc.get_objects()
                if type(f) is type(RefSequence.sort) and f.__qualname__ == "RefSequence.sort.<locals>.<lambda>"]


@pytest.mark.parametrize("method, call", [
    ("__getitem__", lambda s: s[0]), ("__setitem__", lambda s: s.__setitem__(0, a)),
    ("__delitem__", lambda s: s.pop(a)), ("__contains__", lambda s: a in s), ("append", lambda s: s.append(a)),
    ("insert", lambda s: s.insert(0, a)), ("remove", lambda s: s.remove(a)), ("index", lambda s: s.index(a)),
    ("count", lambda s: s.count(a)), ("sort", lambda s: s.sort()), ("extend", lambda s: s.extend([a])),
    ("__iadd__", lambda s: s.__iadd__([a])), ("__init__", lambda s: s.__init__([a])),
])
def test_base_methods_between_class_and_userlist_are_called(method, call):
    calls = []

    def override(self, *args, **kwargs):
        calls.append(method)
        return getattr(collections.UserList, method)(self, *args, **kwargs)

    s = type("Seq", (RefSequence, type("Mixin", (collections.UserList,), {method: override})), {})([a, b])
    calls.clear()
    call(s)
    assert calls == [method] and sound(s)


def test_remove_is_looked_up_for_each_entry_made():
    class T(RefSequence):
        pass

    def items(seq, change):
        yield a
        change(seq)
        yield b

    def own(e):
        pass

    s, t = RefSequence(), T()
    s.extend(items(s, lambda seq: setattr(seq, "remove", own)))
    t.extend(items(t, lambda seq: setattr(T, "remove", lambda self, e: None)))
    assert s.data[0].__callback__ == RefSequence.remove.__get__(s) and s.data[1].__callback__ is own
    assert t.data[0].__callback__.__func__ is RefSequence.remove and t.data[1].__callback__.__func__ is T.remove


# --- auto-removal ------------------------------------------------------------


def test_auto_removal_after_del_and_after_a_collected_cycle(unraisable):
    x, y = Obj(1), Obj(2)
    y.cycle = y
    s = RefSequence([x, y, x])
    assert s.count(x) == 2
    del x
    assert list(s) == [y]
    del y
    gc.collect()
    assert len(s) == 0 and not unraisable


def test_removal_behind_a_suspended_iterator_skips_the_entry_that_moves_up():
    objs = [Obj(i) for i in range(4)]
    it = iter(RefSequence(objs))
    assert next(it) is objs[0] and next(it) is objs[1]
    del objs[0]
    assert list(it) == [objs[2]]


def test_subclass_remove_gets_the_dead_entry_and_its_errors_are_unraisable(unraisable):
    got = []

    class Logged(RefSequence):
        def remove(self, item):
            got.append(item)
            if len(got) > 1:
                raise RuntimeError("refused")
            super().remove(item)

    x, y = Obj(1), Obj(2)
    s = Logged([x, y])
    del x
    assert isinstance(got[0], weakref.ref) and got[0]() is None and list(s) == [y]
    del y
    assert [u.exc_type for u in unraisable] == [RuntimeError] and s[0] is None


def test_many_deaths_at_once_and_a_sequence_collected_before_its_objects(unraisable):
    objs = [Obj(i) for i in range(500)]
    s = RefSequence(objs * 2)
    objs.clear()
    assert len(s) == 0
    objs = [Obj(i) for i in range(10)]
    ref = weakref.ref(s := RefSequence(objs))
    del s
    gc.collect()
    assert ref() is None
    del objs
    assert not unraisable


@pytest.mark.parametrize("order", ["last first", "first first", "shuffled", "duplicates"])
def test_deaths_remove_exactly_their_entries(order, unraisable):
    objs = [Obj(i) for i in range(300)]
    s = RefSequence(objs[:150] * 2 if order == "duplicates" else objs)
    keep = objs[::7]
    doomed = [o for o in objs if o not in keep]
    if order == "last first":
        doomed.reverse()
    elif order == "shuffled":
        doomed.sort(key=lambda o: (o.n * 7919) % 301)
    objs.clear()
    while doomed:
        doomed.pop(0)
        expected = [o for o in (keep + doomed) if o.n < 150] if order == "duplicates" else None
        if expected is not None:
            assert sorted(o.n for o in s) == sorted(o.n for o in expected * 2)
    assert sound(s) == (keep[:22] * 2 if order == "duplicates" else keep) and not unraisable


def _log_eq(log, name, result=False):
    def eq(self, other):
        log.append((name, type(other).__name__))
        return result
    return eq


def _scenarios(module):
    """(what happened, final objects) of removals and lookups among entries that are
    not plain weak references: what list.remove and `in` compare, in which order."""
    log = []

    class Odd:  # stored in data directly: its __eq__ runs for every probe and dead entry
        __eq__ = _log_eq(log, "odd")
        __hash__ = object.__hash__

        def __call__(self):
            return "odd"

    class Self:
        __eq__ = _log_eq(log, "self")  # denies being equal even to itself
        __hash__ = object.__hash__

    class Declines:
        def __eq__(self, other):
            log.append(("declines", type(other).__name__))
            return NotImplemented
        __hash__ = object.__hash__

    class Mutates:
        def __eq__(self, other):
            log.append(("mutates", len(seq.data)))
            del seq.data[-1]
            return False
        __hash__ = object.__hash__

    class Truthy:
        def __eq__(self, other):
            return Answer()
        __hash__ = object.__hash__

    class Answer:
        def __bool__(self):
            log.append("bool")
            return True

    x, y, z, me, d, m, t = Obj(1), Obj(2), Obj(3), Self(), Declines(), Mutates(), Truthy()
    seq = module.RefSequence([x, y, z, me, d])
    out = [y in seq, me in seq, d in seq, Obj(9) in seq, z in seq]
    seq.data.insert(1, Odd())
    out += [y in seq, z in seq]
    del y  # the dead entry is compared with Odd() as list.remove does
    out.append([o if isinstance(o, str) else type(o).__name__ for o in seq])
    dead = weakref.ref(z, seq.remove)
    seq.data.insert(0, dead)
    seq.data.append(dead)
    del z  # both the stored entry and `dead` die: each removal takes the first match
    out.append(len(seq.data))
    seq.data[:] = [weakref.ref(o, seq.remove) for o in (x, m, me, t)]
    out += [me in seq, t in seq, x in seq]
    return out, log


def test_lookups_and_removals_compare_as_the_list_does(unraisable):
    import pyforms.refsequence
    ours, python = _scenarios(refsequence), _scenarios(pyforms.refsequence)
    assert repr(ours) == repr(python)
    assert not unraisable


def test_removal_of_a_live_reference_and_of_a_foreign_one_keeps_the_lists_rules():
    x, y = Obj(1), Obj(2)
    s = RefSequence([x, y, x])
    s.remove(weakref.ref(x))  # live: compares the objects
    assert list(s) == [y, x]
    gone = Obj(3)
    foreign = weakref.ref(gone)
    del gone
    with pytest.raises(ValueError, match="not in list"):
        s.remove(foreign)
    assert list(s) == [y, x]


@pytest.mark.parametrize("extra, key", [
    (lambda objs: lambda: objs[0], None),  # a callable entry stands in for a reference
    (lambda objs: lambda: 1 / 0, None),  # its call fails: the sort fails, the list keeps its order
    (lambda objs: lambda: objs[1], lambda o: -o.n),
    (lambda objs: lambda: None, lambda o: 1 / 0),
])
def test_sort_keys_of_entries_that_are_no_weak_references(extra, key):
    import pyforms.refsequence
    results = []
    for module in (refsequence, pyforms.refsequence):
        objs = [Obj(i) for i in (3, 1, 2)]
        s = module.RefSequence(objs)
        s.data.insert(1, extra(objs))
        try:
            outcome = s.sort(key=key)
        except Exception as e:
            outcome = type(e).__name__
        results.append((outcome, [e().n if isinstance(e, weakref.ref) else "callable" for e in s.data]))
    assert results[0] == results[1]


@pytest.mark.parametrize("operation", [
    lambda s, k: [s.copy()],  # walks s while the victims die
    lambda s, k: [s[0:]],  # the slice's objects die before they are wrapped
    lambda s, k: s.sort(key=lambda o: s.victims.clear() or o.n) or [],  # die while the list sorts
    lambda s, k: [type(s)(o or Obj(9) for o in [None, *k])],  # fresh objects die before they are stored
    lambda s, k: s.extend(Obj(9) for _ in "ab") or [],
    lambda s, k: s.__setitem__(slice(0, 0), (Obj(9) for _ in "ab")) or [],
])
def test_objects_dying_during_an_operation_are_neither_lost_nor_left_dead(operation, unraisable):
    class Dropping(RefSequence):
        @property
        def remove(self):  # runs while each entry is made
            victims.clear()
            return super().remove

    kept, doomed, victims = [Obj(i) for i in range(3)], [Obj(10), Obj(11)], []
    s = Dropping([doomed[0], kept[0], doomed[1], *kept[1:]])
    s.victims = victims
    victims += doomed  # from now on held only here
    del doomed
    results = operation(s, kept)
    for seq in [s, *results]:
        assert set(sound(seq)) == set(kept)
    assert not unraisable


def test_gc_stress_keeps_every_sequence_sound(unraisable):
    threshold = gc.get_threshold()
    gc.set_threshold(1)
    try:
        for _ in range(20):
            kept = [Obj(i) for i in range(8)]
            doomed = [Obj(-i) for i in range(8)]
            for o in doomed:
                o.cycle = o
            s = RefSequence(kept + doomed)
            del doomed, o
            results = [s + s, s * 2, s.copy(), s[::-1], RefSequence(s)]
            s.sort(key=lambda o: o.n)
            s *= 2
            s.extend(Obj(i) for i in range(3))
            repr(s), s == kept, list(s)
            gc.collect()
            for r in results + [s]:
                assert set(sound(r)) == set(kept)
    finally:
        gc.set_threshold(*threshold)
    assert not unraisable


def test_no_leaks():
    objs = [Obj(i) for i in range(5)]
    s = RefSequence(objs)

    def cycle():
        t = RefSequence(objs)
        t.append(Obj(9))
        t.sort(key=lambda o: o.n, reverse=True)
        t += s
        t *= 2
        (t + s, t * 2, t[1:], reversed(t), copy.deepcopy(t), repr(t), str(t), t < s, t == s, list(t))
        t.pop(objs[0]), t.remove(objs[1]), t.index(objs[2]), t.count(objs[3]), objs[4] in t, t[0], t.insert(0, objs[0])

    assert_no_leaks(cycle)
    assert_no_leaks(lambda: s.extend([objs[0], 5]), raises=TypeError)
    assert_no_leaks(lambda: s + [1], raises=TypeError)
    assert_no_leaks(lambda: s.index(Obj(1)), raises=ValueError)
