"""Corvane on a generated order book: every kind of query, timed against a list comprehension.

    python examples/demo.py [--objects N] [--repeat R] [--seed S]

Builds N orders (default 100,000; each with a nested customer object), indexes
them, and runs each kind of query: keyword equality, multi-value keywords, view
narrowing, expression ranges, a compound expression, a dotted path, and a query
after attribute assignments. Each query is answered by the index and by a list
comprehension over the same objects; the table shows the answer size, the
median time of R runs of each, and how many times faster the index was. The
script exits with status 1 if any answer differs from the comprehension's.
"""

import argparse
import random
import statistics
import sys
import time
from typing import Callable, List, Sequence, Tuple

from Corvane import Index, Indexable
from Corvane import PyQueryExpr as Q

STATUSES = ["open", "packed", "shipped", "delivered", "returned", "cancelled"]
STATUS_WEIGHTS = [20, 10, 30, 34, 5, 1]
REGIONS = ["north", "south", "east", "west"]
COUNTRIES = ["DE", "FR", "NL", "PL", "SE", "IT", "ES", "DK"]


class Customer(Indexable):
    name: str
    country: str
    tier: int


class Order(Indexable):
    number: int
    status: str
    region: str
    quantity: int
    amount: float
    customer: Customer


def make_orders(count: int, seed: int) -> List[Order]:
    rng = random.Random(seed)
    customers = [
        Customer(name=f"customer-{n}", country=rng.choice(COUNTRIES), tier=rng.randint(1, 5))
        for n in range(max(1, count // 100))
    ]
    return [
        Order(
            number=n,
            status=rng.choices(STATUSES, STATUS_WEIGHTS)[0],
            region=rng.choice(REGIONS),
            quantity=rng.randint(1, 20),
            amount=round(rng.uniform(1.0, 500.0), 2),
            customer=rng.choice(customers),
        )
        for n in range(count)
    ]


def median_ms(run: Callable[[], Sequence[Indexable]], repeat: int) -> Tuple[float, List[Indexable]]:
    """Median wall time of `repeat` calls, in milliseconds, and the last answer."""
    times: List[float] = []
    answer: List[Indexable] = []
    for _ in range(repeat):
        started = time.perf_counter()
        answer = list(run())
        times.append((time.perf_counter() - started) * 1e3)
    return statistics.median(times), answer


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(description="Corvane queries timed against a list comprehension.")
    parser.add_argument("--objects", type=int, default=100_000, help="number of orders")
    parser.add_argument("--repeat", type=int, default=5, help="timed runs per query")
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args(argv)

    started = time.perf_counter()
    orders = make_orders(args.objects, args.seed)
    made = time.perf_counter() - started
    index = Index()
    started = time.perf_counter()
    index.add_object_many(orders)
    indexed = time.perf_counter() - started
    print(f"{len(orders):,} orders created in {made:.2f} s, indexed in {indexed:.2f} s")

    # Orders are created in number order, which is also the index's (id) order,
    # so both sides list the same objects in the same order.
    one = args.objects // 2
    by_region = index.reduced(region=["north", "east"])
    queries: List[Tuple[str, Callable[[], Sequence[Indexable]], Callable[[], Sequence[Indexable]]]] = [
        (
            "equality: number == N/2",
            lambda: index.get_by_attribute(number=one),
            lambda: [o for o in orders if o.number == one],
        ),
        (
            "equality: status == returned",
            lambda: index.get_by_attribute(status="returned"),
            lambda: [o for o in orders if o.status == "returned"],
        ),
        (
            "keywords: 2 statuses, 2 regions",
            lambda: index.get_by_attribute(status=["open", "packed"], region=["north", "south"]),
            lambda: [
                o for o in orders
                if o.status in ("open", "packed") and o.region in ("north", "south")
            ],
        ),
        (
            "view: north/east, then quantity 20",
            lambda: by_region.reduced(quantity=20).collect(),
            lambda: [o for o in orders if o.region in ("north", "east") and o.quantity == 20],
        ),
        (
            "range: 100 <= amount <= 110",
            lambda: index.reduced_query(Q.bt("amount", 100.0, 110.0)).collect(),
            lambda: [o for o in orders if 100.0 <= o.amount <= 110.0],
        ),
        (
            "range: amount > 495",
            lambda: index.reduced_query(Q.gt("amount", 495)).collect(),
            lambda: [o for o in orders if o.amount > 495],
        ),
        (
            "compound: open, qty >= 15, not west",
            lambda: index.reduced_query(
                Q.and_(Q.eq("status", "open"), Q.ge("quantity", 15), Q.not_(Q.eq("region", "west")))
            ).collect(),
            lambda: [
                o for o in orders
                if o.status == "open" and o.quantity >= 15 and o.region != "west"
            ],
        ),
        (
            "dotted: customer.country == DE, tier 5",
            lambda: index.reduced_query(
                Q.and_(Q.eq("customer.country", "DE"), Q.eq("customer.tier", 5))
            ).collect(),
            lambda: [o for o in orders if o.customer.country == "DE" and o.customer.tier == 5],
        ),
    ]

    rows: List[Tuple[str, int, float, float, bool]] = []

    def measure(label: str, fast: Callable[[], Sequence[Indexable]],
                slow: Callable[[], Sequence[Indexable]]) -> None:
        fast_ms, found = median_ms(fast, args.repeat)
        slow_ms, expected = median_ms(slow, args.repeat)
        same = len(found) == len(expected) and all(a is b for a, b in zip(found, expected))
        rows.append((label, len(found), fast_ms, slow_ms, same))

    for label, fast, slow in queries:
        measure(label, fast, slow)

    # Assignments move orders between values in the index as they happen.
    rng = random.Random(args.seed + 1)
    changed = rng.sample(orders, min(1_000, len(orders)))
    started = time.perf_counter()
    for order in changed:
        order.status = "cancelled"
    assigned_ms = (time.perf_counter() - started) * 1e3
    measure(
        f"after {len(changed):,} assignments: cancelled",
        lambda: index.get_by_attribute(status="cancelled"),
        lambda: [o for o in orders if o.status == "cancelled"],
    )

    print(f"{len(changed):,} status assignments took {assigned_ms:.1f} ms "
          f"({assigned_ms * 1e3 / max(1, len(changed)):.1f} us each, index updates included)")
    print(f"median of {args.repeat} runs; 'x faster' = list comprehension time / Corvane time\n")
    header = f"{'query':<40} {'answer':>8} {'Corvane ms':>11} {'list comp ms':>13} {'x faster':>9}"
    print(header)
    print("-" * len(header))
    for label, size, fast_ms, slow_ms, same in rows:
        ratio = slow_ms / fast_ms if fast_ms > 0 else float("inf")
        mark = "" if same else "  MISMATCH"
        print(f"{label:<40} {size:>8,} {fast_ms:>11.3f} {slow_ms:>13.2f} {ratio:>9.1f}{mark}")

    failures = sum(1 for row in rows if not row[4])
    print("\nall answers match the list comprehension" if not failures
          else f"\n{failures} answers differ from the list comprehension")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
