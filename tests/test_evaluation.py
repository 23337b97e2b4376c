"""What query expressions select, through Index.reduced_query(...).collect()."""

import math
import random

import pytest

import Corvane
from Corvane import Index, Indexable, PyQueryExpr as Q

from conftest import make_index, select
from reference_model import value_part

PanicException = Corvane.PanicException

NAN = float("nan")
NEG_NAN = math.copysign(float("nan"), -1.0)
INF = float("inf")


def panics(idx, expr):
    with pytest.raises(PanicException) as info:
        idx.reduced_query(expr)
    return str(info.value)


# --------------------------------------------------------------------------
# equality, inequality, membership


class TestEquality:
    def test_eq_matches_equal_keys_only(self):
        one, one_f, true, two, s = (Indexable(x=v) for v in (1, 1.0, True, 2, "1"))
        idx = make_index(one, one_f, true, two, s)
        assert select(idx, Q.eq("x", 1)) == [one, one_f, true]
        assert select(idx, Q.eq("x", True)) == [one, one_f, true]
        assert select(idx, Q.eq("x", "1")) == [s]
        assert select(idx, Q.eq("x", 3)) == []

    def test_eq_keeps_colliding_numbers_apart(self):
        # hash(-1) == hash(-2) in CPython and PyPy; they stay different keys.
        m1, m2 = Indexable(x=-1), Indexable(x=-2)
        idx = make_index(m1, m2)
        assert select(idx, Q.eq("x", -1)) == [m1]
        assert select(idx, Q.eq("x", -2)) == [m2]
        assert select(idx, Q.eq("x", -2.0)) == [m2]
        assert select(idx, Q.ne("x", -1)) == [m2]

    def test_eq_on_unhashable_values_is_by_identity(self):
        lst, zero, other = Indexable(x=[1]), Indexable(x=0), Indexable(x=1)
        idx = make_index(lst, zero, other)
        assert select(idx, Q.eq("x", [])) == []
        assert select(idx, Q.eq("x", [1])) == []  # equal, but another list
        assert select(idx, Q.eq("x", lst.x)) == [lst]
        assert select(idx, Q.in_("x", [lst.x, False])) == [lst, zero]
        assert select(idx, Q.eq("x", 0.0)) == [zero]

    def test_eq_on_indexable_value_is_by_identity_hash(self):
        inner1, inner2 = Indexable(n=1), Indexable(n=1)
        a, b = Indexable(owner=inner1), Indexable(owner=inner2)
        idx = make_index(a, b)
        assert select(idx, Q.eq("owner", inner1)) == [a]
        assert select(idx, Q.in_("owner", [inner2, inner1])) == [a, b]

    def test_ne_includes_objects_lacking_the_attribute(self):
        red, blue, bare = Indexable(color="red"), Indexable(color="blue"), Indexable(size=1)
        idx = make_index(red, blue, bare)
        assert select(idx, Q.ne("color", "red")) == [blue, bare]
        assert select(idx, Q.ne("color", "green")) == [red, blue, bare]
        assert select(idx, Q.ne("missing", 1)) == [red, blue, bare]
        assert select(idx, Q.not_(Q.eq("missing", 1))) == [red, blue, bare]

    def test_in(self):
        objs = [Indexable(t=v) for v in ("a", "b", "c", 1, 2.0)]
        idx = make_index(*objs)
        assert select(idx, Q.in_("t", ["c", "a"])) == [objs[0], objs[2]]
        assert select(idx, Q.in_("t", ("a", "a", "zz"))) == [objs[0]]
        assert select(idx, Q.in_("t", [2, True])) == [objs[3], objs[4]]
        assert select(idx, Q.in_("t", range(0))) == []
        assert select(idx, Q.in_("t", [])) == []
        assert select(idx, Q.in_("missing", ["a"])) == []

    def test_hidden_names_are_never_reached(self):
        o = Indexable(_h=1, x=1)
        idx = make_index(o)
        assert select(idx, Q.eq("_h", 1)) == []
        assert select(idx, Q.gt("_h", 0)) == []
        assert select(idx, Q.ne("_h", 1)) == [o]

    def test_huge_ints_and_lone_surrogates_are_plain_values(self):
        big, s = Indexable(x=2**70), Indexable(x="\udc80")
        idx = make_index(big, s)
        assert select(idx, Q.eq("x", 2**70)) == [big]
        assert select(idx, Q.eq("x", "\udc80")) == [s]
        # The int enters the range index, the str does not.
        assert select(idx, Q.gt("x", 0)) == [big]
        assert select(idx, Q.lt("x", 0)) == []


# --------------------------------------------------------------------------
# ranges


class TestRanges:
    def test_gt_excludes_the_bound_in_both_kinds(self):
        one, two, two_f, two_half, three = objs = [Indexable(x=v) for v in (1, 2, 2.0, 2.5, 3)]
        idx = make_index(*objs)
        assert select(idx, Q.gt("x", 2)) == [two_half, three]
        assert select(idx, Q.gt("x", 2.0)) == [two_half, three]
        assert select(idx, Q.ge("x", 2)) == [two, two_f, two_half, three]
        assert select(idx, Q.lt("x", 2)) == [one]
        assert select(idx, Q.le("x", 2.0)) == [one, two, two_f]
        assert select(idx, Q.bt("x", 1, 1)) == [one]
        assert select(idx, Q.bt("x", 2, 2.5)) == [two, two_f, two_half]

    def test_bounds_compare_value_parts(self):
        # 1.0000000000000002 differs from 1.0 only in its lowest fraction bit.
        just_above = 1.0000000000000002
        a, b, c = Indexable(x=1), Indexable(x=1.0), Indexable(x=just_above)
        idx = make_index(a, b, c)
        assert select(idx, Q.gt("x", 1.0)) == []
        assert select(idx, Q.gt("x", 1)) == []
        assert select(idx, Q.ge("x", just_above)) == [a, b, c]
        assert select(idx, Q.lt("x", just_above)) == []
        assert select(idx, Q.bt("x", 1, 1)) == [a, b, c]
        # The equality lookup still tells them apart.
        assert select(idx, Q.eq("x", just_above)) == [c]

    def test_odd_int_above_2_52_sorts_above_its_float(self):
        n = 2**52 + 1
        as_int, as_float, even = Indexable(x=n), Indexable(x=float(n)), Indexable(x=2**52)
        idx = make_index(as_int, as_float, even)
        assert select(idx, Q.gt("x", 2**52)) == [as_int]
        assert select(idx, Q.le("x", 2**52)) == [as_float, even]
        assert select(idx, Q.bt("x", float(n), float(n))) == [as_float, even]
        assert select(idx, Q.eq("x", n)) == [as_int, as_float]

    def test_int64_extremes_and_large_floats(self):
        lo, hi = Indexable(x=-(2**63)), Indexable(x=2**63 - 1)
        big_f, small_f = Indexable(x=1e300), Indexable(x=-1e300)
        zero = Indexable(x=0)
        idx = make_index(lo, hi, big_f, small_f, zero)
        assert select(idx, Q.gt("x", 2**62)) == [hi, big_f]
        assert select(idx, Q.lt("x", -(2**62))) == [lo, small_f]
        assert select(idx, Q.gt("x", 9.3e18)) == [big_f]
        assert select(idx, Q.lt("x", -9.3e18)) == [small_f]
        assert select(idx, Q.bt("x", -(2**63), 2**63 - 1)) == [lo, hi, zero]

    def test_zeros_and_subnormals(self):
        objs = [Indexable(x=v) for v in (-0.0, 0.0, 0, 5e-324, -5e-324, 2.2250738585072014e-308)]
        idx = make_index(*objs)
        neg0, pos0, int0, tiny, neg_tiny, normal = objs
        assert select(idx, Q.bt("x", 0, 0)) == [neg0, pos0, int0]
        assert select(idx, Q.gt("x", -0.0)) == [tiny, normal]
        assert select(idx, Q.lt("x", 0)) == [neg_tiny]
        assert select(idx, Q.gt("x", 5e-324)) == [normal]

    def test_nan_and_infinity_sort_by_sign(self):
        pos_nan, neg_nan = Indexable(x=NAN), Indexable(x=NEG_NAN)
        pos_inf, neg_inf, five = Indexable(x=INF), Indexable(x=-INF), Indexable(x=5)
        idx = make_index(pos_nan, neg_nan, pos_inf, neg_inf, five)
        assert select(idx, Q.gt("x", 5)) == [pos_nan, pos_inf]
        assert select(idx, Q.lt("x", 5)) == [neg_nan, neg_inf]
        assert select(idx, Q.gt("x", INF)) == [pos_nan]
        assert select(idx, Q.lt("x", -INF)) == [neg_nan]
        assert select(idx, Q.ge("x", NAN)) == [pos_nan]
        assert select(idx, Q.bt("x", -INF, INF)) == [pos_inf, neg_inf, five]
        # Two NaNs are one key when their hashes agree (hash(nan) is 0 on
        # some interpreters and identity-based on others).
        same_hash = hash(NAN) == hash(NEG_NAN)
        assert select(idx, Q.eq("x", NAN)) == ([pos_nan, neg_nan] if same_hash else [pos_nan])

    def test_only_numeric_kinds_take_part(self):
        objs = [Indexable(x=v) for v in (True, "5", [5], None, 5, 5.5)]
        idx = make_index(*objs)
        assert select(idx, Q.gt("x", 0)) == objs[4:]
        assert select(idx, Q.ge("x", True)) == []  # a bool bound is not a number
        assert select(idx, Q.gt("x", "0")) == [objs[1]]  # a str bound selects strs alone
        assert select(idx, Q.lt("x", None)) == []
        assert select(idx, Q.le("x", [1])) == []

    def test_reversed_bt_gives_nothing(self):
        objs = [Indexable(x=v) for v in range(10)]
        idx = make_index(*objs)
        assert select(idx, Q.bt("x", 5, 1)) == []
        assert select(idx, Q.bt("x", 5.5, 5)) == []
        assert select(idx, Q.bt("x", 1, 5)) == objs[1:6]

    def test_str_bounds(self):
        objs = [Indexable(x="a"), Indexable(x="b"), Indexable(x=1)]
        idx = make_index(*objs)
        assert select(idx, Q.gt("x", "a")) == [objs[1]]
        assert select(idx, Q.le("x", "z")) == objs[:2]
        assert select(idx, Q.bt("x", "a", 5)) == select(idx, Q.bt("x", 0, "z")) == []
        assert select(idx, Q.bt("missing", "a", "z")) == []

    def test_range_on_missing_attribute_is_empty(self):
        idx = make_index(Indexable(x=1))
        assert select(idx, Q.gt("y", 0)) == []
        assert select(idx, Q.bt("y", 0, 10)) == []
        assert select(idx, Q.lt("y", Indexable())) == []


class TestNotYetImplemented:
    def test_range_with_indexable_value(self):
        o = Indexable(x=1, owner=Indexable(age=3))
        idx = make_index(o)
        for f in (Q.gt, Q.ge, Q.lt, Q.le):
            assert panics(idx, f("x", Indexable())) == "not yet implemented"
            assert panics(idx, f("owner", Indexable())) == "not yet implemented"

    def test_bt_with_non_numeric_bound(self):
        idx = make_index(Indexable(x=1))
        for lower, upper in [("a", None), (b"a", "z"), (True, 5), (0, None), (1, [2**70])]:
            assert panics(idx, Q.bt("x", lower, upper)) == "not yet implemented"

    def test_raised_from_nested_evaluation(self):
        o = Indexable(owner=Indexable(age=3))
        idx = make_index(o)
        assert panics(idx, Q.gt("owner.age", Indexable())) == "not yet implemented"
        assert panics(idx, Q.bt("owner.age", None, 9)) == "not yet implemented"
        # The nested attribute is missing: nothing to compare, no failure.
        assert select(idx, Q.bt("owner.name", "a", 9)) == []

    def test_raised_inside_connectives(self):
        idx = make_index(Indexable(x=1))
        bad = Q.bt("x", "a", [])
        assert panics(idx, Q.not_(bad)) == "not yet implemented"
        assert panics(idx, Q.or_(Q.eq("x", 1), bad)) == "not yet implemented"
        assert panics(idx, Q.and_(Q.eq("x", 1), bad)) == "not yet implemented"
        # An empty intermediate result skips the remaining operands.
        assert select(idx, Q.and_(Q.eq("x", 2), bad)) == []

    def test_is_a_base_exception_and_leaves_index_usable(self):
        o = Indexable(x=1)
        idx = make_index(o)
        with pytest.raises(BaseException) as info:
            try:
                idx.reduced_query(Q.gt("x", o))
            except Exception:  # must not catch it
                pytest.fail("PanicException was caught as an Exception")
        assert type(info.value) is PanicException
        assert select(idx, Q.eq("x", 1)) == [o]
        assert idx.get_by_attribute(x=1) == [o]
        o.x = 2
        assert select(idx, Q.gt("x", 1)) == [o]


# --------------------------------------------------------------------------
# connectives


class TestConnectives:
    @pytest.fixture
    def objs(self):
        return [Indexable(a=i % 3, b=i % 2, n=i) for i in range(12)] + [Indexable(z=1)]

    def test_identities(self, objs):
        idx = make_index(*objs)
        assert select(idx, Q.and_()) == objs
        assert select(idx, Q.or_()) == []
        assert select(idx, Q.not_(Q.and_())) == []
        assert select(idx, Q.not_(Q.or_())) == objs
        e = Q.eq("a", 1)
        expected = [o for o in objs[:12] if o.a == 1]
        assert select(idx, e) == expected
        assert select(idx, Q.and_(e)) == expected
        assert select(idx, Q.or_(e)) == expected
        assert select(idx, Q.not_(Q.not_(e))) == expected
        assert select(idx, Q.and_(e, e)) == expected
        assert select(idx, Q.or_(e, Q.not_(e))) == objs
        assert select(idx, Q.and_(e, Q.not_(e))) == []

    def test_not_inside_and_is_taken_within_the_narrowed_universe(self, objs):
        idx = make_index(*objs)
        got = select(idx, Q.and_(Q.eq("a", 1), Q.not_(Q.eq("b", 0))))
        assert got == [o for o in objs[:12] if o.a == 1 and o.b != 0]
        # Operand order does not change what is selected.
        assert select(idx, Q.and_(Q.not_(Q.eq("b", 0)), Q.eq("a", 1))) == got
        # The object without a nor b is in the complement but not in the and.
        assert objs[-1] in select(idx, Q.not_(Q.eq("b", 0)))

    def test_nested_connectives(self, objs):
        idx = make_index(*objs)
        e = Q.or_(
            Q.and_(Q.eq("a", 0), Q.gt("n", 5)),
            Q.and_(Q.eq("a", 2), Q.not_(Q.lt("n", 9))),
            Q.eq("z", 1),
        )
        expected = [o for o in objs[:12] if (o.a == 0 and o.n > 5) or (o.a == 2 and o.n >= 9)]
        assert select(idx, e) == expected + [objs[-1]]

    def test_ne_on_connective_universe(self, objs):
        idx = make_index(*objs)
        got = select(idx, Q.and_(Q.gt("n", 3), Q.ne("a", 0)))
        assert got == [o for o in objs[:12] if o.n > 3 and o.a != 0]


# --------------------------------------------------------------------------
# dotted paths


class TestDottedPaths:
    @pytest.fixture
    def world(self):
        paris = Indexable(city="Paris", zip=75000)
        rome = Indexable(city="Rome", zip=100)
        ann = Indexable(name="ann", age=30, address=paris)
        bob = Indexable(name="bob", age=41, address=rome)
        cy = Indexable(name="cy", age=30.0)
        dogs = [
            Indexable(owner=ann, tag=1),
            Indexable(owner=bob, tag=2),
            Indexable(owner=cy, tag=3),
            Indexable(owner=ann, tag=4),
            Indexable(owner=5, tag=5),  # not an object: no path through it
            Indexable(tag=6),
        ]
        idx = make_index(*dogs)
        return idx, dogs, (ann, bob, cy, paris, rome)

    def test_one_level(self, world):
        idx, d, _ = world
        assert select(idx, Q.eq("owner.name", "bob")) == [d[1]]
        assert select(idx, Q.eq("owner.age", 30)) == [d[0], d[2], d[3]]
        assert select(idx, Q.gt("owner.age", 30)) == [d[1]]
        assert select(idx, Q.ge("owner.age", 30)) == [d[0], d[1], d[2], d[3]]
        assert select(idx, Q.lt("owner.age", 31)) == [d[0], d[2], d[3]]
        assert select(idx, Q.le("owner.age", 29)) == []
        assert select(idx, Q.bt("owner.age", 30, 40)) == [d[0], d[2], d[3]]
        assert select(idx, Q.in_("owner.name", ["cy", "ann"])) == [d[0], d[2], d[3]]

    def test_two_levels(self, world):
        idx, d, _ = world
        assert select(idx, Q.eq("owner.address.city", "Paris")) == [d[0], d[3]]
        assert select(idx, Q.gt("owner.address.zip", 1000)) == [d[0], d[3]]
        assert select(idx, Q.in_("owner.address.city", ["Rome", "Oslo"])) == [d[1]]
        assert select(idx, Q.ne("owner.address.city", "Paris")) == [d[1], d[2], d[4], d[5]]
        assert select(idx, Q.eq("owner.address.missing", 1)) == []

    def test_ne_and_not_through_paths(self, world):
        idx, d, _ = world
        # ne is "not eq": objects without an owner object are included.
        assert select(idx, Q.ne("owner.age", 30)) == [d[1], d[4], d[5]]
        assert select(idx, Q.not_(Q.gt("owner.age", 30))) == [d[0], d[2], d[3], d[4], d[5]]
        # not_ evaluated inside the nested index.
        assert select(idx, Q.not_(Q.eq("owner.name", "ann"))) == [d[1], d[2], d[4], d[5]]

    def test_paths_combine_with_other_comparisons(self, world):
        idx, d, _ = world
        e = Q.and_(Q.eq("owner.age", 30), Q.gt("tag", 1))
        assert select(idx, e) == [d[2], d[3]]
        e = Q.or_(Q.eq("owner.address.city", "Rome"), Q.eq("tag", 6))
        assert select(idx, e) == [d[1], d[5]]

    def test_missing_heads_and_empty_tails(self, world):
        idx, d, _ = world
        assert select(idx, Q.eq("missing.name", "ann")) == []
        assert select(idx, Q.ne("missing.name", "ann")) == d
        assert select(idx, Q.eq("owner.", 1)) == []
        assert select(idx, Q.eq("tag.x", 1)) == []  # tag holds no objects
        assert select(idx, Q.eq("owner", 5)) == [d[4]]

    def test_nested_comparison_within_a_view(self, world):
        idx, d, _ = world
        view = idx.reduced(tag=[1, 2, 5])
        assert view.reduced_query(Q.eq("owner.age", 30)).collect() == [d[0]]
        assert view.reduced_query(Q.ne("owner.age", 30)).collect() == [d[1], d[4]]
        assert view.reduced_query(Q.in_("owner.name", ["ann", "bob"])).collect() == [d[0], d[1]]

    def test_old_nested_object_no_longer_matches_after_assignment(self, world):
        idx, d, (ann, bob, cy, paris, rome) = world
        d[0].owner = bob
        assert select(idx, Q.eq("owner.name", "ann")) == [d[3]]
        assert select(idx, Q.eq("owner.name", "bob")) == [d[0], d[1]]
        d[3].owner = "nobody"
        assert select(idx, Q.eq("owner.name", "ann")) == []
        assert select(idx, Q.eq("owner.address.city", "Paris")) == []

    def test_reference_cycles_are_indexed(self):
        a, b = Indexable(name="a"), Indexable(name="b")
        a.friend = b
        b.friend = a
        idx = make_index(a)
        assert select(idx, Q.eq("friend.name", "b")) == [a]
        assert select(idx, Q.eq("friend.friend", a)) == [a]
        assert select(idx, Q.eq("friend", b)) == [a]


class TestDottedNames:
    def test_reachable_by_keyword_filters_only(self):
        o = Indexable(**{"a.b": 1})
        p = Indexable(a=Indexable(b=1))
        idx = make_index(o, p)
        assert select(idx, Q.eq("a.b", 1)) == [p]  # the path, never the name
        assert idx.get_by_attribute(**{"a.b": 1}) == [o]
        assert idx.reduced(**{"a.b": 1}).collect() == [o]

    def test_no_head_no_match(self):
        o = Indexable(**{"x.y": 1})
        idx = make_index(o)
        assert select(idx, Q.eq("x.y", 1)) == []
        assert select(idx, Q.ne("x.y", 1)) == [o]


# --------------------------------------------------------------------------
# many entries


def numeric(v):
    return (type(v) is int and -(2**63) <= v < 2**63) or type(v) is float


def keyed(objs):
    """(object, value part of its x or None) for a brute-force scan."""
    return [(o, value_part(o.x) if numeric(o.x) else None) for o in objs]


def brute_range(rows, op, args, universe=None):
    if op == "bt":
        lo, hi = value_part(args[0]), value_part(args[1])
        test = lambda k: lo <= k <= hi
    else:
        b = value_part(args[0])
        test = {
            "gt": lambda k: k > b,
            "ge": lambda k: k >= b,
            "lt": lambda k: k < b,
            "le": lambda k: k <= b,
        }[op]
    return [
        o
        for o, k in rows
        if k is not None and (universe is None or id(o) in universe) and test(k)
    ]


class TestLargeTrees:
    def test_range_queries_against_brute_force(self):
        rng = random.Random(20240611)
        values = []
        for _ in range(3000):
            r = rng.random()
            if r < 0.4:
                values.append(rng.randint(-40, 40))  # long runs of equal keys
            elif r < 0.55:
                values.append(7)
            elif r < 0.85:
                values.append(rng.uniform(-50, 50))
            elif r < 0.9:
                values.append(float(rng.randint(-40, 40)))
            elif r < 0.95:
                values.append(rng.choice([INF, -INF, NAN, NEG_NAN, -0.0, 2**62, -(2**62)]))
            else:
                values.append(rng.choice(["s", None, True, [1]]))
        objs = [Indexable(x=v, half=i % 2) for i, v in enumerate(values)]
        order = list(range(len(objs)))
        rng.shuffle(order)
        idx = Index()
        idx.add_object_many([objs[i] for i in order[:1500]])
        for i in order[1500:]:
            idx.add_object(objs[i])

        half_view = idx.reduced(half=1)
        half = {id(o) for o in objs if o.half == 1}
        rows = keyed(objs)

        numbers = [v for v in values if numeric(v)]
        for _ in range(150):
            op = rng.choice(["gt", "ge", "lt", "le", "bt"])
            pick = lambda: rng.choice(numbers) if rng.random() < 0.7 else rng.uniform(-60, 60)
            args = (pick(), pick()) if op == "bt" else (pick(),)
            expr = getattr(Q, op)("x", *args)
            assert select(idx, expr) == brute_range(rows, op, args), (op, args)
            in_view = half_view.reduced_query(expr).collect()
            assert in_view == brute_range(rows, op, args, half), (op, args)

        # The equal-key run around 7 spans several tree nodes.
        sevens = [o for o in objs if type(o.x) in (int, float) and o.x == 7]
        assert len(sevens) > 300
        assert select(idx, Q.bt("x", 7, 7)) == sevens
        assert not set(map(id, select(idx, Q.gt("x", 7)))) & set(map(id, sevens))
        assert select(idx, Q.and_(Q.ge("x", 7), Q.le("x", 7.0))) == sevens

    def test_range_results_follow_assignments(self):
        rng = random.Random(7)
        objs = [Indexable(x=rng.randint(0, 100)) for _ in range(2000)]
        idx = Index()
        idx.add_object_many(objs)
        for _ in range(3):
            for o in rng.sample(objs, 400):
                o.x = rng.choice([rng.randint(0, 100), rng.uniform(0, 100), "gone"])
            rows = keyed(objs)
            for bound in (0, 25, 50.5, 99):
                assert select(idx, Q.gt("x", bound)) == brute_range(rows, "gt", (bound,))
                assert select(idx, Q.le("x", bound)) == brute_range(rows, "le", (bound,))
