"""The module frame, class creation and function objects shared by all modules."""
import abc
import ctypes
import gc
import importlib
import inspect
import pickle
import subprocess
import sys
import textwrap
import types
import weakref

import pytest

from leakcheck import assert_no_leaks

pytestmark = pytest.mark.quick  # the part of the suite `tools/dev compilers` runs

MODULES = ["fieldmap", "flatnest", "configuration", "logic", "refsequence", "branch", "sharedattr"]


def load(name):
    return importlib.import_module(f"vornal.datastructures.{name}")


# --- module frame ----------------------------------------------------------


@pytest.mark.parametrize("name", MODULES)
def test_module_identity(name):
    mod = load(name)
    assert mod.__name__ == f"vornal.datastructures.{name}"
    assert mod.__package__ == "vornal.datastructures"
    assert mod.__spec__.name == mod.__name__
    assert mod.__loader__ is mod.__spec__.loader
    assert mod.__file__ == mod.__spec__.origin
    assert not hasattr(mod, "__path__")  # a module, not a package
    assert mod.__doc__ is None


@pytest.mark.parametrize("name", MODULES)
def test_reimport_returns_the_same_module(name):
    mod = load(name)
    spec = mod.__spec__
    again = spec.loader.create_module(spec)
    assert again is mod
    spec.loader.exec_module(again)  # executing the same module again is a no-op
    assert importlib.reload(mod) is mod


@pytest.mark.parametrize("name", MODULES)
def test_second_module_object_is_refused(name):
    mod = load(name)
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    other = types.ModuleType(mod.__name__)
    with pytest.raises(RuntimeError) as err:
        api.PyModule_ExecDef(other, api.PyModule_GetDef(mod))
    assert str(err.value) == f"Module '{name}' has already been imported. Re-initialisation is not supported."


class _Referent:
    pass


# A little of each module's work: what must still hold in this interpreter after
# another one was refused the module.
USES = {
    "fieldmap": lambda m: m.NestedFieldMap({"a": {"b": 1}})["a.b"] == 1,
    "flatnest": lambda m: m.FlatNest({"a": [1, {"b": 2}]}).reconstruct() == {"a": [1, {"b": 2}]},
    "configuration": lambda m: m.Configuration({"a": {"b": "2"}})["a.b"] == 2,
    "logic": lambda m: m.logic_str(str(m.And("^a", m.Not("z"))))("abc") is True,
    "refsequence": lambda m: (lambda o: list(m.RefSequence([o])) == [o])(_Referent()),
    "branch": lambda m: str(m.Branch("r", [m.Branch("c")])) == "r\n`-- c",
    "sharedattr": lambda m: type("C", (), {"x": m.sharedattr(lambda cls: cls.__name__)})().x == "C",
}


@pytest.mark.parametrize("name", MODULES)
def test_other_interpreter_is_refused(name):
    interpreters = pytest.importorskip("concurrent.interpreters")
    mod = load(name)
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.ExecutionFailed) as err:
            interp.exec(f"import vornal.datastructures.{name}")
        assert "Interpreter change detected - this module can only be loaded into one interpreter per process." in str(
            err.value
        )
        assert USES[name](mod)
        # The other interpreter still runs, and is refused again.
        interp.exec("import sys; assert 'vornal.datastructures." + name + "' not in sys.modules")
        with pytest.raises(interpreters.ExecutionFailed, match="Interpreter change detected"):
            interp.exec(f"import vornal.datastructures.{name}")
    finally:
        interp.close()
    assert USES[name](mod)


# --- classes ----------------------------------------------------------------


def test_fieldmap_class_shape():
    from vornal.datastructures.fieldmap import FieldMap

    assert FieldMap.__bases__ == (dict,)
    assert FieldMap.__mro__ == (FieldMap, dict, object)
    assert type(FieldMap) is type
    assert FieldMap.__module__ == "vornal.datastructures.fieldmap"
    assert FieldMap.__qualname__ == "FieldMap"
    assert FieldMap.__flags__ & (1 << 9)  # Py_TPFLAGS_HEAPTYPE: an ordinary class
    assert {k for k in vars(FieldMap) if not k.startswith("__") or k in ("__init__", "__repr__")} == {
        "__init__",
        "__repr__",
    }
    assert FieldMap.__hash__ is None


def test_module_namespace_order():
    mod = load("fieldmap")
    public = [k for k in vars(mod) if not k.startswith("__")]
    assert public[:4] == ["itertools", "Mapping", "MutableMapping", "FieldMap"]
    from collections.abc import Mapping, MutableMapping
    import itertools

    assert (mod.itertools, mod.Mapping, mod.MutableMapping) == (itertools, Mapping, MutableMapping)


# --- function objects -------------------------------------------------------


def test_method_attributes():
    from vornal.datastructures.fieldmap import FieldMap

    init = FieldMap.__init__
    assert init.__name__ == "__init__"
    assert init.__qualname__ == "FieldMap.__init__"
    assert init.__module__ == "vornal.datastructures.fieldmap"
    assert "own __dict__" in init.__doc__
    assert str(inspect.signature(init)) == "(self, *args, **kwargs)"
    assert str(inspect.signature(FieldMap.__repr__)) == "(self)"
    assert repr(init).startswith("<function FieldMap.__init__ at ")
    assert pickle.loads(pickle.dumps(FieldMap.__repr__)) is FieldMap.__repr__
    init.custom = 1  # functions carry an attribute dictionary
    assert init.__dict__ == {"custom": 1}
    del init.custom


def test_function_module_is_its_own_and_the_types_is_the_package():
    from vornal.datastructures.fieldmap import FieldMap
    from vornal.datastructures.logic import logic_str

    ftype = type(logic_str)
    assert (ftype.__module__, repr(ftype)) == ("vornal.datastructures", "<class 'vornal.datastructures.function'>")
    f = FieldMap.__repr__
    assert (f.__module__, logic_str.__module__) == ("vornal.datastructures.fieldmap", "vornal.datastructures.logic")
    try:
        f.__module__ = "elsewhere"
        assert f.__module__ == "elsewhere" and "__module__" not in f.__dict__
        del f.__module__
        with pytest.raises(AttributeError):
            f.__module__
        with pytest.raises(AttributeError):
            del f.__module__
    finally:
        f.__module__ = "vornal.datastructures.fieldmap"
    assert ftype.__module__ == "vornal.datastructures" and logic_str.__module__ == "vornal.datastructures.logic"


def test_bound_methods_are_ordinary():
    from vornal.datastructures.fieldmap import FieldMap

    m = FieldMap(a=1)
    bound = m.__repr__
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is m and bound.__func__ is FieldMap.__repr__
    assert bound() == "FieldMap({'a': 1})"
    assert str(inspect.signature(bound)) == "()"
    assert FieldMap.__repr__.__get__(None, FieldMap) is FieldMap.__repr__
    with pytest.raises(TypeError):
        type(FieldMap.__repr__)()


def _reference(qualname, params):
    ns = {}
    exec(f"def f({params}): pass", ns)
    ns["f"].__qualname__ = qualname
    return ns["f"]


def _message(call, func):
    try:
        call(func)
    except TypeError as e:
        return str(e)
    return None


ARG_ERRORS = [
    ("__repr__", "self", lambda f: f()),
    ("__repr__", "self", lambda f: f(1, 2)),
    ("__repr__", "self", lambda f: f(1, x=2)),
    ("__repr__", "self", lambda f: f(1, self=2)),
    ("__init__", "self, *args, **kwargs", lambda f: f()),
    ("__init__", "self, *args, **kwargs", lambda f: f(1, self=2)),
]


@pytest.mark.parametrize("name, params, call", ARG_ERRORS)
def test_argument_errors_match_the_interpreter(name, params, call):
    from vornal.datastructures.fieldmap import FieldMap

    func = getattr(FieldMap, name)
    expected = _message(call, _reference(f"FieldMap.{name}", params))
    assert expected is not None
    assert _message(call, func) == expected


def test_keyword_binding():
    from vornal.datastructures.fieldmap import FieldMap

    m = FieldMap(a=1)
    assert FieldMap.__repr__(self=m) == "FieldMap({'a': 1})"
    n = FieldMap.__new__(FieldMap)
    FieldMap.__init__(n, [("x", 1)], y=2)
    assert n == {"x": 1, "y": 2} and n.__dict__ is n


def test_calls_of_classes_made_by_object_new():
    # Such classes are called without the generic tuple and dict; what the
    # call does must not change, for the class, its subclasses and a class
    # whose __init__ or __new__ is replaced later.
    from vornal.datastructures.flatnest import IndexMarker

    m = IndexMarker(index=1, obj=[])
    assert type(m) is IndexMarker and (m.type_, m.index) == (list, 1)
    reference = _reference("IndexMarker.__init__", "self, obj, index")
    for args, kwargs in [([], {}), ([[], 1, 2], {}), ([[], 1], {"x": 2}), ([[]], {"obj": 1}), ([], {"self": 1})]:
        expected = _message(lambda f: f(None, *args, **kwargs), reference)
        assert expected is not None
        assert _message(lambda f: f(*args, **kwargs), IndexMarker) == expected

    class Sub(IndexMarker):
        def __new__(cls, *args):
            obj = super().__new__(cls)
            obj.made = args
            return obj

    s = Sub((), 3)
    assert s.made == ((), 3) and (s.type_, s.index) == (tuple, 3)
    assert_no_leaks(lambda: IndexMarker([], 1))
    assert_no_leaks(lambda: IndexMarker([]), raises=TypeError)

    code = textwrap.dedent(
        """
        from vornal.datastructures.flatnest import IndexMarker
        init = IndexMarker.__init__
        IndexMarker.__init__ = lambda self, *args, **kw: setattr(self, "seen", (args, kw))
        print(IndexMarker(1, k=2).seen)
        IndexMarker.__init__ = init
        print(IndexMarker([], 4))
        IndexMarker.__abstractmethods__ = frozenset({"f"})
        try:
            IndexMarker([], 1)
        except TypeError as e:
            print(e)
        IndexMarker.__abstractmethods__ = frozenset()
        print(IndexMarker((), 5))
        IndexMarker.__new__ = lambda cls, *args: "not made"
        print(IndexMarker([], 4))
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == [
        "((1,), {'k': 2})",
        "list[4]",
        "Can't instantiate abstract class IndexMarker without an implementation for abstract method 'f'",
        "tuple[5]",
        "not made",
    ]


# --- subclassing and metaclasses --------------------------------------------


def test_python_subclass_overrides_and_super():
    from vornal.datastructures.fieldmap import FieldMap

    calls = []

    class Tracked(FieldMap):
        def __init__(self, *args, **kwargs):
            calls.append(args)
            super().__init__(*args, **kwargs)

        def __repr__(self):
            return "T:" + super().__repr__()

    t = Tracked({"a": 1})
    assert calls == [({"a": 1},)]
    assert t.a == 1 and t.__dict__ is t
    assert repr(t) == "T:Tracked({'a': 1})"


def test_special_methods_of_subclasses_and_reassigned_methods_are_dispatched():
    # Our own classes run their special methods from C slots; subclasses and
    # methods assigned later must still be found the ordinary way.
    from vornal.datastructures.configuration import Configuration
    from vornal.datastructures.fieldmap import NestedFieldMap
    from vornal.datastructures.flatnest import FlatNest

    log = []

    class Spy(NestedFieldMap):
        def __init__(self, *args, **kwargs):
            log.append("init")
            super().__init__(*args, **kwargs)

        def __getitem__(self, key):
            log.append(("get", key))
            return super().__getitem__(key)

        def __setitem__(self, key, value):
            log.append(("set", key))
            super().__setitem__(key, value)

        def __contains__(self, key):
            log.append(("in", key))
            return super().__contains__(key)

        def __delitem__(self, key):
            log.append(("del", key))
            super().__delitem__(key)

        def __repr__(self):
            return "Spy"

    s = Spy(x=1)
    s["a.b"] = 2
    assert s["a.b"] == 2 and "a.b" in s and repr(s) == "Spy"
    del s["a.b"]
    assert log[0] == "init" and ("set", "a.b") in log and ("get", "a.b") in log
    assert ("in", "a.b") in log and ("del", "a.b") in log

    original = NestedFieldMap.__getitem__
    NestedFieldMap.__getitem__ = lambda self, key: "patched"
    try:
        assert NestedFieldMap(a=1)["a"] == "patched"
    finally:
        NestedFieldMap.__getitem__ = original
    assert NestedFieldMap(a=1)["a"] == 1

    cfg = Configuration({"a": {"b": "1"}})  # __setitem__ is its own, __delitem__ inherited
    assert cfg["a.b"] == 1
    del cfg["a.b"]
    with pytest.raises(KeyError):
        del cfg["a.b"]
    with pytest.raises(TypeError) as err:
        FlatNest(x=1)
    assert str(err.value) == "FlatNest.__init__() got an unexpected keyword argument 'x'"
    assert NestedFieldMap([("k", 1)], b=2) == {"k": 1, "b": 2}


def test_abc_metaclass_and_mixin_between_class_and_dict():
    from vornal.datastructures.fieldmap import FieldMap

    class Loud(dict):
        def __repr__(self):
            return "loud" + super().__repr__()

        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self["loud"] = True

    class Mixed(FieldMap, Loud):
        pass

    # super() inside FieldMap's methods reaches Loud, the next class in the MRO.
    m = Mixed(a=1)
    assert m == {"a": 1, "loud": True}
    assert repr(m) == "Mixed(loud{'a': 1, 'loud': True})"

    class Meta(abc.ABCMeta):
        pass

    class WithMeta(FieldMap, metaclass=Meta):
        pass

    assert type(WithMeta) is Meta
    assert isinstance(WithMeta(), FieldMap)


# --- reliability ------------------------------------------------------------


class _Buffer:
    """A large object a user's method closes over."""

    def __init__(self):
        self.data = bytes(10 * 2**20)


class _Key:
    """A key of a user-defined type."""

    def __hash__(self):
        return 1


def _mixin_classes():
    """(our class, the plain-list/dict base of a mixin, a call that runs super() into the mixin)."""
    from vornal.datastructures.configuration import Configuration
    from vornal.datastructures.fieldmap import FieldMap, NestedFieldMap
    from vornal.datastructures.flatnest import FlatNest

    return [
        (FlatNest, list, "append", lambda obj: obj.append((("a",), 1))),
        (FieldMap, dict, "__repr__", repr),
        (NestedFieldMap, dict, "__setitem__", lambda obj: obj.__setitem__("x.y", 1)),
        (Configuration, dict, "__getitem__", lambda obj: obj["a"]),
    ]


@pytest.mark.parametrize("ours, base, method, call", _mixin_classes(), ids=lambda v: getattr(v, "__name__", None))
def test_caches_keep_nothing_of_the_user_alive(ours, base, method, call):
    # A mixin between our class and dict/list is reached through super(); our
    # lookup caches must not keep it, its closure or the values alive.
    def make():
        buffer = _Buffer()

        def override(self, *args):
            buffer.data  # the closure holds the buffer
            return getattr(base, method)(self, *args)

        Mixin = type("Mixin", (base,), {method: override})
        Spy = type("Spy", (ours, Mixin), {})
        obj = Spy()
        key, value = _Key(), _Buffer()
        if isinstance(obj, dict):
            dict.__setitem__(obj, "a", {"b": 0} if ours.__name__ != "Configuration" else 0)
            obj[key] = value
        call(obj)
        return weakref.ref(Spy), weakref.ref(Mixin), weakref.ref(buffer), weakref.ref(key), weakref.ref(value)

    refs = make()
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


def test_key_tables_let_go_at_a_full_collection():
    # Keys made at run time (read from data) are remembered by the dotted-key
    # table only until the next full collection.
    from vornal.datastructures.fieldmap import NestedFieldMap

    keys = ["".join(["k", str(i), ".x"]) for i in range(64)]
    before = [sys.getrefcount(k) for k in keys]
    m = NestedFieldMap()
    for k in keys:
        m[k] = 1
    del m, k
    assert [sys.getrefcount(k) for k in keys] != before  # remembered
    gc.collect()
    assert [sys.getrefcount(k) for k in keys] == before


def test_deep_recursion_raises_instead_of_crashing():
    from vornal.datastructures.fieldmap import FieldMap

    m = FieldMap()
    inner = m
    for _ in range(100000):
        nxt = FieldMap()
        inner["x"] = nxt
        inner = nxt
    with pytest.raises(RecursionError):
        repr(m)


def test_cycle_is_collected():
    import weakref

    from vornal.datastructures.fieldmap import FieldMap

    m = FieldMap(a=1)
    ref = weakref.ref(m)
    del m
    gc.collect()
    assert ref() is None


def test_argument_error_path_does_not_leak():
    from vornal.datastructures.fieldmap import FieldMap

    m = FieldMap()
    assert_no_leaks(lambda: FieldMap.__repr__(m, 1, k=2), raises=TypeError)
    assert_no_leaks(lambda: FieldMap.__repr__(self=m))


# --- generators (FlatNest.__flatten__ is one) -------------------------------


def _flatten(data=None):
    from vornal.datastructures.flatnest import FlatNest

    return FlatNest.__flatten__({"a": 1, "b": [2, 3]} if data is None else data)


def test_generator_identity_and_names():
    import collections.abc

    g = _flatten()
    assert iter(g) is g
    assert isinstance(g, collections.abc.Generator) and isinstance(g, collections.abc.Iterator)
    assert g.__name__ == "__flatten__" and g.__qualname__ == "FlatNest.__flatten__"
    assert repr(g).startswith("<generator object FlatNest.__flatten__ at 0x")
    assert type(g).__name__ == "generator"
    g.__name__ = "renamed"
    assert g.__name__ == "renamed"
    with pytest.raises(TypeError):
        g.__qualname__ = 5
    with pytest.raises(TypeError):
        type(g)()
    import weakref

    assert weakref.ref(g)() is g


def test_generator_next_and_send():
    g = _flatten()
    assert not g.gi_running and not g.gi_suspended
    with pytest.raises(TypeError, match="can't send non-None value to a just-started generator"):
        g.send(1)
    assert g.send(None) == (("a",), 1)
    assert g.gi_suspended
    assert g.send("ignored").value == 2
    assert g.__next__().value == 3
    with pytest.raises(StopIteration):
        g.send(None)
    with pytest.raises(StopIteration):
        next(g)
    assert not g.gi_suspended


@pytest.mark.parametrize("advance", [0, 1, 3])
def test_generator_throw_finishes_it(advance):
    g = _flatten()
    for _ in range(advance):
        next(g, None)
    err = KeyError("thrown")
    with pytest.raises(KeyError) as info:
        g.throw(err)
    assert info.value is err
    with pytest.raises(StopIteration):
        next(g)
    with pytest.raises(ValueError, match="x"), pytest.warns(DeprecationWarning):
        _flatten().throw(ValueError, ValueError("x"))  # the deprecated form still works
    with pytest.raises(TypeError, match="exceptions must be classes or instances"):
        _flatten().throw(5)


@pytest.mark.parametrize("advance", [0, 1, 3])
def test_generator_close(advance):
    g = _flatten()
    for _ in range(advance):
        next(g, None)
    assert g.close() is None
    assert g.close() is None
    with pytest.raises(StopIteration):
        next(g)


def test_generator_is_lazy():
    reads = []

    class Watched(dict):
        def items(self):
            reads.append(len(reads))
            return super().items()

    g = _flatten(Watched(a=1))
    assert reads == []
    next(g)
    assert reads == [0]


def test_generator_already_executing():
    seen = {}

    class Reentrant(dict):
        def items(self):
            for name, call in [("next", lambda: next(seen["g"])), ("send", lambda: seen["g"].send(None)),
                               ("throw", lambda: seen["g"].throw(KeyError)), ("close", lambda: seen["g"].close())]:
                try:
                    call()
                except ValueError as e:
                    seen[name] = str(e)
            seen["running"] = seen["g"].gi_running
            return super().items()

    seen["g"] = g = _flatten(Reentrant(a=1))
    assert list(g) == [(("a",), 1)]
    assert seen["next"] == seen["send"] == seen["throw"] == seen["close"] == "generator already executing"
    assert seen["running"] is True
    del seen["g"]


def test_stop_iteration_inside_the_body_becomes_runtime_error():
    class Stopping(dict):
        def items(self):
            raise StopIteration("early")

    g = _flatten({"a": 1, "b": Stopping(x=1)})
    assert next(g) == (("a",), 1)
    with pytest.raises(RuntimeError, match="generator raised StopIteration") as info:
        next(g)
    assert isinstance(info.value.__cause__, StopIteration)
    assert info.value.__context__ is info.value.__cause__
    with pytest.raises(StopIteration):
        next(g)


def test_generator_in_a_cycle_is_collected():
    import weakref

    for advance in (0, 1):
        d = {"a": [1, 2]}
        g = _flatten(d)
        d["g"] = g
        for _ in range(advance):
            next(g)
        ref = weakref.ref(g)
        del d, g
        gc.collect()
        assert ref() is None


def test_generator_protocol_does_not_leak():
    def run():
        g = _flatten()
        next(g)
        g.send(None)
        try:
            g.throw(KeyError("x"))
        except KeyError:
            pass
        g.close()

    assert_no_leaks(run)
    assert_no_leaks(lambda: _flatten().send(1), raises=TypeError)


def test_failed_import_in_body_fails_the_module_import():
    # Run in a fresh interpreter: a module of this package executes once per process.
    import subprocess
    import textwrap

    code = textwrap.dedent(
        """
        import sys
        sys.modules["yaml"] = None  # as if PyYAML were not installed
        import vornal.datastructures.fieldmap  # needs no PyYAML
        try:
            import vornal.datastructures.configuration
        except ImportError as e:
            print("ImportError:", e)
        del sys.modules["yaml"]
        import vornal.datastructures.configuration as c  # the same module, now complete
        print(c.Configuration({"a": "1"}))
        """
    )
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == [
        "ImportError: import of yaml halted; None in sys.modules",
        "Configuration({'a': 1})",
    ]
