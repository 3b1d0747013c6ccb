// vornal.datastructures.fieldmap: dictionaries whose entries are also
// attributes.
//
//     import itertools
//     from collections.abc import Mapping, MutableMapping
//
//     class FieldMap(dict):
//         def __init__(self, *args, **kwargs): ...
//         def __repr__(self): ...
#include "pyframe.hpp"

namespace {
using namespace pf;

Class FieldMap;

// ---------------------------------------------------------------------------
// class FieldMap(dict)
// ---------------------------------------------------------------------------

constexpr const char* FieldMap_doc =
    "Dictionary with the additional capability of accessing its content as\n"
    "object attributes.\n"
    "\n"
    "Example::\n"
    "\n"
    "    >>> settings = FieldMap({'host': 'localhost', 'port': 8080})\n"
    "    >>> settings.host\n"
    "    'localhost'\n"
    "    >>> settings['port']\n"
    "    8080\n"
    "\n"
    "Known limitation: attributes follow the language's identifier rules, so\n"
    "keys with special characters (dot, comma, brackets, dash/hyphen, quotes,\n"
    "slashes, etc.) cannot be accessed with attribute syntax; use subscription\n"
    "for them.";

constexpr const char* FieldMap_init_doc =
    "Every object keeps its attributes in a dictionary named __dict__, and that\n"
    "dictionary may be any dict subclass. The instance being initialised is\n"
    "therefore assigned as its own __dict__, so its entries are its attributes;\n"
    "the base __init__ call makes it behave exactly like a dictionary.";

// def __init__(self, *args, **kwargs):
//     super().__init__(*args, **kwargs)
//     self.__dict__ = self
void FieldMap_init(Handle self, Args args, const Kwargs& kwargs) {
    super(FieldMap, self).init(args, kwargs);
    self.setattr<"__dict__">(self);
}

// def __repr__(self):
//     return self.__class__.__name__ + "(" + super(FieldMap, self).__repr__() + ")"
Ref FieldMap_repr(Handle self) {
    Ref name = self.attr<"__class__">().attr<"__name__">();
    return concat(name, "(", super(FieldMap, self).repr(), ")");
}

// ---------------------------------------------------------------------------
// Module body
// ---------------------------------------------------------------------------

void body() {
    import("itertools");
    import_from("collections.abc", {"Mapping", "MutableMapping"});

    define_class(FieldMap, "FieldMap",
                 ClassDef("FieldMap", FieldMap_doc)
                     .bases({&PyDict_Type})
                     .method(def<FieldMap_init>("__init__", "self, *args, **kwargs", FieldMap_init_doc))
                     .method(def<FieldMap_repr>("__repr__", "self")));
}

}  // namespace

PF_MODULE(fieldmap, body)
