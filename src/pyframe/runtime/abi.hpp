// pyframe/runtime/abi.hpp: every record whose layout the seven shared
// objects share, the version that names them, and the description of their
// layouts that the import guard compares.
//
// Each module compiles its own copy of the framework, and in one interpreter
// they share one core (runtime/core.hpp): the function and generator types
// made by the first module loaded, whose objects the code of every other
// module reads and writes. So the records below are read by code compiled
// from another build than the one that made them, and must agree field by
// field: Core (the capsule's record), FunctionObject, FuncInfo with its
// DirectSlot (the static description a function object points at), and
// GeneratorObject with GenBody's virtual functions.
//
// The rule for PF_CORE_VERSION: raise it with every change to one of these
// records (a field added, removed, reordered or retyped, a virtual function
// of GenBody added or moved) and with every change of what a field means.
// Modules of different versions then refuse to share a core: the key of the
// capsule carries the version. As a second line, the core carries a layout
// description computed at compile time (each shared field's offset and
// size); a module whose description differs from the published one refuses
// to import with an ImportError that names the first field that differs, so
// a change that forgot the version is caught as well.
#pragma once

#include "../api/refs.hpp"

#include <cstddef>
#include <cstdint>

#define PF_CORE_VERSION 2
#define PF_CORE_KEY_PREFIX "vornal.datastructures.pyframe.core."
#define PF_CORE_STRINGIZE_(x) #x
#define PF_CORE_STRINGIZE(x) PF_CORE_STRINGIZE_(x)

namespace pf {

// The body of a generator (api/generator.hpp): the generator type, which may
// be another module's, reaches it only through these virtual functions, so
// their order is part of the shared layout.
struct GenBody {
    virtual ~GenBody() = default;
    virtual Ref next() = 0;
    virtual int visit(visitproc, void*) { return 0; }
    // next() as the generator type calls it: no C++ exception leaves it.
    virtual PyObject* resume() noexcept {
        return guard_or<PyObject*>(nullptr, [&] { return next().release(); });
    }
};

struct FuncDef;  // FuncInfo with the signature, read only by the shared object that made it

namespace rt {

// The key of the capsule in the interpreter's state dictionary, and its name.
inline constexpr char core_key[] = PF_CORE_KEY_PREFIX "v" PF_CORE_STRINGIZE(PF_CORE_VERSION);

// A C slot that runs the implementation directly (runtime/slots.hpp): which
// slot, and the adaptor to put there; for __init__ also the vectorcall of
// the class itself.
struct DirectSlot {
    // A Py_* slot id of typeslots.h; 0: none; -1: a __delitem__ that the
    // deletion half of mp_ass_subscript calls directly (slots.hpp).
    int slot = 0;
    void* function = nullptr;
    vectorcallfunc construct = nullptr;
};

// The static description of one function: name, parameters, docstring, the
// trampoline that binds arguments and calls the C++ implementation, and the
// direct slot. A class of one module inherits methods of another's, whose
// descriptions it reads.
struct FuncInfo {
    const char* name;
    const char* params;
    const char* doc;
    vectorcallfunc call;
    DirectSlot direct;
};

// A function object of the core's function type.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FuncDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;  // __module__
    PyObject* closure;
    PyObject* dict;
    PyObject* weaklist;
    PyObject* arg_checker;  // a Python function with the same parameters, made on demand
    // The module object whose code this is: its state (names, classes,
    // signatures) lives as long as the module does, and the function's code
    // uses it whenever it runs.
    PyObject* owner;
};

// A generator object of the core's generator type.
struct GeneratorObject {
    PyObject_HEAD
    GenBody* body;  // nullptr once finished or closed
    PyObject* name;
    PyObject* qualname;
    PyObject* weaklist;
    PyObject* owner;  // the module object whose code the body is (see FunctionObject)
    bool started;
    bool running;
};

// One field of a shared record: where it lies and how large it is.
struct FieldLayout {
    std::uint32_t offset, size;
};

#define PF_FIELD(T, F) ::pf::rt::FieldLayout{offsetof(T, F), sizeof(T::F)}
#define PF_RECORD(T) ::pf::rt::FieldLayout{0, sizeof(T)}

// The layout description: each record's size, then each shared field's
// offset and size. (GenBody's virtual functions are covered by the version
// alone: their order has no offset to compare.)
struct Core;
inline constexpr const char* layout_names[] = {
    "sizeof(PyObject)", "sizeof(Core)", "Core.version", "Core.layout", "Core.interpreter",
    "Core.function_type", "Core.generator_type", "Core.watcher_id", "Core.watched", "Core.namespaces",
    "Core.forgets", "Core.forget", "sizeof(FuncInfo)", "FuncInfo.name", "FuncInfo.params", "FuncInfo.doc",
    "FuncInfo.call", "FuncInfo.direct", "DirectSlot.slot", "DirectSlot.function", "DirectSlot.construct",
    "sizeof(FunctionObject)", "FunctionObject.vectorcall", "FunctionObject.def", "FunctionObject.name",
    "FunctionObject.qualname", "FunctionObject.doc", "FunctionObject.module", "FunctionObject.closure",
    "FunctionObject.dict", "FunctionObject.weaklist", "FunctionObject.arg_checker", "FunctionObject.owner",
    "sizeof(GeneratorObject)", "GeneratorObject.body", "GeneratorObject.name", "GeneratorObject.qualname",
    "GeneratorObject.weaklist", "GeneratorObject.owner", "GeneratorObject.started", "GeneratorObject.running"};
inline constexpr std::size_t layout_fields = std::size(layout_names);

// What the modules of one interpreter share: the types, the dict watcher of
// their namespaces, and what each shared object must forget when the
// interpreter's state dictionary goes. The version and the layout
// description come first, so that a core of any other layout can still be
// told apart.
struct Core {
    unsigned version;
    FieldLayout layout[layout_fields];  // this build's layout_description
    PyInterpreterState* interpreter;
    PyTypeObject* function_type;   // owned
    PyTypeObject* generator_type;  // owned
    // The dict watcher of the modules' namespaces (an interpreter has few
    // watcher ids, so the modules share one): each watched namespace with
    // the generation counter it advances. -1: no watcher.
    int watcher_id;
    int watched;
    struct {
        PyObject* dict;
        uint64_t* generation;
    } namespaces[32];
    // Called when the capsule is freed, one function per shared object that
    // used the core: each forgets what it kept of this interpreter.
    int forgets;
    void (*forget[32])(Core*);
};

inline constexpr FieldLayout layout_description[] = {
    PF_RECORD(PyObject),
    PF_RECORD(Core),
    PF_FIELD(Core, version),
    PF_FIELD(Core, layout),
    PF_FIELD(Core, interpreter),
    PF_FIELD(Core, function_type),
    PF_FIELD(Core, generator_type),
    PF_FIELD(Core, watcher_id),
    PF_FIELD(Core, watched),
    PF_FIELD(Core, namespaces),
    PF_FIELD(Core, forgets),
    PF_FIELD(Core, forget),
    PF_RECORD(FuncInfo),
    PF_FIELD(FuncInfo, name),
    PF_FIELD(FuncInfo, params),
    PF_FIELD(FuncInfo, doc),
    PF_FIELD(FuncInfo, call),
    PF_FIELD(FuncInfo, direct),
    PF_FIELD(DirectSlot, slot),
    PF_FIELD(DirectSlot, function),
    PF_FIELD(DirectSlot, construct),
    PF_RECORD(FunctionObject),
    PF_FIELD(FunctionObject, vectorcall),
    PF_FIELD(FunctionObject, def),
    PF_FIELD(FunctionObject, name),
    PF_FIELD(FunctionObject, qualname),
    PF_FIELD(FunctionObject, doc),
    PF_FIELD(FunctionObject, module),
    PF_FIELD(FunctionObject, closure),
    PF_FIELD(FunctionObject, dict),
    PF_FIELD(FunctionObject, weaklist),
    PF_FIELD(FunctionObject, arg_checker),
    PF_FIELD(FunctionObject, owner),
    PF_RECORD(GeneratorObject),
    PF_FIELD(GeneratorObject, body),
    PF_FIELD(GeneratorObject, name),
    PF_FIELD(GeneratorObject, qualname),
    PF_FIELD(GeneratorObject, weaklist),
    PF_FIELD(GeneratorObject, owner),
    PF_FIELD(GeneratorObject, started),
    PF_FIELD(GeneratorObject, running),
};
static_assert(std::size(layout_description) == layout_fields, "one name per described field");
static_assert(offsetof(Core, version) == 0 && offsetof(Core, layout) == sizeof(unsigned),
              "the version and the description open the core, where any build finds them");

#undef PF_FIELD
#undef PF_RECORD

// The first field whose layout differs from this build's, or -1.
inline int layout_mismatch(const FieldLayout* published) {
    for (std::size_t i = 0; i < layout_fields; ++i)
        if (published[i].offset != layout_description[i].offset || published[i].size != layout_description[i].size)
            return int(i);
    return -1;
}

}  // namespace rt
}  // namespace pf
