"""The `lean` sections of bench/H.py: per-object costs against the peer a
user would otherwise write, each section in its own interpreter.

    lean           one Index over objects with six attributes (lean data set):
                   attribute assignment against a hand-written dict of sets
                   whose __setattr__ moves the object between sets, attribute
                   reads against a `__slots__` object, get_by_attribute
                   returning ~1,000 objects against list(set) of the dict of
                   sets and a list slice
    lean-build     add_object_many of four attributes against sqlite3
                   executemany + four CREATE INDEX, and a dict of sets
    lean-compound  `cat == c and uid < half` and ranges against sqlite3
                   (one index per column, and a composite index)
    lean-scale N   nanoseconds per returned object of an equality query
                   returning 1 % of N objects

Per-object timings are medians of samples taken in turns across the peers;
each sample walks a new run of objects in a random order (the same order for
every peer), so they are medians over many random objects, not one hot one.
"""

from __future__ import annotations

import itertools
import random

import harness as H
import workloads as W
from measure import once

# Objects per timed call of the per-object loops (a sample loops the call
# until it lasts about 20 ms, so it covers several runs).
CHUNK = 1000


def equality_peers(index, name, value_map, values, rows, starts, size):
    """`get_by_attribute(name=v)` for `values` in turn, against `list(set)`
    of the dict of sets and a slice of `size` rows (the floor of any call
    returning that many objects)."""
    v1, v2, st = (itertools.cycle(values).__next__, itertools.cycle(values).__next__,
                  itertools.cycle(starts).__next__)

    def list_slice():
        i = st()
        return rows[i:i + size]

    # Spelled as a literal keyword call, so no dict is built per call.
    corvane = eval(f"lambda: get({name}=v1())", {"get": index.get_by_attribute, "v1": v1})
    return {
        "corvane": corvane,
        "dict of sets": lambda: list(value_map[v2()]),
        "list slice (floor)": list_slice,
    }


def _chunks(seq, size=CHUNK):
    return [seq[i:i + size] for i in range(0, len(seq) - size + 1, size)]


def _ring(chunks, other=None):
    """A function returning the next chunk of `chunks` (and of `other`,
    shifted by one more chunk per lap so that an object meets another value
    on each lap) each time it is called."""
    count = len(chunks)
    state = {"i": 0}

    def nxt():
        i = state["i"]
        state["i"] = i + 1
        j = i % count
        if other is None:
            return chunks[j]
        return chunks[j], other[(j + i // count) % count]

    return nxt


def _reader(attr):
    # A plain loop reading the attribute of each object of the chunk.
    src = f"def read(chunk):\n    for o in chunk:\n        o.{attr}\n"
    ns = {}
    exec(src, ns)
    return ns["read"]


def _assigner(attr):
    src = f"def assign(objs, vals):\n    for o, v in zip(objs, vals):\n        o.{attr} = v\n"
    ns = {}
    exec(src, ns)
    return ns["assign"]


def _self_assigner(attr):
    # `o.attr = o.attr`: the value the attribute already has.
    src = f"def assign(chunk):\n    for o in chunk:\n        o.{attr} = o.{attr}\n"
    ns = {}
    exec(src, ns)
    return ns["assign"]


def _empty_loop(chunk):
    for o in chunk:
        pass


def section_lean(cfg):
    """Assignment, reads and get_by_attribute on one Index of n objects."""
    import peers as P

    cv = H.import_corvane()
    n = cfg["lean_n"]
    reps = cfg["lean_reps"]
    data = W.lean_data(n)
    out = {"n": n, "chunk": CHUNK, "assign": {}, "read": {}, "lookup": {}, "failures": {},
           "build": {}}
    failures = out["failures"]

    items, _ = data.items(cv)
    corvane = P.CorvanePeer(cv)
    out["build"]["corvane"] = once(lambda: corvane.build(items))
    hand_recs = data.recs(base=P.HandIndexed)
    hand = P.DictOfSetsSetattr()
    out["build"]["dict of sets"] = once(lambda: hand.build(hand_recs))
    slots = data.recs()  # plain __slots__ objects, for the reads
    H.collect_garbage()
    H.log(f"lean {n}: built corvane in {out['build']['corvane']:.2f}s, "
            f"dict of sets in {out['build']['dict of sets']:.2f}s")

    rng = random.Random(5)
    order = list(range(n))
    rng.shuffle(order)
    peers_objs = {"corvane": items, "dict of sets": hand_recs, "__slots__ object": slots}
    chunks = {name: _chunks([objs[k] for k in order]) for name, objs in peers_objs.items()}

    # Reads: Corvane against a plain __slots__ object, with the bare loop
    # (which fetches each object) shown as the floor.
    for attr in ("color", "cat", "uid", "price"):
        fns = {}
        for name in ("corvane", "__slots__ object"):
            nxt, read = _ring(chunks[name]), _reader(attr)
            fns[name] = lambda nxt=nxt, read=read: read(nxt())
        nxt = _ring(chunks["__slots__ object"])
        fns["loop alone (floor)"] = lambda nxt=nxt: _empty_loop(nxt())
        times = H.timed_section(fns, reps, failures, f"read {attr}")
        out["read"][attr] = {k: v / CHUNK for k, v in times.items()}
        H.log(f"lean read {attr}:", {k: f"{v * 1e9:.0f}ns" for k, v in out["read"][attr].items()})

    # Assignments: each attribute gets new values of its own kind; a unique
    # int gets ints no object holds yet, a float new floats.
    pool = {
        "color": lambda: W.COLORS[rng.randrange(10)],
        "cat": (lambda ints: lambda: ints[rng.randrange(W.N_CAT)])(list(range(W.N_CAT))),
        "uid": (lambda c: lambda: W.UID_MOD + next(c))(itertools.count()),
        "price": rng.random,
    }
    # A sample is an eighth of the objects: Corvane applies the changes of
    # its range trees in batches, and each sample must pay for its share
    # of them.
    run = max(1, n // 8 // CHUNK)
    for attr in ("color", "cat", "uid", "price"):
        values = _chunks([pool[attr]() for _ in range(n)])
        fns = {}
        for name in ("corvane", "dict of sets", "__slots__ object"):
            nxt, assign = _ring(chunks[name], values), _assigner(attr)

            def many(nxt=nxt, assign=assign):
                for _ in range(run):
                    assign(*nxt())

            fns[name if name != "__slots__ object" else "plain __slots__ setattr (floor)"] = many
        times = H.timed_section(fns, reps, failures, f"assign {attr}")
        out["assign"][attr] = {k: v / (CHUNK * run) for k, v in times.items()}
        H.log(f"lean assign {attr}:", {k: f"{v * 1e9:.0f}ns" for k, v in out["assign"][attr].items()})

    # Assigning the value an attribute already has, against a `__slots__`
    # object doing the same.
    for attr in ("color", "cat"):
        fns = {}
        for name in ("corvane", "__slots__ object"):
            nxt, assign = _ring(chunks[name]), _self_assigner(attr)
            fns[name] = lambda nxt=nxt, assign=assign: assign(nxt())
        times = H.timed_section(fns, reps, failures, f"assign same {attr}")
        out.setdefault("assign_same", {})[attr] = {k: v / CHUNK for k, v in times.items()}
        H.log(f"lean assign same {attr}:",
              {k: f"{v * 1e9:.0f}ns" for k, v in out["assign_same"][attr].items()})

    # Assignment to objects that no index holds (a fresh copy of at most
    # 200,000 of them), against `__slots__` objects.
    m = min(n, 200_000)
    loose = W.lean_data(m).items(cv)[0]
    loose_chunks = _chunks([loose[k] for k in order if k < m])
    slots_chunks = _chunks([slots[k] for k in order if k < m])
    values = _chunks([pool["cat"]() for _ in range(m)])
    fns = {}
    for name, ch in (("corvane (in no index)", loose_chunks), ("__slots__ object", slots_chunks)):
        nxt, assign = _ring(ch, values), _assigner("cat")
        fns[name] = lambda nxt=nxt, assign=assign: assign(*nxt())
    times = H.timed_section(fns, reps, failures, "assign unindexed")
    out["assign_unindexed"] = {k: v / CHUNK for k, v in times.items()}
    H.log("lean assign in no index:", {k: f"{v * 1e9:.0f}ns" for k, v in out["assign_unindexed"].items()})
    del loose, loose_chunks

    # After all the assignments both indexes must still answer like a scan.
    for attr, value in (("cat", 417), ("color", W.COLORS[3])):
        query = ("eq", attr, value)
        H.checked([corvane], f"after assignments ({attr})", query,
                    lambda p: H.expected_keys(query, items, p.key), failures)
        got = sorted(map(id, hand.maps[attr].get(value, ())))
        want = sorted(id(o) for o in hand_recs if getattr(o, attr) == value)
        if got != want:
            failures.setdefault(f"after assignments ({attr})", {})["dict of sets"] = "wrong answer"

    # get_by_attribute(cat=v) for random v, about n / 1,000 objects each,
    # against list(set) of the dict of sets and a list slice of that size.
    want = H.expected_keys(("eq", "cat", 417), items, corvane.key)
    H.checked([corvane, hand], "get_by_attribute", ("eq", "cat", 417),
                lambda p: H.expected_keys(("eq", "cat", 417), p.objs, p.key), failures)
    cats = [rng.randrange(W.N_CAT) for _ in range(4096)]
    size = max(1, n // W.N_CAT)
    starts = [rng.randrange(n - size) for _ in range(4096)]
    fns = equality_peers(corvane.index, "cat", hand.maps["cat"], cats, slots, starts, size)
    times = H.timed_section(fns, reps, failures, "get_by_attribute")
    out["lookup"] = {"size": len(want), "times": times}
    H.log("lean get_by_attribute:", {k: f"{v * 1e6:.1f}us" for k, v in times.items()})
    return out


def section_lean_build(cfg):
    """add_object_many of four attributes against sqlite3 and a dict of sets."""
    import peers as P

    cv = H.import_corvane()
    n = cfg["lean_n"]
    data = W.core_data(n)
    build = {"add_object_many": [], "sqlite3 executemany + 4 CREATE INDEX": [], "dict of sets": []}
    for rep in range(cfg["lean_build_reps"]):
        items, _ = data.items(cv)
        recs = data.recs()
        rows = [(r.k, r.cat, r.n, r.f, r.s) for r in recs]
        H.collect_garbage()
        keep = {}

        def corvane_build():
            keep["index"] = cv.Index()
            keep["index"].add_object_many(items)

        def sqlite_build():
            sq = P.SQLite(analyze=False, name="sqlite3")
            sq.build(recs, rows=rows)
            keep["sqlite"] = sq

        def dos_build():
            keep["dos"] = P.DictOfSets()
            keep["dos"].build(recs)

        # Rotate which goes first, so none always meets a warmer heap.
        steps = [("add_object_many", corvane_build),
                 ("sqlite3 executemany + 4 CREATE INDEX", sqlite_build),
                 ("dict of sets", dos_build)]
        steps = steps[rep % 3:] + steps[:rep % 3]
        for name, fn in steps:
            build[name].append(once(fn))
        H.log(f"lean build {rep}:", {k: f"{v[-1]:.2f}s" for k, v in build.items()})
        del items, recs, rows, keep
        H.collect_garbage()
    return {"n": n, "build": build}


def section_lean_compound(cfg):
    """A small equality set and a wide range, and plain ranges, on n objects."""
    import peers as P

    cv = H.import_corvane()
    n = cfg["lean_compound_n"]
    data = W.lean_data(n)
    out = {"n": n, "queries": {}, "failures": {}}
    items, _ = data.items(cv)
    corvane = P.CorvanePeer(cv)
    corvane.build(items)
    recs, sups = H.peer_objects(data, P.SQLite(), cv)
    single = P.SQLite(name="sqlite3 (one index per column)")
    single.build(recs, sups)
    comp = P.SQLite(composite=[("cat", "uid"), ("cat", "price")], name="sqlite3 (composite index)")
    comp.build(recs, sups)
    listcomp = P.ListComp()
    listcomp.build(recs)
    peers = [corvane, single, comp, listcomp]
    queries = [
        ("cat == c and uid < half", W.lean_compound_query()),
        ("cat == c and price < 0.5", ("and", [("eq", "cat", 417), ("lt", "price", 0.5)])),
        ("range price 1%", W.f_range(0.01, attr="price")),
        ("range price 10%", W.f_range(0.10, attr="price")),
    ]
    for label, query in queries:
        want = H.expected_keys(query, recs, P.Peer.key)
        fns = H.checked(peers, label, query, want, out["failures"])
        out["queries"][label] = {"size": len(want),
                                 "times": H.timed_section(fns, cfg["reps"], out["failures"], label)}
        H.log(f"lean compound {label} ({len(want)}):",
                {k: f"{v * 1e6:.1f}us" for k, v in out["queries"][label]["times"].items()})
    return out


def section_lean_scale(cfg, n):
    """Nanoseconds per returned object of `grp == g` (1 % of n) for random g."""
    import peers as P

    cv = H.import_corvane()
    data = W.scale_data(n)
    items, _ = data.items(cv)
    corvane = P.CorvanePeer(cv)
    corvane.build(items)
    recs = data.recs()
    dos = P.DictOfSets()
    dos.build(recs)
    out = {"n": n, "failures": {}}
    H.checked([corvane, dos], "scale", ("eq", "grp", 7),
                lambda p: H.expected_keys(("eq", "grp", 7), p.objs, p.key), out["failures"])
    rng = random.Random(3)
    groups = [rng.randrange(100) for _ in range(1024)]
    sizes = {g: 0 for g in range(100)}
    for v in data.columns["grp"]:
        sizes[v] += 1
    size = max(1, n // 100)
    starts = [rng.randrange(n - size + 1) for _ in range(1024)]
    fns = equality_peers(corvane.index, "grp", dos.maps["grp"], groups, recs, starts, size)
    times = H.timed_section(fns, cfg["reps"], out["failures"], "scale")
    avg = sum(sizes[g] for g in groups) / len(groups)
    out["size"] = avg
    out["times"] = times
    out["per_object"] = {k: v / avg for k, v in times.items()}
    H.log(f"lean scale {n} ({avg:.0f} per answer):",
            {k: f"{v * 1e9:.1f}ns/obj" for k, v in out["per_object"].items()})
    return out
