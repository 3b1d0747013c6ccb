// pyframe/api/refs.hpp: the failure values, interned names, references and the
// everyday operations on objects.
//
// A call that fails leaves the Python exception in the interpreter's error
// indicator and returns a failure value, as CPython's own C code does:
//   Ref        a null reference;
//   Status     the result of a call that gives nothing back;
//   Result<T>  a value that is not an object (bool, size, a pair of refs).
// The macros TRY, TRY_LET and TRY_NEXT (below) pass a failure on to the
// caller of the enclosing function. Nothing here throws a C++ exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "portable.hpp"

#include <cassert>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace pf {

// ---------------------------------------------------------------------------
// Failure values
// ---------------------------------------------------------------------------

// `return failure;` from any function returning Ref, Status or Result<T>:
// the exception is already in the error indicator.
struct [[nodiscard]] Failure {};
inline constexpr Failure failure{};

// The outcome of a call that gives nothing back.
class [[nodiscard]] Status {
public:
    constexpr Status(Failure) noexcept : ok_(false) {}
    static constexpr Status success() noexcept { return Status(true); }
    constexpr bool succeeded() const noexcept { return ok_; }

private:
    constexpr explicit Status(bool ok) noexcept : ok_(ok) {}
    bool ok_;
};
inline constexpr Status ok = Status::success();

// A C API status code (negative: failed) as a Status.
inline Status status(int rc) noexcept { return rc < 0 ? Status(failure) : ok; }

// A value that is not an object, or a failure.
template <class T>
class [[nodiscard]] Result {
public:
    Result(Failure) noexcept {}
    Result(T&& value) : value_(std::move(value)), ok_(true) {}
    Result(const T& value) : value_(value), ok_(true) {}
    // A C API answer such as PyObject_IsTrue()'s -1/0/1 must go through
    // truth(): an int never becomes a Result<bool> by itself.
    template <class U>
        requires(std::is_same_v<T, bool> && std::is_integral_v<U> && !std::is_same_v<U, bool>)
    Result(U) = delete;

    bool succeeded() const noexcept { return ok_; }
    T& value() & { return value_; }
    T&& value() && { return std::move(value_); }

private:
    T value_{};
    bool ok_ = false;
};

// A C API answer -1 (failed), 0 (false) or 1 (true).
inline Result<bool> truth(int rc) noexcept {
    if (rc < 0) return failure;
    return rc != 0;
}

class Ref;
inline bool succeeded(const Ref& r) noexcept;
inline bool succeeded(Status s) noexcept { return s.succeeded(); }
template <class T> bool succeeded(const Result<T>& r) noexcept { return r.succeeded(); }
inline void unwrap(Status) noexcept {}
template <class T> T unwrap(Result<T>&& r) { return std::move(r).value(); }
template <class T> T unwrap(Result<T>& r) { return r.value(); }

}  // namespace pf

// Passing failures on. Each macro is a statement (they are standard C++, so
// none can stand inside an expression): a condition or an argument that can
// fail is computed by a TRY_LET just before it.
//
//   TRY(expr);               when expr failed, the enclosing function returns
//                            pf::failure; a value it gives is dropped.
//   TRY_LET(target, expr);   the same, and the value of expr (a Ref, or the
//                            T of a Result<T>) goes into `target`: a
//                            declaration (`Ref cls`, `bool found`, `auto pair`)
//                            or an lvalue. The expression comes last, so
//                            commas in it need no parentheses.
//   TRY_NEXT(it, item);      inside a loop: next(it, item), returning its
//                            failure and leaving the loop (break) when the
//                            iterator is exhausted:
//                                for (Ref item;;) { TRY_NEXT(it, item); ... }
//
// TRY is a single statement, safe under an `if` or `else` without braces.
// TRY_NEXT is one too, but its `break` must reach the loop: it stands
// directly in the loop's body, first as a rule. TRY_LET declares its target
// in the enclosing scope, so it is several statements: under an `if` it
// needs braces (without them it does not compile). Its temporary is named
// after the line, so two TRY_LETs need two lines.
#define TRY(...)                                                                          \
    do {                                                                                  \
        if (auto&& pf_try_ = (__VA_ARGS__); !::pf::succeeded(pf_try_)) return ::pf::failure; \
    } while (0)

#define PF_CONCAT_(a, b) a##b
#define PF_CONCAT(a, b) PF_CONCAT_(a, b)
#define PF_TRY_TEMP PF_CONCAT(pf_try_, __LINE__)

#define TRY_LET(target, ...)                                     \
    auto&& PF_TRY_TEMP = (__VA_ARGS__);                          \
    if (!::pf::succeeded(PF_TRY_TEMP)) return ::pf::failure;     \
    target = ::pf::unwrap(static_cast<decltype(PF_TRY_TEMP)&&>(PF_TRY_TEMP))

#define TRY_NEXT(iterator, item)                                                                 \
    if (::pf::Result<bool> pf_try_ = ::pf::next(iterator, item); !pf_try_.succeeded()) return ::pf::failure; \
    else if (!pf_try_.value()) break;                                                           \
    else (void)0

namespace pf {

// ---------------------------------------------------------------------------
// Interned names: pf::id<"update">() is an interned str.
// ---------------------------------------------------------------------------

template <std::size_t N>
struct name_literal {
    char text[N];
    constexpr name_literal(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
    }
};

namespace detail {
struct NameSlot {
    PyObject** slot;
    const char* text;
};
inline std::vector<NameSlot>& name_slots() {
    static std::vector<NameSlot> slots;
    return slots;
}
// Each name used anywhere in the module registers itself when the shared
// object is loaded. Before the module body runs they are all made for the
// module's interpreter (state.hpp: the module record owns them, `value` is a
// borrowed copy emptied with the record), so id<>() is a plain load that
// cannot fail while the module runs.
template <name_literal S>
struct Interned {
    static inline PyObject* value = nullptr;
    static inline const bool registered = (name_slots().push_back({&value, S.text}), true);
};
}  // namespace detail

template <name_literal S>
PyObject* id() noexcept {
    (void)&detail::Interned<S>::registered;
    return detail::Interned<S>::value;
}

// ---------------------------------------------------------------------------
// References
// ---------------------------------------------------------------------------

class Handle;

// Anything that can stand for an object argument.
inline PyObject* as_ptr(PyObject* o) { return o; }

template <class D>
class Api {
    PyObject* p() const {
        PyObject* o = static_cast<const D*>(this)->ptr();
        assert(o && "operation on a null reference (a failure not passed on?)");
        return o;
    }

public:
    PyTypeObject* type() const { return Py_TYPE(p()); }
    bool is(const auto& o) const { return p() == as_ptr(o); }
    bool is_none() const { return p() == Py_None; }
    Result<bool> isinstance(const auto& cls) const { return truth(PyObject_IsInstance(p(), as_ptr(cls))); }
    Result<bool> truthy() const { return truth(PyObject_IsTrue(p())); }
    Result<bool> eq(const auto& o) const { return truth(PyObject_RichCompareBool(p(), as_ptr(o), Py_EQ)); }
    Result<Py_ssize_t> len() const {
        Py_ssize_t n = PyObject_Length(p());
        if (n < 0) return failure;
        return n;
    }

    Ref attr(PyObject* name) const;
    template <name_literal S> Ref attr() const;
    Status setattr(PyObject* name, const auto& v) const { return status(PyObject_SetAttr(p(), name, as_ptr(v))); }
    template <name_literal S> Status setattr(const auto& v) const { return setattr(id<S>(), v); }

    Ref item(const auto& key) const;
    Status set_item(const auto& key, const auto& v) const { return status(PyObject_SetItem(p(), as_ptr(key), as_ptr(v))); }
    Status del_item(const auto& key) const { return status(PyObject_DelItem(p(), as_ptr(key))); }
    Result<bool> contains(const auto& key) const { return truth(PySequence_Contains(p(), as_ptr(key))); }

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
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// An owning reference. Null means failed (the error indicator is set) for a
// function that returns an object, or "none" where a function says so.
class [[nodiscard]] Ref : public Api<Ref> {
public:
    Ref() = default;
    Ref(std::nullptr_t) {}
    Ref(Failure) {}
    Ref(const Ref& o) : p_(Py_XNewRef(o.p_)) {}
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    // Inline, so that the many Refs that end moved-from or failed cost one test.
    PF_ALWAYS_INLINE ~Ref() {
        if (p_) Py_DECREF(p_);
    }

    // Takes over a new reference (null when the call that made it failed).
    static Ref steal(PyObject* o) { return Ref(o, 0); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* o) { return Ref(Py_XNewRef(o), 0); }
    static Ref borrow(Handle h) { return borrow(h.ptr()); }

    PyObject* ptr() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }
    operator Handle() const { return Handle(p_); }

private:
    Ref(PyObject* o, int) : p_(o) {}
    PyObject* p_ = nullptr;
};

inline bool succeeded(const Ref& r) noexcept { return bool(r); }
inline Ref unwrap(Ref&& r) { return std::move(r); }
inline Ref unwrap(const Ref& r) { return r; }

inline PyObject* as_ptr(Handle h) { return h.ptr(); }
inline PyObject* as_ptr(const Ref& r) { return r.ptr(); }
inline PyObject* as_ptr(PyTypeObject* t) { return reinterpret_cast<PyObject*>(t); }

// ---------------------------------------------------------------------------
// Raising and inspecting exceptions
// ---------------------------------------------------------------------------

// Raises `type` with a printf-style message (PyUnicode_FromFormat codes):
// `return raise(PyExc_TypeError, "...", ...);`
[[nodiscard]] inline Failure raise(PyObject* type, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    PyErr_FormatV(type, fmt, va);
    va_end(va);
    return failure;
}
// Raises `type()` without arguments, as `raise NotImplementedError` does.
[[nodiscard]] inline Failure raise(PyObject* type) {
    PyErr_SetNone(type);
    return failure;
}
// Raises `type(arg)` for a single-argument exception.
[[nodiscard]] inline Failure raise_value(PyObject* type, PyObject* arg) {
    PyErr_SetObject(type, arg);
    return failure;
}
// Raises KeyError(key) exactly as dict does (a tuple key stays one argument).
[[nodiscard]] inline Failure raise_key_error(PyObject* key) {
    PyObject* exc = PyObject_CallOneArg(PyExc_KeyError, key);
    if (exc) PyErr_SetRaisedException(exc);
    return failure;
}
// Whether the pending exception is an instance of `type` (a class or tuple).
inline bool error_matches(PyObject* type) { return PyErr_ExceptionMatches(type); }

// The exception of a failed call, taken out of the error indicator so that
// code may run before it is raised again or dropped.
class Caught {
public:
    Caught() : exc_(Ref::steal(PyErr_GetRaisedException())) {}
    Handle value() const { return exc_; }
    bool matches(PyObject* type) const { return PyErr_GivenExceptionMatches(exc_.ptr(), type); }
    // Puts the exception back: `return caught.reraise();`
    [[nodiscard]] Failure reraise() {
        PyErr_SetRaisedException(exc_.release());
        return failure;
    }
    Ref release() { return std::move(exc_); }

private:
    Ref exc_;
};

// Raises `type(msg)` as if from inside an `except` block handling the
// pending exception, which becomes the new exception's __context__.
[[nodiscard]] inline Failure raise_in_handler(PyObject* type, PyObject* message) {
    Caught handled;
    Ref exc = Ref::steal(PyObject_CallOneArg(type, message));
    if (!exc) return failure;
    PyException_SetContext(exc.ptr(), handled.release().release());
    PyErr_SetRaisedException(exc.release());
    return failure;
}

// Runs `body` at a boundary into the interpreter. Our code raises no C++
// exception, but the standard library may (std::bad_alloc); none escapes.
template <class R, class F>
R guard_or(R failure_value, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in vornal.datastructures");
    }
    return failure_value;
}

// ---------------------------------------------------------------------------
// Making objects
// ---------------------------------------------------------------------------

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
inline Ref str(std::string_view s) { return Ref::steal(PyUnicode_FromStringAndSize(s.data(), (Py_ssize_t)s.size())); }
inline Ref integer(Py_ssize_t v) { return Ref::steal(PyLong_FromSsize_t(v)); }
inline Ref dict() { return Ref::steal(PyDict_New()); }
inline Ref list(Py_ssize_t n = 0) { return Ref::steal(PyList_New(n)); }
// tuple(a, b, ...); every item must be an object (not a failed Ref).
template <class... A>
Ref tuple(const A&... items) {
    return Ref::steal(PyTuple_Pack((Py_ssize_t)sizeof...(A), as_ptr(items)...));
}
// tuple.__new__(type, (items...)) for a subclass of tuple whose instances
// hold nothing but the items (a named tuple): made directly, without the
// argument tuple and the intermediate tuple that tuple.__new__ builds.
template <class... A>
Ref tuple_of_type(PyTypeObject* type, const A&... items) {
    PyObject* t = type->tp_alloc(type, (Py_ssize_t)sizeof...(A));
    if (!t) return failure;
    // The tuple's cached hash: "not computed yet" is -1, as tuple.__new__
    // leaves it; tp_alloc leaves 0, which hash() would take for the hash.
    // ob_hash is a field of PyTupleObject that no public function sets, and
    // the public way to make a tuple of a subclass is tuple.__new__ itself,
    // with the argument tuple and the intermediate tuple this avoids. This is
    // its one place of use.
    reinterpret_cast<PyTupleObject*>(t)->ob_hash = -1;
    Py_ssize_t i = 0;
    ((PyTuple_SET_ITEM(t, i++, Py_NewRef(as_ptr(items)))), ...);
    return Ref::steal(t);
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

// ---------------------------------------------------------------------------
// Iteration and calls
// ---------------------------------------------------------------------------

// next(iterator) into `item`: true with the item, false when the iterator
// is exhausted. The loop over an iterable reads
//     TRY_LET(Ref it, obj.iter());
//     for (Ref item;;) {
//         TRY_NEXT(it, item);
//         ...
//     }
inline Result<bool> next(Handle iterator, Ref& item) {
    PyObject* o = nullptr;
    int rc = PyIter_NextItem(iterator.ptr(), &o);
    item = Ref::steal(o);
    return truth(rc);
}

// Calls `callable(*args, **kwargs)` from vectors held elsewhere.
inline Ref vectorcall(Handle callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return Ref::steal(PyObject_Vectorcall(callable.ptr(), args, nargsf, kwnames));
}

// f(*positional, name=value, ...): a call with keyword arguments, the names
// given as interned strings (pf::id<"name">()).
inline Ref call_kw(Handle f, std::initializer_list<Handle> positional,
                   std::initializer_list<std::pair<PyObject*, Handle>> keywords) {
    PyObject* argv[16];
    size_t n = 1 + positional.size() + keywords.size();
    if (n > std::size(argv)) return raise(PyExc_SystemError, "call_kw: too many arguments");
    size_t o = 1;  // argv[0]: room for PY_VECTORCALL_ARGUMENTS_OFFSET
    for (Handle h : positional) argv[o++] = h.ptr();
    Ref kwnames = Ref::steal(PyTuple_New((Py_ssize_t)keywords.size()));
    if (!kwnames) return failure;
    Py_ssize_t i = 0;
    for (const auto& [name, value] : keywords) {
        PyTuple_SET_ITEM(kwnames.ptr(), i++, Py_NewRef(name));
        argv[o++] = value.ptr();
    }
    return vectorcall(f, argv + 1, positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr());
}

// ---------------------------------------------------------------------------
// Tuples, unpacking, text
// ---------------------------------------------------------------------------

// `t + (item,)` for an exact tuple `t`: a new tuple one item longer.
inline Ref tuple_plus(Handle t, Handle item) {
    Py_ssize_t n = PyTuple_GET_SIZE(t.ptr());
    PyObject* r = PyTuple_New(n + 1);
    if (!r) return failure;
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(r, i, Py_NewRef(PyTuple_GET_ITEM(t.ptr(), i)));
    PyTuple_SET_ITEM(r, n, Py_NewRef(item.ptr()));
    return Ref::steal(r);
}

// Two objects, as `a, b = obj` gives them; binds as `auto [a, b] = ...`.
struct Pair {
    Ref first, second;
};

// `a, b = obj`: the two parts of an object that unpacks into exactly two,
// with the interpreter's own errors otherwise. A tuple or list (or subclass
// that keeps the built-in iteration) of two items is read directly, as the
// interpreter's specialised unpacking does.
[[maybe_unused]] PF_NOINLINE static Result<Pair> unpack_pair_by_iteration(Handle obj);

PF_ALWAYS_INLINE inline Result<Pair> unpack_pair(Handle obj) {
    PyObject* o = obj.ptr();
    if (((PyTuple_Check(o) && Py_TYPE(o)->tp_iter == PyTuple_Type.tp_iter) ||
         (PyList_Check(o) && Py_TYPE(o)->tp_iter == PyList_Type.tp_iter)) &&
        Py_SIZE(o) == 2) {
        PyObject** items = PyTuple_Check(o) ? &PyTuple_GET_ITEM(o, 0) : &PyList_GET_ITEM(o, 0);
        return Pair{Ref::borrow(items[0]), Ref::borrow(items[1])};
    }
    return unpack_pair_by_iteration(obj);
}

// The general case of unpack_pair, kept out of line.
PF_NOINLINE static Result<Pair> unpack_pair_by_iteration(Handle obj) {
    PyObject* o = obj.ptr();
    // What the interpreter reports for an object that iter() refuses anyway.
    if (!Py_TYPE(o)->tp_iter && !PySequence_Check(o))
        return raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(o)->tp_name);
    TRY_LET(Ref it, Ref::steal(PyObject_GetIter(o)));
    Ref a, b, extra;
    TRY_LET(bool has_a, next(it, a));
    if (!has_a) return raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 0)");
    TRY_LET(bool has_b, next(it, b));
    if (!has_b) return raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 1)");
    TRY_LET(bool has_extra, next(it, extra));
    if (!has_extra) return Pair{std::move(a), std::move(b)};
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o) || PyDict_CheckExact(o)) {
        Py_ssize_t n = PyDict_CheckExact(o) ? PyDict_GET_SIZE(o) : Py_SIZE(o);
        if (n > 2) return raise(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
    }
    return raise(PyExc_ValueError, "too many values to unpack (expected 2)");
}

// Builds a str piece by piece; what is not finished is discarded.
//     Writer w;
//     TRY(w.made());
//     TRY(w.write("("));
//     TRY(w.write(part));
//     return w.finish();
class Writer {
public:
    Writer() : w_(PyUnicodeWriter_Create(0)) {}
    ~Writer() {
        if (w_) PyUnicodeWriter_Discard(w_);
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Whether the writer could be made (MemoryError otherwise).
    Status made() const { return w_ ? ok : Status(failure); }
    // A str as it is (any other object as str(obj)).
    Status write(Handle s) { return status(PyUnicodeWriter_WriteStr(w_, s.ptr())); }
    // A literal in UTF-8.
    Status write(const char* utf8) { return status(PyUnicodeWriter_WriteUTF8(w_, utf8, -1)); }
    // The text written so far; the writer is spent.
    Ref finish() { return Ref::steal(PyUnicodeWriter_Finish(std::exchange(w_, nullptr))); }

private:
    PyUnicodeWriter* w_;
};

// Joins str objects (and literals) into one str.
template <class... A>
Ref concat(const A&... parts) {
    PyUnicodeWriter* w = PyUnicodeWriter_Create(0);
    if (!w) return failure;
    bool written = true;
    auto put = [&](const auto& part) {
        if (!written) return;
        if constexpr (std::is_convertible_v<decltype(part), const char*>)
            written = PyUnicodeWriter_WriteUTF8(w, part, -1) == 0;
        else
            written = PyUnicodeWriter_WriteStr(w, as_ptr(part)) == 0;
    };
    (put(parts), ...);
    if (!written) {
        PyUnicodeWriter_Discard(w);
        return failure;
    }
    return Ref::steal(PyUnicodeWriter_Finish(w));
}

}  // namespace pf
