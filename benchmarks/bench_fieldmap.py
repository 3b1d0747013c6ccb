"""FieldMap hot paths against plain dict operations and the Debian-packaged peers."""
from run import Case, optional_import

from vornal.datastructures.fieldmap import FieldMap

munch = optional_import("munch")
easydict = optional_import("easydict")
box = optional_import("box")

DATA = {f"key{i}": i for i in range(10)}


class PyFieldMap(dict):
    """The same class written in Python: the yardstick for the C++ one."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.__dict__ = self

    def __repr__(self):
        return self.__class__.__name__ + "(" + super(PyFieldMap, self).__repr__() + ")"


def _peers(make):
    """(name, instance) for each installed peer built from DATA."""
    out = []
    if munch:
        out.append(("munch.Munch", make(munch.Munch)))
    if easydict:
        out.append(("easydict.EasyDict", make(easydict.EasyDict)))
    if box:
        out.append(("box.Box", make(box.Box)))
    return out


def cases():
    d = dict(DATA)
    m = FieldMap(DATA)
    yield Case("construct from a 10-entry dict", "dict(data)", lambda: dict(DATA), floor=True)
    yield Case("construct from a 10-entry dict", "FieldMap(data)", lambda: FieldMap(DATA))
    yield Case("construct from a 10-entry dict", "Python FieldMap(data)", lambda: PyFieldMap(DATA))
    for name, cls in [("munch.Munch", munch and munch.Munch), ("easydict.EasyDict", easydict and easydict.EasyDict),
                      ("box.Box", box and box.Box)]:
        if cls:
            yield Case("construct from a 10-entry dict", f"{name}(data)", lambda cls=cls: cls(DATA))

    yield Case("read an entry", "dict: d['key5']", lambda: d["key5"], floor=True)
    yield Case("read an entry", "FieldMap: m.key5", lambda: m.key5)
    yield Case("read an entry", "FieldMap: m['key5']", lambda: m["key5"])
    for name, obj in _peers(lambda cls: cls(DATA)):
        yield Case("read an entry", f"{name}: o.key5", lambda obj=obj: obj.key5)

    def dict_write():
        d["new"] = 1

    def fm_write():
        m.new = 1

    yield Case("write an entry", "dict: d['new'] = 1", dict_write, floor=True)
    yield Case("write an entry", "FieldMap: m.new = 1", fm_write)
    for name, obj in _peers(lambda cls: cls(DATA)):
        def peer_write(obj=obj):
            obj.new = 1
        yield Case("write an entry", f"{name}: o.new = 1", peer_write)

    yield Case("repr of a 10-entry map", "repr(dict)", lambda: repr(d), floor=True)
    yield Case("repr of a 10-entry map", "repr(FieldMap)", lambda: repr(m))
    pm = PyFieldMap(DATA)
    yield Case("repr of a 10-entry map", "repr(Python FieldMap)", lambda: repr(pm))
