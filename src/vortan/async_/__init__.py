"""Parallel calls in forked child processes and per-object locking."""

from ._version import __version__

__all__ = ["__version__"]
