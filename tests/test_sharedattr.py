"""sharedattr: read-only computed attributes of a class."""
import pytest

from leakcheck import assert_no_leaks
import vornal.datastructures.sharedattr as module
from vornal.datastructures.sharedattr import SharedAttrDescriptor, sharedattr

pytestmark = pytest.mark.quick  # the part of the suite `tools/dev compilers` runs


def test_module_and_class():
    assert [k for k in vars(module) if not k.startswith("__")] == ["SharedAttrDescriptor", "sharedattr"]
    assert sharedattr is SharedAttrDescriptor and SharedAttrDescriptor.__bases__ == (object,)
    assert set(vars(SharedAttrDescriptor)) - {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__"} == {
        "__init__", "__get__"}  # no __set__: a non-data descriptor
    assert '"properties"' in SharedAttrDescriptor.__doc__ and "100" in SharedAttrDescriptor.__doc__
    marker = object()
    assert vars(sharedattr(marker)) == {"func": marker}  # stored unchanged, checked only when read
    with pytest.raises(TypeError, match=r"__get__\(\) missing 1 required positional argument: 'owner'"):
        sharedattr(len).__get__(None)


def test_reads_call_the_function_with_the_class_reached():
    calls = []

    class Base:
        @sharedattr
        def v(cls):
            calls.append(cls)
            return cls.__name__

    class Derived(Base):
        pass

    class Own(Derived):
        v = "plain"

    inst = Base()
    assert (Base.v, Base().v, Derived.v, Derived().v, Own.v, Own().v) == ("Base",) * 2 + ("Derived",) * 2 + ("plain",) * 2
    assert calls == [Base, Base, Derived, Derived]  # every read calls it again
    inst.v = 5  # an instance attribute wins over a non-data descriptor
    assert inst.v == 5 and Base().v == "Base"
    vars(Base)["v"].func = lambda cls: "replaced"  # looked up when read
    assert Derived.v == "replaced" and vars(Base)["v"].__get__(obj=None, owner=int) == "replaced"
    Base.v = 5
    assert Base.v == Derived.v == 5


def test_failures_surface_when_read():
    def raising(cls):
        raise LookupError(cls)

    Broken = type("Broken", (), {"bad": sharedattr(raising), "number": sharedattr(5)})
    with pytest.raises(LookupError) as err:
        Broken().bad
    assert err.value.args == (Broken,)
    with pytest.raises(TypeError, match="'int' object is not callable"):
        Broken.number
    assert_no_leaks(lambda: Broken.bad, raises=LookupError)
    assert_no_leaks(lambda: (Broken.__dict__["bad"].__get__(None, int), SharedAttrDescriptor(len)), raises=LookupError)
    Fine = type("Fine", (), {"x": sharedattr(lambda cls: cls)})
    assert_no_leaks(lambda: (Fine.x, Fine().x))
