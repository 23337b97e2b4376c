"""Threads assigning shared objects, in both contention modes.

    python bench/contention.py [--seconds S] [--threads 1,2,4]

N threads assign random attributes of the same 1,000 indexed objects for S
seconds each round.  In "raise" mode a refused assignment is counted and the
thread goes on (as a program with its own retry loop would); in "wait" mode
every assignment lands.  The rounds of both modes alternate, so load on a
shared machine hits them alike, and each figure is the median of the rounds.
The one-thread rows are the uncontended cost: the two modes should match.
"""

from __future__ import annotations

import argparse
import platform
import random
import statistics
import sys
import threading
import time

import Corvane
from Corvane import Index, Indexable


def one_round(mode: str, threads: int, seconds: float) -> tuple[float, float]:
    """(assignments landed per second, refusals per second) of one round."""
    Corvane.set_contention(mode)
    objs = [Indexable(k=i % 10, load=i % 1000, x=float(i)) for i in range(1000)]
    idx = Index()
    idx.add_object_many(objs)
    landed = [0] * threads
    refused = [0] * threads
    start = threading.Barrier(threads + 1)

    def work(t: int) -> None:
        rng = random.Random(t)
        picks = [rng.randrange(1000) for _ in range(4096)]
        start.wait()
        stop = time.perf_counter() + seconds
        n = r = i = 0
        while time.perf_counter() < stop:
            for _ in range(64):
                o = objs[picks[i & 4095]]
                i += 1
                try:
                    o.load = i % 1000
                    n += 1
                except RuntimeError:
                    r += 1
        landed[t], refused[t] = n, r

    pool = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    for p in pool:
        p.start()
    start.wait()
    for p in pool:
        p.join()
    Corvane.set_contention("raise")
    for o in objs:  # the index must agree with the objects
        assert o in idx.get_by_attribute(load=o.load)
    return sum(landed) / seconds, sum(refused) / seconds


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=1.0)
    ap.add_argument("--threads", default="1,2,4")
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    sys.setswitchinterval(0.0005)  # threads switch often, so conflicts happen
    impl = f"{platform.python_implementation()} {platform.python_version()}"
    print(f"{impl}: N threads assigning 1,000 shared indexed objects, "
          f"{args.rounds} rounds of {args.seconds:g} s, median")
    print(f"{'threads':>7}  {'raise: landed/s':>15}  {'refused/s':>10}  "
          f"{'wait: landed/s':>15}  {'refused/s':>10}  {'wait/raise':>10}")
    for n in (int(t) for t in args.threads.split(",")):
        rounds: dict[str, list[tuple[float, float]]] = {"raise": [], "wait": []}
        for _ in range(args.rounds):
            for mode in ("raise", "wait"):
                rounds[mode].append(one_round(mode, n, args.seconds))
        med = {m: (statistics.median(x[0] for x in v), statistics.median(x[1] for x in v))
               for m, v in rounds.items()}
        print(f"{n:>7}  {med['raise'][0]:>15,.0f}  {med['raise'][1]:>10,.0f}  "
              f"{med['wait'][0]:>15,.0f}  {med['wait'][1]:>10,.0f}  "
              f"{med['wait'][0] / med['raise'][0]:>9.2f}x")


if __name__ == "__main__":
    main()
