"""Thread stress: every kind of call at once on shared indexes and objects.

Worker threads start together behind a barrier and run a seeded random mix of
assignments (plain values, colliding hashes, nested objects, values inside nested
objects one and two levels down), additions
(single, batches, objects added twice), keyword and expression queries
(ranges, dotted paths, `not_`/`and_`), views narrowed again, `reduce`,
`rebase`, dropped indexes and plain attribute reads, with a tiny switch
interval so that threads interleave inside the module's calls.  Every run is
bounded in operations and in time and watched by faulthandler, so a deadlock
fails the test with every thread's traceback instead of hanging.

What is asserted: no crash, no deadlock, no exception besides the refusals
"Already borrowed" / "Already mutably borrowed" (`rebase` and `reduce` among
them, when an object they must read is in use elsewhere), and a final state
equal to what a replay of the successful operations gives: each index holds the objects whose additions
succeeded, and answers every query as the model does from the objects' final
attributes.

Size: CORVANE_STRESS_THREADS (default 6), CORVANE_STRESS_OPS (operations per
thread, default 3000), CORVANE_STRESS_SECONDS (time limit of the mixed run,
default 40), CORVANE_STRESS_SEED (default 20240).
"""

import faulthandler
import gc
import os
import platform
import random
import sys
import threading
import time
import weakref

import pytest

import Corvane
from Corvane import Index, Indexable, PyQueryExpr as Q

import reference_model as model
from reference_model import ModelIndex, build, show


THREADS = int(os.environ.get("CORVANE_STRESS_THREADS", "6"))
OPS = int(os.environ.get("CORVANE_STRESS_OPS", "3000"))
SECONDS = float(os.environ.get("CORVANE_STRESS_SECONDS", "40"))
SEED = int(os.environ.get("CORVANE_STRESS_SEED", "20240"))
# Operations left out of the mix (comma-separated), for narrowing a failure down.
SKIP = set(filter(None, os.environ.get("CORVANE_STRESS_SKIP", "").split(",")))
WATCHDOG = SECONDS + 120

REFUSALS = {"Already borrowed", "Already mutably borrowed"}

X_VALUES = model.transitive_subset([0, 1, 2, 3, -1, -2, 2.5, 1.0, -0.0, "a", "b", True, None, [], 7])
Y_VALUES = [0, 1, 2, 3.5, -4, 10**6, 0.25]
TAGS = ["p", "q"]


@pytest.fixture
def contention():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    # To the real standard error: pytest may have replaced sys.stderr.
    faulthandler.dump_traceback_later(WATCHDOG, exit=True, file=sys.__stderr__)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()
        sys.setswitchinterval(old)


def run_threads(targets, timeout):
    """Start every target behind one barrier; return the exceptions that
    escaped them.  Fails if a thread is still running after `timeout`."""
    barrier = threading.Barrier(len(targets))
    escaped = []

    def wrap(fn):
        def run():
            barrier.wait()
            try:
                fn()
            except BaseException as e:  # the internal failure is a BaseException
                escaped.append(e)

        return run

    threads = [threading.Thread(target=wrap(fn), daemon=True) for fn in targets]
    for t in threads:
        t.start()
    end = time.monotonic() + timeout
    for t in threads:
        t.join(max(0.0, end - time.monotonic()))
    stuck = [t.name for t in threads if t.is_alive()]
    assert not stuck, "threads still running (deadlock or livelock): %s" % stuck
    return escaped


class Tally:
    """Per-operation counts of successes and refusals, and everything that
    should not have happened."""

    def __init__(self):
        self.lock = threading.Lock()
        self.done = {}
        self.refused = {}
        self.unexpected = []

    def bump(self, table, op):
        with self.lock:
            table[op] = table.get(op, 0) + 1

    def run(self, op, fn):
        try:
            result = fn()
        except RuntimeError as e:
            if str(e) in REFUSALS:
                self.bump(self.refused, op)
                return None
            self.unexpected.append((op, e))
            return None
        except Exception as e:
            self.unexpected.append((op, e))
            return None
        self.bump(self.done, op)
        return result if result is not None else True

    def total(self):
        return sum(self.done.values()) + sum(self.refused.values())


def ascending(objs, position):
    keys = [position[id(o)] for o in objs]
    return keys == sorted(keys) and len(set(keys)) == len(keys)


class Shared:
    """The objects and indexes every worker uses."""

    def __init__(self, rng):
        # Nested values change too (one and two levels down): the nested
        # indexes holding them must follow.
        self.pool = [Indexable(level=i % 4, child=Indexable(deep=i % 3)) for i in range(12)]
        self.created = []
        self.position = {}
        self.make_lock = threading.Lock()
        self.objs = [self.make(rng) for _ in range(80)]
        self.a, self.b = Index(), Index()
        self.a.add_object_many(self.objs)
        for o in self.objs[::2]:
            self.b.add_object(o)
        # Members per index, as successful additions report them.
        self.members = {id(self.a): list(self.objs), id(self.b): list(self.objs[::2])}
        self.rebased = []  # [(Index, members)], at most three kept
        self.rebased_lock = threading.Lock()

    def make(self, rng):
        attrs = dict(x=rng.choice(X_VALUES), y=rng.choice(Y_VALUES), tag=rng.choice(TAGS),
                     owner=rng.choice(self.pool))
        # Construction draws the object id: record the order under a lock so
        # that positions follow ids.
        with self.make_lock:
            o = Indexable(**attrs)
            self.position[id(o)] = len(self.created)
            self.created.append(o)
        return o


def worker(shared, tally, seed, deadline):
    rng = random.Random(seed)
    everyone = shared.objs
    views = []
    mine = []  # (index, objects) this worker made and added: only it removes them

    def pick_index():
        with shared.rebased_lock:
            extra = [r[0] for r in shared.rebased]
        return rng.choice([shared.a, shared.b, shared.a, shared.b] + extra)

    def members_of(idx):
        key = id(idx)
        if key in shared.members:
            return shared.members[key]
        with shared.rebased_lock:
            for r in shared.rebased:
                if r[0] is idx:
                    return r[1]
        return []  # a rebuilt index dropped since

    def add_member(idx, objs, op, own=False):
        if op == "add_object":
            done = tally.run(op, lambda: idx.add_object(objs[0]))
        else:
            done = tally.run(op, lambda: idx.add_object_many(objs))
        if done:
            members_of(idx).extend(objs)
            if own:
                mine.append((idx, objs))

    def expression():
        r = rng.random()
        if r < 0.25:
            return Q.gt("y", rng.choice(Y_VALUES))
        if r < 0.45:
            return Q.eq("owner.level", rng.randrange(4))
        if r < 0.55:
            return Q.in_("owner.child.deep", [rng.randrange(3)])
        if r < 0.75:
            return Q.and_(Q.eq("tag", rng.choice(TAGS)), Q.not_(Q.eq("x", rng.choice(X_VALUES))))
        return Q.or_(Q.bt("x", -1, 2), Q.ne("y", 0))

    ops = [
        ("assign", 30), ("assign_owner", 8), ("assign_y", 6), ("assign_nested", 4), ("read", 10),
        ("get_by_attribute", 10), ("reduced_query", 9), ("reduced", 5),
        ("add_object", 4), ("add_object_many", 3), ("add_again", 2),
        ("reduce", 3), ("rebase", 2), ("drop_rebased", 1), ("view_later", 2), ("remove", 4),
    ]
    names = [n for n, w in ops if n not in SKIP for _ in range(w)]
    for _ in range(OPS):
        if time.monotonic() > deadline:
            break
        op = rng.choice(names)
        o = rng.choice(everyone)
        if op == "assign":
            value = rng.choice(X_VALUES)
            tally.run(op, lambda: setattr(o, "x", value))
        elif op == "assign_owner":
            value = rng.choice(shared.pool)
            tally.run(op, lambda: setattr(o, "owner", value))
        elif op == "assign_nested":
            p = rng.choice(shared.pool)
            if rng.random() < 0.5:
                value = rng.randrange(4)
                tally.run(op, lambda: setattr(p, "level", value))
            else:
                value = rng.randrange(3)
                tally.run(op, lambda: setattr(p.child, "deep", value))
        elif op == "assign_y":
            value = rng.choice(Y_VALUES)
            tally.run(op, lambda: setattr(o, "y", value))
        elif op == "read":
            # Reads never fail, not even while another thread assigns.
            def read():
                if o.x not in X_VALUES or o.owner not in shared.pool:
                    raise AssertionError("impossible value read")
                if repr(o) != "<MyClass with 4 attributes>":
                    raise AssertionError(repr(o))
                if sorted(o.__dir__()[:4]) != ["owner", "tag", "x", "y"]:
                    raise AssertionError("dir")
            tally.run(op, read)
        elif op == "get_by_attribute":
            idx = pick_index()
            found = tally.run(op, lambda: idx.get_by_attribute(x=rng.choice(X_VALUES), tag=TAGS))
            if isinstance(found, list) and not ascending(found, shared.position):
                tally.unexpected.append((op, "result out of id order"))
        elif op == "reduced_query":
            idx = pick_index()
            e = expression()
            found = tally.run(op, lambda: idx.reduced_query(e).collect())
            if isinstance(found, list) and not ascending(found, shared.position):
                tally.unexpected.append((op, "result out of id order"))
        elif op == "reduced":
            idx = pick_index()

            def narrow():
                view = idx.reduced(tag=rng.choice(TAGS))
                again = view.reduced(y=Y_VALUES)
                inner = again.reduced_query(Q.ge("y", 0))
                # Removals only ever shrink what a view lists: count the
                # wider one first.
                wide = len(view.collect())
                if len(inner.collect()) > wide or len(view) > wide:
                    raise AssertionError("a narrowed view grew")
                if rng.random() < 0.3:
                    views.append((view, set(map(id, view.collect()))))
            tally.run(op, narrow)
        elif op in ("add_object", "add_object_many"):
            idx = pick_index()
            fresh = [shared.make(rng) for _ in range(1 if op == "add_object" else rng.randint(1, 5))]
            add_member(idx, fresh, op, own=True)
        elif op == "add_again":
            add_member(pick_index(), [o], "add_object")
        elif op == "reduce":
            # Every member carries a tag, so this keeps every member: the
            # index must come out exactly as it went in.
            idx = pick_index()
            tally.run(op, lambda: idx.reduce(tag=TAGS))
        elif op == "rebase":
            idx = pick_index()

            def rebuild():
                with shared.rebased_lock:
                    if len(shared.rebased) >= 3:
                        return
                view = idx.reduced_query(Q.and_())
                members = view.collect()
                new = view.rebase()
                # Objects removed from the index meanwhile are passed over;
                # nobody else can reach the new index yet.
                members = [m for m in members if m in new]
                with shared.rebased_lock:
                    shared.rebased.append((new, members))
            tally.run(op, rebuild)
        elif op == "drop_rebased":
            with shared.rebased_lock:
                if shared.rebased:
                    shared.rebased.pop(rng.randrange(len(shared.rebased)))
            tally.bump(tally.done, op)
        elif op == "view_later" and views:
            view, ids = views.pop(rng.randrange(len(views)))
            again = tally.run(op, view.collect)
            # Objects removed from the index since leave the view.
            if isinstance(again, list) and not set(map(id, again)) <= ids:
                tally.unexpected.append((op, "a view changed its objects"))
        elif op == "remove" and mine:
            idx, objs = mine.pop(rng.randrange(len(mine)))
            how = rng.choice(["remove_object", "discard_object", "remove_object_many"])
            if how == "remove_object_many":
                done = tally.run(op, lambda: idx.remove_object_many(objs))
            else:
                done = tally.run(op, lambda: getattr(idx, how)(objs[0]))
                if done and len(objs) > 1:
                    mine.append((idx, objs[1:]))
                objs = objs[:1]
            if done:
                held = members_of(idx)  # empty for a dropped rebuilt index
                for x in objs:
                    if x in held:
                        held.remove(x)
            else:
                mine.append((idx, objs))


def check_final_state(shared, idx, members):
    """The index answers as the model does from the objects' final values."""
    members = list({id(o): o for o in members}.values())
    attrs = {id(o): {"x": o.x, "y": o.y, "tag": o.tag, "owner": o.owner} for o in members}
    for p in shared.pool:
        attrs[id(p)] = {"level": p.level, "child": p.child}
        attrs[id(p.child)] = {"deep": p.child.deep}
    m = ModelIndex(members, lambda o: attrs[id(o)])
    in_order = sorted(members, key=lambda o: shared.position[id(o)])
    assert [id(o) for o in idx.collect()] == [id(o) for o in in_order]

    def same(got, want_ids, what):
        want = [o for o in in_order if id(o) in want_ids]
        assert [id(o) for o in got] == [id(o) for o in want], what

    for v in X_VALUES:
        same(idx.get_by_attribute(x=[v]), m.keyword_filter({"x": [v]}), "x = %r" % (v,))
    for v in Y_VALUES:
        same(idx.get_by_attribute(y=v), m.keyword_filter({"y": v}), "y = %r" % (v,))
    for p in shared.pool:
        same(idx.get_by_attribute(owner=p), m.keyword_filter({"owner": p}), "owner")
    exprs = [("gt", "y", v) for v in Y_VALUES] + [("le", "x", 1), ("bt", "x", -1, 2.5)]
    exprs += [("eq", "owner.level", k) for k in range(4)]
    exprs += [("eq", "owner.child.deep", k) for k in range(3)]
    exprs += [("and", [("eq", "tag", "p"), ("not", ("eq", "x", 1))])]
    for e in exprs:
        same(idx.reduced_query(build(e)).collect(), m.evaluate(e), show(e))


def test_mixed_operations_keep_every_index_consistent(contention):
    rng = random.Random(SEED)
    shared = Shared(rng)
    tally = Tally()
    deadline = time.monotonic() + SECONDS
    workers = [
        (lambda s=seed: worker(shared, tally, s, deadline)) for seed in range(SEED, SEED + THREADS)
    ]
    escaped = run_threads(workers, timeout=SECONDS + 60)
    assert escaped == [], escaped
    assert tally.unexpected == [], tally.unexpected[:10]
    # Enough of the mix ran for the test to mean something.
    assert tally.total() >= min(THREADS * OPS, 200), (tally.done, tally.refused)
    assert sum(tally.done.get(op, 0) for op in ("assign", "assign_owner", "assign_y")) > 0

    print("\nstress: %d threads, %d operations: done %s refused %s"
          % (THREADS, tally.total(), tally.done, tally.refused))

    check_final_state(shared, shared.a, shared.members[id(shared.a)])
    check_final_state(shared, shared.b, shared.members[id(shared.b)])
    for idx, members in shared.rebased:
        check_final_state(shared, idx, members)


def _hold_lock_while(blocked, during, size):
    """Keep `blocked`'s attribute maps write-locked (a large batch being
    entered with the interpreter lock released) while `during()` runs in this
    thread; returns whether the batch was still running afterwards."""
    batch = [Indexable(k=i, f=i * 0.5, s=str(i)) for i in range(size)]
    holder = threading.Thread(target=blocked.add_object_many, args=(batch,))
    holder.start()
    time.sleep(0.02)
    try:
        during()
    finally:
        still = holder.is_alive()
        holder.join()
    return still


def test_reduce_meanwhile_an_assignment_is_half_done(contention):
    # An assignment updates its indexes one at a time with the interpreter
    # lock released and stores the new value on the object at the end.  If
    # one index is already updated when `reduce` on it reads the object, the
    # old value read from the object must not be entered again.  Which of the
    # two indexes is updated first depends on their addresses, so both
    # orders are tried; the batch grows until it outlasts the sleeps.
    overlapped = set()
    for first_blocked, size in [(True, 50_000), (False, 50_000), (True, 400_000), (False, 400_000)]:
        if first_blocked in overlapped:
            continue
        a, b = Index(), Index()
        o = Indexable(x=1, tag="t")
        a.add_object(o)
        b.add_object(o)
        blocked, other = (a, b) if first_blocked else (b, a)
        assigner = threading.Thread(target=setattr, args=(o, "x", 2))

        def meanwhile():
            assigner.start()
            time.sleep(0.05)  # the assignment now waits for the blocked index
            try:
                other.reduce(tag="t")
            except RuntimeError as e:
                # Refusing to read an object in use is the documented answer.
                assert str(e) == "Already mutably borrowed", e

        if _hold_lock_while(blocked, meanwhile, size):
            overlapped.add(first_blocked)
        assigner.join()
        assert o.x == 2
        for idx in (a, b):
            assert idx.get_by_attribute(x=2) == [o]
            assert idx.get_by_attribute(x=1) == []
    if len(overlapped) < 2:
        pytest.skip("the batch never outlasted the assignment's start")


class Token:
    pass


def test_indexes_dropped_while_assignments_run(contention):
    # An assignment resolves an index's weak registration and may hold the
    # last strong handle when another thread drops the Index: the record is
    # then released without the interpreter lock, its objects and values
    # through the deferred queue, and everything must still be freed.
    objs = [Indexable(x=i % 5, v=Token()) for i in range(40)]
    held = [weakref.ref(o.v) for o in objs]
    deadline = time.monotonic() + min(SECONDS, 20)
    tally = Tally()
    stop = threading.Event()

    def churn():
        rng = random.Random(1)
        while time.monotonic() < deadline and not stop.is_set():
            idx = Index()
            for o in rng.sample(objs, 10):
                tally.run("add_object", lambda: idx.add_object(o))
            tally.run("query", lambda: idx.reduced_query(Q.lt("x", 3)).collect())
            del idx

    def assign(seed):
        def run():
            rng = random.Random(seed)
            for _ in range(OPS * 2):
                if time.monotonic() > deadline:
                    break
                o = rng.choice(objs)
                tally.run("assign", lambda: setattr(o, "x", rng.randrange(5)))
            stop.set()
        return run

    escaped = run_threads([churn, churn, assign(2), assign(3)], timeout=min(SECONDS, 20) + 60)
    assert escaped == [] and tally.unexpected == [], (escaped, tally.unexpected[:5])
    assert tally.done.get("assign", 0) > 0
    # Replace every value: with the indexes gone, nothing else holds them once
    # the deferred releases have run (the next call into the module does it).
    for o in objs:
        o.v = None
    Corvane.sum_as_string(1, 2)
    gc.collect()
    assert [r for r in held if r() is not None] == []


def test_collections_during_threaded_work_clear_only_garbage(contention):
    # The collector runs in one thread while others assign (the engine then
    # works without the interpreter lock), add, and create views and cyclic
    # garbage through indexes.  It must free the garbage and never clear an
    # object, index or view that is still reachable.
    live = Index()
    objs = [Indexable(x=i % 4, n=i) for i in range(30)]
    live.add_object_many(objs)
    for o in objs:
        o.home = live  # cycles through `live`, which the test holds
    views = [live.reduced(x=k) for k in range(4)]
    garbage = []
    deadline = time.monotonic() + min(SECONDS, 10)
    tally = Tally()

    def assign(seed):
        def run():
            rng = random.Random(seed)
            for _ in range(OPS):
                if time.monotonic() > deadline:
                    break
                o = rng.choice(objs)
                tally.run("assign", lambda: setattr(o, "x", rng.randrange(4)))
        return run

    def make_garbage():
        rng = random.Random(7)
        for _ in range(OPS // 10):
            if time.monotonic() > deadline:
                break
            idx = Index()
            inner = [Indexable(x=rng.randrange(4)) for _ in range(3)]
            idx.add_object_many(inner)
            inner[0].idx = idx
            inner[1].view = idx.reduced(x=inner[1].x)
            inner[2].live_view = rng.choice(views)
            garbage.append(weakref.ref(idx))
            tally.run("query", lambda: live.get_by_attribute(x=rng.randrange(4)))

    def collect():
        while time.monotonic() < deadline:
            gc.collect()

    escaped = run_threads([assign(1), assign(2), make_garbage, collect], timeout=min(SECONDS, 10) + 60)
    assert escaped == [] and tally.unexpected == [], (escaped, tally.unexpected[:5])
    gc.collect()
    assert all(o.home is live and o.n == i for i, o in enumerate(objs))
    for k in range(4):
        assert live.get_by_attribute(x=k) == [o for o in objs if o.x == k]
    for k, view in enumerate(views):
        assert view.collect() == [o for o in objs if o.n % 4 == k]
    if platform.python_implementation() == "CPython":
        Corvane.sum_as_string(0, 0)
        gc.collect()
        assert garbage and [r for r in garbage if r() is not None] == []
