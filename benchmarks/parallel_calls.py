"""Wall time of one parallel call, against the standard library's process pools.

    python benchmarks/parallel_calls.py

Rows compared side by side (the work each child does, and the number of
children N), each variant timed from before the tool is created until every
child has been reaped and the results are in the parent:

- trivial: N = 1, 4 and 16 calls of double(i), which returns 2 * i;
- cpu:     N = 2, 8 and 32 calls of burn(i), a busy loop that runs until it
           has used 0.2 s of CPU time (time.process_time) and returns i;
- big:     N = 8 calls of big(i), which returns (50 << 20) bytes.

Variants:

- pcall:     Pcall.pcall(f, iargs=[(i,) for i in range(N)]);
- Pool:      a fork-context multiprocessing.Pool(N) made, used once with map
             (chunk size 1), closed and joined;
- Executor:  concurrent.futures.ProcessPoolExecutor(max_workers=N,
             mp_context=fork context) made, used once with map and shut down;
- floor:     N bare fork-context Process objects and one SimpleQueue (made
             inside the timing, as a plan makes its own channel); each child
             puts (index, result), the parent blocks in N get() calls, then
             joins every child. Nothing polls.

Every round runs each row's variants once, in an order rotated from round to
round, and the rows are interleaved across rounds. The figure per variant is
the minimum over the rounds: other work on the machine only ever adds time;
the median and maximum are printed beside it. The machine has 2 cores, so 32
children of 0.2 s of CPU each take about 3.2 s whatever runs them.

Then, once each (pcall only):

- timeout: Pcall.pcall over 4 children that sleep 5 s, with timeout=0.5: the
  seconds from start to TimeoutError, and whether every child was reaped
  (none of them left in /proc as a child of this process);
- 500 children of double(i) under a soft limit of 1024 descriptors: whether it
  ran, and its wall time;
- construction: building a plan of 8 children that share one 5-million-item
  list, against one that shares a one-item list (median of 20 builds each).

Targets (informative; a missed target does not fail the script): trivial rows
pcall <= 1.25 x floor + 1 ms, and at N = 1 pcall <= Pool; cpu rows pcall -
floor <= 10 ms; big row pcall <= 1.10 x floor; timeout within 0.5 s + 50 ms
with every child reaped; 500 children run; construction adds < 1 ms. The
script exits non-zero only if a variant returns wrong results.
"""
# run_all: first interpreter only


import concurrent.futures
import gc
import multiprocessing
import os
import resource
import statistics
import sys
import time
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _harness import emit, scale  # noqa: E402

from vortan.async_.tandrel import Pcall  # noqa: E402

TITLE = "parallel calls, wall seconds (minimum)"
ONCE_TITLE = "parallel calls, single measurements"
BURN_SECONDS = 0.2
BIG_BYTES = 50 << 20

fork = multiprocessing.get_context("fork")

# 3.12+ warns about fork() in a process with threads (a pool's helper threads);
# that warning says nothing about the timings.
warnings.filterwarnings("ignore", category=DeprecationWarning, message=".*fork.*")


# -- the work ---------------------------------------------------------------------

def double(i):
    return 2 * i


def burn(i, seconds=BURN_SECONDS):
    """Spin until this process has used `seconds` more of CPU time."""
    clock = time.process_time
    until = clock() + seconds
    x = 0
    while clock() < until:
        for _ in range(200):
            x += 1
    return i


def big(i):
    return b"x" * BIG_BYTES


def nap(i):
    time.sleep(5)
    return i


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
    if kind == "big":
        for value in results:
            if (type(value) is not bytes or len(value) != BIG_BYTES
                    or value[:1] != b"x" or value[-1:] != b"x"):
                raise WrongResults("%s: a big result came back damaged" % name)
    else:
        expected = [2 * i for i in range(n)] if kind == "trivial" else list(range(n))
        if results != expected:
            raise WrongResults("%s: results %r, not in call order" % (name, results))


def timed(name, run, kind, f, n):
    gc.collect()
    start = time.perf_counter()
    results = run(f, n)
    elapsed = time.perf_counter() - start
    check(name, kind, n, results)
    del results  # the big results: 400 MiB per run, freed before the next one
    gc.collect()
    return elapsed


ROWS = [("trivial", double, 1), ("trivial", double, 4), ("trivial", double, 16),
        ("cpu", burn, 2), ("cpu", burn, 8), ("cpu", burn, 32), ("big", big, 8)]


def target_of(kind, n, best):
    """(text of the target, whether it was met) for one row."""
    pcall, floor = best["pcall"], best["floor"]
    if kind == "trivial":
        met = pcall <= 1.25 * floor + 0.001
        text = "pcall <= 1.25 x floor + 1 ms"
        if n == 1:
            met = met and pcall <= best["Pool"]
            text += ", <= Pool"
        return text, met
    if kind == "cpu":
        return "pcall - floor <= 10 ms", pcall - floor <= 0.010
    return "pcall <= 1.10 x floor", pcall <= 1.10 * floor


def work_text(kind):
    return {"trivial": "trivial", "cpu": "cpu %.1f s" % BURN_SECONDS,
            "big": "%d MiB result" % (BIG_BYTES >> 20)}[kind]


def compare(rounds):
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
        text, met = target_of(kind, n, best)
        print("%s, N=%d: minimum [median, maximum] seconds" % (work_text(kind), n))
        for name in names:
            print("  %-9s %.4f [%.4f, %.4f]" % (name, best[name], statistics.median(got[name]), max(got[name])))
        print("  pcall - floor %+.1f ms, pcall / floor %.2f; target %s: %s" % (
            (best["pcall"] - best["floor"]) * 1000, best["pcall"] / best["floor"], text,
            "met" if met else "missed"), flush=True)
        emit(TITLE, {
            "work": work_text(kind),
            "N": n,
            "pcall": round(best["pcall"], 4),
            "Pool": round(best["Pool"], 4),
            "Executor": round(best["Executor"], 4),
            "floor": round(best["floor"], 4),
            "pcall-floor ms": round((best["pcall"] - best["floor"]) * 1000, 1),
            "pcall/floor": round(best["pcall"] / best["floor"], 2),
            "target": text,
            "met": met,
        }, note="Minimum of %d interleaved rounds; each time covers creating the tool, the calls and "
                "reaping every child. 2 cores: 32 calls of 0.2 s CPU take about 3.2 s for any tool. "
                "Pool and Executor are made and shut down inside the timing (one-shot use)." % rounds)


# -- single measurements ------------------------------------------------------------

def our_children(pids):
    left = []
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid) as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) == os.getpid():
                    left.append(pid)
        except FileNotFoundError:
            pass
    return left


def once(case, figure, target, met):
    print("%s: %s; target %s: %s" % (case, figure, target, "met" if met else "missed"), flush=True)
    emit(ONCE_TITLE, {"case": case, "figure": figure, "target": target, "met": met})


def measure_timeout():
    plan = Pcall(nap, iargs=[(i,) for i in range(4)], timeout=0.5)
    plan.start()
    try:
        plan.join()
        elapsed = None
    except TimeoutError:
        elapsed = time.time() - plan.starttime
    left = our_children(plan.pids)
    met = elapsed is not None and elapsed <= 0.55 and not left
    figure = ("TimeoutError after %.3f s, %d children left" % (elapsed, len(left))
              if elapsed is not None else "no TimeoutError")
    once("timeout=0.5, children sleeping 5 s", figure, "<= 0.550 s, every child reaped", met)


def measure_five_hundred():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(1024, hard), hard))
    try:
        start = time.perf_counter()
        results = Pcall.pcall(double, iargs=[(i,) for i in range(500)])
        figure = "ran in %.2f s" % (time.perf_counter() - start)
        met = list(results) == [2 * i for i in range(500)]
    except OSError as error:
        figure, met = "failed: %s" % error, False
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    once("500 children, 1024 descriptors", figure, "runs", met)


def measure_construction():
    huge, tiny = list(range(5_000_000)), [0]

    def build(shared):
        start = time.perf_counter()
        Pcall(double, cargs=(shared,), iargs=[(i,) for i in range(8)])
        return time.perf_counter() - start
    times = {"huge": [], "tiny": []}
    for _ in range(20):
        times["huge"].append(build(huge))
        times["tiny"].append(build(tiny))
    added = statistics.median(times["huge"]) - statistics.median(times["tiny"])
    once("construction, 8 children sharing a 5-million-item list",
         "adds %.3f ms over a one-item list" % (added * 1000), "< 1 ms", added < 0.001)


def main():
    rounds = max(3, int(round(3 * scale())))
    compare(rounds)
    measure_timeout()
    measure_five_hundred()
    measure_construction()


if __name__ == "__main__":
    try:
        main()
    except WrongResults as error:
        print("wrong results: %s" % error)
        sys.exit(1)
