"""Memory per object of each peer, measured in a fresh interpreter.

    python bench/memory.py PEER N      prints one JSON record

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


def measure_in_subprocess(peer: str, n: int) -> dict:
    out = subprocess.run(
        [sys.executable, str(HERE / "memory.py"), peer, str(n)],
        check=True, capture_output=True, text=True,
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


def _reading():
    from measure import malloc_in_use, rss_bytes

    gc.collect()
    return rss_bytes(), malloc_in_use()


def main(peer_name: str, n: int) -> dict:
    import run
    import workloads as W

    cv = run.import_corvane()
    peer = run.make_peer(peer_name, cv, composite=[("s", "n")])
    data = W.compare_data(n)
    # Warm up the peer's code paths on a tiny data set, so the lazily created
    # parts of each library (caches, compiled expressions) are not counted.
    small = W.compare_data(50)
    warm = run.make_peer(peer_name, cv, composite=[("s", "n")])
    objs, sups = run.peer_objects(small, warm, cv)
    warm.build(objs, sups)
    for _, q in W.compare_queries(50):
        warm.prepare(q)()
    del warm, objs, sups

    r0 = _reading()
    objs, sups = run.peer_objects(data, peer, cv)
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
    print(json.dumps(main(sys.argv[1], int(sys.argv[2]))))
