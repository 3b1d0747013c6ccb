"""Each module's state belongs to its module object in the interpreter that imported it:
it goes with the module and comes back afresh with the next import, in this interpreter
or another. The modules of one interpreter share the framework's core (the function and
generator types), published once in the interpreter's state dictionary under a key
that names the core's version; a module built for another version refuses to load.
(Re-initialising an embedded interpreter: test_embedding.py.)"""
import collections.abc
import functools
import subprocess
import sys
import textwrap

import pytest

CORE_PREFIX = "vornal.datastructures.pyframe.core."

# ctypes access to the interpreter's state dictionary, for the scripts below.
STATE_DICT = """
import ctypes
api = ctypes.pythonapi
api.PyInterpreterState_Get.restype = ctypes.c_void_p
api.PyInterpreterState_GetDict.restype = ctypes.py_object
api.PyInterpreterState_GetDict.argtypes = [ctypes.c_void_p]
api.PyCapsule_New.restype = ctypes.py_object
api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
state = api.PyInterpreterState_GetDict(api.PyInterpreterState_Get())
# ctypes takes a py_object result as a new reference; this one is borrowed.
api.Py_IncRef.argtypes = [ctypes.py_object]
api.Py_IncRef(state)
"""


def run(code):
    """Runs `code` in a fresh interpreter (a module of this package executes once per
    interpreter) and returns its output lines."""
    proc = subprocess.run([sys.executable, "-u", "-P", "-c", textwrap.dedent(code)], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


@functools.cache
def core_keys():
    """The keys of the core in a fresh interpreter's state dictionary after an import."""
    return run(STATE_DICT + """
import vornal.datastructures.sharedattr
print(*sorted(k for k in state if isinstance(k, str) and k.startswith("vornal.datastructures.")), sep="\\n")
""")


def test_the_core_is_published_once_under_a_versioned_key():
    keys = core_keys()
    assert len(keys) == 1 and keys[0].startswith(CORE_PREFIX + "v"), keys


def test_the_modules_share_one_function_type_and_one_generator_type():
    from vornal.datastructures.branch import Branch
    from vornal.datastructures.configuration import Configuration
    from vornal.datastructures.fieldmap import FieldMap
    from vornal.datastructures.flatnest import FlatNest, IndexMarker
    from vornal.datastructures.logic import BaseLogic, logic_str
    from vornal.datastructures.refsequence import RefSequence
    from vornal.datastructures.sharedattr import SharedAttrDescriptor

    functions = [FieldMap.__init__, Configuration.load_cfgs, FlatNest.__flatten__, IndexMarker.__repr__,
                 BaseLogic.__call__, logic_str, RefSequence.append, Branch.add_child, SharedAttrDescriptor.__get__]
    assert len({type(f) for f in functions}) == 1
    function_type = type(logic_str)
    assert (function_type.__module__, function_type.__qualname__) == ("vornal.datastructures", "function")
    generators = [FlatNest.__flatten__({"a": 1}), iter(RefSequence())]
    assert type(generators[0]) is type(generators[1])
    assert all(isinstance(g, collections.abc.Generator) for g in generators)


def test_inherited_methods_of_another_module_follow_changes_to_them():
    # Configuration runs NestedFieldMap's __getitem__, __contains__ and __init__ (of
    # another module) from direct slots: replacing them on NestedFieldMap must reach
    # Configuration as it reaches any subclass.
    from vornal.datastructures.configuration import Configuration
    from vornal.datastructures.fieldmap import NestedFieldMap

    cfg = Configuration({"a": {"b": "1"}})
    assert cfg["a.b"] == 1 and "a.b" in cfg
    saved = {name: NestedFieldMap.__dict__[name] for name in ("__getitem__", "__contains__", "__init__")}
    try:
        NestedFieldMap.__getitem__ = lambda self, key: ("get", key)
        NestedFieldMap.__contains__ = lambda self, key: key == "yes"
        NestedFieldMap.__init__ = lambda self, *args: dict.__setitem__(self, "made", args)
        assert cfg["a.b"] == ("get", "a.b")
        assert "yes" in cfg and "a.b" not in cfg
        assert dict(Configuration(1, 2)) == {"made": (1, 2)}
    finally:
        for name, method in saved.items():
            setattr(NestedFieldMap, name, method)
    assert cfg["a.b"] == 1 and "a.b" in cfg and Configuration({"x": "2"}).x == 2


def test_a_module_dropped_and_imported_again_starts_afresh():
    out = run("""
    import gc, sys, weakref
    import vornal.datastructures as package
    from vornal.datastructures.fieldmap import NestedFieldMap
    import vornal.datastructures.fieldmap as first
    ref = weakref.ref(first)
    del first, package.fieldmap, sys.modules["vornal.datastructures.fieldmap"]
    gc.collect()
    # Its classes keep the module, and with it the module's state: they still work.
    m = NestedFieldMap({"a": {"b": 1}})
    m["a.c.d"] = 2
    print(ref() is not None, m["a.b"], "a.c.d" in m)
    del NestedFieldMap, m
    gc.collect()
    print(ref() is None)
    import vornal.datastructures.fieldmap as second
    m = second.NestedFieldMap({"a": {"b": 3}})
    m["a.c.d"] = 4
    print(m["a.b"], m.a.c.d, "a.c.d" in m, second.FieldMap(x=5).x, type(m.a) is second.NestedFieldMap)
    """)
    assert out == ["True 1 True", "True", "3 4 True 5 True"]


def test_a_module_freed_in_one_interpreter_loads_in_another():
    pytest.importorskip("concurrent.interpreters")
    out = run("""
    import gc, sys, weakref
    from concurrent import interpreters
    import vornal.datastructures as package
    import vornal.datastructures.branch as branch
    ref = weakref.ref(branch)
    del branch, package.branch, sys.modules["vornal.datastructures.branch"]
    gc.collect()
    print(ref() is None)
    other = interpreters.create()
    other.exec("from vornal.datastructures.branch import Branch; print(str(Branch('r', [Branch('c')])).split(), flush=True)")
    try:
        import vornal.datastructures.branch
    except ImportError as e:
        print(e)
    other.close()
    from vornal.datastructures.branch import Branch
    print(Branch("again"))
    """)
    assert out == ["True", "['r', '`--', 'c']",
                   "Interpreter change detected - this module can only be loaded into one interpreter per process.",
                   "again"]


# What may stand under a core key before the first import: the core of another
# version, or under this version's key something that is not its core (a capsule of
# the right name whose record names another version, an object of another kind).
PLANTED = {
    "another version": (lambda key: CORE_PREFIX + "v0", "api.PyCapsule_New(1, NAME, None)"),
    "another record": (lambda key: key, "api.PyCapsule_New(ctypes.addressof(record), NAME, None)"),
    "not a capsule": (lambda key: key, "'not a capsule'"),
}


@pytest.mark.parametrize("planted", PLANTED)
def test_a_module_of_another_core_version_refuses_to_load(planted):
    key_of, value = PLANTED[planted]
    key = key_of(core_keys()[0])
    out = run(STATE_DICT + f"""
KEY = {key!r}
NAME = KEY.encode()  # a capsule keeps a pointer to its name: it must outlive the capsule
record = ctypes.create_string_buffer(4096)  # all zero: version 0
state[KEY] = {value}
for name in ("fieldmap", "configuration", "branch"):
    try:
        __import__("vornal.datastructures." + name)
    except ImportError as e:
        print(type(e).__name__, e)
del state[KEY]
from vornal.datastructures.configuration import Configuration  # imports fieldmap too
print(Configuration({{"a": {{"b": "1"}}}})["a.b"])
""")
    message = ("ImportError vornal.datastructures.{} was built with version {} of the pyframe core, but a module "
               "loaded earlier in this interpreter published '{}': the modules of vornal.datastructures must all "
               "come from one build")
    version = core_keys()[0].rpartition(".v")[2]
    assert out == [message.format(name, version, key) for name in ("fieldmap", "configuration", "branch")] + ["1"]


def test_a_module_built_with_a_reordered_shared_field_refuses_to_load():
    # The published core of this build, copied with two adjacent fields of one size
    # swapped in its layout description (offset, size pairs after the version): what a
    # module built after reordering them, without raising the version, would have
    # published. The version and the key are the same, so only the description tells.
    out = run(STATE_DICT + f"""
import struct
import vornal.datastructures.sharedattr
KEY = {core_keys()[0]!r}
NAME = KEY.encode()
api.PyCapsule_GetPointer.restype = ctypes.c_void_p
api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
published = state[KEY]
address = api.PyCapsule_GetPointer(published, NAME)
def entry(i):
    return struct.unpack("II", ctypes.string_at(address + 4 + 8 * i, 8))
size = entry(1)[1]  # the second entry describes the core record itself
record = ctypes.create_string_buffer(ctypes.string_at(address, size), size)
i = next(i for i in range(2, 64) if entry(i)[1] == entry(i + 1)[1] and entry(i)[0] != entry(i + 1)[0])
(a, n), (b, _) = entry(i), entry(i + 1)
struct.pack_into("IIII", record, 4 + 8 * i, b, n, a, n)
state[KEY] = api.PyCapsule_New(ctypes.addressof(record), NAME, None)
try:
    import vornal.datastructures.fieldmap
except ImportError as e:
    print(e)
state[KEY] = published
from vornal.datastructures.fieldmap import NestedFieldMap
print(NestedFieldMap({{"a": {{"b": 1}}}})["a.b"])
""")
    key = core_keys()[0]
    version = key.rpartition(".v")[2]
    assert len(out) == 2 and out[1] == "1", out
    assert out[0].startswith(f"vornal.datastructures.fieldmap was built with another layout of version {version} of "
                             f"the pyframe core than the module loaded earlier in this interpreter that published "
                             f"'{key}' (Core."), out
    assert out[0].endswith("the modules of vornal.datastructures must all come from one build"), out
