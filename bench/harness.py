"""What the benchmark sections share: the list of peers and how to make
each, the objects a peer indexes, answers checked against the data set, and
timed sections that record which peer failed.

Imports run one way: run.py, lean.py and memory.py use this module, which
uses peers.py, workloads.py and measure.py; none of those imports a section.
"""

from __future__ import annotations

import gc
import sys

import workloads as W
from measure import round_robin

# Every peer of the comparison, in the order the tables and plots show them.
PEERS = [
    "corvane",
    "list comprehension",
    "dict of sets",
    "sqlite3",
    "ducks Dex",
    "ducks FrozenDex",
    "polars",
    "pyroaring+sortedcontainers",
]

# Peers of the lean memory figures (memory.py --data lean).
LEAN_MEMORY_PEERS = ["corvane", "dict of sets (setattr)", "sqlite3"]

# The order the comparison builds and measures them in: Corvane last, so the
# list comprehension (a plain list of the objects) is the first peer built and
# the reference every answer is checked against.
BUILD_ORDER = PEERS[1:] + PEERS[:1]


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def import_corvane():
    import Corvane

    return Corvane


def make_peer(name, cv=None, **kw):
    import peers as P

    if name == "corvane":
        return P.CorvanePeer(cv or import_corvane())
    if name == "corvane (expr)":
        return P.CorvanePeer(cv or import_corvane(), keyword_equality=False)
    if name == "list comprehension":
        return P.ListComp()
    if name == "dict of sets":
        return P.DictOfSets()
    if name == "dict of sets (setattr)":
        return P.DictOfSetsSetattr()
    if name == "sqlite3":
        return P.SQLite(composite=kw.get("composite", ()), name="sqlite3")
    if name == "ducks Dex":
        return P.DucksPeer(frozen=False)
    if name == "ducks FrozenDex":
        return P.DucksPeer(frozen=True)
    if name == "polars":
        return P.PolarsPeer()
    if name == "pyroaring+sortedcontainers":
        return P.RoaringSorted()
    raise KeyError(name)


def peer_objects(data, peer, cv):
    """A fresh copy of the data set's objects for one peer, and its suppliers."""
    if peer.uses_items:
        return data.items(cv)
    recs = data.recs()
    sups = []
    if recs and hasattr(recs[0], "sup"):
        seen = {}
        for r in recs:
            seen[r.sup.k] = r.sup
        sups = [seen[k] for k in sorted(seen)]
    return recs, sups


def expected_keys(query, objs, key):
    return sorted(key(o) for o in objs if W.evaluate(query, o))


def check(peer_name, label, got, want, key):
    keys = sorted(map(key, got))
    if keys != want:
        raise AssertionError(
            f"{peer_name} answered {label!r} with {len(keys)} objects, expected {len(want)}"
        )


def describe(e: BaseException) -> str:
    return f"{type(e).__name__}: {e}"


def checked(peers, label, query, want, failures, skip=()):
    """Prepared query functions of the peers that answer `query` correctly.

    `want` is the expected list of keys, or a function of the peer giving it.
    A peer that fails or answers wrongly is left out and reported in
    `failures[label]`."""
    fns = {}
    for p in peers:
        if p in skip:
            continue
        try:
            fn = p.prepare(query)
            check(p.name, label, fn(), want(p) if callable(want) else want, p.key)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as e:  # a Corvane internal failure is a BaseException
            failures.setdefault(label, {})[p.name] = describe(e)
            log(f"FAILED {p.name} on {label}: {describe(e)}")
            continue
        fns[p.name] = fn
    return fns


def timed_section(fns, reps, failures, label, **kw):
    errs = {}
    times = round_robin(fns, reps, failures=errs, **kw)
    for name, msg in errs.items():
        failures.setdefault(label, {})[name] = msg
        log(f"FAILED {name} on {label}: {msg}")
    return times


def collect_garbage():
    gc.collect()
    gc.collect()
