"""A small tour of Corvane: index generated orders and look them up by attribute.

Run it with `bash scripts/demo.sh` (sets everything up first), or directly with
an environment where the package is installed: `python examples/demo.py [N]`.

Every answer from the index is checked against a plain list scan over the same
objects; the script exits with status 1 if any of them disagree.
"""

import random
import sys
import time

import Corvane

STATUSES = ["open", "packed", "shipped", "delivered", "returned"]
REGIONS = ["north", "south", "east", "west"]


class Order(Corvane.Indexable):
    """An order; its attributes live in the object and are indexed by Corvane."""


def make_orders(count, seed=7):
    rng = random.Random(seed)
    return [
        Order(
            number=n,
            status=rng.choice(STATUSES),
            region=rng.choice(REGIONS),
            quantity=rng.randint(1, 20),
            express=rng.random() < 0.1,
        )
        for n in range(count)
    ]


def scan(orders, **wanted):
    """The same lookup done the slow way: test every object."""

    def matches(order, name, accepted):
        choices = accepted if isinstance(accepted, list) else [accepted]
        return getattr(order, name) in choices

    return [o for o in orders if all(matches(o, k, v) for k, v in wanted.items())]


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000
    orders = make_orders(count)

    index = Corvane.Index()
    started = time.perf_counter()
    index.add_object_many(orders)
    print(f"indexed {count} orders in {time.perf_counter() - started:.3f} s")

    queries = [
        {"status": "shipped"},
        {"status": "open", "region": "north"},
        {"region": ["east", "west"], "express": True},
        {"quantity": [1, 2, 3], "status": ["returned", "delivered"]},
        {"status": "lost"},
    ]
    failures = 0
    for query in queries:
        started = time.perf_counter()
        found = index.get_by_attribute(**query)
        took = time.perf_counter() - started
        expected = scan(orders, **query)
        same = [o.number for o in found] == [o.number for o in expected]
        failures += not same
        args = ", ".join(f"{k}={v!r}" for k, v in query.items())
        verdict = "matches the scan" if same else f"MISMATCH: scan found {len(expected)}"
        print(f"get_by_attribute({args}): {len(found)} orders in {took * 1e3:.2f} ms, {verdict}")

    if found := index.get_by_attribute(number=count // 2):
        print("one order:", found[0])
    print("all lookups agree with a full scan" if not failures else f"{failures} lookups disagree")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
