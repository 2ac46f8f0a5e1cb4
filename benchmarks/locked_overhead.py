"""Cost of one uncontended locked method call, side by side in one interpreter.

Variants, each called in a loop of the same shape:

  plain        obj.m(1) on an undecorated method, no lock (orientation only)
  floor        the reads and calls that one wrapped call has to make, written
               inline in Python: obj.__lock__ (the existence test),
               obj.__lock__.acquire(block=False), m(obj, 1) with the undecorated
               function, obj.__lock__.release()
  locked       obj.m(1), m made by vortan.async_.synchronize.locked
  Lockable     obj.m(1), m made by Lockable.locked on a Lockable subclass
  Meta         obj.m(1), m wrapped by LockableMeta
  pylocked     obj.m(1), m made by the pure-Python decorator below
  rlock_with   with tlock: m(obj, 1), tlock a threading.RLock (orientation only)

The method is ``def m(self, x): return x``. Every object's ``__lock__`` is a
fork-context RLock made before timing. Numbers are nanoseconds per call with
the bare loop's cost subtracted (the bare loop itself is printed), the minimum
over interleaved rounds; ratios are taken between those net numbers. The
targets printed next to the ratios are informative: nothing here fails on a
ratio. The script exits non-zero only if the module cannot be imported or a
variant does not lock as it should.
"""

import functools
import logging
import multiprocessing
import sys
import threading

from _harness import Variant, emit, measure, scale

ROUNDS = 15
CALLS = 200_000

fork = multiprocessing.get_context("fork")
logger = logging.getLogger("locked_overhead")


# -- the pure-Python decorator: the same steps as the module's wrapper -------

def py_locked(method):
    @functools.wraps(method)
    def _wrapped(self, *args, **kwargs):
        try:
            self.__lock__
        except Exception:  # any failure of the read means "no lock yet"
            self.__lock__ = fork.RLock()
        if not self.__lock__.acquire(block=False):
            logger.warning("Waiting for lock on %s" % self)
            self.__lock__.acquire()
        try:
            return method(self, *args, **kwargs)
        finally:
            self.__lock__.release()
    return _wrapped


class Plain:
    def m(self, x):
        return x


class PyLocked:
    @py_locked
    def m(self, x):
        return x


class Recorder:
    """A stand-in lock that records the calls made on it."""

    def __init__(self):
        self.calls = []

    def acquire(self, *args, **kwargs):
        self.calls.append(("acquire", args, kwargs))
        return True

    def release(self, *args, **kwargs):
        self.calls.append(("release", args, kwargs))


def check_locks(cls):
    """The benchmarked method must make exactly the calls of an uncontended locked call."""
    probe = cls.__new__(cls)
    probe.__lock__ = Recorder()
    result = probe.m(1)
    expected = [("acquire", (), {"block": False}), ("release", (), {})]
    if result != 1 or probe.__lock__.calls != expected:
        raise SystemExit("%s.m does not lock as expected: returned %r, lock calls %r"
                         % (cls.__name__, result, probe.__lock__.calls))


def targets_for(version):
    """(max ratio to the floor, max ratio to pure Python) aimed at on this version."""
    if version[:2] == (3, 8):
        return 1.0, 0.45
    if (3, 11) <= version[:2] <= (3, 13):
        return 1.25, None
    return None, None


def judge(value, limit):
    if limit is None:
        return "", "no target"
    return "<=%.2f" % limit, "met" if value <= limit else "MISSED"


def main():
    version = sys.version_info
    print("locked_overhead on CPython %s" % sys.version.split()[0])
    try:
        from vortan.async_ import synchronize
    except ImportError as exc:
        print("cannot import vortan.async_.synchronize: %s" % exc)
        return 1
    print("module: %s" % synchronize.__file__)

    class ByLocked:
        @synchronize.locked
        def m(self, x):
            return x

    class ByLockable(synchronize.Lockable):
        @synchronize.Lockable.locked
        def m(self, x):
            return x

    class ByMeta(metaclass=synchronize.LockableMeta):
        def m(self, x):
            return x

    for cls in (ByLocked, ByLockable, ByMeta, PyLocked):
        check_locks(cls)

    def with_lock(cls):
        obj = cls()
        if cls is not ByLockable:  # Lockable.__init__ has made its fork RLock already
            obj.__lock__ = fork.RLock()
        obj.m(1)
        return obj

    floor_obj = with_lock(Plain)
    variants = [
        Variant("loop", "bare loop", "pass"),
        Variant("plain", "plain obj.m(1), no lock", "obj.m(1)", obj=Plain()),
        Variant("floor", "floor: inline reads and calls",
                """
                obj.__lock__
                obj.__lock__.acquire(block=False)
                m(obj, 1)
                obj.__lock__.release()
                """, obj=floor_obj, m=Plain.m),
        Variant("locked", "synchronize.locked", "obj.m(1)", obj=with_lock(ByLocked)),
        Variant("Lockable", "Lockable.locked", "obj.m(1)", obj=with_lock(ByLockable)),
        Variant("Meta", "LockableMeta", "obj.m(1)", obj=with_lock(ByMeta)),
        Variant("pylocked", "pure-Python locked", "obj.m(1)", obj=with_lock(PyLocked)),
        Variant("rlock_with", "with threading.RLock()",
                """
                with tlock:
                    m(obj, 1)
                """, obj=Plain(), m=Plain.m, tlock=threading.RLock()),
    ]
    calls = max(1000, int(CALLS * scale()))
    measure(variants, calls, ROUNDS)

    for v in variants:
        lock = getattr(v.args.get("obj"), "__lock__", None)
        if lock is not None and lock._semlock._count() != 0:
            raise SystemExit("%s left its lock held after timing" % v.label)

    by_key = {v.key: v for v in variants}
    loop = by_key["loop"].best
    net = {v.key: v.best - loop for v in variants if v.key != "loop"}

    print("%d calls x %d rounds, interleaved; ns/call = minimum over rounds minus the bare loop"
          % (calls, ROUNDS))
    print("%-32s %9s %9s %9s" % ("variant", "net ns", "gross ns", "med/min"))
    for v in variants:
        net_text = "-" if v.key == "loop" else "%.1f" % net[v.key]
        print("%-32s %9s %9.1f %9.3f" % (v.label, net_text, v.best, v.median / v.best))

    floor_target, py_target = targets_for(version)
    times = {"loop": round(loop, 1)}
    times.update((k, round(net[k], 1)) for k in
                 ("plain", "floor", "locked", "Lockable", "Meta", "pylocked", "rlock_with"))
    ratios = {}
    print()
    print("%-22s %7s %8s  %s" % ("ratio (net)", "value", "target", "status"))
    for key in ("locked", "Lockable", "Meta"):
        for base, limit in (("floor", floor_target), ("pylocked", py_target)):
            name = "%s/%s" % (key, base)
            value = net[key] / net[base]
            target, status = judge(value, limit)
            print("%-22s %7.3f %8s  %s" % (name, value, target, status))
            ratios[name] = "%.3f" % value + ("" if limit is None else " " + status)
    ratios["targets"] = " ".join(
        "%s<=%.2f" % (base, limit)
        for base, limit in (("floor", floor_target), ("py", py_target)) if limit is not None) or "-"
    emit("locked_overhead: ns per call, net of the bare loop", times,
         note="minimum of %d interleaved rounds of %d calls; 'loop' is the bare loop's own "
              "cost, already subtracted from the others; plain = undecorated obj.m(1); "
              "floor = the wrapper's reads and calls inline; pylocked = pure-Python "
              "decorator; rlock_with = with threading.RLock()" % (ROUNDS, calls))
    emit("locked_overhead: ratios of net ns per call", ratios,
         note="'met'/'MISSED' against the targets column; informative only")
    return 0


if __name__ == "__main__":
    sys.exit(main())
