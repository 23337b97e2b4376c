#!/usr/bin/env bash
# Set up whatever is missing (as scripts/setup.sh does), install the libraries
# the benchmarks compare against into .venv, then run the Python benchmark
# suite (bench/run.py):
#
#   bash scripts/bench.sh              full run, about 30 minutes on 2 cores; writes
#                                      docs/benchmarks.md, docs/benchmarks.png and
#                                      docs/benchmarks-memory.png
#   bash scripts/bench.sh --quick      smoke run of a minute or two; writes the same
#                                      files under build/bench-results-quick/
#   bash scripts/bench.sh --only lean  the per-object table (measure, Corvane,
#                                      peers, ratio, target, met?), also printed
#
# Other arguments go to bench/run.py (--only lean,core,four,compare,memory,
# --render-only, --docs DIR, --results DIR).  Raw figures: build/bench-results*/.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

bash "$ROOT/scripts/setup.sh" cpython

say "installing the benchmark peers (bench/requirements.txt)"
# ducks needs BTrees 4.x, which builds from source with a setuptools that
# still ships pkg_resources and understands normalized distribution names.
constraints="$(mktemp)"
trap 'rm -f "$constraints"' EXIT
echo 'setuptools>=70,<81' >"$constraints"
PIP_CONSTRAINT="$constraints" "$VENV/bin/python" -m pip install --quiet -r "$ROOT/bench/requirements.txt"

say "running bench/run.py $*"
cd "$ROOT"
# Run from the checkout, but import the module installed in .venv.
"$VENV/bin/python" -c 'import Corvane; print("Corvane from", Corvane.__file__)'
"$VENV/bin/python" bench/run.py "$@"
