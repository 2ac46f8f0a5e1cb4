"""Pcall.map and Pcall.imap: results in item order from a few children that
each run a contiguous share of the items, failures and limits per item, and
no child left behind on any way out. Children are found through /proc."""
import gc
import os
import signal
import textwrap
import threading

import pytest

import vortan.async_.tandrel as tandrel
from conftest import run_python
from tandrel_helpers import HANG_GUARD, Gate, wait_ended, wait_until
from tandrel_helpers import reap_leftovers  # noqa: F401  (fixture)

Pcall = tandrel.Pcall

pytestmark = pytest.mark.usefixtures("reap_leftovers")


def our_children():
    """Every process whose parent is this one, zombies included."""
    found = set()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (FileNotFoundError, ProcessLookupError):
            continue
        if int(fields[1]) == os.getpid():
            found.add(int(entry))
    return found


@pytest.fixture
def no_child_left():
    """The test must end with no child of this process alive or unreaped."""
    before = our_children()
    yield
    assert our_children() - before == set()


class Runs:
    """Where children note the items they begin: one line per run, appended
    atomically, so that the parent can count how often each item ran."""

    def __init__(self, tmp_path):
        self.path = str(tmp_path / "runs")
        open(self.path, "w").close()

    def note(self, item):
        fd = os.open(self.path, os.O_WRONLY | os.O_APPEND)
        os.write(fd, b"%d %d\n" % (item, os.getpid()))
        os.close(fd)

    def read(self):
        with open(self.path) as f:
            return [tuple(map(int, line.split())) for line in f]


@pytest.fixture
def runs(tmp_path):
    return Runs(tmp_path)


@pytest.fixture
def gate():
    g = Gate()
    yield g
    g.close()


@pytest.mark.parametrize("chunksize", [None, 1, 7, 1000])
@pytest.mark.parametrize("mapper", ["map", "imap"])
def test_results_come_in_item_order_from_contiguous_shares(chunksize, mapper, no_child_left):
    results = getattr(Pcall, mapper)(lambda x: (x * x, os.getpid()), range(50), chunksize=chunksize, max_running=2)
    results = list(results)
    assert [square for square, _ in results] == [x * x for x in range(50)]
    pids = [pid for _, pid in results]
    assert os.getpid() not in pids
    # No more forks than running children: a child that ends its share
    # claims the next, and each share runs whole in one child.
    shares = -(-50 // chunksize) if chunksize else 8
    assert len(set(pids)) == min(2, shares)
    size = chunksize or 7
    assert all(len(set(pids[first:first + size])) == 1 for first in range(0, 50, size))


def test_closures_and_unpicklable_items_are_inherited_not_pickled(no_child_left):
    locks = [threading.Lock() for _ in range(6)]
    locks[2].acquire()
    held = {id(lock): i for i, lock in enumerate(locks)}
    assert Pcall.map(lambda lock: (held[id(lock)], lock.locked()), locks, chunksize=2) == tuple(
        (i, i == 2) for i in range(6))


@pytest.mark.parametrize("mapper", ["map", "imap"])
def test_an_empty_iterable_gives_nothing_and_forks_nothing(mapper, monkeypatch, no_child_left):
    class NoFork:
        def __init__(self, *args, **kwargs):
            raise AssertionError("a worker was built")

    monkeypatch.setattr(tandrel, "ChildLabor", NoFork)
    assert tuple(getattr(Pcall, mapper)(abs, iter(()))) == ()


def raises(x):
    if x in (3, 5):
        raise ValueError("item", x)
    return x


class Unpicklable:
    def __init__(self, x):
        self.x = x

    def __reduce__(self):
        raise TypeError("cannot pickle item %d" % self.x)


def unpicklable(x):
    return Unpicklable(x) if x in (3, 5) else x


def dies(x):
    if x in (3, 5):
        os._exit(7)
    return x


@pytest.mark.parametrize("function, error, text", [
    (raises, ValueError, "('item', 3)"),
    (unpicklable, TypeError, "cannot pickle item 3"),
    (dies, ChildProcessError, "exit code 7 while running item 3"),
])
def test_each_failing_item_fills_its_own_slot_with_return_exceptions(function, error, text, no_child_left):
    # Shares of one item each: what a failing item takes down is itself.
    results = Pcall.map(function, range(8), chunksize=1, return_exceptions=True)
    assert [results[i] for i in (0, 1, 2, 4, 6, 7)] == [0, 1, 2, 4, 6, 7]
    assert isinstance(results[3], error) and isinstance(results[5], error)
    assert text in str(results[3])
    if error is ValueError:
        assert "raises" in str(results[3].__cause__)  # the child's traceback
    if error is ChildProcessError:
        assert (results[3].index, results[3].exitcode) == (3, 7)


@pytest.mark.parametrize("function, error", [(raises, ValueError), (unpicklable, TypeError),
                                             (dies, ChildProcessError)])
def test_without_return_exceptions_the_lowest_failing_item_is_raised(function, error, no_child_left):
    with pytest.raises(error) as info:
        Pcall.map(function, range(8), chunksize=1, max_running=8)
    assert "3" in str(info.value)


def test_after_a_failure_no_child_claims_more_shares(runs, gate, no_child_left):
    def item(x):
        runs.note(x)
        if x == 0:
            gate.wait(2.0)  # holds the failure back from being raised
        elif x == 1:
            raise ValueError(x)
        else:
            threading.Event().wait(0.04)
        return x

    with pytest.raises(ValueError):
        Pcall.map(item, range(50), chunksize=1, max_running=3)
    # Without the stop, the third child would run nearly all 48 others meanwhile.
    assert len(runs.read()) < 25


def test_a_failing_item_lets_the_rest_of_its_share_go_on_with_return_exceptions(runs, no_child_left):
    def item(x):
        runs.note(x)
        return raises(x)

    results = Pcall.map(item, range(8), chunksize=8, return_exceptions=True)
    assert [type(r) for r in results] == [int] * 3 + [ValueError, int, ValueError, int, int]
    assert sorted(x for x, _ in runs.read()) == list(range(8))
    assert len({pid for _, pid in runs.read()}) == 1


@pytest.mark.parametrize("each_item, chunksize", [(False, 6), (True, 6), (False, 2)],
                         ids=["batched", "sent-each-item", "in-a-claimed-share"])
def test_a_child_killed_mid_share_loses_only_what_it_held(each_item, chunksize, runs, gate, no_child_left):
    """Items 0-1 done, item 2 running when the child is killed: item 2 fails,
    0-1 arrive when sent before 2 began (call_timeout sends each result, and
    a child sends a share whole before it claims the next), and 3-5 run
    once, in a new child."""
    reader, writer = os.pipe()

    def item(x):
        runs.note(x)
        if x == 2 and not gate.wait(0):
            os.write(writer, b"%d\n" % os.getpid())
            gate.wait(HANG_GUARD)
        return x

    def kill_item_two():
        pid = int(os.read(reader, 32))
        os.kill(pid, signal.SIGKILL)

    killer = threading.Thread(target=kill_item_two)
    killer.start()
    try:
        results = Pcall.map(item, range(6), chunksize=chunksize, max_running=1,
                            call_timeout=HANG_GUARD if each_item else None, return_exceptions=True)
    finally:
        killer.join(HANG_GUARD)
        os.close(reader), os.close(writer)
    assert results[3:] == (3, 4, 5)
    assert isinstance(results[2], ChildProcessError) and "while running item 2" in str(results[2])
    assert (results[2].index, results[2].exitcode) == (2, -signal.SIGKILL)
    if each_item or chunksize == 2:
        assert results[:2] == (0, 1)
    else:
        assert all(isinstance(r, ChildProcessError) and "before sending the result" in str(r) for r in results[:2])
    noted = runs.read()
    assert sorted(x for x, _ in noted) == list(range(6))  # none ran twice, none was lost
    assert len({pid for x, pid in noted if x < 3} & {pid for x, pid in noted if x >= 3}) == 0


def test_call_timeout_bounds_each_item_not_the_share(gate, no_child_left):
    def item(x):
        if x == 4:
            gate.wait(HANG_GUARD)  # never opened
        else:
            threading.Event().wait(0.3)
        return x

    # Items 0-3 of one share outlast the limit together; no single one does.
    results = Pcall.map(item, range(6), chunksize=6, call_timeout=1.0, return_exceptions=True)
    assert results[:4] == (0, 1, 2, 3) and results[5] == 5
    assert isinstance(results[4], TimeoutError) and results[4].index == 4
    assert "Item 4 did not finish within its call_timeout of 1.0 seconds" in str(results[4])
    with pytest.raises(TimeoutError, match="Item 4"):
        Pcall.map(item, range(6), chunksize=6, call_timeout=1.0)


def test_the_map_timeout_stops_every_child(gate, no_child_left):
    def item(x):
        if x >= 2:
            gate.wait(HANG_GUARD)
        return x

    with pytest.raises(TimeoutError, match="timeout of 0.5 seconds"):
        Pcall.map(item, range(4), chunksize=1, timeout=0.5)
    # One child at a time: item 2 runs at the deadline, 3 to 5 never start.
    results = Pcall.map(item, range(6), chunksize=1, max_running=1, timeout=2, return_exceptions=True)
    assert results[:2] == (0, 1)
    assert isinstance(results[2], TimeoutError) and "when the map's timeout of 2 seconds passed" in str(results[2])
    assert all(isinstance(r, ChildProcessError) and "never started" in str(r) for r in results[3:])


def leave_by_break(make):
    for _ in make():
        break


def leave_by_close(make):
    iterator = make()
    next(iterator)
    iterator.close()
    assert list(iterator) == []


def leave_by_exception(make):
    with pytest.raises(LookupError):
        for _ in make():
            raise LookupError


def leave_by_garbage_collection(make):
    garbage = [make()]
    next(garbage[0])
    garbage.append(garbage)  # only the collector can free it now
    del garbage
    gc.collect()


@pytest.mark.parametrize("leave", [leave_by_break, leave_by_close, leave_by_exception, leave_by_garbage_collection])
def test_leaving_imap_early_stops_and_reaps_the_rest(leave, gate, no_child_left):
    def item(x):
        if x > 0:
            gate.wait(HANG_GUARD)  # opened only at the end of the test
        return x

    before = our_children()

    def make():
        iterator = Pcall.imap(item, range(4), chunksize=1, max_running=4)
        wait_until(lambda: len(our_children() - before) >= 3, "the children to start")
        return iterator

    leave(make)
    assert our_children() - before == set()


def test_imap_yields_each_result_as_it_and_every_earlier_one_arrive(gate, no_child_left):
    def item(x):
        if x == 2:
            gate.wait(HANG_GUARD)
        return x

    iterator = Pcall.imap(item, range(4), chunksize=1)
    assert [next(iterator), next(iterator)] == [0, 1]  # item 2 holds back 3, not 0 and 1
    gate.set()
    assert list(iterator) == [2, 3]


def test_a_share_found_through_the_collector_never_runs_in_the_map_process(no_child_left):
    iterator = Pcall.imap(lambda x: x, range(4), chunksize=1)
    shares = [o for o in gc.get_objects() if type(o).__name__ == "MapShare"]
    assert shares
    for share in shares:  # while the map runs, and once it is gone
        with pytest.raises(RuntimeError, match="only in a child that its map forked"):
            share()
    assert list(iterator) == [0, 1, 2, 3]
    del iterator
    gc.collect()
    for share in shares:
        with pytest.raises(RuntimeError):
            share()

    def call_a_share(x):  # in a child, which runs a share already
        share = next(o for o in gc.get_objects() if type(o).__name__ == "MapShare")
        try:
            share()
        except RuntimeError as e:
            return str(e)

    assert Pcall.map(call_a_share, range(2), chunksize=1) == ("this process runs a map share already",) * 2


def test_a_function_that_forks_runs_no_items_in_the_new_process(runs, no_child_left):
    def item(x):
        if x == 2:
            pid = os.fork()
            if pid == 0:
                return "from the new process"  # back into the map, in a process the map did not fork
            os.waitpid(pid, 0)
        runs.note(x)
        return x

    assert Pcall.map(item, range(8), chunksize=2, max_running=1, timeout=HANG_GUARD) == tuple(range(8))
    assert sorted(x for x, _ in runs.read()) == list(range(8))  # each once, all in the map's child


def waiting_in_poll(pid):
    with open("/proc/%d/wchan" % pid) as f:
        return "poll" in f.read()


def test_an_interrupt_during_the_map_stops_every_child(gate, no_child_left):
    def item(x):
        if x == 1:
            # Once every child is forked: an interrupt that falls into the
            # fork's own handlers is lost by the interpreter.
            wait_until(lambda: waiting_in_poll(os.getppid()), "the map to wait")
            os.kill(os.getppid(), signal.SIGINT)
        gate.wait(HANG_GUARD)
        return x

    with pytest.raises(KeyboardInterrupt):
        Pcall.map(item, range(3), chunksize=1, max_running=3)


def test_an_imap_left_open_at_exit_does_not_hold_up_the_interpreter(tmp_path):
    script = textwrap.dedent("""
        import os, select
        from vortan.async_.tandrel import Pcall
        def item(x):
            with open(%r, "a") as f:
                f.write("%%d\\n" %% os.getpid())
            select.select([], [], [])  # for ever
        results = Pcall.imap(item, range(3), chunksize=1, max_running=3)
        import time
        while len(open(%r).readlines()) < 3:
            time.sleep(0.01)
        print("exiting")
    """ % (str(tmp_path / "pids"), str(tmp_path / "pids")))
    (tmp_path / "pids").write_text("")
    result = run_python(script)
    assert result.stdout.strip() == "exiting", result.stderr
    pids = [int(line) for line in (tmp_path / "pids").read_text().split()]
    assert len(pids) == 3
    wait_ended(*pids)


@pytest.mark.parametrize("gather", [False, True])
def test_an_imap_read_after_the_exit_handler_stopped_it_raises_instead_of_waiting(gather):
    # An exit function registered before the import runs after the module's.
    result = run_python("""
        import atexit, threading
        def read_on():
            try:
                list(results)
            except Exception as e:
                print(type(e).__name__)
        atexit.register(read_on)
        from vortan.async_.tandrel import Pcall
        def item(x):
            if x:
                threading.Event().wait(60)
            return x
        results = Pcall.imap(item, range(20), chunksize=1, return_exceptions=%s)
        print(next(results))
    """ % gather, timeout=HANG_GUARD)
    assert result.stdout.split() == ["0", "RuntimeError" if gather else "ChildProcessError"], result.stderr


class Sneaky:
    def __iter__(self):
        raise AssertionError("the iterable was read")


@pytest.mark.parametrize("kwargs, error, name", [
    ({"function": 5}, TypeError, "function"),
    ({"iterable": 5}, TypeError, "iterable"),
    ({"chunksize": 0}, ValueError, "chunksize"),
    ({"chunksize": 2.0}, TypeError, "chunksize"),
    ({"chunksize": True}, TypeError, "chunksize"),
    ({"max_running": -1}, ValueError, "max_running"),
    ({"max_running": "2"}, TypeError, "max_running"),
    ({"timeout": float("nan")}, ValueError, "timeout"),
    ({"timeout": 0}, ValueError, "timeout"),
    ({"timeout": 10 ** 400}, ValueError, "timeout"),
    ({"timeout": "1"}, TypeError, "timeout"),
    ({"call_timeout": -1}, ValueError, "call_timeout"),
    ({"call_timeout": True}, TypeError, "call_timeout"),
])
@pytest.mark.parametrize("mapper", ["map", "imap"])
def test_bad_arguments_are_refused_before_anything_forks(mapper, kwargs, error, name, monkeypatch):
    class NoFork:
        def __init__(self, *args, **kwargs):
            raise AssertionError("a worker was built")

    monkeypatch.setattr(tandrel, "ChildLabor", NoFork)
    arguments = {"function": abs, "iterable": Sneaky() if "iterable" not in kwargs else None}
    arguments.update(kwargs)
    with pytest.raises(error, match=name):
        getattr(Pcall, mapper)(arguments.pop("function"), arguments.pop("iterable"), **arguments)
