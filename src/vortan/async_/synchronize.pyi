import functools as functools
import inspect as inspect
import logging as logging
from multiprocessing.context import ForkContext
from typing import Any, Callable, Dict, Tuple, Type, TypeVar

from typing_extensions import ParamSpec

__all__ = ["locked", "Lockable", "LockableMeta"]

_P = ParamSpec("_P")
_T = TypeVar("_T")
_M = TypeVar("_M", bound="LockableMeta")

multiprocessing: ForkContext
logger: logging.Logger

def locked(method: Callable[_P, _T]) -> Callable[_P, _T]: ...

class Lockable:
    def __init__(self, *, lock: Callable[[], Any] = ...) -> None: ...
    def acquire(self, block: bool = ..., timeout: float | None = ...) -> bool: ...
    def release(self) -> None: ...
    @staticmethod
    def locked(method: Callable[_P, _T]) -> Callable[_P, _T]: ...

class LockableMeta(type):
    @staticmethod
    def ignore(obj: _T) -> _T: ...
    def __new__(cls: Type[_M], name: str, bases: Tuple[type, ...], attrs: Dict[str, Any]) -> _M: ...
