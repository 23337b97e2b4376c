"""Top N by a numeric attribute: Corvane's ordered walk against a heap and sqlite3.

    python bench/top_n.py [objects]      (default 1,000,000)

Builds `objects` Indexable objects with a random float `price` and a
`bucket` (0..99), puts them in one Index, and times the ten highest prices
  - of the whole index: `idx.ordered_by("price", descending=True, limit=10)`,
    `heapq.nlargest` over the objects, and sqlite3 in memory
    `ORDER BY price DESC LIMIT 10` with an index on price;
  - of a 1 % view (bucket 7): `view.ordered_by(...)`, `heapq.nlargest` over
    the view's objects, and sqlite3 `WHERE bucket = 7 ORDER BY price DESC
    LIMIT 10` with indexes on price and on bucket (the planner picks).
Each figure is the best per-call time of several timing rounds; the script
checks that the three answers agree and prints the ratios.  Not a test.
"""

import heapq
import random
import sqlite3
import sys
import time
from operator import attrgetter

from measure import best_per_call

from Corvane import Index, Indexable


class Item(Indexable):
    pass


def show(label, seconds):
    print(f"  {label:<34} {seconds * 1e6:12.1f} us")


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    rng = random.Random(42)
    prices = [round(rng.uniform(0, 10_000), 2) for _ in range(n)]
    buckets = [rng.randrange(100) for _ in range(n)]

    t0 = time.perf_counter()
    objs = [Item(price=p, bucket=b, rowid=i) for i, (p, b) in enumerate(zip(prices, buckets))]
    idx = Index()
    idx.add_object_many(objs)
    view = idx.reduced(bucket=7)
    view_objs = view.collect()
    print(f"{n:,} objects, view of {len(view_objs):,} (built in {time.perf_counter() - t0:.1f} s)")

    db = sqlite3.connect(":memory:")
    db.execute("CREATE TABLE items (rowid_ INTEGER PRIMARY KEY, price REAL, bucket INTEGER)")
    db.executemany("INSERT INTO items VALUES (?, ?, ?)", zip(range(n), prices, buckets))
    db.execute("CREATE INDEX items_price ON items (price)")
    db.execute("CREATE INDEX items_bucket ON items (bucket)")
    db.execute("ANALYZE")
    top_sql = "SELECT rowid_ FROM items ORDER BY price DESC, rowid_ LIMIT 10"
    view_sql = "SELECT rowid_ FROM items WHERE bucket = 7 ORDER BY price DESC, rowid_ LIMIT 10"

    key = attrgetter("price")
    cases = [
        ("whole index", lambda: idx.ordered_by("price", descending=True, limit=10),
         lambda: heapq.nlargest(10, objs, key=key), lambda: db.execute(top_sql).fetchall()),
        ("1 % view", lambda: view.ordered_by("price", descending=True, limit=10),
         lambda: heapq.nlargest(10, view_objs, key=key), lambda: db.execute(view_sql).fetchall()),
    ]
    for label, ours, heap, sql in cases:
        # The three must agree (ties would break differently; random
        # two-decimal prices among a million do tie, so compare prices).
        want = [p for p in sorted((o.price for o in heap()), reverse=True)]
        assert [o.price for o in ours()] == want, label
        assert [prices[r] for (r,) in sql()] == want, label
        a, b, c = best_per_call(ours), best_per_call(heap), best_per_call(sql)
        print(f"top 10 by price, {label}:")
        show("Corvane ordered_by", a)
        show("heapq.nlargest", b)
        show("sqlite3 ORDER BY ... LIMIT 10", c)
        print(f"  ratios: {b / a:,.0f}x faster than heapq, {c / a:,.1f}x faster than sqlite3")


if __name__ == "__main__":
    main()
