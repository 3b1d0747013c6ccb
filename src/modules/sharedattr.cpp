// vornal.datastructures.sharedattr: read-only computed attributes that
// belong to a class.
//
//     class SharedAttrDescriptor(object):
//         def __init__(self, func):
//             self.func = func
//
//         def __get__(self, obj, owner):
//             return self.func(owner)
//
//     sharedattr = SharedAttrDescriptor
//
// A non-data descriptor (no __set__, no __delete__): assigning the name on
// the class replaces it, and an instance attribute of the same name hides it.
#include "pyframe.hpp"

namespace {
using namespace pf;

// Everything the module keeps for its interpreter (pyframe/api/state.hpp).
struct State {
    Held SharedAttrDescriptor;
};
PF_STATE(State, st);

constexpr const char* SharedAttrDescriptor_doc =
    "Descriptor class that lets classes have their own \"properties\" that can be\n"
    "overwritten and inherited: it adds read-only class properties. It is meant\n"
    "to be used as a decorator of a function that takes the class through which\n"
    "the attribute is read, whether that is the class itself, a subclass or an\n"
    "instance.\n"
    "\n"
    "Example::\n"
    "\n"
    "    >>> class Base:\n"
    "    ...     @sharedattr\n"
    "    ...     def value(cls):\n"
    "    ...         return 100\n"
    "    >>> Base.value\n"
    "    100\n"
    "    >>> Base().value\n"
    "    100";

constexpr const char* SharedAttrDescriptor_init_doc =
    "Keep func, a function of one argument, the class. It is not checked here:\n"
    "a func that cannot be called with the class fails when the attribute is\n"
    "read.";

// def __init__(self, func):
//     self.func = func
Status SharedAttrDescriptor_init(Handle self, Handle func) { return self.setattr<"func">(func); }

constexpr const char* SharedAttrDescriptor_get_doc =
    "Return func(owner): the function called with the class the attribute is\n"
    "read through (the class itself, a subclass, or the class of the instance\n"
    "obj). It is called again on every read; nothing is cached.";

// def __get__(self, obj, owner):
//     return self.func(owner)
Ref SharedAttrDescriptor_get(Handle self, Handle, Handle owner) {
    TRY_LET(Ref func, self.attr<"func">());
    return func(owner);
}

Status body() {
    TRY(define_class(st.SharedAttrDescriptor, "SharedAttrDescriptor",
                     ClassDef("SharedAttrDescriptor", SharedAttrDescriptor_doc)
                         .method(def<SharedAttrDescriptor_init>("__init__", "self, func",
                                                                SharedAttrDescriptor_init_doc))
                         .method(def<SharedAttrDescriptor_get>("__get__", "self, obj, owner",
                                                               SharedAttrDescriptor_get_doc))));
    return bind_global("sharedattr", st.SharedAttrDescriptor);
}

}  // namespace

PF_MODULE(sharedattr, body)
