"""What the stubs accept and reject, checked by mypy (never run).

scripts/check_docs.sh type-checks this file with `mypy --strict`, which warns
about unused `# type: ignore` comments: each ignore below is an expectation
that mypy reports exactly that error code on that line, and the check fails
if the stubs stop rejecting the call. `assert_type` lines pin the inferred
types of the results.
"""

from typing import Any, Sequence, assert_type

from Corvane import FilteredIndex, Index, Indexable
from Corvane import PyQueryExpr as Q


class Order(Indexable):
    total: float


class Customer(Indexable):
    name: str


def typed_results(order: Order, values: Sequence[int]) -> None:
    orders: Index[Order] = Index()
    orders.add_object(order)
    orders.add_object_many([order, Order(total=2.0)])
    assert_type(orders.collect(), list[Order])
    assert_type(orders.get_by_attribute(total=1.0), list[Order])
    assert_type(orders.reduced(total=1.0), FilteredIndex[Order])
    view = orders.reduced_query(Q.in_("total", values))
    assert_type(view, FilteredIndex[Order])
    assert_type(view.reduced(total=2.0).collect(), list[Order])
    assert_type(view.rebase(), Index[Order])
    assert_type(Index[Order](), Index[Order])
    assert_type(Index(), Index[Indexable])  # without a type argument: any Indexable
    orders.union_with(view.rebase())
    assert_type(orders.ordered_by("total", descending=True, limit=3), list[Order])
    assert_type(view.ordered_by("total"), list[Order])
    assert_type(view.value_counts("total"), dict[Any, int])
    orders.ordered_by("total", limit="3")  # type: ignore[arg-type]

    # The objects must be of the index's class.
    orders.add_object(Customer(name="x"))  # type: ignore[arg-type]
    orders.add_object_many([Customer(name="x")])  # type: ignore[list-item]
    anything: Index[Indexable] = Index()
    orders.union_with(anything)  # type: ignore[arg-type]
    wrong: list[Customer] = orders.collect()  # type: ignore[assignment]
    untyped: list[Order] = Index().collect()  # type: ignore[assignment]


def size_of_any(idx: Index[Any]) -> int:
    return len(idx.collect())


def size_of_plain(idx: Index) -> int:
    return len(idx.collect())


def any_index(orders: Index[Order]) -> None:
    # Index is invariant, like list: an Index[Order] is not an Index[Indexable]
    # (which is what a bare `Index` annotation means), as it could then be
    # given a Customer.  A function taking any index says Index[Any].
    size_of_any(orders)
    size_of_plain(orders)  # type: ignore[arg-type]


def query_values() -> None:
    Q.in_("status", ["open", "paid"])
    Q.in_("status", ("open", "paid"))
    Q.in_("total", range(10))
    Q.in_("status", {"open", "paid"})
    Q.in_("status", (s for s in ["open"]))
    # A str is one value, not a collection: it raises TypeError at run time,
    # and mypy rejects it.
    Q.in_("status", "open")  # type: ignore[arg-type]


def no_constructors() -> None:
    # Both raise TypeError "No constructor defined for ..." at run time.
    FilteredIndex()  # type: ignore[call-arg]
    Q()  # type: ignore[call-arg]
