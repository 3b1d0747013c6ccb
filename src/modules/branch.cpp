// vornal.datastructures.branch: a tree node that prints its subtree as
// indented ASCII art.
//
//     class Branch(object):
//         def __init__(self, name, children=None):
//             if not children:
//                 children = []
//             self.name = name
//             self.children = children
//
//         def add_child(self, item):
//             self.children.append(item)
//
//         def __str__(self):
//             result = self.name
//             if not self.children:
//                 return result
//             for child in self.children[:-1]:
//                 lines = str(child).split("\n")
//                 result += "\n|-- " + lines[0]
//                 for line in lines[1:]:
//                     result += "\n|   " + line
//             lines = str(self.children[-1]).split("\n")
//             result += "\n`-- " + lines[0]
//             for line in lines[1:]:
//                 result += "\n    " + line
//             return result
//
// Rendering a large tree through str() of every child would build the text
// of every subtree once per level above it. Instead, a child whose str() is
// this very __str__ is walked in place and the whole text is written once
// (see Renderer), as long as every name and text on the way is an exact
// str, whose operations run no code; from a node where one is not, the body
// runs as written, so that the objects' own split() and + decide.
#include "pyframe.hpp"

#include <algorithm>
#include <cstdint>

namespace {
using namespace pf;

// Everything the module keeps for its interpreter (pyframe/api/state.hpp).
struct State {
    Held Branch;
    // slice(None, -1), slice(1, None), 0 and -1: the keys of `children[:-1]`,
    // `lines[1:]`, `lines[0]` and `children[-1]`.
    Held all_but_last;
    Held all_but_first;
    Held zero;
    Held minus_one;
    // Branch's own tp_str, once the class is built: the common exact-type check.
    Value<reprfunc> own_str_slot;
};
PF_STATE(State, st);

constexpr const char* Branch_doc =
    "A node of a tree that mimics the printing behaviour of the ``tree``\n"
    "command: str() of a node gives its whole subtree as indented ASCII text,\n"
    "one node per line.\n"
    "\n"
    "Example::\n"
    "\n"
    "    >>> son = Branch('son', [Branch('granddaughterB'), Branch('grandsonB')])\n"
    "    >>> son.add_child(Branch('granddaughterC', [Branch('grandgranddaughterA'),\n"
    "    ...                                         Branch('grandgrandsonA')]))\n"
    "    >>> son.add_child(Branch('granddaughterD', [Branch('grandgranddaughterB'),\n"
    "    ...                                         Branch('grandgrandsonB')]))\n"
    "    >>> daughter = Branch('daughter', [Branch('granddaughterA'), Branch('grandsonB')])\n"
    "    >>> print(Branch('grandmother', [daughter, son]))\n"
    "    grandmother\n"
    "    |-- daughter\n"
    "    |   |-- granddaughterA\n"
    "    |   `-- grandsonB\n"
    "    `-- son\n"
    "        |-- granddaughterB\n"
    "        |-- grandsonB\n"
    "        |-- granddaughterC\n"
    "        |   |-- grandgranddaughterA\n"
    "        |   `-- grandgrandsonA\n"
    "        `-- granddaughterD\n"
    "            |-- grandgranddaughterB\n"
    "            `-- grandgrandsonB";

constexpr const char* Branch_init_doc =
    "Make a node named name, the str that is its line in str(), with the list\n"
    "children. A non-empty list is kept as it is, not copied, so add_child()\n"
    "lengthens the caller's list too; None or an empty list gives the node a\n"
    "new list.";

// def __init__(self, name, children=None):
//     if not children:
//         children = []
//     self.name = name
//     self.children = children
Status Branch_init(Handle self, Handle name, Handle children) {
    Ref kept = Ref::borrow(children);
    TRY_LET(bool given, kept.truthy());
    if (!given) { TRY_LET(kept, list()); }
    TRY(self.setattr<"name">(name));
    return self.setattr<"children">(kept);
}

// def add_child(self, item):
//     self.children.append(item)
Status Branch_add_child(Handle self, Handle item) {
    TRY_LET(Ref children, self.attr<"children">());
    // A list's append cannot be replaced: append to it directly.
    if (PyList_CheckExact(children.ptr())) return status(PyList_Append(children.ptr(), item.ptr()));
    TRY(children.call_method<"append">(item));
    return ok;
}

// ---------------------------------------------------------------------------
// Rendering
// ---------------------------------------------------------------------------

Ref Branch_str(Handle self);

// Whether str(o) is Branch.__str__(o): the type's __str__ is ours.
bool renders_in_place(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    if (t->tp_str == st.own_str_slot) return true;
    if (!PyType_IsSubtype(t, st.Branch.type_ptr())) return false;
    return is_impl<Branch_str>(type_lookup<"__str__">(t).ptr());
}

// What str() says of a __str__ that returned something that is no str.
Failure not_text(Handle result) {
    return raise(PyExc_TypeError, "__str__ returned non-string (type %.200s)", result.type()->tp_name);
}

// --- the class body's own operations ---------------------------------------
//
// Where anything on the way is no exact str (a name of another type, a
// child's text of a str subclass), the body is run as written, each
// operation the interpreter's own, so that the objects' methods decide:
//     result = self.name
//     for child in self.children[:-1]:
//         lines = str(child).split("\n")
//         result += "\n|-- " + lines[0]
//         for line in lines[1:]:
//             result += "\n|   " + line
//     (the same for self.children[-1], with "\n`-- " and "\n    ")

// lines = text.split("\n"); result += <first> + lines[0];
// for line in lines[1:]: result += <more> + line
Status add_lines(Ref& result, Handle text, bool last) {
    PyObject* first = last ? id<"\n`-- ">() : id<"\n|-- ">();
    PyObject* more = last ? id<"\n    ">() : id<"\n|   ">();
    TRY_LET(Ref lines, text.call_method<"split">(id<"\n">()));
    TRY_LET(Ref line, lines.item(st.zero));
    TRY_LET(Ref piece, Ref::steal(PyNumber_Add(first, line.ptr())));
    TRY_LET(result, Ref::steal(PyNumber_InPlaceAdd(result.ptr(), piece.ptr())));
    TRY_LET(Ref rest, lines.item(st.all_but_first));
    TRY_LET(Ref it, rest.iter());
    for (;;) {
        TRY_NEXT(it, line);
        TRY_LET(piece, Ref::steal(PyNumber_Add(more, line.ptr())));
        TRY_LET(result, Ref::steal(PyNumber_InPlaceAdd(result.ptr(), piece.ptr())));
    }
    return ok;
}

// The rest of the body for a node whose name `result` was read and whose
// children were found truthy.
Ref render_as_written(Handle self, Ref result) {
    {
        TRY_LET(Ref children, self.attr<"children">());
        TRY_LET(Ref head, children.item(st.all_but_last));
        TRY_LET(Ref it, head.iter());
        for (Ref child;;) {
            TRY_NEXT(it, child);
            TRY_LET(Ref text, child.str());
            TRY(add_lines(result, text, false));
        }
    }
    TRY_LET(Ref children, self.attr<"children">());
    TRY_LET(Ref child, children.item(st.minus_one));
    TRY_LET(Ref text, child.str());
    TRY(add_lines(result, text, true));
    return result;
}

// --- the walk ----------------------------------------------------------------

// One text of the output: a node's name or the str() of a child that is
// rendered the ordinary way, at its depth below the node being rendered.
struct Piece {
    Ref text;
    Py_ssize_t depth;
    Py_ssize_t newlines;  // line feeds in text
    bool last;            // the last child of its parent
};

// Counts the line feeds of a str.
Py_ssize_t count_newlines(PyObject* s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s), count = 0;
    const void* data = PyUnicode_DATA(s);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: {
            auto* p = static_cast<const char*>(data);
            auto* end = p + n;
            while ((p = static_cast<const char*>(std::memchr(p, '\n', (size_t)(end - p))))) ++count, ++p;
            return count;
        }
        case PyUnicode_2BYTE_KIND: return std::count(static_cast<const Py_UCS2*>(data), static_cast<const Py_UCS2*>(data) + n, Py_UCS2('\n'));
        default: return std::count(static_cast<const Py_UCS4*>(data), static_cast<const Py_UCS4*>(data) + n, Py_UCS4('\n'));
    }
}

// Renders a tree of exact str texts in one piece. A child whose str() is
// this very __str__ (a Branch, or a subclass that keeps it) is walked in
// place: its name and children are read exactly as its own __str__ would
// read them (children three times: for the truth test, for children[:-1]
// and for children[-1]), at the same recursion depth, and the other
// children are rendered through str(). The walk collects the texts in
// output order with their depth; the text is then written once, into a
// string of exactly the right length, with the prefixes every line gets
// from the levels above it. A node on the way whose name, or a child's
// text, is no exact str goes on with the body's own operations
// (render_as_written) from that point: what its subtree collected so far
// is written out as the `result` its body would hold by then.
class Renderer {
public:
    // The text of `self`, whose name (an exact str) is read and whose
    // children were found truthy.
    Ref render(Handle self, Handle name) {
        Ref text;
        TRY(node(self, name, 0, true, text));
        if (text) return text;
        return written(0, 0);
    }

private:
    // The node's progress: where its pieces start, and the body's `result`
    // once it renders as written.
    struct Frame {
        size_t start;
        Py_ssize_t depth;
        Ref result;
    };

    // The subtree of `self` at `depth`, as pieces; or, when something on the
    // way is no exact str, as the text the body gives (`text`, no pieces).
    Status node(Handle self, Handle name, Py_ssize_t depth, bool last, Ref& text) {
        Frame f{pieces_.size(), depth, Ref()};
        TRY(add(name, depth, last));
        {
            TRY_LET(Ref children, self.attr<"children">());
            TRY(all_but_last_of(f, children));
        }
        TRY_LET(Ref children, self.attr<"children">());
        TRY_LET(Ref child, children.item(st.minus_one));
        TRY(visit(f, child, true));
        text = std::move(f.result);
        return ok;
    }

    // for child in children[:-1]: <child>
    Status all_but_last_of(Frame& f, Handle children) {
        PyObject* c = children.ptr();
        if (PyTuple_CheckExact(c)) {  // immutable: its items stay for the walk
            for (Py_ssize_t i = 0; i + 1 < PyTuple_GET_SIZE(c); ++i) TRY(visit(f, PyTuple_GET_ITEM(c, i), false));
            return ok;
        }
        if (PyList_CheckExact(c)) {
            // children[:-1] is a copy made before the loop: the str() of a
            // child may change the list. The copy is kept in `held_`.
            size_t base = held_.size();
            for (Py_ssize_t i = 0; i + 1 < PyList_GET_SIZE(c); ++i) held_.push_back(Ref::borrow(PyList_GET_ITEM(c, i)));
            Status walked = ok;
            for (size_t i = base; i < held_.size() && walked.succeeded(); ++i) walked = visit(f, held_[i], false);
            held_.resize(base);
            return walked;
        }
        TRY_LET(Ref head, children.item(st.all_but_last));
        TRY_LET(Ref it, head.iter());
        for (Ref child;;) {
            TRY_NEXT(it, child);
            TRY(visit(f, child, false));
        }
        return ok;
    }

    // One child of the frame's node.
    Status visit(Frame& f, Handle child, bool last) {
        if (f.result) {  // the node renders as written
            TRY_LET(Ref text, child.str());
            return add_lines(f.result, text, last);
        }
        Ref text;
        TRY(child_text(child, f.depth + 1, last, text));
        if (!text) return ok;  // walked in place
        if (PyUnicode_CheckExact(text.ptr())) return add(text, f.depth + 1, last);
        // A text of a str subclass: its own split() and + decide from here on.
        TRY_LET(f.result, written(f.start, f.depth));
        return add_lines(f.result, text, last);
    }

    // str(child): walked in place as pieces (`text` stays null) when its
    // str() is Branch.__str__, otherwise its text.
    Status child_text(Handle child, Py_ssize_t depth, bool last, Ref& text) {
        if (!renders_in_place(child.ptr())) {
            TRY_LET(text, child.str());
            return ok;
        }
        // What str(child) would enter before running its __str__, and the
        // call of __str__ itself.
        RecursionGuard guard(" while getting the str of an object");
        TRY(guard.entered());
        CallDepth call;
        TRY(call.enter());
        TRY_LET(Ref name, child.attr<"name">());
        TRY_LET(Ref children, child.attr<"children">());
        TRY_LET(bool has_children, children.truthy());
        if (!has_children) {
            text = std::move(name);
        } else if (!PyUnicode_CheckExact(name.ptr())) {
            TRY_LET(text, render_as_written(child, std::move(name)));
        } else {
            TRY(node(child, name, depth, last, text));
        }
        if (text && !PyUnicode_Check(text.ptr())) return not_text(text);
        return ok;
    }

    Status add(Handle text, Py_ssize_t depth, bool last) {
        PyObject* s = text.ptr();
        pieces_.push_back(Piece{Ref::borrow(text), depth, count_newlines(s), last});
        return ok;
    }

    // The pieces from `start` on, whose first is at `base` depth, written as
    // one str (the first piece's own prefix left out); they are dropped.
    Ref written(size_t start, Py_ssize_t base) {
        // Every line: a line feed (but the first), 4 columns per level below
        // `base`, its text (the text's own line feeds are the line feeds of
        // its lines).
        Py_ssize_t length = -1;
        Py_UCS4 maxchar = 127;
        for (size_t i = start; i < pieces_.size(); ++i) {
            const Piece& p = pieces_[i];
            PyObject* s = p.text.ptr();
            Py_ssize_t lines = p.newlines + 1, prefix = 0, size = 0;
            if (mul_overflows(p.depth - base, (Py_ssize_t)4, &prefix) || add_overflows(prefix, (Py_ssize_t)1, &prefix) ||
                mul_overflows(lines, prefix, &size) || add_overflows(size, PyUnicode_GET_LENGTH(s) - p.newlines, &size) ||
                add_overflows(length, size, &length))
                return raise(PyExc_OverflowError, "the rendering of the tree is too long");
            maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(s));
        }
        TRY_LET(Ref out, Ref::steal(PyUnicode_New(length, maxchar)));
        switch (PyUnicode_KIND(out.ptr())) {
            case PyUnicode_1BYTE_KIND: write<Py_UCS1>(out.ptr(), start, base); break;
            case PyUnicode_2BYTE_KIND: write<Py_UCS2>(out.ptr(), start, base); break;
            default: write<Py_UCS4>(out.ptr(), start, base); break;
        }
        pieces_.resize(start);
        return out;
    }

    // Copies n characters of a str of any kind to `to`.
    template <class C>
    static C* copy(C* to, PyObject* from, Py_ssize_t start, Py_ssize_t n) {
        const void* data = PyUnicode_DATA(from);
        switch (PyUnicode_KIND(from)) {
            case PyUnicode_1BYTE_KIND: return std::copy_n(static_cast<const Py_UCS1*>(data) + start, n, to);
            case PyUnicode_2BYTE_KIND: return std::copy_n(static_cast<const Py_UCS2*>(data) + start, n, to);
            default: return std::copy_n(static_cast<const Py_UCS4*>(data) + start, n, to);
        }
    }
    template <class C>
    static C* put(C* to, const char* four) {
        return std::copy_n(four, 4, to);
    }

    // Writes the pieces from `start` on in order. `rails` holds the prefix
    // of the lines below the current piece's parent: per level, "|   "
    // beside a child that has siblings after it, four spaces beside a last
    // child.
    template <class C>
    void write(PyObject* out, size_t start, Py_ssize_t base) {
        C* to = static_cast<C*>(PyUnicode_DATA(out));
        std::vector<C> rails;
        bool first = true;
        for (size_t i = start; i < pieces_.size(); ++i) {
            const Piece& p = pieces_[i];
            PyObject* s = p.text.ptr();
            Py_ssize_t depth = p.depth - base;
            size_t inner = depth > 0 ? (size_t)(depth - 1) * 4 : 0;
            rails.resize(inner);
            Py_ssize_t n = PyUnicode_GET_LENGTH(s), from = 0;
            for (Py_ssize_t line = 0; line <= p.newlines; ++line) {
                Py_ssize_t end = n;
                if (line < p.newlines) end = PyUnicode_FindChar(s, '\n', from, n, 1);
                if (!first) *to++ = '\n';
                first = false;
                to = std::copy(rails.begin(), rails.end(), to);
                if (depth > 0) {
                    if (line == 0) to = put(to, p.last ? "`-- " : "|-- ");
                    else to = put(to, p.last ? "    " : "|   ");
                }
                to = copy(to, s, from, end - from);
                from = end + 1;
            }
            // The rail beside this piece's own subtree.
            if (depth > 0) {
                const char* rail = p.last ? "    " : "|   ";
                rails.insert(rails.end(), rail, rail + 4);
            }
        }
    }

    std::vector<Piece> pieces_;
    std::vector<Ref> held_;  // the copies of children[:-1] being walked
};

// def __str__(self): see the top of this file.
Ref Branch_str(Handle self) {
    CallDepth call;  // this call of __str__, as the interpreter counts it
    TRY(call.enter());
    TRY_LET(Ref name, self.attr<"name">());
    TRY_LET(Ref children, self.attr<"children">());
    TRY_LET(bool has_children, children.truthy());
    if (!has_children) return name;
    if (!PyUnicode_CheckExact(name.ptr())) return render_as_written(self, std::move(name));
    Renderer r;
    return r.render(self, name);
}

// ---------------------------------------------------------------------------
// Module body
// ---------------------------------------------------------------------------

Status body() {
    TRY(define_class(st.Branch, "Branch",
                     ClassDef("Branch", Branch_doc)
                         .method(def<Branch_init>("__init__", "self, name, children=None", Branch_init_doc))
                         .method(def<Branch_add_child>("add_child", "self, item", "Add children"))
                         .method(def<Branch_str>("__str__", "self",
                                                 "String formatter\n\n"
                                                 "Returns this node and its subtree formatted as a string."))));
    st.own_str_slot = st.Branch.type_ptr()->tp_str;
    TRY_LET(Ref minus, integer(-1));
    TRY_LET(Ref one, integer(1));
    TRY_LET(Ref nought, integer(0));
    TRY_LET(Ref head, Ref::steal(PySlice_New(nullptr, minus.ptr(), nullptr)));
    TRY_LET(Ref tail, Ref::steal(PySlice_New(one.ptr(), nullptr, nullptr)));
    st.all_but_last.set(std::move(head));
    st.all_but_first.set(std::move(tail));
    st.zero.set(std::move(nought));
    st.minus_one.set(std::move(minus));
    return ok;
}

}  // namespace

PF_MODULE(branch, body)
