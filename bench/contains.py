"""Objects by one of their tags: `PyQueryExpr.contains` against a dict of sets.

    python bench/contains.py [objects]      (default 1,000,000)

Builds `objects` Indexable objects whose `tags` is a tuple of three distinct
tags out of 1,000 (so a tag is held by about 0.3 % of the objects) and whose
`shelf` is one of 10 ints, puts them in one Index, and times, taking samples
in turns (`measure.round_robin`), with a new random tag on every call:
  - `idx.reduced_query(Q.contains("tags", t)).collect()` against
    `list(by_tag[t])`, the dict of sets from tag to objects one writes by hand;
  - the same tag among the objects of one shelf:
    `Q.contains("tags", t) & Q.eq("shelf", s)` against the intersection of
    two sets of such dicts.
The script checks that both sides select the same objects, and prints the
medians, the build times and the ratios (above 1: Corvane is faster).  Not a
test.
"""

import itertools
import random
import sys
import time
from collections import defaultdict

from measure import round_robin

from Corvane import Index, Indexable, PyQueryExpr as Q

TAGS = 1_000
SHELVES = 10


class Item(Indexable):
    pass


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    rng = random.Random(7)
    names = ["tag%d" % i for i in range(TAGS)]
    tags = [tuple(rng.sample(names, 3)) for _ in range(n)]
    shelves = [rng.randrange(SHELVES) for _ in range(n)]
    objs = [Item(tags=t, shelf=s) for t, s in zip(tags, shelves)]

    t0 = time.perf_counter()
    idx = Index()
    idx.add_object_many(objs)
    t_index = time.perf_counter() - t0
    t0 = time.perf_counter()
    by_tag, by_shelf = defaultdict(set), defaultdict(set)
    for o in objs:
        for t in o.tags:
            by_tag[t].add(o)
        by_shelf[o.shelf].add(o)
    t_sets = time.perf_counter() - t0
    print(f"{n:,} objects: add_object_many {t_index:.2f} s, dict of sets {t_sets:.2f} s")

    # A fresh random tag (and shelf) on every call, the same sequence for both.
    picks = [(rng.choice(names), rng.randrange(SHELVES)) for _ in range(4096)]
    for tag, shelf in picks[:20]:
        assert set(map(id, idx.reduced_query(Q.contains("tags", tag)).collect())) == set(
            map(id, by_tag[tag]))
        both = idx.reduced_query(Q.contains("tags", tag) & Q.eq("shelf", shelf)).collect()
        assert set(map(id, both)) == set(map(id, by_tag[tag] & by_shelf[shelf]))

    def cycled(fn):
        it = itertools.cycle(picks)
        return lambda: fn(*next(it))

    cases = {
        "one tag": {
            "corvane": cycled(lambda t, s: idx.reduced_query(Q.contains("tags", t)).collect()),
            "dict of sets": cycled(lambda t, s: list(by_tag.get(t, ()))),
        },
        "one tag on one shelf": {
            "corvane": cycled(
                lambda t, s: idx.reduced_query(Q.contains("tags", t) & Q.eq("shelf", s)).collect()),
            "dict of sets": cycled(lambda t, s: list(by_tag.get(t, set()) & by_shelf[s])),
        },
    }
    hits = sum(len(by_tag[t]) for t, _ in picks) / len(picks)
    print(f"about {hits:,.0f} objects per tag")
    for label, fns in cases.items():
        medians = round_robin(fns, reps=15)
        ours, theirs = medians["corvane"], medians["dict of sets"]
        print(f"{label}:")
        print(f"  {'Corvane contains':<28} {ours * 1e6:10.1f} us")
        print(f"  {'dict of sets':<28} {theirs * 1e6:10.1f} us")
        print(f"  ratio: {theirs / ours:.2f}x (dict of sets / Corvane)")


if __name__ == "__main__":
    main()
