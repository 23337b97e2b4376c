"""Index: construction, adding objects, listing them and finding them by
keyword equality."""

import random
import sys
import threading

import pytest

from Corvane import Index, Indexable, PyQueryExpr
from conftest import Obj, assert_same, needs_queries, same_key, select


def test_empty_index():
    idx = Index()
    assert idx.collect() == []
    assert idx.get_by_attribute(x=1) == []
    assert idx.get_by_attribute() == []
    assert idx.add_object_many([]) is None
    assert idx.collect() == []


def test_results_are_new_lists_in_id_order():
    o1, o2, o3 = Indexable(x=5), Indexable(x=5), Indexable(x=6)
    idx = Index()
    assert idx.add_object(o3) is None
    assert idx.add_object(o2) is None
    assert idx.add_object(o1) is None
    first = idx.collect()
    assert type(first) is list
    assert_same(first, [o1, o2, o3])
    first.clear()  # results are fresh lists, not views of the index
    assert_same(idx.collect(), [o1, o2, o3])
    assert_same(idx.get_by_attribute(x=5), [o1, o2])


def test_add_object_many_accepts_sequences():
    objs = [Indexable(x=i) for i in range(6)]
    idx = Index()
    assert idx.add_object_many(tuple(objs[3:])) is None
    idx.add_object_many(objs[:3])
    assert_same(idx.collect(), objs)
    for i, o in enumerate(objs):
        assert_same(idx.get_by_attribute(x=i), [o])


def test_lookup_with_several_keywords_intersects():
    a = Indexable(x=5, y=1)
    b = Indexable(x=5, y=2)
    c = Indexable(x=6, y=1)
    idx = Index()
    idx.add_object_many([a, b, c])
    assert_same(idx.get_by_attribute(x=5, y=1), [a])
    assert_same(idx.get_by_attribute(x=[5, 6], y=1), [a, c])
    assert idx.get_by_attribute(x=6, y=2) == []
    assert idx.get_by_attribute(x=5, nosuch=1) == []
    assert idx.get_by_attribute(nosuch=1) == []


@pytest.mark.parametrize(
    "filter_value, expected",
    [
        ([5, 6], "ab"),
        ((5, 6), "ab"),
        ({5, 6}, "ab"),
        (frozenset([6]), "b"),
        ({5: "ignored", 7: "values"}, "a"),
        (range(4, 6), "a"),
        (b"\x05\x06", "ab"),
        (bytearray(b"\x06"), "b"),
        ([], ""),
        ([5, 5, 5.0, 5], "a"),
        (5, "a"),
        ("ab", "c"),
        (["ab", 5], "ac"),
        ([(1, 2)], "d"),
        ((1, 2), ""),
        (None, "e"),
    ],
)
def test_filter_values(filter_value, expected):
    objs = {
        "a": Indexable(x=5),
        "b": Indexable(x=6),
        "c": Indexable(x="ab"),
        "d": Indexable(x=(1, 2)),
        "e": Indexable(x=None),
        "f": Indexable(x="a"),
    }
    idx = Index()
    idx.add_object_many(list(objs.values()))
    assert_same(idx.get_by_attribute(x=filter_value), [objs[k] for k in expected])


def test_generator_and_iterator_filters():
    objs = [Indexable(x=i) for i in range(5)]
    idx = Index()
    idx.add_object_many(objs)
    assert_same(idx.get_by_attribute(x=(i for i in (4, 1))), [objs[1], objs[4]])
    assert_same(idx.get_by_attribute(x=iter([2])), [objs[2]])


def test_value_that_refuses_iteration_is_one_value():
    class NotReallyIterable(int):
        def __iter__(self):
            raise ValueError("no")

    seven = Indexable(x=7)
    idx = Index()
    idx.add_object_many([Indexable(x=8), seven])
    assert_same(idx.get_by_attribute(x=NotReallyIterable(7)), [seven])


def test_error_raised_while_iterating_a_filter_reaches_caller():
    # The iterator's own exception, not an internal failure (mend M11).
    def gen():
        yield 1
        raise ZeroDivisionError("from the filter")

    idx = Index()
    idx.add_object(Indexable(x=1))
    with pytest.raises(ZeroDivisionError):
        idx.get_by_attribute(x=gen())
    assert len(idx.get_by_attribute(x=1)) == 1


def test_names_with_dots_are_whole_names():
    o = Indexable(**{"a.b": 1})
    idx = Index()
    idx.add_object(o)
    assert_same(idx.get_by_attribute(**{"a.b": 1}), [o])
    assert idx.get_by_attribute(a=1) == []


def test_hidden_names_are_not_indexed():
    hidden_only = Indexable(_h=1)
    mixed = Indexable(_h=1, a=2)
    idx = Index()
    idx.add_object(hidden_only)
    idx.add_object_many([mixed])
    assert_same(idx.collect(), [hidden_only, mixed])
    assert idx.get_by_attribute(_h=1) == []
    assert_same(idx.get_by_attribute(a=2), [mixed])


def test_only_the_objects_own_attributes_are_indexed():
    class WithClassAttr(Indexable):
        kind = "k"

    o = WithClassAttr(x=1)
    idx = Index()
    idx.add_object(o)
    assert idx.get_by_attribute(kind="k") == []
    assert_same(idx.get_by_attribute(x=1), [o])


def test_nested_indexable_values():
    inner = Indexable(z=1)
    o = Indexable(inner=inner, x=1)
    other = Indexable(inner=Indexable(z=1))
    idx = Index()
    idx.add_object_many([o, other])
    assert_same(idx.get_by_attribute(inner=inner), [o])
    assert_same(idx.get_by_attribute(inner=[inner, other.inner]), [o, other])
    # The inner objects live in the attribute's own nested index only.
    assert_same(idx.collect(), [o, other])
    assert idx.get_by_attribute(z=1) == []


@needs_queries
def test_nested_values_reachable_by_dotted_paths():
    deep = Indexable(w=3)
    inner = Indexable(z=1, deep=deep)
    o = Indexable(inner=inner)
    idx = Index()
    idx.add_object(o)
    assert_same(select(idx, PyQueryExpr.eq("inner.z", 1)), [o])
    assert_same(select(idx, PyQueryExpr.eq("inner.deep.w", 3)), [o])
    assert select(idx, PyQueryExpr.eq("inner.z", 2)) == []


def test_lookup_results_hold_each_object_once():
    objs = [Indexable(x=i % 3, y=i % 2) for i in range(30)]
    shuffled = list(objs)
    random.Random(3).shuffle(shuffled)
    idx = Index()
    idx.add_object_many(shuffled)
    got = idx.get_by_attribute(x=[0, 1, 0, 1.0, True], y=[0, 1, False])
    assert_same(got, [o for o in objs if o.x in (0, 1)])


def test_lookups_match_brute_force_over_mixed_values():
    rng = random.Random(11)
    pool = [0, 1, -1, -2, 2.5, -1.0, True, False, None, "a", "b", "", (1,), 2**70, [1], 0.0]
    objs = [Indexable(x=rng.choice(pool), y=rng.choice(pool)) for _ in range(300)]
    idx = Index()
    idx.add_object_many(objs[::2])
    for o in objs[1::2]:
        idx.add_object(o)
    probes = [0, 1, -1, -2, 2.5, "a", "", None, (1,), 2**70, 3]
    for p in probes:
        expected = [o for o in objs if same_key(o.x, p)]
        assert_same(idx.get_by_attribute(x=[p]), expected)
    for p, q in [(1, "a"), (-1, -2), (None, 0)]:
        expected = [o for o in objs if same_key(o.x, p) and same_key(o.y, q)]
        assert_same(idx.get_by_attribute(x=[p], y=[q]), expected)


# --- adding again (no duplicate records) --------------------------------------------------


def test_adding_the_same_object_twice():
    o = Indexable(x=1)
    idx = Index()
    idx.add_object(o)
    idx.add_object(o)
    idx.add_object_many([o])
    assert_same(idx.collect(), [o])
    assert_same(idx.get_by_attribute(x=1), [o])
    o.x = 2
    assert idx.get_by_attribute(x=1) == []
    assert_same(idx.get_by_attribute(x=2), [o])
    o.x = 3
    assert idx.get_by_attribute(x=2) == []
    assert_same(idx.get_by_attribute(x=3), [o])


@needs_queries
def test_adding_many_numbers_again_keeps_the_range_index_exact():
    # Enough values for a multi-level range index, so that re-entering them
    # meets pairs already held inside the tree.
    objs = [Indexable(x=i % 500, y=float(i)) for i in range(3000)]
    idx = Index()
    idx.add_object_many(objs)
    idx.add_object_many(objs)
    for o in objs[::7]:
        idx.add_object(o)
    assert_same(select(idx, PyQueryExpr.bt("x", 10, 12)), [o for o in objs if 10 <= o.x <= 12])
    for o in objs[:1000]:
        o.x = 1000 + o.x
    assert_same(select(idx, PyQueryExpr.bt("x", 10, 12)), [o for o in objs if 10 <= o.x <= 12])
    assert_same(select(idx, PyQueryExpr.ge("x", 1000)), objs[:1000])
    assert_same(select(idx, PyQueryExpr.lt("y", 5)), objs[:5])


# --- nesting cycles and objects that refer to themselves ---------------------------------


def test_nesting_cycle_terminates():
    a, b = Indexable(), Indexable()
    a.x = b
    b.y = a
    idx = Index()
    idx.add_object(a)
    idx.add_object(b)
    assert_same(idx.get_by_attribute(x=b), [a])
    assert_same(idx.get_by_attribute(y=a), [b])
    a.z = 1
    assert_same(idx.get_by_attribute(z=1), [a])


@needs_queries
def test_dotted_paths_through_a_cycle():
    a, b = Indexable(name="a"), Indexable(name="b")
    a.x = b
    b.y = a
    idx = Index()
    idx.add_object(a)
    assert_same(select(idx, PyQueryExpr.eq("x.name", "b")), [a])
    assert_same(select(idx, PyQueryExpr.eq("x.y", a)), [a])


def test_object_in_its_own_attribute():
    o = Indexable(x=1)
    idx = Index()
    idx.add_object(o)
    o.x = o
    assert o.x is o
    assert_same(idx.get_by_attribute(x=o), [o])
    o.x = 2  # the index is still fully usable
    assert_same(idx.get_by_attribute(x=2), [o])
    assert idx.get_by_attribute(x=o) == []
    s = Indexable()
    s.me = s
    idx.add_object(s)
    assert_same(idx.get_by_attribute(me=s), [s])


def test_batch_of_objects_referring_to_each_other():
    a, b, c = Indexable(n=1), Indexable(n=2), Indexable(n=3)
    a.x, b.x, c.x = b, a, c
    idx = Index()
    idx.add_object_many([a, b, c])
    assert_same(idx.collect(), [a, b, c])
    assert_same(idx.get_by_attribute(x=a), [b])
    assert_same(idx.get_by_attribute(x=b), [a])
    assert_same(idx.get_by_attribute(x=c), [c])
    a.x = 5
    assert_same(idx.get_by_attribute(x=5), [a])


@needs_queries
def test_batch_of_objects_referring_to_each_other_dotted():
    a, b = Indexable(n=1), Indexable(n=2)
    a.x, b.x = b, a
    idx = Index()
    idx.add_object_many([a, b])
    assert_same(select(idx, PyQueryExpr.eq("x.n", 2)), [a])
    assert_same(select(idx, PyQueryExpr.eq("x.x", a)), [a])


# --- use conflicts -------------------------------------------------------------------------


def test_object_listed_twice_in_a_batch():
    a, b = Indexable(x=1), Indexable(x=2)
    idx = Index()
    with pytest.raises(RuntimeError) as e:
        idx.add_object_many([a, b, a])
    assert str(e.value) == "Already borrowed"
    assert idx.collect() == []
    assert idx.get_by_attribute(x=[1, 2]) == []
    # Every use taken before the refusal was given back.
    a.x, b.x = 3, 4
    idx.add_object_many([a, b])
    assert_same(idx.get_by_attribute(x=[3, 4]), [a, b])


def test_batch_with_a_foreign_element_adds_nothing():
    a = Indexable(x=1)
    idx = Index()
    with pytest.raises(TypeError):
        idx.add_object_many([a, "not indexable"])
    assert idx.collect() == []
    a.x = 2
    idx.add_object(a)
    assert_same(idx.get_by_attribute(x=2), [a])


class ProbingSequence:
    """A sequence whose element access runs a probe (which calls back into the
    index being filled)."""

    def __init__(self, items, probe):
        self.items = items
        self.probe = probe
        self.results = []

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        self._run()
        return self.items[i]

    def __iter__(self):
        self._run()
        return iter(self.items)

    def _run(self):
        try:
            self.results.append(self.probe())
        except RuntimeError as e:
            self.results.append(str(e))


def test_index_is_in_exclusive_use_while_a_batch_is_converted():
    idx = Index()
    other = Indexable()
    for probe, message in [
        (idx.collect, "Already mutably borrowed"),
        (lambda: idx.get_by_attribute(x=1), "Already mutably borrowed"),
        (lambda: idx.add_object(other), "Already borrowed"),
    ]:
        seq = ProbingSequence([Indexable(x=1)], probe)
        idx.add_object_many(seq)
        assert seq.results and set(seq.results) == {message}
    assert len(idx.collect()) == 3
    assert len(idx.get_by_attribute(x=1)) == 3


def test_index_is_in_shared_use_while_a_lookup_converts_filters():
    idx = Index()
    o = Indexable(x=1)
    idx.add_object(o)
    calls = []

    class Probe:
        def __iter__(self):
            calls.append(len(idx.collect()))
            calls.append(idx.get_by_attribute(x=1))
            try:
                idx.add_object(Indexable(x=1))
            except RuntimeError as e:
                calls.append(str(e))
            return iter([1])

    assert_same(idx.get_by_attribute(x=Probe()), [o])
    assert calls[0] == 1
    assert_same(calls[1], [o])
    assert calls[2] == "Already borrowed"
    assert_same(idx.collect(), [o])


def test_add_object_holds_the_object_exclusively():
    # An add of an object whose assignment is in progress is refused the
    # exclusive use it needs for the whole call.
    o = Indexable(x=1)
    idx = Index()
    errors = []

    class Sneaky(int):
        def __hash__(self):
            try:
                idx.add_object(o)
            except RuntimeError as e:
                errors.append(str(e))
            return 2

    o.x = Sneaky(2)
    assert errors == ["Already borrowed"]
    assert idx.collect() == []
    idx.add_object(o)
    assert_same(idx.get_by_attribute(x=2), [o])


def test_assignments_racing_with_add_object_are_never_lost():
    # Whether an assignment lands before or after the add, or is refused, the
    # index must end up agreeing with the object.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for round_ in range(150):
            idx = Index()
            objs = [Indexable(x=0, pad=list(range(20)), n=i) for i in range(4)]
            go = threading.Event()
            unexpected = []

            def assign():
                go.wait(5)
                for k in range(1, 40):
                    for o in objs:
                        try:
                            o.x = k
                        except RuntimeError as e:
                            if str(e) != "Already borrowed":
                                unexpected.append(e)
                        except BaseException as e:
                            unexpected.append(e)

            t = threading.Thread(target=assign)
            t.start()
            go.set()
            for o in objs:
                while True:
                    try:
                        idx.add_object(o)
                        break
                    except RuntimeError as e:
                        assert str(e) == "Already borrowed"
            t.join(10)
            assert not t.is_alive()
            assert unexpected == []
            for o in objs:
                assert o in idx.get_by_attribute(x=o.x), (round_, o.n, o.x)
                assert len(idx.get_by_attribute(n=o.n, x=[v for v in range(40) if v != o.x])) == 0
    finally:
        sys.setswitchinterval(old)
