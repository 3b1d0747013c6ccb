// pyframe/api/objects.hpp: object operations with a fast path for the
// common case: weak referents, rich comparison, truth.
#pragma once

#include "refs.hpp"

namespace pf {

// The object a weak reference refers to, or a null Ref (no error) once it is
// gone: PyWeakref_GetRef() without the call, for the interpreter's own weak
// reference types.
inline Ref weak_referent(PyObject* ref) noexcept {
    assert(PyWeakref_Check(ref));
#ifdef Py_GIL_DISABLED
    PyObject* obj = nullptr;
    if (PyWeakref_GetRef(ref, &obj) < 0) PyErr_Clear();
    return Ref::steal(obj);
#else
    PyObject* obj = reinterpret_cast<PyWeakReference*>(ref)->wr_object;
    // A cleared reference points to None; an object whose count went to 0
    // may still wait for its references to be cleared.
    if (obj == Py_None || Py_REFCNT(obj) == 0) return Ref();
    return Ref::borrow(obj);
#endif
}

// v <op> w by the full comparison protocol, as PyObject_RichCompare(), with
// the common case (both of one type) taken directly: the type's comparison,
// then the reflected one, then identity for == and !=.
inline Ref rich_compare(Handle v, Handle w, int op) {
    PyTypeObject* t = v.type();
    richcmpfunc f = t->tp_richcompare;
    if (t != w.type() || !f) return Ref::steal(PyObject_RichCompare(v.ptr(), w.ptr(), op));
    static constexpr int swapped[] = {Py_GT, Py_GE, Py_EQ, Py_NE, Py_LT, Py_LE};
    Ref r = Ref::steal(f(v.ptr(), w.ptr(), op));
    if (!r || r.ptr() != Py_NotImplemented) return r;
    r = Ref::steal(f(w.ptr(), v.ptr(), swapped[op]));
    if (!r || r.ptr() != Py_NotImplemented) return r;
    if (op == Py_EQ) return Ref::borrow(v.is(w) ? Py_True : Py_False);
    if (op == Py_NE) return Ref::borrow(v.is(w) ? Py_False : Py_True);
    static constexpr const char* names[] = {"<", "<=", "==", "!=", ">", ">="};
    PyErr_Format(PyExc_TypeError, "'%s' not supported between instances of '%.100s' and '%.100s'", names[op],
                 t->tp_name, t->tp_name);
    return Ref();
}

// for item in iterable: stop = f(item). An exact list is walked by position
// with its length read again at every step, as the list iterator walks it
// (code that f runs may change the list), each item held while f runs;
// another iterable through its iterator. f returns Result<bool>: true stops
// the walk. The result is whether f stopped it.
template <class F>
Result<bool> walk_items(Handle iterable, F&& f) {
    PyObject* list = iterable.ptr();
    if (PyList_CheckExact(list)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
            TRY_LET(bool stop, f(Handle(item)));
            if (stop) return true;
        }
        return false;
    }
    TRY_LET(Ref it, iterable.iter());
    for (Ref item;;) {
        TRY_NEXT(it, item);
        TRY_LET(bool stop, f(Handle(item)));
        if (stop) return true;
    }
    return false;
}

// bool(obj), answered at once for True and False.
inline Result<bool> is_true(Handle obj) {
    if (obj.ptr() == Py_True) return true;
    if (obj.ptr() == Py_False) return false;
    return truth(PyObject_IsTrue(obj.ptr()));
}

}  // namespace pf
