"""Mistakes that the stubs must catch: each line whose comment starts with E:
gets exactly the error written there from mypy, and no other line gets any."""
from vortan.async_.synchronize import Lockable, LockableMeta, locked
from vortan.async_.tandrel import Pcall


class Account:
    @locked
    def deposit(self, amount: int) -> int:
        return amount


@locked
def withdraw(account: Account, amount: int) -> int:
    return amount


class Queue(Lockable):
    @Lockable.locked
    def push(self, item: int) -> None:
        pass


class Counter(metaclass=LockableMeta):
    @LockableMeta.ignore
    def peek(self) -> int:
        return 0


def square(x: int) -> int:
    return x * x


account = Account()
account.deposit("ten")  # E: Argument 1 to "deposit" of "Account" has incompatible type "str"; expected "int"  [arg-type]
account.deposit(1, 2)  # E: Too many arguments for "deposit" of "Account"  [call-arg]
label: str = account.deposit(1)  # E: Incompatible types in assignment (expression has type "int", variable has type "str")  [assignment]
withdraw(account)  # E: Missing positional argument "amount" in call to "withdraw"  [call-arg]
withdraw("account", 1)  # E: Argument 1 to "withdraw" has incompatible type "str"; expected "Account"  [arg-type]
Queue().push("item")  # E: Argument 1 to "push" of "Queue" has incompatible type "str"; expected "int"  [arg-type]
Queue().push()  # E: Missing positional argument "item" in call to "push" of "Queue"  [call-arg]
peeked: str = Counter().peek()  # E: Incompatible types in assignment (expression has type "int", variable has type "str")  [assignment]

Pcall.pcall(square, timeout="soon")  # E: Argument "timeout" to "pcall" of "Pcall" has incompatible type "str"; expected "float | None"  [arg-type]
Pcall.pcall(square, gamma=7)  # E: Argument "gamma" to "pcall" of "Pcall" has incompatible type "int"; expected "Sequence[Any]"  [arg-type]
plan = Pcall(square, iargs=[(1,)])
first = plan.results[0]  # E: Value of type "tuple[Any, ...] | None" is not indexable  [index]
plan.start(call_timeout="soon")  # E: Argument "call_timeout" to "start" of "Pcall" has incompatible type "str"; expected "float | None"  [arg-type]
plan.join(return_exceptions="yes")  # E: Argument "return_exceptions" to "join" of "Pcall" has incompatible type "str"; expected "bool | None"  [arg-type]
Pcall.map(square, ["a"])  # E: Argument 1 to "map" of "Pcall" has incompatible type "Callable[[int], int]"; expected "Callable[[str], int]"  [arg-type]
Pcall.imap(square, (1,), chunksize=2.5)  # E: No overload variant of "imap" of "Pcall" matches argument types "Callable[[int], int]", "tuple[int]", "float"  [call-overload]
