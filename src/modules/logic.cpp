// vornal.datastructures.logic: logical expressions over regular expressions
// and callables, and their string form read back from a command line.
//
//     import re
//     import logging
//     from vornal.utils.strings import decode_cli_string
//
//     __all__ = ['And', 'Or', 'Not']
//     logger = logging.getLogger(__name__)
//
//     class BaseLogic:
//         def __init__(self, *expressions): ...
//         def __call__(self): raise NotImplementedError
//         def __str__(self): ...
//         def __repr__(self): return str(self)
//         def __eq__(self, other): ...
//
//     class And(BaseLogic):
//         def __call__(self, *items): ...
//     class Or(BaseLogic):
//         def __call__(self, *items): ...
//     class Not(BaseLogic):
//         def __call__(self, *items): ...
//
//     def logic_str(string): ...
//
// Module-level names (re, BaseLogic, decode_cli_string) are looked up when a
// function runs. Evaluation is the hot path: an expression is built once and
// called on many values, so the evaluation below calls compiled patterns'
// search and nested expressions of this module directly, while every other
// object is used the ordinary way.
#include "pyframe.hpp"

namespace {
using namespace pf;

// Everything the module keeps for its interpreter (pyframe/api/state.hpp).
struct State {
    Held BaseLogic;
    Held And;
    Held Or;
    Held Not;
    // Types of the regular-expression engine, fixed for the interpreter
    // (immutable types of its _sre module, whatever the name `re` is bound to
    // later).
    Held Pattern;        // re.Pattern
    Held Match;          // re.Match
    Held pattern_search;  // re.Pattern.search, the method descriptor
    // The interpreter's __debug__ as it was when the module was loaded.
    bool assertions_enabled = true;
};
PF_STATE(State, st);

// ---------------------------------------------------------------------------
// class BaseLogic
// ---------------------------------------------------------------------------

constexpr const char* BaseLogic_doc =
    "BaseLogic Class\n"
    "\n"
    "Gathers the code that And, Or and Not share: construction from regular\n"
    "expressions (given as strings) and callables, the string form and\n"
    "equality. The class only gathers the common code and performs no\n"
    "meaningful testing by itself: calling an instance raises\n"
    "NotImplementedError.";

constexpr const char* BaseLogic_init_doc =
    "Keep the expressions in order: a str is compiled with re.compile(), a\n"
    "callable (another expression included) is kept as it is.";

// def __init__(self, *expressions):
//     self.expressions = []
//     for expression in expressions:
//         if isinstance(expression, str):
//             expression = re.compile(expression)
//         elif not callable(expression):
//             raise TypeError('Expression only accepts str and callable. Got: '
//                             + str(expression) + ' (' + str(type(expression)) + ')')
//         self.expressions.append(expression)
Status BaseLogic_init(Handle self, Args expressions) {
    TRY_LET(Ref fresh, list());
    TRY(self.setattr<"expressions">(fresh));
    for (Py_ssize_t i = 0; i < expressions.size; ++i) {
        Handle expression = expressions[i];
        Ref value;
        TRY_LET(bool is_str, expression.isinstance(Handle(&PyUnicode_Type)));
        if (is_str) {
            TRY_LET(Ref re, global<"re">());
            TRY_LET(value, re.call_method<"compile">(expression));
        } else if (PyCallable_Check(expression.ptr())) {
            value = Ref::borrow(expression);
        } else {
            TRY_LET(Ref text, expression.str());
            TRY_LET(Ref type_text, type_of(expression).str());
            TRY_LET(Ref message, concat("Expression only accepts str and callable. Got: ", text, " (", type_text, ")"));
            return raise_value(PyExc_TypeError, message.ptr());
        }
        // self.expressions is read for each append: the checks above may run
        // code (an isinstance() that reads __class__) that replaced it.
        TRY_LET(Ref kept, self.attr<"expressions">());
        if (PyList_CheckExact(kept.ptr()))
            TRY(status(PyList_Append(kept.ptr(), value.ptr())));
        else
            TRY(kept.call_method<"append">(value));
    }
    return ok;
}

constexpr const char* BaseLogic_call_doc =
    "Raise NotImplementedError: a BaseLogic tests nothing; And, Or and Not\n"
    "test values.";

// def __call__(self):
//     raise NotImplementedError
Ref BaseLogic_call(Handle) { return raise(PyExc_NotImplementedError); }

// The parts of the string form, one per element of `expressions`: the
// text, and whether it is a pattern's source to be put between quotes.
struct Part {
    Ref text;
    bool quoted;
};

// An element of `expressions` in the string form: repr() of a callable,
// the source text of a pattern between single quotes ("'%s'" % pattern).
Result<Part> part_of(Handle element) {
    if (PyCallable_Check(element.ptr())) {
        TRY_LET(Ref text, element.repr());
        return Part{std::move(text), false};
    }
    TRY_LET(Ref pattern, element.attr<"pattern">());
    if (PyUnicode_CheckExact(pattern.ptr())) return Part{std::move(pattern), true};
    TRY_LET(Ref quoted, Ref::steal(PyUnicode_Format(id<"'%s'">(), pattern.ptr())));
    return Part{std::move(quoted), false};
}

constexpr const char* BaseLogic_str_doc =
    "Return the expression as the call that makes it, e.g.\n"
    "And('a', Or('b', 'c')): each pattern between single quotes, unescaped,\n"
    "each callable as its repr(). logic_str() reads this form back when it is\n"
    "valid Python, which a pattern holding a quote, or a callable whose repr()\n"
    "is no expression, prevents.";

// def __str__(self):
//     parts = []
//     for element in self.expressions:
//         parts.append(repr(element) if callable(element) else "'%s'" % element.pattern)
//     return type(self).__name__ + '(' + ', '.join(parts) + ')'
//
// The parts are rendered first (their repr() may run code, renaming the
// class included), then the name is read, and the text is written in one
// piece.
Ref BaseLogic_str(Handle self) {
    std::vector<Part> parts;
    {
        TRY_LET(Ref expressions, self.attr<"expressions">());
        TRY_LET(Ref it, expressions.iter());
        for (Ref element;;) {
            TRY_NEXT(it, element);
            TRY_LET(Part part, part_of(element));
            parts.push_back(std::move(part));
        }
    }
    PyTypeObject* cls = self.type();
    Ref name;
    if (Py_IS_TYPE(cls, &PyType_Type)) {  // no metaclass of its own: __name__ is the type's name
        TRY_LET(name, Ref::steal(PyType_GetName(cls)));
    } else {
        TRY_LET(name, type_of(self).attr<"__name__">());
    }
    Writer w;
    TRY(w.made());
    // A str subclass may have its own __add__: only an exact str is written
    // directly.
    bool text_name = PyUnicode_CheckExact(name.ptr());
    if (text_name) {
        TRY(w.write(name));
        TRY(w.write("("));
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) TRY(w.write(", "));
        if (parts[i].quoted) TRY(w.write("'"));
        TRY(w.write(parts[i].text));
        if (parts[i].quoted) TRY(w.write("'"));
    }
    if (text_name) {
        TRY(w.write(")"));
        return w.finish();
    }
    // A metaclass's own __name__, or a str subclass: `+` decides, as in Python.
    TRY_LET(Ref joined, w.finish());
    TRY_LET(Ref text, Ref::steal(PyNumber_Add(name.ptr(), id<"(">())));
    TRY_LET(text, Ref::steal(PyNumber_Add(text.ptr(), joined.ptr())));
    return Ref::steal(PyNumber_Add(text.ptr(), id<")">()));
}

constexpr const char* BaseLogic_repr_doc =
    "Return str(self).";

// def __repr__(self):
//     return str(self)
Ref BaseLogic_repr(Handle self) { return self.str(); }

constexpr const char* BaseLogic_eq_doc =
    "Return whether other is of exactly the same class with equal expressions\n"
    "(patterns equal by text and flags, callables by their own equality).\n"
    "Expressions cannot be hashed.";

// def __eq__(self, other):
//     if type(other) is type(self):
//         return self.expressions == other.expressions
//     return False
Ref BaseLogic_eq(Handle self, Handle other) {
    if (other.type() != self.type()) return boolean(false);
    TRY_LET(Ref mine, self.attr<"expressions">());
    TRY_LET(Ref theirs, other.attr<"expressions">());
    return Ref::steal(PyObject_RichCompare(mine.ptr(), theirs.ptr(), Py_EQ));
}

// ---------------------------------------------------------------------------
// Evaluation: And, Or, Not
// ---------------------------------------------------------------------------
//
// def __call__(self, *items):
//     for expression in self.expressions:
//         if isinstance(expression, BaseLogic):
//             satisfied = expression(*items)
//         elif callable(expression):
//             satisfied = any([expression(item) for item in items])
//         else:
//             satisfied = any([expression.search(item if type(item) is str else str(item))
//                              for item in items])
//         <decide on satisfied: see Op>
//     return <the result after the last expression>

enum class Op { and_, or_, not_ };

template <Op op> Result<bool> evaluate(Handle self, Args items);  // the loop above, below

// def __call__(self, *items):  (And: False at the first unsatisfied expression, else True)
Result<bool> And_call(Handle self, Args items) { return evaluate<Op::and_>(self, items); }
// def __call__(self, *items):  (Or: True at the first satisfied expression, else False)
Result<bool> Or_call(Handle self, Args items) { return evaluate<Op::or_>(self, items); }
// def __call__(self, *items):  (Not: False at the first satisfied expression, else True)
Result<bool> Not_call(Handle self, Args items) { return evaluate<Op::not_>(self, items); }

// any([...]) over results that arrive one by one: no result is judged
// before all are made, and the judging stops at the first true one. The
// truth of None, bools, match objects and the other built-in scalars is
// known at once, and dropping them runs no code, so those are not kept.
// Every other result is kept until the end, as the list of the Python form
// keeps it, and released last one first, as that list releases its items:
// dropping a container or a user's object may run a __del__.
class AnyOf {
public:
    AnyOf() = default;
    AnyOf(const AnyOf&) = delete;
    AnyOf& operator=(const AnyOf&) = delete;
    ~AnyOf() {
        while (!kept_.empty()) kept_.pop_back();
    }

    // Whether the answer is true whatever comes later: a result whose
    // truth is known to be true arrived.
    bool settled() const { return settled_at_ != npos; }

    void add(Ref result) {
        PyObject* r = result.ptr();
        if (r == Py_None || r == Py_False) return;
        if (r == Py_True || Py_IS_TYPE(r, st.Match.type_ptr())) {
            if (!settled()) settled_at_ = kept_.size();
            return;
        }
        bool known_true = false;
        int slot = builtin_value_slot(Py_TYPE(r));
        // Containers' truth is their length, known at once; their release
        // is not free of code.
        if (slot >= 0) known_true = PyObject_IsTrue(r) > 0;  // cannot fail for these types
        if (known_true && !settled()) settled_at_ = kept_.size();
        if (slot < 0 ? !known_true : slot >= builtin_first_container) kept_.push_back(std::move(result));
    }

    // any(): the kept results before the first one known to be true are
    // judged in order; the ones after it are never asked.
    Result<bool> result() const {
        size_t judged = settled() ? settled_at_ : kept_.size();
        for (size_t i = 0; i < judged; ++i) {
            TRY_LET(bool is_true, kept_[i].truthy());
            if (is_true) return true;
        }
        return settled();
    }

private:
    static constexpr size_t npos = size_t(-1);
    size_t settled_at_ = npos;
    std::vector<Ref> kept_;
};

// Types whose instances report their own type as __class__: isinstance()
// of one of them against a plain class is a type check.
bool class_is_type(PyTypeObject* t) {
    return t == st.Pattern.type_ptr() || t == &PyFunction_Type || t == &PyCFunction_Type || t == &PyCMethod_Type ||
           t == &PyMethod_Type || t == &PyMethodDescr_Type || t == &PyType_Type || builtin_value_slot(t) >= 0;
}

// isinstance(expression, cls), `cls` being what the module's BaseLogic
// holds now.
Result<bool> is_logic(Handle expression, Handle cls) {
    if (cls.is(st.BaseLogic) && Py_IS_TYPE(cls.ptr(), &PyType_Type)) {
        if (PyObject_TypeCheck(expression.ptr(), st.BaseLogic.type_ptr())) return true;
        if (class_is_type(expression.type())) return false;
    }
    return expression.isinstance(cls);
}


// `satisfied = expression(*items)` judged by its truth. While
// type(expression).__call__ is one of this module's, that is what the call
// runs, so it runs at once. Another call's result is kept in `satisfied`
// (the local of the Python form) until the next expression's answer
// replaces it or the evaluation ends: its release may run code.
Result<bool> nested(Handle expression, Args items, Ref& satisfied) {
    Ref call = type_lookup<"__call__">(expression.type());
    Result<bool> (*direct)(Handle, Args) = nullptr;
    if (is_impl<And_call>(call.ptr())) direct = evaluate<Op::and_>;
    else if (is_impl<Or_call>(call.ptr())) direct = evaluate<Op::or_>;
    else if (is_impl<Not_call>(call.ptr())) direct = evaluate<Op::not_>;
    if (direct) {
        RecursionGuard depth(" while calling a Python object");
        TRY(depth.entered());
        TRY_LET(bool answer, direct(expression, items));
        satisfied = nullptr;
        return answer;
    }
    TRY_LET(Ref result, vectorcall(expression, items.items, (size_t)items.size, nullptr));
    satisfied = std::move(result);
    return satisfied.truthy();
}

// any([expression(item) for item in items])
Result<bool> any_call(Handle expression, Args items) {
    AnyOf any;
    PyObject* argv[2] = {nullptr, nullptr};  // argv[0]: room for PY_VECTORCALL_ARGUMENTS_OFFSET
    for (Py_ssize_t i = 0; i < items.size; ++i) {
        argv[1] = items.items[i];
        TRY_LET(Ref result, vectorcall(expression, argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        any.add(std::move(result));
    }
    return any.result();
}

// any([expression.search(item if type(item) is str else str(item)) for item in items])
//
// A compiled pattern's search on a str runs no code of anyone's and has no
// effect, so once one item matched, the remaining searches are skipped: the
// answer is the same. str() of every item is still taken, since that may
// run the item's own __str__.
Result<bool> any_search(Handle expression, Args items) {
    if (!Py_IS_TYPE(expression.ptr(), st.Pattern.type_ptr())) {
        AnyOf any;
        for (Py_ssize_t i = 0; i < items.size; ++i) {
            Handle item = items[i];
            Ref converted;
            if (!PyUnicode_CheckExact(item.ptr())) { TRY_LET(converted, item.str()); }
            TRY_LET(Ref match, expression.call_method<"search">(converted ? Handle(converted) : item));
            any.add(std::move(match));
        }
        return any.result();
    }
    // A compiled pattern's results are None or a match: nothing to keep.
    bool found = false;
    for (Py_ssize_t i = 0; i < items.size; ++i) {
        Handle item = items[i];
        Ref converted;
        if (!PyUnicode_CheckExact(item.ptr())) { TRY_LET(converted, item.str()); }
        if (found) continue;
        PyObject* argv[2] = {expression.ptr(), converted ? converted.ptr() : item.ptr()};
        TRY_LET(Ref match, vectorcall(st.pattern_search, argv, 2, nullptr));
        found = match.ptr() != Py_None;
    }
    return found;
}

// Whether one expression is satisfied by the items; `satisfied` holds the
// value the Python form's local of that name holds.
Result<bool> is_satisfied_by(Handle expression, Args items, Ref& satisfied) {
    TRY_LET(Ref cls, global<"BaseLogic">());
    TRY_LET(bool logic, is_logic(expression, cls));
    if (logic) return nested(expression, items, satisfied);
    // any() gives a bool: the value held before is released once it is in.
    Ref previous = std::move(satisfied);
    if (PyCallable_Check(expression.ptr())) return any_call(expression, items);
    return any_search(expression, items);
}

// What a judgement does:
//   And: an expression not satisfied returns False; after the last, True.
//   Or:  an expression satisfied returns True; after the last, False.
//   Not: an expression satisfied returns False; after the last, True.
template <Op op> constexpr bool decides(bool is_satisfied) { return op == Op::and_ ? !is_satisfied : is_satisfied; }
template <Op op> constexpr bool decided = op == Op::or_;
template <Op op> constexpr bool after_last = op != Op::or_;

template <Op op>
Result<bool> evaluate(Handle self, Args items) {
    TRY_LET(Ref expressions, self.attr<"expressions">());
    Ref satisfied;
    TRY_LET(bool decided_early, walk_items(expressions, [&](Handle expression) -> Result<bool> {
        TRY_LET(bool is_satisfied, is_satisfied_by(expression, items, satisfied));
        return decides<op>(is_satisfied);
    }));
    return decided_early ? decided<op> : after_last<op>;
}


constexpr const char* And_doc =
    "Logical And\n"
    "\n"
    "True when every expression is satisfied by at least one of the values\n"
    "(each expression may be satisfied by a different value); True for no\n"
    "expressions.\n"
    "\n"
    "    >>> And('a', 'b')('ab')\n"
    "    True\n"
    "    >>> And('a', 'b')('a')\n"
    "    False";

constexpr const char* Or_doc =
    "Logical Or\n"
    "\n"
    "True when some expression is satisfied by some value; False for no\n"
    "expressions.\n"
    "\n"
    "    >>> Or('x', 'b')('abc')\n"
    "    True";

constexpr const char* Not_doc =
    "Logical Not\n"
    "\n"
    "True when no expression is satisfied by any value, the negation of Or\n"
    "over the same expressions; True for no expressions.\n"
    "\n"
    "    >>> Not('x')('abc')\n"
    "    True";

constexpr const char* call_doc =
    "Test the values given as positional arguments; answer True or False.\n"
    "\n"
    "A pattern is satisfied when it is found in str() of some value, a callable\n"
    "when it returns a true result for some value (it is called with every\n"
    "value), a nested expression when its answer for all the values at once\n"
    "is true.\n"
    "Expressions after the deciding one are not evaluated.";

// ---------------------------------------------------------------------------
// logic_str
// ---------------------------------------------------------------------------

constexpr const char* logic_str_doc =
    "Logic String Conversion\n"
    "\n"
    "Convert a logic form string to objects, mostly for command-line parsing\n"
    "of arguments: the text that str() of an expression gives is turned back\n"
    "into the expression.\n"
    "\n"
    "    >>> logic_str(\"And('a', 'b')\")('ab')\n"
    "    True\n"
    "\n"
    "The text, decoded with decode_cli_string(), is evaluated as a Python\n"
    "expression with this module's namespace as its globals and the text\n"
    "itself as the local name `string`, so any expression is accepted, calls\n"
    "of any reachable function included. It must come from a trusted user,\n"
    "exactly as a command-line argument does. Text that does not evaluate\n"
    "to an expression raises ValueError.";

// eval(text, <module namespace>, locals), as the built-in eval compiles and
// runs a str: leading blanks and tabs skipped, no null characters, the
// "exec" audit event raised before the code runs. The built-in itself would
// store `__builtins__` into the module namespace, which this module's
// namespace does not hold; the code sees the built-in names all the same.
Ref eval_text(Handle text, Handle locals) {
    if (!PyUnicode_Check(text.ptr()))
        return raise(PyExc_TypeError, "logic string must be str, not %.200s", text.type()->tp_name);
    Py_ssize_t size = 0;
    const char* source = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!source) return failure;
    if (std::strlen(source) != (size_t)size) return raise(PyExc_SyntaxError, "source code string cannot contain null bytes");
    while (*source == ' ' || *source == '\t') ++source;
    PyCompilerFlags flags = {PyCF_SOURCE_IS_UTF8, PY_MINOR_VERSION};
    TRY_LET(Ref code, Ref::steal(Py_CompileStringExFlags(source, "<string>", Py_eval_input, &flags, -1)));
    TRY(status(PySys_Audit("exec", "O", code.ptr())));
    return Ref::steal(PyEval_EvalCode(code.ptr(), module_globals().ptr(), locals.ptr()));
}

// try:
//     ret = eval(string, globals(), {'string': string})
//     assert isinstance(ret, BaseLogic)
Ref evaluate_text(Handle text) {
    TRY_LET(Ref locals, dict());
    TRY(locals.set_item(id<"string">(), text));
    TRY_LET(Ref result, eval_text(text, locals));
    if (st.assertions_enabled) {
        TRY_LET(Ref cls, global<"BaseLogic">());
        TRY_LET(bool is_base_logic, result.isinstance(cls));
        if (!is_base_logic) return raise(PyExc_AssertionError);
    }
    return result;
}

// def logic_str(string):
//     string = decode_cli_string(string)
//     try:
//         <evaluate_text(string)>
//     except Exception:
//         raise ValueError('Not a properly formatted logic string: %s' % string)
//     return ret
Ref logic_str(Handle string) {
    TRY_LET(Ref decode, global<"decode_cli_string">());
    TRY_LET(Ref text, decode(string));
    Ref result = evaluate_text(text);
    if (result) return result;
    Caught caught;
    if (!caught.matches(PyExc_Exception)) return caught.reraise();
    // Raised while the first exception is handled: that becomes its context.
    Handling handling(caught.value());
    TRY_LET(Ref message, Ref::steal(PyUnicode_Format(id<"Not a properly formatted logic string: %s">(), text.ptr())));
    return raise_value(PyExc_ValueError, message.ptr());
}

// ---------------------------------------------------------------------------
// Module body
// ---------------------------------------------------------------------------

Status body() {
    TRY(import("re"));
    TRY(import("logging"));
    TRY(import_from("vornal.utils.strings", {"decode_cli_string"}));
    TRY_LET(Ref all, Ref::steal(Py_BuildValue("[sss]", "And", "Or", "Not")));
    TRY(bind_global("__all__", all));
    TRY_LET(Ref logging, global<"logging">());
    TRY_LET(Ref name, global<"__name__">());
    TRY_LET(Ref logger, logging.call_method<"getLogger">(name));
    TRY(bind_global("logger", logger));

    TRY_LET(Ref re, global<"re">());
    TRY_LET(Ref pattern_class, re.attr<"Pattern">());
    st.Pattern.set(std::move(pattern_class));
    TRY_LET(Ref match_class, re.attr<"Match">());
    st.Match.set(std::move(match_class));
    TRY_LET(Ref search, Handle(st.Pattern).attr<"search">());
    st.pattern_search.set(std::move(search));
    int optimization_level = 0;
    TRY(status(PyConfig_GetInt("optimization_level", &optimization_level)));
    st.assertions_enabled = optimization_level == 0;

    TRY(define_class(st.BaseLogic, "BaseLogic",
                     ClassDef("BaseLogic", BaseLogic_doc)
                         .method(def<BaseLogic_init>("__init__", "self, *expressions", BaseLogic_init_doc))
                         .method(def<BaseLogic_call>("__call__", "self", BaseLogic_call_doc))
                         .method(def<BaseLogic_str>("__str__", "self", BaseLogic_str_doc))
                         .method(def<BaseLogic_repr>("__repr__", "self", BaseLogic_repr_doc))
                         .method(def<BaseLogic_eq>("__eq__", "self, other", BaseLogic_eq_doc))));
    TRY(define_class(st.And, "And",
                     ClassDef("And", And_doc).bases({st.BaseLogic}).method(def<And_call>("__call__", "self, *items", call_doc))));
    TRY(define_class(st.Or, "Or",
                     ClassDef("Or", Or_doc).bases({st.BaseLogic}).method(def<Or_call>("__call__", "self, *items", call_doc))));
    TRY(define_class(st.Not, "Not",
                     ClassDef("Not", Not_doc).bases({st.BaseLogic}).method(def<Not_call>("__call__", "self, *items", call_doc))));
    TRY_LET(Ref logic_str_function, function(def<logic_str>("logic_str", "string", logic_str_doc)));
    return bind_global("logic_str", logic_str_function);
}

}  // namespace

PF_MODULE(logic, body)
