from collections.abc import Callable
from typing import Any, Generic, TypeVar

_T = TypeVar("_T")

class SharedAttrDescriptor(Generic[_T]):
    func: Callable[[Any], _T]
    def __init__(self, func: Callable[[Any], _T]) -> None: ...
    def __get__(self, obj: object, owner: type[Any]) -> _T: ...

sharedattr = SharedAttrDescriptor
