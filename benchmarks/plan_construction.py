"""Cost per child of building a parallel-call plan, against bare Process objects.

    python benchmarks/plan_construction.py

For N = 1,000 and 10,000 children it times, side by side and interleaved:

- plan:  Pcall(f, iargs=iargs), where iargs = [(i,) for i in range(N)] is built
         before the clock starts;
- floor: [ctx.Process(target=f, args=(i,)) for i in range(N)], the fork
         context's bare Process objects, which every plan child is on top of.

It prints microseconds per child for both and the ratio plan / floor (target:
at most 1.2). Garbage collection is off while timing; the best of several
rounds counts. Nothing is started: no process is forked.
"""

import gc
import multiprocessing
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _harness import emit, scale  # noqa: E402

from vortan.async_.tandrel import Pcall  # noqa: E402

TARGET_RATIO = 1.2
fork = multiprocessing.get_context("fork")


def f(i):
    return i


def plan(n, iargs):
    return Pcall(f, iargs=iargs)


def floor(n, iargs):
    Process = fork.Process
    return [Process(target=f, args=(i,)) for i in range(n)]


def timed(build, n, iargs):
    gc.disable()
    try:
        start = time.perf_counter()
        built = build(n, iargs)
        elapsed = time.perf_counter() - start
    finally:
        gc.enable()
    del built
    gc.collect()
    return elapsed / n * 1e6


def main():
    rounds = max(3, int(7 * scale()))
    for n in (1000, 10000):
        iargs = [(i,) for i in range(n)]
        best = {"plan": float("inf"), "floor": float("inf")}
        for round_ in range(rounds):
            order = ("plan", "floor") if round_ % 2 == 0 else ("floor", "plan")
            for name in order:
                build = plan if name == "plan" else floor
                best[name] = min(best[name], timed(build, n, iargs))
        ratio = best["plan"] / best["floor"]
        print("N=%6d  plan %.2f us/child  floor %.2f us/child  ratio %.2f (target <= %.1f: %s)"
              % (n, best["plan"], best["floor"], ratio, TARGET_RATIO, "met" if ratio <= TARGET_RATIO else "missed"))
        emit("plan construction, us per child", {
            "N": n,
            "Pcall": round(best["plan"], 2),
            "Process floor": round(best["floor"], 2),
            "ratio": round(ratio, 2),
            "target": "<= %.1f" % TARGET_RATIO,
        })


if __name__ == "__main__":
    main()
