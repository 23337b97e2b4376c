"""Value identity as the indexes see it, and the text form of wrapped values.

Two values are one key exactly when a dict takes them as one key: equal hashes
and equal values (numbers of any size and type numerically, with NaN equal to
NaN; strs by text; other objects by their `==`).  A value that cannot be hashed
is a key of its own, equal only to the very same object.
"""

import datetime
import enum
import math
import random
import re
import struct
from decimal import Decimal
from fractions import Fraction

import pytest

from Corvane import Index, Indexable, PyQueryExpr
from conftest import (
    I64_MAX,
    I64_MIN,
    IS_CPYTHON,
    Obj,
    assert_same,
    needs_exprs,
    needs_queries,
    same_key,
    select,
    unsigned_hash,
)


def indexed(values, name="x"):
    """An index holding one object per value, in the order given."""
    objs = [Indexable(**{name: v}) for v in values]
    idx = Index()
    idx.add_object_many(objs)
    return idx, objs


def lookup_matches_model(idx, objs, probe):
    expected = [o for o in objs if same_key(o.x, probe)]
    assert_same(idx.get_by_attribute(x=[probe]), expected)
    return expected


class Unhashable:
    __hash__ = None


class HashRaises:
    def __hash__(self):
        raise ValueError("no hash for you")


class TypeErrorHash:
    def __hash__(self):
        raise TypeError("no hash for you either")


class FixedHash:
    def __init__(self, h):
        self.h = h

    def __hash__(self):
        return self.h


class AlwaysEqual(FixedHash):
    def __eq__(self, other):
        return True

    __hash__ = FixedHash.__hash__


class S(str):
    pass


class I(int):
    pass


class F(float):
    pass


class Colour(enum.IntEnum):
    RED = 1
    GREEN = 2


# --- keys as seen through lookups ------------------------------------------------


def test_one_true_and_one_point_zero_are_one_key():
    idx, objs = indexed([1, 1.0, True, Decimal(1), Fraction(1, 1), 2])
    for probe in [1, 1.0, True, Decimal(1)]:
        assert_same(idx.get_by_attribute(x=probe), objs[:5])
    # Duplicates in a filter collapse; each object is listed once.
    assert_same(idx.get_by_attribute(x=[1, 1.0, True, 1]), objs[:5])


def test_unhashable_values_are_keys_of_their_own():
    zeros = [0, 0.0, -0.0, False]
    unhashables = [[1, 2], [1, 2], {}, set(), Unhashable(), TypeErrorHash()]
    idx, objs = indexed(zeros + unhashables + [1, "0", ""])
    for probe in zeros:
        assert_same(idx.get_by_attribute(x=probe), objs[:4])
    # Unhashable filter values are given inside a list (a bare list is iterated).
    for i, v in enumerate(unhashables):
        assert_same(idx.get_by_attribute(x=[v]), [objs[4 + i]])
    # An equal list or a fresh instance is another key.
    assert idx.get_by_attribute(x=[[1, 2], [], Unhashable(), TypeErrorHash()]) == []
    assert_same(idx.get_by_attribute(x=""), [objs[-1]])


def test_failed_hash_propagates_and_leaves_no_pending_error():
    with pytest.raises(ValueError, match="^no hash for you$"):
        Indexable(x=HashRaises())
    o = Indexable(x=TypeErrorHash())
    idx = Index()
    idx.add_object(o)
    with pytest.raises(ValueError, match="^no hash for you$"):
        o.y = HashRaises()
    assert repr(o) == "<MyClass with 1 attributes>"
    o.y = t = TypeErrorHash()
    assert_same(idx.get_by_attribute(y=[t]), [o])
    assert idx.get_by_attribute(y=0) == []
    assert sum([1, 2]) == 3  # the interpreter carries on normally


def test_minus_one_and_minus_two_are_different_keys():
    assert hash(-1) == hash(-2)  # the collision this guards against
    idx, objs = indexed([-1, -2, -1.0, -2.0])
    assert_same(idx.get_by_attribute(x=-1), [objs[0], objs[2]])
    assert_same(idx.get_by_attribute(x=-2), [objs[1], objs[3]])
    assert_same(idx.get_by_attribute(x=-2.0), [objs[1], objs[3]])
    # Within one filter the two values stay two members, whichever comes first.
    assert_same(idx.get_by_attribute(x=[-1, -2]), objs)
    assert_same(idx.get_by_attribute(x=[-2, -1]), objs)
    assert_same(idx.get_by_attribute(x=[-2.0, -1]), objs)


def test_equal_hash_integers_stay_apart():
    big = 2**61 - 1
    if hash(big) != hash(0):
        pytest.skip("no integer hashes like 0 on this interpreter")
    idx, objs = indexed([0, big])
    assert_same(idx.get_by_attribute(x=0), [objs[0]])
    assert_same(idx.get_by_attribute(x=big), [objs[1]])


def test_colliding_hashes_are_told_apart_by_equality():
    # 2**61 hashes like 1 (64-bit): moving values between the two keys must
    # leave every object under the value it holds.
    a, b, c, d = Indexable(v=1), Indexable(v=2**61), Indexable(n=0), Indexable(n=1)
    idx = Index()
    idx.add_object_many([a, b, c, d])
    a.v = 2**61
    c.v = True
    d.v = 1
    c.v = 5
    assert_same(idx.get_by_attribute(v=[2**61]), [a, b])
    assert_same(idx.get_by_attribute(v=1), [d])
    assert_same(idx.get_by_attribute(v=5), [c])

    text = "abc"
    values = [text, FixedHash(hash(text)), 5, FixedHash(5), "abd", 2**64, 8, "", 0,
              2**70, float(2**70), 2**64 + 1, -(2**70)]
    idx, objs = indexed(values)
    assert_same(idx.get_by_attribute(x=text), [objs[0]])
    assert_same(idx.get_by_attribute(x=5), [objs[2]])
    # Objects keeping object's == equal themselves only.
    assert_same(idx.get_by_attribute(x=objs[1].x), [objs[1]])
    assert idx.get_by_attribute(x=FixedHash(5)) == []
    # Ints of any size are numbers: 2**64 hashes like 8, "" like 0.
    assert_same(idx.get_by_attribute(x=8), [objs[6]])
    assert_same(idx.get_by_attribute(x=[2**64]), [objs[5]])
    assert_same(idx.get_by_attribute(x=float(2**64)), [objs[5]])
    assert_same(idx.get_by_attribute(x=0), [objs[8]])
    assert_same(idx.get_by_attribute(x=""), [objs[7]])
    assert_same(idx.get_by_attribute(x=[2**70]), objs[9:11])
    assert_same(idx.get_by_attribute(x=2.0**70), objs[9:11])
    assert_same(idx.get_by_attribute(x=[2**64 + 1]), [objs[11]])  # no double equals it
    assert_same(idx.get_by_attribute(x=[-(2**70), Decimal(-(2**70))]), [objs[12]])
    # Objects with their own == are one key when their hashes agree too.
    idx2, objs2 = indexed([AlwaysEqual(10), AlwaysEqual(11), AlwaysEqual(10)])
    assert_same(idx2.get_by_attribute(x=AlwaysEqual(10)), [objs2[0], objs2[2]])
    # Numbers of other types are the number they equal, beyond a double's
    # precision too; a huge one is compared as it is.
    idx3, objs3 = indexed([2**60 + 1, 2**60, Decimal("1e999999")])
    assert_same(idx3.get_by_attribute(x=Decimal(2**60 + 1)), [objs3[0]])
    assert_same(idx3.get_by_attribute(x=[Decimal(2**60), 2.0**60]), [objs3[1]])
    assert_same(idx3.get_by_attribute(x=Decimal("1e999999")), [objs3[2]])


def test_str_subclass_is_keyed_as_python_compares_it():
    class OwnHash(str):
        def __hash__(self):
            return 12345

    idx, objs = indexed(["ab", S("ab"), OwnHash("ab"), "a", 12345])
    assert_same(idx.get_by_attribute(x="ab"), objs[:2])
    # A str subclass filter is one value, never iterated into characters.
    assert_same(idx.get_by_attribute(x=S("ab")), objs[:2])
    # Its own hash keeps it from "ab"; it shares it with 12345 and
    # OwnHash("zz") without being equal to them.
    assert_same(idx.get_by_attribute(x=OwnHash("ab")), [objs[2]])
    assert idx.get_by_attribute(x=OwnHash("zz")) == []
    assert_same(idx.get_by_attribute(x=12345), [objs[4]])


def test_number_subclasses_are_keyed_as_the_numbers_they_equal():
    idx, objs = indexed([5, I(5), F(5.0), Colour.RED, 1, True])
    assert_same(idx.get_by_attribute(x=5), objs[:3])
    assert_same(idx.get_by_attribute(x=I(5)), objs[:3])
    assert_same(idx.get_by_attribute(x=Colour.RED), objs[3:])


@needs_queries
def test_only_exact_ordered_types_enter_range_queries():
    # Subclasses (an int subclass, an IntEnum member, bool) stay out.
    idx, objs = indexed([5, I(5), F(5.0), Colour.GREEN, True, "5", 2**70, 5.5, Decimal(5)])
    assert_same(select(idx, PyQueryExpr.gt("x", 0)), [objs[0], objs[6], objs[7], objs[8]])
    assert_same(select(idx, PyQueryExpr.bt("x", 5, 5)), [objs[0], objs[8]])
    assert_same(select(idx, PyQueryExpr.ge("x", 1)), [objs[0], objs[6], objs[7], objs[8]])


def test_nan_keys():
    n = float("nan")
    other = float("nan")
    idx, objs = indexed([n, 0, 0.0])
    assert_same(idx.get_by_attribute(x=n), [objs[0]])
    # NaN is never numerically equal to zero, even where NaN hashes to 0.
    assert_same(idx.get_by_attribute(x=0), objs[1:])
    if hash(other) == hash(n):
        assert_same(idx.get_by_attribute(x=other), [objs[0]])
    else:
        assert idx.get_by_attribute(x=other) == []


@needs_queries
def test_nan_sorts_by_its_sign_in_ranges():
    pos = math.copysign(float("nan"), 1.0)
    neg = math.copysign(float("nan"), -1.0)
    idx, objs = indexed([pos, neg, 1.0, 10.0])
    # A NaN with the sign bit clear sorts above every number, one with the
    # sign bit set below every number.
    assert_same(select(idx, PyQueryExpr.gt("x", 5)), [objs[0], objs[3]])
    assert_same(select(idx, PyQueryExpr.lt("x", 5)), [objs[1], objs[2]])


@pytest.mark.parametrize("big", [2**63, 2**70, -(2**70), I64_MIN - 1, 10**30])
def test_ints_beyond_64_bits_are_ordinary_values(big):
    o = Indexable(x=big)
    assert o.x == big
    idx = Index()
    idx.add_object(o)
    assert_same(idx.get_by_attribute(x=big), [o])
    assert_same(idx.get_by_attribute(x=int(str(big))), [o])
    assert idx.get_by_attribute(x=big + 1) == []
    o.x = big * 3
    assert_same(idx.get_by_attribute(x=big * 3), [o])
    assert idx.get_by_attribute(x=big) == []


@needs_queries
def test_ints_beyond_64_bits_compare_exactly():
    idx, objs = indexed([I64_MAX, I64_MIN, 2**63, I64_MIN - 1, 0, 2**200 + 1, 2**200])
    assert_same(select(idx, PyQueryExpr.gt("x", 0)), [objs[0], objs[2], objs[5], objs[6]])
    assert_same(select(idx, PyQueryExpr.lt("x", 0)), [objs[1], objs[3]])
    assert_same(select(idx, PyQueryExpr.bt("x", I64_MIN, I64_MAX)), [objs[0], objs[1], objs[4]])
    assert_same(select(idx, PyQueryExpr.gt("x", 2**200)), [objs[5]])
    assert_same(select(idx, PyQueryExpr.lt("x", 2**200 + 1)), objs[:5] + [objs[6]])


def test_lone_surrogates_are_ordinary_values():
    lone, other = "\ud800", "\udfff"
    idx, objs = indexed([lone, other, "x" + lone])
    assert objs[0].x is lone
    assert_same(idx.get_by_attribute(x=lone), [objs[0]])
    assert_same(idx.get_by_attribute(x="x" + lone), [objs[2]])
    objs[0].x = other
    assert_same(idx.get_by_attribute(x=other), objs[:2])
    assert idx.get_by_attribute(x=lone) == []


def test_values_keep_their_identity():
    values = [object(), [1], 2**80, "s", 1.5, I(3), Indexable()]
    o = Indexable(**{f"v{i}": v for i, v in enumerate(values)})
    for i, v in enumerate(values):
        assert getattr(o, f"v{i}") is v


def test_hash_is_taken_once_at_wrapping():
    class Counting:
        calls = 0

        def __init__(self):
            self.h = 1

        def __hash__(self):
            Counting.calls += 1
            return self.h

    c = Counting()
    o = Indexable(x=c)
    a, b = Index(), Index()
    a.add_object(o)
    b.add_object(o)
    assert Counting.calls == 1
    o.x = c  # the very object it holds: nothing to wrap again
    assert Counting.calls == 1
    o.x = Counting()  # one wrap per assignment, whatever the number of indexes
    assert Counting.calls == 2
    o.x = c
    assert Counting.calls == 3
    # A later change of the hash is not seen: the stored key keeps hash 1, so
    # the object no longer finds itself while it hashes to 2 (as in a dict).
    c.h = 2
    assert a.get_by_attribute(x=c) == []
    c.h = 1
    assert_same(a.get_by_attribute(x=c), [o])


def test_indexable_values_are_keyed_as_python_compares_them():
    class Same(Indexable):
        def __hash__(self):
            return 77

    class ByName(Indexable):
        def __eq__(self, other):
            return isinstance(other, ByName) and self.name == other.name

        def __hash__(self):
            return 77

    class Unhashed(Indexable):
        def __eq__(self, other):
            return True

    p, q = Indexable(), Indexable()
    s1, s2 = Same(), Same()
    n1, n2, n3 = ByName(name="a"), ByName(name="a"), ByName(name="b")
    u1, u2 = Unhashed(), Unhashed()
    idx, objs = indexed([p, q, s1, s2, 77, n1, n2, n3, u1, u2])
    assert_same(idx.get_by_attribute(x=p), [objs[0]])
    assert_same(idx.get_by_attribute(x=s2), [objs[3]])  # object's ==: identity
    assert_same(idx.get_by_attribute(x=77), [objs[4]])
    assert_same(idx.get_by_attribute(x=ByName(name="a")), objs[5:7])
    assert_same(idx.get_by_attribute(x=u2), [objs[9]])  # unhashable: identity
    assert_same(select(idx, PyQueryExpr.eq("x.name", "a")), objs[5:7])


# --- text form, seen through the representation of an expression ---------------

TEXT = re.compile(
    r'<QueryExpr: Eq\("a", PyValue \{ obj: Py\(0x([0-9a-f]+)\), primitave: (.*), hash: (\d+) \}\)>',
    re.S,
)


def value_text(v):
    """(address, kind text, hash) of the wrapped value `v`."""
    text = repr(PyQueryExpr.eq("a", v))
    m = TEXT.fullmatch(text)
    assert m, text
    return int(m.group(1), 16), m.group(2), int(m.group(3))


@needs_exprs
@pytest.mark.parametrize(
    "value, kind",
    [
        (5, "Int(5)"),
        (0, "Int(0)"),
        (-3, "Int(-3)"),
        (-1, "Int(-1)"),
        (I64_MAX, "Int(9223372036854775807)"),
        (I64_MIN, "Int(-9223372036854775808)"),
        ("abc", 'Str("abc")'),
        ("", 'Str("")'),
        (True, "Unknown"),
        (False, "Unknown"),
        (None, "Unknown"),
        (2**63, "Unknown"),
        (I64_MIN - 1, "Unknown"),
        ("\ud800", "Unknown"),
        (S("abc"), "Unknown"),
        (I(5), "Unknown"),
        (F(1.5), "Unknown"),
        (Colour.RED, "Unknown"),
        ((1, 2), "Unknown"),
        ([1, 2], "Unknown"),
        ({}, "Unknown"),
        (TypeErrorHash(), "Unknown"),
    ],
)
def test_value_kind_and_hash(value, kind):
    addr, got_kind, got_hash = value_text(value)
    assert got_kind == kind
    assert got_hash == unsigned_hash(value)
    if IS_CPYTHON:
        assert addr == id(value)


@needs_exprs
def test_negative_hash_is_shown_unsigned():
    assert value_text(-3)[2] == 18446744073709551613
    assert value_text(-1)[2] == 2**64 - 2
    assert value_text([1, 2])[2] == 0
    assert value_text(True)[2] == 1


@needs_exprs
@pytest.mark.parametrize("cls", [Indexable, Obj])
def test_indexable_value_text(cls):
    o = cls(a=1)
    addr, kind, h = value_text(o)
    assert kind == "Ind(Py(0x%x))" % addr
    assert h == unsigned_hash(o)
    if IS_CPYTHON:
        assert addr == id(o)


def rust_style_float(x):
    """Shortest round-trip digits (as Python's repr), with exponent form
    written without '+' or leading zeros, and the specials NaN/inf/-inf."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    r = repr(x)
    m = re.fullmatch(r"(-?[0-9.]+)e([+-])([0-9]+)", r)
    if m:
        return "%se%s%d" % (m.group(1), "-" if m.group(2) == "-" else "", int(m.group(3)))
    return r


@needs_exprs
@pytest.mark.parametrize(
    "value, text",
    [
        (2.0, "2.0"),
        (1.5, "1.5"),
        (-2.5, "-2.5"),
        (0.1, "0.1"),
        (0.3, "0.3"),
        (1 / 3, "0.3333333333333333"),
        (1.0000000000000002, "1.0000000000000002"),
        (123.456, "123.456"),
        (0.0, "0.0"),
        (-0.0, "-0.0"),
        (1e-4, "0.0001"),
        (1e-5, "1e-5"),
        (2.5e-5, "2.5e-5"),
        (-1e-7, "-1e-7"),
        (9.999999999999999e-05, "9.999999999999999e-5"),
        (1e15, "1000000000000000.0"),
        (9999999999999998.0, "9999999999999998.0"),
        (1e16, "1e16"),
        (1.5e16, "1.5e16"),
        (-1e16, "-1e16"),
        (1e100, "1e100"),
        (5e-324, "5e-324"),
        (2.2250738585072014e-308, "2.2250738585072014e-308"),
        (1.7976931348623157e308, "1.7976931348623157e308"),
        (float("nan"), "NaN"),
        (float("inf"), "inf"),
        (float("-inf"), "-inf"),
    ],
)
def test_float_text(value, text):
    assert rust_style_float(value) == text  # the reference agrees with the table
    _, kind, h = value_text(value)
    assert kind == "Float(%s)" % text
    assert h == unsigned_hash(value)


@needs_exprs
def test_float_text_matches_reference_on_random_doubles():
    rng = random.Random(20240611)
    values = []
    for _ in range(1500):
        bits = rng.getrandbits(64)
        values.append(struct.unpack("<d", struct.pack("<Q", bits))[0])
    for _ in range(500):
        values.append(rng.uniform(-1e6, 1e6))
        values.append(float(rng.randint(-(2**53), 2**53)))
    for exp in range(-8, 20):
        values.append(10.0**exp)
        values.append(-(10.0**exp) * 1.25)
    for v in values:
        _, kind, _ = value_text(v)
        assert kind == "Float(%s)" % rust_style_float(v), v


@needs_exprs
def test_hashes_of_ints_floats_and_strs_are_the_interpreters():
    # The module hashes exact ints, floats and strs itself where it can;
    # every hash must still be the one hash() gives.
    rng = random.Random(20261209)
    ints = [0, -1, -2, 1, I64_MAX, I64_MIN, I64_MIN + 1, 2**61 - 1, 2**61, -(2**61), 2**64, -(2**70) - 1]
    for k in range(64):
        for v in (2**k, 2**k - 1, 2**k + 1):
            ints += [v, -v]
    ints += [rng.randint(I64_MIN, I64_MAX) for _ in range(2000)]
    ints += [rng.randint(-(2**30), 2**30) for _ in range(500)]
    floats = [0.0, -0.0, 1.0, -1.0, 0.5, -1.5, math.inf, -math.inf, math.nan, 5e-324, -5e-324,
              2.0**61, 2.0**-61, 2.0**63, -(2.0**63), 1.7976931348623157e308, 2.2250738585072014e-308]
    floats += [float(i) for i in ints[:300]] + [2.0**k for k in range(-1074, 1024, 7)]
    floats += [-(2.0**k) * 1.75 for k in range(-1022, 1023, 11)]
    floats += [struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0] for _ in range(2000)]
    strs = ["", "a", "-1", "\u00df", "\u65e5\u672c\u8a9e", "\U0001f600 x", "caf\u00e9"]
    strs += ["".join(chr(rng.choice([rng.randrange(32, 127), rng.randrange(0xA0, 0xD800),
                                     rng.randrange(0xE000, 0x110000)])) for _ in range(rng.randrange(12)))
             for _ in range(300)]
    for v in ints + floats + strs:
        assert value_text(v)[2] == unsigned_hash(v), repr(v)


@needs_exprs
@pytest.mark.parametrize(
    "value, text",
    [
        ('say "hi"', r'"say \"hi\""'),
        ("back\\slash", r'"back\\slash"'),
        ("line\nbreak", r'"line\nbreak"'),
        ("tab\there", r'"tab\there"'),
        ("cr\rhere", r'"cr\rhere"'),
        ("it's", '"it\'s"'),
        ("caf\u00e9 \u65e5\u672c", '"caf\u00e9 \u65e5\u672c"'),
    ],
)
def test_string_text_escapes(value, text):
    _, kind, _ = value_text(value)
    assert kind == "Str(%s)" % text


@needs_exprs
@pytest.mark.parametrize("ch", ["\x00", "\x01", "\x1b", "\x7f"])
def test_control_characters_are_escaped(ch):
    _, kind, _ = value_text("a" + ch + "b")
    assert ch not in kind
    assert kind.startswith('Str("a\\') and kind.endswith('b")')


@needs_exprs
def test_attribute_name_is_escaped_too():
    text = repr(PyQueryExpr.eq('we"ird\\name\n', 1))
    assert text.startswith('<QueryExpr: Eq("we\\"ird\\\\name\\n", PyValue { obj: Py(0x')
    assert text.endswith("primitave: Int(1), hash: 1 })>")


@needs_queries
def test_datetimes_whose_tzinfo_gives_no_offset_are_naive():
    # Python treats them as naive, and so do ranges: they meet the naive
    # values around them in order (their keys are read through the tzinfo,
    # those of the others from their fields).
    class NoOffset(datetime.tzinfo):
        def utcoffset(self, dt):
            return None

    values = [datetime.datetime(2020, 1, 1, 12), datetime.datetime(2020, 1, 1, 6, tzinfo=NoOffset()),
              datetime.datetime(2020, 1, 1), datetime.time(3), datetime.time(2, 59, 59, 999999, tzinfo=NoOffset()),
              datetime.time(3, tzinfo=datetime.timezone.utc)]
    idx, objs = indexed(values)
    assert_same(select(idx, PyQueryExpr.gt("x", datetime.datetime(2020, 1, 1, 5))), objs[:2])
    assert_same(select(idx, PyQueryExpr.lt("x", datetime.time(3))), [objs[4]])
    assert [o.x for o in idx.ordered_by("x")] == [values[i] for i in (2, 1, 0, 4, 3, 5)]
