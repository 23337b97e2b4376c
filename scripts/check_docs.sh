#!/usr/bin/env bash
# Check what a user reads and runs: type-check the examples against the
# installed stubs with mypy in strict mode, together with tests/typing/, whose
# `# type: ignore[code]` comments are the errors the stubs must report (strict
# mode flags an ignore that covers nothing), compare the stubs with the module
# (mypy's stubtest), then run the documentation snippets and the example
# programs.
#
#   bash scripts/check_docs.sh [python]
#
# The interpreter defaults to .venv/bin/python (made by scripts/setup.sh, with
# the package installed).  mypy is installed into that environment when it is
# missing; the type check needs CPython, so it is skipped for PyPy.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

PY="${1:-$VENV/bin/python}"
[ -x "$PY" ] || die "no interpreter at $PY (run scripts/setup.sh first)"
cd "$ROOT"

status=0
if "$PY" -c 'import sys; sys.exit(sys.implementation.name != "cpython")'; then
    if ! "$PY" -m mypy --version >/dev/null 2>&1; then
        say "installing mypy into $(dirname "$(dirname "$PY")")"
        "$PY" -m pip install --quiet mypy
    fi
    say "mypy --strict examples/ tests/typing/"
    # The stubs come from the installed package (Corvane-stubs), as for a user.
    "$PY" -m mypy --strict --warn-unused-ignores --cache-dir=/dev/null examples/ tests/typing/ || status=1
    say "stubtest: the stub against the module itself"
    "$PY" -m mypy.stubtest Corvane --allowlist stubs/stubtest-allowlist.txt || status=1
else
    say "type check skipped: $("$PY" -c 'import sys; print(sys.implementation.name)') (mypy runs on CPython)"
fi

say "documentation snippets and examples"
"$PY" -m pytest -q -p no:cacheprovider tests/test_docs.py tests/test_examples.py || status=1
exit "$status"
