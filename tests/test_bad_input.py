"""Bad input through every public entry point.

`TABLE` below lists every input tried: the entry point, what is wrong with
the input, and the answer expected (an exception with its message, or the
documented behaviour).  Each row runs against a fresh set of objects held by
two indexes and a view; after the call, whatever it raised, both indexes
must still answer every query as the objects' current attributes say (no
broken lock, no half-made change, no stray entry).

Messages written by the interpreter itself (integer conversion, keywords
that are not strings, final classes) are checked by type only.
"""

import copy
import ctypes
import datetime
import decimal
import enum
import fractions
import gc
import math
import pickle
import platform
import threading
from collections.abc import Sequence

import pytest

import Corvane
from Corvane import FilteredIndex, Index, Indexable, PyQueryExpr as Q

from reference_model import ModelIndex, build

PanicException = Corvane.PanicException
IS_PYPY = platform.python_implementation() == "PyPy"


# --------------------------------------------------------------------------
# awkward values


class BadHash:
    """Hashing raises something other than TypeError: the exception
    propagates from every call that wraps the value."""

    def __init__(self, exc=ValueError):
        self.exc = exc

    def __hash__(self):
        raise self.exc("no hash for you")


class FailingZone(datetime.tzinfo):
    """A timezone whose offset cannot be read."""

    def utcoffset(self, dt):
        raise ValueError("no offset here")


class TypeErrorHash:
    """Hashing raises TypeError: unhashable, a key of its own."""

    def __hash__(self):
        raise TypeError("unhashable here")


class Unhashable:
    __hash__ = None


class BadEq:
    """Comparing raises.  The module compares a value with the values of its
    hash that it already holds (only ever with `==` of objects of other types
    than int, float and str), so instances get distinct hashes unless made
    with the same one."""

    _next = iter(range(10**12, 10**13))

    def __init__(self, h=None):
        self.h = next(BadEq._next) if h is None else h

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        raise ValueError("no comparing")


class HashMinusOne:
    """__hash__ returns -1, which the interpreter turns into -2."""

    def __hash__(self):
        return -1


class IntLike(int):
    pass


class FloatLike(float):
    pass


class StrLike(str):
    pass


class ListLike(list):
    pass


class Flag(enum.IntEnum):
    ONE = 1


class Boom(Exception):
    pass


class RaisingIter:
    """Iterable whose iterator yields one item, then raises."""

    def __init__(self, first=1):
        self.first = first
        self.error = Boom("from the iterator")

    def __iter__(self):
        yield self.first
        raise self.error


class IterRaises:
    """Iterable whose __iter__ itself raises: taken as one value."""

    def __iter__(self):
        raise Boom("no iterator")


class SeqRaising(Sequence):
    """A sequence whose second item cannot be read."""

    def __init__(self, first):
        self.first = first

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 0:
            return self.first
        if i < 3:
            raise Boom("item %d" % i)
        raise IndexError(i)


def other_gains(make, all=False):
    """A row adding a batch made by `make(env)` to the second index."""

    def call(e):
        e.other.add_object_many(make(e))
        gained = e.objs if all else [e.o]
        e.members[id(e.other)] = [o for o in e.objs if o in gained or o in e.members[id(e.other)]]

    return call


def other_loses(make, positions):
    """A row removing a batch made by `make(env)` from the second index."""

    def call(e):
        e.other.remove_object_many(make(e))
        gone = [e.objs[i] for i in positions]
        e.members[id(e.other)] = [o for o in e.members[id(e.other)] if o not in gone]

    return call


def raising_after(first):
    """A generator that yields one object, then raises."""
    yield first
    raise Boom("after one")


class LenRaises(Sequence):
    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise Boom("no length")

    def __getitem__(self, i):
        return self.items[i]


NAN = float("nan")
# Values assigned by one row and looked up by the same row: unhashable
# values, and values of types that keep object's `==`, are found by
# themselves only.
EMPTY_LIST = []
TYPE_ERROR_HASH = TypeErrorHash()
LONE_BAD_EQ = BadEq()
MINUS_ONE = HashMinusOne()


# --------------------------------------------------------------------------
# the world every row runs against


class Env:
    def __init__(self):
        self.leaf1, self.leaf2 = Indexable(k=1), Indexable(k=2)
        self.objs = [
            Indexable(x=i % 3, y="p" if i % 2 else "q", f=i * 0.5,
                      n=self.leaf1 if i % 2 else self.leaf2)
            for i in range(6)
        ]
        self.fresh = Indexable(x=1, y="p")  # in no index
        self.idx = Index()
        self.idx.add_object_many(self.objs)
        self.other = Index()
        self.other.add_object(self.objs[0])
        self.other.add_object(self.objs[3])
        self.view = self.idx.reduced(y=["p", "q"])
        self.members = {id(self.idx): list(self.objs), id(self.other): [self.objs[0], self.objs[3]]}

    @property
    def o(self):
        return self.objs[1]

    def attrs_of(self, obj):
        count = int(repr(obj).split()[2])
        return {name: getattr(obj, name) for name in obj.__dir__()[:count]}

    def healthy(self):
        """Both indexes answer as the objects' current attributes say."""
        for idx in (self.idx, self.other):
            members = sorted(self.members[id(idx)], key=self.objs.index)
            m = ModelIndex(members, self.attrs_of)
            assert idx.collect() == members
            probes = [("eq", "x", 1), ("eq", "x", 2), ("eq", "y", "p"), ("in", "y", ["q"]),
                      ("gt", "f", 0.75), ("bt", "x", 1, 2), ("eq", "n.k", 1),
                      ("not", ("eq", "y", "p")), ("and", [("ge", "f", 0), ("ne", "x", 2)]),
                      ("contains", "x", 1), ("contains", "y", "p")]
            for e in probes:
                want = [o for o in members if id(o) in m.evaluate(e)]
                assert idx.reduced_query(build(e)).collect() == want, e
            for name, value in (("x", 1), ("x", 2), ("y", "p"), ("y", "q")):
                want = [o for o in members if id(o) in m.keyword_filter({name: [value]})]
                assert idx.get_by_attribute(**{name: [value]}) == want, (name, value)
        assert self.view.collect() == self.objs
        assert self.view.reduced(y="p").collect() == [o for o in self.objs if o.y == "p"]


# --------------------------------------------------------------------------
# row helpers


class Raises:
    def __init__(self, exc, message=None, prefix=None):
        self.exc, self.message, self.prefix = exc, message, prefix

    def check(self, env, call):
        with pytest.raises(BaseException) as info:
            call(env)
        assert type(info.value) is self.exc, repr(info.value)
        text = str(info.value)
        if self.message is not None:
            assert text == self.message
        if self.prefix is not None:
            assert text.startswith(self.prefix), text


class Returns:
    """The call succeeds; `then(env, result)` checks the documented outcome."""

    def __init__(self, then=None):
        self.then = then

    def check(self, env, call):
        result = call(env)
        if self.then is not None:
            self.then(env, result)


def stored_object_names(e):
    """Names the interpreter's own descriptors answer: stored and read back like any other,
    also on a class whose other objects read through PyPy's own lookup."""
    class Own(Indexable):
        pass

    plain, own = Own(x=1), Own(x=2)
    held = Index()
    held.add_object_many([plain, own])
    own.__class__ = int
    own.__weakref__ = "w"
    plain.x = 3
    assert own.__class__ is int and own.__weakref__ == "w" and type(own) is Own
    assert (plain.x, own.x, plain.__class__) == (3, 2, Own)
    assert held.get_by_attribute(x=3) == [plain] and vars(own) == {"x": 2, "__class__": int, "__weakref__": "w"}

    class Late(Indexable):
        pass

    late = Late(y=1)
    assert late.y == 1
    Late.y = property(lambda self: "from the property")  # added after the first object
    late.y = 2  # stored, the property's (missing) setter not called
    assert late.y == 2 and Late(y=3).y == 3 and vars(late) == {"y": 2}


def te(message=None, prefix=None):
    return Raises(TypeError, message, prefix)


def same_exception(make_input, run):
    """M11: the exception raised by the input's own code arrives unchanged."""

    def check(env, call):
        thing = make_input(env)
        with pytest.raises(Boom) as info:
            run(env, thing)
        assert info.value is thing.error

    return check


class Custom:
    def __init__(self, fn):
        self.fn = fn

    def check(self, env, call):
        self.fn(env, call)


def finds(**expected):
    """After an assignment: the index finds the object by these values."""

    def then(env, _):
        for name, value in expected.items():
            assert env.o in env.idx.get_by_attribute(**{name: [value]}), (name, value)
    return Returns(then)


def assigned(name, value, then=None):
    def call(env):
        setattr(env.o, name, value)
        assert getattr(env.o, name) is value
    return call


def recurse_assign(env):
    class Reentrant:
        refused = None

        def __hash__(self):
            if self.refused is None:
                try:
                    env.o.x = 5  # the object is in exclusive use by the outer assignment
                except RuntimeError as e:
                    self.refused = str(e)
            return 77
    value = Reentrant()
    env.o.x = value
    assert value.refused == "Already borrowed"
    assert env.idx.get_by_attribute(x=[value]) == [env.o]


def hash_reads_old_value(env):
    seen = []

    class Peek:
        def __hash__(self):
            seen.append(env.o.x)  # reading during the assignment gives the old value
            return 5
    env.o.x = Peek()
    assert seen == [1]


def snapshot(env):
    """Every object's attributes, as (name, id of the value) pairs."""
    return [[(n, id(v)) for n, v in env.attrs_of(o).items()] for o in env.objs + [env.fresh]]


def refused_everywhere(make_bad, exc, message, setup=None):
    """A value whose wrapping raises: every call that wraps it raises that
    exception and changes nothing (objects, indexes and views)."""

    def check(env, _):
        if setup is not None:
            setup(env)
        calls = [
            ("assign", lambda: setattr(env.o, "x", make_bad())),
            ("assign a new name", lambda: setattr(env.o, "new", make_bad())),
            ("assign a tuple holding it", lambda: setattr(env.o, "x", (1, make_bad()))),
            ("construct", lambda: Indexable(a=1, b=make_bad(), c=2)),
            ("keyword", lambda: env.idx.get_by_attribute(x=make_bad())),
            ("keyword list", lambda: env.idx.get_by_attribute(y="p", x=[1, make_bad()])),
            ("reduce", lambda: env.idx.reduce(x=[0, make_bad()])),
            ("view reduced", lambda: env.view.reduced(x=(make_bad(),))),
            ("eq", lambda: Q.eq("x", make_bad())),
            ("in_", lambda: Q.in_("x", [1, make_bad()])),
            ("contains", lambda: Q.contains("x", make_bad())),
            ("bt", lambda: Q.bt("x", 0, make_bad())),
        ]
        before = snapshot(env)
        for label, call in calls:
            with pytest.raises(exc) as info:
                call()
            assert str(info.value) == message, label
            assert snapshot(env) == before, label

    return check


def holds_bad_eq(env):
    """env.o.x becomes a BadEq alone with its hash (so never compared); the
    BadEq values made next share that hash and must be compared with it."""
    h = BadEq().h
    env.o.x = BadEq(h)
    assert env.idx.get_by_attribute(x=[env.o.x]) == [env.o]  # the same object: not compared
    return lambda: BadEq(h)


def eq_raises_when_compared(env, call):
    make = []
    refused_everywhere(lambda: make[0](), ValueError, "no comparing",
                       setup=lambda e: make.append(holds_bad_eq(e)))(env, call)


def unhashables_by_identity(env, _):
    """Unhashable values (equal lists, a TypeError from __hash__, an
    unhashable class) are keys of their own: never 0, never each other."""
    a, b, t, u = [1], [1], TypeErrorHash(), Unhashable()
    objs = env.objs
    objs[1].x, objs[2].x, objs[4].x, objs[5].x = a, b, t, u
    zeros = [o for o in objs if type(o.x) is int and o.x == 0]
    assert zeros == [objs[0], objs[3]]
    for v, holder in ((a, objs[1]), (b, objs[2]), (t, objs[4]), (u, objs[5])):
        assert env.idx.get_by_attribute(x=[v]) == [holder]
        assert env.idx.reduced_query(Q.eq("x", v)).collect() == [holder]
    assert env.idx.get_by_attribute(x=[0, False, "", []]) == zeros
    assert env.idx.reduced_query(Q.in_("x", [a, 0, Unhashable()])).collect() == [objs[0], objs[1], objs[3]]
    assert env.idx.reduced_query(Q.ne("x", b)).collect() == [o for o in objs if o is not objs[2]]


class FrozenLike(frozenset):
    def __iter__(self):
        return iter([object()])


def elements_beside_an_unhashable_one(env, _):
    """A tuple holding a list is unhashable, a key of its own; its list has
    no element key, its other elements do.  A list value is never looked into."""
    objs = env.objs
    inner = [1]
    objs[0].x, objs[1].x, objs[2].x = ("p", inner), [1, "p"], frozenset({1, "p"})
    objs[3].x = FrozenLike({"p"})                 # a subclass may iterate its own way: not looked into
    sel = lambda e: env.idx.reduced_query(e).collect()
    assert sel(Q.contains("x", "p")) == [objs[0], objs[2]]
    assert sel(Q.contains("x", 1)) == [objs[2]]
    assert env.idx.get_by_attribute(x=[objs[0].x]) == [objs[0]]
    assert env.idx.get_by_attribute(x=[("p", [1])]) == []
    inner.append(2)                               # the tuple's key does not change
    assert sel(Q.contains("x", "p")) == [objs[0], objs[2]]


def unhashable_value_counted(env):
    env.objs[0].x = [1]
    env.idx.value_counts("x")


def iterator_adds_during_lookup(env):
    class Adder:
        def __iter__(self):
            env.idx.add_object(env.fresh)  # the index is in shared use
            yield 1
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        env.idx.get_by_attribute(x=Adder())


class Remover:
    """An iterable whose iteration calls `remove` first."""

    def __init__(self, remove):
        self.remove = remove

    def __iter__(self):
        self.remove()
        yield 1


def removal_refused(call, exc, args):
    def run(env):
        with pytest.raises(exc) as info:
            call(env)
        assert info.value.args == args(env)
        assert len(env.idx) == 6 and env.o in env.idx and env.fresh not in env.idx
    return run


def remove_during_assignment(env):
    class Reentrant:
        refused = None

        def __hash__(self):
            if self.refused is None:
                try:
                    env.idx.remove_object(env.o)  # the object is being assigned
                except RuntimeError as e:
                    self.refused = str(e)
            return 78
    value = Reentrant()
    env.o.x = value
    assert value.refused == "Already borrowed"
    assert env.idx.get_by_attribute(x=[value]) == [env.o]
    env.o.x = 1


def remove_and_add_back(env):
    view = env.idx.reduced(x=1)
    env.idx.remove_object_many([env.o, env.objs[0]])
    env.idx.discard_object(env.objs[2])
    assert env.o not in env.idx and env.o not in env.view and env.o not in view
    assert env.view.collect() == [env.objs[i] for i in (3, 4, 5)] and view.collect() == [env.objs[4]]
    assert env.view.rebase().collect() == env.view.collect()
    assert env.idx.reduced_query(Q.eq("n.k", 1)).collect() == [env.objs[3], env.objs[5]]
    env.idx.add_object_many([env.o, env.objs[0], env.objs[2]])
    assert view.collect() == [env.o, env.objs[4]]
    # A rebuilt index enters names starting with "_" once and does not follow
    # them: the pair of the old value outlives the removal, but never lists
    # the removed object.
    hidden = Indexable(_h=1)
    solo = Index()
    solo.add_object(hidden)
    rebuilt = solo.reduced_query(Q.and_()).rebase()
    hidden._h = 2
    rebuilt.remove_object(hidden)
    assert rebuilt.get_by_attribute(_h=[1, 2]) == [] and rebuilt.reduced_query(Q.bt("_h", 0, 5)).collect() == []


def container_protocol(env):
    assert len(env.idx) == 6 and len(env.other) == 2 and len(env.view) == 6
    assert list(env.idx) == env.objs and list(env.view.reduced(y="p")) == env.objs[1::2]
    assert bool(env.idx) and not Index() and not env.idx.reduced(x=9)
    assert [o in env.other for o in env.objs] == [True, False, False, True, False, False]
    assert 5 not in env.idx and None not in env.view and env.leaf1 not in env.idx


def self_assignment(env):
    o = env.o
    o.x = o
    assert env.idx.get_by_attribute(x=[o]) == [o]
    # o is held by the nested index of x, which follows its assignments:
    # its own x there is o too.
    assert env.idx.reduced_query(Q.eq("x.x", 1)).collect() == []
    assert env.idx.reduced_query(Q.eq("x.x", o)).collect() == [o]
    o.x = 1


def batch_refers_to_itself(env):
    a, b = Indexable(y="p"), Indexable(y="q")
    a.peer, b.peer = b, a
    env.idx.add_object_many([a, b])
    env.members[id(env.idx)] += [a, b]
    env.objs += [a, b]
    env.view = env.idx.reduced(y=["p", "q"])
    assert env.idx.reduced_query(Q.eq("peer.y", "q")).collect() == [a]


def rebase_after_everything_else_is_gone(env):
    view = env.idx.reduced(y="p")
    kept = [o for o in env.objs if o.y == "p"]
    del env.idx
    gc.collect()
    env.objs[1].x = 99  # the index is gone: nothing reaches the view's maps
    assert view.reduced(x=99).collect() == []
    rebuilt = view.rebase()
    del view
    assert rebuilt.collect() == kept
    assert rebuilt.get_by_attribute(x=99) == [env.objs[1]]
    assert rebuilt.reduced_query(Q.eq("n.k", 1)).collect() == kept
    env.__init__()


def objects_deleted_while_a_view_exists(env):
    view = env.idx.reduced(x=1)
    expected_x = [o.x for o in view.collect()]
    n = len(expected_x)
    del env.objs, env.view, env.idx, env.other
    gc.collect()
    got = view.collect()
    assert [o.x for o in got] == expected_x and n == 2
    assert view.reduced_query(Q.gt("f", 0)).collect() == got
    env.__init__()


def index_dropped_while_objects_remain(env):
    o = env.objs[0]
    del env.other
    o.x = 7
    assert env.idx.get_by_attribute(x=7) == [o]
    again = Index()
    again.add_object(o)
    assert again.get_by_attribute(x=7) == [o]
    o.x = 0
    env.other = Index()
    env.other.add_object(env.objs[0])
    env.other.add_object(env.objs[3])
    env.members[id(env.other)] = [env.objs[0], env.objs[3]]


def reduce_rows(env, call):
    call(env)


def reduce_unchanged_on_error(env, call):
    before = env.idx.get_by_attribute(y=["p", "q"])
    with pytest.raises(Boom):
        call(env)
    assert env.idx.get_by_attribute(y=["p", "q"]) == before


def merged_objects_are_held(env):
    # After a union the receiver holds the other index's objects too: every
    # call that turns an id into an object finds it, and assignments to a
    # merged object reach the receiver.
    a, b = Index(), Index()
    mine, theirs = Indexable(x=1, y="m"), Indexable(x=1, y="t")
    a.add_object(mine)
    b.add_object(theirs)
    a.union_with(b)
    assert a.get_by_attribute(x=1) == [mine, theirs]
    assert a.reduced(y="t").collect() == [theirs]
    assert a.reduced(y="t").rebase().collect() == [theirs]
    assert a.collect() == [mine, theirs]
    assert a.reduced_query(Q.eq("x", 1)).collect() == [mine, theirs]
    a.reduce(x=1)
    assert a.get_by_attribute(y=["m", "t"]) == [mine, theirs]
    theirs.x = 2
    assert a.get_by_attribute(x=2) == [theirs] and b.get_by_attribute(x=2) == [theirs]
    mine.x = 2
    assert a.get_by_attribute(x=2) == [mine, theirs]


def chain(depth, k=0):
    """An Indexable whose `nxt` values nest `depth` levels deep."""
    gc.disable()  # a long chain makes every collection on the way slower
    try:
        o = Indexable(k=k)
        for i in range(depth):
            o = Indexable(k=k + i + 1, nxt=o)
        return o
    finally:
        gc.enable()


DEEP = 30_000  # deep enough to overflow the C stack if nesting recursed unbounded


def in_thread(call):
    """Run `call(env)` in a new thread; its exception is raised here."""

    def run(env):
        outcome = {}

        def target():
            try:
                outcome["result"] = call(env)
            except BaseException as e:  # noqa: B902 - handed back to the caller
                outcome["error"] = e
        t = threading.Thread(target=target)
        t.start()
        t.join()
        if "error" in outcome:
            raise outcome["error"]
        return outcome.get("result")
    return run


def nested_within_limits(env):
    top = chain(300)
    top.y = "p"
    env.idx.add_object(top)
    env.objs.append(top)
    env.members[id(env.idx)].append(top)
    env.view = env.idx.reduced(y=["p", "q"])
    assert env.idx.reduced_query(Q.eq("nxt." * 300 + "k", 0)).collect() == [top]
    assert env.idx.reduced_query(Q.eq("nxt." * 299 + "k", 0)).collect() == []


def deep_assignment_keeps_old_value(env):
    old = env.o.n
    with pytest.raises(RecursionError):
        env.o.n = chain(DEEP)
    assert env.o.n is old


def reduce_with_a_chain_grown_deep(env):
    # An object taken out of the maps by one reduce still holds its nested
    # value, which stays registered with the nested index: a value too deep
    # for it is refused at the assignment, which changes nothing, and the
    # next reduce selecting the object enters its current values.
    leaf = Indexable(k=1)
    a, b = Indexable(x=1, n=leaf), Indexable(x=2)
    idx = Index()
    idx.add_object_many([a, b])
    idx.reduce(x=2)
    with pytest.raises(RecursionError):
        leaf.nxt = chain(DEEP)
    assert "nxt" not in dir(leaf)
    a.x = 3
    leaf.k = 2
    assert idx.reduced_query(Q.eq("n.k", 2)).collect() == [a]
    idx.reduce(x=[2, 3])
    assert idx.get_by_attribute(x=[2, 3]) == [a, b]
    assert idx.get_by_attribute(n=leaf) == [a]
    assert idx.reduced_query(Q.eq("n.k", 1)).collect() == []


def rebase_with_a_chain_grown_deep(env):
    leaf = Indexable(k=1)
    o = Indexable(y="p", n=leaf)
    idx = Index()
    idx.add_object(o)
    view = idx.reduced(y="p")
    with pytest.raises(RecursionError):
        leaf.nxt = chain(DEEP)
    assert view.rebase().reduced_query(Q.eq("n.k", 1)).collect() == [o]
    assert idx.get_by_attribute(y="p") == [o]


# Far deeper than a recursive release of one link after the other could go
# on any thread's stack.  PyPy frees without recursing, and creates these
# objects much more slowly: a shorter chain shows enough there.
DROPPED = 50_000 if IS_PYPY else 300_000


def drop_deep_chain(env):
    c = chain(DROPPED)
    del c


def malloc_in_use():
    """Bytes glibc malloc has handed out (the index structures live there)."""
    class MallInfo2(ctypes.Structure):
        _fields_ = [(n, ctypes.c_size_t) for n in ("arena", "ordblks", "smblks", "hblks", "hblkhd",
                                                   "usmblks", "fsmblks", "uordblks", "fordblks",
                                                   "keepcost")]
    try:
        fn = ctypes.CDLL("libc.so.6").mallinfo2
    except (OSError, AttributeError):
        pytest.skip("no glibc mallinfo2")
    fn.restype = MallInfo2
    info = fn()
    return info.uordblks + info.hblkhd


def memory_follows_objects_not_ids(env):
    # Ids come from one process-wide counter: after many objects came and
    # went, an index of one object (with three nested values, whose nested
    # indexes have stores too) and its rebase must cost what they hold, not
    # a slot per id ever issued (4 MiB per store here, 8 stores).
    for _ in range(250_000):
        Indexable()
    o = Indexable(y="p", a=Indexable(k=1), b=Indexable(k=2), c=Indexable(k=3))
    gc.collect()
    before = malloc_in_use()
    idx = Index()
    idx.add_object(o)
    idx.add_object(env.fresh)  # a far smaller id: still in id order
    rebased = idx.reduced(y="p").rebase()
    grown = malloc_in_use() - before
    assert idx.collect() == rebased.collect() == idx.get_by_attribute(y="p") == [env.fresh, o]
    assert idx.reduced_query(Q.eq("b.k", 2)).collect() == [o]
    assert grown < 4 * 2**20, grown


def deep_query(env):
    # Each level copies the levels below it: an unbounded chain would take
    # quadratic time to build, then recurse as deep to evaluate and drop.
    e = Q.eq("x", 1)
    for _ in range(1998):  # 1,999 levels, an even number of negations
        e = Q.not_(e)
    assert env.idx.reduced_query(e).collect() == [o for o in env.objs if o.x == 1]
    assert in_thread(lambda env: env.idx.reduced_query(Q.or_(e)).collect())(env) == \
        [o for o in env.objs if o.x == 1]
    with pytest.raises(RecursionError):
        Q.and_(Q.eq("y", "p"), Q.not_(e))
    for _ in range(100_000):
        e = Q.not_(e)


class Plain:
    def greet(self):
        return "hello"


class NoSlots:
    __slots__ = ()


def bases_with_a_layout_refused(env):
    # A built-in base with an instance layout of its own cannot share an
    # instance with Indexable: the class is refused when it is created.
    for other in (dict, list, Exception, int):
        for bases in ((Indexable, other), (other, Indexable)):
            with pytest.raises(TypeError):
                type("Mixed", bases, {})
    # Plain Python classes mix in.
    for bases in ((Indexable, Plain), (Indexable, Plain, NoSlots)):
        cls = type("Mixed", bases, {})
        o = cls(x=1, y="p")
        env.idx.add_object(o)
        env.objs.append(o)
        env.members[id(env.idx)].append(o)
        env.view = env.idx.reduced(y=["p", "q"])
        assert o.greet() == "hello" and env.idx.get_by_attribute(x=1)[-1] is o
    # PyPy lays a class out after its first base: Indexable must come first
    # there, where CPython also accepts it later.
    if IS_PYPY:
        with pytest.raises(TypeError, match="list the Indexable class before"):
            type("Mixed", (Plain, Indexable), {})
    else:
        assert type("Mixed", (Plain, Indexable), {})(x=1).x == 1


def distinct_odd_names(env):
    o = env.o
    names = {"": "empty", "\ud800": "lone", "\udfff": "other", "\ud800\udc00": "pair"}
    for name, value in names.items():
        setattr(o, name, value)
    for name, value in names.items():
        assert getattr(o, name) == value, name
        assert env.idx.get_by_attribute(**{name: value}) == [o], name
    assert o.__dir__()[4:8] == list(names)


def too_many_attributes(env):
    o = env.o
    for i in range(2000):
        setattr(o, "a%d" % i, i)
    assert env.idx.get_by_attribute(a1999=1999) == [o]
    assert repr(o) == "<MyClass with 2004 attributes>"


# --------------------------------------------------------------------------
# the table: (entry point, input, call, expected)

SUM = Corvane.sum_as_string
SETC = Corvane.set_contention
O_PREFIX = "argument 'py_ref': "

TABLE = [
    # -- sum_as_string
    ("sum_as_string", "one argument", lambda e: SUM(1),
     te("sum_as_string() missing 1 required positional argument: 'b'")),
    ("sum_as_string", "three arguments", lambda e: SUM(1, 2, 3),
     te("sum_as_string() takes 2 positional arguments but 3 were given")),
    ("sum_as_string", "a str", lambda e: SUM("1", 2), te(prefix="argument 'a': ")),
    ("sum_as_string", "a float", lambda e: SUM(1, 2.0), te(prefix="argument 'b': ")),
    ("sum_as_string", "negative", lambda e: SUM(-1, 1), Raises(OverflowError)),
    ("sum_as_string", "2**64", lambda e: SUM(2**64, 0), Raises(OverflowError)),
    ("sum_as_string", "wraps at 2**64", lambda e: SUM(2**64 - 1, 1),
     Returns(lambda e, r: r == "0" or pytest.fail(r))),
    ("sum_as_string", "bool and int subclass", lambda e: SUM(True, IntLike(7)),
     Returns(lambda e, r: r == "8" or pytest.fail(r))),
    # -- set_contention / get_contention: a refused setting leaves the mode as it was
    ("set_contention", "an unknown mode", lambda e: SETC("block"),
     Raises(ValueError, "contention mode must be 'raise' or 'wait', not 'block'")),
    ("set_contention", "a mode that is not a str", lambda e: SETC(1), te(prefix="argument 'mode': ")),
    ("set_contention", "a negative timeout", lambda e: SETC("wait", timeout=-1),
     Raises(ValueError, "timeout must be a non-negative number of seconds")),
    ("set_contention", "a NaN timeout", lambda e: SETC("wait", float("nan")),
     Raises(ValueError, "timeout must be a non-negative number of seconds")),
    ("set_contention", "a timeout that is not a number", lambda e: SETC("wait", "2"),
     te(prefix="argument 'timeout': ")),
    ("set_contention", "a bool timeout", lambda e: SETC("wait", True),
     te(prefix="argument 'timeout': ")),
    ("set_contention", "a timeout with 'raise'", lambda e: SETC("raise", 1.0),
     Raises(ValueError, "a timeout applies only to the 'wait' mode")),
    ("set_contention", "no mode", lambda e: SETC(),
     te("set_contention() missing 1 required positional argument: 'mode'")),
    ("get_contention", "an argument", lambda e: Corvane.get_contention(1),
     te("get_contention() takes 0 positional arguments but 1 was given")),
    # -- Index()
    ("Index()", "a positional argument", lambda e: Index(1),
     te("Index.__new__() takes 0 positional arguments but 1 was given")),
    ("Index()", "a keyword", lambda e: Index(a=1),
     te("Index.__new__() got an unexpected keyword argument 'a'")),
    ("Index()", "a keyword that is not a str", lambda e: Index(**{1: 2}), te()),
    ("Index()", "subclassing the final class",
     lambda e: type("Sub", (Index,), {}), te()),
    ("FilteredIndex()", "no constructor", lambda e: FilteredIndex(),
     te("No constructor defined for FilteredIndex")),
    ("PyQueryExpr()", "no constructor", lambda e: Q(),
     te("No constructor defined for PyQueryExpr")),
    # -- Index.collect
    ("Index.collect", "a positional argument", lambda e: e.idx.collect(1),
     te("Index.collect() takes 0 positional arguments but 1 was given")),
    ("Index.collect", "a keyword", lambda e: e.idx.collect(a=1),
     te("Index.collect() got an unexpected keyword argument 'a'")),
    # -- Index.add_object
    ("Index.add_object", "no argument", lambda e: e.idx.add_object(),
     te("Index.add_object() missing 1 required positional argument: 'py_ref'")),
    ("Index.add_object", "two arguments", lambda e: e.idx.add_object(e.o, e.o),
     te("Index.add_object() takes 1 positional arguments but 2 were given")),
    ("Index.add_object", "given both ways", lambda e: e.idx.add_object(e.o, py_ref=e.o),
     te("Index.add_object() got multiple values for argument 'py_ref'")),
    ("Index.add_object", "unknown keyword", lambda e: e.idx.add_object(obj=e.o),
     te("Index.add_object() got an unexpected keyword argument 'obj'")),
    ("Index.add_object", "an int", lambda e: e.idx.add_object(5),
     te(O_PREFIX + "'int' object cannot be converted to 'Indexable'")),
    ("Index.add_object", "None", lambda e: e.idx.add_object(None),
     te(O_PREFIX + "'NoneType' object cannot be converted to 'Indexable'")),
    ("Index.add_object", "an Index", lambda e: e.idx.add_object(e.other),
     te(O_PREFIX + "'Index' object cannot be converted to 'Indexable'")),
    ("Index.add_object", "a view", lambda e: e.idx.add_object(e.view),
     te(O_PREFIX + "'FilteredIndex' object cannot be converted to 'Indexable'")),
    ("Index.add_object", "the class instead of an instance", lambda e: e.idx.add_object(Indexable),
     te(O_PREFIX + "'type' object cannot be converted to 'Indexable'")),
    ("Index.add_object", "objects nested 300 deep: entered whole", nested_within_limits, Returns()),
    ("Index.add_object", "objects nested 30,000 deep", lambda e: e.idx.add_object(chain(DEEP)),
     Raises(RecursionError)),
    ("Index.add_object", "objects nested 30,000 deep, in a thread",
     in_thread(lambda e: e.idx.add_object(chain(DEEP))), Raises(RecursionError)),
    ("Index.add_object", "a new object after 250,000 others: memory of what it holds",
     memory_follows_objects_not_ids, Returns()),
    ("Index.add_object", "an object already held (added twice)", lambda e: e.idx.add_object(e.o),
     Returns(lambda e, r: e.idx.collect().count(e.o) == 1 or pytest.fail("twice"))),
    # -- Index.add_object_many
    ("Index.add_object_many", "a str", lambda e: e.idx.add_object_many("ab"),
     te("argument 'objs': Can't extract `str` to `Vec`")),
    ("Index.add_object_many", "an int", lambda e: e.idx.add_object_many(5),
     te("argument 'objs': 'int' object cannot be converted to 'Sequence'")),
    # any iterable is a batch, and so is an index or a view
    ("Index.add_object_many", "a set", other_gains(lambda e: {e.o}), Returns()),
    ("Index.add_object_many", "a generator", other_gains(lambda e: (o for o in [e.o])), Returns()),
    ("Index.add_object_many", "a dict (its keys)", other_gains(lambda e: {e.o: 1}), Returns()),
    ("Index.add_object_many", "a view of another index", other_gains(lambda e: e.view, all=True),
     Returns()),
    ("Index.add_object_many", "a generator that raises after a good one",
     lambda e: e.other.add_object_many(raising_after(e.o)), Raises(Boom, "after one")),
    ("Index.add_object_many", "its own index", lambda e: e.idx.add_object_many(e.idx), Returns()),
    ("Index.add_object_many", "a view of its own index", lambda e: e.idx.add_object_many(e.view),
     Returns()),
    ("Index.add_object_many", "bytes", lambda e: e.idx.add_object_many(b"ab"),
     te("argument 'objs': 'int' object cannot be converted to 'Indexable'")),
    ("Index.add_object_many", "a non-Indexable after a good one",
     lambda e: e.idx.add_object_many([e.fresh, 5]),
     te("argument 'objs': 'int' object cannot be converted to 'Indexable'")),
    ("Index.add_object_many", "objects nested 30,000 deep after a good one",
     lambda e: e.idx.add_object_many([e.fresh, chain(DEEP)]), Raises(RecursionError)),
    ("Index.add_object_many", "one object listed twice",
     lambda e: e.idx.add_object_many([e.fresh, e.fresh]), Raises(RuntimeError, "Already borrowed")),
    ("Index.add_object_many", "a sequence whose items raise",
     lambda e: e.idx.add_object_many(SeqRaising(e.fresh)), Raises(Boom, "item 1")),
    ("Index.add_object_many", "a sequence whose len raises",
     lambda e: e.idx.add_object_many(LenRaises([e.objs[2]])), Returns()),
    ("Index.add_object_many", "an empty list", lambda e: e.idx.add_object_many([]), Returns()),
    ("Index.add_object_many", "held objects again, as a tuple",
     lambda e: e.idx.add_object_many(tuple(e.objs[:3])), Returns()),
    ("Index.add_object_many", "objects referring to each other", batch_refers_to_itself, Returns()),
    # -- Index.get_by_attribute
    ("Index.get_by_attribute", "a positional argument", lambda e: e.idx.get_by_attribute(1),
     te("Index.get_by_attribute() takes 0 positional arguments but 1 was given")),
    ("Index.get_by_attribute", "a keyword that is not a str",
     lambda e: e.idx.get_by_attribute(**{1: 2}), te()),
    ("Index.get_by_attribute", "an expression as a value", lambda e: e.idx.get_by_attribute(x=Q.gt("x", 2)),
     te("argument 'x': a PyQueryExpr is not an attribute value; select by expression with "
        "reduced_query()")),
    ("Index.get_by_attribute", "an expression among values",
     lambda e: e.idx.get_by_attribute(x=[1, Q.eq("x", 2)]),
     te("argument 'x': a PyQueryExpr is not an attribute value; select by expression with "
        "reduced_query()")),
    ("Index.reduce", "an expression as a value", lambda e: e.idx.reduce(x=Q.eq("x", 1)),
     te("argument 'x': a PyQueryExpr is not an attribute value; select by expression with "
        "reduced_query()")),
    ("FilteredIndex.reduced", "an expression as a value", lambda e: e.view.reduced(x=(Q.eq("x", 1),)),
     te("argument 'x': a PyQueryExpr is not an attribute value; select by expression with "
        "reduced_query()")),
    ("Index.get_by_attribute", "no keywords", lambda e: e.idx.get_by_attribute(),
     Returns(lambda e, r: r == [] or pytest.fail(r))),
    ("Index.get_by_attribute", "an iterator that raises (M11)", None,
     Custom(same_exception(lambda e: RaisingIter(), lambda e, t: e.idx.get_by_attribute(x=t)))),
    ("Index.get_by_attribute", "an iterator that adds to the index",
     None, Custom(lambda e, _: iterator_adds_during_lookup(e))),
    ("Index.get_by_attribute", "an __iter__ that raises: one value",
     lambda e: e.idx.get_by_attribute(x=IterRaises()), Returns(lambda e, r: r == [] or pytest.fail(r))),
    ("Index.get_by_attribute", "a value whose hash raises ValueError: the exception, nothing changed",
     None, Custom(refused_everywhere(BadHash, ValueError, "no hash for you"))),
    ("Index.get_by_attribute", "a value whose hash raises KeyboardInterrupt: the exception, nothing changed",
     None, Custom(refused_everywhere(lambda: BadHash(KeyboardInterrupt), KeyboardInterrupt, "no hash for you"))),
    ("Index.get_by_attribute", "a value whose == raises, next to a held one of its hash: the exception",
     None, Custom(eq_raises_when_compared)),
    ("Index.get_by_attribute", "unhashable items: never 0, False or another unhashable",
     lambda e: e.idx.get_by_attribute(x=[[], TypeErrorHash(), Unhashable()]),
     Returns(lambda e, r: r == [] or pytest.fail(r))),
    ("Index.get_by_attribute", "unhashable values held: each found by itself only",
     None, Custom(unhashables_by_identity)),
    ("Index.get_by_attribute", "2**64", lambda e: e.idx.get_by_attribute(x=2**64),
     Returns(lambda e, r: r == [] or pytest.fail(r))),
    ("Index.get_by_attribute", "NaN", lambda e: e.idx.get_by_attribute(x=NAN, f=NAN),
     Returns(lambda e, r: r == [] or pytest.fail(r))),
    ("Index.get_by_attribute", "-0.0 is 0", lambda e: e.idx.get_by_attribute(x=-0.0),
     Returns(lambda e, r: r == [o for o in e.objs if o.x == 0] or pytest.fail(r))),
    ("Index.get_by_attribute", "int, float, str subclasses: the values they equal",
     lambda e: e.idx.get_by_attribute(x=[IntLike(1), FloatLike(2.0)], y=StrLike("p")),
     Returns(lambda e, r: r == [o for o in e.objs if o.x in (1, 2) and o.y == "p"] or pytest.fail(r))),
    ("Index.get_by_attribute", "an IntEnum member", lambda e: e.idx.get_by_attribute(x=Flag.ONE),
     Returns(lambda e, r: r == [o for o in e.objs if o.x == 1] or pytest.fail(r))),
    ("Index.get_by_attribute", "a lone surrogate value",
     lambda e: e.idx.get_by_attribute(y="\ud800"), Returns(lambda e, r: r == [] or pytest.fail(r))),
    ("Index.get_by_attribute", "a lone surrogate name (not the empty name)",
     lambda e: (setattr(e.o, "", 1), e.idx.get_by_attribute(**{"\ud800": 1}))[1],
     Returns(lambda e, r: r == [] or pytest.fail(r))),
    ("Index.get_by_attribute", "a dict: its keys", lambda e: e.idx.get_by_attribute(x={2: "a", "z": 0}),
     Returns(lambda e, r: r == [o for o in e.objs if o.x == 2] or pytest.fail(r))),
    ("Index.get_by_attribute", "bytes: their byte values", lambda e: e.idx.get_by_attribute(x=b"\x01"),
     Returns(lambda e, r: r == [o for o in e.objs if o.x == 1] or pytest.fail(r))),
    ("Index.get_by_attribute", "a list subclass: its items",
     lambda e: e.idx.get_by_attribute(x=ListLike([2])),
     Returns(lambda e, r: r == [o for o in e.objs if o.x == 2] or pytest.fail(r))),
    ("Index.get_by_attribute", "a name that no object has", lambda e: e.idx.get_by_attribute(zz=1),
     Returns(lambda e, r: r == [] or pytest.fail(r))),
    # -- Index.reduce, reduced
    ("Index.reduce", "a nested value grown too deep: index unchanged", reduce_with_a_chain_grown_deep,
     Returns()),
    ("Index.reduce", "a positional argument", lambda e: e.idx.reduce(1, 2),
     te("Index.reduce() takes 0 positional arguments but 2 were given")),
    ("Index.reduce", "an iterator that raises: index unchanged (M11)",
     lambda e: e.idx.reduce(y="p", x=RaisingIter()), Custom(reduce_unchanged_on_error)),
    ("Index.reduced", "a positional argument", lambda e: e.idx.reduced(1),
     te("Index.reduced() takes 0 positional arguments but 1 was given")),
    ("Index.reduced", "an iterator that raises (M11)", None,
     Custom(same_exception(lambda e: RaisingIter(), lambda e, t: e.idx.reduced(x=t)))),
    ("Index.reduced", "no keywords: an empty view", lambda e: e.idx.reduced().collect(),
     Returns(lambda e, r: r == [] or pytest.fail(r))),
    # -- Index.reduced_query
    ("Index.reduced_query", "no argument", lambda e: e.idx.reduced_query(),
     te("Index.reduced_query() missing 1 required positional argument: 'query'")),
    ("Index.reduced_query", "an int", lambda e: e.idx.reduced_query(5),
     te("argument 'query': 'int' object cannot be converted to 'PyQueryExpr'")),
    ("Index.reduced_query", "a str", lambda e: e.idx.reduced_query("x == 1"),
     te("argument 'query': 'str' object cannot be converted to 'PyQueryExpr'")),
    ("Index.reduced_query", "by keyword", lambda e: e.idx.reduced_query(query=Q.and_()).collect(),
     Returns(lambda e, r: r == e.objs or pytest.fail(r))),
    ("Index.reduced_query", "a range bound that is an object",
     lambda e: e.idx.reduced_query(Q.gt("x", e.leaf1)), Raises(PanicException, "not yet implemented")),
    ("Index.reduced_query", "bt with a str bound and a number bound: two families",
     lambda e: e.idx.reduced_query(Q.or_(Q.bt("x", "a", 1), Q.bt("y", "a", 1))).collect(),
     Returns(lambda e, r: r == [] or pytest.fail(r))),
    ("Index.reduced_query", "bt with a list bound",
     lambda e: e.idx.reduced_query(Q.bt("x", [1], 1)), Raises(PanicException, "not yet implemented")),
    ("Index.reduced_query", "bt with a list bound, attribute missing",
     lambda e: e.idx.reduced_query(Q.bt("zz", [1], 1)).collect(),
     Returns(lambda e, r: r == [] or pytest.fail(r))),
    ("Index.reduced_query", "str bounds select strs only, number bounds never strs",
     lambda e: [e.idx.reduced_query(q).collect() for q in (
         Q.gt("x", "a"), Q.ge("y", "p"), Q.bt("y", "p", "p"), Q.lt("y", 0), Q.startswith("x", ""))],
     Returns(lambda e, r: r == [[], e.objs, e.objs[1::2], [], []] or pytest.fail(r))),
    ("Index.reduced_query", "a range bound that is a str or a list",
     lambda e: e.idx.reduced_query(Q.or_(Q.gt("x", "a"), Q.lt("x", [2**64]))).collect(),
     Returns(lambda e, r: r == [] or pytest.fail(r))),
    ("Index.reduced_query", "a range bound of another family: a datetime, a date or a timedelta",
     lambda e: e.idx.reduced_query(Q.or_(Q.gt("x", datetime.datetime(1, 1, 1)), Q.lt("f", datetime.date.max),
                                         Q.ge("x", datetime.timedelta(0)))).collect(),
     Returns(lambda e, r: r == [] or pytest.fail(r))),
    ("Index.reduced_query", "bt with bounds of two families",
     lambda e: e.idx.reduced_query(Q.bt("x", datetime.date(2000, 1, 1), 5)).collect(),
     Returns(lambda e, r: r == [] or pytest.fail(r))),
    ("Index.reduced_query", "bt with a signalling NaN bound, which has no order",
     lambda e: e.idx.reduced_query(Q.bt("x", 0, decimal.Decimal("sNaN"))).collect(),
     Raises(PanicException, "not yet implemented")),
    ("Index.reduced_query", "range bounds beyond 64 bits, Decimal and Fraction",
     lambda e: [e.idx.reduced_query(q).collect() for q in (
         Q.lt("x", 2**70), Q.gt("x", -(2**200)), Q.bt("f", fractions.Fraction(1, 3), decimal.Decimal("1.5")),
         Q.gt("f", decimal.Decimal("1e999999")))],
     Returns(lambda e, r: r == [e.objs, e.objs, e.objs[1:4], []] or pytest.fail(r))),
    ("Index.reduced_query", "NaN bounds",
     lambda e: (e.idx.reduced_query(Q.gt("f", NAN)).collect(), e.idx.reduced_query(Q.lt("f", NAN)).collect()),
     Returns(lambda e, r: r == ([], e.objs) or pytest.fail(r))),
    ("Index.reduced_query", "infinite bounds",
     lambda e: e.idx.reduced_query(Q.bt("f", -math.inf, math.inf)).collect(),
     Returns(lambda e, r: r == e.objs or pytest.fail(r))),
    ("Index.reduced_query", "bounds the wrong way round",
     lambda e: e.idx.reduced_query(Q.bt("f", 2, 1)).collect(), Returns(lambda e, r: r == [] or pytest.fail(r))),
    # -- removal: every refusal leaves both indexes and the view as they were
    ("Index.remove_object", "no argument", lambda e: e.idx.remove_object(),
     te("Index.remove_object() missing 1 required positional argument: 'py_ref'")),
    ("Index.remove_object", "two arguments", lambda e: e.idx.remove_object(e.o, e.o),
     te("Index.remove_object() takes 1 positional arguments but 2 were given")),
    ("Index.remove_object", "an int", lambda e: e.idx.remove_object(5),
     te(O_PREFIX + "'int' object cannot be converted to 'Indexable'")),
    ("Index.remove_object", "an object the index does not hold", removal_refused(
        lambda e: e.idx.remove_object(e.fresh), KeyError, lambda e: (e.fresh,)), Returns()),
    ("Index.remove_object", "an object only another index holds", removal_refused(
        lambda e: e.other.remove_object(e.o), KeyError, lambda e: (e.o,)), Returns()),
    ("Index.remove_object", "an object in use by an assignment", remove_during_assignment, Returns()),
    ("Index.remove_object", "while the index is in use", removal_refused(
        lambda e: e.idx.get_by_attribute(x=Remover(lambda: e.idx.remove_object(e.o))), RuntimeError,
        lambda e: ("Already borrowed",)), Returns()),
    ("Index.remove_object", "removed, then added again: the view sees it again", remove_and_add_back,
     Returns()),
    ("Index.discard_object", "an object the index does not hold", lambda e: e.idx.discard_object(e.fresh),
     Returns(lambda e, r: r is None or pytest.fail(r))),
    ("Index.discard_object", "a keyword", lambda e: e.idx.discard_object(obj=e.o),
     te("Index.discard_object() got an unexpected keyword argument 'obj'")),
    ("Index.discard_object", "None", lambda e: e.idx.discard_object(None),
     te(O_PREFIX + "'NoneType' object cannot be converted to 'Indexable'")),
    ("Index.remove_object_many", "a str", lambda e: e.idx.remove_object_many("ab"),
     te("argument 'objs': Can't extract `str` to `Vec`")),
    ("Index.remove_object_many", "a set", other_loses(lambda e: {e.objs[0]}, [0]), Returns()),
    ("Index.remove_object_many", "a generator that raises after a good one",
     lambda e: e.other.remove_object_many(raising_after(e.objs[0])), Raises(Boom, "after one")),
    ("Index.remove_object_many", "a view of its own index",
     other_loses(lambda e: e.other.reduced(x=0), [0, 3]), Returns()),
    ("Index.remove_object_many", "its own index", other_loses(lambda e: e.other, [0, 3]), Returns()),
    ("Index.remove_object_many", "a non-Indexable after a good one",
     lambda e: e.idx.remove_object_many([e.o, 5]),
     te("argument 'objs': 'int' object cannot be converted to 'Indexable'")),
    ("Index.remove_object_many", "one object not held after good ones", removal_refused(
        lambda e: e.idx.remove_object_many([e.objs[0], e.o, e.fresh, e.objs[2]]), KeyError,
        lambda e: (e.fresh,)), Returns()),
    ("Index.remove_object_many", "one object listed twice",
     lambda e: e.idx.remove_object_many([e.o, e.objs[2], e.o]), Raises(RuntimeError, "Already borrowed")),
    ("Index.remove_object_many", "a sequence whose items raise",
     lambda e: e.idx.remove_object_many(SeqRaising(e.o)), Raises(Boom, "item 1")),
    ("Index.remove_object_many", "an empty tuple", lambda e: e.idx.remove_object_many(()), Returns()),
    ("Index.__len__", "len, in and iteration of an index and a view", container_protocol, Returns()),
    # -- Index.union_with
    ("Index.union_with", "no argument", lambda e: e.idx.union_with(),
     te("Index.union_with() missing 1 required positional argument: 'other'")),
    ("Index.union_with", "an int", lambda e: e.idx.union_with(5),
     te("argument 'other': 'int' object cannot be converted to 'Index'")),
    ("Index.union_with", "a view", lambda e: e.idx.union_with(e.view),
     te("argument 'other': 'FilteredIndex' object cannot be converted to 'Index'")),
    ("Index.union_with", "itself", lambda e: e.idx.union_with(e.idx),
     Raises(RuntimeError, "Already mutably borrowed")),
    ("Index.union_with", "merged-in objects are held", merged_objects_are_held, Returns()),
    # -- ordered_by, value_counts
    ("Index.ordered_by", "no argument", lambda e: e.idx.ordered_by(),
     te("Index.ordered_by() missing 1 required positional argument: 'attr'")),
    ("Index.ordered_by", "an int attribute", lambda e: e.idx.ordered_by(5),
     te("argument 'attr': 'int' object cannot be converted to 'PyString'")),
    ("Index.ordered_by", "a str limit", lambda e: e.idx.ordered_by("f", limit="3"),
     te("argument 'limit': 'str' object cannot be converted to 'int'")),
    ("Index.ordered_by", "a bool limit", lambda e: e.idx.ordered_by("f", False, True),
     te("argument 'limit': 'bool' object cannot be converted to 'int'")),
    ("Index.ordered_by", "a negative limit", lambda e: e.idx.ordered_by("f", limit=-1),
     Raises(ValueError, "argument 'limit': must not be negative")),
    ("Index.ordered_by", "a huge negative limit", lambda e: e.idx.ordered_by("f", limit=-2**100),
     Raises(ValueError, "argument 'limit': must not be negative")),
    ("Index.ordered_by", "a huge limit", lambda e: e.idx.ordered_by("f", limit=2**100),
     Returns(lambda e, r: len(r) == len(e.objs) or pytest.fail(r))),
    ("Index.ordered_by", "an int direction", lambda e: e.idx.ordered_by("f", descending=1),
     te("argument 'descending': 'int' object cannot be converted to 'PyBool'")),
    ("Index.ordered_by", "five arguments", lambda e: e.idx.ordered_by("f", True, 1, 2, 3),
     te("Index.ordered_by() takes 4 positional arguments but 5 were given")),
    ("Index.ordered_by", "a negative offset", lambda e: e.idx.ordered_by("f", offset=-1),
     Raises(ValueError, "argument 'offset': must not be negative")),
    ("Index.ordered_by", "a None offset", lambda e: e.idx.ordered_by("f", offset=None),
     te("argument 'offset': 'NoneType' object cannot be converted to 'int'")),
    ("Index.ordered_by", "an offset past the end", lambda e: e.idx.ordered_by("f", offset=2**100),
     Returns(lambda e, r: r == [] or pytest.fail(r))),
    ("Index.ordered_by", "a limit twice", lambda e: e.idx.ordered_by("f", False, 1, limit=2),
     te("Index.ordered_by() got multiple values for argument 'limit'")),
    ("Index.value_counts", "an unknown keyword", lambda e: e.idx.value_counts(name="f"),
     te("Index.value_counts() got an unexpected keyword argument 'name'")),
    ("Index.value_counts", "an unhashable value held", unhashable_value_counted,
     te("value_counts() cannot count an unhashable value of type 'list'")),
    ("FilteredIndex.ordered_by", "a None attribute", lambda e: e.view.ordered_by(None),
     te("argument 'attr': 'NoneType' object cannot be converted to 'PyString'")),
    ("FilteredIndex.value_counts", "no argument", lambda e: e.view.value_counts(),
     te("FilteredIndex.value_counts() missing 1 required positional argument: 'attr'")),
    # -- FilteredIndex
    ("FilteredIndex.collect", "a positional argument", lambda e: e.view.collect(1),
     te("FilteredIndex.collect() takes 0 positional arguments but 1 was given")),
    ("FilteredIndex.rebase", "a keyword", lambda e: e.view.rebase(x=1),
     te("FilteredIndex.rebase() got an unexpected keyword argument 'x'")),
    ("FilteredIndex.reduced", "a positional argument", lambda e: e.view.reduced(1),
     te("FilteredIndex.reduced() takes 0 positional arguments but 1 was given")),
    ("FilteredIndex.reduced", "an iterator that raises (M11)", None,
     Custom(same_exception(lambda e: RaisingIter(), lambda e, t: e.view.reduced(x=t)))),
    ("FilteredIndex.reduced_query", "no argument", lambda e: e.view.reduced_query(),
     te("FilteredIndex.reduced_query() missing 1 required positional argument: 'query'")),
    ("FilteredIndex.reduced_query", "a str", lambda e: e.view.reduced_query("x"),
     te("argument 'query': 'str' object cannot be converted to 'PyQueryExpr'")),
    ("FilteredIndex.reduced_query", "a range bound that is an object",
     lambda e: e.view.reduced_query(Q.le("f", e.leaf2)), Raises(PanicException, "not yet implemented")),
    ("FilteredIndex", "its index and objects deleted", objects_deleted_while_a_view_exists, Returns()),
    ("FilteredIndex.rebase", "after its index is gone", rebase_after_everything_else_is_gone, Returns()),
    ("FilteredIndex.rebase", "a nested value grown too deep", rebase_with_a_chain_grown_deep, Returns()),
    # -- Indexable construction
    ("Indexable()", "positional arguments: ignored", lambda e: Indexable(1, [2], a=3),
     Returns(lambda e, r: r.__dir__()[0] == "a" and repr(r) == "<MyClass with 1 attributes>" or pytest.fail(r))),
    ("Indexable()", "a keyword that is not a str: skipped",
     lambda e: Indexable(**{1: 2, "a": 3}), te() if IS_PYPY else
     Returns(lambda e, r: repr(r) == "<MyClass with 1 attributes>" or pytest.fail(repr(r)))),
    ("Indexable()", "lone surrogate keywords: names of their own",
     lambda e: Indexable(**{"\ud800": 3, "": 4, "\udfff": 5}),
     Returns(lambda e, r: ([getattr(r, n) for n in ("\ud800", "", "\udfff")] == [3, 4, 5]
                           and r.__dir__()[:3] == ["\ud800", "", "\udfff"]) or pytest.fail(r))),
    ("Indexable()", "values of every awkward kind",
     lambda e: Indexable(a=NAN, b=TypeErrorHash(), c=[], d=2**100, e="\udfff", f=IntLike(1), g=HashMinusOne()),
     Returns(lambda e, r: repr(r) == "<MyClass with 7 attributes>" or pytest.fail(repr(r)))),
    # -- Indexable attribute read, listing, text form
    ("Indexable read", "a missing name", lambda e: e.o.missing,
     Raises(AttributeError, "missing")),
    ("Indexable read", "a lone surrogate name", lambda e: getattr(e.o, "\ud800"),
     Raises(AttributeError, "\ud800")),
    ("Indexable read", "a name that is not a str", lambda e: Indexable.__getattribute__(e.o, 1),
     te("argument 'name': 'int' object cannot be converted to 'PyString'")),
    ("Indexable.__dir__", "a positional argument", lambda e: e.o.__dir__(1),
     te("Indexable.__dir__() takes 0 positional arguments but 1 was given")),
    # -- Indexable assignment and deletion
    ("Indexable assign", "a name that is not a str (builtin setattr)", lambda e: setattr(e.o, 1, 2), te()),
    ("Indexable assign", "a name that is not a str (the slot)",
     lambda e: Indexable.__setattr__(e.o, 1, 2),
     te("argument 'name': 'int' object cannot be converted to 'PyString'")),
    ("Indexable assign", "a str subclass name", lambda e: setattr(e.o, StrLike("x"), 2), finds(x=2)),
    ("Indexable assign", "lone surrogate names and the empty name: each its own",
     distinct_odd_names, Returns()),
    ("Indexable assign", "the name __class__: stored, type unchanged",
     lambda e: setattr(e.o, "__class__", int),
     Returns(lambda e, r: (e.o.__class__ is int and type(e.o) is Indexable) or pytest.fail())),
    ("Indexable assign", "__class__, __weakref__ and a late property's name in subclasses", stored_object_names,
     Returns()),
    ("Indexable delete", "a stored name", lambda e: delattr(e.o, "x"),
     Raises(AttributeError, "can't delete attribute")),
    ("Indexable delete", "a missing name", lambda e: delattr(e.o, "zz"),
     Raises(AttributeError, "can't delete attribute")),
    ("Indexable assign", "an unhashable value", assigned("x", EMPTY_LIST), finds(x=EMPTY_LIST)),
    ("Indexable assign", "a value whose hash raises TypeError: unhashable",
     assigned("x", TYPE_ERROR_HASH), finds(x=TYPE_ERROR_HASH)),
    ("Indexable assign", "a value whose == raises, alone with its hash: never compared",
     assigned("x", LONE_BAD_EQ), finds(x=LONE_BAD_EQ)),
    ("Indexable assign", "a value hashing to -1 (so -2)", assigned("x", MINUS_ONE), finds(x=MINUS_ONE)),
    ("Indexable assign", "NaN", assigned("f", NAN), finds(f=NAN)),
    ("Indexable assign", "inf", assigned("f", math.inf),
     Returns(lambda e, r: e.o in e.idx.reduced_query(Q.gt("f", 1e308)).collect() or pytest.fail())),
    ("Indexable assign", "-0.0", assigned("x", -0.0), finds(x=0)),
    ("Indexable assign", "2**64: a number of the range index", assigned("x", 2**64),
     Returns(lambda e, r: (e.idx.get_by_attribute(x=2**64) == [e.o]
                           and e.idx.reduced_query(Q.gt("x", 2**64 - 1)).collect() == [e.o]) or pytest.fail())),
    ("Indexable assign", "a naive datetime: aware bounds and ints never select it",
     assigned("x", datetime.datetime(2020, 1, 1)),
     Returns(lambda e, r: (e.idx.reduced_query(Q.lt("x", datetime.datetime(2021, 1, 1))).collect() == [e.o]
                           and e.o not in e.idx.reduced_query(Q.or_(
                               Q.lt("x", datetime.datetime(2021, 1, 1, tzinfo=datetime.timezone.utc)),
                               Q.gt("x", 0), Q.lt("x", datetime.date(2021, 1, 1)))).collect())
            or pytest.fail())),
    ("Indexable assign", "an aware datetime whose utcoffset raises: refused, the old value kept",
     lambda e: setattr(e.o, "x", datetime.datetime(2020, 1, 1, tzinfo=FailingZone())),
     Raises(ValueError, "no offset here")),
    ("Indexable assign", "-2**63 and 2**63-1", lambda e: (setattr(e.o, "x", -2**63), setattr(e.objs[3], "x", 2**63 - 1)),
     Returns(lambda e, r: e.idx.reduced_query(Q.lt("x", -2**62)).collect() == [e.o] or pytest.fail())),
    ("Indexable assign", "a lone surrogate str", assigned("y", "\ud800"), finds(y="\ud800")),
    ("Indexable assign", "an int subclass: the int it equals, not a number",
     assigned("x", IntLike(7)),
     Returns(lambda e, r: (e.idx.get_by_attribute(x=7) == [e.o]
                           and e.o not in e.idx.reduced_query(Q.gt("x", 5)).collect()) or pytest.fail())),
    ("Indexable assign", "a float subclass", assigned("f", FloatLike(9.5)), finds(f=9.5)),
    ("Indexable assign", "a str subclass", assigned("y", StrLike("p")), finds(y="p")),
    ("Indexable assign", "a huge str", assigned("y", "w" * 1_000_000), finds(y="w" * 1_000_000)),
    ("Indexable assign", "an Index as a value", lambda e: setattr(e.o, "y", e.other), Returns()),
    ("Indexable assign", "the object itself (M4)", self_assignment, Returns()),
    ("Indexable assign", "a value whose hash assigns to the object", recurse_assign, Returns()),
    ("Indexable assign", "a value whose hash reads the object (M13)", hash_reads_old_value, Returns()),
    ("Indexable assign", "two thousand names", too_many_attributes, Returns()),
    ("Indexable assign", "objects nested 30,000 deep: old value kept", deep_assignment_keeps_old_value,
     Returns()),
    ("Indexable", "a class also deriving from dict, list, Exception or int", bases_with_a_layout_refused,
     Returns()),
    ("Indexable", "dropping a very long chain", drop_deep_chain, Returns()),
    ("Indexable", "dropping a very long chain, in a thread", in_thread(drop_deep_chain), Returns()),
    ("Index", "dropped while its objects remain", index_dropped_while_objects_remain, Returns()),
    # -- PyQueryExpr factories
    ("PyQueryExpr.eq", "attr not a str", lambda e: Q.eq(5, 1),
     te("argument 'attr': 'int' object cannot be converted to 'PyString'")),
    ("PyQueryExpr.eq", "attr a lone surrogate", lambda e: Q.eq("\ud800", 1), Raises(UnicodeEncodeError)),
    ("PyQueryExpr.eq", "attr a str subclass", lambda e: e.idx.reduced_query(Q.eq(StrLike("x"), 1)).collect(),
     Returns(lambda e, r: r == [o for o in e.objs if o.x == 1] or pytest.fail(r))),
    ("PyQueryExpr.eq", "missing value", lambda e: Q.eq("a"),
     te("PyQueryExpr.eq() missing 1 required positional argument: 'value'")),
    ("PyQueryExpr.eq", "a keyword that is not a str", lambda e: Q.eq(**{1: 2}), te()),
    ("PyQueryExpr.ne", "unknown keyword", lambda e: Q.ne("a", 1, other=2),
     te("PyQueryExpr.ne() got an unexpected keyword argument 'other'")),
    ("PyQueryExpr.startswith", "prefix an int", lambda e: Q.startswith("y", 1),
     te("argument 'prefix': 'int' object cannot be converted to 'PyString'")),
    ("PyQueryExpr.startswith", "prefix bytes", lambda e: Q.startswith("y", b"p"),
     te("argument 'prefix': 'bytes' object cannot be converted to 'PyString'")),
    ("PyQueryExpr.startswith", "prefix None", lambda e: Q.startswith("y", None),
     te("argument 'prefix': 'NoneType' object cannot be converted to 'PyString'")),
    ("PyQueryExpr.startswith", "attr not a str", lambda e: Q.startswith(5, "p"),
     te("argument 'attr': 'int' object cannot be converted to 'PyString'")),
    ("PyQueryExpr.startswith", "missing prefix", lambda e: Q.startswith("y"),
     te("PyQueryExpr.startswith() missing 1 required positional argument: 'prefix'")),
    ("PyQueryExpr.startswith", "prefix a lone surrogate or a str subclass",
     lambda e: [e.idx.reduced_query(q).collect() for q in (
         Q.startswith("y", "\ud800"), Q.startswith("y", StrLike("p")), Q.startswith(prefix="", attr="y"))],
     Returns(lambda e, r: r == [[], e.objs[1::2], e.objs] or pytest.fail(r))),
    ("PyQueryExpr.contains", "an unhashable value", lambda e: Q.contains("x", [1]),
     te("argument 'value': unhashable type: 'list'")),
    ("PyQueryExpr.contains", "a value whose hash raises TypeError", lambda e: Q.contains("x", TypeErrorHash()),
     te("argument 'value': unhashable type: 'TypeErrorHash'")),
    ("PyQueryExpr.contains", "attr not a str", lambda e: Q.contains(5, 1),
     te("argument 'attr': 'int' object cannot be converted to 'PyString'")),
    ("PyQueryExpr.contains", "missing value", lambda e: Q.contains("x"),
     te("PyQueryExpr.contains() missing 1 required positional argument: 'value'")),
    ("PyQueryExpr.contains", "a tuple holding a list: its other elements",
     None, Custom(elements_beside_an_unhashable_one)),
    ("PyQueryExpr.bt", "missing upper", lambda e: Q.bt("a", 1),
     te("PyQueryExpr.bt() missing 1 required positional argument: 'upper'")),
    ("PyQueryExpr.in_", "a str", lambda e: Q.in_("a", "abc"),
     te("argument 'values': Can't extract `str` to `Vec`")),
    ("PyQueryExpr.in_", "a set, a dict view and a generator",
     lambda e: [e.idx.reduced_query(Q.in_("x", v)).collect()
                for v in ({1, 2}, {1: 0, 2: 0}.keys(), (x for x in (1, 2)))],
     Returns(lambda e, r: r == [[o for o in e.objs if o.x in (1, 2)]] * 3 or pytest.fail(r))),
    ("PyQueryExpr.in_", "an int", lambda e: Q.in_("a", 5),
     te("argument 'values': 'int' object cannot be converted to 'Sequence'")),
    ("PyQueryExpr.in_", "a sequence whose items raise", lambda e: Q.in_("a", SeqRaising(1)),
     Raises(Boom, "item 1")),
    ("PyQueryExpr.in_", "a list subclass and a range",
     lambda e: e.idx.reduced_query(Q.or_(Q.in_("x", ListLike([1])), Q.in_("x", range(2, 3)))).collect(),
     Returns(lambda e, r: r == [o for o in e.objs if o.x in (1, 2)] or pytest.fail(r))),
    ("PyQueryExpr.and_", "an operand that is not an expression", lambda e: Q.and_(Q.eq("a", 1), 5),
     te("argument 'exprs': 'int' object cannot be converted to 'PyQueryExpr'")),
    ("PyQueryExpr.and_", "one int", lambda e: Q.and_(5),
     te("argument 'exprs': 'int' object cannot be converted to 'PyQueryExpr'")),
    ("PyQueryExpr.and_", "one str", lambda e: Q.and_("a"),
     te("argument 'exprs': 'str' object cannot be converted to 'PyQueryExpr'")),
    ("PyQueryExpr.and_", "an iterable holding an int", lambda e: Q.and_([Q.eq("a", 1), 5]),
     te("argument 'exprs': 'int' object cannot be converted to 'PyQueryExpr'")),
    ("PyQueryExpr.or_", "an iterable of expressions, and operators",
     lambda e: [e.idx.reduced_query(q).collect() for q in (
         Q.or_([Q.eq("x", 1), Q.eq("x", 2)]), Q.or_(Q.eq("x", 1) for _ in range(1)),
         Q.eq("x", 1) | Q.eq("x", 2), ~~(Q.ge("x", 1) & Q.le("x", 2)))],
     Returns(lambda e, r: r == [[o for o in e.objs if o.x in (1, 2)], [o for o in e.objs if o.x == 1],
                                [o for o in e.objs if o.x in (1, 2)],
                                [o for o in e.objs if o.x in (1, 2)]] or pytest.fail(r))),
    ("PyQueryExpr.__and__", "an int operand", lambda e: Q.eq("a", 1) & 1, te()),
    ("PyQueryExpr.__or__", "an int operand on the left", lambda e: 1 | Q.eq("a", 1), te()),
    ("PyQueryExpr.__and__", "a bool operand", lambda e: Q.eq("a", 1) & True, te()),
    ("PyQueryExpr.or_", "a keyword", lambda e: Q.or_(x=Q.and_()),
     te("PyQueryExpr.or_() got an unexpected keyword argument 'x'")),
    ("PyQueryExpr.not_", "an int", lambda e: Q.not_(1),
     te("argument 'exprs': 'int' object cannot be converted to 'PyQueryExpr'")),
    ("PyQueryExpr.not_", "expressions nested 100,000 deep", deep_query,
     Raises(RecursionError, "maximum depth (2000) of a query expression exceeded")),
    ("PyQueryExpr.not_", "two operands", lambda e: Q.not_(Q.and_(), Q.and_()),
     te("PyQueryExpr.not_() takes 1 positional arguments but 2 were given")),
    ("PyQueryExpr.__repr__", "awkward values",
     lambda e: repr(Q.in_("a", [NAN, TypeErrorHash(), 2**70, "\ud800", "q\"\\\n", IntLike(3), e.leaf1])),
     Returns(lambda e, r: (r.startswith("<QueryExpr: In(\"a\", [") and r.count("Unknown") == 4)
             or pytest.fail(r))),
]


# Copies and pickles of an index, a view or an expression are refused on
# both interpreters, directly or through an attribute of an object that is
# deep-copied or pickled; a shallow copy of a holder shares the index.
class Holder:
    def __init__(self, held):
        self.held = held


COPIED = [
    ("Index", lambda e: e.idx),
    ("FilteredIndex", lambda e: e.view),
    ("PyQueryExpr", lambda e: Q.and_(Q.eq("x", 1), Q.gt("f", 0))),
]
COPIERS = [("copy.copy", copy.copy), ("copy.deepcopy", copy.deepcopy)]
COPIERS += [("pickle protocol %d" % p, lambda x, p=p: pickle.dumps(x, protocol=p))
            for p in range(pickle.HIGHEST_PROTOCOL + 1)]
for _name, _make in COPIED:
    _refusal = te("cannot pickle 'Corvane.%s' object" % _name)
    for _how, _copier in COPIERS:
        TABLE.append((_name + " copied", _how, lambda e, m=_make, c=_copier: c(m(e)), _refusal))
        if _how != "copy.copy":
            for _kind, _holder in (("an object", Holder), ("an Indexable", lambda held: Indexable(held=held))):
                TABLE.append((_name + " copied", "%s of %s holding it" % (_how, _kind),
                              lambda e, m=_make, c=_copier, h=_holder: c(h(m(e))), _refusal))
TABLE.append(("Index copied", "copy.copy of an object holding it shares it",
              lambda e: (copy.copy(Holder(e.idx)), copy.copy(Indexable(held=e.idx))),
              Returns(lambda e, r: r[0].held is e.idx and r[1].held is e.idx
                      or pytest.fail(repr(r)))))


@pytest.mark.parametrize(
    "entry, what, call, expected", TABLE, ids=["%s: %s" % (row[0], row[1]) for row in TABLE]
)
def test_bad_input(entry, what, call, expected):
    env = Env()
    expected.check(env, call)
    env.healthy()
    assert Corvane.get_contention() == ("raise", None)


def test_the_table_reaches_every_entry_point():
    entries = {row[0].split(" ")[0] for row in TABLE}
    methods = {"Index." + m for m in ("collect", "add_object", "add_object_many", "get_by_attribute",
                                      "reduce", "reduced", "reduced_query", "union_with",
                                      "remove_object", "remove_object_many", "discard_object")}
    methods |= {"FilteredIndex." + m for m in ("collect", "rebase", "reduced", "reduced_query")}
    methods |= {"PyQueryExpr." + m for m in ("eq", "ne", "bt", "in_", "startswith", "contains", "and_", "or_", "not_",
                                             "__repr__")}
    methods |= {"sum_as_string", "set_contention", "get_contention", "Index()", "FilteredIndex()", "PyQueryExpr()", "Indexable()",
                "Indexable", "Indexable.__dir__"}
    assert methods <= entries, methods - entries
