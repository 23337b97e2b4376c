"""Calls returning objects: Corvane against a dict of sets, per call.

    python bench/results.py [objects]      (default 200,000)

Builds `objects` Indexable objects (a plain subclass) with `cat` (1,000
values, about objects/1,000 each), `grp` (about 25 objects each) and a
unique `u`, puts them in one Index, and keeps a dict of sets per attribute
by hand.  Times, each call with a new random value (so the objects are
scattered in memory, as in use):
  - `get_by_attribute` returning about 1, 25 and objects/1,000 objects,
    against `list(dict_of_sets[v])`;
  - `reduced(...).collect()` and `list(view)` of a fresh view of one cat;
  - reading one attribute of every object returned, against the same reads
    over the peer's list.
Samples are taken in turns across the rows, in CPU time (other processes
running do not count), and each row keeps its best.  Not a test: run it
under both interpreters, before and after a change, in the same session.
"""

import random
import sys
import time

from Corvane import Index, Indexable


class Item(Indexable):
    pass


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    rng = random.Random(7)
    objs = [Item(cat=rng.randrange(1000), grp=rng.randrange(max(1, n // 25)), u=i)
            for i in range(n)]
    idx = Index()
    idx.add_object_many(objs)
    peer = {name: {} for name in ("cat", "grp", "u")}
    for o in objs:
        for name, sets in peer.items():
            sets.setdefault(getattr(o, name), set()).add(o)
    cats, grps = list(peer["cat"]), list(peer["grp"])
    draws = {"cat": [rng.choice(cats) for _ in range(1000)],
             "grp": [rng.choice(grps) for _ in range(1000)],
             "u": [rng.randrange(n) for _ in range(1000)]}

    def reads(objects):
        return [o.u for o in objects]

    g = idx.get_by_attribute
    rows = {
        "get_by_attribute, ~1": (lambda v: g(u=v), lambda v: list(peer["u"][v]), "u"),
        "get_by_attribute, ~25": (lambda v: g(grp=v), lambda v: list(peer["grp"][v]), "grp"),
        f"get_by_attribute, ~{n // 1000}": (lambda v: g(cat=v), lambda v: list(peer["cat"][v]), "cat"),
        "reduced(cat=v).collect()": (lambda v: idx.reduced(cat=v).collect(),
                                     lambda v: list(peer["cat"][v]), "cat"),
        "list(reduced(cat=v))": (lambda v: list(idx.reduced(cat=v)),
                                 lambda v: list(peer["cat"][v]), "cat"),
        "get_by_attribute + reads": (lambda v: reads(g(cat=v)),
                                     lambda v: reads(list(peer["cat"][v])), "cat"),
    }
    def answer(label, result):
        return sorted(result) if label.endswith("reads") else sorted(map(id, result))

    for label, (ours, theirs, name) in rows.items():
        for v in draws[name][:50]:
            assert answer(label, ours(v)) == answer(label, theirs(v)), label

    def per_call(fn, values):
        start = time.process_time()
        for v in values:
            fn(v)
        return (time.process_time() - start) / len(values)

    best = {}
    for _ in range(7):
        for label, (ours, theirs, name) in rows.items():
            for side, fn in (("corvane", ours), ("dict of sets", theirs)):
                t = per_call(fn, draws[name])
                best[(label, side)] = min(best.get((label, side), t), t)
    impl = sys.implementation.name
    print(f"{n:,} objects, {impl} {sys.version.split()[0]}; best per call (CPU time)")
    print(f"  {'':<28} {'corvane':>10} {'dict of sets':>13} {'ratio':>7}")
    for label in rows:
        c, p = best[(label, "corvane")], best[(label, "dict of sets")]
        print(f"  {label:<28} {c * 1e6:8.2f}us {p * 1e6:11.2f}us {c / p:7.2f}")


if __name__ == "__main__":
    main()
