"""Branch written in Python (see the package docstring)."""


class Branch(object):
    """A node of a tree that mimics the printing behaviour of the ``tree``
    command: str() of a node gives its whole subtree as indented ASCII text,
    one node per line."""

    def __init__(self, name, children=None):
        if not children:
            children = []
        self.name = name
        self.children = children

    def add_child(self, item):
        """Add children"""
        self.children.append(item)

    def __str__(self):
        """String formatter

        Returns this node and its subtree formatted as a string."""
        result = self.name
        if not self.children:
            return result
        for child in self.children[:-1]:
            lines = str(child).split("\n")
            result += "\n|-- " + lines[0]
            for line in lines[1:]:
                result += "\n|   " + line
        lines = str(self.children[-1]).split("\n")
        result += "\n`-- " + lines[0]
        for line in lines[1:]:
            result += "\n    " + line
        return result
