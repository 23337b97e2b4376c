#!/usr/bin/env bash
# Memcheck run: the Python suite on CPython under valgrind, against a
# RelWithDebInfo build of the module (build/valgrind).  Every Python
# allocation goes through malloc (PYTHONMALLOC=malloc) so that memcheck sees
# it.  Reported:
#   - memory errors (invalid reads/writes, use of uninitialised values,
#     invalid frees) with a frame in the module;
#   - leaks: blocks definitely or indirectly lost at exit whose allocation
#     stack passes through the module.
# The interpreter's own leftovers at exit (it does not free everything) are
# counted separately and do not fail the run.
#
#   bash scripts/valgrind.sh                  the single-threaded test files
#   bash scripts/valgrind.sh tests/test_x.py  those files (pytest arguments)
#
# Logs: build/valgrind/logs/.  Expect 20-40 minutes for the default set.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

case "${1:-}" in -h | --help) usage "$0"; exit 0 ;; esac
command -v valgrind >/dev/null 2>&1 || { as_root apt-get update -qq && as_root apt-get install -y -qq valgrind; }
[ -x "$VENV/bin/python" ] || bash "$ROOT/scripts/setup.sh" cpython || exit 1

dir="$ROOT/build/valgrind"
logs="$dir/logs"
say "building the module ($dir)"
cmake_build "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_BUILD_MODULE=ON \
    -DCORVANE_BUILD_TESTS=OFF -DPython_EXECUTABLE="$VENV/bin/python" || die "build failed"

if [ "$#" -gt 0 ]; then
    tests=("$@")
else
    tests=(tests/test_module.py tests/test_values.py tests/test_indexable.py tests/test_index.py
           tests/test_assignment.py tests/test_query_expr.py tests/test_evaluation.py
           tests/test_views.py tests/test_reduce_union.py tests/test_leaks.py
           tests/test_bad_input.py tests/test_model.py)
fi

supp=()
[ -f /usr/lib/valgrind/python3.supp ] && supp=(--suppressions=/usr/lib/valgrind/python3.supp)
rm -rf "$logs"
mkdir -p "$logs"
say "pytest under valgrind: ${tests[*]}"
rc=0
(
    cd "$ROOT"
    export PYTHONMALLOC=malloc PYTHONPATH="$dir"
    export CORVANE_MODEL_EXAMPLES="${CORVANE_MODEL_EXAMPLES:-8}" CORVANE_MODEL_STEPS="${CORVANE_MODEL_STEPS:-30}"
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
        --errors-for-leak-kinds=definite --num-callers=40 --track-origins=no \
        "${supp[@]}" --log-file="$logs/memcheck.%p.log" \
        "$VENV/bin/python" -m pytest -q -p no:cacheprovider -p no:faulthandler "${tests[@]}"
) || rc=1

# Split the records: those that pass through the module, and the rest.
errors=0 ours=0 theirs=0
for f in "$logs"/memcheck.*.log; do
    [ -e "$f" ] || continue
    awk -v ours="$logs/ours.txt" -v theirs="$logs/interpreter.txt" '
        function flush() {
            if (rec == "") return
            if (rec ~ /Corvane/) print rec "\n" >> ours; else print rec "\n" >> theirs
            rec = ""
        }
        /^==[0-9]+== (Invalid|Conditional|Use of uninit|Mismatched|Syscall param|Source and destination)/ { flush(); rec = $0; next }
        /^==[0-9]+== [0-9,]+ (\([0-9,]+ direct, [0-9,]+ indirect\) )?bytes in [0-9,]+ blocks are (definitely|indirectly) lost/ { flush(); rec = $0; next }
        /^==[0-9]+== *$/ { flush(); next }
        rec != "" { rec = rec "\n" $0 }
        END { flush() }' "$f"
done
[ -f "$logs/ours.txt" ] && ours=$(grep -cE 'Invalid|Conditional|uninitialised|Mismatched|lost in' "$logs/ours.txt")
[ -f "$logs/interpreter.txt" ] && theirs=$(grep -cE 'Invalid|Conditional|uninitialised|Mismatched|lost in' "$logs/interpreter.txt")
errors=$(grep -h 'ERROR SUMMARY' "$logs"/memcheck.*.log | awk '{s += $4} END {print s + 0}')

say "memcheck summary"
echo "  error summary total (all processes): $errors"
echo "  records through the module:          $ours   (build/valgrind/logs/ours.txt)"
echo "  records in the interpreter only:     $theirs (build/valgrind/logs/interpreter.txt)"
grep -h 'definitely lost:\|indirectly lost:' "$logs"/memcheck.*.log | sort | uniq -c | sed 's/^/  /'
[ "$ours" -eq 0 ] || rc=1
exit "$rc"
