"""FieldMap and NestedFieldMap written in Python (see the package docstring)."""
import itertools
from collections.abc import Mapping, MutableMapping


class FieldMap(dict):
    """Dictionary with the additional capability of accessing its content as
    object attributes.

    Example::

        >>> settings = FieldMap({'host': 'localhost', 'port': 8080})
        >>> settings.host
        'localhost'
        >>> settings['port']
        8080

    Known limitation: attributes follow the language's identifier rules, so
    keys with special characters (dot, comma, brackets, dash/hyphen, quotes,
    slashes, etc.) cannot be accessed with attribute syntax; use subscription
    for them."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.__dict__ = self

    def __repr__(self):
        return self.__class__.__name__ + "(" + super(FieldMap, self).__repr__() + ")"

    # Copies and pickles: the default protocol would make the object with
    # __new__ alone (its __dict__ a dictionary of its own) and store every
    # entry through __setitem__. The entries travel as a plain dict instead,
    # restored as they are stored.
    def __reduce__(self):
        import copyreg

        return copyreg.__newobj__, (type(self),), dict.copy(self)

    def __setstate__(self, state):
        entries, slots = state, None
        if isinstance(state, tuple) and len(state) == 2:  # (dict state, slot state) of the default protocol
            entries, slots = state
        self.__dict__ = self
        if entries is not None:
            if not isinstance(entries, dict):
                raise TypeError(f"{type(self).__name__:.200} state must be a dict, not {type(entries).__name__:.200}")
            dict.update(self, entries)
        if slots is not None:
            for name, value in slots.items():
                setattr(self, name, value)


# The methods that the maps call on themselves (update, setdefault, and
# items() of a mapping being merged) are looked up on the class: a map is
# its own attribute namespace, so an entry named like the method would hide
# it from an ordinary lookup.


def _merge(level, value):
    """type(level).update(level, value); for a value whose class has no update,
    the ordinary lookup, whose AttributeError names the object."""
    update = getattr(type(level), "update", None)
    if update is None:
        level.update(value)
    else:
        update(level, value)


class NestedFieldMap(FieldMap, MutableMapping):
    def __init__(self, *args, **kwargs):
        super().__init__()
        type(self).update(self, *args, **kwargs)

    def __getitem__(self, key):
        if isinstance(key, str) and "." in key:
            key, subkeys = key.split(".", 1)
            return super().__getitem__(key)[subkeys]
        return super().__getitem__(key)

    def __setitem__(self, key, value):
        if isinstance(key, str) and "." in key:
            key, subkeys = key.split(".", 1)
            subkey_value = type(self).setdefault(self, key, type(self)())
            if not isinstance(subkey_value, type(self)):
                raise KeyError('target key "' + str(key) + '" is a value, cannot update value against another '
                               + str(type(self).__name__))
            subkey_value[subkeys] = value
        else:
            super().__setitem__(key, value)

    def __contains__(self, key):
        if isinstance(key, str) and "." in key:
            key, subkeys = key.split(".", 1)
            return super().__contains__(key) and subkeys in super().__getitem__(key)
        return super().__contains__(key)

    def __delitem__(self, key):
        if isinstance(key, str) and "." in key:
            key, subkeys = key.split(".", 1)
            del super().__getitem__(key)[subkeys]
        else:
            super().__delitem__(key)

    get = MutableMapping.get
    pop = MutableMapping.pop
    setdefault = MutableMapping.setdefault

    def update(self, *args, **kwargs):
        if len(args) > 1:
            raise TypeError("expected at most 1 arguments, got %d" % len(args))
        iterable = args[0] if args else ()
        if isinstance(iterable, Mapping):
            iterable = type(iterable).items(iterable)
        # The position in the error is the element's place in the iteration,
        # right for every kind of source (generators, sets, views).
        for position, item in enumerate(itertools.chain(iterable, kwargs.items())):
            if len(item) != 2:
                raise TypeError("cannot convert dictionary update sequence element #%s to a sequence" % position)
            key, value = item
            if isinstance(value, Mapping):
                level = type(self).setdefault(self, key, type(self)())
                _merge(level, value)
            else:
                self[key] = value
