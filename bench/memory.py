"""Memory per object of each peer, measured in a fresh interpreter.

    python bench/memory.py PEER N [DATA]   prints one JSON record

DATA is `compare` (the comparison data set, default) or `lean` (six
attributes: two strings of few values, an int of 1,000 values, a unique int,
a float and a shared nested object).

The child imports the peer's libraries and generates the data set's columns
first, so neither counts.  It then takes three readings: before the objects
exist, after the objects are created, after the peer has indexed them.  Each
reading is the resident set size and glibc's `mallinfo2` bytes in use.

What each figure sees:
- RSS sees everything, but also memory freed and kept by an allocator.
- mallinfo2 sees glibc malloc only: native structures (Corvane's C++ maps,
  CRoaring bitmaps, SQLite pages) and large CPython blocks (list and dict
  buffers), not CPython's small-object arenas (mmapped directly) nor
  allocators of their own such as the one in Polars.
"""

from __future__ import annotations

import gc
import json
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def measure_in_subprocess(peer: str, n: int, data: str = "compare") -> dict:
    out = subprocess.run(
        [sys.executable, str(HERE / "memory.py"), peer, str(n), data],
        check=True, capture_output=True, text=True,
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


def _reading():
    from measure import malloc_in_use, rss_bytes

    gc.collect()
    return rss_bytes(), malloc_in_use()


def _per(r0, r1, n):
    return [None if a is None or b is None else (b - a) / n for a, b in zip(r0, r1)]


def main_lean(peer_name: str, n: int) -> dict:
    """The lean data set: objects are made row by row from values generated
    on the fly, so each object is charged with the values it keeps (a float,
    a unique int, an int above 256 are objects of their own for `__slots__`
    objects).  Only the 1,000 shared nested objects exist before the first
    reading.  The peers' plain objects carry no position attribute."""
    import harness as H
    import workloads as W

    cv = H.import_corvane()
    names = list(W.LEAN_ATTRS)

    def make(kind, count):
        peer = H.make_peer(kind, cv)
        if peer.uses_items:
            class Item(cv.Indexable):
                pass

            class Supplier(cv.Indexable):
                pass

            sups = [Supplier(country=c) for c in W.COUNTRIES * (W.N_SUPPLIERS // W.N_COUNTRIES)]
            build = lambda row: Item(**dict(zip(names, row[:-1]), sup=sups[row[-1]]))  # noqa: E731
        else:
            sups = [W.Sup(i, W.COUNTRIES[i % W.N_COUNTRIES]) for i in range(W.N_SUPPLIERS)]
            cls = W.rec_class(names, getattr(peer, "base", object), key=False)
            store = object.__setattr__

            def build(row):
                o = cls()
                for name, v in zip(names, row[:-1]):
                    store(o, name, v)
                store(o, "sup", sups[row[-1]])
                return o
        return peer, sups, build

    # Warm up on a small data set (lazily created parts of each library).
    warm, sups, build = make(peer_name, 50)
    warm.build([build(r) for r in W.lean_rows(50)], sups)
    del warm, sups, build

    peer, sups, build = make(peer_name, n)
    r0 = _reading()
    objs = [build(r) for r in W.lean_rows(n)]
    r1 = _reading()
    from measure import peak_rss_bytes, reset_peak_rss

    reset_peak_rss()
    peer.build(objs, sups)
    # The peak while the index was built (before the collection of
    # `_reading`, which frees nothing of the index).
    peak = peak_rss_bytes()
    r2 = _reading()
    objects_rss, objects_malloc = _per(r0, r1, n)
    index_rss, index_malloc = _per(r1, r2, n)
    return {"peer": peer_name, "n": n, "data": "lean",
            "objects_rss": objects_rss, "index_rss": index_rss,
            "objects_malloc": objects_malloc, "index_malloc": index_malloc,
            # The whole process: its peak during the build and after it.
            "build_peak_rss": peak, "final_rss": r2[0]}


def main(peer_name: str, n: int) -> dict:
    import harness as H
    import workloads as W

    cv = H.import_corvane()
    peer = H.make_peer(peer_name, cv, composite=[("s", "n")])
    data = W.compare_data(n)
    # Warm up the peer's code paths on a tiny data set, so the lazily created
    # parts of each library (caches, compiled expressions) are not counted.
    small = W.compare_data(50)
    warm = H.make_peer(peer_name, cv, composite=[("s", "n")])
    objs, sups = H.peer_objects(small, warm, cv)
    warm.build(objs, sups)
    for _, q in W.compare_queries(50):
        warm.prepare(q)()
    del warm, objs, sups

    r0 = _reading()
    objs, sups = H.peer_objects(data, peer, cv)
    r1 = _reading()
    peer.build(objs, sups)
    r2 = _reading()

    def per(a, b):
        return None if a is None or b is None else (b - a) / n

    return {
        "peer": peer_name,
        "n": n,
        "objects_rss": per(r0[0], r1[0]),
        "index_rss": per(r1[0], r2[0]),
        "objects_malloc": per(r0[1], r1[1]),
        "index_malloc": per(r1[1], r2[1]),
    }


if __name__ == "__main__":
    data = sys.argv[3] if len(sys.argv) > 3 else "compare"
    fn = main_lean if data == "lean" else main
    print(json.dumps(fn(sys.argv[1], int(sys.argv[2]))))
