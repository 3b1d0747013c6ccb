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
// this very __str__ (a Branch, or a subclass that keeps it) is walked in
// place: its name and children are read exactly as its own __str__ would
// read them, at the same recursion depth, and the other children are
// rendered through str(). The walk collects the texts in output order with
// their depth; the result is then written once, into a string of exactly
// the right length, with the prefixes every line gets from the levels above
// it. Nothing is written before the whole walk has succeeded, so a tree that
// is too deep (or contains itself) fails with RecursionError before any
// output is made.
#include "pyframe.hpp"

#include <algorithm>
#include <cstdint>

namespace {
using namespace pf;

Class Branch;

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

// slice(None, -1), the key of `children[:-1]`; and -1, that of `children[-1]`.
Class all_but_last;
Class minus_one;
// Branch's own tp_str, once the class is built: the common exact-type check.
State<reprfunc> own_str_slot;

// Whether str(o) is Branch.__str__(o): the type's __str__ is ours.
bool renders_in_place(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    if (t->tp_str == own_str_slot) return true;
    if (!PyType_IsSubtype(t, Branch.type_ptr())) return false;
    return is_impl<Branch_str>(type_lookup<"__str__">(t).ptr());
}

// What the name of a node becomes: used unchanged, so it must be a str.
Failure name_error(Handle name) {
    return raise(PyExc_TypeError, "__str__ returned non-string (type %.200s)", name.type()->tp_name);
}

// One text of the output: a node's name or the str() of a child that is
// rendered the ordinary way, at its depth below the root.
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

class Renderer {
public:
    // The walk below the root `name`, whose `children` are truthy.
    Status walk(Handle name, Handle children) {
        TRY(add(name, 0, true));
        return walk_children(children, 1);
    }

    // The rendering, written in one piece.
    Ref finish() {
        TRY_LET(Ref out, Ref::steal(PyUnicode_New(length_, maxchar_)));
        switch (PyUnicode_KIND(out.ptr())) {
            case PyUnicode_1BYTE_KIND: write<Py_UCS1>(out.ptr()); break;
            case PyUnicode_2BYTE_KIND: write<Py_UCS2>(out.ptr()); break;
            default: write<Py_UCS4>(out.ptr()); break;
        }
        return out;
    }

private:
    // for child in children[:-1]: <child>;  then <children[-1]> as the last.
    Status walk_children(Handle children, Py_ssize_t depth) {
        PyObject* c = children.ptr();
        if (PyTuple_CheckExact(c)) {  // immutable: its items stay for the walk
            Py_ssize_t n = PyTuple_GET_SIZE(c);
            for (Py_ssize_t i = 0; i + 1 < n; ++i) TRY(child(PyTuple_GET_ITEM(c, i), depth, false));
            return child(PyTuple_GET_ITEM(c, n - 1), depth, true);
        }
        if (PyList_CheckExact(c)) {
            // children[:-1] is a copy made before the loop: the str() of a
            // child may change the list. The copy is kept in `held_`.
            size_t base = held_.size();
            Py_ssize_t n = PyList_GET_SIZE(c);
            for (Py_ssize_t i = 0; i + 1 < n; ++i) held_.push_back(Ref::borrow(PyList_GET_ITEM(c, i)));
            Status walked = ok;
            for (size_t i = base; i < held_.size() && walked.succeeded(); ++i) walked = child(held_[i], depth, false);
            held_.resize(base);
            TRY(walked);
            n = PyList_GET_SIZE(c);
            if (n == 0) return raise(PyExc_IndexError, "list index out of range");
            Ref last = Ref::borrow(PyList_GET_ITEM(c, n - 1));
            return child(last, depth, true);
        }
        TRY_LET(Ref head, children.item(all_but_last));
        TRY_LET(Ref it, head.iter());
        for (Ref item;;) {
            TRY_NEXT(it, item);
            TRY(child(item, depth, false));
        }
        TRY_LET(Ref last, children.item(minus_one));
        return child(last, depth, true);
    }

    // A child at `depth`: walked in place when its str() is Branch.__str__,
    // otherwise rendered by str().
    Status child(Handle node, Py_ssize_t depth, bool last) {
        if (!renders_in_place(node.ptr())) {
            TRY_LET(Ref text, node.str());
            return add(text, depth, last);
        }
        // What str(node) would enter before running its __str__.
        RecursionGuard guard(" while getting the str of an object");
        TRY(guard.entered());
        TRY_LET(Ref name, node.attr<"name">());
        TRY_LET(Ref children, node.attr<"children">());
        TRY_LET(bool has_children, children.truthy());
        if (!PyUnicode_Check(name.ptr())) return name_error(name);
        TRY(add(name, depth, last));
        if (!has_children) return ok;
        return walk_children(children, depth + 1);
    }

    Status add(Handle text, Py_ssize_t depth, bool last) {
        PyObject* s = text.ptr();
        Py_ssize_t newlines = count_newlines(s);
        // Every line: a line feed (but the first), 4 columns per level, its
        // text (the text's own line feeds are the line feeds of its lines).
        Py_ssize_t lines = newlines + 1, prefix = 0, size = 0;
        if (mul_overflows(depth, (Py_ssize_t)4, &prefix) || add_overflows(prefix, (Py_ssize_t)1, &prefix) ||
            mul_overflows(lines, prefix, &size) || add_overflows(size, PyUnicode_GET_LENGTH(s) - newlines, &size) ||
            add_overflows(length_, size, &length_))
            return raise(PyExc_OverflowError, "the rendering of the tree is too long");
        if (pieces_.empty()) --length_;  // no line feed before the first line
        maxchar_ = std::max(maxchar_, PyUnicode_MAX_CHAR_VALUE(s));
        pieces_.push_back(Piece{Ref::borrow(text), depth, newlines, last});
        return ok;
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

    // Writes the pieces in order. `rails` holds the prefix of the lines
    // below the current piece's parent: per level, "|   " beside a child
    // that has siblings after it, four spaces beside a last child.
    template <class C>
    void write(PyObject* out) {
        C* to = static_cast<C*>(PyUnicode_DATA(out));
        std::vector<C> rails;
        bool first = true;
        for (const Piece& p : pieces_) {
            PyObject* s = p.text.ptr();
            size_t inner = p.depth > 0 ? (size_t)(p.depth - 1) * 4 : 0;
            rails.resize(inner);
            Py_ssize_t n = PyUnicode_GET_LENGTH(s), start = 0;
            for (Py_ssize_t line = 0; line <= p.newlines; ++line) {
                Py_ssize_t end = n;
                if (line < p.newlines) end = PyUnicode_FindChar(s, '\n', start, n, 1);
                if (!first) *to++ = '\n';
                first = false;
                to = std::copy(rails.begin(), rails.end(), to);
                if (p.depth > 0) {
                    if (line == 0) to = put(to, p.last ? "`-- " : "|-- ");
                    else to = put(to, p.last ? "    " : "|   ");
                }
                to = copy(to, s, start, end - start);
                start = end + 1;
            }
            // The rail beside this piece's own subtree.
            if (p.depth > 0) {
                const char* rail = p.last ? "    " : "|   ";
                rails.insert(rails.end(), rail, rail + 4);
            }
        }
    }

    std::vector<Piece> pieces_;
    std::vector<Ref> held_;  // the copies of children[:-1] being walked
    Py_ssize_t length_ = 0;
    Py_UCS4 maxchar_ = 127;
};

// def __str__(self): see the top of this file.
//
// A name that is not a str fails as str() of a leaf with such a name fails:
// with TypeError, and before anything below the node is rendered.
Ref Branch_str(Handle self) {
    TRY_LET(Ref name, self.attr<"name">());
    TRY_LET(Ref children, self.attr<"children">());
    TRY_LET(bool has_children, children.truthy());
    if (!PyUnicode_Check(name.ptr())) return name_error(name);
    if (!has_children) return name;
    Renderer r;
    TRY(r.walk(name, children));
    return r.finish();
}

// ---------------------------------------------------------------------------
// Module body
// ---------------------------------------------------------------------------

Status body() {
    TRY(define_class(Branch, "Branch",
                     ClassDef("Branch", Branch_doc)
                         .method(def<Branch_init>("__init__", "self, name, children=None"))
                         .method(def<Branch_add_child>("add_child", "self, item", "Add children"))
                         .method(def<Branch_str>("__str__", "self",
                                                 "String formatter\n\n"
                                                 "Returns this node and its subtree formatted as a string."))));
    own_str_slot = Branch.type_ptr()->tp_str;
    TRY_LET(Ref minus, integer(-1));
    TRY_LET(Ref slice, Ref::steal(PySlice_New(nullptr, minus.ptr(), nullptr)));
    all_but_last.set(std::move(slice));
    minus_one.set(std::move(minus));
    return ok;
}

}  // namespace

PF_MODULE(branch, body)
