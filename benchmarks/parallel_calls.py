"""Wall time of one parallel call, against the standard library's process pools.

    python benchmarks/parallel_calls.py

Rows (the work each child does, and the number of children N):

- cpu:  N = 2, 8 and 32 calls of burn(i), a busy loop that runs until it has
        used 0.2 s of CPU time (time.process_time) and returns i;
- big:  N = 8 calls of big(i), which returns (50 << 20) bytes.

Variants, each timed from before the tool is created until every child has
been reaped and the results are in the parent:

- pcall:     Pcall.pcall(f, iargs=[(i,) for i in range(N)]);
- Pool:      a fork-context multiprocessing.Pool(N) made, used once with map
             (chunk size 1), closed and joined;
- Executor:  concurrent.futures.ProcessPoolExecutor(max_workers=N,
             mp_context=fork context) made, used once with map and shut down
             (wait=True);
- floor:     N bare fork-context Process objects and one SimpleQueue (made
             inside the timing, as a plan makes its own); each child puts
             (index, result), the parent blocks in N get() calls, then joins
             every child. Nothing polls.

Every round runs each row's variants once, in an order rotated from round to
round, and the rows themselves are interleaved across rounds. The number shown
per variant is the minimum over the rounds: other work on the machine only ever
adds time, and the median and maximum, printed in the human-readable lines,
show how much. pcall's time moves in steps of its poll period (join sleeps
0.25 s between looks at its children), so its minimum is the run in which the
children ended before the earliest possible tick. The machine has 2 cores, so
32 children of 0.2 s of CPU each take about 3.2 s whatever runs them.

With big results the children block on the full pipe until join drains it;
join sleeps once before its first drain and once more after the last message
(the children are still exiting), so up to two poll periods show there.

Targets (informative; a missed target does not fail the script): pcall's
overhead over the floor at most 0.25 s (one poll period of join) plus 10 ms on
every row, and on the big row pcall / floor at most 1.3. The script exits
non-zero only if a variant returns wrong results.
"""
# run_all: first interpreter only


import concurrent.futures
import gc
import multiprocessing
import os
import statistics
import sys
import time
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _harness import emit, scale  # noqa: E402

from vortan.async_.tandrel import Pcall  # noqa: E402

TITLE = "parallel calls, wall seconds (minimum)"
BURN_SECONDS = 0.2
BIG_BYTES = 50 << 20
POLL_PERIOD = 0.25
OVERHEAD_TARGET = POLL_PERIOD + 0.010  # seconds over the floor
RATIO_TARGET = 1.3  # pcall / floor, big results

fork = multiprocessing.get_context("fork")

# 3.12+ warns about fork() in a process with threads (a pool's helper threads);
# that warning says nothing about the timings.
warnings.filterwarnings("ignore", category=DeprecationWarning, message=".*fork.*")


# -- the work ---------------------------------------------------------------------

def burn(i):
    """Spin until this process has used BURN_SECONDS more of CPU time."""
    clock = time.process_time
    until = clock() + BURN_SECONDS
    x = 0
    while clock() < until:
        for _ in range(200):
            x += 1
    return i


def big(i):
    return b"x" * BIG_BYTES


# -- the variants -----------------------------------------------------------------
# Each takes (f, n) and returns the list of results in call order.

def run_pcall(f, n):
    return list(Pcall.pcall(f, iargs=[(i,) for i in range(n)]))


def run_pool(f, n):
    with fork.Pool(n) as pool:
        results = pool.map(f, range(n), chunksize=1)
        pool.close()
        pool.join()
    return results


def run_executor(f, n):
    with concurrent.futures.ProcessPoolExecutor(max_workers=n, mp_context=fork) as executor:
        results = list(executor.map(f, range(n)))
    return results


def _floor_child(queue, f, i):
    queue.put((i, f(i)))


def run_floor(f, n):
    queue = fork.SimpleQueue()
    children = [fork.Process(target=_floor_child, args=(queue, f, i)) for i in range(n)]
    for child in children:
        child.start()
    results = [None] * n
    for _ in range(n):
        i, value = queue.get()
        results[i] = value
    for child in children:
        child.join()
    return results


VARIANTS = [("pcall", run_pcall), ("Pool", run_pool), ("Executor", run_executor), ("floor", run_floor)]


# -- checking and timing --------------------------------------------------------------

class WrongResults(Exception):
    pass


def check(name, kind, n, results):
    if len(results) != n:
        raise WrongResults("%s: %d results for %d calls" % (name, len(results), n))
    if kind == "cpu":
        if results != list(range(n)):
            raise WrongResults("%s: results %r, not in call order" % (name, results))
    else:
        for value in results:
            if (type(value) is not bytes or len(value) != BIG_BYTES
                    or value[:1] != b"x" or value[-1:] != b"x"):
                raise WrongResults("%s: a big result came back damaged" % name)


def timed(name, run, kind, f, n):
    gc.collect()
    start = time.perf_counter()
    results = run(f, n)
    elapsed = time.perf_counter() - start
    check(name, kind, n, results)
    del results  # the big results: 400 MiB per run, freed before the next one
    gc.collect()
    return elapsed


ROWS = [("cpu", burn, 2), ("cpu", burn, 8), ("cpu", burn, 32), ("big", big, 8)]


def main():
    rounds = max(3, int(round(5 * scale())))
    names = [name for name, _ in VARIANTS]
    samples = {(kind, n): {name: [] for name in names} for kind, _, n in ROWS}

    # One untimed pass so that every tool has imported and set up what it needs.
    for name, run in VARIANTS:
        timed(name, run, "cpu", burn, 2)

    for round_ in range(rounds):
        for row, (kind, f, n) in enumerate(ROWS):
            shift = (round_ + row) % len(VARIANTS)
            for name, run in VARIANTS[shift:] + VARIANTS[:shift]:
                samples[kind, n][name].append(timed(name, run, kind, f, n))

    for kind, f, n in ROWS:
        got = samples[kind, n]
        best = {name: min(got[name]) for name in names}
        overhead_ms = (best["pcall"] - best["floor"]) * 1000
        ratio = best["pcall"] / best["floor"]
        overhead_met = overhead_ms <= OVERHEAD_TARGET * 1000
        ratio_met = ratio <= RATIO_TARGET if kind == "big" else None
        work = "cpu %.1f s" % BURN_SECONDS if kind == "cpu" else "%d MiB result" % (BIG_BYTES >> 20)
        print("%s, N=%d: minimum [median, maximum] seconds" % (work, n))
        for name in names:
            print("  %-9s %.3f [%.3f, %.3f]" % (name, best[name], statistics.median(got[name]), max(got[name])))
        line = "  pcall - floor %.0f ms (target <= %.0f ms: %s)" % (
            overhead_ms, OVERHEAD_TARGET * 1000, "met" if overhead_met else "missed")
        if ratio_met is not None:
            line += "; pcall / floor %.2f (target <= %.1f: %s)" % (ratio, RATIO_TARGET, "met" if ratio_met else "missed")
        print(line, flush=True)
        emit(TITLE, {
            "work": work,
            "N": n,
            "pcall": round(best["pcall"], 3),
            "Pool": round(best["Pool"], 3),
            "Executor": round(best["Executor"], 3),
            "floor": round(best["floor"], 3),
            "pcall-floor ms": round(overhead_ms),
            "target ms": "<= %d" % round(OVERHEAD_TARGET * 1000),
            "met": overhead_met,
            "pcall/floor": round(ratio, 2),
            "target ratio": "<= %.1f" % RATIO_TARGET if kind == "big" else None,
            "ratio met": ratio_met,
        }, note="Minimum of %d interleaved rounds; each time covers creating the tool, the calls and "
                "reaping every child. 2 cores: 32 calls of 0.2 s CPU take about 3.2 s for any tool. "
                "Pool and Executor are made and shut down inside the timing (one-shot use). "
                "The ratio target applies to the 50 MiB row only." % rounds)

if __name__ == "__main__":
    try:
        main()
    except WrongResults as error:
        print("wrong results: %s" % error)
        sys.exit(1)
