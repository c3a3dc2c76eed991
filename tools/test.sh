#!/usr/bin/env bash
# Sets the machine up, builds every configuration and runs every test:
# native (plain, ASan+UBSan, TSan) and the real sidecar.auo under Wine.
# Exits non-zero on any failure.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"

"$here/tools/setup.sh"
export OFFLOADER_SETUP_DONE=1

jobs="$(nproc)"
# shellcheck source=wine-env.sh
source "$here/tools/wine-env.sh"
# shellcheck source=cmake-build.sh
source "$here/tools/cmake-build.sh"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

build() {
    local name="$1"
    shift
    echo "== build $name"
    offloader_build "$here" "$here/build/$name" all "$@"
}

mkdir -p build
build native
build asan -DOFFLOADER_SANITIZER=address
build tsan -DOFFLOADER_SANITIZER=thread
build win32 -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release

failed=0
summary=()
run_native() {
    local name="$1"
    echo "== test $name"
    if ctest --test-dir "$here/build/$name" -j"$jobs" --timeout 900 --output-on-failure >"$here/build/$name.test.log" 2>&1; then
        :
    else
        failed=1
        grep -v "^ *Start\|Test *#.*Passed" "$here/build/$name.test.log" | tail -60
    fi
    summary+=("$name: $(grep -E 'tests passed' "$here/build/$name.test.log" || echo 'no result')")
}
run_native native
run_native asan
run_native tsan

echo "== fuzz (briefly; tools/fuzz.sh SECONDS runs longer)"
if fuzz_out="$("$here/tools/fuzz.sh" "${OFFLOADER_FUZZ_SECONDS:-20}" 2>&1)"; then
    :
else
    failed=1
fi
printf '%s\n' "$fuzz_out" | grep -v '^==' | sed 's/^/  /'
summary+=("fuzz: $(printf '%s\n' "$fuzz_out" | grep -c 'no fault' || true) targets without a fault")

echo "== test win32 ($OFFLOADER_WINE_LABEL)"
# One persistent Wine server and one virtual display for the whole run keep
# each Wine start to a fraction of a second.
# A server already running in this prefix (a demo, an earlier run) refuses
# to start a second one; then that one serves.
wineserver -p 2>/dev/null || echo "(a Wine server was already running in $WINEPREFIX)"
trap 'wineserver -k 2>/dev/null || true' EXIT
if xvfb-run -a -s "-screen 0 1024x768x24" \
    ctest --test-dir "$here/build/win32" --timeout 900 --output-on-failure >"$here/build/win32.test.log" 2>&1; then
    :
else
    failed=1
    grep -v "^ *Start\|Test *#.*Passed" "$here/build/win32.test.log" | tail -80
fi
# No such line at all (a build that ran no Wine case) still gets a summary.
wine_cases="$({ grep -ho 'wine cases: [0-9]* passed, [0-9]* failed' "$here/build/win32/Testing/Temporary/LastTest.log" 2>/dev/null || true; } |
    awk '{p += $3; f += $5} END {printf "%d passed, %d failed", p, f}')"
summary+=("win32 ($OFFLOADER_WINE_LABEL): $(grep -E 'tests passed' "$here/build/win32.test.log" || echo 'no result') (Wine cases: $wine_cases)")

echo "== summary"
printf '%s\n' "${summary[@]}"
if [ "$failed" -ne 0 ]; then
    echo "FAILED"
    exit 1
fi
echo "all tests passed"
