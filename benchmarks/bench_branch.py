"""Branch rendering and sharedattr reads against plain Python equivalents and the Debian-packaged peers."""
from run import Case, optional_import  # first: it puts the Python forms (tests/pyforms) on sys.path
from pyforms.branch import Branch as PyBranch
from pyforms.sharedattr import sharedattr as PySharedAttr

from vornal.datastructures.branch import Branch
from vornal.datastructures.sharedattr import sharedattr

anytree = optional_import("anytree")
treelib = optional_import("treelib")


def render(node):
    """A hand-written recursive renderer of single-line names: one list of lines, joined once."""
    lines = [node.name]

    def walk(children, rest):
        last = len(children) - 1
        for i, child in enumerate(children):
            lines.append(rest + ("`-- " if i == last else "|-- ") + child.name)
            if child.children:
                walk(child.children, rest + ("    " if i == last else "|   "))

    if node.children:
        walk(node.children, "")
    return "\n".join(lines)


def shape(n, fanout=(5, 3, 4, 2)):
    """Parent positions of a tree of n nodes in breadth-first order, fanouts varying by level."""
    parents, level, depth, count = [], [0], 0, 1
    while count < n:
        nxt = []
        for p in level:
            for _ in range(fanout[depth % len(fanout)]):
                if count == n:
                    break
                parents.append(p)
                nxt.append(count)
                count += 1
        level, depth = nxt, depth + 1
    return parents


SHAPES = {}


def names_and_parents(n):
    if n not in SHAPES:
        SHAPES[n] = ["root"] + [f"node-{i:05d}.py" for i in range(1, n)], shape(n)
    return SHAPES[n]


def build(cls, n):
    names, parents = names_and_parents(n)
    nodes = [cls(names[0])]
    for name, p in zip(names[1:], parents):
        node = cls(name)
        nodes[p].add_child(node)
        nodes.append(node)
    return nodes[0]


def peers(n):
    """The same tree for anytree and treelib, with their text made comparable to ours."""
    made = {}
    names, parents = names_and_parents(n)
    if anytree:
        nodes = [anytree.Node(names[0])]
        for i, p in enumerate(parents, 1):
            nodes.append(anytree.Node(names[i], parent=nodes[p]))
        style = anytree.AbstractStyle("|   ", "|-- ", "`-- ")

        def anytree_text(root=nodes[0]):
            return "\n".join(pre + node.name for pre, _, node in anytree.RenderTree(root, style=style))

        made["anytree.RenderTree"] = anytree_text
    if treelib:
        tree = treelib.Tree()
        tree.create_node(names[0], 0)
        for i, p in enumerate(parents, 1):
            tree.create_node(names[i], i, parent=p)

        def treelib_text(tree=tree):
            return tree.show(line_type="ascii", stdout=False, sorting=False)

        made["treelib.Tree.show"] = treelib_text
    return made


def check_peer(name, text, expected):
    if name.startswith("treelib"):  # its own last-child connector, a line feed after every line
        text = text.replace("+-- ", "`-- ").rstrip("\n")
    assert text == expected, f"{name} renders other text"


def cases():
    for n in (2000, 20000):
        group = f"str() of a {n}-node tree"
        ours, pure = build(Branch, n), build(PyBranch, n)
        expected = render(ours)
        assert str(ours) == expected == str(pure) == render(pure)
        yield Case(group, "hand-written recursive renderer", lambda t=ours: render(t), floor=True)
        yield Case(group, "Branch", lambda t=ours: str(t))
        yield Case(group, "PyBranch (pure Python)", lambda t=pure: str(t))
        for name, func in peers(n).items():
            check_peer(name, func(), expected)
            yield Case(group, name, func)

    group = "build a 2000-node tree"
    yield Case(group, "ListNode: a list [name, children]", lambda: build(ListNode, 2000), floor=True)
    yield Case(group, "Branch", lambda: build(Branch, 2000))
    yield Case(group, "PyBranch (pure Python)", lambda: build(PyBranch, 2000))

    class Prop:
        @property
        def value(self):
            return 100

    class Ours:
        @sharedattr
        def value(cls):
            return 100

    class Pure:
        @PySharedAttr
        def value(cls):
            return 100

    prop, ours, pure = Prop(), Ours(), Pure()
    assert prop.value == Ours.value == ours.value == Pure.value == pure.value == 100
    floor = reads("obj.value", prop)
    for where, objects in (("class", (Ours, Pure)), ("instance", (ours, pure))):
        group = f"sharedattr read through the {where}"
        yield Case(group, "property read on an instance", floor, floor=True)
        yield Case(group, "sharedattr", reads("obj.value", objects[0]))
        yield Case(group, "PySharedAttr (pure Python)", reads("obj.value", objects[1]))


class ListNode(list):
    """A node as a plain list [name, children], with the same add_child."""

    def __init__(self, name):
        super().__init__((name, []))

    def add_child(self, item):
        self[1].append(item)


def reads(expr, obj, n=20):
    """A function that evaluates expr n times with obj local, so the call overhead is shared out."""
    ns = {}
    exec(f"def f(obj=obj):\n    " + "; ".join([expr] * n), {"obj": obj}, ns)
    return ns["f"]
