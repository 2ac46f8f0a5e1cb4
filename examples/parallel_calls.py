"""Parallel calls with Pcall: results in call order, a child's failure, a time limit."""
import logging
import time
import traceback

from vortan.async_.tandrel import Pcall

logging.basicConfig(format="  [log %(levelname)s %(name)s] %(message)s")


def count_primes(limit):
    """CPU-bound work: the number of primes below `limit`."""
    sieve = bytearray([1]) * limit
    sieve[:2] = b"\0\0"
    for n in range(2, int(limit ** 0.5) + 1):
        if sieve[n]:
            sieve[n * n::n] = bytes(len(range(n * n, limit, n)))
    return sum(sieve)


def ratio(numerator, denominator):
    return numerator / denominator


def nap(seconds):
    time.sleep(seconds)
    return seconds


def main():
    limits = [4_000_000, 1_000_000, 2_000_000, 500_000]
    start = time.perf_counter()
    counts = Pcall.pcall(count_primes, iargs=[(limit,) for limit in limits])
    print("1. primes below %s: %s (%.2f s, in call order)" % (limits, counts, time.perf_counter() - start))

    print("2. one child divides by zero; its exception is raised here, with the child's traceback:")
    try:
        Pcall.pcall(ratio, cargs=(1,), iargs=[(2,), (0,), (4,)])
    except ZeroDivisionError:
        print("   " + traceback.format_exc().replace("\n", "\n   ").rstrip())

    print("3. a time limit of 1 s; the child that sleeps 30 s is stopped:")
    plan = Pcall(nap, iargs=[(0.2,), (30,)], timeout=1)
    plan.start()
    print("   children alive after start:", [child.name for child in plan.livings])
    start = time.perf_counter()
    try:
        plan.join()
    except TimeoutError as error:
        print("   TimeoutError after %.2f s: %s" % (time.perf_counter() - start, error))
    try:
        plan.join()  # answers at once: every child was stopped and reaped
    except ChildProcessError as error:
        print("   a later join: %s" % error)


if __name__ == "__main__":
    main()
