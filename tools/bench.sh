#!/usr/bin/env bash
# The relay's benchmark: the same clip exported directly and through the
# relay, under Wine (the real sidecar.auo between the host simulator and the
# sample encoder) and natively (the relay's code over the POSIX platform,
# bench/native_bench.cpp), for three balances of work, buffer counts 1, 8 and
# 48, and frame sizes 640x360 and 1920x1080. Each scenario is repeated and
# the medians are reported as Markdown tables (see docs/benchmark.md). Under
# Wine the encoder runs behind the timing shim (bench/timing_shim, timed.auo),
# which times its frame requests: loaded by the simulator for the direct
# export, from sidecar\ for the relayed one.
#
#   tools/bench.sh [--repeat N] [--before REV] [--only wine|native] [--quick]
#
#   --repeat N    repetitions of every scenario (default 3, at least 1)
#   --before REV  also measure the relay as it was at commit REV: relay/ and
#                 plugin/ from REV, everything else (this script, the
#                 simulator, the encoders) from the working tree; each
#                 repetition runs both relays back to back
#   --only P      measure one platform only
#   --quick       few frames and one repetition: checks that the benchmark runs
#
# Results go to build/bench-run/: results.tsv (one line per export) and
# tables.md. Not part of tools/test.sh; it takes about 10 minutes on two
# cores, about 14 with --before.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=host/export_checks.sh
source "$here/tools/host/export_checks.sh"

repeat=3
before=""
only=""
quick=0
command_line="tools/bench.sh $*"
while [ $# -gt 0 ]; do
    case "$1" in
    --repeat) repeat="$2"; shift 2 ;;
    --before) before="$2"; shift 2 ;;
    --only) only="$2"; shift 2 ;;
    --quick) quick=1; shift ;;
    *) echo "usage: tools/bench.sh [--repeat N] [--before REV] [--only wine|native] [--quick]" >&2; exit 2 ;;
    esac
done
[[ "$repeat" =~ ^[1-9][0-9]*$ ]] || { echo "bench: --repeat takes a count of at least 1" >&2; exit 2; }
case "$only" in "" | wine | native) ;; *) echo "bench: --only takes wine or native" >&2; exit 2 ;; esac

fail() {
    echo "bench: $*" >&2
    exit 1
}

# The scenarios. Costs are passes of the same smoothing per frame, on the
# editor's side (its filters) and on the encoder's side (its encoding), as
# in tools/demo.sh: equal costs make a balanced export, 3 against 1 a bound one.
sizes=("640 360 300" "1920 1080 90")
balances=("balanced 2 2" "host-bound 3 1" "encoder-bound 1 3")
buffer_counts=(1 8 48)
if [ "$quick" == 1 ]; then
    sizes=("640 360 60" "1920 1080 20")
    repeat=1
fi
platforms=(wine native)
[ -n "$only" ] && platforms=("$only")

run="$here/build/bench-run"
native_build="$here/build/bench-native"
win_build="$here/build/bench-win32"
before_root="$here/build/bench-before"
shm="/dev/shm/offloader-bench-$$"
mkdir -p "$run/logs" "$shm" || fail "cannot create $run and $shm"
cleanup() {
    rm -rf "$shm" "$before_root/src"
}
trap cleanup EXIT

"$here/tools/setup.sh" >"$run/setup.log" 2>&1 || { cat "$run/setup.log"; fail "setup failed"; }
# shellcheck source=wine-env.sh
source "$here/tools/wine-env.sh" || fail "no Wine route"

# build SOURCE NATIVE_DIR WIN_DIR: the native bench and the Windows programs.
build() {
    local source="$1" native="$2" win="$3"
    if [[ " ${platforms[*]} " == *" native "* ]]; then
        cmake -S "$source" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$native.configure.log" 2>&1 ||
            { tail -20 "$native.configure.log"; fail "configuring $native failed"; }
        cmake --build "$native" --target native_bench >"$native.build.log" 2>&1 ||
            { grep -E "error|FAILED" "$native.build.log" | head -20; fail "building $native failed"; }
    fi
    if [[ " ${platforms[*]} " == *" wine "* ]]; then
        cmake -S "$source" -B "$win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-i686.cmake" \
            -DCMAKE_BUILD_TYPE=Release >"$win.configure.log" 2>&1 ||
            { tail -20 "$win.configure.log"; fail "configuring $win failed"; }
        cmake --build "$win" --target sidecar avi_writer timing_shim host_simulator >"$win.build.log" 2>&1 ||
            { grep -E "error|FAILED" "$win.build.log" | head -20; fail "building $win failed"; }
    fi
}

echo "== building (working tree)"
build "$here" "$native_build" "$win_build"
variants=(after)
if [ -n "$before" ]; then
    rev="$(git -C "$here" rev-parse --short "$before^{commit}")" || fail "no commit $before"
    echo "== building the relay as of $rev"
    # The working tree as it is, with the relay's two folders as they were.
    rm -rf "$before_root/src"
    mkdir -p "$before_root/src"
    (cd "$here" && git ls-files -co --exclude-standard -z | xargs -0 tar -cf - 2>/dev/null) |
        tar -xf - -C "$before_root/src" || fail "cannot copy the working tree"
    rm -rf "$before_root/src/relay" "$before_root/src/plugin"
    git -C "$here" archive "$rev" relay plugin | tar -xf - -C "$before_root/src" || fail "cannot export $rev"
    build "$before_root/src" "$before_root/native" "$before_root/win32"
    variants=(after before)
fi

# The editor's installation under Wine: the relay looks for the encoder in
# sidecar\ beside the executable, and finds the timing shim there; the shim
# runs the encoder that OFFLOADER_TIMED_ENCODER names.
editor="$run/editor"
if [[ " ${platforms[*]} " == *" wine "* ]]; then
    rm -rf "$editor"
    mkdir -p "$editor/plugins" "$editor/sidecar"
    cp "$win_build/bin/host_simulator.exe" "$editor/" &&
        cp "$win_build/bin/avi_writer.auo" "$win_build/bin/timed.auo" "$editor/plugins/" &&
        cp "$win_build/bin/sidecar.auo" "$editor/plugins/sidecar-after.auo" &&
        cp "$win_build/bin/timed.auo" "$editor/sidecar/timed.auo_" || fail "cannot lay out $editor"
    if [ -n "$before" ]; then
        cp "$before_root/win32/bin/sidecar.auo" "$editor/plugins/sidecar-before.auo" || fail "no before relay"
    fi
    for cost in 1 2 3; do
        host_writer_settings "$run/writer-$cost.bin" "$cost"
        for buffers in "${buffer_counts[@]}"; do
            host_relay_settings "$run/relay-$buffers-$cost.bin" "$buffers" timed.auo_ "$run/writer-$cost.bin"
        done
    done
fi

# classify STATS FETCHLOG: "calls hits unclear" for one relayed export. A
# request that began after the editor's next call following its frame's
# fetch was answered from the ring: the relay stores the frame and its tag
# between the end of that fetch and its next call into the editor. One that
# began before the fetch returned waited for it: a round trip. Between the
# two it cannot be told, and is counted apart.
classify() {
    awk 'FNR == NR { if ($1 == "fetch") { end[$2] = $3; next_call[$2] = $4 } next }
         $1 == "call" {
             calls++
             f = $2; start = $3
             if (!(f in end) || end[f] < 0) { unclear++; next }
             if (next_call[f] >= 0 && start >= next_call[f]) hits++
             else if (start < end[f]) trips++
             else unclear++
         }
         END { printf "%d %d %d\n", calls, hits, unclear }' "$2" "$1"
}

stat_field() {
    sed -n "s/^$2=//p" "$1" | tr -d '\r' | head -1
}

results="$run/results.tsv"
printf 'platform\tsize\tbalance\tbuffers\tvariant\trep\tseconds\tservice\tcalls\thits\tunclear\texact_trips\tmedian_us\tp99_us\n' >"$results"

# one PLATFORM SIZE BALANCE HOST ENCODER FRAMES BUFFERS VARIANT REP: one
# export; appends its line to results.tsv. BUFFERS is 0 for the direct export.
one() {
    local platform="$1" width="$2" height="$3" balance="$4" host="$5" encoder="$6" frames="$7" buffers="$8"
    local variant="$9" rep="${10}"
    local name="$platform-${width}x$height-$balance-$buffers-$variant-$rep"
    local log="$run/logs/$name.log" stats="$shm/out.stats" fetches="$run/logs/$name.fetches"
    rm -f "$shm"/out*
    if [ "$platform" == wine ]; then
        local plugin settings
        if [ "$buffers" == 0 ]; then
            plugin=timed.auo settings="$run/writer-$encoder.bin"
        else
            plugin="sidecar-$variant.auo" settings="$run/relay-$buffers-$encoder.bin"
        fi
        LC_ALL=ja_JP.UTF-8 OFFLOADER_TIMED_ENCODER="$(host_winpath "$editor/plugins/avi_writer.auo")" \
            OFFLOADER_TIMING_STATS="$(host_winpath "$stats")" \
            timeout 600 wine "$editor/host_simulator.exe" --plugin "$(host_winpath "$editor/plugins/$plugin")" \
            --settings "$(host_winpath "$settings")" --output "$(host_winpath "$shm/out.avi")" \
            --width "$width" --height "$height" --frames "$frames" --host-cost "$host" --no-audio \
            --fetch-log "$(host_winpath "$fetches")" >"$log" 2>&1 </dev/null
    else
        local program="$native_build/bench/native_bench" mode=relay
        [ "$variant" == before ] && program="$before_root/native/bench/native_bench"
        [ "$buffers" == 0 ] && mode=direct
        timeout 600 "$program" --mode "$mode" --width "$width" --height "$height" --frames "$frames" \
            --host-cost "$host" --encoder-cost "$encoder" --buffers "$((buffers == 0 ? 8 : buffers))" \
            --output "$shm/out.raw" --stats "$stats" --fetch-log "$fetches" >"$log" 2>&1 </dev/null
    fi
    local result seconds service
    result="$(host_field "$log" result)"
    seconds="$(host_field "$log" seconds)"
    service="$(host_field "$log" service_seconds)"
    if [ "$result" != 1 ] || [ ! -f "$stats" ]; then
        tr '\r' '\n' <"$log" | grep -av '^\[' | tail -10
        fail "export $name failed (result ${result:-none}); log in $log"
    fi
    local calls=0 hits=0 unclear=0 trips=-1
    if [ "$buffers" != 0 ]; then
        read -r calls hits unclear < <(classify "$stats" "$fetches")
        [ "$platform" == native ] && trips="$(host_field "$log" round_trips)"
    fi
    cp "$stats" "$run/logs/$name.stats"
    printf '%s\t%sx%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$platform" "$width" "$height" \
        "$balance" "$buffers" "$variant" "$rep" "$seconds" "$service" "$calls" "$hits" "$unclear" "$trips" \
        "$(stat_field "$stats" get_video_median_us)" "$(stat_field "$stats" get_video_p99_us)" >>"$results"
}

started=$SECONDS
for platform in "${platforms[@]}"; do
    if [ "$platform" == wine ]; then
        # One server for the whole series: each export then starts in tens of
        # milliseconds, and the server ends by itself once the series is over.
        wineserver -p30 >/dev/null 2>&1
    fi
    for rep in $(seq 1 "$repeat"); do
        for size in "${sizes[@]}"; do
            read -r width height frames <<<"$size"
            for entry in "${balances[@]}"; do
                read -r balance host encoder <<<"$entry"
                echo "== $platform ${width}x$height $balance, repetition $rep ($((SECONDS - started)) s)"
                one "$platform" "$width" "$height" "$balance" "$host" "$encoder" "$frames" 0 direct "$rep"
                for buffers in "${buffer_counts[@]}"; do
                    # Each repetition lets the other relay go first.
                    order=("${variants[@]}")
                    if [ "${#variants[@]}" == 2 ] && [ $((rep % 2)) == 0 ]; then order=(before after); fi
                    for variant in "${order[@]}"; do
                        one "$platform" "$width" "$height" "$balance" "$host" "$encoder" "$frames" "$buffers" \
                            "$variant" "$rep"
                    done
                done
            done
        done
    done
done
elapsed=$((SECONDS - started))

# The tables. Each relayed export is set against the direct export of the
# same repetition, made just before it: relay / direct, and relay / ideal,
# where the ideal is max(host, encoder) of that direct export (its time in
# the editor's service calls, and the rest). The medians over the
# repetitions are reported.
tables="$run/tables.md"
{
    echo "Produced by \`$command_line\` in $((elapsed / 60)) min $((elapsed % 60)) s."
    echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')."
    [[ " ${platforms[*]} " == *" wine "* ]] && echo "Windows programs: $OFFLOADER_WINE_LABEL."
    [ -n "$before" ] && echo "Before: the relay (relay/, plugin/) as of commit $rev; after: the working tree."
    echo
    awk -F'\t' -v has_before="${before:+1}" -v wine_label="${OFFLOADER_WINE_LABEL:-Wine}" '
    function median(list,    n, a, i, j, t) {
        n = split(list, a, " ")
        for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] + 0 > t + 0; j--) a[j + 1] = a[j]; a[j + 1] = t }
        if (n == 0) return ""
        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    function add(key, value) { values[key] = (key in values) ? values[key] " " value : value }
    NR == 1 { next }
    {
        scenario = $1 SUBSEP $2 SUBSEP $3
        if ($4 == 0) {
            direct[scenario SUBSEP $7] = $7
            host = $8; enc = $7 - $8
            ideal[scenario SUBSEP $7] = host > enc ? host : enc
            add("direct" SUBSEP scenario, $7)
            add("host" SUBSEP scenario, host)
            add("enc" SUBSEP scenario, enc)
            last_direct[scenario] = $7
            last_ideal[scenario] = host > enc ? host : enc
            next
        }
        key = scenario SUBSEP $4 SUBSEP $5
        if (!(key in seen)) { seen[key] = 1; order[++count] = key }
        add("seconds" SUBSEP key, $7)
        add("vs_direct" SUBSEP key, $7 / last_direct[scenario])
        add("vs_ideal" SUBSEP key, $7 / last_ideal[scenario])
        add("median" SUBSEP key, $13)
        add("p99" SUBSEP key, $14)
        add("hits" SUBSEP key, $10 / $9 * 100)
        add("unclear" SUBSEP key, $11 / $9 * 100)
        if ($12 >= 0) {
            add("exact" SUBSEP key, ($9 - $12) / $9 * 100)
            diff = $10 - ($9 - $12); if (diff < 0) diff = -diff
            if (diff > worst_diff) worst_diff = diff
            agree_calls += $9; agree_diff += diff
        }
    }
    function target(balance, buffers) {
        if (buffers == 1) return "none (no read-ahead)"
        return balance == "balanced" ? "1.10" : "1.05"
    }
    function verdict(balance, buffers, ratio) {
        if (buffers == 1) return ""
        return ratio <= (balance == "balanced" ? 1.10 : 1.05) ? " met" : " **missed**"
    }
    function share(key, platform,    s) {
        if (platform == "native") return sprintf("%.1f%%", median(values["exact" SUBSEP key]))
        s = sprintf("%.1f%%", median(values["hits" SUBSEP key]))
        u = median(values["unclear" SUBSEP key])
        if (u > 0) s = s sprintf(" (+%.1f%% unclear)", u)
        return s
    }
    END {
        for (p = 1; p <= 2; p++) {
            platform = p == 1 ? "wine" : "native"
            header = 0
            for (i = 1; i <= count; i++) {
                split(order[i], k, SUBSEP)
                if (k[1] != platform || k[5] != "after") continue
                if (!header) {
                    print "### " (platform == "wine" ? "Under " wine_label " (sidecar.auo, host_simulator.exe, avi_writer.auo)" : "Native (POSIX build, bench/native_bench)")
                    print ""
                    print "| size | scenario | buffers | direct s | host s / encoder s | relay s | relay / direct | relay / ideal | target | get_video median µs | p99 µs | answered from the ring |"
                    print "|---|---|---:|---:|---:|---:|---:|---:|---|---:|---:|---:|"
                    header = 1
                }
                scenario = k[1] SUBSEP k[2] SUBSEP k[3]
                r = median(values["vs_ideal" SUBSEP order[i]])
                printf "| %s | %s | %d | %.3f | %.3f / %.3f | %.3f | %.3f | %.3f%s | %s | %.1f | %.1f | %s |\n", \
                    k[2], k[3], k[4], median(values["direct" SUBSEP scenario]), median(values["host" SUBSEP scenario]), \
                    median(values["enc" SUBSEP scenario]), median(values["seconds" SUBSEP order[i]]), \
                    median(values["vs_direct" SUBSEP order[i]]), r, verdict(k[3], k[4], r), target(k[3], k[4]), \
                    median(values["median" SUBSEP order[i]]), median(values["p99" SUBSEP order[i]]), share(order[i], platform)
            }
            if (header) print ""
            if (!has_before) continue
            header = 0
            for (i = 1; i <= count; i++) {
                split(order[i], k, SUBSEP)
                if (k[1] != platform || k[5] != "after") continue
                b = k[1] SUBSEP k[2] SUBSEP k[3] SUBSEP k[4] SUBSEP "before"
                if (!(b in seen)) continue
                if (!header) {
                    print "#### Before and after, " platform
                    print ""
                    print "| size | scenario | buffers | relay / ideal before | after | median µs before | after | p99 µs before | after | from the ring before | after |"
                    print "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
                    header = 1
                }
                printf "| %s | %s | %d | %.3f | %.3f | %.1f | %.1f | %.1f | %.1f | %s | %s |\n", k[2], k[3], k[4], \
                    median(values["vs_ideal" SUBSEP b]), median(values["vs_ideal" SUBSEP order[i]]), \
                    median(values["median" SUBSEP b]), median(values["median" SUBSEP order[i]]), \
                    median(values["p99" SUBSEP b]), median(values["p99" SUBSEP order[i]]), \
                    share(b, platform), share(order[i], platform)
            }
            if (header) print ""
        }
        if (agree_calls > 0) {
            printf "Native check of the timing rule used under Wine: over %d relayed requests it differed from the exact count of round trips by %d requests in all (at most %d in one export).\n", agree_calls, agree_diff, worst_diff
        }
    }' "$results"
} >"$tables"
cat "$tables"
echo "bench: $(($(wc -l <"$results") - 1)) exports in $((elapsed / 60)) min $((elapsed % 60)) s; results in $results and $tables"
