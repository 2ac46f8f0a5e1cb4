"""Many small calls: Pcall.map against a one-shot fork Pool(cores).map.

    python benchmarks/many_small_calls.py

Each variant is timed from before the tool exists until the results are in
the parent and every child is reaped: for the pool, Pool(cores) made, map
called, closed and joined; for Pcall.map, the one call (default chunksize and
max_running). Rounds alternate the order of the two; the figure is the best
of 5 rounds, since other work on the machine only ever adds time.

- trivial:  10,000 items of double(i);
- cpu:      200 items of burn(i), 10 ms of CPU time each; also against the
            ideal, items x 10 ms / cores;
- 1 GiB:    200 items of double(i) from a parent holding 1 GiB of written
            memory (each fork copies its page tables);
- memory:   the peak resident set of a fresh parent mapping 10,000 items that
            return 1 KiB each, against the parent before the map plus the
            results plus one batch (1,024 results) per running child.
"""
import json
import os
import resource
import subprocess
import sys
import time
import multiprocessing

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _harness import emit  # noqa: E402

from vortan.async_.tandrel import Pcall  # noqa: E402

FORK = multiprocessing.get_context("fork")
CORES = len(os.sched_getaffinity(0))
ROUNDS = 5
TITLE = "Many small calls: Pcall.map vs one-shot fork Pool(%d).map" % CORES
BURN = 0.010
BATCH = 1024


def double(i):
    return 2 * i


def burn(i):
    began = time.process_time()
    while time.process_time() - began < BURN:
        pass
    return i


def with_pool(function, items):
    pool = FORK.Pool(CORES)
    try:
        return pool.map(function, items)
    finally:
        pool.close()
        pool.join()


def best(function, items):
    """Best of ROUNDS for map and for the pool, rounds alternating the order."""
    times = {"map": [], "pool": []}
    for round_ in range(ROUNDS):
        order = [("map", Pcall.map), ("pool", with_pool)]
        if round_ % 2:
            order.reverse()
        for name, run in order:
            began = time.perf_counter()
            results = run(function, items)
            times[name].append(time.perf_counter() - began)
            assert len(results) == len(items) and results[-1] == function(items[-1])
    return min(times["map"]), min(times["pool"])


def row(case, mapped, pool, ratio, target):
    emit(TITLE, {"case": case, "Pcall.map": round(mapped, 4), "against": round(pool, 4),
                 "ratio": round(ratio, 3), "target": target, "met": "yes" if ratio <= target else "NO"},
         note="Seconds (MiB for the peak), best of %d alternating rounds; each time covers creating the tool, "
         "the map and reaping every child. Ratio: Pcall.map / against." % ROUNDS)


PEAK_CHILD = r"""
import os, resource, sys
from vortan.async_.tandrel import Pcall
def kib(i):
    return bytes([i % 256]) * 1024
page = os.sysconf("SC_PAGESIZE")
def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page
items = range(10000)
before = resident()
results = Pcall.map(kib, items)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
held = sys.getsizeof(results) + sum(sys.getsizeof(r) for r in results)
print(before, peak, held)
"""


def peak_memory():
    """(parent before, peak, results held), the lowest peak of ROUNDS fresh parents."""
    runs = []
    for _ in range(ROUNDS):
        out = subprocess.run([sys.executable, "-c", PEAK_CHILD], stdout=subprocess.PIPE, check=True,
                             universal_newlines=True).stdout
        runs.append(tuple(map(int, out.split())))
    return min(runs, key=lambda r: r[1] - r[0])


def main():
    mapped, pool = best(double, range(10_000))
    row("10,000 trivial items", mapped, pool, mapped / pool, 1.00)

    items = range(200)
    mapped, pool = best(burn, items)
    row("200 items of 10 ms CPU", mapped, pool, mapped / pool, 1.00)
    ideal = len(items) * BURN / CORES
    row("200 items of 10 ms CPU, vs ideal %.2f s" % ideal, mapped, ideal, mapped / ideal, 1.10)

    before, peak, held = peak_memory()
    bound = before + held + CORES * BATCH * 1024
    row("peak RSS, 10,000 items of 1 KiB (MiB; bound = parent %.1f + results %.1f + %d batches of 1 MiB)"
        % (before / 2 ** 20, held / 2 ** 20, CORES), peak / 2 ** 20, bound / 2 ** 20, peak / bound, 1.00)

    ballast = bytearray(1 << 30)
    for offset in range(0, len(ballast), 4096):
        ballast[offset] = 1
    mapped, pool = best(double, range(200))
    del ballast
    row("200 trivial items from a 1 GiB parent", mapped, pool, mapped / pool, 1.25)


if __name__ == "__main__":
    main()
