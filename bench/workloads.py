"""Data sets and queries shared by every benchmark section.

Every data set is generated column by column from a fixed seed, so each peer
can build its own copy of the same objects: plain `Rec` / `Sup` objects with
`__slots__` for the peers that index ordinary Python objects, `Item` / `Supplier`
(subclasses of `Corvane.Indexable`) for Corvane.  Results are compared by the
position `k` of each object in the generated data.

Queries are small tuples that every peer translates into its own calls:

    ("eq", attr, value)                 equality
    ("range", attr, lo, hi)             lo <= attr <= hi
    ("lt", attr, value)                 attr < value
    ("prefix", attr, p)                 attr is a str starting with p
    ("and", [query, ...])               conjunction of eq / range terms
    ("path", "sup.country", value)      equality through the nested supplier
"""

from __future__ import annotations

import random
from dataclasses import dataclass, field

SEED = 20240917

# Comparison data set: one attribute per equality selectivity.
N_CAT = 1000  # cat == c selects 0.1 %
N_GROUPS = 20  # s == "g07" selects 5 %
N_SUPPLIERS = 1000
N_COUNTRIES = 100  # sup.country == "C17" selects 1 %
GROUPS = [f"g{i:02d}" for i in range(N_GROUPS)]
COUNTRIES = [f"C{i:02d}" for i in range(N_COUNTRIES)]

# Core data set: four attributes (category, int, float, str).
N_WORDS = 10_000
WORDS = [f"w{i:05d}" for i in range(N_WORDS)]

# Four-attribute data set: four attributes of ten values each, so an equality on
# all four selects 1 / 10,000 of the objects (200 out of 2,000,000).
FOUR_ATTRS = ("a", "b", "c", "d")
FOUR_VALUES = 10


def rec_class(names, base=object, key=True):
    """A plain record class with exactly the given attributes (and `k` unless
    `key` is false), the kind of object a user of the other peers would keep.
    `base` may hook attribute assignment (see peers.HandIndexed)."""
    slots = ("k", *names) if key else tuple(names)
    return type("Rec", (base,), {"__slots__": slots, "__module__": __name__})


class Sup:
    __slots__ = ("k", "country")

    def __init__(self, k, country):
        self.k = k
        self.country = country


@dataclass
class DataSet:
    """Columns of one generated data set (lists of equal length)."""

    name: str
    n: int
    columns: dict[str, list]
    sup_country: list[str] = field(default_factory=list)  # per supplier, if any

    @property
    def attrs(self) -> list[str]:
        return list(self.columns)

    def recs(self, base=object) -> list:
        """A fresh list of plain objects (each peer gets its own).  The
        attributes are stored with `object.__setattr__`, so a `base` that
        hooks assignment sees none of them."""
        sups = [Sup(i, c) for i, c in enumerate(self.sup_country)]
        names = list(self.columns)
        cls = rec_class(names, base)
        cols = [self.columns[x] for x in names]
        store = object.__setattr__
        out = []
        for k in range(self.n):
            r = cls()
            store(r, "k", k)
            for name, col in zip(names, cols):
                store(r, name, sups[col[k]] if name == "sup" else col[k])
            out.append(r)
        return out

    def items(self, corvane):
        """A fresh list of Corvane objects with the same attribute values, and
        the map from `id()` of each object to its position (for checking)."""

        class Item(corvane.Indexable):
            pass

        class Supplier(corvane.Indexable):
            pass

        sups = [Supplier(country=c) for c in self.sup_country]
        cols = self.columns
        names = list(cols)
        if "sup" in cols:
            sup_col = cols["sup"]
            col_lists = [cols[x] if x != "sup" else None for x in names]
            out = []
            for k in range(self.n):
                kw = {}
                for name, col in zip(names, col_lists):
                    kw[name] = sups[sup_col[k]] if col is None else col[k]
                out.append(Item(**kw))
        else:
            col_lists = [cols[x] for x in names]
            out = [Item(**dict(zip(names, vals))) for vals in zip(*col_lists)]
        return out, sups


def _permutation(rng: random.Random, n: int) -> list[int]:
    p = list(range(n))
    rng.shuffle(p)
    return p


def core_data(n: int) -> DataSet:
    """cat: int with 1,000 values; n: unique int; f: float in [0, 1); s: str
    with 10,000 values."""
    rng = random.Random(SEED)
    r = rng.randrange
    cols = {
        "cat": [r(N_CAT) for _ in range(n)],
        "n": _permutation(rng, n),
        "f": [rng.random() for _ in range(n)],
        "s": [WORDS[r(N_WORDS)] for _ in range(n)],
    }
    return DataSet("core", n, cols)


def compare_data(n: int) -> DataSet:
    """The comparison data set: cat (1,000 values), n (unique int), f (float),
    s (20 strings), flag (0 / 1) and sup (one of 1,000 suppliers, each with one
    of 100 countries)."""
    rng = random.Random(SEED + n)
    r = rng.randrange
    cols = {
        "cat": [r(N_CAT) for _ in range(n)],
        "n": _permutation(rng, n),
        "f": [rng.random() for _ in range(n)],
        "s": [GROUPS[r(N_GROUPS)] for _ in range(n)],
        "flag": [r(2) for _ in range(n)],
        "sup": [r(N_SUPPLIERS) for _ in range(n)],
    }
    # Ten suppliers per country, so each country holds 1 % of the objects.
    sup_country = [COUNTRIES[i % N_COUNTRIES] for i in range(N_SUPPLIERS)]
    return DataSet("compare", n, cols, sup_country)


def strings_data(n: int) -> DataSet:
    """s: str with 10,000 values (each about 0.01 % of the objects); name: a
    unique str per object, in an order unrelated to the objects'."""
    rng = random.Random(SEED + 8)
    return DataSet("strings", n, {
        "s": [WORDS[rng.randrange(N_WORDS)] for _ in range(n)],
        "name": [f"n{k:07d}" for k in _permutation(rng, n)],
    })


def next_prefix(p: str) -> str:
    """The least str above every str starting with `p` (p not empty, its
    last code point not the highest)."""
    return p[:-1] + chr(ord(p[-1]) + 1)


def string_queries(n: int) -> list[tuple[str, tuple]]:
    """Prefixes and ranges of strs on the strings data set: over a few
    values held by many objects, and over unique values."""
    return [
        ("prefix 1% (100 of 10,000 words)", ("prefix", "s", "w012")),
        ("prefix 1,000 unique names", ("prefix", "name", "n0012")),
        ("str range 1% (100 words)", ("range", "s", "w01200", "w01299")),
        ("str range 1% (unique names)",
         ("range", "name", f"n{n // 3:07d}", f"n{n // 3 + n // 100 - 1:07d}")),
    ]


def four_attr_data(n: int) -> DataSet:
    rng = random.Random(SEED + 4)
    r = rng.randrange
    cols = {a: [r(FOUR_VALUES) for _ in range(n)] for a in FOUR_ATTRS}
    return DataSet("four", n, cols)


# Lean data set: six attributes of the kinds an application object carries,
# two strings of few values, an int of 1,000 values, a unique int, a float
# and a nested object shared by many (one of 1,000 suppliers).
LEAN_ATTRS = ("color", "shape", "cat", "uid", "price", "sup")
COLORS = [f"colour{i}" for i in range(10)]
SHAPES = ["round", "square", "oval", "flat"]
# uid = k * UID_MUL mod UID_MOD is unique for k < UID_MOD (the modulus is prime).
UID_MUL, UID_MOD = 2_654_435_761, 2_147_483_647


def lean_rows(n: int):
    """The lean data set row by row: (color, shape, cat, uid, price, supplier
    number).  Every int and float is a new object, as if just read from a
    file, so a memory reading taken while the rows are turned into objects
    charges each object with the values it keeps."""
    rng = random.Random(SEED + 6)
    r, rand = rng.randrange, rng.random
    for k in range(n):
        yield (COLORS[r(10)], SHAPES[r(4)], r(N_CAT), k * UID_MUL % UID_MOD, rand(),
               r(N_SUPPLIERS))


def lean_data(n: int) -> DataSet:
    cols = dict(zip(LEAN_ATTRS, map(list, zip(*lean_rows(n))))) if n else {a: [] for a in LEAN_ATTRS}
    sup_country = [COUNTRIES[i % N_COUNTRIES] for i in range(N_SUPPLIERS)]
    return DataSet("lean", n, cols, sup_country)


def scale_data(n: int) -> DataSet:
    """One attribute `grp` of 100 values, each selecting 1 % of the objects
    (a single attribute, so that the dict of sets peer indexes only it)."""
    rng = random.Random(SEED + 7)
    return DataSet("scale", n, {"grp": [rng.randrange(100) for _ in range(n)]})


# ---------------------------------------------------------------- queries


def n_range(n: int, count: int, start_frac: float = 0.37) -> tuple:
    """A range over the unique int `n` selecting exactly `count` objects."""
    count = max(1, min(count, n))
    lo = min(int(n * start_frac), n - count)
    return ("range", "n", lo, lo + count - 1)


def f_range(frac: float, start: float = 0.21, attr: str = "f") -> tuple:
    """A range over a uniform float in [0, 1) (`f` unless `attr` says
    otherwise) selecting about `frac` of the objects."""
    start = min(start, 1.0 - frac)
    return ("range", attr, start, start + frac)


def compare_queries(n: int) -> list[tuple[str, tuple]]:
    """(label, query) pairs of the comparison suite for n objects."""
    return [
        ("eq 1 obj", ("eq", "n", n // 3)),
        ("eq 0.1%", ("eq", "cat", 417)),
        ("eq 5%", ("eq", "s", "g07")),
        ("eq 50%", ("eq", "flag", 1)),
        ("range 1 obj", n_range(n, 1)),
        ("range 0.1%", n_range(n, n // 1000)),
        ("range 5%", n_range(n, n // 20)),
        ("range 50%", n_range(n, n // 2)),
        # 5 % of the objects are in group g07, 10 % in the n range: 0.5 %.
        ("compound", ("and", [("eq", "s", "g07"), n_range(n, n // 10, 0.52)])),
        ("dotted path", ("path", "sup.country", "C17")),
    ]


def core_queries(n: int) -> list[tuple[str, tuple]]:
    """Range and compound queries on the core data set."""
    return [
        ("range int 1%", n_range(n, n // 100)),
        ("range int 10%", n_range(n, n // 10)),
        ("range float 1%", f_range(0.01)),
        ("range float 10%", f_range(0.10)),
        # cat selects 0.1 %, the float range 10 %: about 0.01 %.
        ("compound eq+range", ("and", [("eq", "cat", 417), f_range(0.10, 0.4)])),
    ]


def lean_compound_query() -> tuple:
    """A small equality set (0.1 %) and a wide range (about half of the
    objects: the unique ints spread evenly over [0, UID_MOD))."""
    return ("and", [("eq", "cat", 417), ("lt", "uid", UID_MOD // 2)])


def four_attr_query() -> tuple:
    return ("and", [("eq", a, v) for a, v in zip(FOUR_ATTRS, (3, 1, 4, 1))])


def evaluate(query: tuple, obj) -> bool:
    """Plain Python evaluation of a query on one object (the reference)."""
    kind = query[0]
    if kind == "eq":
        return getattr(obj, query[1]) == query[2]
    if kind == "range":
        return query[2] <= getattr(obj, query[1]) <= query[3]
    if kind == "lt":
        return getattr(obj, query[1]) < query[2]
    if kind == "prefix":
        v = getattr(obj, query[1])
        return isinstance(v, str) and v.startswith(query[2])
    if kind == "and":
        return all(evaluate(q, obj) for q in query[1])
    if kind == "path":
        v = obj
        for part in query[1].split("."):
            v = getattr(v, part)
        return v == query[2]
    raise ValueError(f"unknown query kind {kind!r}")


def query_attrs(query: tuple) -> list[str]:
    if query[0] == "and":
        return [a for q in query[1] for a in query_attrs(q)]
    return [query[1]]
