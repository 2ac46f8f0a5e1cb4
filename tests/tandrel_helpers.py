"""Shared helpers for the tandrel tests: running one worker in a forked child,
capturing the log records that a child emits, and recording fakes for the
module globals that plan construction uses."""
import json
import logging
import multiprocessing
import traceback

import pytest

# The module under test is imported where it is used, so that loading these
# fixtures (conftest does) never depends on it.

FORK = multiprocessing.get_context("fork")
LOGGER_NAME = "vortan.async_.tandrel"
HANG_GUARD = 60  # seconds; only ever reached when something hangs


def drain(queue):
    """Every message waiting on a SimpleQueue, in arrival order."""
    messages = []
    while not queue.empty():
        messages.append(queue.get())
    return messages


def finish(worker, queue):
    """Wait for a started worker; its exit code and the messages it sent."""
    worker.join(HANG_GUARD)
    if worker.is_alive():
        worker.kill()
        worker.join()
        pytest.fail("the child did not end")
    return worker.exitcode, drain(queue)


def run_child(*args, index=0, **kwargs):
    """Build ChildLabor(index, queue, *args, **kwargs), fork it, wait for it.

    Returns (worker, exit code, messages put on the queue)."""
    from vortan.async_.tandrel import ChildLabor
    queue = FORK.SimpleQueue()
    worker = ChildLabor(index, queue, *args, **kwargs)
    worker.start()
    exitcode, messages = finish(worker, queue)
    return worker, exitcode, messages


class FileRecords(logging.Handler):
    """Writes a summary of every record as one JSON line to a file.

    Installed before a fork, it is inherited by the child, so the parent can
    read afterwards what the child logged."""

    def __init__(self, path):
        super().__init__(logging.DEBUG)
        self.path = path

    def emit(self, record):
        exc_type = exc_value = tb_text = None
        if record.exc_info:
            etype, value, tb = record.exc_info
            exc_type = etype.__name__ if etype else None
            exc_value = repr(value)
            tb_text = "".join(traceback.format_exception(etype, value, tb))
        summary = {
            "name": record.name,
            "levelno": record.levelno,
            "msg": record.msg if isinstance(record.msg, str) else repr(record.msg),
            "args": repr(record.args),
            "message": record.getMessage(),
            "exc_type": exc_type,
            "exc_value": exc_value,
            "traceback": tb_text,
        }
        with open(self.path, "a") as f:
            f.write(json.dumps(summary) + "\n")

    def read(self):
        try:
            with open(self.path) as f:
                return [json.loads(line) for line in f]
        except FileNotFoundError:
            return []


@pytest.fixture
def child_log(tmp_path):
    """Records of the module logger, also those emitted in forked children."""
    handler = FileRecords(str(tmp_path / "records.jsonl"))
    logger = logging.getLogger(LOGGER_NAME)
    logger.addHandler(handler)
    try:
        yield handler
    finally:
        logger.removeHandler(handler)


class Recorder(logging.Handler):
    """Keeps the records of the module logger in this process."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def tandrel_records():
    """Records of the module logger emitted in this process."""
    handler = Recorder()
    logger = logging.getLogger(LOGGER_NAME)
    logger.addHandler(handler)
    try:
        yield handler.records
    finally:
        logger.removeHandler(handler)


class FakeWorker:
    """Stands in for ChildLabor: keeps the keyword arguments it was built with."""

    def __init__(self, **kwargs):
        self.kwargs = kwargs


class RecordingQueueContext:
    """Stands in for the fork context: SimpleQueue() is recorded, and fails
    with `error` when that is set."""

    def __init__(self, events, error=None):
        self.events = events
        self.error = error

    def SimpleQueue(self, *args, **kwargs):
        self.events.append(("SimpleQueue", args, kwargs))
        if self.error is not None:
            raise self.error
        return FORK.SimpleQueue()


def recording_plan_class(events):
    """A Pcall subclass that records each attribute set and each call of
    _build_arguments into `events`."""
    from vortan.async_.tandrel import Pcall

    class RecordingPcall(Pcall):
        def __setattr__(self, name, value):
            events.append(("set", name))
            super().__setattr__(name, value)

        def _build_arguments(self):
            events.append(("build",))
            return super()._build_arguments()

    return RecordingPcall


def work_of(worker):
    """(target, args, kwargs) as a worker holds them."""
    return worker._target, worker._args, worker._kwargs
