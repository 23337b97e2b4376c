#!/usr/bin/env bash
# Reference-count check against a debug interpreter: build the module against
# Debian's python3-dbg (build/debug-refcounts, installed if missing) with
# -fno-canonical-system-headers so that the debug headers (and with them
# Py_DEBUG) really apply, check that they did, then run tests/test_leaks.py,
# whose sys.gettotalrefcount tests call every method repeatedly and require
# the interpreter's total reference count to stay put.
#
#   bash scripts/debug_refcounts.sh         the reference-count tests
#   bash scripts/debug_refcounts.sh --all   and then the whole suite under the
#                                           debug interpreter (its own asserts)
#
# pytest and hypothesis are pure Python: they are taken from .venv.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

parse_options "$0" --all -- "$@"

PY_DBG="${CORVANE_PYTHON_DBG:-python3-dbg}"
if ! command -v "$PY_DBG" >/dev/null 2>&1; then
    say "installing python3-dbg"
    as_root apt-get update -qq
    as_root apt-get install -y -qq --no-install-recommends python3-dbg python3-dev
fi
PY_DBG="$(command -v "$PY_DBG")"
"$PY_DBG" -c 'import sys; sys.exit(not hasattr(sys, "gettotalrefcount"))' ||
    die "$PY_DBG is not a debug interpreter"
[ -x "$VENV/bin/python" ] || bash "$ROOT/scripts/setup.sh" cpython || exit 1

dir="$ROOT/build/debug-refcounts"
say "building against $PY_DBG ($dir)"
cmake_build "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="-fno-canonical-system-headers" \
    -DCORVANE_BUILD_MODULE=ON -DCORVANE_BUILD_TESTS=OFF -DPython_EXECUTABLE="$PY_DBG" ||
    die "build failed"
module="$(ls "$dir"/Corvane.*.so)"
# With Py_DEBUG every Py_INCREF/Py_DECREF updates the total count, so the
# module refers to it; without, the build silently used the release headers.
symbols="$(nm -D --undefined-only "$module")"
grep -qE '_Py_RefTotal|_Py_IncRefTotal' <<<"$symbols" || die "$module was not built with Py_DEBUG"
echo "built with Py_DEBUG: $module"

site="$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
export PYTHONPATH="$dir:$site"
rc=0
say "reference counts over repeated calls of every method"
(cd "$ROOT" && "$PY_DBG" -m pytest -q -p no:cacheprovider tests/test_leaks.py -k "reference_count or released or cycles or deferred") || rc=1
if [ "$all" -eq 1 ]; then
    say "the whole suite under the debug interpreter"
    (cd "$ROOT" && CORVANE_MODEL_EXAMPLES="${CORVANE_MODEL_EXAMPLES:-30}" "$PY_DBG" -m pytest -q -p no:cacheprovider tests) || rc=1
fi
exit "$rc"
