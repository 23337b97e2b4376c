"""Threads: assignments, lookups, attribute reads and adds running at once.

Each test runs with a tiny switch interval so that threads interleave inside
the module's calls, and under a faulthandler watchdog so that a deadlock ends
the run with every thread's traceback instead of hanging it.
"""

import faulthandler
import random
import sys
import threading
import time

import pytest

from Corvane import Index, Indexable, PyQueryExpr as Q
from conftest import assert_same, same_key, select

WATCHDOG_SECONDS = 120
ALLOWED = {"Already borrowed", "Already mutably borrowed"}


def _report_fd(config):
    # pytest captures fd 2 while a test runs, and a watchdog exit would lose
    # anything written there; pytest keeps a duplicate of the real stderr for
    # its own faulthandler, which is where the thread dump belongs.
    try:
        from _pytest.faulthandler import fault_handler_stderr_fd_key

        return config.stash[fault_handler_stderr_fd_key]
    except (ImportError, KeyError, AttributeError):
        return sys.__stderr__


@pytest.fixture
def contention(request):
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True, file=_report_fd(request.config))
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()
        sys.setswitchinterval(old)


def run_all(targets, timeout=60):
    """Run each target in its own thread; return the exceptions they raised."""
    errors = []

    def guarded(fn):
        def run():
            try:
                fn()
            except BaseException as e:  # noqa: B902 - the internal failure is a BaseException
                errors.append(e)

        return run

    threads = [threading.Thread(target=guarded(fn), daemon=True) for fn in targets]
    for t in threads:
        t.start()
    deadline = time.monotonic() + timeout
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), "threads still running: deadlock or livelock"
    return errors


def refused(e, allowed=ALLOWED):
    return type(e) is RuntimeError and str(e) in allowed


def ascending(result, position):
    keys = [position[id(o)] for o in result]
    return keys == sorted(keys) and len(set(keys)) == len(keys)


class Mirrored(Indexable):
    """A subclass: on PyPy its reads are answered from the instance dict."""


def test_assignments_and_lookups_from_many_threads(contention):
    values = list(range(8)) + ["s0", "s1", -1, -2]
    # Half of them of a subclass, whose reads (on PyPy) must agree with the
    # indexes once the threads are done as much as those of the others.
    objs = [(Mirrored if i % 2 else Indexable)(x=i % 8, tag="t") for i in range(120)]
    position = {id(o): i for i, o in enumerate(objs)}
    every, evens = Index(), Index()
    every.add_object_many(objs)
    for o in objs[::2]:
        evens.add_object(o)
    added = []
    done = threading.Event()
    unexpected = []

    def writer(mine, seed):
        rng = random.Random(seed)

        def run():
            for _ in range(400):
                o = rng.choice(mine)
                try:
                    if rng.random() < 0.8:
                        o.x = rng.choice(values)
                    else:
                        o.tag = rng.choice("tuv")
                except RuntimeError as e:
                    if not refused(e, {"Already borrowed"}):
                        unexpected.append(e)

        return run

    def meddler():
        rng = random.Random(99)
        for _ in range(300):
            try:
                rng.choice(objs).x = rng.choice(values)
            except RuntimeError as e:
                if not refused(e, {"Already borrowed"}):
                    unexpected.append(e)

    def adder():
        for i in range(60):
            o = Indexable(x=i % 8, tag="new")
            while True:
                try:
                    evens.add_object(o)
                    added.append(o)
                    break
                except RuntimeError as e:
                    if not refused(e):
                        unexpected.append(e)
                        return

    def reader(seed):
        rng = random.Random(seed)

        def run():
            while not done.is_set():
                v = rng.choice(values)
                found = every.get_by_attribute(x=v)
                if not ascending(found, position):
                    unexpected.append(AssertionError("unordered or repeated result"))
                try:
                    evens.get_by_attribute(x=v, tag=["t", "u", "v", "new"])
                    evens.collect()
                except RuntimeError as e:
                    if not refused(e, {"Already mutably borrowed"}):
                        unexpected.append(e)
                o = rng.choice(objs)
                # Reads never fail, even while the object is being assigned to.
                if o.x not in values or o.tag not in ("t", "u", "v"):
                    unexpected.append(AssertionError("impossible value %r" % (o.x,)))
                if repr(o) != "<MyClass with 2 attributes>":
                    unexpected.append(AssertionError(repr(o)))
                if sorted(o.__dir__()[:2]) != ["tag", "x"]:
                    unexpected.append(AssertionError("dir"))

        return run

    workers = [writer(objs[k::3], k) for k in range(3)] + [meddler, adder]

    def supervisor():
        errors = run_all(workers)
        unexpected.extend(errors)
        done.set()

    errors = run_all([supervisor, reader(1), reader(2)], timeout=90)
    assert errors == [] and unexpected == [], (errors, unexpected)

    # Final state: both indexes agree with the objects.
    for v in values:
        want = [o for o in objs if same_key(o.x, v)]
        assert_same(every.get_by_attribute(x=[v]), want)
        want_evens = [o for o in objs[::2] + added if same_key(o.x, v)]
        assert_same(evens.get_by_attribute(x=[v]), want_evens)
    for t in "tuv":
        assert_same(every.get_by_attribute(tag=t), [o for o in objs if o.tag == t])
    assert len(evens.collect()) == 60 + 60


def test_nested_assignments_never_deadlock_with_readers(contention):
    # Assigning an Indexable value makes every holding index enter that object
    # (and the objects inside it) into its nested indexes. A design that waits
    # for the interpreter lock while holding an index lock, while readers hold
    # the interpreter lock and wait for that index lock, hangs here at once.
    pool = [
        Indexable(level=i % 5, child=Indexable(leaf=i, grandchild=Indexable(deep=i % 3)))
        for i in range(40)
    ]
    objs = [Indexable(owner=pool[i % 40], x=i % 4) for i in range(60)]
    idx = Index()
    idx.add_object_many(objs)
    queries = hasattr(idx, "reduced_query") and hasattr(Q, "eq")
    done = threading.Event()
    unexpected = []
    fresh = []

    def assigner(seed, count):
        rng = random.Random(seed)

        def run():
            deadline = time.monotonic() + 20
            for _ in range(count):
                if time.monotonic() > deadline:
                    break
                o = rng.choice(objs)
                try:
                    o.owner = rng.choice(pool)
                except RuntimeError as e:
                    if not refused(e, {"Already borrowed"}):
                        unexpected.append(e)

        return run

    def adder():
        rng = random.Random(5)
        for i in range(150):
            o = Indexable(owner=rng.choice(pool), x=9)
            while True:
                try:
                    idx.add_object(o)
                    fresh.append(o)
                    break
                except RuntimeError as e:
                    if not refused(e):
                        unexpected.append(e)
                        return

    def reader(seed):
        rng = random.Random(seed)

        def run():
            while not done.is_set():
                try:
                    idx.get_by_attribute(owner=rng.choice(pool))
                    idx.get_by_attribute(x=rng.randrange(4))
                    idx.collect()
                    if queries:
                        idx.reduced_query(Q.eq("owner.level", rng.randrange(5))).collect()
                except RuntimeError as e:
                    if not refused(e, {"Already mutably borrowed"}):
                        unexpected.append(e)
                o = rng.choice(objs)
                if o.owner not in pool or o.x not in range(4):
                    unexpected.append(AssertionError("impossible value"))
                repr(o)

        return run

    def supervisor():
        unexpected.extend(run_all([assigner(1, 3000), assigner(2, 1500), adder]))
        done.set()

    errors = run_all([supervisor, reader(3), reader(4)], timeout=90)
    assert errors == [] and unexpected == [], (errors, unexpected)

    everyone = objs + fresh  # construction order
    for p in pool:
        want = [o for o in everyone if o.owner is p]
        assert_same(idx.get_by_attribute(owner=p), want)
    if queries:
        for level in range(5):
            want = [o for o in everyone if o.owner.level == level]
            assert_same(select(idx, Q.eq("owner.level", level)), want)
        for deep in range(3):
            want = [o for o in everyone if o.owner.child.grandchild.deep == deep]
            assert_same(select(idx, Q.eq("owner.child.grandchild.deep", deep)), want)


def test_union_with_ends_with_the_nested_objects_current_values(contention):
    # Two threads keep assigning `c` on their own leaf while this thread
    # unites small indexes whose members hold the leaves (one level down
    # through `n`, two through `m.n`); once the threads stop, every target
    # answers by the leaves' current values.  An assignment that completes
    # while a union copies the source's nested pairs must still reach the
    # target.  A race: the fault shows in some runs only.
    values, unions = 6, 300
    leaves = [Indexable(c=0), Indexable(c=0)]
    mids = [Indexable(n=leaf) for leaf in leaves]
    stop = threading.Event()

    def assign(leaf):
        i = 0
        while not stop.is_set():
            try:
                leaf.c = i % values
            except RuntimeError as e:
                assert refused(e)  # the main thread is reading it
            i += 1

    targets = []

    def unite():
        try:
            for r in range(unions):
                source = Index()
                source.add_object_many([Indexable(n=leaves[k % 2], m=mids[k % 2]) for k in range(6)])
                target = Index()
                if r % 2:
                    target.add_object(Indexable(n=leaves[0], m=mids[1]))  # holding some already
                while True:
                    try:
                        target.union_with(source)
                        break
                    except RuntimeError as e:
                        assert refused(e)
                targets.append(target)
        finally:
            stop.set()

    assert run_all([unite] + [lambda leaf=leaf: assign(leaf) for leaf in leaves], 100) == []
    wrong = []
    for t, target in enumerate(targets):
        members = target.collect()
        for v in range(values):
            for path in ("n.c", "m.n.c"):
                want = [h for h in members if (h.n if path == "n.c" else h.m.n).c == v]
                if target.reduced_query(Q.eq(path, v)).collect() != want:
                    wrong.append((t, path, v))
    assert not wrong, "%d stale answers, the first: %s" % (len(wrong), wrong[:5])
