#!/usr/bin/env bash
# Set up everything Corvane needs to build, test and run, installing only what
# is missing.  Safe to run again at any time.
#
#   bash scripts/setup.sh            system packages and every environment below
#   bash scripts/setup.sh cpython    system packages + .venv (CORVANE_PYTHON, 3.11 here)
#   bash scripts/setup.sh versions   system packages + .venv-3.X for every other
#                                    CPython from 3.9 to 3.13 the machine has
#   bash scripts/setup.sh 3.12       system packages + the environment of that version
#   bash scripts/setup.sh pypy       system packages + .venv-pypy
#   bash scripts/setup.sh deps       system packages only
#
# A CPython version the machine lacks (neither under pyenv nor as python3.X
# on the PATH) is reported and skipped.  Each virtual environment gets the
# test tools (pytest, hypothesis) and the package itself, built from this
# checkout by `pip install .`.  The build tree of each interpreter is kept
# under build/ so a rerun only recompiles what changed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

APT_PACKAGES=(
    g++ cmake ninja-build
    libroaring-dev libabsl-dev libgtest-dev libbenchmark-dev
    python3-dev python3-venv python3-dbg
    pypy3 pypy3-dev pypy3-venv
    clang-format ccache
)

install_system_packages() {
    local missing=() p
    for p in "${APT_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$p")
        fi
    done
    if [ "${#missing[@]}" -eq 0 ]; then
        say "system packages: all present"
        return
    fi
    say "system packages: installing ${missing[*]}"
    as_root apt-get update -qq
    as_root apt-get install -y -qq --no-install-recommends "${missing[@]}"
    use_ccache
}

# $1 = venv dir, $2 = interpreter to create it with, $3 = expected implementation.
# Sets FRESH=1 when the environment had to be created.
ensure_venv() {
    local dir="$1" interp="$2" impl="$3"
    FRESH=0
    command -v "$interp" >/dev/null 2>&1 || die "interpreter '$interp' not found"
    if [ -x "$dir/bin/python" ] &&
        "$dir/bin/python" -c "import sys, pip; sys.exit(sys.implementation.name != '$impl')" 2>/dev/null &&
        [ "$(version_of "$dir/bin/python")" = "$(version_of "$interp")" ]; then
        return
    fi
    say "creating $(basename "$dir") with $interp"
    rm -rf "$dir"
    "$interp" -m venv "$dir"
    FRESH=1
}

# $1 = venv dir, $2 = 1 if it was just created: install the test tools and
# build + install the package.
#
# A new environment gets the plain `pip install .` (isolated build, exactly
# what a user runs).  An existing one builds without isolation against the
# build backend installed in it: each isolated build lives in a new temporary
# environment, which makes scikit-build-core drop its CMake cache and
# recompile everything, while a stable backend lets build/<wheel tag>/
# recompile only what changed.
install_package() {
    local py="$1/bin/python" fresh="$2" backend
    say "$(basename "$1"): pip install .[test] ($("$py" -c 'import sys; print(sys.implementation.name, sys.version.split()[0])'))"
    if [ "$fresh" -eq 1 ]; then
        (cd "$ROOT" && "$py" -m pip install --quiet ".[test]")
    else
        backend="$(grep -oE '"scikit-build-core[^"]*"' "$ROOT/pyproject.toml" | head -n 1 | tr -d '"')"
        "$py" -c 'import scikit_build_core' 2>/dev/null ||
            "$py" -m pip install --quiet "${backend:-scikit-build-core}"
        (cd "$ROOT" && "$py" -m pip install --quiet --no-build-isolation ".[test]")
    fi
    # Show which build got installed; fails loudly if the module does not import.
    (cd / && "$py" -c 'import Corvane; print("installed:", Corvane.__file__)')
}

# The targets, in the order they are set up.
targets=()
[ "$#" -gt 0 ] || set -- cpython versions pypy
for arg in "$@"; do
    case "$arg" in
        cpython) targets+=("$(main_version)") ;;
        versions)
            for v in "${PY_VERSIONS[@]}"; do
                [ "$v" = "$(main_version)" ] || targets+=("$v")
            done ;;
        3.*) is_one_of "$arg" "${PY_VERSIONS[@]}" ||
                 die "CPython $arg is not a supported version (${PY_VERSIONS[*]})"
             targets+=("$arg") ;;
        pypy) targets+=(pypy) ;;
        deps) ;;
        *) die "unknown target '$arg' (expected: cpython, versions, 3.X, pypy, deps)" ;;
    esac
done

install_system_packages
for t in $(printf '%s\n' "${targets[@]}" | awk '!seen[$0]++'); do
    if [ "$t" = pypy ]; then
        ensure_venv "$VENV_PYPY" "$CORVANE_PYPY" pypy
        install_package "$VENV_PYPY" "$FRESH"
    elif [ "$t" = "$(main_version)" ]; then
        ensure_venv "$VENV" "$CORVANE_PYTHON" cpython
        install_package "$VENV" "$FRESH"
    elif interp="$(find_cpython "$t")"; then
        ensure_venv "$(venv_for "$t")" "$interp" cpython
        install_package "$(venv_for "$t")" "$FRESH"
    else
        say "CPython $t: not on this machine (pyenv or python$t on the PATH), skipped"
    fi
done
say "setup done"
