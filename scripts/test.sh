#!/usr/bin/env bash
# Set up whatever is missing, then run every test suite of Corvane:
#
#   cpython  pytest on CPython against the package installed in .venv
#            (CORVANE_PYTHON, 3.11 here)
#   versions pytest on every other CPython from 3.9 to 3.13 the machine has,
#            each against its own .venv-3.X, two at a time, with the smaller
#            model and stress budgets; a version the machine lacks is
#            reported and skipped
#   pypy     pytest on PyPy against the package installed in .venv-pypy
#   cpp      the C++ unit tests (GoogleTest) through ctest (assertions on, -O2)
#   asan     the C++ unit tests and pytest on CPython against a build with
#            AddressSanitizer + UndefinedBehaviorSanitizer (build/asan)
#   docs     mypy --strict over examples/ with the installed stubs, stubtest,
#            and the documentation snippets and example programs
#   format   clang-format (Debian's) finds nothing to change in src/ and
#            tests/cpp (.clang-format)
#   tsan     the threaded Python tests against a ThreadSanitizer build
#            (scripts/tsan.sh --quick)
#   refcounts  the reference-count tests under Debian's debug interpreter
#            (scripts/debug_refcounts.sh)
#   wheels   release wheels for every CPython from 3.9 to 3.13 found and for
#            PyPy, repaired into manylinux wheels, and the sdist, each
#            installed in a fresh environment and smoke-tested, the wheels
#            with the system's CRoaring and Abseil hidden
#            (scripts/wheels.sh --check)
#
#   bash scripts/test.sh                   setup + every step
#   bash scripts/test.sh asan cpp          setup (what those steps need) + those steps
#   bash scripts/test.sh --no-setup asan   skip the setup (venvs already there)
#
# Extra pytest options go through PYTEST_ADDOPTS (e.g. PYTEST_ADDOPTS="-x -k value").
# Every step runs even when an earlier one failed; the script exits non-zero
# when any step failed or when no test ran at all.  Logs: build/logs/.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

LOGS="$ROOT/build/logs"
COUNTS="$LOGS/counts"
# Rows a step adds under its own in the summary ("name seconds result").
SUBSTEPS="$LOGS/substeps"
ALL_STEPS=(cpython versions pypy cpp asan docs format tsan refcounts wheels)

# Budgets of the model and stress tests on the other CPython versions: the
# 3.11 step runs the full ones, these only check that every test passes there.
EXTRA_VERSION_BUDGETS=(CORVANE_MODEL_EXAMPLES=25 CORVANE_MODEL_STEPS=30
                       CORVANE_STRESS_OPS=300 CORVANE_STRESS_SECONDS=20)

# ---------------------------------------------------------------- counting

# Append "passed failed skipped" of a finished pytest run (log in $1).
record_pytest_counts() {
    local line
    line="$(grep -E '^=*[ ]*[0-9]+ (passed|failed|skipped|errors?|xfailed|xpassed|deselected)' "$1" | tail -n 1 || true)"
    [ -n "$line" ] || return 0
    num() { grep -oE "[0-9]+ $1" <<<"$line" | grep -oE '^[0-9]+' | head -n 1 || true; }
    local p f e s xf xp
    p="$(num passed)" f="$(num failed)" e="$(num 'errors?')" s="$(num skipped)"
    xf="$(num xfailed)" xp="$(num xpassed)"
    echo "$((${p:-0} + ${xp:-0})) $((${f:-0} + ${e:-0})) $((${s:-0} + ${xf:-0}))" >>"$COUNTS"
}

# Append "passed failed skipped" of a finished ctest run (log in $1).  ctest
# closes with "100% tests passed out of N" or "P% tests passed, F tests
# failed out of N" depending on its version.
record_ctest_counts() {
    local line failed=0 total
    line="$(grep -E '[0-9]+% tests passed' "$1" | tail -n 1 || true)"
    [ -n "$line" ] || return 0
    total="$(grep -oE 'out of [0-9]+' <<<"$line" | grep -oE '[0-9]+' || true)"
    [ -n "$total" ] || return 0
    if [[ "$line" =~ ([0-9]+)\ tests?\ failed ]]; then
        failed="${BASH_REMATCH[1]}"
    fi
    echo "$((total - failed)) $failed 0" >>"$COUNTS"
}

# ---------------------------------------------------------------- runners

# run_pytest LABEL PYTHON [pytest args...]: pytest -q over tests/ from the repo root.
run_pytest() {
    local label="$1" py="$2"
    shift 2
    local log="$LOGS/pytest-$label.log" rc=0
    (cd "$ROOT" && "$py" -m pytest -q "$@" tests) 2>&1 | tee "$log" || rc=$?
    record_pytest_counts "$log"
    if [ "$rc" -eq 5 ]; then
        if have_py_tests; then
            echo "pytest collected no tests although tests/ holds test files"
            return 1
        fi
        echo "no Python tests yet: nothing to run"
        return 0
    fi
    return "$rc"
}

# run_ctest LABEL BUILD_DIR
run_ctest() {
    local label="$1" dir="$2" log="$LOGS/ctest-$1.log" rc=0
    ctest --test-dir "$dir" --output-on-failure --no-tests=error --timeout 600 -j "$JOBS" 2>&1 |
        tee "$log" || rc=$?
    record_ctest_counts "$log"
    return "$rc"
}

# Hypothesis' built-in "ci" profile (no deadline, derandomized) keeps
# property tests from tripping their per-example deadline on slow runs.
hypothesis_ci_profile() {
    if "$1" -c "from hypothesis import settings; settings.get_profile('ci')" 2>/dev/null; then
        echo "--hypothesis-profile=ci"
    fi
}

# Fail unless `import Corvane` in PYTHON (with the current environment)
# comes from a path starting with PREFIX.
check_import_from() {
    local py="$1" prefix="$2" file
    file="$(cd "$ROOT" && "$py" -c 'import Corvane; print(Corvane.__file__)')" || return 1
    echo "Corvane imported from $file"
    case "$file" in
        "$prefix"*) return 0 ;;
        *) echo "expected the module under $prefix"; return 1 ;;
    esac
}

# ---------------------------------------------------------------- steps

step_cpython() {
    check_import_from "$VENV/bin/python" "$VENV/"
    run_pytest cpython "$VENV/bin/python"
}

step_pypy() {
    check_import_from "$VENV_PYPY/bin/python" "$VENV_PYPY/"
    # shellcheck disable=SC2046
    run_pytest pypy "$VENV_PYPY/bin/python" $(hypothesis_ci_profile "$VENV_PYPY/bin/python")
    local rc=$? seed log
    # The model test with the JIT on for the seeds that once crashed PyPy's
    # JIT-compiled code (each a program of its own under the default profile).
    for seed in 6 16 26; do
        log="$LOGS/pytest-pypy-model-seed-$seed.log"
        (cd "$ROOT" && "$VENV_PYPY/bin/python" -m pytest -q tests/test_model.py -k TestIndexWorld \
            "--hypothesis-seed=$seed") 2>&1 | tee "$log" || rc=1
        record_pytest_counts "$log"
    done
    return "$rc"
}

step_cpp() {
    if ! have_cpp_tests; then
        echo "no C++ tests yet (tests/cpp/*.cpp): nothing to run"
        return 0
    fi
    local dir="$ROOT/build/cpp-tests"
    # Debug keeps assertions on; -O2 keeps the randomized tests quick.
    cmake_build "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="-O2" \
        -DCORVANE_BUILD_TESTS=ON -DCORVANE_BUILD_MODULE=OFF
    run_ctest cpp "$dir"
}

# run_script LABEL SCRIPT [ARGS...]: a step that is one script of scripts/.
# Each of them closes with a pytest-style "N passed, N failed" line, which is
# what gets counted.
run_script() {
    local log="$LOGS/$1.log" script="$2" rc=0
    shift 2
    bash "$ROOT/scripts/$script" "$@" 2>&1 | tee "$log" || rc=$?
    record_pytest_counts "$log"
    return "$rc"
}

# Type-check the examples against the installed stubs (mypy --strict),
# compare the stubs with the module (stubtest), run the doc snippets and
# the example programs.
step_docs() { run_script docs check_docs.sh "$VENV/bin/python"; }
step_tsan() { run_script tsan tsan.sh --quick; }
step_refcounts() { run_script refcounts debug_refcounts.sh; }
step_wheels() { run_script wheels wheels.sh --check; }

# The sources as clang-format would write them, compared with the files.
step_format() {
    local log="$LOGS/format.log" files=() rc=0 bad
    command -v clang-format >/dev/null 2>&1 || { echo "clang-format not found (scripts/setup.sh deps)"; return 1; }
    mapfile -t files < <(cd "$ROOT" && find src tests/cpp -name '*.cpp' -o -name '*.hpp' | sort)
    echo "$(clang-format --version): ${#files[@]} files"
    (cd "$ROOT" && clang-format --dry-run "${files[@]}") >"$log" 2>&1 || rc=$?
    bad="$(grep -oE '^[^: ]+\.(cpp|hpp)' "$log" | sort -u || true)"
    if [ -n "$bad" ] || [ "$rc" -ne 0 ]; then
        echo "files clang-format would change ($(grep -c 'warning:' "$log") lines):"
        sed 's/^/    /' <<<"$bad"
        echo "reformat them with: clang-format -i \$(find src tests/cpp -name '*.cpp' -o -name '*.hpp')"
        echo "0 1 0" >>"$COUNTS"
        return 1
    fi
    echo "1 0 0" >>"$COUNTS"
    echo "all ${#files[@]} files formatted"
}

# One job of step_versions: the suite on CPython $1 against .venv-$1, output
# in build/logs/pytest-$1.log; the last line of build/logs/time-$1 holds
# its seconds and exit status.
version_job() {
    local version="$1" venv t0=$SECONDS rc=0
    venv="$(venv_for "$version")"
    export "${EXTRA_VERSION_BUDGETS[@]}"
    {
        check_import_from "$venv/bin/python" "$venv/" &&
            # shellcheck disable=SC2046
            run_pytest "$version" "$venv/bin/python" $(hypothesis_ci_profile "$venv/bin/python")
    } >"$LOGS/pytest-$version.out" 2>&1 || rc=$?
    echo "$((SECONDS - t0)) $rc" >"$LOGS/time-$version"
}

step_versions() {
    local v found=() pids=() rc=0 secs status
    : >"$SUBSTEPS"
    for v in "${PY_VERSIONS[@]}"; do
        [ "$v" = "$(main_version)" ] && continue
        if ! find_cpython "$v" >/dev/null; then
            echo "CPython $v: not on this machine, skipped"
            echo "$v 0 skipped (not on this machine)" >>"$SUBSTEPS"
            continue
        fi
        found+=("$v")
    done
    [ "${#found[@]}" -gt 0 ] || { echo "no other CPython version on this machine"; return 0; }
    echo "CPython ${found[*]}: the whole suite, $JOBS at a time (${EXTRA_VERSION_BUDGETS[*]})"
    for v in "${found[@]}"; do
        while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do wait -n || true; done
        rm -f "$LOGS/time-$v"
        version_job "$v" &
        pids+=($!)
    done
    wait "${pids[@]}" || true
    for v in "${found[@]}"; do
        read -r secs status <"$LOGS/time-$v" 2>/dev/null || { secs=0 status=1; }
        echo "----- CPython $v (${secs}s): $(tail -n 1 "$LOGS/pytest-$v.out")"
        if [ "$status" -ne 0 ]; then
            tail -n 60 "$LOGS/pytest-$v.out"
            echo "$v $secs FAILED (exit $status)" >>"$SUBSTEPS"
            rc=1
        else
            echo "$v $secs ok" >>"$SUBSTEPS"
        fi
    done
    return "$rc"
}

step_asan() {
    local dir="$ROOT/build/asan" reports="$ROOT/build/asan/reports" tests=OFF rc=0
    have_cpp_tests && tests=ON
    # -O1 keeps the run fast while leaving stack traces readable; assertions
    # stay on, and libstdc++ checks container indexing as well.
    cmake_build "$dir" -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_CXX_FLAGS="-O1 -D_GLIBCXX_ASSERTIONS" \
        -DCORVANE_SANITIZE=ON -DCORVANE_BUILD_MODULE=ON -DCORVANE_BUILD_TESTS="$tests" \
        -DPython_EXECUTABLE="$VENV/bin/python"

    # ASan writes its reports to files (any report file fails the step, even
    # one from a child process).  UBSan ignores log_path when it runs beside
    # ASan and writes to stderr, so pytest runs without output capture (-s: a
    # report written just before the process dies would otherwise be lost
    # with the capture file) and the log is searched for reports as well.
    rm -rf "$reports"
    mkdir -p "$reports"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

    rm -f "$LOGS/ctest-asan.log" "$LOGS/pytest-asan.log"
    if [ "$tests" = ON ]; then
        ASAN_OPTIONS="detect_leaks=1:log_path=$reports/asan" run_ctest asan "$dir" || rc=1
    else
        echo "no C++ tests yet (tests/cpp/*.cpp): nothing to run under the sanitizers"
    fi

    # The interpreter is not built with ASan, so the runtime has to be loaded
    # first.  libstdc++ is preloaded right after it: the interpreter does not
    # link it, and ASan resolves its __cxa_throw interceptor at start-up, so
    # without it the first C++ exception thrown in the module aborts the run.
    # Leak checking is off: the interpreter keeps memory until exit by
    # design.  PYTHONMALLOC=malloc_debug sends every Python allocation
    # through malloc (so ASan sees freed objects) and checks that the
    # allocator is only used with the interpreter lock held.
    local libasan libstdcxx module
    libasan="$(g++ -print-file-name=libasan.so)"
    [ -f "$libasan" ] || { echo "libasan.so not found (g++ -print-file-name=libasan.so)"; return 1; }
    module="$(compgen -G "$dir/Corvane*.so" | head -n 1)"
    [ -n "$module" ] || { echo "no Corvane*.so in $dir"; return 1; }
    libstdcxx="$(ldd "$module" | awk '$1 ~ /^libstdc\+\+/ { print $3 }')"
    [ -f "$libstdcxx" ] || { echo "cannot find the libstdc++ that $module links"; return 1; }
    (
        export LD_PRELOAD="$libasan:$libstdcxx"
        export ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan"
        export PYTHONMALLOC=malloc_debug
        export PYTHONPATH="$dir${PYTHONPATH:+:$PYTHONPATH}"
        check_import_from "$VENV/bin/python" "$dir/"
        # shellcheck disable=SC2046
        run_pytest asan "$VENV/bin/python" -s $(hypothesis_ci_profile "$VENV/bin/python")
    ) || rc=1

    if grep -qE 'runtime error:|ERROR: (Address|Leak|UndefinedBehavior)Sanitizer' \
        "$LOGS/ctest-asan.log" "$LOGS/pytest-asan.log" 2>/dev/null; then
        echo "sanitizer reports found in the output above"
        rc=1
    fi
    if compgen -G "$reports/*" >/dev/null; then
        echo "sanitizer reports:"
        local f
        for f in "$reports"/*; do
            echo "----- $f"
            head -n 200 "$f"
        done
        rc=1
    fi
    return "$rc"
}

# ---------------------------------------------------------------- main

do_setup=1
steps=()
for arg in "$@"; do
    case "$arg" in
        --no-setup) do_setup=0 ;;
        -h | --help) usage "$0"; exit 0 ;;
        *)
            is_one_of "$arg" "${ALL_STEPS[@]}" ||
                die "unknown argument '$arg' (steps: ${ALL_STEPS[*]}; option: --no-setup)"
            steps+=("$arg") ;;
    esac
done
[ "${#steps[@]}" -gt 0 ] || steps=("${ALL_STEPS[@]}")

mkdir -p "$LOGS"
: >"$COUNTS"
names=()
results=()
times=()
overall=0
t_all=$SECONDS

if [ "$do_setup" -eq 1 ]; then
    targets=(deps)
    for s in "${steps[@]}"; do
        case "$s" in
            cpython | asan | docs | tsan | refcounts) targets+=(cpython) ;;
            versions) targets+=(versions) ;;
            pypy) targets+=(pypy) ;;
        esac
    done
    # shellcheck disable=SC2207
    targets=($(printf '%s\n' "${targets[@]}" | sort -u))
    t0=$SECONDS
    say "setup: ${targets[*]}"
    if ! bash "$ROOT/scripts/setup.sh" "${targets[@]}"; then
        echo "setup failed: not running the tests against a stale or missing build" >&2
        exit 1
    fi
    names+=(setup) results+=(ok) times+=($((SECONDS - t0)))
    use_ccache
fi

for s in "${steps[@]}"; do
    say "step $s"
    t0=$SECONDS
    before="$(wc -l <"$COUNTS")"
    : >"$SUBSTEPS"
    (set -e; "step_$s")
    rc=$?
    names+=("$s") times+=($((SECONDS - t0)))
    if [ "$rc" -eq 0 ]; then
        results+=(ok)
    else
        results+=("FAILED (exit $rc)")
        overall=1
        # A build error or a crash leaves no closing line to count: count the
        # step itself as one failure so the totals never look clean.
        if ! tail -n +"$((before + 1))" "$COUNTS" | awk '$2 > 0 { found = 1 } END { exit !found }'; then
            echo "0 1 0" >>"$COUNTS"
        fi
    fi
    while read -r sub secs result; do
        names+=("  $sub") times+=("$secs") results+=("$result")
    done <"$SUBSTEPS"
done

passed=0 failed=0 skipped=0
while read -r p f s; do
    passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
done <"$COUNTS"

say "summary (wall time per step)"
for i in "${!names[@]}"; do
    printf '  %-9s %6ss  %s\n' "${names[$i]}" "${times[$i]}" "${results[$i]}"
done
printf '  %-9s %6ss\n' total "$((SECONDS - t_all))"
if [ "$overall" -eq 0 ] && [ $((passed + failed)) -eq 0 ]; then
    echo "no test ran at all"
    overall=1
fi
echo "Corvane: $passed passed, $failed failed, $skipped skipped"
exit "$overall"
