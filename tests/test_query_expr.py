"""PyQueryExpr: the eleven factories, their argument handling and the text form."""

import gc
import platform
import re
import weakref

import pytest

from Corvane import Index, Indexable, PyQueryExpr as Q

CPYTHON = platform.python_implementation() == "CPython"
U64 = (1 << 64) - 1

FACTORIES = [
    ("eq", "(attr, value)"),
    ("ne", "(attr, value)"),
    ("gt", "(attr, value)"),
    ("ge", "(attr, value)"),
    ("le", "(attr, value)"),
    ("bt", "(attr, lower, upper)"),
    ("lt", "(attr, value)"),
    ("in_", "(attr, values)"),
    ("and_", "(*exprs)"),
    ("or_", "(*exprs)"),
    ("not_", "(exprs)"),
]
SIMPLE = ["eq", "ne", "gt", "ge", "lt", "le"]
VARIANT = {"eq": "Eq", "ne": "Ne", "gt": "Gt", "ge": "Ge", "lt": "Lt", "le": "Le"}


def text_signature(func):
    sig = getattr(func, "__text_signature__", None)
    if sig is None:
        head, sep, _ = (func.__doc__ or "").partition("\n--\n\n")
        if sep and head.startswith(func.__name__):
            sig = head[len(func.__name__):]
    return sig


def addr(obj):
    """Pattern for the address shown for a Python object: exact where the
    object's id() is its address, any lowercase hex number elsewhere."""
    if CPYTHON:
        return re.escape("0x%x" % id(obj))
    return r"0x[0-9a-f]+"


def pyvalue(obj, primitave, hash_value=None):
    """Pattern for the text of one wrapped value."""
    if hash_value is None:
        hash_value = hash(obj) & U64
    return (
        r"PyValue \{ obj: Py\(" + addr(obj) + r"\), primitave: "
        + primitave + r", hash: " + str(hash_value) + r" \}"
    )


def assert_repr(expr, pattern):
    text = repr(expr)
    assert re.fullmatch(r"<QueryExpr: " + pattern + r">", text), text


def same_text(a, b):
    """Two expressions print alike, object addresses aside (an interpreter
    may hand the module a different object for an equal small int)."""
    strip = lambda e: re.sub(r"Py\(0x[0-9a-f]+\)", "Py(_)", repr(e))
    return strip(a) == strip(b)


def type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


# --------------------------------------------------------------------------
# the class and its methods


class TestClassSurface:
    @pytest.mark.parametrize("name,signature", FACTORIES)
    def test_text_signature(self, name, signature):
        func = getattr(Q, name)
        assert text_signature(func) == signature
        # The docstring is the signature block and nothing else.
        assert func.__doc__ in (None, "", name + signature + "\n--\n\n")

    def test_factories_are_registered_in_order(self):
        names = [n for n, _ in FACTORIES]
        assert [n for n in vars(Q) if n in names] == names

    def test_factories_are_static(self):
        e = Q.eq("a", 1)
        # Reachable through an instance without binding it to the instance.
        assert same_text(e.eq("b", 2), Q.eq("b", 2))
        assert repr(e.and_()) == "<QueryExpr: And([])>"

    def test_no_constructor(self):
        assert type_error(lambda: Q()) == "No constructor defined for PyQueryExpr"

    def test_every_factory_returns_a_new_expression(self):
        e = Q.eq("a", 1)
        built = [
            Q.eq("a", 1), Q.ne("a", 1), Q.gt("a", 1), Q.ge("a", 1), Q.lt("a", 1),
            Q.le("a", 1), Q.bt("a", 1, 2), Q.in_("a", [1]), Q.and_(e),
            Q.or_(e), Q.not_(e),
        ]
        assert all(type(b) is Q for b in built)
        assert len({id(b) for b in built}) == len(built)


# --------------------------------------------------------------------------
# text form


class TestRepr:
    def test_empty_connectives(self):
        assert repr(Q.or_()) == "<QueryExpr: Or([])>"
        assert repr(Q.and_()) == "<QueryExpr: And([])>"
        assert repr(Q.not_(Q.or_())) == "<QueryExpr: Not(Or([]))>"

    @pytest.mark.parametrize("name", SIMPLE)
    def test_simple_comparisons(self, name):
        v = 5
        e = getattr(Q, name)("age", v)
        assert_repr(e, VARIANT[name] + r'\("age", ' + pyvalue(v, r"Int\(5\)", 5) + r"\)")

    def test_value_kinds(self):
        f, s, u, n = 2.5, "abc", [1, 2], -3
        assert_repr(Q.eq("x", f), r'Eq\("x", ' + pyvalue(f, r"Float\(2\.5\)") + r"\)")
        assert_repr(Q.eq("x", s), r'Eq\("x", ' + pyvalue(s, r'Str\("abc"\)') + r"\)")
        assert_repr(Q.eq("x", u), r'Eq\("x", ' + pyvalue(u, "Unknown", 0) + r"\)")
        assert_repr(Q.eq("x", None), r'Eq\("x", ' + pyvalue(None, "Unknown") + r"\)")
        assert_repr(Q.eq("x", True), r'Eq\("x", ' + pyvalue(True, "Unknown", 1) + r"\)")
        assert_repr(Q.eq("x", n), r'Eq\("x", ' + pyvalue(n, r"Int\(-3\)") + r"\)")
        assert "hash: %d }" % ((-3) & U64) in repr(Q.eq("x", -3))

    def test_indexable_value_shows_the_same_object_twice(self):
        o = Indexable(a=1)
        text = repr(Q.eq("owner", o))
        m = re.fullmatch(
            r'<QueryExpr: Eq\("owner", PyValue \{ obj: Py\((0x[0-9a-f]+)\), '
            r"primitave: Ind\(Py\((0x[0-9a-f]+)\)\), hash: (\d+) \}\)>",
            text,
        )
        assert m, text
        assert m.group(1) == m.group(2)
        assert int(m.group(3)) == hash(o) & U64
        if CPYTHON:
            assert m.group(1) == "0x%x" % id(o)

    def test_bt_shows_both_bounds_in_order(self):
        lo, hi = 1, 2.5
        assert_repr(
            Q.bt("size", lo, hi),
            r'Bt\("size", ' + pyvalue(lo, r"Int\(1\)") + ", "
            + pyvalue(hi, r"Float\(2\.5\)") + r"\)",
        )

    def test_in_lists_values_in_order_with_duplicates(self):
        a, b = "a", [0]
        assert_repr(
            Q.in_("tag", [a, b, a]),
            r'In\("tag", \[' + pyvalue(a, r'Str\("a"\)') + ", "
            + pyvalue(b, "Unknown", 0) + ", " + pyvalue(a, r'Str\("a"\)') + r"\]\)",
        )
        assert repr(Q.in_("tag", [])) == '<QueryExpr: In("tag", [])>'

    def test_not_renders_its_operand_directly(self):
        v = 1
        inner = r'Eq\("a", ' + pyvalue(v, r"Int\(1\)", 1) + r"\)"
        assert_repr(Q.not_(Q.eq("a", v)), r"Not\(" + inner + r"\)")
        assert_repr(Q.not_(Q.not_(Q.eq("a", v))), r"Not\(Not\(" + inner + r"\)\)")

    def test_connectives_list_operands_in_order(self):
        one, two = 1, 2
        first = r'Eq\("a", ' + pyvalue(one, r"Int\(1\)", 1) + r"\)"
        second = r'Gt\("b", ' + pyvalue(two, r"Int\(2\)", 2) + r"\)"
        e = Q.and_(Q.eq("a", one), Q.gt("b", two), Q.or_())
        assert_repr(e, r"And\(\[" + first + ", " + second + r", Or\(\[\]\)\]\)")
        assert_repr(Q.or_(Q.eq("a", one)), r"Or\(\[" + first + r"\]\)")

    def test_attr_is_escaped(self):
        text = repr(Q.eq('a"b\\c', 1))
        assert text.startswith('<QueryExpr: Eq("a\\"b\\\\c", PyValue { ')

    def test_dotted_attr_is_kept_whole(self):
        assert repr(Q.eq("owner.address.city", 1)).startswith(
            '<QueryExpr: Eq("owner.address.city", PyValue'
        )


# --------------------------------------------------------------------------
# argument conversion


class TestArguments:
    @pytest.mark.parametrize("name", SIMPLE)
    @pytest.mark.parametrize("bad,type_name", [(1, "int"), (b"a", "bytes"), (None, "NoneType")])
    def test_attr_must_be_str(self, name, bad, type_name):
        msg = "argument 'attr': '%s' object cannot be converted to 'PyString'" % type_name
        assert type_error(lambda: getattr(Q, name)(bad, 1)) == msg

    def test_attr_must_be_str_for_bt_and_in(self):
        msg = "argument 'attr': 'int' object cannot be converted to 'PyString'"
        assert type_error(lambda: Q.bt(3, 1, 2)) == msg
        assert type_error(lambda: Q.in_(3, [1])) == msg

    def test_values_rejects_str(self):
        assert type_error(lambda: Q.in_("tag", "abc")) == (
            "argument 'values': Can't extract `str` to `Vec`"
        )

    @pytest.mark.parametrize("bad,type_name", [(5, "int"), (None, "NoneType")])
    def test_values_must_be_iterable(self, bad, type_name):
        assert type_error(lambda: Q.in_("tag", bad)) == (
            "argument 'values': '%s' object cannot be converted to 'Sequence'" % type_name
        )

    def test_values_accept_any_sequence(self):
        assert_repr(Q.in_("tag", ("abc",)), r'In\("tag", \[' + pyvalue("abc", r'Str\("abc"\)') + r"\]\)")
        text = repr(Q.in_("n", range(3)))
        assert [int(x) for x in re.findall(r"Int\((\d+)\)", text)] == [0, 1, 2]
        text = repr(Q.in_("n", b"\x07\x08"))
        assert [int(x) for x in re.findall(r"Int\((\d+)\)", text)] == [7, 8]

    @pytest.mark.parametrize("name", ["and_", "or_"])
    def test_exprs_must_be_expressions(self, name):
        f = getattr(Q, name)
        e = Q.eq("a", 1)
        msg = "argument 'exprs': '%s' object cannot be converted to 'PyQueryExpr'"
        assert type_error(lambda: f(e, 1)) == msg % "int"
        assert type_error(lambda: f("x")) == msg % "str"
        assert type_error(lambda: f(e, Index())) == msg % "Index"

    def test_not_takes_one_expression(self):
        msg = "argument 'exprs': '%s' object cannot be converted to 'PyQueryExpr'"
        assert type_error(lambda: Q.not_(1)) == msg % "int"
        assert type_error(lambda: Q.not_([Q.eq("a", 1)])) == msg % "list"

    def test_missing_arguments(self):
        assert type_error(lambda: Q.eq("a")) == (
            "PyQueryExpr.eq() missing 1 required positional argument: 'value'"
        )
        assert type_error(lambda: Q.eq(attr="a")) == (
            "PyQueryExpr.eq() missing 1 required positional argument: 'value'"
        )
        assert type_error(lambda: Q.eq(value=1)) == (
            "PyQueryExpr.eq() missing 1 required positional argument: 'attr'"
        )
        assert type_error(lambda: Q.bt("a", 1)) == (
            "PyQueryExpr.bt() missing 1 required positional argument: 'upper'"
        )
        assert type_error(lambda: Q.in_("a")) == (
            "PyQueryExpr.in_() missing 1 required positional argument: 'values'"
        )
        assert type_error(lambda: Q.not_()) == (
            "PyQueryExpr.not_() missing 1 required positional argument: 'exprs'"
        )

    def test_too_many_positional_arguments(self):
        assert type_error(lambda: Q.eq("a", 1, 2)) == (
            "PyQueryExpr.eq() takes 2 positional arguments but 3 were given"
        )
        assert type_error(lambda: Q.bt("a", 1, 2, 3)) == (
            "PyQueryExpr.bt() takes 3 positional arguments but 4 were given"
        )
        e = Q.eq("a", 1)
        assert type_error(lambda: Q.not_(e, e)) == (
            "PyQueryExpr.not_() takes 1 positional arguments but 2 were given"
        )

    def test_unexpected_keyword(self):
        assert type_error(lambda: Q.eq("a", 1, foo=2)) == (
            "PyQueryExpr.eq() got an unexpected keyword argument 'foo'"
        )
        assert type_error(lambda: Q.and_(exprs=Q.eq("a", 1))) == (
            "PyQueryExpr.and_() got an unexpected keyword argument 'exprs'"
        )
        assert type_error(lambda: Q.or_(x=1)) == (
            "PyQueryExpr.or_() got an unexpected keyword argument 'x'"
        )

    def test_multiple_values(self):
        assert type_error(lambda: Q.eq("a", 1, attr="b")) == (
            "PyQueryExpr.eq() got multiple values for argument 'attr'"
        )
        assert type_error(lambda: Q.bt("a", 1, 2, lower=0)) == (
            "PyQueryExpr.bt() got multiple values for argument 'lower'"
        )

    def test_keyword_use(self):
        assert same_text(Q.bt(attr="x", lower=1, upper=5), Q.bt("x", 1, 5))
        assert same_text(Q.bt("x", upper=5, lower=1.5), Q.bt("x", 1.5, 5))
        assert same_text(Q.eq(value=1, attr="a"), Q.eq("a", 1))
        assert same_text(Q.in_(values=("t",), attr="tag"), Q.in_("tag", ["t"]))
        e = Q.eq("a", 1)
        assert repr(Q.not_(exprs=e)) == repr(Q.not_(e))
        for name in ["ne", "gt", "ge", "lt", "le"]:
            f = getattr(Q, name)
            assert same_text(f(attr="a", value=2), f("a", 2))

    def test_anything_goes_until_evaluation(self):
        # Reversed bounds, strings, arbitrary objects and empty lists are all
        # accepted when the expression is built.
        Q.bt("x", 5, 1)
        Q.bt("x", "a", object())
        Q.gt("x", "abc")
        Q.lt("x", Indexable())
        Q.in_("x", [])
        Q.and_(Q.eq("x", 1))
        Q.or_(Q.eq("x", 1))

    def test_values_outside_native_ranges_become_plain_values(self):
        big = 2**70
        assert_repr(Q.eq("x", big), r'Eq\("x", ' + pyvalue(big, "Unknown") + r"\)")
        lone = "\ud800"
        assert_repr(Q.eq("x", lone), r'Eq\("x", ' + pyvalue(lone, "Unknown") + r"\)")

    def test_hash_is_taken_when_built(self):
        class Shifting:
            h = 11

            def __hash__(self):
                return self.h

        v = Shifting()
        e = Q.eq("x", v)
        v.h = 12
        assert repr(e).endswith("primitave: Unknown, hash: 11 })>")

    def test_failing_hash_raises_and_unhashable_counts_as_zero(self):
        class Broken:
            def __hash__(self):
                raise ValueError("no hash")

        class Unhashable:
            def __hash__(self):
                raise TypeError("unhashable")

        with pytest.raises(ValueError, match="^no hash$"):
            Q.eq("x", Broken())
        e = Q.eq("x", Unhashable())
        assert repr(e).endswith("primitave: Unknown, hash: 0 })>")
        # No exception is left pending for the next call.
        assert repr(Q.and_()) == "<QueryExpr: And([])>"


# --------------------------------------------------------------------------
# copies and ownership


class Token:
    """A hashable value that can be watched with a weak reference."""


def collect_garbage():
    for _ in range(3):
        gc.collect()


class TestCopies:
    def test_and_of_one_expression_twice_holds_two_copies(self):
        e = Q.eq("a", 1)
        inner = repr(e)[len("<QueryExpr: "):-1]
        both = Q.and_(e, e)
        assert repr(both) == "<QueryExpr: And([%s, %s])>" % (inner, inner)
        del e
        collect_garbage()
        assert repr(both) == "<QueryExpr: And([%s, %s])>" % (inner, inner)

    def test_copies_share_the_value_object(self):
        t = Token()
        e = Q.eq("a", t)
        text = repr(Q.or_(e, Q.not_(e)))
        addresses = set(re.findall(r"obj: Py\((0x[0-9a-f]+)\)", text))
        assert len(addresses) == 1

    def test_expression_keeps_its_values_alive(self):
        t = Token()
        ref = weakref.ref(t)
        e = Q.in_("a", [t])
        composed = Q.and_(Q.not_(e), Q.or_(e))
        del t, e
        collect_garbage()
        assert ref() is not None
        del composed
        collect_garbage()
        if CPYTHON:
            assert ref() is None

    def test_composed_expression_outlives_its_parts(self):
        a = Indexable(x=1, y=2)
        b = Indexable(x=1, y=3)
        idx = Index()
        idx.add_object_many([a, b])
        part = Q.eq("x", 1)
        composed = Q.and_(part, Q.not_(Q.eq("y", 3)))
        del part
        collect_garbage()
        assert idx.reduced_query(composed).collect() == [a]
        # The same expression object can be used again.
        assert idx.reduced_query(composed).collect() == [a]

    def test_deep_and_wide_trees(self):
        objs = [Indexable(a=i % 2) for i in range(6)]
        idx = Index()
        idx.add_object_many(objs)
        e = Q.eq("a", 1)
        for _ in range(1000):
            e = Q.not_(e)  # an even number of negations
        assert idx.reduced_query(e).collect() == objs[1::2]
        text = repr(e)
        assert text.startswith("<QueryExpr: " + "Not(" * 1000 + 'Eq("a", ')
        assert text.endswith(")" * 1001 + ">")
        del e
        wide = Q.or_(*[Q.eq("a", i) for i in range(5000)])
        assert idx.reduced_query(wide).collect() == objs
        narrow = Q.and_(*[Q.ne("a", i) for i in range(1, 5000)])
        assert idx.reduced_query(narrow).collect() == objs[0::2]
