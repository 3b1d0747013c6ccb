import logging
import re
from collections.abc import Callable
from typing import Any, ClassVar

__all__ = ["And", "Or", "Not"]

logger: logging.Logger

# A check: a regular expression (searched in each value's str()), a callable
# called with each value, or a nested expression called with all of them.
_Check = str | BaseLogic | Callable[[Any], object]

class BaseLogic:
    expressions: list[re.Pattern[str] | BaseLogic | Callable[[Any], object]]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(self, *expressions: _Check) -> None: ...
    # Raises NotImplementedError: only And, Or and Not evaluate.
    def __call__(self) -> bool: ...
    def __eq__(self, other: object) -> bool: ...

class And(BaseLogic):
    def __call__(self, *items: object) -> bool: ...

class Or(BaseLogic):
    def __call__(self, *items: object) -> bool: ...

class Not(BaseLogic):
    def __call__(self, *items: object) -> bool: ...

def logic_str(string: str) -> BaseLogic: ...
