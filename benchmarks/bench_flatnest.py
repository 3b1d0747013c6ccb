"""FlatNest flattening and reconstruction of large nested documents.

Yardsticks: a plain recursive Python walk (the floor), the same class written
in Python, and the Debian-packaged flatdict as the peer.
"""
from run import Case, optional_import  # first: it puts the Python forms (tests/pyforms) on sys.path
from pyforms.flatnest import FlatNest as PyFlatNest

from vornal.datastructures.flatnest import FlatNest

flatdict = optional_import("flatdict")


def make_document(kinds, fanout, leaf=0):
    """A tree whose levels are the given container kinds, `fanout` children each."""
    counter = iter(range(10**9))

    def level(depth):
        if depth == len(kinds):
            n = next(counter)
            return n if n % 3 else f"leaf{n}"
        kind = kinds[depth]
        children = [level(depth + 1) for _ in range(fanout)]
        if kind is dict:
            return {f"key{i}": c for i, c in enumerate(children)}
        return kind(children)

    return level(0)


# 4**5 = 1024 leaves, dictionaries only.
DICT_DOC = make_document([dict] * 5, 4)
# 4**5 = 1024 leaves; dictionaries with lists and tuples between them.
MIXED_DOC = make_document([dict, list, dict, tuple, dict], 4)
PAIRS = [((f"k{i}", "x"), i) for i in range(100)]


# --- the floor: a plain recursive walk --------------------------------------------------


def plain_walk(value, path=(), out=None):
    """(path, value) pairs of a nested document, list positions as plain ints."""
    if out is None:
        out = []
    items = value.items() if isinstance(value, dict) else enumerate(value)
    for key, child in items:
        if isinstance(child, (dict, list, tuple)) and child:
            plain_walk(child, path + (key,), out)
        else:
            out.append((path + (key,), child))
    return out


def plain_copy(value):
    """A new nested document of the same shape: the least a rebuild must do."""
    if isinstance(value, dict):
        return {k: plain_copy(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return type(value)(plain_copy(v) for v in value)
    return value


# --- cases ------------------------------------------------------------------------------


def _check(doc):
    fn = FlatNest(doc)
    assert fn.reconstruct() == doc
    assert PyFlatNest(doc).reconstruct() == doc
    assert len(fn) == len(plain_walk(doc)) == len(list(FlatNest.__flatten__(doc)))
    return fn


def _canonical(pairs):
    """Flattened pairs as {'a:0:b': value}, the form flatdict uses, whatever the marker class."""
    def step(k):
        return str(k.index) if hasattr(k, "index") and hasattr(k, "type_") else str(k)
    return {":".join(step(k) for k in path): value for path, value in pairs}


def _canonical_flatdict(flat):
    return dict(flat.items())


def cases():
    documents = [
        (f"{len(plain_walk(DICT_DOC))}-leaf dict document, depth 5", DICT_DOC,
         flatdict and flatdict.FlatDict, "flatdict.FlatDict"),
        (f"{len(plain_walk(MIXED_DOC))}-leaf mixed document (dicts, lists, tuples), depth 5", MIXED_DOC,
         flatdict and flatdict.FlatterDict, "flatdict.FlatterDict"),
    ]
    for label, doc, peer, peer_name in documents:
        fn = _check(doc)
        pfn = PyFlatNest(doc)
        group = f"flatten a {label}"
        yield Case(group, "plain recursive walk", lambda doc=doc: plain_walk(doc), floor=True)
        yield Case(group, "FlatNest(doc)", lambda doc=doc: FlatNest(doc), check=_canonical)
        yield Case(group, "list(FlatNest.__flatten__(doc))", lambda doc=doc: list(FlatNest.__flatten__(doc)),
                   check=_canonical)
        yield Case(group, "Python FlatNest(doc)", lambda doc=doc: PyFlatNest(doc), check=_canonical)
        if peer:
            yield Case(group, f"{peer_name}(doc)", lambda doc=doc, peer=peer: peer(doc), check=_canonical_flatdict)

        group = f"reconstruct a {label}"
        yield Case(group, "plain recursive copy", lambda doc=doc: plain_copy(doc), floor=True)
        yield Case(group, "FlatNest.reconstruct()", fn.reconstruct)
        yield Case(group, "Python FlatNest.reconstruct()", pfn.reconstruct)
        if peer:
            flat = peer(doc)
            # Timed only where its rebuild gives the document back (the runner checks).
            yield Case(group, f"{peer_name}.as_dict()", flat.as_dict)

    group = "fn.extend(100 pairs)"

    def list_extend():
        target = []
        target.extend(PAIRS)
        return target

    def flatnest_extend():
        target = FlatNest()
        target.extend(PAIRS)
        return target

    def python_extend():
        target = PyFlatNest()
        target.extend(PAIRS)
        return target

    yield Case(group, "list.extend of the same tuples", list_extend, floor=True)
    yield Case(group, "FlatNest().extend(pairs)", flatnest_extend)
    yield Case(group, "Python FlatNest().extend(pairs)", python_extend)
