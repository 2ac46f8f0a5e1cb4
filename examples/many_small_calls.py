"""Many small calls: a closure over 100,000 items, a few forked children each
running a contiguous share, with a progress count as the results arrive."""
import logging
import sys
import threading
import time

from vortan.async_.tandrel import Pcall

# A child logs each failed item; the example shows them in their slots instead.
logging.getLogger("vortan.async_.tandrel").setLevel(logging.CRITICAL)


def main():
    # State no pool could send to its workers: a lock and a closure over it.
    guard = threading.Lock()
    weights = {word: len(word) for word in ("fork", "share", "batch", "result")}

    def score(n):
        with guard:  # each child has its own copy, inherited at the fork
            return n * weights["share"] % 97

    items = range(100_000)
    began = time.perf_counter()
    total = 0
    for done, value in enumerate(Pcall.imap(score, items), 1):
        total += value
        if done % 10_000 == 0 or done == len(items):
            sys.stdout.write("\r%6d/%d results" % (done, len(items)))
            sys.stdout.flush()
    print("\nsum %d in %.2f s" % (total, time.perf_counter() - began))
    assert total == sum(n * 5 % 97 for n in items)

    # A failing item fills its own slot; the rest go on.
    checked = Pcall.map(lambda n: 100 // (n % 5), range(10), return_exceptions=True)
    print("with return_exceptions:", checked)


if __name__ == "__main__":
    main()
