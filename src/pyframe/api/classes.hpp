// pyframe/api/classes.hpp: `ClassDef`, which builds a class the way a class
// statement does: the most derived metaclass of the bases, its
// __prepare__, a namespace holding __module__, __qualname__, __doc__ and the
// body in order (methods, static and class methods, plain attributes), and
// the metaclass called with (name, bases, namespace).
#pragma once

#include "module.hpp"
#include "../runtime/slots.hpp"

#include <string>

namespace pf {

class ClassDef {
public:
    ClassDef(const char* name, const char* doc = nullptr) : name_(name), doc_(doc) {}

    ClassDef& bases(std::initializer_list<Handle> bases) {
        for (Handle b : bases) {
            if (!b) failed_ = true;
            bases_.push_back(Ref::borrow(b));
        }
        return *this;
    }
    // def name(...): an instance method.
    ClassDef& method(FuncDef* def) { return entry(def, Kind::plain); }
    // @staticmethod / @classmethod
    ClassDef& staticmethod(FuncDef* def) { return entry(def, Kind::static_); }
    ClassDef& classmethod(FuncDef* def) { return entry(def, Kind::class_); }
    // name = value in the class body.
    ClassDef& attr(const char* name, Ref value) {
        if (!value) failed_ = true;
        body_.push_back({name, nullptr, Kind::plain, std::move(value)});
        return *this;
    }

    // Calls the metaclass of the bases with (name, bases, namespace). Fails
    // when anything given to this definition failed to be made.
    Ref build() const {
        if (failed_) return failure;
        TRY_LET(Ref bases, Ref::steal(PyTuple_New((Py_ssize_t)bases_.size())));
        for (size_t i = 0; i < bases_.size(); ++i) PyTuple_SET_ITEM(bases.ptr(), (Py_ssize_t)i, Ref(bases_[i]).release());
        if (bases_.empty()) { TRY_LET(bases, tuple(&PyBaseObject_Type)); }
        TRY_LET(Ref meta, metaclass(bases));
        TRY_LET(Ref name, str(name_));
        TRY_LET(Ref prepare, meta.attr<"__prepare__">());
        TRY_LET(Ref ns, prepare(name, bases));
        TRY(ns.set_item(id<"__module__">(), Handle(module_name())));
        TRY(ns.set_item(id<"__qualname__">(), name));
        if (doc_) {
            TRY_LET(Ref doc, str(doc_));
            TRY(ns.set_item(id<"__doc__">(), doc));
        }
        for (const Entry& e : body_) {
            Ref value = e.value;
            if (e.def) {
                std::string qual = std::string(name_) + "." + e.def->name;
                TRY_LET(value, make_function(e.def, module_name(), qual.c_str()));
                if (e.kind == Kind::static_) { TRY_LET(value, Ref::steal(PyStaticMethod_New(value.ptr()))); }
                if (e.kind == Kind::class_) { TRY_LET(value, Ref::steal(PyClassMethod_New(value.ptr()))); }
            }
            TRY_LET(Ref entry_name, str(e.name));
            TRY(ns.set_item(entry_name, value));
        }
        TRY_LET(Ref cls, meta(name, bases, ns));
        TRY(rt::install_direct_slots(cls));
        return cls;
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
        if (!def) {
            failed_ = true;
            return *this;
        }
        body_.push_back({def->name, def, kind, Ref()});
        return *this;
    }
    // The most derived metaclass of the bases, as a class statement finds it.
    static Ref metaclass(Handle bases) {
        PyTypeObject* winner = &PyType_Type;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases.ptr()); ++i) {
            PyTypeObject* mt = Py_TYPE(PyTuple_GET_ITEM(bases.ptr(), i));
            if (PyType_IsSubtype(winner, mt)) continue;
            if (PyType_IsSubtype(mt, winner)) {
                winner = mt;
                continue;
            }
            return raise(PyExc_TypeError,
                         "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
                         "metaclasses of all its bases");
        }
        return Ref::borrow(reinterpret_cast<PyObject*>(winner));
    }

    const char* name_;
    const char* doc_;
    bool failed_ = false;
    std::vector<Ref> bases_;
    std::vector<Entry> body_;
};

// Builds the class and binds it in the module namespace under its name.
inline Status define_class(Held& holder, const char* name, const ClassDef& def) {
    TRY_LET(Ref cls, def.build());
    TRY(bind_global(name, cls));
    holder.set(std::move(cls));
    return ok;
}

}  // namespace pf
