"""Method lookups that the classes make on themselves."""

_ABSENT = object()


def type_method(obj, name):
    """obj.<name> as found on type(obj), bound to obj, like a special method.

    The attribute maps are their own attribute namespace, so an entry named
    like a method (a section called "update") would hide that method from an
    ordinary lookup; the classes therefore look the methods they call on
    themselves up on the class. A class without the name gets the ordinary
    lookup, so that the error is the usual AttributeError of the object.
    """
    cls = type(obj)
    for klass in cls.__mro__:
        attr = klass.__dict__.get(name, _ABSENT)
        if attr is not _ABSENT:
            get = class_attr(type(attr), "__get__")
            return attr if get is None else get(attr, obj, cls)
    return getattr(obj, name)


def class_attr(cls, name):
    """What cls.<name> is found to be in the class dictionaries of its MRO, or None."""
    for klass in cls.__mro__:
        attr = klass.__dict__.get(name, _ABSENT)
        if attr is not _ABSENT:
            return attr
    return None
