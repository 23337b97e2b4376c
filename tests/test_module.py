"""The module surface: import, names, classes, signatures, argument matching
and the internal-failure exception."""

import inspect
import re
import types

import pytest

import Corvane
from Corvane import FilteredIndex, Index, Indexable, PyQueryExpr
from conftest import IS_CPYTHON, IS_PYPY, Obj, needs_queries, run_python

CLASSES = ["Index", "Indexable", "FilteredIndex", "PyQueryExpr"]


# --- import, names, caching -------------------------------------------------


def test_all_lists_the_five_names_in_order():
    assert Corvane.__all__ == [
        "sum_as_string",
        "Index",
        "Indexable",
        "FilteredIndex",
        "PyQueryExpr",
    ]
    for name in Corvane.__all__:
        assert hasattr(Corvane, name)
    assert "PanicException" not in Corvane.__all__


def test_module_docstring_is_one_line():
    assert Corvane.__name__ == "Corvane"
    assert isinstance(Corvane.__doc__, str) and Corvane.__doc__.strip()
    assert "\n" not in Corvane.__doc__.strip()


def test_second_initialisation_reuses_module_and_classes():
    # A fresh interpreter, so that dropping the module from sys.modules does
    # not disturb the objects the other tests hold.
    proc = run_python(
        "import sys, importlib, Corvane as first\n"
        "again = importlib.import_module('Corvane')\n"
        "assert again is first\n"
        "del sys.modules['Corvane']\n"
        "import Corvane as second\n"
        "for n in ['Index', 'Indexable', 'FilteredIndex', 'PyQueryExpr', 'PanicException']:\n"
        "    assert getattr(second, n) is getattr(first, n), n\n"
        "assert second.__all__ == first.__all__\n"
        "assert second.sum_as_string(2, 3) == '5'\n"
        "print('ok')\n"
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


# --- sum_as_string ----------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((2, 3), {}, "5"),
        ((), {"a": 1, "b": 2}, "3"),
        ((), {"b": 1, "a": 2}, "3"),
        ((7,), {"b": 8}, "15"),
        ((0, 0), {}, "0"),
        ((18446744073709551615, 1), {}, "0"),
        ((18446744073709551615, 18446744073709551615), {}, "18446744073709551614"),
        ((True, 2), {}, "3"),
    ],
)
def test_sum_as_string(args, kwargs, expected):
    result = Corvane.sum_as_string(*args, **kwargs)
    assert type(result) is str and result == expected


def test_sum_as_string_uses_index_protocol():
    class Four:
        def __index__(self):
            return 4

    assert Corvane.sum_as_string(Four(), Four()) == "8"


@pytest.mark.parametrize("args", [(-1, 1), (1, -1), (2**64, 0), (0, 2**70)])
def test_sum_as_string_overflow(args):
    with pytest.raises(OverflowError):
        Corvane.sum_as_string(*args)


def test_sum_as_string_type_errors_name_the_argument():
    with pytest.raises(TypeError) as e:
        Corvane.sum_as_string("1", 2)
    assert str(e.value).startswith("argument 'a': ")
    with pytest.raises(TypeError) as e:
        Corvane.sum_as_string(1, 2.5)
    assert str(e.value).startswith("argument 'b': ")


def test_rewrapped_type_error_keeps_the_cause():
    root = ValueError("root cause")

    class Bad:
        def __index__(self):
            raise TypeError("boom") from root

    with pytest.raises(TypeError) as e:
        Corvane.sum_as_string(1, Bad())
    assert e.type is TypeError
    assert str(e.value) == "argument 'b': boom"
    assert e.value.__cause__ is root

    class NoCause:
        def __index__(self):
            raise TypeError("plain")

    with pytest.raises(TypeError) as e:
        Corvane.sum_as_string(NoCause(), 1)
    assert str(e.value) == "argument 'a': plain"
    assert e.value.__cause__ is None


def test_non_type_errors_from_conversion_pass_unchanged():
    class Bad:
        def __index__(self):
            raise KeyError("k")

    with pytest.raises(KeyError) as e:
        Corvane.sum_as_string(Bad(), 1)
    assert e.value.args == ("k",)


def test_sum_as_string_signature_and_doc():
    f = Corvane.sum_as_string
    assert f.__text_signature__ == "(a, b)"
    assert f.__doc__ == "Formats the sum of two numbers as string."
    if IS_CPYTHON:
        assert str(inspect.signature(f)) == "(a, b)"


# --- argument matching messages ----------------------------------------------


def _message(call):
    with pytest.raises(TypeError) as e:
        call()
    assert e.type is TypeError
    return str(e.value)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Corvane.sum_as_string(1), "sum_as_string() missing 1 required positional argument: 'b'"),
        (lambda: Corvane.sum_as_string(b=1), "sum_as_string() missing 1 required positional argument: 'a'"),
        (lambda: Corvane.sum_as_string(1, 2, 3), "sum_as_string() takes 2 positional arguments but 3 were given"),
        (lambda: Corvane.sum_as_string(1, 2, c=3), "sum_as_string() got an unexpected keyword argument 'c'"),
        (lambda: Corvane.sum_as_string(1, 2, a=3), "sum_as_string() got multiple values for argument 'a'"),
        (lambda: Index(1), "Index.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: Index(1, 2), "Index.__new__() takes 0 positional arguments but 2 were given"),
        (lambda: Index(a=1), "Index.__new__() got an unexpected keyword argument 'a'"),
        (lambda: Index().add_object(), "Index.add_object() missing 1 required positional argument: 'py_ref'"),
        (lambda: Index().add_object(Indexable(), Indexable()), "Index.add_object() takes 1 positional arguments but 2 were given"),
        (lambda: Index().add_object(py_ref=Indexable(), x=1), "Index.add_object() got an unexpected keyword argument 'x'"),
        (lambda: Index().add_object(Indexable(), py_ref=Indexable()), "Index.add_object() got multiple values for argument 'py_ref'"),
        (lambda: Index().add_object_many(), "Index.add_object_many() missing 1 required positional argument: 'objs'"),
        (lambda: Index().collect(1), "Index.collect() takes 0 positional arguments but 1 was given"),
        (lambda: Index().collect(x=1), "Index.collect() got an unexpected keyword argument 'x'"),
        (lambda: Index().get_by_attribute(1), "Index.get_by_attribute() takes 0 positional arguments but 1 was given"),
    ],
)
def test_argument_matching_messages(call, message):
    assert _message(call) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Index().add_object(5), "argument 'py_ref': 'int' object cannot be converted to 'Indexable'"),
        (lambda: Index().add_object(py_ref="x"), "argument 'py_ref': 'str' object cannot be converted to 'Indexable'"),
        (lambda: Index().add_object(Index()), "argument 'py_ref': 'Index' object cannot be converted to 'Indexable'"),
        (lambda: Index().add_object_many("ab"), "argument 'objs': Can't extract `str` to `Vec`"),
        (lambda: Index().add_object_many(5), "argument 'objs': 'int' object cannot be converted to 'Sequence'"),
        (lambda: Index().add_object_many([Indexable(), 5]), "argument 'objs': 'int' object cannot be converted to 'Indexable'"),
    ],
)
def test_argument_conversion_messages(call, message):
    assert _message(call) == message


def test_subclass_instances_convert_to_indexable():
    idx = Index()
    o = Obj(x=1)
    idx.add_object(py_ref=o)
    assert idx.collect() == [o]


# --- classes -------------------------------------------------------------------


@pytest.mark.parametrize("name", CLASSES)
def test_class_shape(name):
    cls = getattr(Corvane, name)
    assert isinstance(cls, type)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("name", ["Index", "FilteredIndex", "PyQueryExpr"])
def test_only_indexable_can_be_subclassed(name):
    cls = getattr(Corvane, name)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})

    class Fine(Indexable):
        pass

    assert isinstance(Fine(), Indexable)


@pytest.mark.parametrize("name", ["FilteredIndex", "PyQueryExpr"])
def test_classes_without_constructor(name):
    cls = getattr(Corvane, name)
    for args, kwargs in [((), {}), ((1,), {}), ((), {"a": 1})]:
        with pytest.raises(TypeError) as e:
            cls(*args, **kwargs)
        assert str(e.value) == "No constructor defined for " + name


def test_index_constructs():
    idx = Index()
    assert type(idx) is Index
    assert idx.collect() == []


@pytest.mark.parametrize("name", ["Index", "FilteredIndex"])
def test_generic_classes_take_a_type_argument(name):
    # The stubs make Index and FilteredIndex generic over the objects' class;
    # `Index[Obj]` works at run time too, as an alias that calls the class.
    cls = getattr(Corvane, name)
    alias = cls[Obj]
    assert type(alias) is types.GenericAlias
    assert alias.__origin__ is cls and alias.__args__ == (Obj,)
    assert repr(alias) == f"Corvane.{name}[conftest.Obj]"
    assert cls[Obj, int].__args__ == (Obj, int)  # arity is the checker's business
    if name == "Index":
        idx = alias()
        assert type(idx) is Index and idx.collect() == []
    else:
        with pytest.raises(TypeError, match="^No constructor defined for FilteredIndex$"):
            alias()
    for other in (Indexable, PyQueryExpr):
        with pytest.raises(TypeError):
            other[Obj]


INDEX_METHODS = {
    "__class_getitem__": "($cls, item, /)",
    "collect": "($self)",
    "reduced": "($self, **kwargs)",
    "reduce": "($self, **kwargs)",
    "get_by_attribute": "($self, **kwargs)",
    "add_object_many": "($self, objs)",
    "add_object": "($self, py_ref)",
    "reduced_query": "($self, query)",
    "union_with": "($self, other)",
}
VIEW_METHODS = {
    "__class_getitem__": "($cls, item, /)",
    "reduced": "($self, **kwargs)",
    "reduced_query": "($self, query)",
    "collect": "($self)",
    "rebase": "($self)",
}
EXPR_METHODS = {
    "eq": "(attr, value)",
    "ne": "(attr, value)",
    "gt": "(attr, value)",
    "ge": "(attr, value)",
    "le": "(attr, value)",
    "bt": "(attr, lower, upper)",
    "lt": "(attr, value)",
    "in_": "(attr, values)",
    "and_": "(*exprs)",
    "or_": "(*exprs)",
    "not_": "(exprs)",
}


def _signature_cases():
    for cls, table in [(Index, INDEX_METHODS), (FilteredIndex, VIEW_METHODS), (PyQueryExpr, EXPR_METHODS)]:
        for method, sig in table.items():
            yield pytest.param(cls, method, sig, id=f"{cls.__name__}.{method}")
    yield pytest.param(Indexable, "__dir__", "($self)", id="Indexable.__dir__")


@pytest.mark.parametrize("cls, method, sig", list(_signature_cases()))
def test_method_text_signatures(cls, method, sig):
    if not hasattr(cls, method):
        pytest.skip(f"{cls.__name__}.{method} not built yet")
    fn = getattr(cls, method)
    text = getattr(fn, "__text_signature__", None)
    if text is None and not IS_CPYTHON:
        pytest.skip("this interpreter does not expose signatures of native methods")
    assert text == sig
    assert not fn.__doc__  # the docstring is the signature alone


def test_factories_are_static_methods():
    if not hasattr(PyQueryExpr, "eq"):
        pytest.skip("PyQueryExpr factories not built yet")
    e = PyQueryExpr.eq("a", 1)
    # Called through an instance, nothing is bound: the arguments stay as given.
    assert type(e.eq("b", 2)) is PyQueryExpr
    assert repr(e.eq("b", 2)).startswith('<QueryExpr: Eq("b", ')


def test_constructor_signatures():
    assert Index.__text_signature__ == "()"
    assert Indexable.__text_signature__ == "(*_args, **kwargs)"
    if IS_CPYTHON:
        assert str(inspect.signature(Index)) == "()"
        assert str(inspect.signature(Indexable)) == "(*_args, **kwargs)"


# --- the internal-failure exception --------------------------------------------


def test_panic_exception_class():
    panic = Corvane.PanicException
    assert isinstance(panic, type)
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__doc__  # documented
    e = panic("message")
    assert e.args == ("message",)


@needs_queries
def test_internal_failure_reaches_python_as_panic(capfd):
    # An ordering comparison against an Indexable value is not supported by
    # the evaluator; it is the one ordinary way to reach an internal failure.
    idx = Index()
    o = Indexable(x=1)
    idx.add_object(o)
    caught = None
    try:
        try:
            idx.reduced_query(PyQueryExpr.gt("x", Indexable()))
        except Exception:  # must not catch it
            pytest.fail("internal failure caught as an ordinary Exception")
    except Corvane.PanicException as e:
        caught = e
    assert caught is not None
    assert caught.args == ("not yet implemented",)
    report = capfd.readouterr().err
    assert "not yet implemented" in report
    # The report names the source file within the project, not where it was
    # built, and the function that failed.
    assert re.search(r"panicked at src/engine/\w+\.cpp:\d+:\d+ in .*\w\(.*\):\n", report), report
    # A failure while only reading leaves the index usable.
    assert idx.get_by_attribute(x=1) == [o]
    assert idx.reduced_query(PyQueryExpr.eq("x", 1)).collect() == [o]
