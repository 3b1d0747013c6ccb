// vornal.datastructures.pftest: a module built only by the tests
// (tests/test_framework_module.py) that drives the framework's api/ pieces
// directly: the state record, Pristine, TypeMemo, walk_items, and the
// module's traverse and clear. With PFTEST_STRAY it keeps a holder outside
// its state record, which the framework must refuse at import.
#include "pyframe.hpp"

namespace {
using namespace pf;

struct State {
    Held kept;           // what keep() was given
    Pristine Probe;      // the class the body made, sealed after the body
    TypeMemo<int> memo;  // computed(): how often it computed for a class
    Value<int> computed;
};
PF_STATE(State, st);

#ifdef PFTEST_STRAY
Held stray;
#endif

// def keep(obj):
//     global kept; kept = obj
Status keep(Handle obj) {
    st.kept.set(Ref::borrow(obj));
    return ok;
}

// def kept():
//     return kept  (None once the module's state was cleared)
Ref kept() { return st.kept.ptr() ? Ref::borrow(st.kept.ptr()) : none(); }

// def probe_unchanged():
//     return <Probe is the class of the module body, unmodified since>
Result<bool> probe_unchanged() { return st.Probe.unchanged(); }

// def memo_of(obj):
//     return <how often the memo computed for type(obj)>
Ref memo_of(Handle obj) {
    TRY_LET(int n, st.memo.get(obj.type(), [&]() -> Result<int> {
        st.computed = st.computed + 1;
        return int(st.computed);
    }));
    return integer(n);
}

// def first_truthy(iterable):
//     for item in iterable:
//         if item: return item
//     return None
Ref first_truthy(Handle iterable) {
    Ref found = none();
    TRY(walk_items(iterable, [&](Handle item) -> Result<bool> {
        TRY_LET(bool truthy, is_true(item));
        if (truthy) found = Ref::borrow(item);
        return truthy;
    }));
    return found;
}

Status body() {
    TRY(define_class(st.Probe, "Probe", ClassDef("Probe")));
    st.Probe.seal();
    TRY(bind_global("keep", function(def<keep>("keep", "obj"))));
    TRY(bind_global("kept", function(def<kept>("kept", ""))));
    TRY(bind_global("probe_unchanged", function(def<probe_unchanged>("probe_unchanged", ""))));
    TRY(bind_global("memo_of", function(def<memo_of>("memo_of", "obj"))));
    return bind_global("first_truthy", function(def<first_truthy>("first_truthy", "iterable")));
}

}  // namespace

PF_MODULE(pftest, body)
