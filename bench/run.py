"""Benchmark driver: Corvane against the libraries a user would otherwise use.

    python bench/run.py               full run (about 30 minutes on 2 cores)
    python bench/run.py --quick       small smoke run (about a minute)
    python bench/run.py --only lean   the per-object table alone, printed too

Sections, each run in a fresh interpreter so one section's heap does not
weigh on the next:

    lean      per-object costs, one row per target (bench/lean.py): memory,
              assignment, reads, get_by_attribute, add_object_many, an
              equality-and-range query, four-attribute equality, and the
              cost per returned object from 10^4 to 4x10^6 objects
    core      1,000,000 objects with four attributes: add_object_many against
              sqlite3 insert + index build, get_by_attribute against sqlite3
              and a list slice, attribute assignment against sqlite3 UPDATE;
              range and compound queries against sqlite3 (single-column and
              composite indexes), a list comprehension and a dict of sets
    four      four-attribute keyword equality, ~200 hits out of 2,000,000
    strings   1,000,000 objects: prefix queries against sqlite3 LIKE 'p%' and
              >= p AND < p' on an indexed column, str ranges against sqlite3,
              a dict of sets over sorted values and a list comprehension
    compare   every peer of peers.py at 10^4, 10^5 and 10^6 objects
    memory    bytes per object of every peer, each in its own process

Raw figures go to build/bench-results/*.json (or --results), the rendered
tables and plots to docs/benchmarks.md, docs/benchmarks.png and
docs/benchmarks-memory.png (or --docs; a quick run writes them under the
results folder instead).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import random
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import harness as H  # noqa: E402
import lean  # noqa: E402
import memory  # noqa: E402
import report  # noqa: E402
import workloads as W  # noqa: E402
from measure import once  # noqa: E402

FULL = {
    "core_n": 1_000_000,
    "four_n": 2_000_000,
    "compare_ns": [10_000, 100_000, 1_000_000],
    "memory_ns": [100_000, 1_000_000],
    "reps": 7,
    # Builds of 1,000,000 objects take tens of seconds each: two per peer in
    # the core section (alternating which goes first), one in the comparison.
    "build_reps": 2,
    # Peers too slow to rebuild or update at a size are capped there.
    "frozen_mutate_max": 100_000,
    # The lean sections (bench/lean.py).
    "lean_n": 1_000_000,
    "lean_reps": 15,
    "lean_build_reps": 3,
    "lean_compound_n": 200_000,
    "lean_scale_ns": [10_000, 100_000, 1_000_000, 4_000_000],
    "lean_memory_n": 1_000_000,
}
QUICK = {
    "core_n": 50_000,
    "four_n": 100_000,
    "compare_ns": [1_000, 10_000],
    "memory_ns": [10_000],
    "reps": 3,
    "build_reps": 1,
    "frozen_mutate_max": 10_000,
    "lean_n": 50_000,
    "lean_reps": 5,
    "lean_build_reps": 1,
    "lean_compound_n": 20_000,
    "lean_scale_ns": [1_000, 10_000, 100_000],
    "lean_memory_n": 50_000,
}

# ---------------------------------------------------------------- section: core


def section_core(cfg):
    """Index core and queries on 1,000,000 objects with four attributes."""
    import peers as P

    cv = H.import_corvane()
    n = cfg["core_n"]
    data = W.core_data(n)
    out = {"n": n, "build": {}, "lookup": {}, "assign": {}, "queries": {}, "failures": {}}
    failures = out["failures"]
    build = {k: [] for k in ("Item()", "plain object", "add_object_many", "sqlite3 insert",
                             "sqlite3 index", "sqlite3 insert+index")}

    index = items = sq = None
    for rep in range(cfg["build_reps"]):
        index = items = sq = None
        H.collect_garbage()
        t0 = time.perf_counter()
        items, _ = data.items(cv)
        build["Item()"].append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        recs = data.recs()
        build["plain object"].append(time.perf_counter() - t0)
        rows = [(r.k, r.cat, r.n, r.f, r.s) for r in recs]

        def corvane_build():
            nonlocal index
            index = cv.Index()
            index.add_object_many(items)

        def sqlite_build():
            nonlocal sq
            sq = P.SQLite(name="sqlite3 (one index per column)")
            t0 = time.perf_counter()
            sq.build(recs, rows=rows)
            sq.t_total = time.perf_counter() - t0

        # Alternate which goes first, so neither always meets a warmer heap.
        order = [corvane_build, sqlite_build] if rep % 2 == 0 else [sqlite_build, corvane_build]
        for fn in order:
            t = once(fn)
            if fn is corvane_build:
                build["add_object_many"].append(t)
        build["sqlite3 insert+index"].append(sq.t_total)
        build["sqlite3 insert"].append(sq.t_insert)
        build["sqlite3 index"].append(sq.t_index)
        del rows
        H.log(f"core build {rep}: add_object_many {build['add_object_many'][-1]:.2f}s, "
            f"sqlite3 {sq.t_total:.2f}s")
    out["build"] = build

    corvane = P.CorvanePeer(cv)
    corvane.objs, corvane.index = items, index
    corvane.pos = {id(o): k for k, o in enumerate(items)}
    corvane_expr = P.CorvanePeer(cv, keyword_equality=False)
    corvane_expr.objs, corvane_expr.index, corvane_expr.pos = items, index, corvane.pos
    recs = sq.objs
    listcomp = P.ListComp()
    listcomp.build(recs)
    dos = P.DictOfSets()
    t0 = time.perf_counter()
    dos.build(recs)
    out["build_other"] = {"dict of sets": time.perf_counter() - t0}
    sq_comp = P.SQLite(composite=[("cat", "f")], name="sqlite3 (composite index)")
    t0 = time.perf_counter()
    sq_comp.build(recs)
    out["build_other"]["sqlite3 (composite index) from objects"] = time.perf_counter() - t0
    peers = [corvane, corvane_expr, sq, sq_comp, dos, listcomp]

    # get_by_attribute returning about 1,000 objects (one category of 1,000).
    query = ("eq", "cat", 417)
    want = H.expected_keys(query, recs, P.Peer.key)
    fns = H.checked(peers, "get_by_attribute", query, want, failures, skip=(sq_comp,))
    size = len(want)
    fns["list slice (floor)"] = lambda: items[1000:1000 + size]
    out["lookup"] = {"size": size, "times": H.timed_section(fns, cfg["reps"], failures, "get_by_attribute")}
    H.log("core lookup:", {k: f"{v * 1e6:.1f}us" for k, v in out["lookup"]["times"].items()})

    # Range and compound queries.
    for label, query in W.core_queries(n):
        want = H.expected_keys(query, recs, P.Peer.key)
        fns = H.checked(peers, label, query, want, failures)
        out["queries"][label] = {"size": len(want),
                                 "times": H.timed_section(fns, cfg["reps"], failures, label)}
        H.log(f"core {label}:", {k: f"{v * 1e3:.2f}ms" for k, v in out["queries"][label]["times"].items()})

    # Attribute assignment, one object at a time, against an UPDATE of one
    # indexed column.  Each sample assigns to a fresh run of objects, an
    # eighth of them: long enough to pay for its share of the batches in
    # which Corvane applies the changes of its range trees.
    rng = random.Random(7)
    batch = max(2000, n // 8)
    order = list(range(n))
    rng.shuffle(order)
    cursor = {"i": 0}

    def next_batch():
        i = cursor["i"]
        cursor["i"] = (i + batch) % (n - batch)
        return order[i:i + batch]

    new_cat = [rng.randrange(W.N_CAT) for _ in range(n)]
    con = sq.con

    def assign_fn(kind):
        if kind == "corvane obj.cat = v":
            def fn():
                for k in next_batch():
                    items[k].cat = new_cat[k]
        elif kind == "corvane obj.n = v":
            def fn():
                for k in next_batch():
                    items[k].n = n + k
        elif kind == "sqlite3 UPDATE cat":
            def fn():
                ex = con.execute
                for k in next_batch():
                    ex("UPDATE items SET cat = ? WHERE k = ?", (new_cat[k], k))
        elif kind == "sqlite3 UPDATE n":
            def fn():
                ex = con.execute
                for k in next_batch():
                    ex("UPDATE items SET n = ? WHERE k = ?", (n + k, k))
        elif kind == "plain object setattr (floor)":
            def fn():
                for k in next_batch():
                    recs[k].cat = new_cat[k]
        return fn

    kinds = ["corvane obj.cat = v", "corvane obj.n = v", "sqlite3 UPDATE cat",
             "sqlite3 UPDATE n", "plain object setattr (floor)"]
    times = H.timed_section({k: assign_fn(k) for k in kinds}, cfg["reps"], failures, "assignment")
    out["assign"] = {k: v / batch for k, v in times.items()}
    H.log("core assign:", {k: f"{v * 1e6:.2f}us" for k, v in out["assign"].items()})
    # The index must still answer correctly after all those assignments.
    H.checked([corvane], "after assignments", ("eq", "cat", 417),
            lambda p: H.expected_keys(("eq", "cat", 417), items, p.key), failures)
    return out


# ---------------------------------------------------------------- section: strings


def section_strings(cfg):
    """Prefix and str range queries on 1,000,000 objects, against sqlite3 on an
    indexed column (a prefix both as `LIKE 'p%'` and as `>= p AND < p'`), a
    dict of sets over the sorted distinct values and a list comprehension."""
    import peers as P

    cv = H.import_corvane()
    n = cfg["core_n"]
    data = W.strings_data(n)
    out = {"n": n, "queries": {}, "failures": {}}
    failures = out["failures"]
    items, _ = data.items(cv)
    corvane = P.CorvanePeer(cv)
    corvane.build(items)
    recs = data.recs()
    sq = P.SQLite(name="sqlite3")
    sq.build(recs)
    # The same table and indexes, the prefix asked as a range.
    sq_range = P.SQLite(name="sqlite3 >= p AND < p'", prefix_as_range=True)
    sq_range.objs, sq_range.con = sq.objs, sq.con
    dos = P.DictOfSets()
    dos.build(recs)
    listcomp = P.ListComp()
    listcomp.build(recs)
    for label, query in W.string_queries(n):
        want = H.expected_keys(query, recs, P.Peer.key)
        peers = [corvane, sq, dos, listcomp] + ([sq_range] if query[0] == "prefix" else [])
        fns = H.checked(peers, label, query, want, failures)
        if query[0] == "prefix":
            fns["sqlite3 LIKE 'p%'"] = fns.pop("sqlite3")
        out["queries"][label] = {"size": len(want),
                                 "times": H.timed_section(fns, cfg["reps"], failures, label)}
        times = out["queries"][label]["times"]
        H.log(f"strings {label} ({len(want)}):",
              {k: f"{v * 1e3:.3f}ms (x{v / times['corvane']:.1f})" for k, v in times.items()})
    return out


# ---------------------------------------------------------------- section: four


def section_four(cfg, lean=False):
    """Keyword equality on four attributes, about 200 hits in 2,000,000.
    `lean` measures only Corvane and sqlite3 with the composite index."""
    import peers as P

    cv = H.import_corvane()
    n = cfg["four_n"]
    data = W.four_attr_data(n)
    query = W.four_attr_query()
    out = {"n": n, "build": {}, "failures": {}}
    items, _ = data.items(cv)
    corvane = P.CorvanePeer(cv)
    out["build"]["corvane"] = once(lambda: corvane.build(items))
    corvane_expr = P.CorvanePeer(cv, keyword_equality=False)
    corvane_expr.objs, corvane_expr.index, corvane_expr.pos = items, corvane.index, corvane.pos
    recs = data.recs()
    peers = [corvane] if lean else [corvane, corvane_expr]
    others = [P.SQLite(composite=[W.FOUR_ATTRS], name="sqlite3 (composite index)")]
    if not lean:
        others = [P.SQLite(name="sqlite3 (one index per column)"), *others,
                  P.DictOfSets(), P.ListComp()]
    for p in others:
        out["build"][p.name] = once(lambda: p.build(recs))
        peers.append(p)
        H.collect_garbage()
    want = H.expected_keys(query, recs, P.Peer.key)
    fns = H.checked(peers, "four-attribute equality", query, want, out["failures"])
    out["size"] = len(want)
    out["times"] = H.timed_section(fns, cfg["reps"], out["failures"], "four-attribute equality")
    H.log("four:", {k: f"{v * 1e3:.3f}ms" for k, v in out["times"].items()})
    return out


# ---------------------------------------------------------------- section: compare


def section_compare(cfg, n):
    cv = H.import_corvane()
    data = W.compare_data(n)
    out = {"n": n, "build": {}, "queries": {}, "mutate": {}, "notes": [], "failures": {}}
    failures = out["failures"]
    peers = []
    build_reps = cfg["build_reps"] if n <= 100_000 else 1
    for name in H.BUILD_ORDER:
        samples = []
        for _ in range(build_reps):
            peer = H.make_peer(name, cv, composite=[("s", "n")])
            objs, sups = H.peer_objects(data, peer, cv)
            H.collect_garbage()
            samples.append(once(lambda: peer.build(objs, sups)))
            del objs, sups
        peers.append(peer)
        out["build"][name] = sorted(samples)[len(samples) // 2]
        H.log(f"compare {n}: built {name} in {out['build'][name]:.2f}s")

    ref = peers[0].objs
    for label, query in W.compare_queries(n):
        want = H.expected_keys(query, ref, peers[0].key)
        fns = H.checked(peers, label, query, want, failures)
        out["queries"][label] = {"size": len(want),
                                 "times": H.timed_section(fns, cfg["reps"], failures, label, budget=8)}
        H.log(f"compare {n} {label} ({len(want)}):",
            {k: f"{v * 1e3:.3f}ms" for k, v in out["queries"][label]["times"].items()})

    # Mutate, then query: move one object into category 417 and query it,
    # then move it back and query again.  Every peer follows the same sequence.
    rng = random.Random(11)
    movers = [k for k in rng.sample(range(n), min(n, 5000)) if ref[k].cat != 417]
    orig = {k: ref[k].cat for k in movers}
    query = ("eq", "cat", 417)
    fns = {}
    for p in peers:
        if not p.mutable and n > cfg["frozen_mutate_max"]:
            out["notes"].append(f"{p.name}: mutate-then-query not run above "
                                f"{cfg['frozen_mutate_max']:,} objects (each change rebuilds it)")
            continue
        q = p.prepare(query)
        state = {"i": 0}

        def fn(p=p, q=q, state=state):
            i = state["i"]
            state["i"] = i + 1
            k = movers[(i // 2) % len(movers)]
            p.set_attr(k, "cat", 417 if i % 2 == 0 else orig[k])
            return q()

        fns[p.name] = fn
    label = "mutate, then query"
    times = H.timed_section(fns, cfg["reps"], failures, label, budget=8)
    for name, fn in fns.items():
        if name not in times:
            continue
        p = next(x for x in peers if x.name == name)
        try:
            H.check(name, label, fn(), H.expected_keys(query, p.objs, p.key), p.key)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as e:
            failures.setdefault(label, {})[name] = H.describe(e)
            del times[name]
    out["mutate"] = {"size": len(H.expected_keys(query, ref, peers[0].key)), "times": times}
    H.log(f"compare {n} mutate:", {k: f"{v * 1e3:.3f}ms" for k, v in times.items()})
    return out


# ---------------------------------------------------------------- driver


def versions():
    import importlib.metadata as md
    import sqlite3

    out = {"python": f"{platform.python_implementation()} {platform.python_version()}",
           "sqlite": sqlite3.sqlite_version}
    for dist in ("Corvane", "ducks", "polars", "pyroaring", "sortedcontainers", "matplotlib"):
        try:
            out[dist] = md.version(dist)
        except md.PackageNotFoundError:
            out[dist] = "build tree" if dist == "Corvane" else "missing"
    try:
        with open("/proc/cpuinfo") as f:
            out["cpu"] = next(l.split(":", 1)[1].strip() for l in f if l.startswith("model name"))
    except (OSError, StopIteration):
        out["cpu"] = platform.processor()
    out["cores"] = os.cpu_count()
    try:
        import Corvane

        out["module"] = str(Path(Corvane.__file__).resolve())
    except ImportError:
        out["module"] = "?"
    git = ["git", "-C", str(ROOT)]
    try:
        out["commit"] = subprocess.run(git + ["rev-parse", "--short", "HEAD"], capture_output=True,
                                       text=True, check=True).stdout.strip()
        dirty = subprocess.run(git + ["status", "--porcelain", "--", "src", "CMakeLists.txt"],
                               capture_output=True, text=True, check=True).stdout.strip()
        out["commit"] += " (src/ modified)" if dirty else ""
    except (OSError, subprocess.CalledProcessError):
        out["commit"] = "?"
    return out


def run_worker(args, cfg, results: Path, name: str, *extra: str) -> dict:
    """Run one section in a fresh interpreter; its JSON lands in `results`."""
    sys.stdout.flush()
    target = results / f"{name}{''.join('-' + e for e in extra)}.json"
    cmd = [sys.executable, str(HERE / "run.py"), "--worker", name, *extra,
           "--results", str(results)]
    if args.quick:
        cmd.append("--quick")
    t0 = time.perf_counter()
    H.log(f"==> {name} {' '.join(extra)}")
    subprocess.run(cmd, check=True)
    H.log(f"    done in {time.perf_counter() - t0:.0f}s")
    return json.loads(target.read_text())


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small smoke run")
    ap.add_argument("--only", default="lean,core,four,strings,compare,memory",
                    help="comma-separated sections to run (default: all); `lean` alone "
                         "measures the table of per-object costs and prints it")
    ap.add_argument("--results", default=None, help="folder for the raw JSON figures")
    ap.add_argument("--docs", default=None, help="folder for benchmarks.md and benchmarks.png")
    ap.add_argument("--render-only", action="store_true", help="render the last results again")
    ap.add_argument("--worker", nargs="+", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    cfg = QUICK if args.quick else FULL
    default_results = ROOT / "build" / ("bench-results-quick" if args.quick else "bench-results")
    results = Path(args.results) if args.results else default_results
    results.mkdir(parents=True, exist_ok=True)

    if args.worker:
        name, *extra = args.worker
        if name == "core":
            data = section_core(cfg)
        elif name == "four":
            data = section_four(cfg, lean=extra == ["lean"])
        elif name == "strings":
            data = section_strings(cfg)
        elif name == "lean":
            data = lean.section_lean(cfg)
        elif name == "lean-build":
            data = lean.section_lean_build(cfg)
        elif name == "lean-compound":
            data = lean.section_lean_compound(cfg)
        elif name == "lean-scale":
            data = lean.section_lean_scale(cfg, int(extra[0]))
        elif name == "compare":
            data = section_compare(cfg, int(extra[0]))
        else:
            raise SystemExit(f"unknown worker {name}")
        target = results / f"{name}{''.join('-' + e for e in extra)}.json"
        target.write_text(json.dumps(data, indent=1))
        return

    docs = Path(args.docs) if args.docs else (results if args.quick else ROOT / "docs")
    sections = set(args.only.split(","))
    t_all = time.perf_counter()
    if not args.render_only:
        meta = {"versions": versions(), "quick": args.quick, "config": cfg,
                "started": time.strftime("%Y-%m-%d %H:%M:%S"), "load_before": os.getloadavg()}
        if "lean" in sections:
            for worker in (["lean"], ["lean-build"], ["lean-compound"], ["four", "lean"],
                           *[["lean-scale", str(n)] for n in cfg["lean_scale_ns"]]):
                run_worker(args, cfg, results, *worker)
            mem = []
            for name in H.LEAN_MEMORY_PEERS:
                H.log(f"==> memory (lean data set) {name} {cfg['lean_memory_n']}")
                mem.append(memory.measure_in_subprocess(name, cfg["lean_memory_n"], "lean"))
            (results / "lean-memory.json").write_text(json.dumps(mem, indent=1))
        if "core" in sections:
            run_worker(args, cfg, results, "core")
        if "four" in sections:
            run_worker(args, cfg, results, "four")
        if "strings" in sections:
            run_worker(args, cfg, results, "strings")
        if "compare" in sections:
            for n in cfg["compare_ns"]:
                run_worker(args, cfg, results, "compare", str(n))
        if "memory" in sections:
            mem = []
            for n in cfg["memory_ns"]:
                for name in H.BUILD_ORDER:
                    H.log(f"==> memory {name} {n}")
                    mem.append(memory.measure_in_subprocess(name, n))
            (results / "memory.json").write_text(json.dumps(mem, indent=1))
        meta["load_after"] = os.getloadavg()
        meta["seconds"] = time.perf_counter() - t_all
        (results / "meta.json").write_text(json.dumps(meta, indent=1))
    md_path, pngs = report.render(results, docs)
    table = report.lean_text(results)
    if table:
        print(table)
    H.log(f"wrote {md_path} and {', '.join(map(str, pngs))} ({time.perf_counter() - t_all:.0f}s)")


if __name__ == "__main__":
    main()
