// pyframe: the small header-only framework behind every extension module of
// vornal.datastructures.
//
// It carries the CPython mechanics so that a module file reads like the
// Python class it defines:
//   * references   - `Handle` (borrowed) and `Ref` (owning, RAII), with the
//                    everyday object operations as members;
//   * errors       - a failing C API call throws `pf::error`, which carries
//                    the Python exception; `guard()` turns it back into the
//                    error indicator at every boundary into the interpreter;
//   * functions    - `Function`, a small function type with vectorcall and the
//                    method-descriptor flag, argument binding with the
//                    interpreter's own TypeError messages, and inspectable
//                    signatures;
//   * generators   - `Generator`, a lazy iterator object written in C++ that
//                    offers the generator protocol;
//   * classes      - `ClassDef`, which builds a class the way a class
//                    statement does (metaclass from the bases, namespace with
//                    __module__, __qualname__, __doc__ and the methods);
//   * module frame - `PF_MODULE(name, body)`: multi-phase initialisation,
//                    one interpreter per process, no re-initialisation,
//                    package-first imports and module-global lookups.
//
// Each extension module compiles its own copy (hidden visibility); modules
// share no state.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace pf {

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

// A Python exception travelling through C++ code. The exception object is
// taken out of the interpreter's error indicator when the error is thrown, so
// code in a `catch` block may call the C API freely; `guard()` puts it back.
class error {
public:
    explicit error(PyObject* exc) noexcept : exc_(exc) {}
    error(error&& o) noexcept : exc_(std::exchange(o.exc_, nullptr)) {}
    error(const error&) = delete;
    error& operator=(const error&) = delete;
    ~error() { Py_XDECREF(exc_); }

    // The exception instance (borrowed).
    PyObject* value() const noexcept { return exc_; }
    // True when the exception is an instance of `type` (a class or a tuple).
    bool matches(PyObject* type) const noexcept {
        return PyErr_GivenExceptionMatches(exc_, type);
    }
    // Hands the exception back to the interpreter's error indicator.
    void restore() noexcept { PyErr_SetRaisedException(std::exchange(exc_, nullptr)); }
    // Takes ownership of the exception object.
    PyObject* release() noexcept { return std::exchange(exc_, nullptr); }

private:
    PyObject* exc_;
};

// Throws the exception currently set in the error indicator.
[[noreturn]] inline void throw_error() {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exc = PyErr_GetRaisedException();
    }
    throw error(exc);
}

inline PyObject* check(PyObject* o) {
    if (!o) throw_error();
    return o;
}
inline int check(int rc) {
    if (rc < 0) throw_error();
    return rc;
}
inline Py_ssize_t check_size(Py_ssize_t n) {
    if (n < 0 && PyErr_Occurred()) throw_error();
    return n;
}

// Raises `type` with a printf-style message (PyUnicode_FromFormat codes).
[[noreturn]] inline void raise(PyObject* type, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    PyErr_FormatV(type, fmt, va);
    va_end(va);
    throw_error();
}
// Raises `type(arg)`: for KeyError with a key, or any single-argument error.
[[noreturn]] inline void raise_value(PyObject* type, PyObject* arg) {
    PyErr_SetObject(type, arg);
    throw_error();
}
// Raises `type(msg)` as if from inside an `except` block handling `handled`:
// the handled exception becomes the new exception's __context__.
[[noreturn]] inline void raise_in_handler(error& handled, PyObject* type, const char* msg) {
    PyObject* text = PyUnicode_FromString(msg);
    PyObject* exc = text ? PyObject_CallOneArg(type, text) : nullptr;
    Py_XDECREF(text);
    if (!exc) throw_error();
    PyException_SetContext(exc, handled.release());
    throw error(exc);
}

// Runs `body` at a boundary into the interpreter: a C++ exception never
// escapes; every failure becomes the Python error indicator.
template <class R, class F>
R guard_or(R failure, F&& body) noexcept {
    try {
        return body();
    } catch (error& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return failure;
}
template <class F>
PyObject* guard(F&& body) noexcept {
    return guard_or<PyObject*>(nullptr, std::forward<F>(body));
}

// ---------------------------------------------------------------------------
// Interned names: pf::id<"update">() is an interned str made once.
// ---------------------------------------------------------------------------

template <std::size_t N>
struct name_literal {
    char text[N];
    constexpr name_literal(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
    }
};

template <name_literal S>
PyObject* id() {
    static PyObject* s = PyUnicode_InternFromString(S.text);
    if (!s) throw_error();
    return s;
}

// ---------------------------------------------------------------------------
// References
// ---------------------------------------------------------------------------

class Ref;
class Handle;

// Anything that can stand for an object argument.
inline PyObject* as_ptr(PyObject* o) { return o; }

template <class D>
class Api {
    PyObject* p() const { return static_cast<const D*>(this)->ptr(); }

public:
    explicit operator bool() const { return p() != nullptr; }

    PyTypeObject* type() const { return Py_TYPE(p()); }
    bool is(const auto& o) const { return p() == as_ptr(o); }
    bool is_none() const { return p() == Py_None; }
    bool isinstance(const auto& cls) const { return check(PyObject_IsInstance(p(), as_ptr(cls))); }
    bool truthy() const { return check(PyObject_IsTrue(p())); }
    bool eq(const auto& o) const { return check(PyObject_RichCompareBool(p(), as_ptr(o), Py_EQ)); }
    Py_ssize_t len() const { return check_size(PyObject_Length(p())); }

    Ref attr(PyObject* name) const;
    template <name_literal S> Ref attr() const;
    void setattr(PyObject* name, const auto& v) const { check(PyObject_SetAttr(p(), name, as_ptr(v))); }
    template <name_literal S> void setattr(const auto& v) const { setattr(id<S>(), v); }

    Ref item(const auto& key) const;
    void set_item(const auto& key, const auto& v) const { check(PyObject_SetItem(p(), as_ptr(key), as_ptr(v))); }
    void del_item(const auto& key) const { check(PyObject_DelItem(p(), as_ptr(key))); }
    bool contains(const auto& key) const { return check(PySequence_Contains(p(), as_ptr(key))); }

    Ref str() const;
    Ref repr() const;
    Ref iter() const;

    template <class... A> Ref operator()(const A&... args) const;
    template <name_literal S, class... A> Ref call_method(const A&... args) const;
};

// A borrowed reference: valid while someone else owns the object.
class Handle : public Api<Handle> {
public:
    Handle() = default;
    Handle(PyObject* o) : p_(o) {}
    Handle(PyTypeObject* t) : p_(reinterpret_cast<PyObject*>(t)) {}
    PyObject* ptr() const { return p_; }

private:
    PyObject* p_ = nullptr;
};

// An owning reference.
class Ref : public Api<Ref> {
public:
    Ref() = default;
    Ref(std::nullptr_t) {}
    Ref(const Ref& o) : p_(Py_XNewRef(o.p_)) {}
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference; throws the pending error when it is NULL.
    static Ref steal(PyObject* o) { return Ref(check(o), 0); }
    // Takes over a new reference that may be NULL without an error.
    static Ref steal_or_null(PyObject* o) { return Ref(o, 0); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* o) { return Ref(Py_XNewRef(o), 0); }
    static Ref borrow(Handle h) { return borrow(h.ptr()); }

    PyObject* ptr() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    operator Handle() const { return Handle(p_); }

private:
    Ref(PyObject* o, int) : p_(o) {}
    PyObject* p_ = nullptr;
};

inline PyObject* as_ptr(Handle h) { return h.ptr(); }
inline PyObject* as_ptr(const Ref& r) { return r.ptr(); }
inline PyObject* as_ptr(PyTypeObject* t) { return reinterpret_cast<PyObject*>(t); }

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
inline Ref str(std::string_view s) { return Ref::steal(PyUnicode_FromStringAndSize(s.data(), (Py_ssize_t)s.size())); }
inline Ref integer(Py_ssize_t v) { return Ref::steal(PyLong_FromSsize_t(v)); }
inline Ref dict() { return Ref::steal(PyDict_New()); }
inline Ref list(Py_ssize_t n = 0) { return Ref::steal(PyList_New(n)); }
template <class... A>
Ref tuple(const A&... items) {
    return Ref::steal(PyTuple_Pack((Py_ssize_t)sizeof...(A), as_ptr(items)...));
}
// The type of an object as an owning reference.
inline Ref type_of(Handle o) { return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(o.ptr()))); }

template <class D> Ref Api<D>::attr(PyObject* name) const { return Ref::steal(PyObject_GetAttr(p(), name)); }
template <class D> template <name_literal S> Ref Api<D>::attr() const { return attr(id<S>()); }
template <class D> Ref Api<D>::item(const auto& key) const { return Ref::steal(PyObject_GetItem(p(), as_ptr(key))); }
template <class D> Ref Api<D>::str() const { return Ref::steal(PyObject_Str(p())); }
template <class D> Ref Api<D>::repr() const { return Ref::steal(PyObject_Repr(p())); }
template <class D> Ref Api<D>::iter() const { return Ref::steal(PyObject_GetIter(p())); }
template <class D> template <class... A> Ref Api<D>::operator()(const A&... args) const {
    PyObject* argv[sizeof...(A) + 1] = {nullptr, as_ptr(args)...};
    return Ref::steal(PyObject_Vectorcall(p(), argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
template <class D> template <name_literal S, class... A> Ref Api<D>::call_method(const A&... args) const {
    PyObject* argv[sizeof...(A) + 1] = {p(), as_ptr(args)...};
    return Ref::steal(PyObject_VectorcallMethod(id<S>(), argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// next(iterator): the next item, or a null Ref when the iterator is
// exhausted; an error raised by the iterator is thrown.
inline Ref next_item(Handle iterator) {
    Ref item = Ref::steal_or_null(PyIter_Next(iterator.ptr()));
    if (!item && PyErr_Occurred()) throw_error();
    return item;
}

// Range-for over any iterable: `for (Ref item : pf::iterate(obj))`.
class iterate {
public:
    explicit iterate(Handle iterable) : it_(iterable.iter()) {}
    class iterator {
    public:
        explicit iterator(PyObject* it) : it_(it) { advance(); }
        iterator() = default;
        Ref operator*() { return std::move(cur_); }
        iterator& operator++() { advance(); return *this; }
        bool operator!=(const iterator& o) const { return cur_.ptr() != o.cur_.ptr(); }

    private:
        void advance() {
            if (it_) cur_ = next_item(it_);
        }
        PyObject* it_ = nullptr;
        Ref cur_;
    };
    iterator begin() { return iterator(it_.ptr()); }
    iterator end() { return iterator(); }

private:
    Ref it_;
};

// Calls `callable(*args, **kwargs)` from vectors held elsewhere.
inline Ref vectorcall(Handle callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return Ref::steal(PyObject_Vectorcall(callable.ptr(), args, (size_t)nargs, kwnames));
}

// f(*positional, name=value, ...): a call with keyword arguments, the names
// given as interned strings (pf::id<"name">()).
inline Ref call_kw(Handle f, std::initializer_list<Handle> positional,
                   std::initializer_list<std::pair<PyObject*, Handle>> keywords) {
    std::vector<PyObject*> argv;
    argv.reserve(1 + positional.size() + keywords.size());
    argv.push_back(nullptr);  // room for PY_VECTORCALL_ARGUMENTS_OFFSET
    for (Handle h : positional) argv.push_back(h.ptr());
    Ref kwnames = Ref::steal(PyTuple_New((Py_ssize_t)keywords.size()));
    Py_ssize_t i = 0;
    for (const auto& [name, value] : keywords) {
        PyTuple_SET_ITEM(kwnames.ptr(), i++, Py_NewRef(name));
        argv.push_back(value.ptr());
    }
    return vectorcall(f, argv.data() + 1, (Py_ssize_t)positional.size() | (Py_ssize_t)PY_VECTORCALL_ARGUMENTS_OFFSET,
                      kwnames.ptr());
}

// ---------------------------------------------------------------------------
// Tuples and unpacking
// ---------------------------------------------------------------------------

// `t + (item,)` for an exact tuple `t`: a new tuple one item longer.
inline Ref tuple_plus(Handle t, Handle item) {
    Py_ssize_t n = PyTuple_GET_SIZE(t.ptr());
    PyObject* r = PyTuple_New(n + 1);
    if (!r) throw_error();
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(r, i, Py_NewRef(PyTuple_GET_ITEM(t.ptr(), i)));
    PyTuple_SET_ITEM(r, n, Py_NewRef(item.ptr()));
    return Ref::steal(r);
}

// `a, b = obj`: the two parts of an object that unpacks into exactly two,
// with the interpreter's own errors otherwise. A tuple or list (or subclass
// that keeps the built-in iteration) of two items is read directly, as the
// interpreter's specialised unpacking does.
inline std::pair<Ref, Ref> unpack_pair(Handle obj) {
    PyObject* o = obj.ptr();
    if (((PyTuple_Check(o) && Py_TYPE(o)->tp_iter == PyTuple_Type.tp_iter) ||
         (PyList_Check(o) && Py_TYPE(o)->tp_iter == PyList_Type.tp_iter)) &&
        Py_SIZE(o) == 2) {
        PyObject** items = PyTuple_Check(o) ? &PyTuple_GET_ITEM(o, 0) : &PyList_GET_ITEM(o, 0);
        return {Ref::borrow(items[0]), Ref::borrow(items[1])};
    }
    Ref it = Ref::steal_or_null(PyObject_GetIter(o));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(o)->tp_iter && !PySequence_Check(o))
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(o)->tp_name);
        throw_error();
    }
    Ref a = next_item(it);
    if (!a) raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 0)");
    Ref b = next_item(it);
    if (!b) raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 1)");
    if (!next_item(it)) return {std::move(a), std::move(b)};
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o) || PyDict_CheckExact(o)) {
        Py_ssize_t n = PyDict_CheckExact(o) ? PyDict_GET_SIZE(o) : Py_SIZE(o);
        if (n > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
    }
    raise(PyExc_ValueError, "too many values to unpack (expected 2)");
}

// Joins str objects (and literals) into one str.
template <class... A>
Ref concat(const A&... parts) {
    PyUnicodeWriter* w = PyUnicodeWriter_Create(0);
    if (!w) throw_error();
    bool ok = true;
    auto put = [&](const auto& part) {
        if (!ok) return;
        if constexpr (std::is_convertible_v<decltype(part), const char*>)
            ok = PyUnicodeWriter_WriteUTF8(w, part, -1) == 0;
        else
            ok = PyUnicodeWriter_WriteStr(w, as_ptr(part)) == 0;
    };
    (put(parts), ...);
    if (!ok) {
        PyUnicodeWriter_Discard(w);
        throw_error();
    }
    return Ref::steal(PyUnicodeWriter_Finish(w));
}

// ---------------------------------------------------------------------------
// Holders for objects made once per process (classes, imported modules).
// A module of this package is executed once per process, so these are never
// released; they live as long as the module that made them.
// ---------------------------------------------------------------------------

class Class {
public:
    PyObject* ptr() const { return p_; }
    PyTypeObject* type_ptr() const { return reinterpret_cast<PyTypeObject*>(p_); }
    operator Handle() const { return Handle(p_); }
    void set(Ref r) { p_ = r.release(); }

private:
    PyObject* p_ = nullptr;
};
inline PyObject* as_ptr(const Class& c) { return c.ptr(); }

// ---------------------------------------------------------------------------
// Variadic arguments of a call
// ---------------------------------------------------------------------------

// Variadic positional arguments (*args) as a view on the caller's vector.
struct Args {
    PyObject* const* items = nullptr;
    Py_ssize_t size = 0;
    Handle operator[](Py_ssize_t i) const { return Handle(items[i]); }
    Ref to_tuple() const {
        PyObject* t = PyTuple_New(size);
        if (!t) throw_error();
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
        Ref d = pf::dict();
        for (Py_ssize_t i = 0; i < size(); ++i) check(PyDict_SetItem(d.ptr(), PyTuple_GET_ITEM(names, i), values[i]));
        return d;
    }
    // Calls `f(*args, **this)` with one argument vector.
    Ref call(Handle f, Handle first, const Args& args) const;
};

// ---------------------------------------------------------------------------
// super(): the class after `cls` in type(self).__mro__ that defines a name.
// ---------------------------------------------------------------------------

// Finds `name` in the dictionaries of the classes after `cls` in the
// resolution order of `self`'s type. Returns the attribute (new reference)
// and the class that provides it, or a null Ref when no class does.
inline Ref super_lookup_uncached(PyObject* cls, PyObject* self, PyObject* name, PyTypeObject** provider) {
    PyObject* mro = Py_TYPE(self)->tp_mro;
    if (!mro) raise(PyExc_SystemError, "type without __mro__");
    Ref keep = Ref::borrow(mro);
    Py_ssize_t n = PyTuple_GET_SIZE(mro), i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != cls) ++i;
    if (i == n) raise(PyExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");
    for (++i; i < n; ++i) {
        PyTypeObject* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        Ref d = Ref::steal(PyType_GetDict(t));
        PyObject* found = nullptr;
        if (check(PyDict_GetItemRef(d.ptr(), name, &found))) {
            *provider = t;
            return Ref::steal(found);
        }
    }
    *provider = nullptr;
    return Ref();
}

// Results of super_lookup, keyed by the instance's type and its version
// tag: the interpreter gives a type a new tag whenever the type or one of
// its bases changes, so a hit is always current. `cls`, `name` and `found`
// are held so their addresses cannot be reused while an entry names them.
struct SuperCacheEntry {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    PyObject* cls = nullptr;
    PyObject* name = nullptr;
    PyObject* found = nullptr;
    PyTypeObject* provider = nullptr;
};
inline SuperCacheEntry super_cache[256];

inline Ref super_lookup(PyObject* cls, PyObject* self, PyObject* name, PyTypeObject** provider) {
    PyTypeObject* type = Py_TYPE(self);
    if (!PyUnstable_Type_AssignVersionTag(type) || type->tp_version_tag == 0)
        return super_lookup_uncached(cls, self, name, provider);
    auto h = (reinterpret_cast<std::uintptr_t>(type) >> 4) ^ (reinterpret_cast<std::uintptr_t>(name) >> 3) ^
             (reinterpret_cast<std::uintptr_t>(cls) >> 6);
    SuperCacheEntry& e = super_cache[h & 255];
    if (e.type == type && e.version == type->tp_version_tag && e.cls == cls && e.name == name) {
        *provider = e.provider;
        return Ref::borrow(e.found);
    }
    Ref found = super_lookup_uncached(cls, self, name, provider);
    e.type = type;
    e.version = type->tp_version_tag;
    Py_XSETREF(e.cls, Py_NewRef(cls));
    Py_XSETREF(e.name, Py_NewRef(name));
    Py_XSETREF(e.found, Py_XNewRef(found.ptr()));
    e.provider = *provider;
    return found;
}

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
    if (!PyType_HasFeature(Py_TYPE(f.ptr()), Py_TPFLAGS_METHOD_DESCRIPTOR))
        return Ref::steal(PyObject_Vectorcall(bind_to(f, obj).ptr(), args, (size_t)nargs, kwnames));
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
    return Ref::steal(PyObject_Vectorcall(f.ptr(), argv, (size_t)nargs + 1, kwnames));
}

// The zero-argument super() of a method defined in `cls`, for calls on self.
// Where the providing class is a built-in type (dict, list), its slot is
// called directly; otherwise the attribute is bound and called as Python
// would.
class Super {
public:
    Super(PyObject* cls, PyObject* self) : cls_(cls), self_(self) {}

    // super().name (the bound attribute).
    Ref attr(PyObject* name) const {
        PyTypeObject* provider;
        Ref found = super_lookup(cls_, self_, name, &provider);
        if (!found) raise(PyExc_AttributeError, "'super' object has no attribute '%U'", name);
        return bind_to(found, Handle(self_));
    }
    template <name_literal S> Ref attr() const { return attr(id<S>()); }

    // super().name as it stands in the providing class's dictionary
    // (unbound), or a null Ref when no class provides it.
    Ref find(PyObject* name) const {
        PyTypeObject* provider;
        return super_lookup(cls_, self_, name, &provider);
    }
    // The class that provides super().name, or nullptr.
    PyTypeObject* provider(PyObject* name) const {
        PyTypeObject* provider;
        super_lookup(cls_, self_, name, &provider);
        return provider;
    }
    template <name_literal S> PyTypeObject* provider() const { return provider(id<S>()); }

    // super().name(*args, **kw) with vectorcall arguments (self excluded).
    Ref call(PyObject* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
        PyTypeObject* provider;
        Ref found = super_lookup(cls_, self_, name, &provider);
        if (!found) raise(PyExc_AttributeError, "'super' object has no attribute '%U'", name);
        return call_as_method(found, Handle(self_), args, nargs, kwnames);
    }
    template <name_literal S, class... A>
    Ref call(const A&... args) const {
        PyObject* argv[sizeof...(A) + 1] = {as_ptr(args)...};
        return call(id<S>(), argv, (Py_ssize_t)sizeof...(A), nullptr);
    }

    // super().name(*args, **kwargs) forwarding a call's variadic arguments.
    Ref call(PyObject* name, const Args& args, const Kwargs& kwargs) const;

    // super().__init__(*args, **kwargs)
    void init(const Args& args, const Kwargs& kwargs) const;

    // The container slots, fast where a built-in type provides them.
    Ref getitem(Handle key) const {
        if (PyTypeObject* t = builtin_provider(id<"__getitem__">()); t && t->tp_as_mapping && t->tp_as_mapping->mp_subscript)
            return Ref::steal(t->tp_as_mapping->mp_subscript(self_, key.ptr()));
        return call<"__getitem__">(key);
    }
    void setitem(Handle key, Handle value) const {
        if (PyTypeObject* t = builtin_provider(id<"__setitem__">()); t && t->tp_as_mapping && t->tp_as_mapping->mp_ass_subscript) {
            check(t->tp_as_mapping->mp_ass_subscript(self_, key.ptr(), value.ptr()));
            return;
        }
        call<"__setitem__">(key, value);
    }
    void delitem(Handle key) const {
        if (PyTypeObject* t = builtin_provider(id<"__delitem__">()); t && t->tp_as_mapping && t->tp_as_mapping->mp_ass_subscript) {
            check(t->tp_as_mapping->mp_ass_subscript(self_, key.ptr(), nullptr));
            return;
        }
        call<"__delitem__">(key);
    }
    bool contains(Handle key) const {
        if (PyTypeObject* t = builtin_provider(id<"__contains__">()); t && t->tp_as_sequence && t->tp_as_sequence->sq_contains)
            return check(t->tp_as_sequence->sq_contains(self_, key.ptr()));
        return call<"__contains__">(key).truthy();
    }
    Ref repr() const {
        if (PyTypeObject* t = builtin_provider(id<"__repr__">()); t && t->tp_repr)
            return Ref::steal(t->tp_repr(self_));
        return call<"__repr__">();
    }

private:
    // The built-in (static) type that provides `name` next, or nullptr when
    // the provider is a class made in Python or by a module of ours.
    PyTypeObject* builtin_provider(PyObject* name) const {
        PyTypeObject* t = provider(name);
        if (!t) raise(PyExc_AttributeError, "'super' object has no attribute '%U'", name);
        return (t->tp_flags & Py_TPFLAGS_HEAPTYPE) ? nullptr : t;
    }

    PyObject* cls_;
    PyObject* self_;
};

inline Super super(const Class& cls, Handle self) { return Super(cls.ptr(), self.ptr()); }

// ---------------------------------------------------------------------------
// Signatures and argument binding
// ---------------------------------------------------------------------------

// A parameter list in Python syntax, e.g. "self, key, default=None" or
// "cls, value, *, section, key" or "self, *args, **kwargs".
struct Signature {
    std::vector<PyObject*> names;  // positional, then keyword-only (interned)
    std::vector<PyObject*> defaults;  // per name: default or nullptr
    Py_ssize_t npositional = 0;    // positional-or-keyword (and positional-only)
    Py_ssize_t nposonly = 0;
    bool varargs = false;
    bool varkw = false;
    std::string text;              // "(...)" for __text_signature__

    static Signature parse(const char* params);
};

inline Signature Signature::parse(const char* params) {
    Signature s;
    s.text = std::string("(") + params + ")";
    std::string_view rest(params);
    bool kwonly = false;
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view part = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
        while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
        if (part == "/") { s.nposonly = s.npositional; continue; }
        if (part == "*") { kwonly = true; continue; }
        if (part.starts_with("**")) { s.varkw = true; continue; }
        if (part.starts_with("*")) { s.varargs = true; kwonly = true; continue; }
        PyObject* dflt = nullptr;
        if (size_t eq = part.find('='); eq != std::string_view::npos) {
            std::string expr(part.substr(eq + 1));
            Ref globals = dict();
            dflt = check(PyRun_String(expr.c_str(), Py_eval_input, globals.ptr(), globals.ptr()));
            part = part.substr(0, eq);
            while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
        }
        std::string name(part);
        PyObject* n = check(PyUnicode_InternFromString(name.c_str()));
        if (kwonly) {
            s.names.push_back(n);
            s.defaults.push_back(dflt);
        } else {
            s.names.insert(s.names.begin() + s.npositional, n);
            s.defaults.insert(s.defaults.begin() + s.npositional, dflt);
            ++s.npositional;
        }
    }
    return s;
}

// The arguments of one call, bound to a signature.
struct Bound {
    static constexpr Py_ssize_t max_named = 12;
    PyObject* named[max_named] = {};
    Args args;
    Kwargs kwargs;
};

// Binds vectorcall arguments the way the interpreter binds a call of a
// Python function. Returns false when the call does not fit the signature;
// the caller then reports the interpreter's own message (see Function).
inline bool bind(const Signature& sig, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames, Bound& b) {
    Py_ssize_t nnamed = (Py_ssize_t)sig.names.size();
    Py_ssize_t npos = sig.npositional;
    if (nargs > npos) {
        if (!sig.varargs) return false;
        b.args.items = argv + npos;
        b.args.size = nargs - npos;
    }
    Py_ssize_t take = nargs < npos ? nargs : npos;
    for (Py_ssize_t i = 0; i < take; ++i) b.named[i] = argv[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        PyObject* const* kwvalues = argv + nargs;
        bool all_to_varkw = true;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t j = sig.nposonly;
            for (; j < nnamed; ++j)
                if (sig.names[(size_t)j] == key) break;
            if (j == nnamed)
                for (j = sig.nposonly; j < nnamed; ++j)
                    if (PyUnicode_Compare(sig.names[(size_t)j], key) == 0) break;
            if (j < nnamed) {
                if (b.named[j]) return false;
                b.named[j] = kwvalues[k];
                all_to_varkw = false;
            } else if (!sig.varkw) {
                return false;
            }
        }
        if (sig.varkw) {
            if (all_to_varkw) {
                b.kwargs.names = kwnames;
                b.kwargs.values = kwvalues;
            } else {
                b.kwargs.dict = dict();
                for (Py_ssize_t k = 0; k < nkw; ++k) {
                    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                    bool is_named = false;
                    for (Py_ssize_t j = sig.nposonly; j < nnamed; ++j)
                        if (PyUnicode_Compare(sig.names[(size_t)j], key) == 0) is_named = true;
                    if (!is_named) check(PyDict_SetItem(b.kwargs.dict.ptr(), key, kwvalues[k]));
                }
            }
        }
    }
    for (Py_ssize_t j = 0; j < nnamed; ++j) {
        if (b.named[j]) continue;
        if (!sig.defaults[(size_t)j]) return false;
        b.named[j] = sig.defaults[(size_t)j];
    }
    return true;
}

inline Ref Kwargs::call(Handle f, Handle first, const Args& args) const {
    if (dict) {
        Ref t = Ref::steal(PyTuple_New(args.size + (first ? 1 : 0)));
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
    Py_ssize_t nargs = args.size + (first ? 1 : 0);
    return Ref::steal(PyObject_Vectorcall(f.ptr(), argv.data() + 1, (size_t)nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
}

inline Ref Super::call(PyObject* name, const Args& args, const Kwargs& kwargs) const {
    if (kwargs.dict) return kwargs.call(attr(name), Handle(), args);
    Py_ssize_t nkw = kwargs.size();
    std::vector<PyObject*> argv((size_t)(args.size + nkw));
    for (Py_ssize_t i = 0; i < args.size; ++i) argv[(size_t)i] = args.items[i];
    for (Py_ssize_t i = 0; i < nkw; ++i) argv[(size_t)(args.size + i)] = kwargs.values[i];
    return call(name, argv.data(), args.size, kwargs.names);
}

inline void Super::init(const Args& args, const Kwargs& kwargs) const {
    if (PyTypeObject* t = builtin_provider(id<"__init__">()); t && t->tp_init) {
        // The built-in initialiser itself, as its slot wrapper would call it.
        Ref a = args.to_tuple();
        Ref kw = kwargs.size() ? kwargs.to_dict() : Ref();
        check(t->tp_init(self_, a.ptr(), kw.ptr()));
        return;
    }
    call(id<"__init__">(), args, kwargs);
}

// ---------------------------------------------------------------------------
// Function: the function type of module-level functions and methods
// ---------------------------------------------------------------------------

struct FunctionObject;

// What the C++ code of a function may ask about the running call.
struct Ctx {
    FunctionObject* function;
    Handle closure() const;   // the object a call-time function was made with
};

// The static description of one function: name, parameters, docstring and
// the trampoline that binds arguments and calls the C++ implementation.
struct FuncDef {
    const char* name;
    const char* params;
    const char* doc;
    vectorcallfunc call;
    Signature* sig = nullptr;  // parsed on first use, kept for the process

    const Signature& signature() {
        if (!sig) sig = new Signature(Signature::parse(params));
        return *sig;
    }
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FuncDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* closure;
    PyObject* dict;
    PyObject* weaklist;
    PyObject* arg_checker;  // a Python function with the same parameters, made on demand
};

inline Handle Ctx::closure() const { return Handle(function->closure); }

// Reports a call that does not fit the function's parameters with exactly
// the message the interpreter gives for a Python function of the same
// signature and qualified name: such a function is compiled once and called
// with the same arguments.
inline PyObject* argument_error(FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        if (!f->arg_checker) {
            std::string src = "def _f" + f->def->signature().text + ": pass\n";
            Ref ns = dict();
            Ref code = Ref::steal(Py_CompileString(src.c_str(), "<signature>", Py_file_input));
            Ref done = Ref::steal(PyEval_EvalCode(code.ptr(), ns.ptr(), ns.ptr()));
            Ref fn = ns.item(str("_f"));
            fn.setattr<"__qualname__">(Handle(f->qualname));
            fn.setattr<"__name__">(Handle(f->name));
            f->arg_checker = fn.release();
        }
        Ref r = Ref::steal(PyObject_Vectorcall(f->arg_checker, args, nargsf, kwnames));
        raise(PyExc_SystemError, "%U(): arguments rejected but accepted by the signature", f->qualname);
    });
}

namespace detail {

struct ArgSource {
    FunctionObject* f;
    Bound& b;
    Py_ssize_t next = 0;
    template <class T> T get() {
        if constexpr (std::is_same_v<T, Ctx>) return Ctx{f};
        else if constexpr (std::is_same_v<T, Handle>) return Handle(b.named[next++]);
        else if constexpr (std::is_same_v<T, Args>) return b.args;
        else if constexpr (std::is_same_v<T, const Kwargs&>) return b.kwargs;
        else static_assert(sizeof(T) == 0, "parameter types are Ctx, Handle, Args and const Kwargs&");
    }
};

template <class T> constexpr int named_count = std::is_same_v<T, Handle> ? 1 : 0;
template <class T> constexpr bool is_args = std::is_same_v<T, Args>;
template <class T> constexpr bool is_kwargs = std::is_same_v<T, const Kwargs&>;

template <class Sig> struct traits;
template <class R, class... P> struct traits<R (*)(P...)> {
    using result = R;
    using params = std::tuple<P...>;
    static constexpr int named = (0 + ... + named_count<P>);
    static constexpr bool varargs = (false || ... || is_args<P>);
    static constexpr bool varkw = (false || ... || is_kwargs<P>);
};

template <auto F>
PyObject* trampoline(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Bound b;
    bool ok = guard_or(false, [&] { return bind(f->def->signature(), args, nargs, kwnames, b); });
    if (!ok) {
        if (PyErr_Occurred()) return nullptr;
        return argument_error(f, args, nargsf, kwnames);
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = guard([&]() -> PyObject* {
        using T = traits<decltype(F)>;
        ArgSource src{f, b};
        return std::apply(
            [](auto&&... a) -> PyObject* {
                if constexpr (std::is_void_v<typename T::result>) {
                    F(std::forward<decltype(a)>(a)...);
                    return Py_NewRef(Py_None);
                } else if constexpr (std::is_same_v<typename T::result, bool>) {
                    return Py_NewRef(F(std::forward<decltype(a)>(a)...) ? Py_True : Py_False);
                } else {
                    return F(std::forward<decltype(a)>(a)...).release();
                }
            },
            [&]<class... P>(std::tuple<P...>*) { return std::tuple<P...>{src.template get<P>()...}; }(
                static_cast<typename T::params*>(nullptr)));
    });
    Py_LeaveRecursiveCall();
    return result;
}

}  // namespace detail

// Describes a function implemented by F with the given Python parameters.
// F takes, in order: an optional Ctx, one Handle per named parameter, Args
// for *args and const Kwargs& for **kwargs; it returns Ref, bool or void
// (None).
template <auto F>
FuncDef* def(const char* name, const char* params, const char* doc = nullptr) {
    auto* d = new FuncDef{name, params, doc, &detail::trampoline<F>};
    using T = detail::traits<decltype(F)>;
    const Signature& s = d->signature();
    if ((Py_ssize_t)s.names.size() != T::named || s.varargs != T::varargs || s.varkw != T::varkw ||
        T::named > Bound::max_named)
        raise(PyExc_SystemError, "%s(%s): parameters do not match the C++ implementation", name, params);
    return d;
}

// __name__ and __qualname__ of functions and generators: writable, str only.
template <class T, PyObject* T::*Field>
PyObject* get_name_attr(PyObject* o, void*) {
    return Py_NewRef(reinterpret_cast<T*>(o)->*Field);
}
template <class T, PyObject* T::*Field>
int set_name_attr(PyObject* o, PyObject* v, void* attr) {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", static_cast<const char*>(attr));
        return -1;
    }
    Py_SETREF(reinterpret_cast<T*>(o)->*Field, Py_NewRef(v));
    return 0;
}
template <class T, PyObject* T::*Field>
constexpr PyGetSetDef name_attr(const char* name) {
    return {name, get_name_attr<T, Field>, set_name_attr<T, Field>, nullptr, const_cast<char*>(name)};
}

inline PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline int function_traverse(PyObject* o, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(o);
    Py_VISIT(f->closure);
    Py_VISIT(f->dict);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->arg_checker);
    return 0;
}
inline int function_clear(PyObject* o) {
    auto* f = reinterpret_cast<FunctionObject*>(o);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->arg_checker);
    return 0;
}
inline void function_dealloc(PyObject* o) {
    auto* f = reinterpret_cast<FunctionObject*>(o);
    PyObject_GC_UnTrack(o);
    if (f->weaklist) PyObject_ClearWeakRefs(o);
    function_clear(o);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->module);
    PyObject_GC_Del(o);
}
inline PyObject* function_repr(PyObject* o) {
    auto* f = reinterpret_cast<FunctionObject*>(o);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, o);
}
inline PyObject* function_reduce(PyObject* o, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(o)->qualname);
}
inline PyObject* function_text_signature(PyObject* o, void*) {
    return guard([&] { return str(reinterpret_cast<FunctionObject*>(o)->def->signature().text).release(); });
}
inline PyMemberDef function_members[] = {
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), 0, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
inline PyGetSetDef function_getset[] = {
    name_attr<FunctionObject, &FunctionObject::name>("__name__"),
    name_attr<FunctionObject, &FunctionObject::qualname>("__qualname__"),
    {"__text_signature__", function_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
inline PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The member tables below leave their unused fields zero on purpose.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

inline PyTypeObject FunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vornal.datastructures.function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_setattro = PyObject_GenericSetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_doc = "A function of vornal.datastructures, implemented in C++.",
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_weaklistoffset = offsetof(FunctionObject, weaklist),
    .tp_methods = function_methods,
    .tp_members = function_members,
    .tp_getset = function_getset,
    .tp_descr_get = function_get,
    .tp_dictoffset = offsetof(FunctionObject, dict),
};

#pragma GCC diagnostic pop

// Makes a function object. `qualname` defaults to the name; `closure` is
// handed to the implementation through Ctx.
inline Ref make_function(FuncDef* def, PyObject* module_name, const char* qualname = nullptr,
                         Handle closure = Handle()) {
    def->signature();  // parse now: a bad parameter list fails at import
    auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) throw_error();
    f->vectorcall = def->call;
    f->def = def;
    f->name = f->qualname = f->doc = f->closure = f->dict = f->weaklist = f->arg_checker = nullptr;
    f->module = Py_XNewRef(module_name);
    Ref fn = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->name = check(PyUnicode_FromString(def->name));
    f->qualname = check(PyUnicode_FromString(qualname ? qualname : def->name));
    f->doc = def->doc ? check(PyUnicode_FromString(def->doc)) : Py_NewRef(Py_None);
    f->closure = Py_XNewRef(closure.ptr());
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return fn;
}

// ---------------------------------------------------------------------------
// Generator: a lazy iterator written in C++ with the generator protocol
// ---------------------------------------------------------------------------

// The body of a generator. next() returns the next item, or a null Ref when
// the walk is over; it may throw pf::error. Objects the body holds are
// reported by visit() so that the cycle collector sees them.
struct GenBody {
    virtual ~GenBody() = default;
    virtual Ref next() = 0;
    virtual int visit(visitproc, void*) { return 0; }
};

struct GeneratorObject {
    PyObject_HEAD
    GenBody* body;  // nullptr once finished or closed
    PyObject* name;
    PyObject* qualname;
    PyObject* weaklist;
    bool started;
    bool running;
};

inline void generator_finish(GeneratorObject* g) {
    delete std::exchange(g->body, nullptr);
}

// A StopIteration escaping the body would look like the generator's end to
// whoever iterates it. As in a Python generator (PEP 479) it becomes a
// RuntimeError whose cause and context are the StopIteration.
inline void generator_stop_to_runtime_error() {
    PyObject* stop = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    PyObject* exc = PyErr_GetRaisedException();
    PyException_SetCause(exc, Py_NewRef(stop));
    PyException_SetContext(exc, stop);
    PyErr_SetRaisedException(exc);
}

inline PyObject* generator_next(PyObject* o) {
    auto* g = reinterpret_cast<GeneratorObject*>(o);
    if (!g->body) return nullptr;
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    g->started = g->running = true;
    PyObject* item = guard([&] { return g->body->next().release(); });
    g->running = false;
    if (!item) {
        generator_finish(g);  // exhausted or failed: a finished generator stays finished
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) generator_stop_to_runtime_error();
    }
    return item;
}
inline PyObject* generator_send(PyObject* o, PyObject* value) {
    auto* g = reinterpret_cast<GeneratorObject*>(o);
    if (!g->started && g->body && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* item = generator_next(o);
    if (!item && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return item;
}
// throw(value) or the deprecated throw(type[, value[, traceback]]): the
// exception is raised where the generator is suspended; nothing in a C++
// generator handles it, so the generator finishes and the exception
// propagates.
inline PyObject* generator_throw(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    auto* g = reinterpret_cast<GeneratorObject*>(o);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        if (nargs > 3) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        }
        return nullptr;
    }
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.", 1) < 0)
        return nullptr;
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    if (PyExceptionClass_Check(typ)) {
        PyErr_SetObject(typ, val);
    } else if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(typ)), typ);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb != Py_None) {
        PyObject* exc = PyErr_GetRaisedException();
        PyException_SetTraceback(exc, tb);
        PyErr_SetRaisedException(exc);
    }
    generator_finish(g);
    return nullptr;
}
inline PyObject* generator_close(PyObject* o, PyObject*) {
    auto* g = reinterpret_cast<GeneratorObject*>(o);
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    generator_finish(g);
    Py_RETURN_NONE;
}
inline int generator_traverse(PyObject* o, visitproc visit, void* arg) {
    auto* g = reinterpret_cast<GeneratorObject*>(o);
    return g->body ? g->body->visit(visit, arg) : 0;
}
inline int generator_clear(PyObject* o) {
    auto* g = reinterpret_cast<GeneratorObject*>(o);
    if (!g->running) generator_finish(g);
    return 0;
}
inline void generator_dealloc(PyObject* o) {
    auto* g = reinterpret_cast<GeneratorObject*>(o);
    PyObject_GC_UnTrack(o);
    if (g->weaklist) PyObject_ClearWeakRefs(o);
    generator_finish(g);
    Py_XDECREF(g->name);
    Py_XDECREF(g->qualname);
    PyObject_GC_Del(o);
}
inline PyObject* generator_repr(PyObject* o) {
    return PyUnicode_FromFormat("<generator object %U at %p>", reinterpret_cast<GeneratorObject*>(o)->qualname, o);
}
inline PyObject* generator_running(PyObject* o, void*) {
    return PyBool_FromLong(reinterpret_cast<GeneratorObject*>(o)->running);
}
inline PyObject* generator_suspended(PyObject* o, void*) {
    auto* g = reinterpret_cast<GeneratorObject*>(o);
    return PyBool_FromLong(g->started && g->body && !g->running);
}
inline PyObject* generator_none(PyObject*, void*) { Py_RETURN_NONE; }

inline PyMethodDef generator_methods[] = {
    {"send", generator_send, METH_O, "send(value) -> send 'value' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generator_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded value or raise\nStopIteration."},
    {"close", generator_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};
inline PyGetSetDef generator_getset[] = {
    name_attr<GeneratorObject, &GeneratorObject::name>("__name__"),
    name_attr<GeneratorObject, &GeneratorObject::qualname>("__qualname__"),
    {"gi_running", generator_running, nullptr, nullptr, nullptr},
    {"gi_suspended", generator_suspended, nullptr, nullptr, nullptr},
    {"gi_frame", generator_none, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", generator_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
inline PyTypeObject GeneratorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vornal.datastructures.generator",
    .tp_basicsize = sizeof(GeneratorObject),
    .tp_dealloc = generator_dealloc,
    .tp_repr = generator_repr,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_doc = "A generator of vornal.datastructures, implemented in C++.",
    .tp_traverse = generator_traverse,
    .tp_clear = generator_clear,
    .tp_weaklistoffset = offsetof(GeneratorObject, weaklist),
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = generator_next,
    .tp_methods = generator_methods,
    .tp_getset = generator_getset,
};

#pragma GCC diagnostic pop

// Makes a generator object that runs `body`, named like the generator
// function that made it.
inline Ref make_generator(std::unique_ptr<GenBody> body, Ctx ctx) {
    auto* g = PyObject_GC_New(GeneratorObject, &GeneratorType);
    if (!g) throw_error();
    g->body = body.release();
    g->name = Py_NewRef(ctx.function->name);
    g->qualname = Py_NewRef(ctx.function->qualname);
    g->weaklist = nullptr;
    g->started = g->running = false;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(g));
    return Ref::steal(reinterpret_cast<PyObject*>(g));
}

// ---------------------------------------------------------------------------
// Module frame
// ---------------------------------------------------------------------------

// The module this extension executed into (one per process).
struct ModuleState {
    const char* short_name = nullptr;
    PyObject* module = nullptr;    // the created module (kept once made)
    PyObject* globals = nullptr;   // its namespace
    PyObject* full_name = nullptr;
    int64_t interpreter = -1;
    bool executed = false;
};
inline ModuleState module_state;

// A module-level name, looked up when the code runs (then the builtins).
inline Ref global(PyObject* name) {
    PyObject* v = nullptr;
    if (check(PyDict_GetItemRef(module_state.globals, name, &v))) return Ref::steal(v);
    if (check(PyDict_GetItemRef(PyEval_GetBuiltins(), name, &v)))
        return Ref::steal(v);
    raise(PyExc_NameError, "name '%U' is not defined", name);
}
template <name_literal S> Ref global() { return global(id<S>()); }

// `import name` following the package convention: first relative to the
// package (vornal.datastructures.name), then top-level. Returns the module.
inline Ref import_module(const char* name) {
    Ref modname = str(name);
    Ref fromlist = tuple(id<"__name__">());  // any attribute every module has: returns the leaf module
    PyObject* m = PyImport_ImportModuleLevelObject(modname.ptr(), module_state.globals, nullptr, fromlist.ptr(), 1);
    if (m) return Ref::steal(m);
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw_error();
    PyErr_Clear();
    return Ref::steal(PyImport_ImportModuleLevelObject(modname.ptr(), module_state.globals, nullptr, fromlist.ptr(), 0));
}
// `import name`, binding the top-level package name in the module namespace.
inline Ref import(const char* name) {
    Ref mod = import_module(name);
    std::string_view n(name);
    std::string top(n.substr(0, n.find('.')));
    Ref bound = n.find('.') == std::string_view::npos ? mod : import_module(top.c_str());
    check(PyDict_SetItemString(module_state.globals, top.c_str(), bound.ptr()));
    return mod;
}
// Binds `name` from `mod` in the module namespace (the `from ... import`).
inline void bind_from(Handle mod, const char* name) {
    Ref attr_name = str(name);
    PyObject* v = nullptr;
    if (!check(PyObject_GetOptionalAttr(mod.ptr(), attr_name.ptr(), &v)))
        raise(PyExc_ImportError, "cannot import name '%s' from '%U'", name, mod.attr<"__name__">().ptr());
    Ref value = Ref::steal(v);
    check(PyDict_SetItem(module_state.globals, attr_name.ptr(), value.ptr()));
}
// `from module import a, b`, binding each name in the module namespace.
inline void import_from(const char* module, std::initializer_list<const char*> names) {
    Ref mod = import_module(module);
    for (const char* name : names) bind_from(mod, name);
}
// `from .module import a, b` (explicitly relative to the package).
inline void import_relative(const char* module, std::initializer_list<const char*> names) {
    Ref modname = str(module);
    Ref fromlist = tuple(id<"__name__">());
    Ref mod = Ref::steal(PyImport_ImportModuleLevelObject(modname.ptr(), module_state.globals, nullptr, fromlist.ptr(), 1));
    for (const char* name : names) bind_from(mod, name);
}
// Binds `name = value` in the module namespace.
inline void bind_global(const char* name, Handle value) {
    check(PyDict_SetItemString(module_state.globals, name, value.ptr()));
}
inline PyObject* module_name() { return module_state.full_name; }

// A module-level function of this module.
inline Ref function(FuncDef* def) { return make_function(def, module_name()); }

// ---------------------------------------------------------------------------
// Classes, made the way a class statement makes them
// ---------------------------------------------------------------------------

class ClassDef {
public:
    ClassDef(const char* name, const char* doc = nullptr) : name_(name), doc_(doc) {}

    ClassDef& bases(std::initializer_list<Handle> bases) {
        for (Handle b : bases) bases_.push_back(Ref::borrow(b));
        return *this;
    }
    // def name(...): an instance method.
    ClassDef& method(FuncDef* def) { return entry(def, Kind::plain); }
    // @staticmethod / @classmethod
    ClassDef& staticmethod(FuncDef* def) { return entry(def, Kind::static_); }
    ClassDef& classmethod(FuncDef* def) { return entry(def, Kind::class_); }
    // name = value in the class body.
    ClassDef& attr(const char* name, Ref value) {
        body_.push_back({name, nullptr, Kind::plain, std::move(value)});
        return *this;
    }

    // Calls the metaclass of the bases with (name, bases, namespace).
    Ref build() const {
        Ref bases = Ref::steal(PyTuple_New((Py_ssize_t)bases_.size()));
        for (size_t i = 0; i < bases_.size(); ++i)
            PyTuple_SET_ITEM(bases.ptr(), (Py_ssize_t)i, Ref(bases_[i]).release());
        if (bases_.empty()) bases = tuple(&PyBaseObject_Type);
        Ref meta = metaclass(bases);
        Ref name = str(name_);
        Ref ns = meta.attr<"__prepare__">()(name, bases);
        ns.set_item(id<"__module__">(), Handle(module_name()));
        ns.set_item(id<"__qualname__">(), name);
        if (doc_) ns.set_item(id<"__doc__">(), str(doc_));
        for (const Entry& e : body_) {
            Ref value = e.value;
            if (e.def) {
                std::string qual = std::string(name_) + "." + e.def->name;
                value = make_function(e.def, module_name(), qual.c_str());
                if (e.kind == Kind::static_) value = Ref::steal(PyStaticMethod_New(value.ptr()));
                if (e.kind == Kind::class_) value = Ref::steal(PyClassMethod_New(value.ptr()));
            }
            ns.set_item(str(e.name), value);
        }
        return meta(name, bases, ns);
    }

private:
    enum class Kind { plain, static_, class_ };
    struct Entry {
        const char* name;
        FuncDef* def;
        Kind kind;
        Ref value;
    };
    ClassDef& entry(FuncDef* def, Kind kind) {
        body_.push_back({def->name, def, kind, Ref()});
        return *this;
    }
    // The most derived metaclass of the bases, as a class statement finds it.
    static Ref metaclass(Handle bases) {
        PyTypeObject* winner = &PyType_Type;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases.ptr()); ++i) {
            PyTypeObject* mt = Py_TYPE(PyTuple_GET_ITEM(bases.ptr(), i));
            if (PyType_IsSubtype(winner, mt)) continue;
            if (PyType_IsSubtype(mt, winner)) { winner = mt; continue; }
            raise(PyExc_TypeError,
                  "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
                  "metaclasses of all its bases");
        }
        return Ref::borrow(reinterpret_cast<PyObject*>(winner));
    }

    const char* name_;
    const char* doc_;
    std::vector<Ref> bases_;
    std::vector<Entry> body_;
};

// Builds the class and binds it in the module namespace under its name.
inline void define_class(Class& holder, const char* name, const ClassDef& def) {
    Ref cls = def.build();
    bind_global(name, cls);
    holder.set(std::move(cls));
}

// ---------------------------------------------------------------------------
// Methods looked up on the type; per-class memos; recursion; the handled exception
// ---------------------------------------------------------------------------

// The attribute `name` as the class `type` and its bases define it (the
// instance is not consulted), or a null Ref. Uses the interpreter's method
// cache; sets no error when the name is absent.
inline Ref type_lookup(PyTypeObject* type, PyObject* name) {
    return Ref::steal_or_null(_PyType_LookupRef(type, name));
}
template <name_literal S> Ref type_lookup(PyTypeObject* type) { return type_lookup(type, id<S>()); }

// True when `o` is a function object of this module implemented by F. Module
// code uses it to call F directly while a class still uses its own method,
// and to take the ordinary call when a subclass overrides it.
template <auto F>
bool is_impl(PyObject* o) {
    return o && Py_IS_TYPE(o, &FunctionType) &&
           reinterpret_cast<FunctionObject*>(o)->def->call == &detail::trampoline<F>;
}

// Calls `f`, an attribute found on type(obj), as a method of obj: functions
// get obj prepended, other descriptors are bound first, plain values are
// called as they are.
template <class... A>
Ref call_unbound(Handle f, Handle obj, const A&... args) {
    PyObject* argv[sizeof...(A) + 1] = {as_ptr(args)...};
    return call_as_method(f, obj, argv, (Py_ssize_t)sizeof...(A), nullptr);
}
inline Ref call_unbound(Handle f, Handle obj, const Args& args, const Kwargs& kwargs) {
    if (PyType_HasFeature(Py_TYPE(f.ptr()), Py_TPFLAGS_METHOD_DESCRIPTOR)) return kwargs.call(f, obj, args);
    return kwargs.call(bind_to(f, obj), Handle(), args);
}

// obj.name(...) with `name` looked up on type(obj), the way the interpreter
// looks up special methods: nothing stored in the instance's own namespace
// (for a dict that is its own namespace: any key) can hide the method, while
// overrides in subclasses still apply. When the type has no such attribute,
// the ordinary lookup is used, which finds instance-only callables or raises
// the interpreter's own AttributeError.
template <name_literal S, class... A>
Ref call_type_method(Handle obj, const A&... args) {
    Ref f = type_lookup<S>(obj.type());
    if (!f) return obj.template call_method<S>(args...);
    return call_unbound(f, obj, args...);
}
template <name_literal S>
Ref call_type_method(Handle obj, const Args& args, const Kwargs& kwargs) {
    if (Ref f = type_lookup<S>(obj.type())) return call_unbound(f, obj, args, kwargs);
    return kwargs.call(obj.attr<S>(), Handle(), args);
}

// Facts about a class that hold until the class or one of its bases
// changes, memoised per class. The interpreter gives a class a new version
// tag on every such change (the tag its own method cache relies on) and
// never reuses a tag, so an entry is current while the tag matches. For a
// class that gets no tag the facts are worked out on every call.
template <class T, std::size_t N = 4>
class TypeMemo {
public:
    template <class F>
    T get(PyTypeObject* type, F&& compute) {
        if (!PyUnstable_Type_AssignVersionTag(type)) return compute();
        unsigned int tag = type->tp_version_tag;
        for (const Entry& e : entries_)
            if (e.type == type && e.tag == tag) return e.value;
        T value = compute();
        if (type->tp_version_tag == tag) entries_[next_++ % N] = Entry{type, tag, value};
        return value;
    }

private:
    struct Entry {
        PyTypeObject* type = nullptr;  // compared, never dereferenced
        unsigned int tag = 0;
        T value{};
    };
    Entry entries_[N];
    std::size_t next_ = 0;
};

// The position of `t` among the exact built-in value types, or -1. Their
// instances report their own type as __class__ and they cannot be changed,
// so isinstance() against a plain class is a type check and an ABC's answer
// for them changes only through registration.
inline int builtin_value_slot(PyTypeObject* t) {
    static PyTypeObject* const types[] = {
        &PyLong_Type,  &PyBool_Type,      &PyFloat_Type,    &PyComplex_Type, &PyUnicode_Type,
        &PyBytes_Type, &PyByteArray_Type, Py_TYPE(Py_None), &PyList_Type,    &PyTuple_Type,
        &PySet_Type,   &PyFrozenSet_Type, &PyDict_Type};
    for (int i = 0; i < (int)std::size(types); ++i)
        if (types[i] == t) return i;
    return -1;
}

// isinstance(obj, abc) for an abstract base class (collections.abc.Mapping
// and the like), memoised for objects of exact built-in types. For such a
// type the ABC machinery's answer changes only when a class is registered
// with some ABC (the abc module's cache token changes) or when the ABC or
// its metaclass is modified (their version tags change); the memo is
// dropped on either. Objects of other types, and a `cls` other than the ABC
// given to set(), take the ordinary isinstance.
class AbcCheck {
public:
    // The ABC as the module imported it.
    void set(Handle abc) {
        abc_.set(Ref::borrow(abc));
        Ref mod = Ref::steal_or_null(PyImport_ImportModule("_abc"));
        Ref get_token = mod ? Ref::steal_or_null(PyObject_GetAttrString(mod.ptr(), "get_cache_token")) : Ref();
        if (get_token) get_token_.set(std::move(get_token));
        PyErr_Clear();  // without the C accelerator there is no memo, only isinstance
    }
    // Whether `cls` is the ABC given to set().
    bool is(Handle cls) const { return cls.is(abc_); }

    // isinstance(obj, cls); `cls` is what the module's name holds now.
    bool isinstance(Handle obj, Handle cls) {
        int slot = builtin_value_slot(obj.type());
        if (slot < 0 || !cls.is(abc_) || !current()) return obj.isinstance(cls);
        uint32_t bit = 1u << slot;
        if (known_ & bit) return positive_ & bit;
        bool result = obj.isinstance(cls);
        if (current()) {  // nothing was registered meanwhile
            known_ |= bit;
            if (result) positive_ |= bit;
        }
        return result;
    }

private:
    // Whether the memo still holds; clears it when something changed.
    bool current() {
        if (!get_token_.ptr()) return false;
        PyTypeObject* abc = abc_.type_ptr();
        PyTypeObject* meta = Py_TYPE(abc_.ptr());
        if (!PyUnstable_Type_AssignVersionTag(abc) || !PyUnstable_Type_AssignVersionTag(meta)) return false;
        Ref value = Ref::steal(PyObject_CallNoArgs(get_token_.ptr()));
        long long token = PyLong_AsLongLong(value.ptr());
        if (token == -1 && PyErr_Occurred()) throw_error();
        if (token != token_ || abc->tp_version_tag != abc_tag_ || meta->tp_version_tag != meta_tag_) {
            token_ = token;
            abc_tag_ = abc->tp_version_tag;
            meta_tag_ = meta->tp_version_tag;
            known_ = positive_ = 0;
        }
        return true;
    }

    Class abc_;
    Class get_token_;
    long long token_ = -1;
    unsigned int abc_tag_ = 0, meta_tag_ = 0;
    uint32_t known_ = 0, positive_ = 0;  // bits by builtin_value_slot
};

// A C++ recursion that does not pass through the interpreter's calls: raises
// RecursionError where the interpreter would instead of exhausting the stack.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// While alive, makes `exc` the exception being handled, as inside an
// `except` block: sys.exception() (and so logging's exception()) reports it
// and exceptions raised meanwhile get it as their __context__. The
// previously handled exception is put back at the end.
class Handling {
public:
    explicit Handling(Handle exc) : previous_(Ref::steal_or_null(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc.ptr());
    }
    ~Handling() { PyErr_SetHandledException(previous_.ptr()); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    Ref previous_;
};

// ---------------------------------------------------------------------------
// Module definition (PF_MODULE)
// ---------------------------------------------------------------------------

inline int copy_spec_attr(PyObject* spec, PyObject* module, const char* from, const char* to, bool allow_none) {
    PyObject* value = nullptr;
    int rc = PyObject_GetOptionalAttrString(spec, from, &value);
    if (rc < 0) return -1;
    if (rc == 0) return 0;
    if (value == Py_None && !allow_none) {
        Py_DECREF(value);
        return 0;
    }
    rc = PyObject_SetAttrString(module, to, value);
    Py_DECREF(value);
    return rc;
}

// Py_mod_create: one interpreter per process; the module made once.
inline PyObject* module_create(PyObject* spec, PyModuleDef*) {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (module_state.interpreter == -1) {
        module_state.interpreter = current;
    } else if (current != module_state.interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (module_state.module) return Py_NewRef(module_state.module);
    PyObject* module = PyModule_NewObject(module_state.full_name);
    if (!module) return nullptr;
    PyObject* d = PyModule_GetDict(module);
    if (copy_spec_attr(spec, module, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, module, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, module, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, module, "submodule_search_locations", "__path__", false) < 0 || !d) {
        Py_DECREF(module);
        return nullptr;
    }
    module_state.module = Py_NewRef(module);
    return module;
}

// Py_mod_exec: runs the module body once, for the module made above.
inline int module_exec(PyObject* module, void (*body)()) {
    if (module_state.executed) {
        if (module == module_state.module) return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     module_state.short_name);
        return -1;
    }
    unsigned long runtime = Py_Version;
    int major = (int)((runtime >> 24) & 0xff), minor = (int)((runtime >> 16) & 0xff);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        char msg[200];
        PyOS_snprintf(msg, sizeof msg, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                      PY_MAJOR_VERSION, PY_MINOR_VERSION, PyUnicode_AsUTF8(module_state.full_name), "does not match",
                      major, minor);
        if (PyErr_WarnEx(nullptr, msg, 1) < 0) return -1;
    }
    module_state.globals = PyModule_GetDict(module);
    return guard_or(-1, [&] {
        if (PyType_Ready(&FunctionType) < 0 || PyType_Ready(&GeneratorType) < 0) throw_error();
        Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
        abc.attr<"Generator">().call_method<"register">(Handle(&GeneratorType));
        body();
        module_state.executed = true;
        return 0;
    });
}

}  // namespace pf

// Defines PyInit_<name> for a module whose body is `body` (a void()).
#define PF_MODULE(NAME, BODY)                                                                        \
    static int pf_exec_##NAME(PyObject* m) { return pf::module_exec(m, BODY); }                      \
    static PyModuleDef_Slot pf_slots_##NAME[] = {                                                     \
        {Py_mod_create, reinterpret_cast<void*>(pf::module_create)},                                  \
        {Py_mod_exec, reinterpret_cast<void*>(pf_exec_##NAME)},                                       \
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},                         \
        {Py_mod_gil, Py_MOD_GIL_USED},                                                                \
        {0, nullptr}};                                                                                \
    static PyModuleDef pf_def_##NAME = {                                                              \
        PyModuleDef_HEAD_INIT, "vornal.datastructures." #NAME, nullptr, 0, nullptr, pf_slots_##NAME,  \
        nullptr, nullptr, nullptr};                                                                   \
    PyMODINIT_FUNC PyInit_##NAME() {                                                                  \
        pf::module_state.short_name = #NAME;                                                          \
        if (!pf::module_state.full_name)                                                              \
            pf::module_state.full_name = PyUnicode_InternFromString("vornal.datastructures." #NAME);  \
        if (!pf::module_state.full_name) return nullptr;                                              \
        return PyModuleDef_Init(&pf_def_##NAME);                                                      \
    }
