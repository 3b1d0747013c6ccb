from typing import Any

class Branch:
    name: str
    # Branch nodes, or any object: a child is drawn through str().
    children: list[Any]
    def __init__(self, name: str, children: list[Any] | None = None) -> None: ...
    def add_child(self, item: object) -> None: ...
