#!/usr/bin/env bash
# ThreadSanitizer run: build the C++ engine tests and the module with
# -fsanitize=thread (build/tsan), run the C++ tests, then the threaded Python
# tests with libtsan preloaded into the CPython of .venv.
#
#   bash scripts/tsan.sh           C++ tests + tests/test_stress.py + tests/test_threads_core.py
#   bash scripts/tsan.sh --quick   the Python tests only, with a smaller stress run
#                                  (the C++ tests start no threads)
#
# The interpreter itself is not instrumented.  Reports whose every frame lies
# outside our sources (src/) come from the interpreter's own lock-free code
# and are listed separately; every report with a frame in src/ fails the run.
# scripts/tsan.supp suppresses glibc's dynamic-TLS bookkeeping (a known false
# report for libraries loaded with dlopen).
# Reports: build/tsan/reports/, summary at the end of the output.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

parse_options "$0" --quick -- "$@"

dir="$ROOT/build/tsan"
reports="$dir/reports"
[ -x "$VENV/bin/python" ] || bash "$ROOT/scripts/setup.sh" cpython || exit 1

say "building with ThreadSanitizer ($dir)"
cmake_build "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_TSAN=ON \
    -DCORVANE_BUILD_TESTS=ON -DCORVANE_BUILD_MODULE=ON \
    -DPython_EXECUTABLE="$VENV/bin/python" || die "build failed"

rm -rf "$reports"
mkdir -p "$reports"
# halt_on_error=0: collect every report of the run, not only the first.
export TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1 history_size=4 log_path=$reports/tsan suppressions=$ROOT/scripts/tsan.supp"
rc=0

if [ "$quick" -eq 0 ]; then
    say "C++ engine tests under ThreadSanitizer"
    ctest --test-dir "$dir" --output-on-failure --no-tests=error --timeout 900 -j "$JOBS" || rc=1
fi

libtsan="$(g++ -print-file-name=libtsan.so)"
[ -f "$libtsan" ] || die "libtsan.so not found (g++ -print-file-name=libtsan.so)"
if [ "$quick" -eq 1 ]; then
    export CORVANE_STRESS_OPS="${CORVANE_STRESS_OPS:-300}" CORVANE_STRESS_SECONDS="${CORVANE_STRESS_SECONDS:-60}"
else
    export CORVANE_STRESS_OPS="${CORVANE_STRESS_OPS:-1500}" CORVANE_STRESS_SECONDS="${CORVANE_STRESS_SECONDS:-300}"
fi
say "threaded Python tests under ThreadSanitizer (ops per thread: $CORVANE_STRESS_OPS)"
(
    cd "$ROOT"
    # ASLR with high entropy makes TSan's shadow mapping fail on some kernels.
    launcher=()
    if command -v setarch >/dev/null 2>&1 && setarch "$(uname -m)" -R true 2>/dev/null; then
        launcher=(setarch "$(uname -m)" -R)
    fi
    LD_PRELOAD="$libtsan" PYTHONPATH="$dir" "${launcher[@]}" "$VENV/bin/python" -m pytest -q -p no:cacheprovider \
        tests/test_stress.py tests/test_threads_core.py
) || rc=1

# Sort the reports: ours (a frame in src/) against the interpreter's own.
ours=0 theirs=0
for f in "$reports"/tsan*; do
    [ -e "$f" ] || continue
    # One file per process; reports inside are separated by "==================".
    awk -v RS='==================\n' -v src="$ROOT/src/" -v ours="$reports/ours.txt" -v theirs="$reports/interpreter.txt" '
        /WARNING: ThreadSanitizer/ {
            if (index($0, src) > 0) { print $0 "\n----" >> ours }
            else { print $0 "\n----" >> theirs }
        }' "$f"
done
[ -f "$reports/ours.txt" ] && ours=$(grep -c 'WARNING: ThreadSanitizer' "$reports/ours.txt")
[ -f "$reports/interpreter.txt" ] && theirs=$(grep -c 'WARNING: ThreadSanitizer' "$reports/interpreter.txt")

say "ThreadSanitizer summary"
echo "  reports with a frame in our sources: $ours   (build/tsan/reports/ours.txt)"
echo "  reports inside the interpreter only: $theirs (build/tsan/reports/interpreter.txt)"
if [ "$ours" -gt 0 ]; then
    echo "  distinct top frames in our sources:"
    grep -oE "#[0-9]+ [^ ]+ $ROOT/src/[^ ]+" "$reports/ours.txt" | awk '{print $2, $3}' |
        sed "s|$ROOT/||" | sort | uniq -c | sort -rn | head -n 20
    rc=1
fi
exit "$rc"
