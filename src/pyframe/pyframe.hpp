// pyframe: the small header-only framework behind every extension module of
// vornal.datastructures. It carries the CPython mechanics so that a module
// file reads like the Python class it defines.
//
// Errors, the one rule every function follows
// -------------------------------------------
// A failing call leaves the Python exception in the interpreter's error
// indicator and returns a failure value, exactly as CPython's own C code
// does, so raising and catching costs what it costs the interpreter:
//   * Ref (an owning reference): null;
//   * Status (for calls that return nothing): not succeeded();
//   * Result<T> (bool, sizes, pairs): not succeeded().
// Failures are passed on by statements (refs.hpp): `TRY(expr);` returns the
// failure from the enclosing function, `TRY_LET(target, expr);` also puts
// the value into `target`, and `TRY_NEXT(it, item);` steps a loop over an
// iterator; a condition or argument that can fail is computed by a TRY_LET
// just before its use. `return raise(PyExc_TypeError, "...")` raises;
// `error_matches()` and `Caught` inspect an exception to handle it. Objects
// are owned by Ref and borrowed by Handle, never counted by hand. No C++
// exception is thrown; at each boundary into the interpreter a guard turns
// the standard library's (std::bad_alloc) into MemoryError, so none can
// escape. `[[nodiscard]]` on Ref, Status, Result and Failure makes the
// compiler report a failure that is not looked at.
//
// The headers. A module file includes this one and nothing else of the
// framework; it uses namespace pf, never pf::rt.
//
// api/, what module code may use (namespace pf):
//   portable.hpp   the few things each compiler spells its own way (inlining
//                  attributes, checked arithmetic), behind macros
//   refs.hpp       failure values and the TRY macros, interned names
//                  (id<"name">()), Ref/Handle with the everyday object
//                  operations, raising, iteration, keyword calls, unpacking,
//                  text
//   state.hpp      what a module keeps for its interpreter: the module
//                  record, Held objects, Value<T>s, the state record
//                  (PF_STATE)
//   memos.hpp      type version tags, per-class memos (TypeMemo), ABC checks
//   args.hpp       *args/**kwargs, calls of attributes found on the type
//   super.hpp      super(), methods looked up on the type
//   guards.hpp     recursion guards (RecursionGuard, CallDepth), the handled
//                  exception
//   objects.hpp    weak referents, rich comparison, truth
//   function.hpp   signatures, argument binding with the interpreter's own
//                  messages, def<F>(), make_function
//   generator.hpp  generators written in C++ (GenBody, make_generator)
//   module.hpp     package-first imports, module globals looked up at call
//                  time, caches emptied at full collections
//                  (clear_on_full_collection)
//   classes.hpp    ClassDef: classes made the way a class statement makes them
//   frame.hpp      PF_MODULE, the module frame (the runtime's lifecycle)
//
// runtime/, for the framework's maintainers (namespace pf::rt):
//   abi.hpp        every record the seven shared objects share (Core,
//                  FuncInfo, DirectSlot, FunctionObject, GeneratorObject,
//                  GenBody's virtual functions), PF_CORE_VERSION and the rule
//                  for raising it, the layout description the import guard
//                  compares. A change here needs a version bump.
//   function_type.hpp, generator_type.hpp
//                  the function and generator types
//   slots.hpp      direct C slots for the special methods of our classes
//   core.hpp       the core capsule and the dict watcher of the namespaces
//   lifecycle.hpp  the module's create, exec, traverse, clear and free
//
// State: everything a module keeps per interpreter (its name, interned
// names, classes and imported objects, signatures, memos) is owned by its
// module object, through a record that the interpreter traverses, clears and
// frees as module state; the code reads it through borrowed caches that are
// emptied with the record (api/state.hpp). Each extension module compiles its
// own copy of the framework (hidden visibility); in one interpreter they
// share one core, the function and generator types, published by the first
// module loaded in a versioned capsule in the interpreter's state
// dictionary (runtime/core.hpp).
#pragma once

#include "api/refs.hpp"
#include "api/state.hpp"
#include "api/memos.hpp"
#include "api/args.hpp"
#include "api/super.hpp"
#include "api/guards.hpp"
#include "api/objects.hpp"
#include "api/function.hpp"
#include "api/generator.hpp"
#include "api/module.hpp"
#include "api/classes.hpp"
#include "api/frame.hpp"
