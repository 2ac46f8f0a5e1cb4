"""Logging support of the vortan product, as far as `vortan.async_` needs it.

`managed_handlers.tasklog.consolidate_next_forked_logfile()` returns the context
inside which `Pcall.start` forks the children of one plan. This stand-in only
marks that span: it changes nothing about logging (children log through the
handlers they inherit at the fork) and never suppresses an exception.
"""

from types import TracebackType
from typing import Literal, Optional, Type

__all__ = ["managed_handlers"]


class ForkedLogfileContext:
    """The span in which the children of one plan are forked."""

    def __enter__(self) -> "ForkedLogfileContext":
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> Literal[False]:
        return False  # never suppresses


class TaskLog:
    def consolidate_next_forked_logfile(self) -> ForkedLogfileContext:
        """Return the context to hold open while the next children are forked."""
        return ForkedLogfileContext()


class ManagedHandlers:
    """The product's managed log handlers; here only the task log."""

    def __init__(self) -> None:
        self.tasklog = TaskLog()


managed_handlers = ManagedHandlers()
