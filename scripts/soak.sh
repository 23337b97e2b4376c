#!/usr/bin/env bash
# Long soak: the stateful model test with a large budget and fresh random
# seeds, then rounds of the thread stress test with new seeds, against a
# release build of this checkout (build/soak, or build/soak-pypy with --pypy)
# loaded into the interpreter of .venv (or .venv-pypy).
#
#   bash scripts/soak.sh                   about half an hour
#   bash scripts/soak.sh --pypy            the same on PyPy
#
# Sizes (environment):
#   SOAK_EXAMPLES   model programs                       (default 3000)
#   SOAK_STEPS      steps per program                    (default 80)
#   SOAK_ROUNDS     stress rounds, each with a new seed  (default 20)
#   CORVANE_STRESS_OPS / CORVANE_STRESS_THREADS          (stress size per round)
# A failing model program is printed with its steps and saved in
# .hypothesis/, so the next run of tests/test_model.py tries it first.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

parse_options "$0" --pypy -- "$@"
py="$VENV/bin/python"
dir="$ROOT/build/soak"
if [ "$pypy" -eq 1 ]; then
    py="$VENV_PYPY/bin/python" dir="$ROOT/build/soak-pypy"
fi
[ -x "$py" ] || die "$py not found: run bash scripts/setup.sh first"
say "building the module ($dir)"
cmake_build "$dir" -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_MODULE=ON -DCORVANE_BUILD_TESTS=OFF \
    -DPython_EXECUTABLE="$py" || die "build failed"
export PYTHONPATH="$dir"

examples="${SOAK_EXAMPLES:-3000}"
steps="${SOAK_STEPS:-80}"
rounds="${SOAK_ROUNDS:-20}"
rc=0
cd "$ROOT"

say "model soak: $examples programs x $steps steps"
t0=$SECONDS
CORVANE_MODEL_EXAMPLES="$examples" CORVANE_MODEL_STEPS="$steps" \
    "$py" -m pytest -q -p no:cacheprovider tests/test_model.py --hypothesis-show-statistics || rc=1
echo "model soak: $((SECONDS - t0)) s"

say "stress soak: $rounds rounds"
t0=$SECONDS
for ((i = 1; i <= rounds; i++)); do
    seed=$((RANDOM * 32768 + RANDOM))
    log="$ROOT/build/logs/soak-stress.log"
    mkdir -p "$(dirname "$log")"
    if CORVANE_STRESS_SEED="$seed" "$py" -m pytest -q -p no:cacheprovider -s \
        tests/test_stress.py -k mixed >"$log" 2>&1; then
        echo "round $i (seed $seed): $(grep -oE '^stress: [0-9]+ threads, [0-9]+ operations' "$log")"
    else
        tail -n 40 "$log"
        echo "stress round $i failed: CORVANE_STRESS_SEED=$seed"
        rc=1
    fi
done
echo "stress soak: $((SECONDS - t0)) s"
exit "$rc"
