"""DictItem, IndexMarker and FlatNest written in Python (see the package docstring)."""
from collections import namedtuple
from collections.abc import MutableMapping

DictItem = namedtuple('DictItem', ('path', 'value'))

_PAIR_ERROR = "FlatNest only accepts a tuple of path/obj"


class IndexMarker:
    def __init__(self, obj, index):
        """Tracks the index position of elements in list/tuple

        :param obj: object to store for
        :param index: index value"""
        self.type_ = type(obj)
        self.index = int(index)

    def __repr__(self):
        return "{type_}[{index}]".format(type_=self.type_.__name__, index=self.index)


def _checked_pairs(items):
    """The elements of `items`, read once, each unpacked as a pair: all of them
    pass, or a failure of the unpacking (an Exception) becomes the ValueError."""
    try:
        return [(path, obj) for path, obj in items]
    except Exception:
        raise ValueError(_PAIR_ERROR)


def _checked_pair(item):
    try:
        path, obj = item
    except Exception:
        raise ValueError(_PAIR_ERROR)
    return path, obj


def _dict_items(items):
    """[DictItem(path, obj) for path, obj in items], every element checked first."""
    pairs = _checked_pairs(items)
    cls = DictItem
    return [cls(path, obj) for path, obj in pairs]


class _TupleLevels:
    """The tuple levels of one reconstruct() call.

    A tuple cannot grow in place, so each tuple level is gathered in a list of
    its elements that stands in the tuple's slot and is walked exactly as a
    list level is. Once every pair is placed, each list still in its slot is
    replaced by the tuple type called with the elements, innermost first; a
    tuple stored by an earlier pair whose list still holds the very elements
    gathered from it goes back into its slot itself, unchanged.
    """

    def __init__(self):
        self.levels = []  # [elements, type, parent, key]
        self.index = {}   # id(elements) -> the tuple type it stands for

    def type_of(self, obj):
        if not self.index or type(obj) is not list:
            return None
        return self.index.get(id(obj))

    def add(self, elements, type_, parent, key, stored=None):
        """`stored`: the tuple in the slot whose elements `elements` gathers."""
        slot_key = key
        if isinstance(parent, list) and isinstance(key, int) and int.__index__(key) < 0:
            # Lists only grow while reconstruct() runs: a position counted
            # from the end is kept as one counted from the start.
            slot_key = key + len(parent)
        gathered = tuple(elements) if stored is not None else None
        parent[key] = elements
        self.index[id(elements)] = type_
        self.levels.append([elements, type_, parent, slot_key, stored, gathered])

    def build(self):
        for elements, type_, parent, key, stored, gathered in reversed(self.levels):
            if parent[key] is not elements:  # replaced by a later pair
                continue
            if stored is not None and len(elements) == len(gathered) and all(a is b for a, b in zip(elements, gathered)):
                # walked into and left as it was: the stored tuple goes back
                parent[key] = stored
            else:
                parent[key] = tuple(elements) if type_ is tuple else type_(elements)


def _unbound(name):
    return UnboundLocalError(f"local variable '{name}' referenced before assignment")


class FlatNest(list):
    """FlatNest class (list)

    A nested dictionary kept as a flat list of path/value pairs. The path is
    the tuple of keys that leads from the outermost dictionary to a value, so
    ``dictionary['a']['b']['c'] = object()`` is equivalent to
    ``(('a', 'b', 'c',), object())``. Positions inside lists and tuples are
    path steps too, written as IndexMarker objects.

    Format: [(path, value), (path, value) ...] where path is a tuple
    representing the nested dict keys.

    reconstruct() always generates a new dictionary:
    FlatNest({}).reconstruct() == {} but is not the same object."""

    def __init__(self, *args):
        """Accepts any arguments accepted by list(), with the special condition that
        a dictionary (any mutable mapping) is flattened to be stored internally as
        a list structure. Any other single argument is an iterable of path/value
        pairs, each stored as a DictItem."""
        if len(args) == 1 and isinstance(args[0], MutableMapping):
            super().__init__(FlatNest.__flatten__(args[0]))
        elif len(args) == 1:
            super().__init__(_dict_items(args[0]))
        else:
            super().__init__(*args)

    @staticmethod
    def __flatten__(indict, path=None):
        """Generates the DictItem pairs of a nested dictionary, depth first."""
        if path:
            path = path[:]
        else:
            path = ()
        if isinstance(indict, MutableMapping):
            for key, value in indict.items():
                if isinstance(value, (MutableMapping, list, tuple)) and value:
                    for item in FlatNest.__flatten__(value, path + (key,)):
                        yield item
                else:
                    yield DictItem(path + (key,), value)
        elif isinstance(indict, (list, tuple)):
            for index, value in enumerate(indict):
                key = IndexMarker(indict, index)
                if isinstance(value, (MutableMapping, list, tuple)) and value:
                    for item in FlatNest.__flatten__(value, path + (key,)):
                        yield item
                else:
                    yield DictItem(path + (key,), value)
        else:
            yield indict

    def __setitem__(self, index, item):
        # A pair is stored as a plain tuple; a slice takes an iterable of
        # pairs, all or none.
        if isinstance(index, slice):
            value = _checked_pairs(item)
        else:
            value = _checked_pair(item)
        super().__setitem__(index, value)

    def append(self, item):
        path, obj = _checked_pair(item)
        super().append(DictItem(path, obj))

    def extend(self, items):
        super().extend(_dict_items(items))

    def insert(self, index, item):
        path, obj = _checked_pair(item)
        super().insert(index, DictItem(path, obj))

    def reconstruct(self):
        """Takes the internally stored list form and rebuilds the nested dictionary
        it represents. Always generates a new dictionary object."""
        ret = {}
        tuples = _TupleLevels()
        first = True
        # `ptr`, `prev_ptr`, `prev_k` and `k` keep their values from one pair
        # to the next; _UNSET stands for a name not yet assigned.
        prev_ptr = prev_k = k = _UNSET
        for path, obj in self:
            ptr = ret
            path = list(path)
            if not first and (not path or isinstance(path[0], IndexMarker)):
                # no slot of its own to start from
                raise ValueError(_PAIR_ERROR)
            first = False
            for k in path:
                if isinstance(k, IndexMarker):
                    ptr, prev_ptr, prev_k = _marker_step(k, ptr, prev_ptr, prev_k, tuples)
                else:
                    ptr, prev_ptr, prev_k = _key_step(k, ptr, tuples)
            if k is _UNSET:
                raise _unbound("k")
            prev_ptr[prev_k] = obj
        tuples.build()
        return ret


_UNSET = object()


def _marker_step(k, ptr, prev_ptr, prev_k, tuples):
    """A list or tuple level: enter the last element of the container in the
    slot prev_ptr[prev_k], after putting a new container there when the slot
    holds none of the marker's type, or appending a placeholder when the
    marker's position does not exist yet. The index never selects an element."""
    type_ = k.type_
    tuple_level = isinstance(type_, type) and issubclass(type_, tuple)
    gathering = tuples.type_of(ptr)
    level_type = gathering if gathering is not None else type(ptr)
    if tuple_level and gathering is None and level_type is type_:
        # A tuple stored by an earlier pair: gather its elements to grow it.
        if prev_ptr is _UNSET:
            raise _unbound("prev_ptr")
        tuples.add(list(ptr), type_, prev_ptr, prev_k, ptr)
        ptr = prev_ptr[prev_k]
        gathering = level_type
    if level_type is not type_:
        fresh = [{}] if tuple_level else type_(({},))
        if prev_ptr is _UNSET:
            raise _unbound("prev_ptr")
        if tuple_level:
            tuples.add(fresh, type_, prev_ptr, prev_k)
        else:
            prev_ptr[prev_k] = fresh
    else:
        index = k.index
        if gathering is not None and not hasattr(type(index), "__index__") and not isinstance(index, slice):
            raise TypeError(f"tuple indices must be integers or slices, not {type(index).__name__:.200}")
        try:
            ptr[index]
        except IndexError:
            if gathering is not None:
                ptr.append({})
            else:
                ptr += type_(({},))
    if prev_ptr is _UNSET:
        raise _unbound("prev_ptr")
    prev_ptr = prev_ptr[prev_k]
    prev_k = -1
    ptr = prev_ptr[prev_k]
    return ptr, prev_ptr, prev_k


def _key_step(k, ptr, tuples):
    """A key: enter ptr[k], made a placeholder when missing; a list level (no
    mapping) first grows by a new {k: {}}."""
    if isinstance(ptr, MutableMapping):
        ptr[k] = ptr.get(k, {})
    else:
        added = {k: {}}
        if tuples.type_of(ptr) is not None:
            ptr.append(added)
        else:
            ptr += type(ptr)((added,))
        ptr = ptr[-1]
    prev_ptr = ptr
    prev_k = k
    ptr = ptr[k]
    return ptr, prev_ptr, prev_k
