"""Memory an index gives back when its objects are removed.

    python bench/remove_memory.py [N]      (N objects, default 1,000,000)

Prints, for each stage, the resident set size (/proc/self/statm), its peak
so far (`resource`), and glibc's bytes in use (`mallinfo2`), measured after
`malloc_trim(0)` so that the resident figure shows freed memory too:

- `empty`: the objects made (kept alive in a list) and an empty index;
- `added`: after `add_object_many` of all of them;
- `removed`: after `remove_object_many` of all of them, objects still alive;
- `dropped`: after the objects are dropped as well;
- `index dropped`: after the index itself is dropped.

Each object has four attributes: a str of four values, a small int, a
unique int and a float.
"""

from __future__ import annotations

import ctypes
import gc
import os
import resource
import sys
import time


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


LIBC = ctypes.CDLL("libc.so.6")
LIBC.mallinfo2.restype = MallInfo2
PAGE = os.sysconf("SC_PAGE_SIZE")


def figures():
    gc.collect()
    LIBC.malloc_trim(0)
    with open("/proc/self/statm") as f:
        rss = int(f.read().split()[1]) * PAGE
    info = LIBC.mallinfo2()
    in_use = info.uordblks + info.hblkhd
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    return rss, peak, in_use


def mb(n):
    return "%9.1f MB" % (n / 1e6)


def main():
    from Corvane import Index, Indexable

    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    tags = ["red", "green", "blue", "grey"]
    start = figures()
    objs = [Indexable(s=tags[i % 4], k=i % 10, u=i, f=i * 0.25) for i in range(n)]
    idx = Index()
    rows = [("empty", figures())]
    t = time.perf_counter()
    idx.add_object_many(objs)
    added_s = time.perf_counter() - t
    rows.append(("added", figures()))
    t = time.perf_counter()
    idx.remove_object_many(objs)
    removed_s = time.perf_counter() - t
    assert len(idx) == 0 and idx.get_by_attribute(s=tags) == []
    rows.append(("removed", figures()))
    del objs
    rows.append(("dropped", figures()))
    del idx
    rows.append(("index dropped", figures()))

    print("%d objects; add_object_many %.2f s, remove_object_many %.2f s" % (n, added_s, removed_s))
    print("%-14s %12s %12s %12s   (growth over the start: rss, malloc)" % (
        "stage", "rss", "peak rss", "malloc"))
    for label, (rss, peak, in_use) in rows:
        print("%-14s %s %s %s   %s %s" % (label, mb(rss), mb(peak), mb(in_use),
                                          mb(rss - start[0]), mb(in_use - start[2])))


if __name__ == "__main__":
    main()
