"""RefSequence written in Python (see the package docstring).

Besides the methods of the plain class body, the operations that UserList
would apply to the weak references themselves (`*`, `*=`, `other + seq`,
ordering, copies) act on the objects, and every operation that builds or
reorders entries keeps its objects alive until it is done, so that no object
dies while its entry is not (or not yet) where its callback looks for it.
"""
import weakref
import collections


def _wrapped(seq, items):
    """[weakref.ref(i, seq.remove) for i in items], and the objects, which the
    caller holds until the entries are stored."""
    entries, held = [], []
    for i in items:
        entries.append(weakref.ref(i, seq.remove))
        held.append(i)
    return entries, held


def _live_objects(data):
    """The referents of the weak references in data: held while it is sorted,
    when it looks empty to an entry's callback."""
    if type(data) is not list:
        return []
    return [e() for e in data if type(e) is weakref.ref]


def _refuse_concatenation(item):
    return TypeError('can only concatenante RefSequence (not "{value_type}") to RefSequence'.format(
        value_type=type(item).__name__))


class RefSequence(collections.UserList):
    """RefSequence Class

    A special implementation of the native list whose stored items are weak
    references to the objects put into it:

    - an item is removed automatically once its object is finalised (garbage
      collected), without any call on the sequence;
    - reads return the actual object, never the reference;
    - writes take actual objects and store weak references to them;
    - all reference handling is invisible to the user.

    Because every stored item is a weak reference, mind the context and the
    garbage collection: holding an object in a RefSequence never keeps it
    alive, and an object that nothing else refers to leaves the sequence at
    once."""

    # super().name(...) is bound before the entries are made, as in
    # super().extend([weakref.ref(i, self.remove) for i in items]).
    def __init__(self, items=()):
        init = super().__init__
        entries, held = _wrapped(self, items)
        init(entries)

    def __contains__(self, item):
        return super().__contains__(weakref.ref(item))

    def __getitem__(self, index):
        if isinstance(index, slice):
            cls = self.__class__
            # The objects are read when the slice is taken and held until the
            # new sequence has wrapped them.
            objects = [entry() for entry in self.data[index]]
            return cls(obj for obj in objects)
        return super().__getitem__(index)()

    def __setitem__(self, index, item):
        if isinstance(index, slice):
            item, held = _wrapped(self, item)
        else:
            item = weakref.ref(item, self.remove)
        super().__setitem__(index, item)

    def __iter__(self):
        data = self.data
        for entry in data:
            yield entry()

    def __eq__(self, other):
        return list(self) == other

    # Ordering compares the object lists in the written order, another
    # UserList cast to its objects, as UserList casts another UserList to its
    # data.
    def __lt__(self, other):
        return list(self) < _cast(other)

    def __le__(self, other):
        return list(self) <= _cast(other)

    def __gt__(self, other):
        return list(self) > _cast(other)

    def __ge__(self, other):
        return list(self) >= _cast(other)

    def __reversed__(self):
        return self[::-1]

    def remove(self, item):
        if isinstance(item, weakref.ReferenceType):
            super().remove(item)
        else:
            super().remove(weakref.ref(item))

    def append(self, item):
        super().append(weakref.ref(item, self.remove))

    def index(self, item):
        return super().index(weakref.ref(item))

    def count(self, item):
        return super().count(weakref.ref(item))

    def pop(self, item):
        position = super().index(weakref.ref(item))
        obj = super().__getitem__(position)()
        super().__delitem__(position)
        return obj

    def insert(self, index, item):
        super().insert(index, weakref.ref(item, self.remove))

    def extend(self, items):
        extend = super().extend
        entries, held = _wrapped(self, items)
        extend(entries)

    def sort(self, key=None, reverse=False):
        if key is None:
            k = lambda x: x()  # noqa: E731
        else:
            k = lambda x: key(x())  # noqa: E731
        held = _live_objects(self.data)  # noqa: F841
        return super().sort(key=k, reverse=reverse)

    def __add__(self, item):
        if not isinstance(item, RefSequence):
            raise _refuse_concatenation(item)
        r = RefSequence()
        r.extend(self)
        r.extend(item)
        return r

    def __radd__(self, other):
        if not isinstance(other, RefSequence):
            raise _refuse_concatenation(other)
        r = RefSequence()
        r.extend(other)
        r.extend(self)
        return r

    def __iadd__(self, items):
        iadd = super().__iadd__
        entries, held = _wrapped(self, items)
        return iadd(entries)

    def __mul__(self, n):
        return self.__class__(list(self) * n)

    def __rmul__(self, n):
        return self.__class__(list(self) * n)

    def __imul__(self, n):
        objs = list(self)
        objs *= n
        entries, held = _wrapped(self, objs)
        super().__setitem__(slice(None), entries)
        return self

    def __copy__(self):
        """A copy holds the same objects, with entries of its own: self.copy().
        A weak container does not own its objects, so a deep copy does not copy
        them either."""
        return self.copy()

    def __deepcopy__(self, memo):
        return self.copy()

    def __repr__(self):
        return "RefSequence([" + ", ".join([repr(i) for i in self]) + "])"

    def __str__(self):
        return "RefSequence([" + ", ".join([str(i) for i in self]) + "])"


def _cast(other):
    return list(other) if isinstance(other, collections.UserList) else other
