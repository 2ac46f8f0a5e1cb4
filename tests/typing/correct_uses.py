"""Uses of the package that type-check under `mypy --strict`."""
from typing import Any, List, Optional, Tuple, Union

import vortan.async_
from vortan.async_.exceptions import ChildTraceback, ExceptionWithTraceback
from vortan.async_.synchronize import Lockable, LockableMeta, locked
from vortan.async_.tandrel import Pcall
from vortan.log import managed_handlers

version: str = vortan.async_.__version__


class Account:
    def __init__(self) -> None:
        self.balance = 0

    @locked
    def deposit(self, amount: int, *, note: str = "") -> int:
        self.balance += amount
        return self.balance


@locked
def withdraw(account: Account, amount: int) -> int:
    account.balance -= amount
    return account.balance


class Queue(Lockable):
    def __init__(self) -> None:
        super().__init__()
        self.items: List[int] = []

    @Lockable.locked
    def push(self, item: int) -> None:
        self.items.append(item)


class Counter(metaclass=LockableMeta):
    def __init__(self) -> None:
        self.count = 0

    def increment(self, by: int = 1) -> None:
        self.count += by

    @LockableMeta.ignore
    def peek(self) -> int:
        return self.count


def square(x: int) -> int:
    return x * x


def main() -> None:
    account = Account()
    total: int = account.deposit(10, note="pay") + withdraw(account, 3)
    queue = Queue()
    if queue.acquire(timeout=1.0):
        try:
            queue.push(total)
        finally:
            queue.release()
    counter = Counter()
    counter.increment(by=2)
    seen: int = counter.peek()

    squares: Tuple[Any, ...] = Pcall.pcall(square, iargs=[(1,), (2,)], timeout=10, gamma=[7, 8])
    mapped: Tuple[int, ...] = Pcall.map(square, range(10), chunksize=2, max_running=2, timeout=5.0)
    gathered_items: Tuple[Union[int, BaseException], ...] = Pcall.map(square, [1, 2], return_exceptions=True)
    stream = Pcall.imap(lambda word: len(word), ["a", "bc"], call_timeout=1)
    mapped_total: int = sum(stream)
    stream.close()
    print(mapped, gathered_items, mapped_total)
    plan = Pcall([square, square], cargs=(seen,), ckwargs={}, ikwargs=[{}, {}])
    plan.start()
    plan.join()
    results: Optional[Tuple[Any, ...]] = plan.results
    with Pcall(square, iargs=[(1,), (2,)]) as gathered:
        gathered.start(max_running=1, call_timeout=2.5)
        for index, outcome in gathered.as_completed(return_exceptions=True):
            print(index, outcome)
        gathered.join(return_exceptions=True)

    class Gather(Pcall):
        return_exceptions = True
        process_group = True
        call_timeout = 30.0
    if plan.results is not None:
        print(len(plan.results), plan.results[0], squares, results, plan.pids, plan.livings)

    with managed_handlers.tasklog.consolidate_next_forked_logfile():
        pass
    try:
        raise ValueError("in a child")
    except ValueError as error:
        wrapped = ExceptionWithTraceback(error)
        rebuild, args = wrapped.__reduce__()
        print(rebuild(*args), ChildTraceback("text").text)
