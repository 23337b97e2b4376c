"""Releasing one object at a time against releasing a batch.

    python bench/single_removal.py [objects...]   (default 10,000 100,000 1,000,000)

For each size N: N holders, each with a unique nested object (`n`, carrying
an int and a str of 97 values) and a name beginning with "_" that `rebase`
enters.  Three cases, each timed on ten samples of 20 holders:
  - `remove_object(h)` one at a time;
  - `h.n = Item(...)`, replacing a holder's unique nested object (the old one
    leaves the nested index);
  - `remove_object(h)` from a rebased index (its "_" pairs leave too);
each against removing 20 other holders of the same index with one
`remove_object_many` call (per object; for the reassignment, the batch
removal).  Each figure is the median of its ten samples, taken with the
collector off (on a loaded machine a sample now and then loses the
processor for a time slice).  Printed as microseconds per object and as the ratio
single / batch.  Releasing one object should cost what that object holds:
the ratio stays about flat as N grows tenfold.  Not a test.
"""

import gc
import statistics
import sys
import time

from Corvane import Index, Indexable
from Corvane import PyQueryExpr as Q


class Item(Indexable):
    pass


SAMPLES, K = 10, 20
CASES = ("remove_object", "reassign nested", "rebased remove_object")


def world(n, rebased):
    holders = [Item(k=i, _tag=i, n=Item(x=i, y="v%d" % (i % 97))) for i in range(n)]
    idx = Index()
    idx.add_object_many(holders)
    if rebased:
        idx = idx.reduced_query(Q.ge("k", 0)).rebase()
    return idx, holders


def per_object(f):
    t0 = time.perf_counter()
    f()
    return (time.perf_counter() - t0) / K * 1e6


def row(n):
    out = {}
    for case in CASES:
        idx, holders = world(n, case.startswith("rebased"))
        gc.collect()
        gc.disable()
        groups = [holders[len(holders) - (g + 1) * K :][:K] for g in range(2 * SAMPLES)]
        single = []
        for victims in groups[:SAMPLES]:
            if case == "reassign nested":
                fresh = [Item(x=-1, y="new") for _ in victims]
                single.append(
                    per_object(lambda: [setattr(h, "n", f) for h, f in zip(victims, fresh)])
                )
            else:
                single.append(per_object(lambda: [idx.remove_object(h) for h in victims]))
        batch = [per_object(lambda: idx.remove_object_many(victims)) for victims in groups[SAMPLES:]]
        gc.enable()
        del idx, holders, groups
        out[case] = (statistics.median(single), statistics.median(batch))
    return out


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [10_000, 100_000, 1_000_000]
    print("%-24s %10s %12s %12s %8s" % ("case", "objects", "single us", "batch us", "ratio"))
    for n in sizes:
        for case, (single, batch) in row(n).items():
            print("%-24s %10d %12.2f %12.2f %8.1f" % (case, n, single, batch, single / batch))


if __name__ == "__main__":
    main()
