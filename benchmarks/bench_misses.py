"""Misses and failures: absent keys, failed pair checks.

Python code uses exceptions for ordinary control flow (the generic ``get``,
``pop`` and ``setdefault`` catch the ``KeyError`` of ``self[key]``), so these
paths are as hot as the hits. Each group has the plain dict/list statement as
its floor and the same class written in Python as the yardstick.
"""
from run import Case  # first: it puts the Python forms (tests/pyforms) on sys.path
from pyforms.fieldmap import NestedFieldMap as PyNestedFieldMap
from pyforms.flatnest import FlatNest as PyFlatNest

from vornal.datastructures.fieldmap import NestedFieldMap
from vornal.datastructures.flatnest import FlatNest

DOC = {"a": {"b": {"c": 1}}}
# The key that misses at depth 1 and at depth 3 ('a.b.x' finds a and b, then misses x).
KEYS = {"depth 1": "x", "depth 3": "a.b.x"}


def _maps():
    return [("NestedFieldMap", NestedFieldMap(DOC)), ("Python NestedFieldMap", PyNestedFieldMap(DOC))]


def _plain(key):
    """The plain-dict container that holds the missing key, and the key's last segment."""
    d = {"a": {"b": {"c": 1}}}
    if "." not in key:
        return d, key
    return d["a"]["b"], key.rsplit(".", 1)[1]


def _caught(op):
    def run():
        try:
            op()
        except KeyError:
            pass
    return run


def cases():
    for depth, key in KEYS.items():
        d, last = _plain(key)

        group = f"miss, {depth}: try: m[{key!r}] except KeyError"
        yield Case(group, "dict", _caught(lambda d=d, k=last: d[k]), floor=True)
        for name, m in _maps():
            yield Case(group, name, _caught(lambda m=m, k=key: m[k]))

        group = f"miss, {depth}: try: del m[{key!r}] except KeyError"
        def dict_delete(d=d, k=last):
            del d[k]
        yield Case(group, "dict", _caught(dict_delete), floor=True)
        for name, m in _maps():
            def delete(m=m, k=key):
                del m[k]
            yield Case(group, name, _caught(delete))

        group = f"miss, {depth}: m.get({key!r}, 0)"
        yield Case(group, "dict.get", lambda d=d, k=last: d.get(k, 0), floor=True)
        for name, m in _maps():
            yield Case(group, name, lambda m=m, k=key: m.get(k, 0))

        group = f"miss, {depth}: m.pop({key!r}, 0)"
        yield Case(group, "dict.pop", lambda d=d, k=last: d.pop(k, 0), floor=True)
        for name, m in _maps():
            yield Case(group, name, lambda m=m, k=key: m.pop(k, 0))

        new = key.replace("x", "n")
        group = f"new key, {depth}: m.setdefault({new!r}, 0); del m[{new!r}]"

        def dict_setdefault(d=d, k=last.replace("x", "n")):
            d.setdefault(k, 0)
            del d[k]

        yield Case(group, "dict", dict_setdefault, floor=True)
        for name, m in _maps():
            def setdefault(m=m, k=new):
                m.setdefault(k, 0)
                del m[k]
            yield Case(group, name, setdefault)

    group = "pair check fails: try: FlatNest([1]) except ValueError"

    def list_fail():
        try:
            a, b = 1
        except Exception:
            try:
                raise ValueError("FlatNest only accepts a tuple of path/obj")
            except ValueError:
                pass

    yield Case(group, "failed unpacking re-raised as ValueError", list_fail, floor=True)
    for name, cls in [("FlatNest", FlatNest), ("Python FlatNest", PyFlatNest)]:
        def construct(cls=cls):
            try:
                cls([1])
            except ValueError:
                pass
        yield Case(group, name, construct)
