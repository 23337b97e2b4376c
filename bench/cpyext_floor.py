"""The floor of the C API beside Corvane and the pure-Python peers, in one process.

    python bench/cpyext_floor.py [objects]      (default 200,000)

Builds bench/cpyext_floor.c with gcc for the running interpreter (under
build/cpyext_floor/), then times on the same scattered objects:
  - reading `o.cat` from Corvane objects, `__slots__` objects, and objects
    of a C type whose getattro returns a held object;
  - `get_by_attribute(cat=v)` (about objects/1,000 results) against
    `list(dict_of_sets[v])` and against C functions that hand out the same
    objects: a list filled through its item array, a list filled by
    `PyList_SET_ITEM`, only an INCREF and DECREF of each, a call alone;
  - the same with each result walked once;
  - `o.cat = v` on indexed Corvane objects, on `__slots__` objects keeping a
    dict of sets in `__setattr__`, and into a C field.
Run it under PyPy and CPython.  Each row keeps the best of several rounds.
Not a test.
"""
import random
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
OUT = HERE.parent / "build" / "cpyext_floor"


def built_module():
    OUT.mkdir(parents=True, exist_ok=True)
    target = OUT / ("cpyext_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    source = HERE / "cpyext_floor.c"
    if not target.exists() or target.stat().st_mtime < source.stat().st_mtime:
        subprocess.run(["gcc", "-O2", "-shared", "-fPIC", "-Wall", "-Wextra",
                        "-I" + sysconfig.get_paths()["include"], str(source), "-o", str(target)],
                       check=True)
    sys.path.insert(0, str(OUT))
    import cpyext_floor
    return cpyext_floor


cpyext_floor = built_module()
from Corvane import Index, Indexable  # noqa: E402


class Item(Indexable):
    pass

class Slot:
    __slots__ = ("cat", "u")

class Held(cpyext_floor.Holder):
    pass

class Hand:
    """A dict of sets kept by hand in __setattr__."""
    __slots__ = ("cat", "u")
    maps = {"cat": {}, "u": {}}
    def __setattr__(self, name, value):
        m = Hand.maps[name]
        try:
            old = object.__getattribute__(self, name)
            m[old].discard(self)
        except AttributeError:
            pass
        object.__setattr__(self, name, value)
        m.setdefault(value, set()).add(self)

n = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
rng = random.Random(7)
cats = [rng.randrange(1000) for _ in range(n)]
objs = [Item(cat=c, u=i) for i, c in enumerate(cats)]
idx = Index()
idx.add_object_many(objs)
slots, hands, holders = [], [], []
for i, c in enumerate(cats):
    s = Slot(); s.cat = c; s.u = i; slots.append(s)
    h = Hand(); h.cat = c; h.u = i; hands.append(h)
    o = Held(); o.f = c; holders.append(o)
peer = {}
for o in objs:
    peer.setdefault(o.cat, set()).add(o)
groups = [[] for _ in range(1000)]
for i, c in enumerate(cats):
    groups[c].append(i)
cpyext_floor.hold(objs, groups)
order = list(range(n)); rng.shuffle(order)
I = [objs[k] for k in order]; S = [slots[k] for k in order]
H = [hands[k] for k in order]; F = [holders[k] for k in order]
vals = [[rng.randrange(1000) for _ in range(n)] for _ in range(3)]
keys = [rng.randrange(1000) for _ in range(4096)]

def t_best(fn, per, reps=9):
    best = 1e9
    for _ in range(reps):
        t = time.perf_counter(); fn(); best = min(best, time.perf_counter() - t)
    return best / per

def reads(L, attr):
    ns = {}
    exec(f"def f(L):\n    for o in L: o.{attr}\n", ns)
    f = ns["f"]
    return lambda: f(L)

def assigns(L, attr):
    ns = {}
    exec(f"def f(L, V):\n    for o, v in zip(L, V): o.{attr} = v\n", ns)
    f = ns["f"]
    state = [0]
    def run():
        state[0] = (state[0] + 1) % 3
        f(L, vals[state[0]])
    return run

def lookups(fn):
    def run():
        for k in keys: fn(k)
    return run

rows = []
for _ in range(2):  # warm the JIT, then keep the second pass
    rows = []
    rows.append(("read o.cat, scattered", "ns", {
        "corvane": t_best(reads(I, "cat"), n) * 1e9,
        "__slots__": t_best(reads(S, "cat"), n) * 1e9,
        "floor: getattro returning a held object": t_best(reads(F, "f"), n) * 1e9}))
    rows.append(("get_by_attribute(cat=v), ~200 objects", "us", {
        "corvane": t_best(lookups(lambda k: idx.get_by_attribute(cat=k)), len(keys)) * 1e6,
        "list(dict_of_sets[v])": t_best(lookups(lambda k: list(peer[k])), len(keys)) * 1e6,
        "floor: list filled through PySequence_Fast_ITEMS": t_best(lookups(cpyext_floor.take), len(keys)) * 1e6,
        "floor: list filled by PyList_SET_ITEM": t_best(lookups(cpyext_floor.take_set_item), len(keys)) * 1e6,
        "floor: INCREF/DECREF each, no list": t_best(lookups(cpyext_floor.touch), len(keys)) * 1e6,
        "floor: a call with one int": t_best(lookups(cpyext_floor.noop), len(keys)) * 1e6}))
    def walked(fn):
        def w(k):
            for o in fn(k):
                pass
        return w
    rows.append(("the same, each result walked once", "us", {
        "corvane": t_best(lookups(walked(lambda k: idx.get_by_attribute(cat=k))), len(keys)) * 1e6,
        "list(dict_of_sets[v])": t_best(lookups(walked(lambda k: list(peer[k]))), len(keys)) * 1e6,
        "floor: list filled through PySequence_Fast_ITEMS": t_best(lookups(walked(cpyext_floor.take)), len(keys)) * 1e6,
        "floor: list filled by PyList_SET_ITEM": t_best(lookups(walked(cpyext_floor.take_set_item)), len(keys)) * 1e6}))
    rows.append(("assign o.cat = v (1,000 values)", "us", {
        "corvane": t_best(assigns(I, "cat"), n, reps=3) * 1e6,
        "dict of sets": t_best(assigns(H, "cat"), n, reps=3) * 1e6,
        "floor: setattro into a C field": t_best(assigns(F, "f"), n, reps=3) * 1e6}))
print(sys.implementation.name, sys.version.split()[0], f"{n:,} objects")
for name, unit, figs in rows:
    print(f"  {name}")
    base = figs[list(figs)[1]]
    for k, v in figs.items():
        print(f"    {k:52s} {v:8.2f} {unit}   {v / base:5.2f}x")
