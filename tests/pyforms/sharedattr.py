"""SharedAttrDescriptor and sharedattr written in Python (see the package docstring)."""


class SharedAttrDescriptor(object):
    """Descriptor class that lets classes have their own "properties" that can be
    overwritten and inherited: it adds read-only class properties."""

    def __init__(self, func):
        self.func = func

    def __get__(self, obj, owner):
        return self.func(owner)


sharedattr = SharedAttrDescriptor
