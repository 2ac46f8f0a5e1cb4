"""Parallel calls in forked child processes and per-object locking."""
