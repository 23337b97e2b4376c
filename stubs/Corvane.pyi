"""In-memory attribute indexes over live Python objects.

Derive classes from `Indexable`, add instances to an `Index`, and select them
by attribute value with keyword equality (`Index.get_by_attribute`), views
(`Index.reduced`, `FilteredIndex`) or query expressions (`PyQueryExpr`).
"""

from types import GenericAlias
from typing import (
    Any,
    Callable,
    Generic,
    Hashable,
    Iterable,
    Iterator,
    Literal,
    Mapping,
    Protocol,
    SupportsIndex,
    final,
    overload,
)

from typing_extensions import Never, Self, TypeVar

__all__ = ["sum_as_string", "Index", "Indexable", "FilteredIndex", "PyQueryExpr"]

__version__: str
"""The package version, for example "0.1.0"."""

def sum_as_string(a: SupportsIndex, b: SupportsIndex) -> str:
    """Formats the sum of two numbers as string.

    Both arguments are read as unsigned 64-bit integers and added modulo 2**64.
    Raises OverflowError for negative or too large values.
    """

def set_contention(mode: Literal["raise", "wait"], timeout: float | None = None) -> None:
    """Choose what a call does when another thread is using the same object, index or view.

    "raise" (the default) raises RuntimeError "Already borrowed" or "Already mutably
    borrowed" at once. "wait" waits, with the interpreter lock released, until that use
    ends, for at most `timeout` seconds when one is given, then raises as "raise" does.
    A conflict with a use of the calling thread's own always raises at once. The setting
    is process-wide. ValueError for an unknown mode, a negative timeout, or a timeout
    with "raise".
    """

def get_contention() -> tuple[Literal["raise", "wait"], float | None]:
    """The contention mode and its timeout: ("raise", None), ("wait", None) or ("wait", 2.0)."""

class PanicException(BaseException):
    """An internal invariant of the module broke, or an operation is not supported.

    Derives from BaseException, so `except Exception` does not catch it. Its
    single argument is the failure message, for example "not yet implemented"
    for a range comparison with an `Indexable` value or a `bt` bound of no ordered type.
    """

class Indexable:
    """Base class for objects that an `Index` can hold and keep current.

    Keyword arguments become the object's own attributes; positional arguments
    are accepted and ignored. Assigning an attribute updates every index that
    holds the object. Only the object's own attributes are indexed (never class
    attributes), and names starting with "_" are stored but not indexed.

    The keywords are stored before `__init__` runs; `Indexable.__init__`
    accepts and ignores any arguments, so subclasses may forward theirs.
    """

    def __init__(self, *_args: object, **kwargs: object) -> None: ...
    def __getattr__(self, name: str) -> Any:
        """The stored value of `name`; raises AttributeError(name) if absent."""

    def __setattr__(self, name: str, value: object, /) -> None:
        """Store `value` and move the object to it in every index holding it.

        Raises RuntimeError "Already borrowed" while another thread is using
        the object.
        """

    def __delattr__(self, name: str, /) -> None:
        """Always raises AttributeError "can't delete attribute"."""

    def __dir__(self) -> list[str]:
        """Stored attribute names first, then what object.__dir__ lists."""

    __dict__: Mapping[str, Any]  # type: ignore[assignment]  # read-only, unlike object's
    """For Indexable itself (and subclasses declaring `__slots__`, on CPython):
    a read-only view (types.MappingProxyType) of a snapshot of the stored
    attributes, which is what `vars()` shows. Other Python subclasses get an
    ordinary instance dict from the interpreter, which never holds stored
    attributes."""

    def __getstate__(self) -> dict[str, Any]:
        """The stored attributes as a new dict, in assignment order, hidden names too."""

    def __setstate__(self, state: dict[str, Any], /) -> None:
        """Store every entry of `state`, in order, as assignments would.

        Raises TypeError for a state that is not a dict or holds a name that is
        not a str, before storing anything.
        """

    def __reduce__(self) -> tuple[Callable[..., Self], tuple[type[Self]], dict[str, Any]]:
        """`(copyreg.__newobj__, (cls,), self.__getstate__())`: copies and pickles
        are new objects of the same class, with a fresh id, in no index."""

    def __repr__(self) -> str:
        """"<MyClass with N attributes>", N being the number of stored attributes."""

_T = TypeVar("_T", bound=Indexable, default=Indexable)
"""The class of the objects an index holds; `Index()` alone holds any `Indexable`."""

_V_co = TypeVar("_V_co", covariant=True)

class _Values(Protocol[_V_co]):
    """A collection of values, but not a `str`: a `str` only accepts a `str`
    in a membership test, while a collection of values accepts anything."""

    def __iter__(self) -> Iterator[_V_co]: ...
    def __contains__(self, value: object, /) -> bool: ...

@final
class Index(Generic[_T]):
    """An index over `Indexable` objects, answering attribute queries.

    Generic over the class of the objects it holds: an `Index[Order]` takes
    and returns `Order` objects (`index: Index[Order] = Index()`, or
    `Index[Order]()`, which works at run time too); a plain `Index()` holds
    any `Indexable`.

    Keyword filters (`get_by_attribute`, `reduce`, `reduced`) take, for each
    attribute, one value or an iterable of accepted values (a `str` is one
    value). Results are lists in ascending object id order, which is the order
    in which the objects were created.
    """

    def __init__(self) -> None: ...
    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """`Index[Order]`: the class with its type argument, usable at run time."""

    def __reduce_ex__(self, protocol: SupportsIndex, /) -> Never:
        """Raises TypeError "cannot pickle 'Corvane.Index' object": copy.copy,
        copy.deepcopy and pickle refuse the Index."""

    def __reduce__(self) -> Never:
        """Raises TypeError "cannot pickle 'Corvane.Index' object"."""

    def collect(self) -> list[_T]:
        """Every member, in id order: each object added and not removed since
        (including objects `reduce` dropped from the equality lookups)."""

    def __len__(self) -> int:
        """The number of members, as `collect` lists them; an empty index is falsy."""

    def __contains__(self, obj: object, /) -> bool:
        """True when `obj` is a member (anything not `Indexable` never is)."""

    def __iter__(self) -> Iterator[_T]:
        """The members in id order, as `collect` lists them when iteration starts."""

    def reduced(self, **kwargs: object) -> FilteredIndex[_T]:
        """A view of the objects matching every keyword filter; the index is unchanged.

        No keywords give an empty view.
        """

    def reduce(self, **kwargs: object) -> None:
        """Narrow the equality lookups of this index, in place, to the matching objects.

        `collect` still returns every object and `reduced_query` still ranges
        over every member.  A selected object being assigned in another thread
        makes it raise RuntimeError "Already mutably borrowed", changing nothing.
        """

    def get_by_attribute(self, **kwargs: object) -> list[_T]:
        """Objects whose attributes match every keyword filter.

        `attr=value` matches that value, `attr=[v1, v2]` any of the values. An
        unknown attribute or no keywords at all match nothing.
        """

    def add_object_many(self, objs: Iterable[_T] | Index[_T] | FilteredIndex[_T]) -> None:
        """Add every object of an iterable (a list, tuple, set, generator, ...), or
        every object that an `Index` or a `FilteredIndex` holds.

        Raises TypeError for a str, a non-iterable or a non-Indexable item, and
        RuntimeError "Already borrowed" for an object listed twice or in use
        elsewhere; nothing is added then.
        """

    def add_object(self, py_ref: _T) -> None:
        """Add one object; adding it again changes nothing, now or later."""

    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex[_T]:
        """A view of the members selected by a query expression."""

    def ordered_by(
        self, attr: str, descending: bool = False, limit: int | None = None, offset: int = 0
    ) -> list[_T]:
        """The members ordered by the value of `attr`, at most `limit` of them,
        after skipping the first `offset` (ValueError if negative).

        Ascending unless `descending`; equal values in id order.  Values of
        the ordered types (int, float, Decimal, Fraction, datetime, date,
        time, timedelta) come in Python's order, family after family
        (numbers first); members without such a value for `attr` (no
        attribute, a str, None, a bool, ...) come last, in id order.  The order comes from the range
        index, so a short `limit` costs about what a small range query does.
        A dotted `attr` orders by the value at the end of the path, leaving out
        members whose path does not resolve.
        """

    def value_counts(self, attr: str) -> dict[Any, int]:
        """Each distinct value of `attr` with the number of objects holding it.

        Keys are the values as first recorded (1, 1.0 and True are one key);
        the dict is ordered by descending count, ties by the earliest object
        holding the value.  Counts follow equality lookups (after `reduce`,
        only the selected objects).  An unhashable value raises TypeError.
        A dotted `attr` ("customer.country") counts by the values at the end
        of the path, leaving out members whose path does not resolve.
        """

    def remove_object(self, py_ref: _T) -> None:
        """Take one member out of the index: no query finds it any more, its
        assignments no longer reach this index, and the index lets go of it.

        Raises KeyError (with the object) if the index does not hold it, and
        RuntimeError "Already borrowed" for an object in use elsewhere.
        """

    def remove_object_many(self, objs: Iterable[_T] | Index[_T] | FilteredIndex[_T]) -> None:
        """Remove every object of an iterable, or every object that an `Index` or
        a `FilteredIndex` holds.

        All or nothing: a str, a non-iterable or a non-Indexable item raises
        TypeError, an object the index does not hold KeyError, an object
        listed twice or in use elsewhere RuntimeError "Already borrowed";
        nothing is removed then.
        """

    def discard_object(self, py_ref: _T) -> None:
        """Like `remove_object`, but an object the index does not hold is ignored."""

    def union_with(self, other: Index[_T]) -> None:
        """Make this index hold the objects of `other` too, with all their entries.

        Equality, range and dotted-path entries are merged, so every query
        sees the objects of `other` at once.  `idx.union_with(idx)` raises RuntimeError "Already
        mutably borrowed"; an object of `other` in use elsewhere, "Already
        borrowed" (nothing is merged then).
        """

@final
class FilteredIndex(Generic[_T]):
    """A fixed set of objects of an index, returned by `reduced` and `reduced_query`.

    The set never changes, except that objects removed from the index leave
    it (while they stay removed); narrowing it again uses the objects'
    current values.
    Generic like `Index`: the views of an `Index[Order]` are
    `FilteredIndex[Order]`. Not constructible from Python.
    """

    def __new__(cls, *, no_constructor: Never) -> Self:
        """Raises TypeError "No constructor defined for FilteredIndex".

        No value can fill `no_constructor`, so type checkers reject
        `FilteredIndex()` as well.
        """

    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """`FilteredIndex[Order]`: the class with its type argument, usable at run time."""

    def __reduce_ex__(self, protocol: SupportsIndex, /) -> Never:
        """Raises TypeError "cannot pickle 'Corvane.FilteredIndex' object": copy.copy,
        copy.deepcopy and pickle refuse the FilteredIndex."""

    def __reduce__(self) -> Never:
        """Raises TypeError "cannot pickle 'Corvane.FilteredIndex' object"."""

    def reduced(self, **kwargs: object) -> FilteredIndex[_T]:
        """The objects of this view that match every keyword filter."""

    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex[_T]:
        """The objects of this view selected by a query expression."""

    def collect(self) -> list[_T]:
        """The objects of this view, in id order."""

    def ordered_by(
        self, attr: str, descending: bool = False, limit: int | None = None, offset: int = 0
    ) -> list[_T]:
        """The objects of this view ordered by the value of `attr` (see `Index.ordered_by`)."""

    def value_counts(self, attr: str) -> dict[Any, int]:
        """Each distinct value of `attr` among this view's objects with its count
        (see `Index.value_counts`); values no object of the view holds are left out."""

    def __len__(self) -> int:
        """The number of objects `collect` lists; an empty view is falsy."""

    def __contains__(self, obj: object, /) -> bool:
        """True when `collect` would list `obj`."""

    def __iter__(self) -> Iterator[_T]:
        """The objects in id order, as `collect` lists them when iteration starts."""

    def rebase(self) -> Index[_T]:
        """A new, independent index holding exactly the objects of this view.

        Attributes are indexed from the objects' current values, including
        names that start with "_".  An object in use elsewhere makes it raise
        RuntimeError "Already borrowed".
        """

@final
class PyQueryExpr:
    """A query expression, built with the static methods and passed to `reduced_query`.

    `attr` may be a dotted path ("supplier.country") into attributes whose
    values are `Indexable` objects. Not constructible from Python.
    """

    def __new__(cls, *, no_constructor: Never) -> Self:
        """Raises TypeError "No constructor defined for PyQueryExpr".

        No value can fill `no_constructor`, so type checkers reject
        `PyQueryExpr()` as well.
        """

    def __reduce_ex__(self, protocol: SupportsIndex, /) -> Never:
        """Raises TypeError "cannot pickle 'Corvane.PyQueryExpr' object": copy.copy,
        copy.deepcopy and pickle refuse the PyQueryExpr."""

    def __reduce__(self) -> Never:
        """Raises TypeError "cannot pickle 'Corvane.PyQueryExpr' object"."""

    @staticmethod
    def eq(attr: str, value: object) -> PyQueryExpr:
        """`attr` equals `value` (same key: see the user's guide on value identity)."""

    @staticmethod
    def ne(attr: str, value: object) -> PyQueryExpr:
        """Not `eq`: also selects objects that do not have `attr` at all."""

    @staticmethod
    def gt(attr: str, value: object) -> PyQueryExpr:
        """`attr` is greater than `value`, both of one ordered family (numbers of any type,
        naive or aware datetimes, dates, naive or aware times, timedeltas, strs in code
        point order)."""

    @staticmethod
    def ge(attr: str, value: object) -> PyQueryExpr:
        """`attr` is greater than or equal to `value`, both of one ordered family."""

    @staticmethod
    def le(attr: str, value: object) -> PyQueryExpr:
        """`attr` is less than or equal to `value`, both of one ordered family."""

    @staticmethod
    def bt(attr: str, lower: object, upper: object) -> PyQueryExpr:
        """`attr` is between `lower` and `upper`, both included, all of one ordered family."""

    @staticmethod
    def lt(attr: str, value: object) -> PyQueryExpr:
        """`attr` is less than `value`, both of one ordered family."""

    @staticmethod
    def in_(attr: str, values: _Values[object] | Iterator[object]) -> PyQueryExpr:
        """`attr` equals one of `values`: any iterable (a list, tuple, range, set,
        dict view, generator, ...) except a `str`, which raises TypeError (and
        which type checkers reject)."""

    @staticmethod
    def startswith(attr: str, prefix: str) -> PyQueryExpr:
        """`attr` is a str starting with `prefix` (a str, else TypeError); "" selects
        every str value."""

    @staticmethod
    def contains(attr: str, value: Hashable) -> PyQueryExpr:
        """`attr` is a `tuple` or `frozenset` with an element that is one key with
        `value` (so 3 finds 3.0 and True finds 1). Lists, sets and dicts never
        match: they can change in place without the index knowing. An
        unhashable `value` raises TypeError."""

    @overload
    @staticmethod
    def and_(*exprs: PyQueryExpr) -> PyQueryExpr:
        """All of `exprs` (or of the expressions of one iterable); with none, every member."""

    @overload
    @staticmethod
    def and_(exprs: Iterable[PyQueryExpr], /) -> PyQueryExpr: ...
    @overload
    @staticmethod
    def or_(*exprs: PyQueryExpr) -> PyQueryExpr:
        """Any of `exprs` (or of the expressions of one iterable); with none, nothing."""

    @overload
    @staticmethod
    def or_(exprs: Iterable[PyQueryExpr], /) -> PyQueryExpr: ...

    @staticmethod
    def not_(exprs: PyQueryExpr) -> PyQueryExpr:
        """Every member not selected by the one expression `exprs`."""

    def __and__(self, other: PyQueryExpr, /) -> PyQueryExpr:
        """`a & b` is `and_(a, b)`; any other operand raises TypeError."""

    def __rand__(self, other: PyQueryExpr, /) -> PyQueryExpr: ...
    def __or__(self, other: PyQueryExpr, /) -> PyQueryExpr:
        """`a | b` is `or_(a, b)`; any other operand raises TypeError."""

    def __ror__(self, other: PyQueryExpr, /) -> PyQueryExpr: ...

    def __invert__(self) -> PyQueryExpr:
        """`~a` is `not_(a)`."""

    def __repr__(self) -> str: ...
