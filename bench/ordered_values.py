"""Range queries and top N over datetimes and Decimals: Corvane against a scan, heapq and sqlite3.

    python bench/ordered_values.py [objects]      (default 200,000)

Builds `objects` Indexable objects with a naive `datetime` `at` (random
seconds within 2024) and a `Decimal` `amount` with two places (0.00 to
9999.99), puts them in one Index, and times
  - a range of about 1 % of the objects by `at` (`Q.bt`), against a list
    comprehension and sqlite3 in memory with the datetime stored as ISO text
    and indexed;
  - the ten latest by `at` (`ordered_by(..., descending=True, limit=10)`),
    against `heapq.nlargest` and sqlite3 `ORDER BY at DESC LIMIT 10`;
  - the amounts above 9,900.00 (`Q.gt`, about 1 %), against a list
    comprehension and sqlite3 with the amount stored as integer cents and
    indexed;
  - assigning ready values (where datetimes and Decimals get their range
    keys) and `add_object_many` of the objects, against the same with ints.
Each figure is the best per-call time of several rounds; the answers are
checked to agree and the ratios printed.  Not a test.
"""

import datetime
import heapq
import random
import sqlite3
import sys
import time
from decimal import Decimal
from operator import attrgetter

from measure import best_per_call

from Corvane import Index, Indexable, PyQueryExpr as Q


class Row(Indexable):
    pass


def once(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def report(title, figures):
    print(title)
    base = figures[0][1]
    for label, seconds in figures:
        print(f"  {label:<30} {seconds * 1e6:12.1f} us   x{seconds / base:8.2f}")


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    rng = random.Random(7)
    start = datetime.datetime(2024, 1, 1)
    ats = [start + datetime.timedelta(seconds=rng.randrange(366 * 86400)) for _ in range(n)]
    cents = [rng.randrange(1_000_000) for _ in range(n)]

    rows = [Row(at=a, amount=Decimal(c).scaleb(-2)) for a, c in zip(ats, cents)]
    plain = [Row(at=int((a - start).total_seconds()), amount=c) for a, c in zip(ats, cents)]
    # Assigning a ready value wraps it; a datetime or Decimal also gets its
    # range key then.
    ints, amounts = [r.amount for r in plain], [r.amount for r in rows]
    spare = Row()

    def assign(values):
        for v in values:
            spare.v = v

    report("assign one value (per value)", [("int", once(lambda: assign(ints)) / n),
                                            ("datetime", once(lambda: assign(ats)) / n),
                                            ("Decimal", once(lambda: assign(amounts)) / n)])

    build = lambda objs: Index().add_object_many(objs)
    report("add_object_many (whole batch)", [("int attributes", once(lambda: build(plain))),
                                             ("datetime and Decimal", once(lambda: build(rows)))])
    idx = Index()
    idx.add_object_many(rows)

    db = sqlite3.connect(":memory:")
    db.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, at TEXT, cents INTEGER)")
    db.executemany("INSERT INTO t VALUES (?, ?, ?)", ((i, a.isoformat(" "), c) for i, (a, c) in
                                                      enumerate(zip(ats, cents))))
    db.execute("CREATE INDEX t_at ON t (at)")
    db.execute("CREATE INDEX t_cents ON t (cents)")

    lo, hi = datetime.datetime(2024, 6, 1), datetime.datetime(2024, 6, 4, 15)
    got = idx.reduced_query(Q.bt("at", lo, hi)).collect()
    want = [r for r in rows if lo <= r.at <= hi]
    sql = "SELECT id FROM t WHERE at BETWEEN ? AND ?"
    assert got == want and len(db.execute(sql, (str(lo), str(hi))).fetchall()) == len(want)
    report(f"datetime range, {len(want)} hits", [
        ("Corvane bt(...).collect()", best_per_call(lambda: idx.reduced_query(Q.bt("at", lo, hi)).collect())),
        ("list comprehension", best_per_call(lambda: [r for r in rows if lo <= r.at <= hi])),
        ("sqlite3, indexed ISO text", best_per_call(lambda: db.execute(sql, (str(lo), str(hi))).fetchall())),
    ])

    top = idx.ordered_by("at", descending=True, limit=10)
    assert [r.at for r in top] == [r.at for r in heapq.nlargest(10, rows, key=attrgetter("at"))]
    sql = "SELECT id FROM t ORDER BY at DESC LIMIT 10"
    report("ten latest datetimes", [
        ("Corvane ordered_by", best_per_call(lambda: idx.ordered_by("at", descending=True, limit=10))),
        ("heapq.nlargest", best_per_call(lambda: heapq.nlargest(10, rows, key=attrgetter("at")))),
        ("sqlite3 ORDER BY LIMIT", best_per_call(lambda: db.execute(sql).fetchall())),
    ])

    bound = Decimal("9900.00")
    got = idx.reduced_query(Q.gt("amount", bound)).collect()
    want = [r for r in rows if r.amount > bound]
    sql = "SELECT id FROM t WHERE cents > 990000"
    assert got == want and len(db.execute(sql).fetchall()) == len(want)
    report(f"Decimal range, {len(want)} hits", [
        ("Corvane gt(...).collect()", best_per_call(lambda: idx.reduced_query(Q.gt("amount", bound)).collect())),
        ("list comprehension", best_per_call(lambda: [r for r in rows if r.amount > bound])),
        ("sqlite3, indexed int cents", best_per_call(lambda: db.execute(sql).fetchall())),
    ])


if __name__ == "__main__":
    main()
