# Shared helpers for the scripts in this folder.  Source it, do not run it.
#
# Paths can be overridden from the environment:
#   CORVANE_PYTHON  CPython used to create .venv        (default: python3)
#   CORVANE_PYPY    PyPy used to create .venv-pypy      (default: pypy3)
#   CORVANE_JOBS    parallel compile jobs                (default: 2)
#   CORVANE_VERSIONS  CPython versions to set up, test and build wheels for
#                   (default: "3.9 3.10 3.11 3.12 3.13")
#
# Every other supported CPython (PY_VERSIONS) found on the machine gets an
# environment of its own, .venv-3.X (see find_cpython).  When ccache is
# installed, every CMake build compiles through it: the structures and engine
# floors do not depend on the interpreter, so the builds for the other
# versions and the release wheels reuse their objects.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
VENV_PYPY="$ROOT/.venv-pypy"
CORVANE_PYTHON="${CORVANE_PYTHON:-python3}"
CORVANE_PYPY="${CORVANE_PYPY:-pypy3}"
JOBS="${CORVANE_JOBS:-2}"

# The CPython versions the package supports and tests.
# shellcheck disable=SC2206
PY_VERSIONS=(${CORVANE_VERSIONS:-3.9 3.10 3.11 3.12 3.13})

# Compile through ccache when it is installed.  Called here and again once
# the system packages are in: on a fresh machine ccache arrives with them,
# after this file was first sourced.
use_ccache() {
    if command -v ccache >/dev/null 2>&1; then
        export CMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}"
        export CMAKE_C_COMPILER_LAUNCHER="${CMAKE_C_COMPILER_LAUNCHER:-ccache}"
    fi
}
use_ccache

# Never let pip or apt stop to ask a question (CI has no stdin).
export DEBIAN_FRONTEND=noninteractive
export PIP_DISABLE_PIP_VERSION_CHECK=1
export PIP_NO_INPUT=1

say() { printf '\n==> %s\n' "$*"; }
warn() { printf 'warning: %s\n' "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# usage SCRIPT: print the comment block at the top of SCRIPT.
usage() { sed -n '2,/^set -/p' "$1" | sed '$d; s/^# \{0,1\}//'; }

# parse_options SCRIPT FLAG... -- ARG...: the command line of a script that
# takes only flags.  Each FLAG (such as --quick) sets the variable of its name
# without the dashes (quick) to 1 when it is among the ARGs, to 0 otherwise;
# -h or --help prints the script's header comment and exits; anything else
# stops the script, naming the flags it knows.
parse_options() {
    local script="$1" flags=() flag arg known
    shift
    while [ "$#" -gt 0 ] && [ "$1" != -- ]; do
        flags+=("$1")
        shift
    done
    [ "$#" -gt 0 ] && shift
    for flag in "${flags[@]}"; do
        flag="${flag#--}"
        printf -v "${flag//-/_}" 0
    done
    for arg in "$@"; do
        case "$arg" in -h | --help) usage "$script"; exit 0 ;; esac
        known=0
        for flag in "${flags[@]}"; do
            if [ "$arg" = "$flag" ]; then
                flag="${flag#--}"
                printf -v "${flag//-/_}" 1
                known=1
            fi
        done
        [ "$known" -eq 1 ] || die "unknown argument '$arg' (options: ${flags[*]:-none})"
    done
}

# is_one_of WORD LIST...: whether WORD is in the LIST.
is_one_of() {
    local word="$1" item
    shift
    for item in "$@"; do [ "$item" = "$word" ] && return 0; done
    return 1
}

# version_of PYTHON: its "3.X".
version_of() { "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'; }

# find_cpython 3.X: the path of a CPython 3.X that can build the module and
# make virtual environments (headers, venv, ensurepip): pyenv's newest 3.X.*
# first, then python3.X on the PATH.  Prints nothing and fails when the
# machine has none.
find_cpython() {
    local version="$1" root candidates=() c
    root="${PYENV_ROOT:-$HOME/.pyenv}"
    command -v pyenv >/dev/null 2>&1 && root="$(pyenv root 2>/dev/null || echo "$root")"
    for c in $(compgen -G "$root/versions/$version.*" | sort -rV); do
        candidates+=("$c/bin/python$version")
    done
    c="$(command -v "python$version" 2>/dev/null || true)"
    [ -n "$c" ] && candidates+=("$c")
    for c in "${candidates[@]}"; do
        [ -x "$c" ] || continue
        if "$c" -c "
import os, sys, sysconfig, venv, ensurepip
ok = (sys.implementation.name == 'cpython' and '%d.%d' % sys.version_info[:2] == '$version'
      and os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h')))
sys.exit(not ok)" 2>/dev/null; then
            echo "$c"
            return 0
        fi
    done
    return 1
}

# The version of CORVANE_PYTHON, whose environment is .venv; the sanitizer,
# ThreadSanitizer and debug-interpreter steps run on it.
main_version() { version_of "$CORVANE_PYTHON"; }

# venv_for 3.X: the virtual environment of that CPython version.
venv_for() {
    if [ "$1" = "$(main_version)" ]; then echo "$VENV"; else echo "$ROOT/.venv-$1"; fi
}

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
