// pyframe/api/args.hpp: the variadic arguments of a call (*args, **kwargs)
// and calls of attributes found in class dictionaries.
#pragma once

#include "state.hpp"

namespace pf {

// ---------------------------------------------------------------------------
// Variadic arguments of a call
// ---------------------------------------------------------------------------

// Variadic positional arguments (*args) as a view on the caller's vector.
struct Args {
    PyObject* const* items = nullptr;
    Py_ssize_t size = 0;
    PyObject* tuple = nullptr;  // a tuple of exactly these items, when the caller had one
    Handle operator[](Py_ssize_t i) const { return Handle(items[i]); }
    Ref to_tuple() const {
        if (tuple) return Ref::borrow(tuple);
        PyObject* t = PyTuple_New(size);
        if (!t) return failure;
        for (Py_ssize_t i = 0; i < size; ++i) PyTuple_SET_ITEM(t, i, Py_NewRef(items[i]));
        return Ref::steal(t);
    }
};

// Variadic keyword arguments (**kwargs): the caller's names and values when
// every keyword lands here, or a dict when some were bound by name.
struct Kwargs {
    PyObject* names = nullptr;          // tuple of str, or nullptr
    PyObject* const* values = nullptr;  // values for names
    Ref dict;                           // used instead of names/values when set
    Py_ssize_t size() const {
        if (dict) return PyDict_GET_SIZE(dict.ptr());
        return names ? PyTuple_GET_SIZE(names) : 0;
    }
    Ref to_dict() const {
        if (dict) return Ref::steal(PyDict_Copy(dict.ptr()));
        TRY_LET(Ref d, pf::dict());
        for (Py_ssize_t i = 0; i < size(); ++i) TRY(status(PyDict_SetItem(d.ptr(), PyTuple_GET_ITEM(names, i), values[i])));
        return d;
    }
    // Calls `f(first, *args, **this)` (no `first` when it is null).
    Ref call(Handle f, Handle first, const Args& args) const {
        if (dict) {
            Ref t = Ref::steal(PyTuple_New(args.size + (first ? 1 : 0)));
            if (!t) return failure;
            Py_ssize_t o = 0;
            if (first) PyTuple_SET_ITEM(t.ptr(), o++, Py_NewRef(first.ptr()));
            for (Py_ssize_t i = 0; i < args.size; ++i) PyTuple_SET_ITEM(t.ptr(), o++, Py_NewRef(args.items[i]));
            return Ref::steal(PyObject_Call(f.ptr(), t.ptr(), dict.ptr()));
        }
        Py_ssize_t nkw = size();
        std::vector<PyObject*> argv((size_t)(1 + args.size + nkw + 1));
        size_t o = 1;
        if (first) argv[o++] = first.ptr();
        for (Py_ssize_t i = 0; i < args.size; ++i) argv[o++] = args.items[i];
        for (Py_ssize_t i = 0; i < nkw; ++i) argv[o++] = values[i];
        size_t nargs = (size_t)args.size + (first ? 1 : 0);
        return vectorcall(f, argv.data() + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, names);
    }
};

// ---------------------------------------------------------------------------
// Calling attributes found in class dictionaries
// ---------------------------------------------------------------------------

// `f`, an attribute found in a class dictionary, as read through `obj`:
// descriptors are bound (a function gives a bound method), plain values are
// returned as they are.
inline Ref bind_to(Handle f, Handle obj) {
    descrgetfunc get = Py_TYPE(f.ptr())->tp_descr_get;
    if (!get) return Ref::borrow(f);
    return Ref::steal(get(f.ptr(), obj.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))));
}

// Calls `f`, an attribute found in a class dictionary, as a method of `obj`
// with vectorcall arguments: method descriptors (our functions, built-in
// methods) get obj prepended, as the interpreter calls methods, without a
// bound object; anything else is bound first.
inline Ref call_as_method(Handle f, Handle obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!PyType_HasFeature(Py_TYPE(f.ptr()), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        TRY_LET(Ref bound, bind_to(f, obj));
        return vectorcall(bound, args, (size_t)nargs, kwnames);
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* small[8];
    std::vector<PyObject*> large;
    size_t total = (size_t)(nargs + nkw + 1);
    PyObject** argv = small;
    if (total > std::size(small)) {
        large.resize(total);
        argv = large.data();
    }
    argv[0] = obj.ptr();
    for (Py_ssize_t i = 0; i < nargs + nkw; ++i) argv[(size_t)i + 1] = args[i];
    return vectorcall(f, argv, (size_t)nargs + 1, kwnames);
}

// Calls `f`, an attribute found on type(obj), as a method of obj.
template <class... A>
Ref call_unbound(Handle f, Handle obj, const A&... args) {
    PyObject* argv[sizeof...(A) + 1] = {as_ptr(args)...};
    return call_as_method(f, obj, argv, (Py_ssize_t)sizeof...(A), nullptr);
}
inline Ref call_unbound(Handle f, Handle obj, const Args& args, const Kwargs& kwargs) {
    if (PyType_HasFeature(Py_TYPE(f.ptr()), Py_TPFLAGS_METHOD_DESCRIPTOR)) return kwargs.call(f, obj, args);
    TRY_LET(Ref bound, bind_to(f, obj));
    return kwargs.call(bound, Handle(), args);
}

}  // namespace pf
