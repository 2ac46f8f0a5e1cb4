"""Logging support of the vortan product, as far as `vortan.async_` needs it.

`managed_handlers.tasklog.consolidate_next_forked_logfile()` returns the context
inside which `Pcall.start` forks the children of one plan. This stand-in only
marks that span: it changes nothing about logging (children log through the
handlers they inherit at the fork) and never suppresses an exception.
"""

__all__ = ["managed_handlers"]


class ForkedLogfileContext:
    """The span in which the children of one plan are forked."""

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc_value, traceback):
        return False  # never suppresses


class TaskLog:
    def consolidate_next_forked_logfile(self):
        """Return the context to hold open while the next children are forked."""
        return ForkedLogfileContext()


class ManagedHandlers:
    """The product's managed log handlers; here only the task log."""

    def __init__(self):
        self.tasklog = TaskLog()


managed_handlers = ManagedHandlers()
