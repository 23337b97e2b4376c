"""The hot paths of one index against the index one writes by hand.

    python bench/hot_paths.py [N] [--memory-only | --time-only]

The peer is `__slots__` objects kept current by a dict of sets (per
attribute, a dict from value to the set of objects holding it, updated on
assignment).  Both sides hold N objects with six attributes: two strs of few
values (`s`, 10 values; `t`, 3 values), a small int (`cat`, 1,000 values), a
unique int (`n`), a float (`f`) and one shared nested object (`sup`).

Printed, each as Corvane / peer / ratio:
- bytes per object (objects, index, total), glibc `mallinfo2` plus CPython's
  own allocator, each side built in a fresh interpreter;
- one assignment of an indexed attribute, per attribute kind (µs);
- one attribute read of random objects (ns);
- `get_by_attribute` of a value held by about 1,000 objects against
  `list(set)` of the peer (µs).
Times are medians of samples taken in turns (see measure.py); compare the
ratios across runs, not the absolute figures.
"""

from __future__ import annotations

import gc
import json
import random
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

ATTRS = ("s", "t", "cat", "n", "f", "sup")


def columns(n: int, seed: int = 7):
    rnd = random.Random(seed)
    s = [f"s{rnd.randrange(10)}" for _ in range(n)]
    t = [("red", "green", "blue")[rnd.randrange(3)] for _ in range(n)]
    cat = [rnd.randrange(1000) for _ in range(n)]
    num = list(range(n))
    rnd.shuffle(num)
    f = [rnd.random() * 1000.0 for _ in range(n)]
    return s, t, cat, num, f


def corvane_objects(cv, cols):
    class Sup(cv.Indexable):
        pass

    class Item(cv.Indexable):
        pass

    sup = Sup(country="NL")
    s, t, cat, num, f = cols
    return [Item(s=a, t=b, cat=c, n=d, f=e, sup=sup) for a, b, c, d, e in zip(s, t, cat, num, f)]


class Slot:
    __slots__ = ATTRS


class SlotSup:
    __slots__ = ("country",)


def slot_objects(cols):
    sup = SlotSup()
    sup.country = "NL"
    out = []
    s, t, cat, num, f = cols
    for a, b, c, d, e in zip(s, t, cat, num, f):
        o = Slot()
        o.s, o.t, o.cat, o.n, o.f, o.sup = a, b, c, d, e, sup
        out.append(o)
    return out


class DictOfSets:
    def __init__(self, objs):
        self.objs = objs
        self.maps = {a: {} for a in ATTRS}
        for attr, m in self.maps.items():
            for o in objs:
                v = getattr(o, attr)
                st = m.get(v)
                if st is None:
                    m[v] = {o}
                else:
                    st.add(o)

    def set_attr(self, o, attr, value):
        m = self.maps[attr]
        m[getattr(o, attr)].discard(o)
        setattr(o, attr, value)
        st = m.get(value)
        if st is None:
            m[value] = {o}
        else:
            st.add(o)


def reading():
    from measure import malloc_in_use

    gc.collect()
    # CPython's small objects live in its own arenas, which mallinfo2 does
    # not see: they are counted from the allocator's own statistics.
    return (malloc_in_use() or 0) + pymalloc_in_use()


def pymalloc_in_use() -> int:
    if not hasattr(sys, "_debugmallocstats"):
        return 0
    import os
    import tempfile

    fd = os.dup(2)
    with tempfile.TemporaryFile("w+") as tmp:
        os.dup2(tmp.fileno(), 2)
        try:
            sys._debugmallocstats()
        finally:
            os.dup2(fd, 2)
            os.close(fd)
        tmp.seek(0)
        for line in tmp:
            if line.startswith("# bytes in allocated blocks"):
                return int(line.split("=")[1].replace(",", "").strip())
    return 0


def memory_child(side: str, n: int) -> dict:
    cols = columns(n)
    r0 = reading()
    if side == "corvane":
        import Corvane as cv

        objs = corvane_objects(cv, cols)
        r1 = reading()
        index = cv.Index()
        index.add_object_many(objs)
    else:
        objs = slot_objects(cols)
        r1 = reading()
        index = DictOfSets(objs)
    r2 = reading()
    return {"objects": (r1 - r0) / n, "index": (r2 - r1) / n}


def memory(n: int):
    out = {}
    for side in ("corvane", "peer"):
        res = subprocess.run([sys.executable, __file__, "--memory-child", side, str(n)],
                             check=True, capture_output=True, text=True)
        out[side] = json.loads(res.stdout.strip().splitlines()[-1])
    print(f"bytes per object at {n:,} objects (objects / index / total)")
    for side, r in out.items():
        print(f"  {side:8s} {r['objects']:7.0f} {r['index']:7.0f} {r['objects'] + r['index']:7.0f}")
    c, p = out["corvane"], out["peer"]
    print(f"  ratio    {c['objects'] / p['objects']:7.2f} {c['index'] / p['index']:7.2f} "
          f"{(c['objects'] + c['index']) / (p['objects'] + p['index']):7.2f}")


def timing(n: int):
    import Corvane as cv
    from measure import round_robin

    cols = columns(n)
    cobjs = corvane_objects(cv, cols)
    index = cv.Index()
    index.add_object_many(cobjs)
    pobjs = slot_objects(cols)
    dos = DictOfSets(pobjs)
    rnd = random.Random(11)
    picks = [rnd.randrange(n) for _ in range(4096)]
    new_values = {
        "s": [f"s{rnd.randrange(10)}" for _ in range(4096)],
        "cat": [rnd.randrange(1000) for _ in range(4096)],
        "n": [n + k for k in range(4096)],
        "f": [rnd.random() * 1000.0 for _ in range(4096)],
    }
    fns = {}

    def assigner(objs, attr, vals, setter):
        state = [0]

        def step():
            k = state[0] = (state[0] + 1) & 4095
            setter(objs[picks[k]], attr, vals[k])
        return step

    for attr, vals in new_values.items():
        fns[("assign", attr, "corvane")] = assigner(cobjs, attr, vals, setattr)
        fns[("assign", attr, "peer")] = assigner(pobjs, attr, vals, dos.set_attr)
    # Unique ints keep their uniqueness: assign each object its own value back
    # afterwards is not needed for timing, the values stay distinct per pick.

    def reader(objs, attr):
        sel = [objs[p] for p in picks]

        def step():
            for o in sel:
                getattr(o, attr)
        return step

    for attr in ("s", "f", "sup"):
        fns[("read", attr, "corvane")] = reader(cobjs, attr)
        fns[("read", attr, "peer")] = reader(pobjs, attr)
    value = cols[2][0]
    fns[("get", "cat", "corvane")] = lambda: index.get_by_attribute(cat=value)
    m = dos.maps["cat"]
    fns[("get", "cat", "peer")] = lambda: list(m[value])
    res = round_robin(fns, reps=7, budget=3.0)
    print(f"times at {n:,} objects (corvane / peer / ratio)")
    for kind, attr, side in fns:
        if side != "corvane":
            continue
        c, p = res.get((kind, attr, "corvane")), res.get((kind, attr, "peer"))
        if c is None or p is None:
            print(f"  {kind} {attr}: failed")
            continue
        if kind == "read":
            c, p, unit = c / len(picks) * 1e9, p / len(picks) * 1e9, "ns"
        else:
            c, p, unit = c * 1e6, p * 1e6, "µs"
        print(f"  {kind:6s} {attr:4s} {c:9.3f} {p:9.3f} {unit}  x{c / p:5.2f}")


if __name__ == "__main__":
    args = sys.argv[1:]
    if args and args[0] == "--memory-child":
        print(json.dumps(memory_child(args[1], int(args[2]))))
        sys.exit(0)
    n = int(next((a for a in args if a.isdigit()), 1_000_000))
    if "--time-only" not in args:
        memory(n)
    if "--memory-only" not in args:
        timing(n)
