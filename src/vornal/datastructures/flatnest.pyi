from collections.abc import Generator, Iterable, MutableMapping
from typing import Any, NamedTuple, SupportsIndex, overload

from _typeshed import ConvertibleToInt

# A path step: a mapping key, or an IndexMarker for a list or tuple position.
_Path = tuple[Any, ...]
_Pair = tuple[Any, Any]

class DictItem(NamedTuple):
    path: _Path
    value: Any

class IndexMarker:
    type_: type[list[Any]] | type[tuple[Any, ...]]
    index: int
    def __init__(self, obj: list[Any] | tuple[Any, ...], index: ConvertibleToInt) -> None: ...

# Flattening, append, insert and extend store DictItem pairs. Assigning by
# index stores the pair as a plain 2-tuple, which unpacks and compares like
# a DictItem but has no .path or .value.
class FlatNest(list[DictItem]):
    @overload
    def __init__(self) -> None: ...
    @overload
    def __init__(self, mapping: MutableMapping[Any, Any], /) -> None: ...
    @overload
    def __init__(self, pairs: Iterable[_Pair], /) -> None: ...
    @overload
    @staticmethod
    def __flatten__(
        indict: MutableMapping[Any, Any] | list[Any] | tuple[Any, ...], path: _Path | None = None
    ) -> Generator[DictItem]: ...
    @overload
    @staticmethod
    def __flatten__(indict: object, path: _Path | None = None) -> Generator[Any]: ...
    @overload
    def __setitem__(self, index: SupportsIndex, item: _Pair) -> None: ...
    @overload
    def __setitem__(self, index: slice, item: Iterable[_Pair]) -> None: ...
    def append(self, item: _Pair) -> None: ...
    def extend(self, items: Iterable[_Pair]) -> None: ...
    def insert(self, index: SupportsIndex, item: _Pair) -> None: ...
    def reconstruct(self) -> dict[Any, Any]: ...
