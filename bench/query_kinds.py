"""Query kinds a user reaches for, each against the peer they would otherwise use.

    python bench/query_kinds.py [objects]      (default 1,000,000)

Entities with an `alive` flag (90 % True), float positions `x` and `y` in
[0, 1000), a latency in milliseconds and an owner (an Indexable of 1,000
with a `country` among 20), in one Index; an sqlite3 table in memory holds
the same rows, indexed on every column queried.  Rows:

  - `and_(eq("alive", True), bt("x", ...), bt("y", ...))` in its three
    operand orders: `and_` plans its operands, so the orders should cost
    the same (the spread is the slowest order over the fastest);
  - `value_counts("owner.country")` against `collections.Counter` over the
    objects;
  - `ordered_by("latency_ms", descending=True, offset=k, limit=1)`, the
    k-th slowest, against sqlite3 `ORDER BY latency_ms DESC LIMIT 1 OFFSET k`
    and `heapq.nlargest(k + 1, ...)`.

Each figure is the best per-call time of several timing rounds; the script
checks that the answers agree and prints the ratios.  Not a test.
"""

import heapq
import random
import sqlite3
import sys
import time
from collections import Counter
from operator import attrgetter

from measure import best_per_call

from Corvane import Index, Indexable
from Corvane import PyQueryExpr as Q


class Entity(Indexable):
    pass


class Owner(Indexable):
    pass


def show(label, seconds):
    print(f"  {label:<52} {seconds * 1e6:12.1f} us")


def and_orders(idx):
    alive = Q.eq("alive", True)
    x = Q.bt("x", 100.0, 110.0)
    y = Q.bt("y", 200.0, 230.0)
    orders = {
        "eq, x, y (equality first)": Q.and_(alive, x, y),
        "x, y, eq (narrow range first)": Q.and_(x, y, alive),
        "y, eq, x": Q.and_(y, alive, x),
    }
    answers = {len(idx.reduced_query(q)) for q in orders.values()}
    assert len(answers) == 1, answers
    print(f"and_ of an equality and two ranges, {answers.pop():,} hits, three operand orders:")
    times = {}
    for label, q in orders.items():
        times[label] = best_per_call(lambda q=q: idx.reduced_query(q))
        show(label, times[label])
    print(f"  spread: slowest order / fastest = {max(times.values()) / min(times.values()):.2f}x")


def dotted_counts(idx, objs):
    def counter():
        return Counter(o.owner.country for o in objs)

    assert idx.value_counts("owner.country") == dict(counter())
    a = best_per_call(lambda: idx.value_counts("owner.country"))
    b = best_per_call(counter, rounds=3)
    print("value_counts of a dotted path (owner.country):")
    show("Corvane value_counts", a)
    show("collections.Counter over the objects", b)
    print(f"  ratio: {b / a:,.1f}x faster than Counter")


def percentile(idx, objs, db, lat):
    k = len(objs) // 100  # the 99th percentile of latency
    sql = "SELECT rowid_ FROM events ORDER BY latency_ms DESC, rowid_ LIMIT 1 OFFSET ?"

    def ours():
        return idx.ordered_by("latency_ms", descending=True, offset=k, limit=1)

    def heap():
        return heapq.nlargest(k + 1, objs, key=lat)[-1:]

    want = sorted((o.latency_ms for o in objs), reverse=True)[k]
    assert [o.latency_ms for o in ours()] == [want]
    assert [o.latency_ms for o in heap()] == [want]
    assert [objs[r].latency_ms for (r,) in db.execute(sql, (k,))] == [want]
    a = best_per_call(ours)
    b = best_per_call(lambda: db.execute(sql, (k,)).fetchall())
    c = best_per_call(heap, rounds=3)
    print(f"the {k:,}-th slowest latency (offset {k:,}, limit 1):")
    show("Corvane ordered_by(..., offset=k, limit=1)", a)
    show("sqlite3 ORDER BY ... LIMIT 1 OFFSET k", b)
    show("heapq.nlargest(k + 1)", c)
    print(f"  ratios: {b / a:,.1f}x faster than sqlite3, {c / a:,.1f}x faster than heapq")


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    rng = random.Random(42)
    t0 = time.perf_counter()
    owners = [Owner(country=f"c{rng.randrange(20)}") for _ in range(1_000)]
    objs = [
        Entity(alive=rng.random() < 0.9, x=rng.uniform(0, 1000), y=rng.uniform(0, 1000),
               latency_ms=round(rng.expovariate(1 / 40), 3), owner=owners[rng.randrange(1_000)])
        for _ in range(n)
    ]
    idx = Index()
    idx.add_object_many(objs)

    db = sqlite3.connect(":memory:")
    db.execute("CREATE TABLE events (rowid_ INTEGER PRIMARY KEY, latency_ms REAL)")
    db.executemany("INSERT INTO events VALUES (?, ?)",
                   ((i, o.latency_ms) for i, o in enumerate(objs)))
    db.execute("CREATE INDEX events_latency ON events (latency_ms)")
    db.execute("ANALYZE")
    print(f"{n:,} objects (built in {time.perf_counter() - t0:.1f} s)")

    and_orders(idx)
    dotted_counts(idx, objs)
    percentile(idx, objs, db, attrgetter("latency_ms"))


if __name__ == "__main__":
    main()
