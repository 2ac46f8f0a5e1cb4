"""One counter in shared memory, incremented by 4 threads and 2 forked processes.

Every public method of a class made by LockableMeta takes the instance's lock,
so the read-modify-write in `increment` never interleaves, across threads and
across the processes forked after the lock was created.
"""
import logging
import multiprocessing
import threading
import time

from vortan.async_.synchronize import LockableMeta

THREADS = 4
PROCESSES = 2
INCREMENTS = 2000


class SharedCounter(metaclass=LockableMeta):
    def __init__(self):
        # Plain shared memory with no lock of its own: the instance lock guards it.
        self.shared = multiprocessing.get_context("fork").RawValue("i", 0)

    def increment(self):
        value = self.shared.value
        time.sleep(0)  # invite a switch between the read and the write
        self.shared.value = value + 1

    def value(self):
        return self.shared.value


class WaitCounter(logging.Handler):
    """Counts the module's "Waiting for lock on ..." warnings instead of printing them."""

    waits = 0

    def emit(self, record):
        self.waits += 1


def work(counter):
    for _ in range(INCREMENTS):
        counter.increment()


def main():
    waits = WaitCounter()
    logger = logging.getLogger("vortan.async_.synchronize")
    logger.addHandler(waits)
    logger.propagate = False

    counter = SharedCounter()
    counter.value()  # the first locked call creates the lock, before any fork

    fork = multiprocessing.get_context("fork")
    processes = [fork.Process(target=work, args=(counter,)) for _ in range(PROCESSES)]
    for process in processes:
        process.start()
    threads = [threading.Thread(target=work, args=(counter,)) for _ in range(THREADS)]
    for thread in threads:
        thread.start()
    for worker in threads + processes:
        worker.join()

    expected = (THREADS + PROCESSES) * INCREMENTS
    print("expected count:", expected)
    print("actual count:  ", counter.value())
    print("locked calls in this process that had to wait:", waits.waits)
    if counter.value() != expected:
        raise SystemExit("the lock did not exclude the workers")


if __name__ == "__main__":
    main()
