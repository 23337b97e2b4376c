"""One class per library a user could index live objects with.

Every peer follows the same protocol:

    peer.build(objs)           index a list of objects (the timed build)
    peer.prepare(query)        a function of no arguments answering the query
                               with a list of the indexed objects (any order)
    peer.set_attr(pos, a, v)   set attribute a of objs[pos] to v and keep the
                               index current, the way the library's docs say
    peer.key(obj)              position of a returned object in the data set

`uses_items` tells the driver to hand the peer `Corvane.Indexable` objects
instead of plain records.  Queries are the tuples of workloads.py.
"""

from __future__ import annotations

import bisect
import sqlite3
import time

from workloads import next_prefix, query_attrs


def _terms(query):
    return query[1] if query[0] == "and" else [query]


class Peer:
    name = "?"
    uses_items = False
    mutable = True  # False: set_attr rebuilds the whole index

    def build(self, objs, sups=()):
        raise NotImplementedError

    def prepare(self, query):
        raise NotImplementedError

    def set_attr(self, pos, attr, value):
        raise NotImplementedError

    @staticmethod
    def key(obj):
        return obj.k

    def supports(self, query) -> bool:
        return True


# ---------------------------------------------------------------- Corvane


class CorvanePeer(Peer):
    """Corvane: keyword equality through `get_by_attribute`, everything else
    through `reduced_query(...).collect()`."""

    name = "corvane"
    uses_items = True

    def __init__(self, corvane, keyword_equality=True):
        self.cv = corvane
        self.keyword_equality = keyword_equality
        if not keyword_equality:
            self.name = "corvane (expr)"

    def build(self, objs, sups=()):
        self.objs = objs
        self.pos = None
        self.index = self.cv.Index()
        self.index.add_object_many(objs)

    def key(self, obj):
        # Positions are only needed to check answers; made on first use so
        # that the memory of a build does not include them.
        if self.pos is None:
            self.pos = {id(o): k for k, o in enumerate(self.objs)}
        return self.pos[id(obj)]

    def _expr(self, query):
        Q = self.cv.PyQueryExpr
        kind = query[0]
        if kind == "eq" or kind == "path":
            return Q.eq(query[1], query[2])
        if kind == "range":
            return Q.bt(query[1], query[2], query[3])
        if kind == "lt":
            return Q.lt(query[1], query[2])
        if kind == "prefix":
            return Q.startswith(query[1], query[2])
        if kind == "and":
            return Q.and_(*[self._expr(q) for q in query[1]])
        raise ValueError(kind)

    def prepare(self, query):
        index = self.index
        terms = _terms(query)
        if self.keyword_equality and all(t[0] == "eq" for t in terms):
            kwargs = {t[1]: t[2] for t in terms}
            return lambda: index.get_by_attribute(**kwargs)
        # The expression is built inside the call, as a user would write it.
        make = self._expr
        return lambda: index.reduced_query(make(query)).collect()

    def set_attr(self, pos, attr, value):
        setattr(self.objs[pos], attr, value)


# ---------------------------------------------------------------- list comprehension


def _py_condition(query, var="o"):
    kind = query[0]
    if kind == "eq":
        return f"{var}.{query[1]} == {query[2]!r}"
    if kind == "range":
        return f"{query[2]!r} <= {var}.{query[1]} <= {query[3]!r}"
    if kind == "path":
        return f"{var}.{query[1]} == {query[2]!r}"
    if kind == "lt":
        return f"{var}.{query[1]} < {query[2]!r}"
    if kind == "prefix":
        return f"{var}.{query[1]}.startswith({query[2]!r})"
    if kind == "and":
        return " and ".join(f"({_py_condition(q, var)})" for q in query[1])
    raise ValueError(kind)


class ListComp(Peer):
    """A plain list scanned by a list comprehension written for the query."""

    name = "list comprehension"

    def build(self, objs, sups=()):
        self.objs = list(objs)

    def prepare(self, query):
        # The comprehension a user would type, e.g. [o for o in objs if o.cat == 5].
        fn = eval(f"lambda objs: [o for o in objs if {_py_condition(query)}]")
        objs = self.objs
        return lambda: fn(objs)

    def set_attr(self, pos, attr, value):
        setattr(self.objs[pos], attr, value)


# ---------------------------------------------------------------- dict of sets


class DictOfSets(Peer):
    """The index one writes by hand: per attribute a dict from value to the set
    of objects; ranges walk a sorted list of the distinct values."""

    name = "dict of sets"

    def build(self, objs, sups=()):
        self.objs = objs
        self.maps = {}
        self.sorted_keys = {}
        attrs = [a for a in type(objs[0]).__slots__ if a != "k"] if objs else []
        for attr in attrs:
            if attr == "sup":
                attr, get = "sup.country", (lambda o: o.sup.country)
            else:
                get = _getter(attr)
            m = self.maps[attr] = group_by(objs, get)
            first = next(iter(m), None)
            if isinstance(first, (int, float, str)):
                self.sorted_keys[attr] = sorted(m)

    def _eval(self, q):
        kind = q[0]
        if kind == "eq" or kind == "path":
            return self.maps[q[1]].get(q[2], set())
        if kind == "range":
            keys = self.sorted_keys[q[1]]
            m = self.maps[q[1]]
            i = bisect.bisect_left(keys, q[2])
            j = bisect.bisect_right(keys, q[3])
            return set().union(*[m[k] for k in keys[i:j]])
        if kind == "lt":
            keys = self.sorted_keys[q[1]]
            m = self.maps[q[1]]
            return set().union(*[m[k] for k in keys[:bisect.bisect_left(keys, q[2])]])
        if kind == "prefix":
            keys = self.sorted_keys[q[1]]
            m = self.maps[q[1]]
            i = j = bisect.bisect_left(keys, q[2])
            while j < len(keys) and keys[j].startswith(q[2]):
                j += 1
            return set().union(*[m[k] for k in keys[i:j]])
        if kind == "and":
            sets = sorted((self._eval(t) for t in q[1]), key=len)
            return sets[0].intersection(*sets[1:])
        raise ValueError(kind)

    def prepare(self, query):
        ev = self._eval
        return lambda: list(ev(query))

    def set_attr(self, pos, attr, value):
        o = self.objs[pos]
        m = self.maps[attr]
        old = getattr(o, attr)
        m[old].discard(o)
        setattr(o, attr, value)
        s = m.get(value)
        if s is None:
            m[value] = {o}
            if attr in self.sorted_keys:
                bisect.insort(self.sorted_keys[attr], value)
        else:
            s.add(o)


def group_by(objs, get):
    """A dict from each value `get` gives to the set of objects giving it."""
    groups = {}
    for o in objs:
        v = get(o)
        s = groups.get(v)
        if s is None:
            groups[v] = {o}
        else:
            s.add(o)
    return groups


def _getter(attr):
    return eval(f"lambda o: o.{attr}")


class HandIndexed:
    """Base of objects kept in a hand-written dict of sets: the subclass's
    `_maps` holds, per indexed attribute, a dict from value to the set of
    objects with that value, and every assignment moves the object between
    sets (an emptied set is dropped, so old values do not pile up)."""

    __slots__ = ()
    _maps: dict = {}

    def __setattr__(self, name, value):
        m = self._maps.get(name)
        if m is None:
            object.__setattr__(self, name, value)
            return
        old = getattr(self, name)
        s = m[old]
        s.discard(self)
        if not s:
            del m[old]
        object.__setattr__(self, name, value)
        s = m.get(value)
        if s is None:
            m[value] = {self}
        else:
            s.add(self)


class DictOfSetsSetattr(Peer):
    """The dict of sets a user writes by hand for objects that change: the
    objects' class derives from `HandIndexed`, so `obj.attr = v` keeps the
    sets current.  Equality only; a nested object is indexed by identity."""

    name = "dict of sets"
    base = HandIndexed

    def build(self, objs, sups=()):
        self.objs = objs
        maps = {}
        attrs = [a for a in type(objs[0]).__slots__ if a != "k"] if objs else []
        for attr in attrs:
            maps[attr] = group_by(objs, _getter(attr))
        if objs:
            type(objs[0])._maps = maps
        self.maps = maps

    def prepare(self, query):
        terms = _terms(query)
        if not all(t[0] == "eq" for t in terms):
            raise ValueError("equality only")
        maps = self.maps
        if len(terms) == 1:
            m, v = maps[terms[0][1]], terms[0][2]
            return lambda: list(m.get(v, ()))

        def run():
            sets = sorted((maps[t[1]].get(t[2], set()) for t in terms), key=len)
            return list(sets[0].intersection(*sets[1:]))

        return run

    def set_attr(self, pos, attr, value):
        setattr(self.objs[pos], attr, value)


# ---------------------------------------------------------------- sqlite3


class SQLite(Peer):
    """sqlite3 in memory: one row per object (rowid = position), one index per
    column, optional composite indexes, ANALYZE.  Answers map row ids back to
    the objects.  A nested supplier becomes a second table and a join."""

    def __init__(self, composite=(), analyze=True, name=None, prefix_as_range=False):
        # A prefix as `LIKE 'p%'` (what one writes; case-insensitive by
        # default, so it cannot use the column's index), or as the range
        # `>= p AND < p'` that the index answers.
        self.prefix_as_range = prefix_as_range
        self.composite = [tuple(c) for c in composite]
        self.analyze = analyze
        self.name = name or ("sqlite3 (composite)" if composite else "sqlite3")

    def build(self, objs, sups=(), rows=None):
        """Build from the objects, or from ready row tuples (k, attrs...) when
        `rows` is given."""
        self.objs = objs
        attrs = [a for a in type(objs[0]).__slots__ if a != "k"]
        self.attrs = attrs
        con = sqlite3.connect(":memory:", isolation_level=None)
        self.con = con
        cols = ", ".join(attrs)
        con.execute(f"CREATE TABLE items (k INTEGER PRIMARY KEY, {cols})")
        if rows is None:
            # The row id is the object's position in `objs`.
            fields = ", ".join("o.sup.k" if a == "sup" else f"o.{a}" for a in attrs)
            rows = map(eval(f"lambda k, o: (k, {fields})"), range(len(objs)), objs)
        marks = ", ".join("?" * (len(attrs) + 1))
        t0 = time.perf_counter()
        con.execute("BEGIN")
        con.executemany(f"INSERT INTO items VALUES ({marks})", rows)
        if sups:
            con.execute("CREATE TABLE sups (k INTEGER PRIMARY KEY, country)")
            con.executemany("INSERT INTO sups VALUES (?, ?)", ((s.k, s.country) for s in sups))
        con.execute("COMMIT")
        t1 = time.perf_counter()
        self.create_indexes()
        self.t_insert, self.t_index = t1 - t0, time.perf_counter() - t1

    def create_indexes(self):
        con = self.con
        for a in self.attrs:
            con.execute(f"CREATE INDEX items_{a} ON items ({a})")
        if "sup" in self.attrs:
            con.execute("CREATE INDEX sups_country ON sups (country)")
        for cols in self.composite:
            con.execute(f"CREATE INDEX items_{'_'.join(cols)} ON items ({', '.join(cols)})")
        if self.analyze:
            con.execute("ANALYZE")

    def _sql(self, query):
        params = []
        join = False

        def cond(q):
            nonlocal join
            kind = q[0]
            if kind == "eq":
                params.append(q[2])
                return f"items.{q[1]} = ?"
            if kind == "range":
                params.extend(q[2:4])
                return f"items.{q[1]} BETWEEN ? AND ?"
            if kind == "lt":
                params.append(q[2])
                return f"items.{q[1]} < ?"
            if kind == "prefix":
                if self.prefix_as_range:
                    params.extend((q[2], next_prefix(q[2])))
                    return f"items.{q[1]} >= ? AND items.{q[1]} < ?"
                params.append(q[2] + "%")
                return f"items.{q[1]} LIKE ?"
            if kind == "path":
                assert q[1] == "sup.country"
                join = True
                params.append(q[2])
                return "sups.country = ?"
            if kind == "and":
                return " AND ".join(cond(t) for t in q[1])
            raise ValueError(kind)

        where = cond(query)
        src = "items JOIN sups ON items.sup = sups.k" if join else "items"
        return f"SELECT items.k FROM {src} WHERE {where}", tuple(params)

    def prepare(self, query):
        sql, params = self._sql(query)
        con, objs = self.con, self.objs
        return lambda: [objs[r[0]] for r in con.execute(sql, params)]

    def set_attr(self, pos, attr, value):
        setattr(self.objs[pos], attr, value)
        self.con.execute(f"UPDATE items SET {attr} = ? WHERE k = ?", (value, pos))


# ---------------------------------------------------------------- ducks


def _country(o):
    return o.sup.country


class DucksPeer(Peer):
    """ducks `Dex` (mutable) or `FrozenDex` (immutable, rebuilt on change).
    The dotted path is indexed through a function attribute."""

    def __init__(self, frozen=False):
        import ducks

        self.ducks = ducks
        self.frozen = frozen
        self.name = "ducks FrozenDex" if frozen else "ducks Dex"
        self.mutable = not frozen

    def build(self, objs, sups=()):
        self.objs = objs
        attrs = [a for a in type(objs[0]).__slots__ if a != "k"]
        self.on = [a if a != "sup" else _country for a in attrs]
        cls = self.ducks.FrozenDex if self.frozen else self.ducks.Dex
        self.dex = cls(objs, on=self.on)

    @staticmethod
    def _dict(query, out):
        kind = query[0]
        if kind == "eq":
            out[query[1]] = {"==": query[2]}
        elif kind == "range":
            out[query[1]] = {">=": query[2], "<=": query[3]}
        elif kind == "path":
            out[_country] = {"==": query[2]}
        elif kind == "and":
            for t in query[1]:
                DucksPeer._dict(t, out)
        return out

    def prepare(self, query):
        d = self._dict(query, {})
        return lambda: self.dex[d]

    def set_attr(self, pos, attr, value):
        o = self.objs[pos]
        if self.frozen:
            setattr(o, attr, value)
            self.dex = self.ducks.FrozenDex(self.objs, on=self.on)
        else:
            self.dex.remove(o)
            setattr(o, attr, value)
            self.dex.add(o)


# ---------------------------------------------------------------- Polars


class PolarsPeer(Peer):
    """A Polars DataFrame of the objects' attributes (strings as categoricals,
    the supplier's country copied into its own column) with a row index;
    queries are eager `filter`s whose row indexes map back to the objects."""

    name = "polars"

    def __init__(self):
        import polars

        self.pl = polars

    def build(self, objs, sups=()):
        pl = self.pl
        self.objs = objs
        attrs = [a for a in type(objs[0]).__slots__ if a != "k"]
        data = {}
        for a in attrs:
            if a == "sup":
                data["country"] = pl.Series([o.sup.country for o in objs], dtype=pl.Categorical)
                continue
            vals = [getattr(o, a) for o in objs]
            if isinstance(vals[0], str):
                data[a] = pl.Series(vals, dtype=pl.Categorical)
            else:
                data[a] = vals
        self.df = pl.DataFrame(data).with_row_index("row")

    def _expr(self, q):
        pl = self.pl
        kind = q[0]
        if kind == "eq":
            return pl.col(q[1]) == q[2]
        if kind == "range":
            return pl.col(q[1]).is_between(q[2], q[3])
        if kind == "path":
            return pl.col("country") == q[2]
        if kind == "and":
            e = self._expr(q[1][0])
            for t in q[1][1:]:
                e = e & self._expr(t)
            return e
        raise ValueError(kind)

    def prepare(self, query):
        objs = self.objs
        make = self._expr

        def run():
            rows = self.df.filter(make(query)).get_column("row").to_list()
            return [objs[i] for i in rows]

        return run

    def set_attr(self, pos, attr, value):
        setattr(self.objs[pos], attr, value)
        self.df[pos, attr] = value


# ---------------------------------------------------------------- pyroaring + sortedcontainers


class RoaringSorted(Peer):
    """A hand-made index: for attributes with few distinct values a SortedDict
    from value to a pyroaring BitMap of positions; for the others a SortedList
    of (value, position) pairs.  Conjunctions intersect bitmaps."""

    name = "pyroaring+sortedcontainers"

    def __init__(self):
        from pyroaring import BitMap
        from sortedcontainers import SortedDict, SortedList

        self.BitMap, self.SortedDict, self.SortedList = BitMap, SortedDict, SortedList

    def build(self, objs, sups=()):
        self.objs = objs
        n = len(objs)
        self.n = n
        self.bitmaps = {}
        self.sorted = {}
        attrs = [a for a in type(objs[0]).__slots__ if a != "k"]
        for attr in attrs:
            if attr == "sup":
                attr, get = "sup.country", _country
            else:
                get = _getter(attr)
            vals = list(map(get, objs))
            groups = {}
            for i, v in enumerate(vals):
                g = groups.get(v)
                if g is None:
                    groups[v] = [i]
                else:
                    g.append(i)
            if len(groups) * 8 <= n:
                BitMap = self.BitMap
                self.bitmaps[attr] = self.SortedDict({v: BitMap(ids) for v, ids in groups.items()})
            else:
                self.sorted[attr] = self.SortedList(zip(vals, range(n)))

    def _eval(self, q):
        """A BitMap of positions, or a list of positions for a lone sorted term."""
        kind = q[0]
        attr = q[1]
        if kind == "eq" or kind == "path":
            if attr in self.bitmaps:
                return self.bitmaps[attr].get(q[2]) or self.BitMap()
            lo = hi = q[2]
        elif kind == "range":
            lo, hi = q[2], q[3]
            if attr in self.bitmaps:
                d = self.bitmaps[attr]
                return self.BitMap.union(self.BitMap(), *[d[v] for v in d.irange(lo, hi)])
        else:
            raise ValueError(kind)
        sl = self.sorted[attr]
        return self.BitMap([p for _, p in sl.irange((lo, -1), (hi, self.n))])

    def prepare(self, query):
        objs = self.objs
        if query[0] == "and":
            terms = query[1]
            ev = self._eval

            def run():
                bm = ev(terms[0])
                for t in terms[1:]:
                    bm = bm & ev(t)
                return [objs[i] for i in bm]

            return run
        ev = self._eval
        return lambda: [objs[i] for i in ev(query)]

    def set_attr(self, pos, attr, value):
        o = self.objs[pos]
        old = getattr(o, attr)
        setattr(o, attr, value)
        if attr in self.bitmaps:
            d = self.bitmaps[attr]
            d[old].discard(pos)
            bm = d.get(value)
            if bm is None:
                d[value] = self.BitMap([pos])
            else:
                bm.add(pos)
        else:
            sl = self.sorted[attr]
            sl.remove((old, pos))
            sl.add((value, pos))


__all__ = [
    "Peer",
    "CorvanePeer",
    "ListComp",
    "DictOfSets",
    "DictOfSetsSetattr",
    "HandIndexed",
    "SQLite",
    "DucksPeer",
    "PolarsPeer",
    "RoaringSorted",
    "query_attrs",
]
