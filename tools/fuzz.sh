#!/usr/bin/env bash
# Runs every libFuzzer target for SECONDS each (default 60), starting from the
# seed corpus in tests/fuzz/corpus. New inputs go to a scratch corpus under
# build/fuzz; a crash leaves its input there and fails the script.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"

# tools/test.sh has run setup already when it calls this.
[ -n "${OFFLOADER_SETUP_DONE:-}" ] || "$here/tools/setup.sh"
# shellcheck source=cmake-build.sh
source "$here/tools/cmake-build.sh"
offloader_build "$here" "$here/build/fuzz" all -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DOFFLOADER_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo || exit 1

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
status=0
for corpus in "$here"/tests/fuzz/corpus/*/; do
    target="$(basename "$corpus")"
    binary="$here/build/fuzz/tests/fuzz/${target}_fuzzer"
    scratch="$here/build/fuzz/corpus/$target"
    artifacts="$here/build/fuzz/artifacts/$target/"
    mkdir -p "$scratch" "$artifacts"
    log="$here/build/fuzz/$target.log"
    dictionary=()
    if [ -f "$here/tests/fuzz/$target.dict" ]; then dictionary=(-dict="$here/tests/fuzz/$target.dict"); fi
    echo "== fuzz $target for ${seconds}s"
    if "$binary" "${dictionary[@]}" -max_total_time="$seconds" -max_len=4096 -artifact_prefix="$artifacts" -print_final_stats=1 \
        "$scratch" "$here/tests/fuzz/corpus/$target" >"$log" 2>&1; then
        runs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | awk '{print $2}')"
        echo "$target: ${runs:-?} runs, no fault"
    else
        status=1
        grep -E "relay fault|settings fault|ERROR|SUMMARY" "$log" | head -20
        echo "$target: FAULT (input in $artifacts)"
    fi
done
exit $status
