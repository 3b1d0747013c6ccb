"""Memory of each structure against the same class written in Python, measured with tracemalloc.

Each structure is built from the same, already existing leaves and objects,
so that what is counted is the structure itself; the plain dict/list form
of the same data is shown per entry beside it. The invisible caches
(lookups kept per class, the table of recently used dotted keys, module
globals kept while their namespace is unchanged) are measured by what stays
allocated after many distinct keys and classes have gone through them.
"""
import gc
import tracemalloc

import run  # noqa: F401  (first: it puts the Python forms, tests/pyforms, on sys.path)
from bench_refsequence import Item
from pyforms.branch import Branch as PyBranch
from pyforms.configuration import Configuration as PyConfiguration
from pyforms.fieldmap import NestedFieldMap as PyNestedFieldMap
from pyforms.flatnest import FlatNest as PyFlatNest
from pyforms.refsequence import RefSequence as PyRefSequence

from vornal.datastructures.branch import Branch
from vornal.datastructures.configuration import Configuration
from vornal.datastructures.fieldmap import NestedFieldMap
from vornal.datastructures.flatnest import DictItem, FlatNest
from vornal.datastructures.refsequence import RefSequence

LEVELS, PER_LEVEL = 100, 100
LEAVES = [f"value {i}" for i in range(LEVELS * PER_LEVEL)]
KEYS = [f"k{j}" for j in range(PER_LEVEL)]
DOC = {f"s{i}": {KEYS[j]: LEAVES[i * PER_LEVEL + j] for j in range(PER_LEVEL)} for i in range(LEVELS)}
PAIRS = [((f"s{i // PER_LEVEL}", KEYS[i % PER_LEVEL]), LEAVES[i]) for i in range(len(LEAVES))]
OBJECTS = [Item(i) for i in range(10_000)]
NAMES = [f"node{i}" for i in range(20_000)]


def measure(build):
    """Bytes allocated by build() and still held by its result."""
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        result = build()
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    del result
    return after - before


def _tree(node_class, count=20_000, fanout=10):
    nodes = [node_class(NAMES[0])]
    for i in range(1, count):
        child = node_class(NAMES[i])
        nodes[(i - 1) // fanout].add_child(child)
        nodes.append(child)
    return nodes[0]


def _list_tree(count=20_000, fanout=10):
    nodes = [[NAMES[0], []]]
    for i in range(1, count):
        child = [NAMES[i], []]
        nodes[(i - 1) // fanout][1].append(child)
        nodes.append(child)
    return nodes[0]


CASES = [
    ("NestedFieldMap, 10,000 leaves in 100 levels", len(LEAVES), lambda: NestedFieldMap(DOC),
     lambda: PyNestedFieldMap(DOC), lambda: {k: dict(v) for k, v in DOC.items()}),
    ("Configuration, 10,000 leaves in 100 levels", len(LEAVES), lambda: Configuration(DOC),
     lambda: PyConfiguration(DOC), lambda: {k: dict(v) for k, v in DOC.items()}),
    ("FlatNest, 10,000 pairs", len(PAIRS), lambda: FlatNest(PAIRS),
     lambda: PyFlatNest(PAIRS), lambda: [(p, v) for p, v in PAIRS]),
    ("RefSequence, 10,000 entries", len(OBJECTS), lambda: RefSequence(OBJECTS),
     lambda: PyRefSequence(OBJECTS), lambda: [__import__("weakref").ref(o) for o in OBJECTS]),
    ("Branch tree, 20,000 nodes", len(NAMES), lambda: _tree(Branch), lambda: _tree(PyBranch), _list_tree),
]


def caches():
    """Bytes that stay allocated after distinct keys and classes went through the lookups."""
    m = NestedFieldMap()

    def distinct_keys():
        for i in range(20_000):
            key = f"a{i}.b.c"
            m[key] = i
            m[key]
            key in m
        m.clear()

    def distinct_classes():
        for i in range(300):
            cls = type(f"Sub{i}", (NestedFieldMap,), {})
            sub = cls({"x": {"y": 1}})
            sub["x.y"] = 2
            FlatNest({"a": [sub]}).reconstruct()
            RefSequence([Item(1)])
        return None

    distinct_keys()  # the first round fills the fixed tables
    distinct_classes()
    return measure(lambda: (distinct_keys(), distinct_classes()))


def run():
    print("\nmemory (tracemalloc): bytes held by the structure")
    rows = []
    for name, count, ours, python, plain in CASES:
        o, p, f = measure(ours), measure(python), measure(plain)
        print(f"  {name:<46} ours {o / count:7.1f} B/entry  Python {p / count:7.1f}  plain {f / count:7.1f}"
              f"   ours/Python {o / p:5.2f}x")
        rows.append({"case": name, "entries": count, "ours_bytes": o, "python_bytes": p, "plain_bytes": f,
                     "python_ratio": o / p})
    kept = caches()
    print(f"  invisible caches: {kept} bytes still held after 40,000 distinct dotted keys and 600 classes")
    rows.append({"case": "invisible caches after distinct keys and classes", "bytes": kept})
    return rows


if __name__ == "__main__":
    run()
