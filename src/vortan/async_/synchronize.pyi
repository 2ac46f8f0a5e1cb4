import functools as functools
import inspect as inspect
import logging as logging
from multiprocessing.context import ForkContext
from typing import Any, Callable, Dict, Tuple, TypeVar

_T = TypeVar("_T")

multiprocessing: ForkContext
logger: logging.Logger

def locked(method: Callable[..., _T]) -> Callable[..., _T]: ...

class Lockable:
    def __init__(self, *, lock: Callable[[], Any] = ...) -> None: ...
    def acquire(self, block: bool = ..., timeout: float | None = ...) -> bool: ...
    def release(self) -> None: ...
    @staticmethod
    def locked(method: Callable[..., _T]) -> Callable[..., _T]: ...

class LockableMeta(type):
    @staticmethod
    def ignore(obj: _T) -> _T: ...
    def __new__(cls, name: str, bases: Tuple[type, ...], attrs: Dict[str, Any]) -> LockableMeta: ...
