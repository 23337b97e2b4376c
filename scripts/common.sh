# Shared helpers for the scripts in this folder.  Source it, do not run it.
#
# Paths can be overridden from the environment:
#   CORVANE_PYTHON  CPython used to create .venv        (default: python3)
#   CORVANE_PYPY    PyPy used to create .venv-pypy      (default: pypy3)
#   CORVANE_JOBS    parallel compile jobs                (default: 2)

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
VENV_PYPY="$ROOT/.venv-pypy"
CORVANE_PYTHON="${CORVANE_PYTHON:-python3}"
CORVANE_PYPY="${CORVANE_PYPY:-pypy3}"
JOBS="${CORVANE_JOBS:-2}"

# Never let pip or apt stop to ask a question (CI has no stdin).
export DEBIAN_FRONTEND=noninteractive
export PIP_DISABLE_PIP_VERSION_CHECK=1
export PIP_NO_INPUT=1

say() { printf '\n==> %s\n' "$*"; }
warn() { printf 'warning: %s\n' "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# Run a command as root: directly when we are root, else through sudo.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo -E "$@"
    else
        die "need root (or sudo) to run: $*"
    fi
}

# CMake generator arguments: Ninja when it is there, CMake's default otherwise.
cmake_generator_args() {
    if command -v ninja >/dev/null 2>&1; then
        echo "-G Ninja"
    fi
}

# Configure and build a CMake tree.  $1 = build dir, the rest = -D options.
cmake_build() {
    local dir="$1"
    shift
    # A tree first configured with another generator cannot be reused.
    local gen
    gen="$(cmake_generator_args)"
    if [ -f "$dir/CMakeCache.txt" ]; then
        local cached
        cached="$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "$dir/CMakeCache.txt")"
        if { [ -n "$gen" ] && [ "$cached" != "Ninja" ]; } || { [ -z "$gen" ] && [ "$cached" = "Ninja" ]; }; then
            rm -rf "$dir"
        fi
    fi
    # shellcheck disable=SC2086
    cmake -S "$ROOT" -B "$dir" $gen "$@" || return 1
    cmake --build "$dir" -j "$JOBS" || return 1
}

# Does the tree have any Python / C++ test sources yet?
have_py_tests() {
    [ -n "$(find "$ROOT/tests" \( -name 'test_*.py' -o -name '*_test.py' \) -print -quit 2>/dev/null)" ]
}
have_cpp_tests() { compgen -G "$ROOT/tests/cpp/*.cpp" >/dev/null; }
