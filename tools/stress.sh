#!/usr/bin/env bash
# Nightly stress run: the relay's stress test under the thread sanitizer at
# OFFLOADER_STRESS_SCALE (default 10: some 10^7 video requests, each with its
# flag, every byte checked), in build/stress-tsan, one shard per core. Prints
# how many requests were verified and fails on any wrong byte, lost request
# or data race. The short run of the same test is part of tools/test.sh.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
scale="${OFFLOADER_STRESS_SCALE:-10}"
build="$here/build/stress-tsan"

# tools/test.sh has run setup already when it calls this.
[ -n "${OFFLOADER_SETUP_DONE:-}" ] || "$here/tools/setup.sh"
# shellcheck source=cmake-build.sh
source "$here/tools/cmake-build.sh"
offloader_build "$here" "$build" offloader_tests -DOFFLOADER_SANITIZER=thread || exit 1

export OFFLOADER_STRESS_SCALE="$scale"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
shards="$(nproc)"
start="$(date +%s)"
pids=()
for ((i = 0; i < shards; i++)); do
    GTEST_TOTAL_SHARDS="$shards" GTEST_SHARD_INDEX="$i" \
        "$build/tests/native/offloader_tests" --gtest_filter='*RelayStress*' >"$build/shard-$i.log" 2>&1 &
    pids+=("$!")
done
status=0
for ((i = 0; i < shards; i++)); do
    if ! wait "${pids[$i]}"; then
        status=1
        grep -E "WARNING: ThreadSanitizer|Failure|FAILED|error" "$build/shard-$i.log" | head -20
    fi
done
elapsed=$(($(date +%s) - start))

# "[ stress   ] 8 buffers: N frame requests and M flag requests verified (scale S)"
grep -h '^\[ stress' "$build"/shard-*.log | sort -k4,4n || true
read -r frames flags < <(grep -h '^\[ stress' "$build"/shard-*.log |
    awk '{f += $6; g += $10} END {printf "%d %d\n", f, g}')
passed="$(grep -h '^\[==========\] .* ran\.' "$build"/shard-*.log | awk '{n += $2} END {print n + 0}')"
echo "stress: ${frames} video and ${flags} flag requests verified in ${passed} runs at scale ${scale}, ${elapsed} s"
if [ "$status" -ne 0 ]; then
    echo "stress: FAILED (logs in $build/shard-*.log)"
    exit 1
fi
