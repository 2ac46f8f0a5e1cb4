"""Every call's outcome, a time limit per call, a plan in a `with` block, and
grandchildren stopped with their child (process groups)."""
import logging
import os
import subprocess
import tempfile
import time

from vortan.async_.tandrel import Pcall

# The children log their failures at ERROR; this example shows them itself.
logging.getLogger("vortan.async_.tandrel").setLevel(logging.CRITICAL)


def check_order(order):
    if order % 3 == 0:
        raise ValueError("order %d is out of stock" % order)
    if order == 4:
        os._exit(3)  # ends without reporting, as a crash in native code would
    if order == 7:
        time.sleep(3600)  # hangs
    return "order %d shipped" % order


class Gather(Pcall):
    """A plan whose pcall returns every call's outcome instead of raising."""
    return_exceptions = True


def run_script(path):
    """Starts a grandchild (a shell command) that outlives this call."""
    sleeper = subprocess.Popen(["sleep", "100"])
    with open(path, "w") as f:
        f.write(str(sleeper.pid))
    sleeper.wait()


def process_state(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return "stopped" if f.read().rsplit(")", 1)[1].split()[0] == "Z" else "still running"
    except FileNotFoundError:
        return "stopped"


def main():
    print("1. every call's outcome, each order limited to 0.5 s of its own:")
    start = time.perf_counter()
    plan = Gather(check_order, iargs=[(order,) for order in range(1, 9)])
    plan.start(max_running=4, call_timeout=0.5)
    plan.join()
    for order, outcome in enumerate(plan.results, 1):
        if isinstance(outcome, Exception):
            outcome = "%s: %s" % (type(outcome).__name__, outcome)
        print("   %d -> %s" % (order, outcome))
    print("   (%.2f s; the errors carry .index, .pid and .exitcode)" % (time.perf_counter() - start))

    print("2. a `with` block: leaving it with an exception stops and reaps every child:")
    try:
        with Pcall(time.sleep, iargs=[(60,)] * 3) as plan:
            plan.start()
            raise KeyError("something went wrong in the parent")
    except KeyError as error:
        print("   %r; children alive: %d, exit codes %s" % (
            error, len(plan.livings), [child.exitcode for child in plan._processes]))

    print("3. process groups: a timeout stops what the child started too:")
    for grouped in (False, True):
        class Plan(Pcall):
            process_group = grouped
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "pid")
            plan = Plan(run_script, iargs=[(path,)], timeout=0.5)
            plan.start()
            try:
                plan.join()
            except TimeoutError:
                pass
            with open(path) as f:
                sleeper = int(f.read())
        time.sleep(0.1)  # the group's signal is delivered at once; the kernel takes a moment to clean up
        print("   process_group=%s: the child's `sleep 100` is %s" % (grouped, process_state(sleeper)))
        if process_state(sleeper) != "stopped":
            os.kill(sleeper, 9)


if __name__ == "__main__":
    main()
