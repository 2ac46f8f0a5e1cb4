"""Timing helpers shared by the benchmark scripts in this directory.

Each variant of a benchmark is a loop of the same shape,

    for _ in repeat(None, n):
        <body>

compiled from source into a function of its own, so that every variant has its
own code object (on 3.11+ the interpreter specialises per code object; one loop
shared by objects of different classes would keep missing its caches). The
variants are timed interleaved: every round runs each variant once, in an order
rotated from round to round, with the garbage collector off. A bare loop (body
``pass``) is measured the same way so that its cost can be subtracted.

``emit`` prints the one-line record that run_all.py collects (see its docstring).
"""

import gc
import itertools
import json
import os
import statistics
import textwrap
import time

RESULT_PREFIX = "BENCH-RESULT "

_LOOP = """\
def run(n{params}):
    for _ in repeat(None, n):
{body}
"""


class Variant:
    """One timed loop: ``body`` runs ``n`` times with ``args`` as local names."""

    def __init__(self, key, label, body, **args):
        self.key = key
        self.label = label
        self.args = args
        names = "".join(", " + name for name in args)
        lines = textwrap.indent(textwrap.dedent(body).strip() + "\n", " " * 8)
        source = _LOOP.format(params=names, body=lines)
        namespace = {"repeat": itertools.repeat}
        exec(compile(source, "<variant %s>" % key, "exec"), namespace)
        self.run = namespace["run"]
        self.samples = []  # ns per iteration, one per round

    def time(self, n):
        args = self.args
        enabled = gc.isenabled()
        gc.disable()
        try:
            start = time.perf_counter_ns()
            self.run(n, **args)
            stop = time.perf_counter_ns()
        finally:
            if enabled:
                gc.enable()
        return (stop - start) / n

    @property
    def best(self):
        return min(self.samples)

    @property
    def median(self):
        return statistics.median(self.samples)


def scale():
    """Iteration multiplier from VORTAN_BENCH_SCALE (default 1; e.g. 0.1 for a quick look)."""
    try:
        value = float(os.environ.get("VORTAN_BENCH_SCALE", "1"))
    except ValueError:
        value = 1.0
    return value if value > 0 else 1.0


def measure(variants, n, rounds, warmup=None):
    """Time every variant ``rounds`` times, interleaved; fills ``variant.samples``."""
    if warmup is None:
        warmup = max(1000, n // 20)
    for variant in variants:
        variant.samples = []
        variant.time(warmup)
    for r in range(rounds):
        shift = r % len(variants)
        for variant in variants[shift:] + variants[:shift]:
            variant.samples.append(variant.time(n))


def emit(benchmark, row, note=None):
    """Print the machine-readable record of one table row for run_all.py."""
    record = {"benchmark": benchmark, "row": row}
    if note:
        record["note"] = note
    print(RESULT_PREFIX + json.dumps(record), flush=True)
