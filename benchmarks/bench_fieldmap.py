"""FieldMap and NestedFieldMap hot paths against plain dict operations and the Debian-packaged peers."""
from run import Case, optional_import  # first: it puts the Python forms (tests/pyforms) on sys.path
from pyforms.fieldmap import FieldMap as PyFieldMap
from pyforms.fieldmap import NestedFieldMap as PyNestedFieldMap

from vornal.datastructures.fieldmap import FieldMap, NestedFieldMap

munch = optional_import("munch")
easydict = optional_import("easydict")
box = optional_import("box")
dotty_dict = optional_import("dotty_dict")
omegaconf = optional_import("omegaconf")

DATA = {f"key{i}": i for i in range(10)}
DATA20 = {f"key{i}": i for i in range(20)}


def _deep_merge(target, source):
    """The plain-dict way to merge nested dictionaries: the floor of the merge."""
    for key, value in source.items():
        if isinstance(value, dict):
            _deep_merge(target.setdefault(key, {}), value)
        else:
            target[key] = value
    return target


NESTED = {f"s{i}": {"opts": {f"k{j}": j for j in range(3)}, "name": f"n{i}"} for i in range(3)}
# Depth 3, 5 x 5 x 4 = 100 leaves.
DOC100 = {f"s{i}": {f"g{j}": {f"k{k}": i * 100 + j * 10 + k for k in range(4)} for j in range(5)} for i in range(5)}


def _nested_peers():
    """(name, map) for NestedFieldMap, its Python yardstick and each installed dotted-key peer."""
    out = [("NestedFieldMap", NestedFieldMap(NESTED)), ("Python NestedFieldMap", PyNestedFieldMap(NESTED))]
    if box:
        out.append(("box.Box(box_dots=True)", box.Box(NESTED, box_dots=True)))
    if dotty_dict:
        out.append(("dotty_dict", dotty_dict.dotty(_deep_merge({}, NESTED))))
    return out


def nested_cases():
    d = _deep_merge({}, NESTED)
    conf = omegaconf and omegaconf.OmegaConf.create(NESTED)
    key = "s1.opts.k2"

    yield Case("dotted read m['s1.opts.k2']", "dict: d['s1']['opts']['k2']", lambda: d["s1"]["opts"]["k2"], floor=True)
    for name, obj in _nested_peers():
        yield Case("dotted read m['s1.opts.k2']", name, lambda obj=obj: obj[key])
    yield Case("dotted read m['s1.opts.k2']", "NestedFieldMap: m.s1.opts.k2", lambda m=NestedFieldMap(NESTED): m.s1.opts.k2)
    if conf:
        yield Case("dotted read m['s1.opts.k2']", "omegaconf: OmegaConf.select", lambda: omegaconf.OmegaConf.select(conf, key))

    def dict_write():
        d["s1"]["opts"]["k2"] = 5

    yield Case("dotted write m['s1.opts.k2'] = 5", "dict: d['s1']['opts']['k2'] = 5", dict_write, floor=True)
    for name, obj in _nested_peers():
        def write(obj=obj):
            obj[key] = 5
        yield Case("dotted write m['s1.opts.k2'] = 5", name, write)
    if conf:
        yield Case("dotted write m['s1.opts.k2'] = 5", "omegaconf: OmegaConf.update",
                   lambda: omegaconf.OmegaConf.update(conf, key, 5))

    def dict_create():
        {}.setdefault("x", {}).setdefault("y", {})["z"] = 1

    yield Case("dotted write into an empty map (2 new levels)", "dict: setdefault chain", dict_create, floor=True)
    for name, cls in [("NestedFieldMap", NestedFieldMap), ("Python NestedFieldMap", PyNestedFieldMap)]:
        def create(cls=cls):
            cls()["x.y.z"] = 1
        yield Case("dotted write into an empty map (2 new levels)", name, create)
    if box:
        def box_create():
            box.Box(box_dots=True, default_box=True)["x.y.z"] = 1  # default_box makes the missing levels
        yield Case("dotted write into an empty map (2 new levels)", "box.Box(box_dots=True, default_box=True)",
                   box_create)
    if dotty_dict:
        def dotty_create():
            dotty_dict.dotty()["x.y.z"] = 1
        yield Case("dotted write into an empty map (2 new levels)", "dotty_dict", dotty_create)

    yield Case("dotted membership 's1.opts.k2' in m", "dict: 'k2' in d['s1']['opts']", lambda: "k2" in d["s1"]["opts"],
               floor=True)
    for name, obj in _nested_peers():
        yield Case("dotted membership 's1.opts.k2' in m", name, lambda obj=obj: key in obj)

    # The cost of making a map itself (the Configuration twin is in bench_configuration).
    group = "construct an empty map"
    yield Case(group, "dict()", dict, floor=True)
    yield Case(group, "NestedFieldMap()", NestedFieldMap)
    yield Case(group, "Python NestedFieldMap()", PyNestedFieldMap)

    group = "merge a depth-3 document of 100 leaves into a map"
    yield Case(group, "dict: recursive merge in Python", lambda: _deep_merge({}, DOC100), floor=True)
    yield Case(group, "NestedFieldMap(data)", lambda: NestedFieldMap(DOC100))
    yield Case(group, "Python NestedFieldMap(data)", lambda: PyNestedFieldMap(DOC100))
    if box:
        yield Case(group, "box.Box(data, box_dots=True)", lambda: box.Box(DOC100, box_dots=True))
    if conf:
        yield Case(group, "omegaconf: OmegaConf.create(data)", lambda: omegaconf.OmegaConf.create(DOC100),
                   check=omegaconf.OmegaConf.to_container)

    group = "update a map from a depth-3 document of 100 leaves, levels exist"
    # Each variant gives the updated map back, so that the runner can compare them.
    target = _deep_merge({}, DOC100)
    yield Case(group, "dict: recursive merge in Python", lambda: _deep_merge(target, DOC100), floor=True)
    m = NestedFieldMap(DOC100)
    yield Case(group, "NestedFieldMap: m.update(data)", lambda: m.update(DOC100) or m)
    pm = PyNestedFieldMap(DOC100)
    yield Case(group, "Python NestedFieldMap: m.update(data)", lambda: pm.update(DOC100) or pm)
    if box:
        b = box.Box(DOC100, box_dots=True)
        yield Case(group, "box.Box: b.merge_update(data)", lambda: b.merge_update(DOC100) or b)
    if conf:
        conf100 = omegaconf.OmegaConf.create(DOC100)
        yield Case(group, "omegaconf: OmegaConf.merge(conf, data)", lambda: omegaconf.OmegaConf.merge(conf100, DOC100),
                   check=omegaconf.OmegaConf.to_container)


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


class _Plain:
    """A plain instance: the floor of attribute access."""


def cases():
    d = dict(DATA)
    m = FieldMap(DATA)
    pm = PyFieldMap(DATA)
    group = "construct from a 20-entry dict"
    yield Case(group, "dict(data)", lambda: dict(DATA20), floor=True)
    yield Case(group, "FieldMap(data)", lambda: FieldMap(DATA20))
    yield Case(group, "Python FieldMap(data)", lambda: PyFieldMap(DATA20))
    for name, cls in [("munch.Munch", munch and munch.Munch), ("easydict.EasyDict", easydict and easydict.EasyDict),
                      ("box.Box", box and box.Box)]:
        if cls:
            yield Case(group, f"{name}(data)", lambda cls=cls: cls(DATA20))

    plain = _Plain()
    plain.__dict__.update(DATA)
    yield Case("attribute read m.key5", "plain instance: o.key5", lambda: plain.key5, floor=True)
    yield Case("attribute read m.key5", "FieldMap: m.key5", lambda: m.key5)
    yield Case("attribute read m.key5", "Python FieldMap: m.key5", lambda: pm.key5)
    for name, obj in _peers(lambda cls: cls(DATA)):
        yield Case("attribute read m.key5", f"{name}: o.key5", lambda obj=obj: obj.key5)

    yield Case("subscript read m['key5']", "dict: d['key5']", lambda: d["key5"], floor=True)
    yield Case("subscript read m['key5']", "FieldMap: m['key5']", lambda: m["key5"])
    yield Case("subscript read m['key5']", "Python FieldMap: m['key5']", lambda: pm["key5"])

    def plain_write():
        plain.new = 1

    def fm_write():
        m.new = 1

    def pfm_write():
        pm.new = 1

    yield Case("attribute write m.new = 1", "plain instance: o.new = 1", plain_write, floor=True)
    yield Case("attribute write m.new = 1", "FieldMap: m.new = 1", fm_write)
    yield Case("attribute write m.new = 1", "Python FieldMap: m.new = 1", pfm_write)
    for name, obj in _peers(lambda cls: cls(DATA)):
        def peer_write(obj=obj):
            obj.new = 1
        yield Case("attribute write m.new = 1", f"{name}: o.new = 1", peer_write)

    yield Case("repr of a 10-entry map", "repr(dict)", lambda: repr(d), floor=True)
    yield Case("repr of a 10-entry map", "repr(FieldMap)", lambda: repr(m))
    yield Case("repr of a 10-entry map", "Python FieldMap: repr(m)", lambda: repr(pm))
    yield from nested_cases()
