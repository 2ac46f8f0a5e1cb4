"""Results as they arrive, with a progress count, two children at a time, and
stopping once enough is known."""
import os
import sys
import time

from vortan.async_.tandrel import Pcall


def count_primes(limit):
    """CPU-bound work: the number of primes below `limit`."""
    sieve = bytearray([1]) * limit
    sieve[:2] = b"\0\0"
    for n in range(2, int(limit ** 0.5) + 1):
        if sieve[n]:
            sieve[n * n::n] = bytes(len(range(n * n, limit, n)))
    return sum(sieve)


def find(needle, seconds):
    """Looks for something for a while; only one child finds it."""
    time.sleep(seconds)
    return needle == 3


def main():
    limits = [200_000 * (1 + i % 4) for i in range(12)]
    plan = Pcall(count_primes, iargs=[(limit,) for limit in limits], timeout=120)
    plan.start(max_running=2)  # at most two children alive at once
    most = 0
    print("1. done:", end=" ")
    for done, (index, count) in enumerate(plan.as_completed(), 1):
        most = max(most, len(plan.livings))
        # On a terminal the count is rewritten in place.
        print("\r1. done: %d/%d" % (done, len(limits)) if sys.stdout.isatty() else "%d/%d" % (done, len(limits)),
              end="" if sys.stdout.isatty() else " ", flush=True)
    print("\n   at most %d children alive at once; results in call order: %s..." % (most, plan.results[:4]))

    print("2. stop at the first child that finds it; the others are stopped and reaped:")
    plan = Pcall(find, iargs=[(i, 0.2 if i == 3 else 30) for i in range(6)], timeout=60)
    start = time.perf_counter()
    plan.start()
    for index, found in plan.as_completed():
        if found:
            print("   child %d found it after %.2f s" % (index, time.perf_counter() - start))
            break
    left = [pid for pid in plan.pids if os.path.exists("/proc/%d" % pid)]
    print("   children left: %d" % len(left))


if __name__ == "__main__":
    main()
