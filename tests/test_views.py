"""FilteredIndex views: narrowing, collecting, rebuilding and lifetime."""

import faulthandler
import gc
import platform
import random
import sys
import threading
import time
import weakref

import pytest

from Corvane import FilteredIndex, Index, Indexable, PyQueryExpr as Q

from conftest import make_index

CPYTHON = platform.python_implementation() == "CPython"


def collect_garbage():
    for _ in range(3):
        gc.collect()


def everything(index_or_view):
    """All members, through the expression that selects the whole universe."""
    return index_or_view.reduced_query(Q.and_()).collect()


def build_five():
    """Five objects, x alternating 0/1, n = 0..4, in one index."""
    objs = [Indexable(x=i % 2, n=i, tag="t%d" % i) for i in range(5)]
    return make_index(*objs), objs


@pytest.fixture
def five():
    return build_five()


# --------------------------------------------------------------------------
# making views


class TestMakingViews:
    def test_reduced_returns_a_view_and_leaves_the_index_alone(self, five):
        idx, o = five
        view = idx.reduced(x=1)
        assert type(view) is FilteredIndex
        assert view.collect() == [o[1], o[3]]
        assert idx.collect() == o
        assert idx.get_by_attribute(x=0) == [o[0], o[2], o[4]]

    def test_reduced_keyword_forms(self, five):
        idx, o = five
        assert idx.reduced(n=[0, 4, 9]).collect() == [o[0], o[4]]
        assert idx.reduced(x=0, n=(1, 2, 3)).collect() == [o[2]]
        assert idx.reduced(tag="t3").collect() == [o[3]]
        assert idx.reduced(missing=1).collect() == []
        assert idx.reduced(x=[]).collect() == []

    def test_no_keywords_select_nothing(self, five):
        idx, _ = five
        view = idx.reduced()
        assert view.collect() == []
        assert view.reduced().collect() == []
        assert idx.reduced(x=1).reduced().collect() == []
        assert everything(view) == []

    def test_reduced_query(self, five):
        idx, o = five
        view = idx.reduced_query(Q.gt("n", 2))
        assert type(view) is FilteredIndex
        assert view.collect() == [o[3], o[4]]

    def test_collect_keeps_id_order_and_identity(self):
        objs = [Indexable(k=1) for _ in range(6)]
        idx = Index()
        for o in reversed(objs):
            idx.add_object(o)
        got = idx.reduced(k=1).collect()
        assert len(got) == 6 and all(a is b for a, b in zip(got, objs))
        assert idx.reduced_query(Q.eq("k", 1)).collect() == objs

    def test_collect_returns_a_new_list_each_time(self, five):
        idx, _ = five
        view = idx.reduced(x=1)
        first = view.collect()
        first.clear()
        assert len(view.collect()) == 2

    def test_no_constructor(self):
        with pytest.raises(TypeError) as info:
            FilteredIndex()
        assert str(info.value) == "No constructor defined for FilteredIndex"

    def test_argument_errors(self, five):
        idx, _ = five
        view = idx.reduced(x=1)
        for target in (idx, view):
            with pytest.raises(TypeError) as info:
                target.reduced_query(5)
            assert str(info.value) == (
                "argument 'query': 'int' object cannot be converted to 'PyQueryExpr'"
            )
        with pytest.raises(TypeError) as info:
            view.reduced_query(view)
        assert str(info.value) == (
            "argument 'query': 'FilteredIndex' object cannot be converted to 'PyQueryExpr'"
        )
        with pytest.raises(TypeError) as info:
            view.reduced_query()
        assert str(info.value) == (
            "FilteredIndex.reduced_query() missing 1 required positional argument: 'query'"
        )
        with pytest.raises(TypeError) as info:
            view.reduced(1)
        assert str(info.value) == (
            "FilteredIndex.reduced() takes 0 positional arguments but 1 was given"
        )
        with pytest.raises(TypeError) as info:
            view.collect(1)
        assert str(info.value) == (
            "FilteredIndex.collect() takes 0 positional arguments but 1 was given"
        )
        with pytest.raises(TypeError) as info:
            view.rebase(x=1)
        assert str(info.value) == "FilteredIndex.rebase() got an unexpected keyword argument 'x'"

    def test_text_signatures(self):
        sigs = {"reduced": "($self, **kwargs)", "reduced_query": "($self, query)",
                "collect": "($self)", "rebase": "($self)"}
        for name, sig in sigs.items():
            f = getattr(FilteredIndex, name)
            got = getattr(f, "__text_signature__", None)
            if got is None and f.__doc__:
                got = f.__doc__.partition("\n--\n\n")[0][len(name):]
            if got is None and not CPYTHON:
                continue  # this interpreter does not show method docstrings
            assert got == sig, name


# --------------------------------------------------------------------------
# narrowing a view


class TestNarrowing:
    def test_chains_keep_only_ids_present_in_every_view(self, five):
        idx, o = five
        v1 = idx.reduced(x=0)  # 0, 2, 4
        v2 = v1.reduced_query(Q.gt("n", 0))  # 2, 4
        v3 = v2.reduced(n=[1, 2, 3, 4])  # 2, 4
        v4 = v3.reduced_query(Q.ne("n", 4))  # 2
        assert v1.collect() == [o[0], o[2], o[4]]
        assert v2.collect() == [o[2], o[4]]
        assert v3.collect() == [o[2], o[4]]
        assert v4.collect() == [o[2]]
        # Narrowing never brings back ids outside the view.
        assert v2.reduced(x=[0, 1]).collect() == [o[2], o[4]]
        assert everything(v2) == [o[2], o[4]]
        assert v2.reduced_query(Q.not_(Q.eq("n", 2))).collect() == [o[4]]
        assert v2.reduced_query(Q.or_(Q.eq("n", 1), Q.eq("n", 3))).collect() == []
        # Earlier views are unchanged by later narrowing.
        assert v1.collect() == [o[0], o[2], o[4]]

    def test_reduced_query_ranges_over_the_view(self, five):
        idx, o = five
        view = idx.reduced(x=1)
        assert view.reduced_query(Q.in_("n", [0, 1, 2, 3])).collect() == [o[1], o[3]]
        assert view.reduced_query(Q.lt("n", 100)).collect() == [o[1], o[3]]
        assert view.reduced_query(Q.not_(Q.or_())).collect() == [o[1], o[3]]

    def test_later_assignments_are_seen_when_narrowing(self, five):
        idx, o = five
        view = idx.reduced(x=1)  # 1, 3
        o[1].x = 2
        o[3].n = 30
        # The view keeps its ids whether or not they still match.
        assert view.collect() == [o[1], o[3]]
        assert view.reduced(x=1).collect() == [o[3]]
        assert view.reduced(x=2).collect() == [o[1]]
        assert view.reduced_query(Q.eq("x", 2)).collect() == [o[1]]
        assert view.reduced_query(Q.gt("n", 10)).collect() == [o[3]]
        assert view.reduced_query(Q.ne("x", 1)).collect() == [o[1]]

    def test_later_additions_never_enter(self, five):
        idx, o = five
        view = idx.reduced(x=1)
        late = Indexable(x=1, n=99)
        idx.add_object(late)
        assert idx.get_by_attribute(x=1) == [o[1], o[3], late]
        assert view.collect() == [o[1], o[3]]
        assert view.reduced(x=1).collect() == [o[1], o[3]]
        assert view.reduced_query(Q.eq("x", 1)).collect() == [o[1], o[3]]
        assert view.reduced_query(Q.gt("n", 50)).collect() == []
        assert everything(view) == [o[1], o[3]]
        # An object already in the view that is added again stays once.
        idx.add_object(o[1])
        assert view.collect() == [o[1], o[3]]

    def test_hidden_names_are_not_filters(self):
        o = Indexable(_h=1, x=1)
        idx = make_index(o)
        assert idx.reduced(_h=1).collect() == []
        assert idx.reduced(x=1).reduced(_h=1).collect() == []


# --------------------------------------------------------------------------
# rebase


class TestRebase:
    def test_empty_view(self, five):
        idx, _ = five
        new = idx.reduced(x=5).rebase()
        assert type(new) is Index
        assert new.collect() == []
        assert new.get_by_attribute(x=1) == []
        assert everything(new) == []
        new.add_object(Indexable(x=1))
        assert len(new.get_by_attribute(x=1)) == 1

    def test_non_empty_view(self):
        objs = [Indexable(x=i, _h=i * 10) for i in range(6)]
        idx = make_index(*objs)
        view = idx.reduced(x=[4, 1])
        new = view.rebase()
        assert type(new) is Index
        assert new.collect() == [objs[1], objs[4]]
        assert everything(new) == [objs[1], objs[4]]
        assert new.get_by_attribute(x=4) == [objs[4]]
        assert new.get_by_attribute(x=2) == []
        assert new.reduced_query(Q.gt("x", 1)).collect() == [objs[4]]
        # Hidden names are entered by a rebuild, and only then.
        assert new.get_by_attribute(_h=40) == [objs[4]]
        assert new.reduced_query(Q.eq("_h", 10)).collect() == [objs[1]]
        assert idx.get_by_attribute(_h=40) == []

    def test_uses_current_values(self, five):
        idx, o = five
        view = idx.reduced(x=1)
        o[1].x = 7
        o[1]._h = "late"
        new = view.rebase()
        assert new.get_by_attribute(x=7) == [o[1]]
        assert new.get_by_attribute(x=1) == [o[3]]
        assert new.get_by_attribute(_h="late") == [o[1]]

    def test_rebased_index_is_kept_current_by_assignments(self, five):
        idx, o = five
        new = idx.reduced(x=1).rebase()
        o[1].x = 10
        assert new.get_by_attribute(x=10) == [o[1]]
        assert new.get_by_attribute(x=1) == [o[3]]
        assert idx.get_by_attribute(x=10) == [o[1]]
        assert new.reduced_query(Q.ge("x", 10)).collect() == [o[1]]
        o[3].extra = "new"
        assert new.get_by_attribute(extra="new") == [o[3]]

    def test_later_hidden_assignments_are_not_propagated(self):
        o = Indexable(x=1, _h=5)
        idx = make_index(o)
        new = idx.reduced(x=1).rebase()
        o._h = 6
        assert o._h == 6
        assert new.get_by_attribute(_h=5) == [o]
        assert new.get_by_attribute(_h=6) == []

    def test_rebased_index_is_independent(self, five):
        idx, o = five
        new = idx.reduced(x=0).rebase()
        extra_old, extra_new = Indexable(x=0), Indexable(x=0)
        idx.add_object(extra_old)
        new.add_object(extra_new)
        assert new.get_by_attribute(x=0) == [o[0], o[2], o[4], extra_new]
        assert idx.get_by_attribute(x=0) == [o[0], o[2], o[4], extra_old]
        assert new.collect() == [o[0], o[2], o[4], extra_new]

    def test_survives_the_view_and_the_origin(self):
        idx, o = build_five()
        view = idx.reduced(x=1)
        new = view.rebase()
        del view, idx
        collect_garbage()
        assert new.collect() == [o[1], o[3]]
        assert new.get_by_attribute(n=3) == [o[3]]
        assert new.reduced_query(Q.lt("n", 2)).collect() == [o[1]]
        o[1].n = 33
        assert new.get_by_attribute(n=33) == [o[1]]
        assert new.reduced(n=33).rebase().collect() == [o[1]]

    def test_nested_values_are_rebuilt(self):
        owner = Indexable(name="ann", age=3)
        pet = Indexable(kind="dog", owner=owner)
        idx = make_index(pet, Indexable(kind="cat"))
        new = idx.reduced(kind="dog").rebase()
        assert new.reduced_query(Q.eq("owner.name", "ann")).collect() == [pet]
        assert new.reduced_query(Q.gt("owner.age", 2)).collect() == [pet]
        assert new.get_by_attribute(owner=owner) == [pet]

    def test_objects_referring_to_themselves(self):
        o = Indexable(name="self")
        idx = make_index(o)
        o.me = o
        p, q = Indexable(name="p"), Indexable(name="q")
        p.other, q.other = q, p
        idx.add_object_many([p, q])
        new = idx.reduced(name=["self", "p", "q"]).rebase()
        assert new.collect() == [o, p, q]
        assert new.get_by_attribute(me=o) == [o]
        assert new.get_by_attribute(other=q) == [p]
        assert new.reduced_query(Q.eq("other.name", "p")).collect() == [q]
        # Both indexes stay usable and current.
        o.name = "renamed"
        assert new.get_by_attribute(name="renamed") == [o]
        assert idx.get_by_attribute(name="renamed") == [o]


# --------------------------------------------------------------------------
# lifetime


class TestLifetime:
    def test_view_works_after_its_index_is_gone(self):
        idx, o = build_five()
        view = idx.reduced(x=1)
        del idx
        collect_garbage()
        assert view.collect() == [o[1], o[3]]
        assert view.reduced(n=3).collect() == [o[3]]
        assert view.reduced_query(Q.gt("n", 0)).collect() == [o[1], o[3]]

    def test_assignments_no_longer_reach_a_view_of_a_dropped_index(self):
        idx, o = build_five()
        view = idx.reduced(x=1)
        del idx
        collect_garbage()
        o[1].x = 2
        assert o[1].x == 2
        # The maps the view still holds keep the old value.
        assert view.reduced(x=1).collect() == [o[1], o[3]]
        assert view.reduced(x=2).collect() == []
        assert view.reduced_query(Q.eq("x", 1)).collect() == [o[1], o[3]]
        # A rebuild reads the objects themselves.
        assert view.rebase().get_by_attribute(x=2) == [o[1]]

    def test_view_keeps_its_objects_alive(self):
        class Pet(Indexable):
            pass

        idx = Index()
        idx.add_object(Pet(k=1))
        ref = weakref.ref(idx.collect()[0])
        view = idx.reduced(k=1)
        del idx
        collect_garbage()
        got = view.collect()
        assert len(got) == 1 and type(got[0]) is Pet and got[0].k == 1
        assert ref() is got[0]

    def test_views_of_views_outlive_everything_before_them(self):
        idx, o = build_five()
        inner = idx.reduced(x=0).reduced_query(Q.gt("n", 1))
        del idx
        collect_garbage()
        assert inner.collect() == [o[2], o[4]]
        assert inner.reduced(n=4).collect() == [o[4]]


# --------------------------------------------------------------------------
# mends M10 (cyclic garbage collection) and M11 (filter iterator errors)


class Boom(Exception):
    pass


def failing_values():
    yield 1
    raise Boom("iterator failed")


class TestKeywordIteratorErrors:
    """M11: an error raised while a filter value is iterated reaches the
    caller unchanged."""

    def test_index_reduced(self, five):
        idx, o = five
        with pytest.raises(Boom):
            idx.reduced(x=failing_values())
        assert idx.reduced(x=1).collect() == [o[1], o[3]]

    def test_view_reduced(self, five):
        idx, o = five
        view = idx.reduced(x=1)
        with pytest.raises(Boom):
            view.reduced(n=failing_values())
        assert view.reduced(n=3).collect() == [o[3]]


class TestCycles:
    """M10: objects that refer to each other are collected once no index,
    view or rebuilt index holds them."""

    def test_indexed_cycles_are_collected_after_everything_is_dropped(self):
        class Node(Indexable):
            pass

        a, b = Node(name="a"), Node(name="b")
        a.peer, b.peer = b, a
        solo = Node(name="solo")
        idx = Index()
        idx.add_object_many([a, b])
        idx.add_object(solo)
        solo.me = solo
        view = idx.reduced(name=["a", "b", "solo"])
        rebuilt = view.rebase()
        refs = [weakref.ref(x) for x in (a, b, solo)]
        del a, b, solo
        collect_garbage()
        assert all(r() is not None for r in refs)
        assert [x.name for x in rebuilt.collect()] == ["a", "b", "solo"]
        del idx, view, rebuilt
        collect_garbage()
        if CPYTHON:  # PyPy's C-API layer does not collect cycles through extension objects
            assert all(r() is None for r in refs)


# --------------------------------------------------------------------------
# threads


BUSY = ("Already borrowed", "Already mutably borrowed")


class TestConcurrency:
    """Views, rebuilds, expression queries and reduce running beside
    assignments of nested objects, which make the indexes enter those objects
    while other threads query the same maps.  Only the use-conflict errors
    may occur, nothing may hang, and the indexes end up consistent."""

    @pytest.mark.parametrize("with_reduce", [False, True])
    def test_views_and_reduce_beside_assignments(self, with_reduce):
        owners = [Indexable(name="o%d" % i, rank=i) for i in range(8)]
        holders = [Indexable(v=i % 5, owner=owners[i % 8]) for i in range(48)]
        idx = make_index(*holders)
        narrowed = make_index(*holders)
        errors = []
        deadline = time.monotonic() + 1.5

        def guarded(call):
            try:
                call()
            except RuntimeError as e:
                if str(e) not in BUSY:
                    errors.append(e)
            except BaseException as e:  # noqa: B902 - report anything else
                errors.append(e)

        def writer(mine, seed):
            r = random.Random(seed)
            while time.monotonic() < deadline:
                h = r.choice(mine)
                fresh = r.random() < 0.2
                new_owner = Indexable(name="fresh", rank=99) if fresh else r.choice(owners)
                guarded(lambda: setattr(h, "owner", new_owner))
                guarded(lambda: setattr(h, "v", r.randint(0, 4)))

        def reader(seed):
            r = random.Random(seed)
            view = idx.reduced(v=[0, 1, 2, 3, 4])
            ops = [
                lambda: idx.reduced_query(Q.eq("owner.name", "o%d" % r.randint(0, 7))).collect(),
                lambda: idx.reduced(v=[1, 2]).reduced_query(Q.gt("owner.rank", 3)).collect(),
                lambda: view.reduced_query(Q.and_(Q.lt("v", 3), Q.ne("owner.rank", 2))).collect(),
                lambda: view.reduced(v=r.randint(0, 4)).collect(),
                lambda: view.collect(),
                lambda: idx.reduced(v=r.randint(0, 4)).rebase().reduced_query(Q.eq("owner.rank", 1)),
            ]
            if with_reduce:
                ops.append(lambda: narrowed.reduce(v=[0, 1, 2, 3, 4]))
            else:
                ops.append(lambda: narrowed.reduced(v=[0, 1, 2, 3, 4]).collect())
            while time.monotonic() < deadline:
                guarded(r.choice(ops))

        half = len(holders) // 2
        threads = [
            threading.Thread(target=writer, args=(holders[:half], 1)),
            threading.Thread(target=writer, args=(holders[half:], 2)),
        ] + [threading.Thread(target=reader, args=(10 + i,)) for i in range(3)]

        old_interval = sys.getswitchinterval()
        watchdog = hasattr(faulthandler, "dump_traceback_later")
        if watchdog:
            # A hang fails the run; the real stderr, since pytest may have
            # replaced sys.stderr by an object without a file descriptor.
            faulthandler.dump_traceback_later(120, exit=True, file=sys.__stderr__)
        sys.setswitchinterval(1e-5)
        try:
            for t in threads:
                t.start()
            for t in threads:
                t.join(60)
            assert not any(t.is_alive() for t in threads), "threads did not finish"
        finally:
            sys.setswitchinterval(old_interval)
            if watchdog:
                faulthandler.cancel_dump_traceback_later()

        assert errors == []
        for index in (idx, narrowed):
            for k in range(5):
                assert index.get_by_attribute(v=k) == [h for h in holders if h.v == k]
            for owner in owners:
                got = index.reduced_query(Q.eq("owner", owner)).collect()
                assert got == [h for h in holders if h.owner is owner]
            for i in range(8):
                got = index.reduced_query(Q.eq("owner.name", "o%d" % i)).collect()
                assert got == [h for h in holders if h.owner.name == "o%d" % i]
            got = index.reduced_query(Q.gt("owner.rank", 50)).collect()
            assert got == [h for h in holders if h.owner.rank > 50]
