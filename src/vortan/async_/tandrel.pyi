import functools as functools
import itertools as itertools
import logging as logging
import os as os
import signal as signal
import time as time
from collections import namedtuple as namedtuple
from multiprocessing.context import ForkContext, ForkProcess
from types import TracebackType
from typing import (Any, Callable, Dict, Iterable, Iterator, List, Literal, Mapping, NamedTuple, Optional, Protocol,
                    Sequence, Tuple, Type, TypeVar, Union, overload)

from vortan.async_.exceptions import ExceptionWithTraceback as ExceptionWithTraceback
from vortan.log import managed_handlers as managed_handlers

__all__ = ["Pcall", "ChildLabor", "ChildWork"]

_Targets = Union[Callable[..., Any], Sequence[Callable[..., Any]]]
_Plan = TypeVar("_Plan", bound="Pcall")
_Item = TypeVar("_Item")
_Result = TypeVar("_Result")

class _Queue(Protocol):
    def put(self, message: Any) -> None: ...

# The sending end of a plan's result channel (`Pcall._queue`).
class _ResultSender(_Queue, Protocol):
    def fileno(self) -> int: ...

multiprocessing: ForkContext
logger: logging.Logger
__pcall_infra__: bool

class _MapIterator(Iterator[_Result]):
    def __next__(self) -> _Result: ...
    def close(self) -> None: ...

class ChildWork(NamedTuple):
    target: str
    args: str
    kwargs: str

class ChildLabor(ForkProcess):
    _index: Any
    _queue: _Queue
    @functools.cached_property
    def _work(self) -> ChildWork: ...
    def __init__(self, index: int, queue: _Queue, *args: Any, **kwargs: Any) -> None: ...
    def run(self) -> None: ...

class Pcall:
    max_running: Optional[int]
    grace_period: float
    return_exceptions: bool
    call_timeout: Optional[float]
    process_group: bool
    targets: _Targets
    timeout: Optional[float]
    cargs: Iterable[Any]
    iargs: List[Iterable[Any]]
    ckwargs: Dict[str, Any]
    ikwargs: List[Any]
    varkwargs: Dict[str, List[Any]]
    results: Optional[Tuple[Any, ...]]
    starttime: float
    stoptime: float
    _queue: _ResultSender
    _processes: List[ChildLabor]
    @classmethod
    def pcall(
        cls,
        targets: _Targets,
        timeout: Optional[float] = ...,
        cargs: Iterable[Any] = ...,
        iargs: Iterable[Iterable[Any]] = ...,
        ckwargs: Dict[str, Any] = ...,
        ikwargs: Iterable[Any] = ...,
        **varkwargs: Sequence[Any],
    ) -> Tuple[Any, ...]: ...
    @overload
    @classmethod
    def map(
        cls,
        function: Callable[[_Item], _Result],
        iterable: Iterable[_Item],
        *,
        chunksize: Optional[int] = ...,
        max_running: Optional[int] = ...,
        timeout: Optional[float] = ...,
        call_timeout: Optional[float] = ...,
        return_exceptions: Literal[False] = ...,
    ) -> Tuple[_Result, ...]: ...
    @overload
    @classmethod
    def map(
        cls,
        function: Callable[[_Item], _Result],
        iterable: Iterable[_Item],
        *,
        chunksize: Optional[int] = ...,
        max_running: Optional[int] = ...,
        timeout: Optional[float] = ...,
        call_timeout: Optional[float] = ...,
        return_exceptions: Literal[True],
    ) -> Tuple[Union[_Result, BaseException], ...]: ...
    @overload
    @classmethod
    def map(
        cls,
        function: Callable[[_Item], _Result],
        iterable: Iterable[_Item],
        *,
        chunksize: Optional[int] = ...,
        max_running: Optional[int] = ...,
        timeout: Optional[float] = ...,
        call_timeout: Optional[float] = ...,
        return_exceptions: bool,
    ) -> Tuple[Union[_Result, BaseException], ...]: ...
    @overload
    @classmethod
    def imap(
        cls,
        function: Callable[[_Item], _Result],
        iterable: Iterable[_Item],
        *,
        chunksize: Optional[int] = ...,
        max_running: Optional[int] = ...,
        timeout: Optional[float] = ...,
        call_timeout: Optional[float] = ...,
        return_exceptions: Literal[False] = ...,
    ) -> _MapIterator[_Result]: ...
    @overload
    @classmethod
    def imap(
        cls,
        function: Callable[[_Item], _Result],
        iterable: Iterable[_Item],
        *,
        chunksize: Optional[int] = ...,
        max_running: Optional[int] = ...,
        timeout: Optional[float] = ...,
        call_timeout: Optional[float] = ...,
        return_exceptions: Literal[True],
    ) -> _MapIterator[Union[_Result, BaseException]]: ...
    @overload
    @classmethod
    def imap(
        cls,
        function: Callable[[_Item], _Result],
        iterable: Iterable[_Item],
        *,
        chunksize: Optional[int] = ...,
        max_running: Optional[int] = ...,
        timeout: Optional[float] = ...,
        call_timeout: Optional[float] = ...,
        return_exceptions: bool,
    ) -> _MapIterator[Union[_Result, BaseException]]: ...
    def __init__(
        self,
        targets: _Targets,
        timeout: Optional[float] = ...,
        cargs: Iterable[Any] = ...,
        iargs: Iterable[Iterable[Any]] = ...,
        ckwargs: Dict[str, Any] = ...,
        ikwargs: Iterable[Any] = ...,
        **varkwargs: Iterable[Any],
    ) -> None: ...
    @property
    def pids(self) -> Tuple[Optional[int], ...]: ...
    def start(self, *, max_running: Optional[int] = ..., call_timeout: Optional[float] = ...) -> None: ...
    def join(self, *, return_exceptions: Optional[bool] = ...) -> None: ...
    def terminate(self) -> None: ...
    def kill(self) -> None: ...
    @property
    def livings(self) -> Tuple[ChildLabor, ...]: ...
    def _build_arguments(self) -> List[Dict[str, Any]]: ...
    def as_completed(self, *, return_exceptions: Optional[bool] = ...) -> Iterator[Tuple[int, Any]]: ...
    def __repr__(self) -> str: ...
    def __enter__(self: _Plan) -> _Plan: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None: ...
