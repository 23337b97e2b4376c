"""Memory of an index holding few objects after many ids were issued, and
the cost of turning ids into objects.

    python bench/store_memory.py                 figures of the Corvane on sys.path
    python bench/store_memory.py --baseline DIR  the same, then with the build in
                                                 DIR first on sys.path, and the ratios

Ids come from one process-wide counter, so an index holding one new object
after millions were created and dropped holds a large id.  Each scenario
runs in a fresh interpreter and reports what indexing costs, as the growth
of the resident set size and of glibc's bytes in use (`mallinfo2`):

- `one_after_2m`: 2,000,000 objects created and dropped, then an index
  holding one new object;
- `nested_after_3m`: 3,000,000 created and dropped, then an index holding one
  object with three nested values, and a `rebase` of a view of it;
- `lookup`: 1,000,000 objects, `get_by_attribute` returning about 1,000 of
  them (median time per call).
"""

from __future__ import annotations

import gc
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

SCENARIOS = ("one_after_2m", "nested_after_3m", "lookup")


def churn(n):
    from Corvane import Indexable

    for _ in range(n):
        Indexable()


def reading():
    from measure import malloc_in_use, rss_bytes

    gc.collect()
    return rss_bytes(), malloc_in_use() or 0


def growth(before, after):
    return {"rss_mib": round((after[0] - before[0]) / 2**20, 2),
            "malloc_mib": round((after[1] - before[1]) / 2**20, 2)}


def one_after_2m():
    from Corvane import Index, Indexable

    churn(2_000_000)
    o = Indexable(a=1)
    before = reading()
    idx = Index()
    idx.add_object(o)
    return {"index": growth(before, reading()), "held": len(idx.collect())}


def nested_after_3m():
    from Corvane import Index, Indexable

    churn(3_000_000)
    o = Indexable(a=Indexable(k=1), b=Indexable(k=2), c=Indexable(k=3), y=1)
    before = reading()
    idx = Index()
    idx.add_object(o)
    middle = reading()
    rebased = idx.reduced(y=1).rebase()
    return {"index": growth(before, middle), "rebase": growth(middle, reading()),
            "held": len(rebased.collect())}


def lookup():
    from Corvane import Index, Indexable
    from measure import round_robin

    objs = [Indexable(cat=i % 1000, n=i) for i in range(1_000_000)]
    idx = Index()
    idx.add_object_many(objs)
    assert len(idx.get_by_attribute(cat=7)) == 1000
    took = round_robin({"q": lambda: idx.get_by_attribute(cat=7)}, reps=15)["q"]
    return {"get_by_attribute_us": round(took * 1e6, 1)}


def run_child(name, path=None):
    env = dict(os.environ)
    if path is not None:
        env["PYTHONPATH"] = os.pathsep.join([str(path)] + [p for p in [env.get("PYTHONPATH")] if p])
    out = subprocess.run([sys.executable, __file__, "--child", name], check=True,
                         capture_output=True, text=True, env=env)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main(argv):
    if argv[:1] == ["--child"]:
        print(json.dumps(globals()[argv[1]]()))
        return
    baseline = argv[1] if argv[:1] == ["--baseline"] else None
    for name in SCENARIOS:
        # The machine may be shared: timings are taken in turns, best of three.
        runs = 3 if name == "lookup" and baseline is not None else 1
        now, base = [], []
        for _ in range(runs):
            now.append(run_child(name))
            if baseline is not None:
                base.append(run_child(name, baseline))
        if name == "lookup":
            now.sort(key=lambda r: r["get_by_attribute_us"])
            base.sort(key=lambda r: r["get_by_attribute_us"])
        print(name, "this build:", json.dumps(now[0]))
        if base:
            print(name, "baseline:  ", json.dumps(base[0]))
            if name == "lookup":
                print("lookup ratio (this / baseline): %.2f"
                      % (now[0]["get_by_attribute_us"] / base[0]["get_by_attribute_us"]))


if __name__ == "__main__":
    main(sys.argv[1:])
