"""Carrying a child process's exception back to its parent.

`ExceptionWithTraceback(e)` is made in the child while `e` is being handled. It
pickles to the exception itself, rebuilt in the parent from its type and
arguments, with the child's formatted traceback attached as its `__cause__`
(a `ChildTraceback` whose text is that traceback), so that the parent's report
shows where in the child the call failed. An exception that refuses a cause
arrives without one.

An exception that cannot be rebuilt from its pickle (a constructor that needs
keyword arguments, unpicklable arguments, ...) arrives as a `RuntimeError`
that names the original exception and says why, with the same cause.
"""

import pickle
import traceback
from typing import Callable, Tuple

__all__ = ["ExceptionWithTraceback", "ChildTraceback"]


class ChildTraceback(Exception):
    """The formatted traceback of an exception raised in a child process."""

    def __init__(self, text: str) -> None:
        super().__init__(text)
        self.text = text

    def __str__(self) -> str:
        return self.text


def _rebuild(exception: BaseException, traceback_text: str) -> BaseException:
    try:
        exception.__cause__ = ChildTraceback(traceback_text)
    except Exception:
        pass  # an exception that refuses a cause (a frozen dataclass) arrives without it
    return exception


class ExceptionWithTraceback:
    """Pickles to `exception`, with the child's traceback as its cause."""

    def __init__(self, exception: BaseException) -> None:
        lines = traceback.format_exception(type(exception), exception, exception.__traceback__)
        self.exception = exception
        self.traceback_text = '\n"""\n%s"""' % "".join(lines)

    def __reduce__(self) -> Tuple[Callable[[BaseException, str], BaseException], Tuple[BaseException, str]]:
        exception = self.exception
        try:
            # Rebuilding happens in the parent, where a failure would be hard to
            # trace back: try it here first.
            pickle.loads(pickle.dumps(exception))
        except Exception as error:
            exception = RuntimeError(
                "%s.%s raised in a child process could not be sent to the parent (%s: %s): %s"
                % (type(exception).__module__, type(exception).__qualname__,
                   type(error).__name__, error, exception)
            )
        return _rebuild, (exception, self.traceback_text)
