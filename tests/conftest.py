"""Shared helpers for the Python test suite.

Kept deliberately small: value-identity and ordering helpers used by several
files, markers for features that arrive in stages, and a subprocess runner for
checks that need a fresh interpreter.
"""

import math
import os
import platform
import subprocess
import sys

import pytest

import Corvane
from Corvane import Index, Indexable, PyQueryExpr

IS_CPYTHON = platform.python_implementation() == "CPython"
IS_PYPY = platform.python_implementation() == "PyPy"

needs_exprs = pytest.mark.skipif(
    not hasattr(PyQueryExpr, "eq"), reason="PyQueryExpr factories not built yet"
)
needs_queries = pytest.mark.skipif(
    not (hasattr(PyQueryExpr, "eq") and hasattr(Index, "reduced_query")),
    reason="expression queries not built yet",
)

I64_MIN = -(2**63)
I64_MAX = 2**63 - 1


class Obj(Indexable):
    """A plain subclass, as user code would write one."""


def same(got, expected):
    """List equality by object identity (Indexable objects compare by identity
    anyway, but this also keeps the failure message readable)."""
    return [id(o) for o in got] == [id(o) for o in expected]


def assert_same(got, expected):
    assert same(got, expected), (got, expected)


def make_index(*objs):
    """A new index holding `objs`, added in one batch."""
    idx = Index()
    idx.add_object_many(list(objs))
    return idx


def select(index, expr):
    """Objects of `index` selected by a query expression, in id order."""
    return index.reduced_query(expr).collect()


def unsigned_hash(value):
    """The hash a wrapped value carries: Python's hash read as unsigned 64-bit,
    0 when the value cannot be hashed."""
    try:
        return hash(value) % 2**64
    except Exception:
        return 0


def same_key(a, b):
    """Whether two values are one key in an index: what a dict takes as one
    key (equal hashes, and the same object or ``==``), with a NaN equal to a
    NaN of the same hash, and an unhashable value equal only to itself."""
    try:
        ha, hb = hash(a), hash(b)
    except TypeError:
        return a is b
    if ha != hb:
        return False
    if a is b:
        return True
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return a == b


def run_python(code, timeout=60):
    """Run `code` in a fresh interpreter that can import the module under test;
    returns the completed process (stdout, stderr as text)."""
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(Corvane.__file__))
    env["PYTHONPATH"] = here + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )
