"""Random objects and random queries, answered by Corvane and by the model.

Every case is reproducible from its seed; a failure names the seed, the case
number and the expression.  The worlds hold three levels of objects (top
objects whose attributes b and c hold middle and leaf objects), values of every
kind the module distinguishes (ints, floats incl. NaN/inf/-0.0, strings, bools,
None, unhashable and hash-colliding values, objects), hidden and dotted names.
Queries include str ranges and prefixes.  Values are often copies made at
run time (equal strs, floats, big ints and tuples that are distinct objects),
so that the maps meet values of one key that are not the one recorded.

A second family of worlds (`test_values_of_one_key_follow_moves`) keeps
changing: hundreds of objects whose values share keys without being one
object move in and out of three indexes, are merged by `union_with` and
reassigned, and every index is compared with the objects' current values.
"""

import dataclasses
import datetime
import math
import random
from decimal import Decimal
from fractions import Fraction

import pytest

import Corvane
from Corvane import Index, Indexable
from Corvane import PyQueryExpr as Q

import reference_model as model
from conftest import run_python
from reference_model import ModelIndex, ModelPanic, build, ordered, show, value_part

PanicException = Corvane.PanicException

SEEDS = [11, 23, 37, 41]
QUERIES_PER_WORLD = 700
VIEWS_PER_WORLD = 30
QUERIES_PER_VIEW = 12


class IntLike(int):
    pass


class StrLike(str):
    pass


@dataclasses.dataclass
class Record:
    """Compared by fields and so unhashable: a key of its own."""

    v: int


NAN_A = float("nan")
NAN_B = float("nan")
NEG_NAN = math.copysign(float("nan"), -1.0)
INF = float("inf")

NUMBERS = [
    0, 1, -1, -2, 2, 3, 7, 100, -100, 2**31, 2**52, 2**52 + 1, 2**53, 2**53 + 1,
    2**62, -(2**63), 2**63 - 1,
    0.0, -0.0, 0.5, 1.0, 2.0, 2.5, -7.25, 0.3, math.nextafter(0.3, 0.0),
    1.0000000000000002, float(2**52 + 1), float(2**53), 1e16, 1e300, -1e300,
    5e-324, -5e-324, 2.2250738585072014e-308, INF, -INF,
]
NANS = [NAN_A, NAN_B, NEG_NAN]
STRS = ["", "a", "b", "abc", "7", "\u00df", "\U0001F600"]
# Hash collisions (64-bit CPython): 2**61 with 1 and True, 2**64 with 8,
# -1 with -2, "" and 0 with every unhashable value (shown as hash 0).  Equal
# but distinct unhashable values ([1] twice, Record(0) twice) stay apart;
# 2**70 is one key with float(2**70), Decimal(1) with 1, (1.0, 2) with (1, 2).
OTHERS = [
    None, True, False, [], [1], [1], {}, (1, 2), (1.0, 2), frozenset(), b"x", Fraction(1, 2),
    Decimal(1), 2**61, 2**64, 8, 2**64 + 1, 2**70, float(2**70), -(2**70), IntLike(7),
    StrLike("b"), "\ud800", Record(0), Record(0),
    # Ordered values of other types (2**80 + 1 and 2**80 + 3 share a range key).
    Decimal("0.1"), Fraction(1, 3), 2**80 + 1, 2**80 + 3, datetime.datetime(2020, 1, 1),
    datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc), datetime.date(2020, 1, 1),
    datetime.timedelta(days=1),
]

# Values of one attribute (and the values its queries compare with) are kept
# to sets on which "one key" is an equivalence, so that the answer does not
# depend on which of two colliding keys a map happened to keep.
# Attributes a, n, s, b, c and the names "" and "a.b" draw from one such set
# (queries on one attribute may use another's values); f, which is only ever
# compared with its own values, keeps every NaN even where NaNs hash to 0.
SMALL_INTS = [-3, -2, -1, 0, 1, 2, 3, 4, 5, 6, 7, 2.0, 7.0, 2**53 + 1, float(2**53), 1.0, 0.0, -0.0, True, False]
WORDS = ["red", "green", "blue", "", 1, "gr\u00fcn"]
SHARED = model.transitive_subset(SMALL_INTS + WORDS + NUMBERS + STRS + OTHERS + NANS)
POOLS = {
    "a": SHARED,
    "f": model.transitive_subset(NANS + NUMBERS + STRS[:3] + [None]),
    "n": SMALL_INTS,
    "s": WORDS,
}
# Str bounds and prefixes: between and around the strs of the pools, beyond
# ASCII and at the highest code point.
TEXT_BOUNDS = ["", "a", "ab", "b", "blue", "g", "gr", "red", "z", "\u00e0", "\U0001F600", "\U0010ffff"]
PREFIXES = ["", "r", "re", "red", "g", "gre", "b", "bl", "a", "ab", "\u00df", "\U0001F600", "7", "\ud800",
            "zz", StrLike("gr")]
BOUNDS = NUMBERS + NANS + list(range(-3, 8)) + TEXT_BOUNDS + [
    Decimal("0.25"), 2**80 + 2, datetime.datetime(2020, 1, 1, 1), datetime.date(2021, 1, 1)]
FINITE_FLOATS = [v for v in NUMBERS if type(v) is float and math.isfinite(v)]

# Tags: attribute t holds a tuple, a frozenset or a list of them (a list is
# never looked into), or a bare tag; 1, 1.0 and True are one key, (1, 2) is
# one element, and a list inside a tuple is passed over.
TAGS = ["red", "green", 1, 1.0, True, 2, (1, 2), None, "", [3]]
ELEMENTS = ["red", "green", "blue", 1, 3.0, 2, (1, 2), (), None, "", 0]

COMMON_PATHS = ["a", "f", "n", "s", "b", "c", "b.a", "b.f", "b.n", "b.c", "b.c.a", "b.c.n", "c.a", "c.n",
                "t", "b.t", "b.c.t"]
RARE_PATHS = ["_h", "zz", "a.b", "", "b.", "b.zz", "c.", "b.c.f", "b.c.zz", "b.c.a.x", "c.f", "zz.a", "f.a"]
TOP_PATHS = COMMON_PATHS * 4 + RARE_PATHS
KEYWORD_NAMES = ["a", "f", "n", "s", "b", "c", "_h", "zz", "a.b", ""]


class World:
    """Objects created in a known order, with their attributes on record."""

    def __init__(self, rng):
        self.rng = rng
        self.created = []
        self.attrs = {}
        self.leaves = [self.make(self.leaf_attrs()) for _ in range(20)]
        self.mids = [self.make(self.mid_attrs()) for _ in range(30)]
        self.tops = [self.make(self.top_attrs()) for _ in range(150)]
        self.holders_pool = self.mids + self.leaves

    def make(self, attrs):
        obj = Indexable(**attrs)
        self.created.append(obj)
        self.attrs[id(obj)] = attrs
        return obj

    def attrs_of(self, obj):
        return self.attrs[id(obj)]

    def pick(self, pool):
        """A value of ``pool``, often one of its first few so that equal
        values are common, and often a copy of it made now."""
        value = self.rng.choice(pool[:6] if self.rng.random() < 0.5 else pool)
        return model.rebuilt(value) if self.rng.random() < 0.3 else value

    def maybe(self, attrs, name, pool, p=0.75):
        if self.rng.random() < p:
            attrs[name] = self.pick(pool)

    def tags(self):
        rng = self.rng
        items = [self.pick(TAGS) for _ in range(rng.randint(0, 3))]
        r = rng.random()
        if r < 0.45:
            return tuple(items)
        if r < 0.7:
            return frozenset(v for v in items if not isinstance(v, list))
        if r < 0.9:
            return items
        return self.pick(TAGS[:-1])

    def leaf_attrs(self):
        attrs = {}
        for name in ("a", "f", "n"):
            self.maybe(attrs, name, POOLS[name])
        self.maybe(attrs, "_h", POOLS["n"], 0.3)
        if self.rng.random() < 0.6:
            attrs["t"] = self.tags()
        return attrs

    def mid_attrs(self):
        attrs = self.leaf_attrs()
        r = self.rng.random()
        if r < 0.7:
            attrs["c"] = self.rng.choice(self.leaves)
        elif r < 0.85:
            attrs["c"] = self.rng.choice(POOLS["a"])
        self.maybe(attrs, "", POOLS["s"], 0.15)
        return attrs

    def top_attrs(self):
        rng = self.rng
        attrs = self.leaf_attrs()
        self.maybe(attrs, "s", POOLS["s"], 0.8)
        r = rng.random()
        if r < 0.6:
            attrs["b"] = rng.choice(self.mids)
        elif r < 0.7:
            attrs["b"] = rng.choice(self.leaves)
        elif r < 0.85:
            attrs["b"] = rng.choice(POOLS["n"])
        if rng.random() < 0.5:
            attrs["c"] = rng.choice(self.leaves)
        self.maybe(attrs, "a.b", POOLS["n"], 0.1)
        self.maybe(attrs, "", POOLS["s"], 0.1)
        return attrs

    def build_index(self):
        """Index the tops and a few inner objects, in shuffled order, half
        by one batch and half one by one."""
        rng = self.rng
        members = self.tops + rng.sample(self.mids, 4) + rng.sample(self.leaves, 3)
        rng.shuffle(members)
        cut = len(members) // 2
        idx = Index()
        idx.add_object_many(members[:cut])
        for obj in members[cut:]:
            idx.add_object(obj)
        return idx, members

    # -- random queries ------------------------------------------------------

    def pool_for(self, path):
        last = path.rsplit(".", 1)[-1]
        if last in ("b", "c"):
            return self.holders_pool[:8] + POOLS["n"]
        return POOLS.get(last, POOLS["a"])

    def bound(self, path):
        rng = self.rng
        r = rng.random()
        if r < 0.55:
            return rng.choice(BOUNDS)
        if r < 0.75:
            return rng.choice([rng.uniform(-10, 10), rng.randint(-5, 110)])
        if r < 0.85:
            return math.nextafter(rng.choice(FINITE_FLOATS), rng.choice([INF, -INF]))
        if r < 0.97:
            return rng.choice(self.pool_for(path))
        return rng.choice(self.holders_pool)  # an object: ranges stop on it

    def leaf(self):
        rng = self.rng
        op = rng.choice(["eq", "eq", "ne", "gt", "ge", "lt", "le", "bt", "in", "in", "startswith", "contains"])
        path = rng.choice(TOP_PATHS)
        pool = self.pool_for(path)
        if op == "startswith":
            return (op, path, rng.choice(PREFIXES))
        if op == "contains":
            return (op, path, rng.choice(ELEMENTS + self.holders_pool[:2]))
        if op in ("eq", "ne"):
            return (op, path, self.pick(pool))
        if op == "in":
            values = [self.pick(pool) for _ in range(rng.randint(0, 4))]
            return (op, path, tuple(values) if rng.random() < 0.3 else values)
        if op == "bt":
            numeric = lambda: rng.choice(BOUNDS) if rng.random() < 0.93 else self.bound(path)
            lo, hi = numeric(), numeric()
            klo, khi = model.range_key(lo), model.range_key(hi)
            if rng.random() < 0.6 and klo is not None and khi is not None and klo[0] == khi[0]:
                if klo > khi:
                    lo, hi = hi, lo
            return (op, path, lo, hi)
        return (op, path, self.bound(path))

    def expr(self, depth=0):
        r = self.rng.random()
        if depth >= 3 or r < 0.5:
            return self.leaf()
        if r < 0.62:
            return ("not", self.expr(depth + 1))
        op = "and" if r < 0.82 else "or"
        count = self.rng.choice([0, 1, 2, 2, 3, 3])
        return (op, [self.expr(depth + 1) for _ in range(count)])

    def keywords(self):
        rng = self.rng
        filters = {}
        for name in rng.sample(KEYWORD_NAMES, rng.choice([0, 1, 1, 2, 3])):
            pool = self.pool_for(name)
            r = rng.random()
            if r < 0.5:
                filters[name] = self.pick(pool)
            elif r < 0.9:
                filters[name] = [self.pick(pool) for _ in range(rng.randint(0, 3))]
            else:
                filters[name] = tuple(self.pick(pool) for _ in range(2))
        return filters


def describe(world, objs):
    return [{k: model.short_value(v) for k, v in world.attrs_of(o).items()} for o in objs]


def check(world, where, expected_ids, run):
    """Run one case: ``expected_ids`` is a set of object ids or ModelPanic."""
    if isinstance(expected_ids, ModelPanic):
        with pytest.raises(PanicException) as info:
            run()
        assert str(info.value) == "not yet implemented", where
        return
    got = run()
    want = ordered(world.created, expected_ids)
    if [id(o) for o in got] != [id(o) for o in want]:
        got_ids = {id(o) for o in got}
        missing = [o for o in want if id(o) not in got_ids]
        extra = [o for o in got if id(o) not in expected_ids]
        pytest.fail(
            "%s\n  %d expected, %d returned\n  missing: %s\n  unexpected: %s"
            % (where, len(want), len(got), describe(world, missing[:3]), describe(world, extra[:3]))
        )


def evaluate(model_index, expr, universe=None):
    try:
        return model_index.evaluate(expr, universe)
    except ModelPanic as panic:
        return panic


@pytest.mark.parametrize("seed", SEEDS)
def test_expressions_match_the_model(seed):
    rng = random.Random(seed)
    world = World(rng)
    idx, members = world.build_index()
    m = ModelIndex(members, world.attrs_of)
    for case in range(QUERIES_PER_WORLD):
        e = world.expr()
        where = "seed %d case %d: %s" % (seed, case, show(e))
        check(world, where, evaluate(m, e), lambda: idx.reduced_query(build(e)).collect())


@pytest.mark.parametrize("seed", SEEDS)
def test_views_match_the_model(seed):
    rng = random.Random(seed * 1000 + 1)
    world = World(rng)
    idx, members = world.build_index()
    m = ModelIndex(members, world.attrs_of)
    for v in range(VIEWS_PER_WORLD):
        # A view made by an expression or by keywords.
        if rng.random() < 0.5:
            e = world.expr()
            selected = evaluate(m, e)
            if isinstance(selected, ModelPanic):
                continue
            view = idx.reduced_query(build(e))
            origin = show(e)
        else:
            kw = world.keywords()
            selected = m.keyword_filter(kw)
            view = idx.reduced(**kw)
            origin = "keywords %r" % ({k: model.short_value(x) for k, x in kw.items()},)
        where = "seed %d view %d (%s)" % (seed, v, origin)
        check(world, where + " collect", selected, view.collect)
        for case in range(QUERIES_PER_VIEW):
            if rng.random() < 0.7:
                e2 = world.expr()
                check(
                    world,
                    "%s case %d: %s" % (where, case, show(e2)),
                    evaluate(m, e2, selected),
                    lambda: view.reduced_query(build(e2)).collect(),
                )
            else:
                kw2 = world.keywords()
                check(
                    world,
                    "%s case %d: keywords %r" % (where, case, sorted(kw2)),
                    m.keyword_filter(kw2) & selected,
                    lambda: view.reduced(**kw2).collect(),
                )


@pytest.mark.parametrize("seed", SEEDS[:2])
def test_rebuilt_indexes_match_the_model(seed):
    """rebase() builds an index of the view's objects that also records
    hidden names at its top level."""
    rng = random.Random(seed * 31 + 5)
    world = World(rng)
    idx, members = world.build_index()
    m = ModelIndex(members, world.attrs_of)
    for v in range(8):
        kw = world.keywords()
        selected = m.keyword_filter(kw)
        rebuilt = idx.reduced(**kw).rebase()
        objs = ordered(world.created, selected)
        mr = ModelIndex(objs, world.attrs_of, include_hidden=True)
        check(world, "seed %d rebuild %d collect" % (seed, v), selected, rebuilt.collect)
        for case in range(40):
            e = world.expr() if case % 4 else ("eq", "_h", world.pick(POOLS["n"]))
            where = "seed %d rebuild %d case %d: %s" % (seed, v, case, show(e))
            check(world, where, evaluate(mr, e), lambda: rebuilt.reduced_query(build(e)).collect())


@pytest.mark.parametrize("seed", SEEDS[:2])
def test_reduce_matches_the_model(seed):
    """reduce() narrows equality lookups only; ranges, dotted paths and the
    members stay as they were."""
    rng = random.Random(seed * 17 + 9)
    world = World(rng)
    idx, members = world.build_index()
    m = ModelIndex(members, world.attrs_of)
    for step in range(3):
        kw = world.keywords()
        if step == 0:
            kw = {"s": ["red", "green"]}  # keeps enough objects for the next steps
        m.reduce(kw)
        idx.reduce(**kw)
        check(world, "seed %d reduce %d collect" % (seed, step), m.all_ids, idx.collect)
        for case in range(120):
            if case % 3:
                e = world.expr()
                where = "seed %d reduce %d case %d: %s" % (seed, step, case, show(e))
                check(world, where, evaluate(m, e), lambda: idx.reduced_query(build(e)).collect())
            else:
                kw2 = world.keywords()
                where = "seed %d reduce %d case %d: keywords %r" % (seed, step, case, sorted(kw2))
                check(world, where, m.keyword_filter(kw2), lambda: idx.get_by_attribute(**kw2))


@pytest.mark.parametrize("seed", SEEDS[:2])
def test_keyword_lookups_match_the_model(seed):
    rng = random.Random(seed * 7 + 3)
    world = World(rng)
    idx, members = world.build_index()
    m = ModelIndex(members, world.attrs_of)
    for case in range(300):
        kw = world.keywords()
        where = "seed %d case %d: keywords %r" % (seed, case, sorted(kw))
        check(world, where, m.keyword_filter(kw), lambda: idx.get_by_attribute(**kw))


def test_model_key_encoding():
    """The model's range keys agree with the documented worked values."""
    cases = {
        0: (0x80000000, 0),
        1: (0xBFFF8000, 0),
        1.0: (0xBFFF8000, 0),
        -1: (0x40007FFF, 0xFFFFFFFFFFFFFFFF),
        -1.0: (0x40007FFF, 0xFFFFFFFFFFFFFFFF),
        2: (0xC0008000, 0),
        1.5: (0xBFFFC000, 0),
        100: (0xC005C800, 0),
        -100: (0x3FFA37FF, 0xFFFFFFFFFFFFFFFF),
        2**63 - 1: (0xC03DFFFF, 0xFFFFFFFFFFFE0000),
        INF: (0xC3FF8000, 0),
        0.3: (0xBFFD9999, 0x9999999990000000),
    }
    for value, (head, tail) in cases.items():
        assert value_part(value) == (head << 64) | tail, value
    assert value_part(-0.0) == value_part(0) == value_part(0.0)
    ordered_ints = [-(2**63), -1, 0, 1, 2**63 - 1]
    ordered_floats = [-INF, -1.5, -0.0, 5e-324, 2.225073858507201e-308,
                      2.2250738585072014e-308, 1.0, INF]
    for seq in (ordered_ints, ordered_floats):
        parts = [value_part(v) for v in seq]
        assert all(a <= b for a, b in zip(parts, parts[1:])), seq
    assert value_part(NAN_A) > value_part(INF)
    assert value_part(NEG_NAN) < value_part(-INF)
    assert value_part(2**52 + 1) > value_part(float(2**52 + 1)) == value_part(2**52)


def test_model_pools_are_consistent():
    """Values that meet in one attribute form classes of one key on this
    interpreter."""
    assert all(any(v is w for w in SHARED) for v in SMALL_INTS + WORDS)
    assert model.transitive_subset(POOLS["f"]) == POOLS["f"]
    # The pools still hold the interesting values.
    assert any(v != v for v in POOLS["f"])
    assert -1 in POOLS["a"] and -2 in POOLS["a"]
    assert any(isinstance(v, list) for v in POOLS["a"])
    # Colliding hashes, unhashables and big ints all stay in the pool: the
    # key rule is an equivalence.
    assert all(any(v is w for w in SHARED) for v in OTHERS)


# ------------------------------------------------------ moves and reassignments
#
# Values of one key that are not one object: 1, 1.0 and True; 0, 0.0, -0.0
# and False; strs, tuples and frozensets built at run time (non-ASCII ones
# too); big ints and the floats equal to them; NaNs (each its own key where
# the hash follows the address).  Enough objects share each key that its id
# set is a bitmap and the range trees have inner nodes, which the model
# test's small programs rarely reach.  The indexes are only ever added to,
# removed from, merged and reassigned through, so each answers from its
# members' current values.

MOVE_SEEDS = [3, 4]
KEYED = model.transitive_subset([
    1, 1.0, True, 0, 0.0, -0.0, False, 2, 2.0, 7, 2**53 + 1, 2**63 - 1, -(2**63), 2**64, float(2**64),
    2**64 + 1, 2**70, float(2**70), "red", "gr\u00fcn", "\u00e9t\u00e9", "\U0001F600x", "", "\u00e9" * 20,
    ("red", 1), ("red", 1.0), ("red", True), (1, 2), (1.0, 2), ("gr\u00fcn",), frozenset({"red", 1}),
    frozenset({"red", 1.0}), NAN_A, NEG_NAN, None, 2.5, -7.25])
KEYED_ELEMENTS = ["red", 1, 1.0, True, 2, "gr\u00fcn", None, 0]
KEYED_BOUNDS = [0, -0.0, 1, 1.0, 2, 2.5, 2**63 - 1, 2**64, 2**70, INF, "", "gr", "red", "\u00e9"]


def copy_of(rng, value):
    """``value`` itself, a copy made now, or another value of its key."""
    twins = [v for v in KEYED if model.same_key(v, value)] or [value]
    return model.rebuilt(rng.choice(twins + [value]))


def check_members(world, where, idx, members):
    """Every query a redesign of the stored values could get wrong, on one
    index, against its members' current values."""
    objs = ordered(world.created, members)
    m = ModelIndex(objs, world.attrs_of)
    order = {id(o): i for i, o in enumerate(world.created)}.__getitem__
    check(world, where + " collect", members, idx.collect)
    for value in KEYED + [world.rng.choice(KEYED_ELEMENTS)]:
        for q in (value, model.rebuilt(value)):
            check(world, "%s a = %r" % (where, q), m.keyword_filter({"a": [q]}),
                  lambda: idx.get_by_attribute(a=[q]))
    exprs = [("contains", "t", model.rebuilt(e)) for e in KEYED_ELEMENTS]
    for bound in KEYED_BOUNDS:
        exprs += [("gt", "a", bound), ("le", "t", bound), ("bt", "a", bound, model.rebuilt(bound))]
    exprs += [("eq", "t", model.rebuilt(world.rng.choice(KEYED))) for _ in range(6)]
    for e in exprs:
        check(world, "%s %s" % (where, show(e)), evaluate(m, e), lambda: idx.reduced_query(build(e)).collect())
    for name in ("a", "t"):
        for descending in (False, True):
            got = [id(o) for o in idx.ordered_by(name, descending=descending)]
            assert got == m.ordered_by(name, descending, order), (where, name, descending)
        got = list(idx.value_counts(name).items())
        want = m.value_counts(name, order)
        assert [n for _, n in got] == [n for _, n in want], (where, name, got)
        assert all(model.same_key(g, w) for (g, _), (w, _) in zip(got, want)), (where, name, got)


@pytest.mark.parametrize("seed", MOVE_SEEDS)
def test_values_of_one_key_follow_moves(seed):
    rng = random.Random(seed)
    world = World.__new__(World)  # no generated world: objects of its own
    world.rng, world.created, world.attrs = rng, [], {}
    pick = lambda: model.rebuilt(rng.choice(KEYED[:8] if rng.random() < 0.4 else KEYED))
    objs = [world.make({"a": pick(), "t": (pick(), pick()) if rng.random() < 0.6 else pick()})
            for _ in range(240)]
    indexes, members = [Index() for _ in range(3)], [set() for _ in range(3)]
    for idx, held in zip(indexes, members):
        batch = [o for o in objs if rng.random() < 0.4]
        idx.add_object_many(batch)
        held.update(id(o) for o in batch)
    for step in range(5):
        for _ in range(120):
            obj, k = rng.choice(objs), rng.randrange(3)
            idx, held = indexes[k], members[k]
            r = rng.random()
            if r < 0.5:
                # The same object, a value of its key, or another key; in
                # none, one or several of the indexes.
                name = rng.choice(("a", "t"))
                old = world.attrs[id(obj)][name]
                new = old if r < 0.1 else copy_of(rng, old) if r < 0.35 else pick()
                setattr(obj, name, new)
                world.attrs[id(obj)][name] = new
            elif r < 0.7 and id(obj) in held:
                how = rng.choice(["remove", "discard", "many"])
                if how == "many":
                    idx.remove_object_many([obj])
                else:
                    getattr(idx, how + "_object")(obj)
                held.discard(id(obj))
                assert idx.discard_object(obj) is None  # no longer held: nothing to do
            elif rng.random() < 0.5:
                idx.add_object(obj)
                held.add(id(obj))
            else:
                batch = [o for o in rng.sample(objs, 4) if id(o) != id(obj)] + [obj]
                idx.add_object_many(batch)
                held.update(id(o) for o in batch)
        if step % 2:
            # Both sides may hold an object; values change after the merge,
            # and objects from either side leave the target.
            t, s = rng.sample(range(3), 2)
            indexes[t].union_with(indexes[s])
            members[t] |= members[s]
            for obj in rng.sample(ordered(objs, members[s]), min(10, len(members[s]))):
                obj.a = copy_of(rng, obj.a) if rng.random() < 0.5 else pick()
                world.attrs[id(obj)]["a"] = obj.a
            gone = rng.sample(ordered(objs, members[t]), min(15, len(members[t])))
            indexes[t].remove_object_many(gone)
            members[t] -= {id(o) for o in gone}
        for k in range(3):
            check_members(world, "seed %d step %d index %d" % (seed, step, k), indexes[k], members[k])


BIG_INT_COPIES = """
from Corvane import Index, Indexable, PyQueryExpr as Q
B = 2**64 + 1  # no double holds it: its key is the class of the values equal to it
first = Indexable(a=int(str(B)))
idx = Index()
idx.add_object(first)
second = Indexable(a=int(str(B)))  # joins the class the first copy founded
first.a = 5  # the first copy goes; the second still holds the class
idx.add_object(second)
print(idx.get_by_attribute(a=[B]) == [second], idx.reduced_query(Q.eq("a", B)).collect() == [second],
      idx.value_counts("a") == {5: 1, B: 1})
"""


def test_big_int_copies_outlive_the_first(monkeypatch):
    # The class a big int founds must keep it alive however long the others
    # of its key outlive it.  In a fresh interpreter, since reading freed
    # memory may crash; the debug allocator overwrites freed memory, so that
    # reading it cannot pass unnoticed.
    monkeypatch.setenv("PYTHONMALLOC", "debug")
    proc = run_python(BIG_INT_COPIES)
    assert proc.returncode == 0 and proc.stdout.split() == ["True"] * 3, (proc.returncode, proc.stdout,
                                                                          proc.stderr[-600:])


FREED_IN_A_CYCLE = """
import gc
from fractions import Fraction
from Corvane import Index, Indexable

class Tag:
    def __init__(self, v):
        self.v = v
    def __eq__(self, other):
        return isinstance(other, Tag) and self.v == other.v
    def __hash__(self):
        return hash(self.v)

for make in (lambda: Fraction(1, 3), lambda: frozenset(["a" + str(1), 1]), lambda: Tag(1)):
    # The first value founds its key's class and the index's key; the
    # second holds them after the first object is freed in a cycle.
    first, second = Indexable(v=make()), Indexable(v=make())
    idx = Index()
    idx.add_object_many([first, second])
    idx.remove_object(first)
    first.c = first
    del first
    gc.collect()
    try:
        counts = list(idx.value_counts("v").items())
        print(idx.get_by_attribute(v=[make()]) == [second] and counts == [(make(), 1)] and counts[0][0] == make())
    except Exception as e:
        print(type(e).__name__)
"""


@pytest.mark.xfail(reason="an object freed in a reference cycle reports its values to the collector, which "
                          "then clears them (a Fraction's slots, a frozenset's items, an object's __dict__) "
                          "though an equality class keeps one as its founder or an index as its key: equal "
                          "values then raise AttributeError, find nothing, or value_counts shows frozenset()",
                   strict=False)
def test_values_of_objects_freed_in_cycles_stay_whole():
    # In a fresh interpreter: the cleared values stay in the registry of
    # classes, where they would meet the values of later tests.  Until then
    # `reference_model.rebuilt` makes no copies of Fractions (COPY_FRACTIONS).
    proc = run_python(FREED_IN_A_CYCLE)
    assert proc.returncode == 0 and proc.stdout.split() == ["True"] * 3, (proc.stdout, proc.stderr[-600:])


@pytest.mark.xfail(reason="along a dotted path ordered_by sorts the holders of one key as the value the "
                          "nested index met first: with True met first, a holder of 1 comes after every "
                          "ranked value; with 1 first, a holder of True is ranked as 1", strict=False)
def test_dotted_order_follows_each_value():
    # As at the top level, each holder goes by its own value at the end of
    # the path, whichever of two values of one key the nested index met first.
    for first, second in ((True, 1), (1, True), (False, 0.0)):
        x, y, z = Indexable(n=first), Indexable(n=second), Indexable(n=0.5)
        holders = {id(x): Indexable(d=x), id(y): Indexable(d=y), id(z): Indexable(d=z)}
        idx, top = Index(), Index()
        idx.add_object_many(list(holders.values()))
        top.add_object_many([x, y, z])
        for descending in (False, True):
            want = [holders[id(o)] for o in top.ordered_by("n", descending=descending)]
            assert idx.ordered_by("d.n", descending=descending) == want, (first, second, descending)


# ---------------------------------------------------------------- reference cycles
#
# Worlds of objects whose attributes `n` and `m` point at one another (cycles
# of length 1, 2, 3 and longer, shared targets), entered one by one in a
# random order, in batches, through `union_with` of partial indexes, with
# edges assigned before or after entering and reassigned afterwards.  Every
# dotted path of up to five steps ending in `x` is compared with a walk: a
# holder matches when following the path attribute by attribute reaches a
# value matching the comparison.

CYCLE_SEEDS = list(range(12))
LINKS = ("n", "m")


class Node(Indexable):
    pass


def cycle_walk(obj, path):
    """The value reached from obj along path (a list of names), or a
    sentinel when some step is missing or not an Indexable."""
    for name in path:
        if not isinstance(obj, Indexable) or name not in obj.__dir__():
            return cycle_walk
        obj = getattr(obj, name)
    return obj


def cycle_expected(members, path, op, value):
    out = []
    for o in members:
        got = cycle_walk(o, path)
        if got is cycle_walk or isinstance(got, Indexable):
            hit = False
        elif op == "eq":
            hit = got == value
        elif op == "ge":
            hit = got >= value
        else:
            hit = got < value
        if op == "ne":  # not_(eq): objects lacking the path included
            hit = not (got is not cycle_walk and not isinstance(got, Indexable) and got == value)
        if hit:
            out.append(o)
    return out


def build_world(rng):
    nodes = [Node(x=rng.randrange(4)) for _ in range(rng.randrange(3, 9))]
    edges = []
    for o in nodes:
        for name in LINKS:
            if rng.random() < 0.75:
                edges.append((o, name, rng.choice(nodes)))
    # A ring through every node and a self loop, so that every world has cycles.
    for a, b in zip(nodes, nodes[1:] + nodes[:1]):
        edges.append((a, "n", b))
    edges.append((nodes[0], "m", nodes[0]))
    return nodes, edges


def enter(rng, nodes, edges):
    """Build an index holding a random subset of nodes, in a random way;
    some edges are assigned before and some after entering."""
    members = [o for o in nodes if rng.random() < 0.7] or nodes[:1]
    early = [e for e in edges if rng.random() < 0.5]
    late = [e for e in edges if e not in early]
    for o, name, target in early:
        setattr(o, name, target)
    how = rng.choice(["one by one", "batch", "union", "union into filled"])
    order = members[:]
    rng.shuffle(order)
    idx = Index()
    if how == "one by one":
        for o in order:
            idx.add_object(o)
    elif how == "batch":
        idx.add_object_many(order)
    else:
        cut = rng.randrange(len(order) + 1)
        source = Index()
        source.add_object_many(order[:cut])
        for o in order[cut:]:
            source.add_object(o)
        if how == "union into filled":
            idx.add_object(order[0])
        idx.union_with(source)
    for o, name, target in late:
        setattr(o, name, target)
    return idx, sorted(members, key=lambda o: nodes.index(o)), how


CYCLE_VALIDATE = getattr(Corvane, "_validate", None)


def check_cycle_aggregates(idx, members, path, label):
    """value_counts and ordered_by along a dotted path, views and rebased
    copies of them, against the walk."""
    reached = [(o, cycle_walk(o, path)) for o in members]
    reached = [(o, v) for o, v in reached if v is not cycle_walk and not isinstance(v, Indexable)]
    attr = ".".join(path)
    want_counts = {}
    for _, v in reached:
        want_counts[v] = want_counts.get(v, 0) + 1
    assert idx.value_counts(attr) == want_counts, (label, attr)
    order = {id(o): i for i, o in enumerate(idx.collect())}
    want_order = [o for o, v in sorted(reached, key=lambda p: (p[1], order[id(p[0])]))]
    assert idx.ordered_by(attr) == want_order, (label, attr)


@pytest.mark.parametrize("seed", CYCLE_SEEDS)
def test_dotted_paths_through_cycles_follow_the_walk(seed):
    rng = random.Random(seed)
    for world in range(15):
        nodes, edges = build_world(rng)
        idx, members, how = enter(rng, nodes, edges)
        for step in range(4):
            if step == 3 and len(members) > 1:
                # A member leaves; what it alone reached leaves with it.
                gone = rng.choice(members)
                idx.remove_object(gone)
                members.remove(gone)
            elif step:
                # Reassignments after entering: links and leaf values.
                o = rng.choice(nodes)
                if rng.random() < 0.5:
                    setattr(o, rng.choice(LINKS), rng.choice(nodes))
                else:
                    o.x = rng.randrange(4)
            if CYCLE_VALIDATE is not None:
                CYCLE_VALIDATE(idx)
            label = "seed %d world %d (%s) step %d" % (seed, world, how, step)
            path = [rng.choice(LINKS) for _ in range(rng.randrange(1, 6))] + ["x"]
            check_cycle_aggregates(idx, members, path, label)
            # A view of every member, and an index rebuilt from it.
            view = idx.reduced_query(Q.ge("x", 0))
            check_cycle_aggregates(view, members, path, label + " view")
            rebased = view.rebase()
            if CYCLE_VALIDATE is not None:
                CYCLE_VALIDATE(rebased)
            check_cycle_aggregates(rebased, members, path, label + " rebased")
            for _ in range(40):
                path = [rng.choice(LINKS) for _ in range(rng.randrange(1, 6))] + ["x"]
                op = rng.choice(["eq", "ne", "ge", "lt"])
                value = rng.randrange(4)
                expr = getattr(Q, op)(".".join(path), value)
                got = idx.reduced_query(expr).collect()
                want = cycle_expected(members, path, op, value)
                want = [o for o in idx.collect() if o in want]
                assert view.reduced_query(expr).collect() == want
                assert rebased.reduced_query(expr).collect() == want
                assert got == want, (
                    "seed %d world %d (%s) step %d: %s(%r, %r): got %s, want %s"
                    % (seed, world, how, step, op, ".".join(path), value,
                       [nodes.index(o) for o in got], [nodes.index(o) for o in want]))


def test_cycle_answers_are_independent_of_the_order_of_adding():
    def world():
        a, b, d = Node(x=1), Node(x=2), Node()
        a.n, b.n = b, a
        return a, b, d

    answers = []
    a, b, d = world()
    idx = Index()
    idx.add_object(a)
    d.n = b
    idx.add_object(d)
    answers.append(("a then d", idx, [a, d]))
    a, b, d = world()
    d.n = b
    idx = Index()
    idx.add_object(d)
    idx.add_object(a)
    answers.append(("d then a", idx, [a, d]))
    a, b, d = world()
    idx = Index()
    idx.add_object_many([a, d])
    d.n = b
    answers.append(("batch, then d.n = b", idx, [a, d]))
    a, b, d = world()
    source = Index()
    source.add_object(a)
    d.n = b
    source.add_object(d)
    idx = Index()
    idx.union_with(source)
    answers.append(("union", idx, [a, d]))
    a, b, d = world()
    idx = Index()
    idx.add_object(a)
    answers.append(("a alone", idx, [a]))
    for label, idx, want in answers:
        got = idx.reduced_query(Q.eq("n.n.x", 1)).collect()
        assert got == want, label
        # Around the cycle again: a.n.n.n.n.x is a.x as well.
        assert idx.reduced_query(Q.eq("n.n.n.n.x", 1)).collect() == want, label
