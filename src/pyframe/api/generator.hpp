// pyframe/api/generator.hpp: generators written in C++: a lazy iterator
// with the whole generator protocol (send, throw, close, gi_* attributes),
// registered as a collections.abc.Generator (the type: runtime/generator_type.hpp).
#pragma once

#include "function.hpp"

#include <memory>

namespace pf {

// The body of a generator is a GenBody (declared in runtime/abi.hpp, since
// its virtual functions are part of the shared layout). next() returns the
// next item, or a null Ref: with the error indicator set when the body
// failed, without when the walk is over. Objects the body holds are
// reported by visit() so that the cycle collector sees them. The generator
// type is the core's, whose code may be another module's: it reaches the
// body only through those virtual functions, so that each runs in the
// shared object that made the body (with the C++ runtime of that object,
// which may be its own).

// Makes a generator object that runs `body` under the given __name__ and
// __qualname__ (str objects), as for a generator expression, whose names
// are its own rather than those of a function.
inline Ref make_generator(std::unique_ptr<GenBody> body, Handle name, Handle qualname) {
    ModuleRecord* record = rt::module_state.record;
    if (!record || !rt::module_state.generator_type)
        return raise(PyExc_SystemError, "generator made while its module is not loaded");
    auto* g = PyObject_GC_New(rt::GeneratorObject, rt::module_state.generator_type);
    if (!g) return failure;
    g->body = body.release();
    g->name = Py_NewRef(name.ptr());
    g->qualname = Py_NewRef(qualname.ptr());
    g->weaklist = nullptr;
    g->owner = Py_NewRef(record->module);
    g->started = g->running = false;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(g));
    return Ref::steal(reinterpret_cast<PyObject*>(g));
}

// Makes a generator object that runs `body`, named like the generator
// function that made it.
inline Ref make_generator(std::unique_ptr<GenBody> body, Ctx ctx) {
    return make_generator(std::move(body), Handle(ctx.function->name), Handle(ctx.function->qualname));
}

}  // namespace pf
