"""Locked calls from 8 threads on 8 different objects, against one thread alone.

Each thread calls ``obj.m(1)`` CALLS times on an object of its own, whose
method is made by ``vortan.async_.synchronize.locked``; the threads start
together at a barrier. The figure is calls per second of all threads together
over calls per second of one thread doing the same alone, best of ROUNDS
(rounds alternate between the two). The objects share no lock, so with the GIL
off the threads must not take turns: the target, on a free-threaded build with
the GIL off, is 1.5 (a machine with fewer than 2 cores cannot reach it). With
a GIL the threads take turns and the ratio stays near 1; it is shown for
comparison only.
"""

import os
import sys
import threading
import time

from _harness import emit, scale

THREADS = 8
ROUNDS = 5
CALLS = 100_000
TARGET = 1.5


def main():
    from vortan.async_ import synchronize

    class Counter:
        def __init__(self):
            self.n = 0

        @synchronize.locked
        def m(self, x):
            self.n += x
            return x

    calls = max(1000, int(CALLS * scale()))

    def work(obj, barrier):
        barrier.wait()
        m = obj.m
        for _ in range(calls):
            m(1)

    def timed(thread_count):
        objects = [Counter() for _ in range(thread_count)]
        for obj in objects:
            obj.m(0)  # the lock exists before timing
        barrier = threading.Barrier(thread_count + 1)
        threads = [threading.Thread(target=work, args=(obj, barrier)) for obj in objects]
        for thread in threads:
            thread.start()
        barrier.wait()
        start = time.perf_counter()
        for thread in threads:
            thread.join()
        elapsed = time.perf_counter() - start
        if any(obj.n != calls for obj in objects):
            raise SystemExit("lost calls: %r" % [obj.n for obj in objects])
        return thread_count * calls / elapsed

    one, many = 0.0, 0.0
    for _ in range(ROUNDS):
        one = max(one, timed(1))
        many = max(many, timed(THREADS))
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    ratio = many / one
    verdict = ("no target (GIL on)" if gil else
               "met" if ratio >= TARGET else "MISSED")
    emit("locked calls from %d threads on %d objects" % (THREADS, THREADS), {
        "GIL": "on" if gil else "off",
        "1 thread Mcalls/s": round(one / 1e6, 3),
        "%d threads Mcalls/s" % THREADS: round(many / 1e6, 3),
        "ratio": round(ratio, 2),
        "target": ">=%.1f" % TARGET if not gil else "-",
        "verdict": verdict,
    }, note="calls per second of all threads over one thread alone; %d cores seen"
            % (os.cpu_count() or 0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
