"""RefSequence hot paths against a plain list of weak references handled in Python.

Yardsticks: the floor is the same work on a plain list of ``weakref.ref``
objects written out in Python; then the same class written in Python and
``weakref.WeakSet`` as the peer, where it offers the operation.

Run as a script (``tools/dev python benchmarks/bench_refsequence.py``) to
print the memory of a 10,000-entry sequence against the Python class.
"""
import random
import weakref

from run import Case  # first: it puts the Python forms (tests/pyforms) on sys.path
from pyforms.refsequence import RefSequence as PyRefSequence

from vornal.datastructures.refsequence import RefSequence


class Item(float):
    """A weakly referenceable object with a cheap comparison, so the sequence's own work shows."""


# --- data ------------------------------------------------------------------------------

N = 1000
OBJS = [Item(i) for i in range(N)]
SHUFFLED = OBJS[:]
random.Random(5).shuffle(SHUFFLED)


def callback(ref):
    pass


REFS = [weakref.ref(o, callback) for o in OBJS]
SEQ = RefSequence(OBJS)
PYSEQ = PyRefSequence(OBJS)
WSET = weakref.WeakSet(OBJS)

# Sequences in a shuffled order, put back into it before each sort.
SHUFFLED_REFS = [weakref.ref(o, callback) for o in SHUFFLED]
SORT_SEQ, SORT_PYSEQ = RefSequence(SHUFFLED), PyRefSequence(SHUFFLED)
SORT_SEQ_ENTRIES, SORT_PYSEQ_ENTRIES = SORT_SEQ.data[:], SORT_PYSEQ.data[:]

TARGET = OBJS[10]  # looked up near the front, so the lookup's own cost shows
MIDDLE = OBJS[500]  # looked up half way: the scan itself shows


SMALL_REFS = [weakref.ref(o, callback) for o in OBJS[:10]]
SMALL_SEQ, SMALL_PYSEQ, SMALL_WSET = RefSequence(OBJS[:10]), PyRefSequence(OBJS[:10]), weakref.WeakSet(OBJS[:10])


def _drop(ref):
    SMALL_REFS.remove(ref)


# 1,000 live entries: an entry added last and dying at once is found by a
# scan from the front.
FULL_REFS = [weakref.ref(o, callback) for o in OBJS]
FULL_SEQ, FULL_PYSEQ = RefSequence(OBJS), PyRefSequence(OBJS)


def _drop_full(ref):
    FULL_REFS.remove(ref)


def _plain_append_and_drop_full():
    o = Item(1.5)
    FULL_REFS.append(weakref.ref(o, _drop_full))
    del o


MANY = 20_000


def _deaths_last_first(make):
    """MANY objects held by a sequence die at once, the last first (list.clear
    releases from the end): each death removes one entry."""
    objs = [Item(i) for i in range(MANY)]
    seq = make(objs)
    objs.clear()
    return len(seq)


def _plain_sequence(objs):
    refs = []

    def drop(ref):
        refs.remove(ref)

    refs.extend(weakref.ref(o, drop) for o in objs)
    return refs


# --- cases -----------------------------------------------------------------------------


def _iterate(container):
    for _ in container:
        pass


def _index(container):
    for i in range(N):
        container[i]


def _sorted(container, entries):
    container.data[:] = entries
    container.sort()


def _append_and_drop(container):
    o = Item(1.5)
    container.append(o)
    del o


def _add_and_drop():
    o = Item(1.5)
    SMALL_WSET.add(o)
    del o


def _plain_append_and_drop():
    o = Item(1.5)
    SMALL_REFS.append(weakref.ref(o, _drop))
    del o


def _plain_iterate():
    for r in REFS:
        r()


def _plain_index():
    for i in range(N):
        REFS[i]()


def _plain_sort():
    SHUFFLED_REFS[:] = SHUFFLED_REFS_ORDER
    SHUFFLED_REFS.sort(key=lambda r: r())


SHUFFLED_REFS_ORDER = SHUFFLED_REFS[:]


def _plain_pop():
    REFS.pop(REFS.index(weakref.ref(MIDDLE)))
    REFS.insert(500, weakref.ref(MIDDLE, callback))


def _pop(container):
    container.insert(500, container.pop(MIDDLE))
OBJS_TWICE = OBJS * 2


def cases():
    g = "construct from 1000 objects"
    yield Case(g, "[weakref.ref(o, cb) for o in objs]", lambda: [weakref.ref(o, callback) for o in OBJS], floor=True)
    yield Case(g, "RefSequence(objs)", lambda: RefSequence(OBJS))
    yield Case(g, "PyRefSequence(objs)", lambda: PyRefSequence(OBJS), kind="python")
    yield Case(g, "WeakSet(objs)", lambda: weakref.WeakSet(OBJS))

    g = "seq + seq (2000 entries)"
    yield Case(g, "[weakref.ref(o, cb) for o in objs * 2]", lambda: [weakref.ref(o, callback) for o in OBJS_TWICE], floor=True)
    yield Case(g, "RefSequence + RefSequence", lambda: SEQ + SEQ)
    yield Case(g, "PyRefSequence + PyRefSequence", lambda: PYSEQ + PYSEQ, kind="python")

    g = "iterate 1000"
    yield Case(g, "for r in refs: r()", _plain_iterate, floor=True)
    yield Case(g, "for o in RefSequence", lambda: _iterate(SEQ))
    yield Case(g, "for o in PyRefSequence", lambda: _iterate(PYSEQ), kind="python")
    yield Case(g, "for o in WeakSet", lambda: _iterate(WSET))

    g = "seq[i] for each of 1000"
    yield Case(g, "refs[i]()", _plain_index, floor=True)
    yield Case(g, "RefSequence[i]", lambda: _index(SEQ))
    yield Case(g, "PyRefSequence[i]", lambda: _index(PYSEQ), kind="python")

    g = "in (entry 10 of 1000)"
    yield Case(g, "weakref.ref(o) in refs", lambda: weakref.ref(TARGET) in REFS, floor=True)
    yield Case(g, "o in RefSequence", lambda: TARGET in SEQ)
    yield Case(g, "o in PyRefSequence", lambda: TARGET in PYSEQ, kind="python")
    yield Case(g, "o in WeakSet", lambda: TARGET in WSET)

    g = "in (entry 500 of 1000)"
    yield Case(g, "weakref.ref(o) in refs", lambda: weakref.ref(MIDDLE) in REFS, floor=True)
    yield Case(g, "o in RefSequence", lambda: MIDDLE in SEQ)
    yield Case(g, "o in PyRefSequence", lambda: MIDDLE in PYSEQ, kind="python")

    g = "index (entry 500 of 1000)"
    yield Case(g, "refs.index(weakref.ref(o))", lambda: REFS.index(weakref.ref(MIDDLE)), floor=True)
    yield Case(g, "RefSequence.index(o)", lambda: SEQ.index(MIDDLE))
    yield Case(g, "PyRefSequence.index(o)", lambda: PYSEQ.index(MIDDLE), kind="python")

    g = "count (entry 500 of 1000)"
    yield Case(g, "refs.count(weakref.ref(o))", lambda: REFS.count(weakref.ref(MIDDLE)), floor=True)
    yield Case(g, "RefSequence.count(o)", lambda: SEQ.count(MIDDLE))
    yield Case(g, "PyRefSequence.count(o)", lambda: PYSEQ.count(MIDDLE), kind="python")

    g = "pop (entry 500 of 1000), then put back"
    yield Case(g, "refs.pop(refs.index(weakref.ref(o))) + insert", _plain_pop, floor=True)
    yield Case(g, "RefSequence.pop(o) + insert", lambda: _pop(SEQ))
    yield Case(g, "PyRefSequence.pop(o) + insert", lambda: _pop(PYSEQ), kind="python")

    g = "sort 1000 shuffled"
    yield Case(g, "refs.sort(key=lambda r: r())", _plain_sort, floor=True)
    yield Case(g, "RefSequence.sort()", lambda: _sorted(SORT_SEQ, SORT_SEQ_ENTRIES))
    yield Case(g, "PyRefSequence.sort()", lambda: _sorted(SORT_PYSEQ, SORT_PYSEQ_ENTRIES), kind="python")

    g = "append, then the object dies (10 live entries)"
    yield Case(g, "refs.append(weakref.ref(o, cb)) + cb removes", _plain_append_and_drop, floor=True)
    yield Case(g, "RefSequence.append + auto-removal", lambda: _append_and_drop(SMALL_SEQ))
    yield Case(g, "PyRefSequence.append + auto-removal", lambda: _append_and_drop(SMALL_PYSEQ), kind="python")
    yield Case(g, "WeakSet.add + auto-removal", _add_and_drop)

    g = "append, then the object dies (1000 live entries)"
    yield Case(g, "refs.append(weakref.ref(o, cb)) + cb removes", _plain_append_and_drop_full, floor=True)
    yield Case(g, "RefSequence.append + auto-removal", lambda: _append_and_drop(FULL_SEQ))
    yield Case(g, "PyRefSequence.append + auto-removal", lambda: _append_and_drop(FULL_PYSEQ), kind="python")

    g = f"{MANY} objects die at once, last first"
    yield Case(g, "list of weakref.ref(o, cb), cb removes", lambda: _deaths_last_first(_plain_sequence), floor=True)
    yield Case(g, "RefSequence", lambda: _deaths_last_first(RefSequence))
    yield Case(g, "PyRefSequence", lambda: _deaths_last_first(PyRefSequence), kind="python")


def memory_ratio(n=10000):
    """Bytes allocated for an n-entry RefSequence over those of the Python class."""
    import gc
    import tracemalloc

    objs = [Item(i) for i in range(n)]
    sizes = {}
    for cls in (RefSequence, PyRefSequence):
        gc.collect()
        tracemalloc.start()
        seq = cls(objs)
        sizes[cls.__name__] = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
        del seq
    return sizes["RefSequence"] / sizes["PyRefSequence"], sizes


if __name__ == "__main__":
    ratio, sizes = memory_ratio()
    print(f"memory of 10,000 entries: RefSequence / PyRefSequence = {ratio:.3f} {sizes}")
