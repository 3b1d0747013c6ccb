// vornal.datastructures.fieldmap: dictionaries whose entries are also
// attributes.
//
//     import itertools
//     from collections.abc import Mapping, MutableMapping
//
//     class FieldMap(dict):
//         def __init__(self, *args, **kwargs): ...
//         def __repr__(self): ...
//
//     class NestedFieldMap(FieldMap, MutableMapping):
//         def __init__(self, *args, **kwargs): ...
//         def __getitem__(self, key): ...
//         def __setitem__(self, key, value): ...
//         def __contains__(self, key): ...
//         def __delitem__(self, key): ...
//         get = MutableMapping.get
//         pop = MutableMapping.pop
//         setdefault = MutableMapping.setdefault
//         def update(self, *args, **kwargs): ...
#include "pyframe.hpp"

namespace {
using namespace pf;

Class FieldMap;
Class NestedFieldMap;

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
// class NestedFieldMap(FieldMap, MutableMapping)
// ---------------------------------------------------------------------------
//
// A tree of FieldMaps addressed by dotted keys: m['a.b'] is m['a']['b'].
// Levels are instances of type(self), made on demand by dotted writes and by
// the merge of nested mappings in update().
//
// Methods that the class calls on itself (update, setdefault, and items()
// on a mapping being merged) are looked up on the object's type: a map is
// its own attribute namespace, so an entry such as m['update'] would
// otherwise hide the method and break every later merge.

// Splits a dotted key once, at its first dot: a str key (subclasses
// included) that contains "." gives true with its head and rest; any other
// key is plain.
bool split_dotted(Handle key, Ref& head, Ref& rest) {
    PyObject* k = key.ptr();
    if (PyUnicode_CheckExact(k)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(k);
        Py_ssize_t dot = PyUnicode_FindChar(k, '.', 0, n, 1);
        if (dot == -2) throw_error();
        if (dot < 0) return false;
        head = Ref::steal(PyUnicode_Substring(k, 0, dot));
        rest = Ref::steal(PyUnicode_Substring(k, dot + 1, n));
        return true;
    }
    if (!PyUnicode_Check(k)) return false;
    // A str subclass answers with its own `in` and split().
    if (!key.contains(id<".">())) return false;
    auto parts = unpack<2>(key.call_method<"split">(id<".">(), integer(1)));
    head = std::move(parts[0]);
    rest = std::move(parts[1]);
    return true;
}

// type(self)(): a new, empty level.
Ref new_level(Handle type) { return type(); }

// def __init__(self, *args, **kwargs):
//     super().__init__()
//     type(self).update(self, *args, **kwargs)
void NestedFieldMap_init(Handle self, Args args, const Kwargs& kwargs) {
    super(NestedFieldMap, self).init(Args{}, Kwargs{});
    call_type_method<"update">(self, args, kwargs);
}

// def __getitem__(self, key):
//     if dotted: return super().__getitem__(head)[rest]
//     return super().__getitem__(key)
Ref NestedFieldMap_getitem(Handle self, Handle key) {
    Ref head, rest;
    if (split_dotted(key, head, rest)) return super(NestedFieldMap, self).getitem(head).item(rest);
    return super(NestedFieldMap, self).getitem(key);
}

// The KeyError of a dotted write under a head that holds no level.
[[noreturn]] void raise_target_key(Handle self, Handle head) {
    Ref name = type_of(self).attr<"__name__">();
    Ref message = concat("target key \"", head.str(), "\" is a value, cannot update value against another ", name.str());
    raise_value(PyExc_KeyError, message.ptr());
}

// def __setitem__(self, key, value):
//     if dotted:
//         level = type(self).setdefault(self, head, type(self)())
//         if not isinstance(level, type(self)): raise KeyError(<target key>)
//         level[rest] = value
//     else:
//         super().__setitem__(key, value)
void NestedFieldMap_setitem(Handle self, Handle key, Handle value) {
    Ref head, rest;
    if (!split_dotted(key, head, rest)) {
        super(NestedFieldMap, self).setitem(key, value);
        return;
    }
    Ref type = type_of(self);
    Ref level = call_type_method<"setdefault">(self, head, new_level(type));
    if (!level.isinstance(type)) raise_target_key(self, head);
    level.set_item(rest, value);
}

// def __contains__(self, key):
//     if dotted: return super().__contains__(head) and rest in super().__getitem__(head)
//     return super().__contains__(key)
bool NestedFieldMap_contains(Handle self, Handle key) {
    Ref head, rest;
    if (!split_dotted(key, head, rest)) return super(NestedFieldMap, self).contains(key);
    return super(NestedFieldMap, self).contains(head) && super(NestedFieldMap, self).getitem(head).contains(rest);
}

// def __delitem__(self, key):
//     if dotted: del super().__getitem__(head)[rest]
//     else: super().__delitem__(key)
void NestedFieldMap_delitem(Handle self, Handle key) {
    Ref head, rest;
    if (split_dotted(key, head, rest))
        super(NestedFieldMap, self).getitem(head).del_item(rest);
    else
        super(NestedFieldMap, self).delitem(key);
}

// One item of the merge: a mapping value is merged into the level under
// `key` (made when absent), anything else is stored with self[key] = value.
void merge_item(Handle self, Handle type, Handle mapping, Handle key, Handle value) {
    if (value.isinstance(mapping)) {
        Ref level = call_type_method<"setdefault">(self, key, new_level(type));
        call_type_method<"update">(level, value);
    } else {
        self.set_item(key, value);
    }
}

// def update(self, *args, **kwargs):
//     if len(args) > 1: raise TypeError(...)
//     iterable = args[0] if args else ()
//     if isinstance(iterable, Mapping): iterable = iterable.items()
//     for position, item in enumerate(itertools.chain(iterable, kwargs.items())):
//         if len(item) != 2: raise TypeError(... % position)
//         key, value = item
//         merge_item(key, value)
//
// The position in the error is the element's place in the iteration, so it
// is right for every kind of source (generators, sets and views included).
void NestedFieldMap_update(Handle self, Args args, const Kwargs& kwargs) {
    if (args.size > 1) raise(PyExc_TypeError, "expected at most 1 arguments, got %zd", args.size);
    Ref mapping = global<"Mapping">();
    Ref type = type_of(self);
    if (args.size == 1) {
        Ref source = Ref::borrow(args[0]);
        if (source.isinstance(mapping)) source = call_type_method<"items">(source);
        Py_ssize_t position = 0;
        for (Ref item : iterate(source)) {
            if (item.len() != 2)
                raise(PyExc_TypeError, "cannot convert dictionary update sequence element #%zd to a sequence", position);
            auto [key, value] = unpack<2>(item);
            merge_item(self, type, mapping, key, value);
            ++position;
        }
    }
    if (kwargs.dict) {
        PyObject *key, *value;
        for (Py_ssize_t pos = 0; PyDict_Next(kwargs.dict.ptr(), &pos, &key, &value);)
            merge_item(self, type, mapping, Ref::borrow(key), Ref::borrow(value));
    } else {
        for (Py_ssize_t i = 0; i < kwargs.size(); ++i)
            merge_item(self, type, mapping, PyTuple_GET_ITEM(kwargs.names, i), kwargs.values[i]);
    }
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

    Ref mutable_mapping = global<"MutableMapping">();
    define_class(NestedFieldMap, "NestedFieldMap",
                 ClassDef("NestedFieldMap")
                     .bases({FieldMap, mutable_mapping})
                     .method(def<NestedFieldMap_init>("__init__", "self, *args, **kwargs"))
                     .method(def<NestedFieldMap_getitem>("__getitem__", "self, key"))
                     .method(def<NestedFieldMap_setitem>("__setitem__", "self, key, value"))
                     .method(def<NestedFieldMap_contains>("__contains__", "self, key"))
                     .method(def<NestedFieldMap_delitem>("__delitem__", "self, key"))
                     .attr("get", mutable_mapping.attr<"get">())
                     .attr("pop", mutable_mapping.attr<"pop">())
                     .attr("setdefault", mutable_mapping.attr<"setdefault">())
                     .method(def<NestedFieldMap_update>("update", "self, *args, **kwargs")));
}

}  // namespace

PF_MODULE(fieldmap, body)
