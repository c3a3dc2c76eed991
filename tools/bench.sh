#!/usr/bin/env bash
# The relay's benchmark: the same clip exported directly, through the relay,
# and through the floor (bench/floor: the least a handoff between the two
# threads can cost while it keeps the relay's one copy per frame), and the
# times set against each other and against the ideal overlap.
#
# Three encoders:
#   synthetic  the sample AVI writer (passes of smoothing per frame, then an
#              uncompressed AVI), under Wine (the real sidecar.auo between the
#              host simulator and the encoder) and natively (the relay's code
#              over the POSIX port, bench/native_bench.cpp); 640x360 and
#              1920x1080, three balances, 1, 8 and 48 buffers.
#   lossless   the lossless sample (each frame a PNG, zlib level 6, on the
#              thread that calls it), under Wine, and natively its own PNG
#              codec on the encoder's side with the host's zlib; 1280x720
#              and 1920x1080, the editor's cost set against the encoder's
#              own time for a host-bound, a balanced and an encoder-bound
#              export; 8 and 48 buffers.
#   codec      the ffmpeg sample with libx264 (one thread) and AAC, under
#              Wine only; 1280x720 and 1920x1080, a fast and a slower preset,
#              the editor's cost set against ffmpeg's own time for a
#              host-bound, a balanced and an encoder-bound export; 8 and 48
#              buffers.
# Under Wine the encoder runs behind the timing shim (bench/timing_shim,
# timed.auo), which times its frame requests: loaded by the simulator for the
# direct export, from sidecar\ for the relayed one and the floor.
#
#   tools/bench.sh [--repeat N] [--before REV] [--only wine|native] [--isolated]
#                  [--encoders synthetic|lossless|codec|all[,...]] [--quick | --ring-check]
#
#   --repeat N    repetitions of every scenario (default 3, at least 1)
#   --before REV  also measure the relay as it was at commit REV: relay/ and
#                 plugin/ from REV (a commit of this layout: 9ff82de or
#                 later), everything else from the working tree; each
#                 repetition runs both relays back to back, in turns
#   --only P      measure one platform only
#   --isolated    under Wine, also export through the isolated module
#                 (sidecar_isolated.auo beside the editor's executable with
#                 its helper), in turns with the relay in the editor's process
#   --encoders E  measure these encoders only, comma-separated (default all)
#   --quick       few frames and one repetition: checks that the benchmark runs
#   --ring-check  clearly encoder-bound sequential exports of the synthetic
#                 encoder (1 pass against 4, 300 and 150 frames, 8 and 48
#                 buffers), once: how many frame requests the ring answered.
#                 Results in build/bench-ring/, beside a full run's.
#
# Results go to build/bench-run/: results.tsv (one line per export) and
# tables.md, the report that bench/report.sh makes of them. Not part of
# tools/test.sh; a full run takes 70 to 100 minutes on two cores under qemu.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=export_checks.sh
source "$here/tools/export_checks.sh"

repeat=3
before=""
only=""
encoders="all"
quick=0
ring_check=0
isolated=0
command_line="tools/bench.sh $*"
usage="usage: tools/bench.sh [--repeat N] [--before REV] [--only wine|native] [--isolated] [--encoders synthetic|lossless|codec|all] [--quick | --ring-check]"
while [ $# -gt 0 ]; do
    case "$1" in
    --repeat) repeat="$2"; shift 2 ;;
    --before) before="$2"; shift 2 ;;
    --only) only="$2"; shift 2 ;;
    --isolated) isolated=1; shift ;;
    --encoders) encoders="$2"; shift 2 ;;
    --quick) quick=1; shift ;;
    --ring-check) ring_check=1; shift ;;
    *) echo "$usage" >&2; exit 2 ;;
    esac
done
[[ "$repeat" =~ ^[1-9][0-9]*$ ]] || { echo "bench: --repeat takes a count of at least 1" >&2; exit 2; }
case "$only" in "" | wine | native) ;; *) echo "bench: --only takes wine or native" >&2; exit 2 ;; esac
for e in ${encoders//,/ }; do
    case "$e" in
    synthetic | lossless | codec | all) ;;
    *) echo "bench: --encoders takes synthetic, lossless, codec or all, or a comma-separated list of them" >&2; exit 2 ;;
    esac
done

fail() {
    echo "bench: $*" >&2
    exit 1
}

# The scenarios. Synthetic costs are passes of the same smoothing per frame,
# on the editor's side (its filters) and on the encoder's side (its
# encoding): equal costs make a balanced export, 3 against 1 a bound one.
# The codec's editor cost is chosen per clip so that the editor alone takes
# 1.5, 1 or 0.5 times as long as ffmpeg alone.
synthetic_sizes=("640 360 300" "1920 1080 90")
synthetic_balances=("balanced 2 2" "host-bound 3 1" "encoder-bound 1 3")
synthetic_buffers=(1 8 48)
codec_sizes=("1280 720 90" "1920 1080 48")
codec_presets=(veryfast medium)
codec_balances=("host-bound 1.5" "balanced 1.0" "encoder-bound 0.5")
codec_buffers=(8 48)
lossless_sizes=("1280 720 90" "1920 1080 48")
lossless_level=6
lossless_balances=("host-bound 1.5" "balanced 1.0" "encoder-bound 0.5")
lossless_buffers=(8 48)
if [ "$quick" == 1 ]; then
    synthetic_sizes=("640 360 60" "1920 1080 20")
    codec_sizes=("1280 720 24")
    codec_presets=(veryfast)
    lossless_sizes=("1280 720 12")
    repeat=1
fi
run_name=bench-run
if [ "$ring_check" == 1 ]; then
    # The frames of a clip whose encoder is clearly the slower side, read
    # in order: all but the first should come from the ring.
    synthetic_sizes=("640 360 300" "1920 1080 150")
    synthetic_balances=("encoder-bound 1 4")
    synthetic_buffers=(8 48)
    encoders=synthetic
    repeat=1
    run_name=bench-ring
fi
platforms=(wine native)
[ -n "$only" ] && platforms=("$only")
measures() { [[ " ${platforms[*]} " == *" $1 "* ]]; }
# encoded E: whether --encoders names E (or all).
encoded() { [[ ",$encoders," == *",$1,"* || ",$encoders," == *",all,"* ]]; }
with_synthetic=0 with_lossless=0 with_codec=0
encoded synthetic && with_synthetic=1
encoded lossless && with_lossless=1
encoded codec && with_codec=1
measures wine || with_codec=0

run="$here/build/$run_name"
native_build="$here/build/bench-native"
win_build="$here/build/bench-win32"
before_root="$here/build/bench-before"
shm="/dev/shm/offloader-bench-$$"
rm -rf "$run"
mkdir -p "$run/logs" "$shm" || fail "cannot create $run and $shm"
cleanup() {
    rm -rf "$shm" "$before_root/src"
}
trap cleanup EXIT

"$here/tools/setup.sh" >"$run/setup.log" 2>&1 || { cat "$run/setup.log"; fail "setup failed"; }
# shellcheck source=wine-env.sh
source "$here/tools/wine-env.sh" || fail "no Wine route"

# shellcheck source=cmake-build.sh
source "$here/tools/cmake-build.sh"
# build SOURCE NATIVE_DIR WIN_DIR: the native bench and the Windows programs.
build() {
    local source="$1" native="$2" win="$3"
    if measures native; then
        offloader_build "$source" "$native" native_bench -DCMAKE_BUILD_TYPE=Release || fail "building $native failed"
    fi
    if measures wine; then
        offloader_build "$source" "$win" \
            "sidecar sidecar_isolated sidecar_helper avi_writer ffmpeg_pipe lossless_avi timing_shim floor_relay host_simulator" \
            -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release ||
            fail "building $win failed"
    fi
}

echo "== building (working tree)"
build "$here" "$native_build" "$win_build"
relays=(after)
if [ -n "$before" ]; then
    rev="$(git -C "$here" rev-parse --short "$before^{commit}")" || fail "no commit $before"
    # The build names the relay's files as they are now: plugin/entry/ and
    # the relay's files by thread came in one commit, and an earlier relay
    # has other names for them.
    git -C "$here" cat-file -e "$rev:plugin/entry/CMakeLists.txt" 2>/dev/null ||
        fail "$rev has relay/ and plugin/ in an earlier layout than this build's; --before takes a commit from 9ff82de on"
    echo "== building the relay as of $rev"
    # The working tree as it is, with the relay's two folders as they were.
    rm -rf "$before_root/src"
    mkdir -p "$before_root/src"
    (cd "$here" && git ls-files -co --exclude-standard -z | xargs -0 tar -cf - 2>/dev/null) |
        tar -xf - -C "$before_root/src" || fail "cannot copy the working tree"
    rm -rf "$before_root/src/relay" "$before_root/src/plugin"
    git -C "$here" archive "$rev" relay plugin | tar -xf - -C "$before_root/src" || fail "cannot export $rev"
    build "$before_root/src" "$before_root/native" "$before_root/win32"
    relays=(after before)
fi

# The editor's installation under Wine: the relay (and the floor) look for
# the encoder in sidecar\ beside the executable and find the timing shim
# there; the shim runs the encoder that OFFLOADER_TIMED_ENCODER names.
editor="$run/editor"
if measures wine; then
    mkdir -p "$editor/plugins" "$editor/sidecar"
    if ! { cp "$win_build/bin/host_simulator.exe" "$editor/" &&
        cp "$win_build/bin/avi_writer.auo" "$win_build/bin/ffmpeg_pipe.auo" "$win_build/bin/lossless_avi.auo" \
            "$win_build/bin/timed.auo" "$win_build/bin/floor.auo" "$editor/plugins/" &&
        cp "$win_build/bin/sidecar.auo" "$editor/plugins/sidecar-after.auo" &&
        cp "$win_build/bin/timed.auo" "$editor/sidecar/timed.auo_"; }; then
        fail "cannot lay out $editor"
    fi
    if [ -n "$before" ]; then
        cp "$before_root/win32/bin/sidecar.auo" "$editor/plugins/sidecar-before.auo" || fail "no before relay"
    fi
    # The isolated module where its helper's encoders find the editor's
    # folder as their process's own: beside the executable.
    if [ "$isolated" == 1 ]; then
        if ! cp "$win_build/bin/sidecar_isolated.auo" "$editor/sidecar-isolated.auo" ||
            ! cp "$win_build/bin/sidecar_helper.exe" "$editor/"; then
            fail "no isolated module"
        fi
    fi
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
printf 'platform\tencoder\tsize\tbalance\tbuffers\tvariant\trep\tseconds\tservice\tcalls\thits\tunclear\texact_trips\tmedian_us\tp99_us\tencoder_alone\teditor_waits\tencoder_waits\n' >"$results"

# export_one PLATFORM ENCODER SIZE BALANCE HOST_COST SETTINGS FRAMES BUFFERS
#            VARIANT REP [ENCODER_ALONE]: one export; appends its line to
# results.tsv. VARIANT is direct, after, before, isolated (Wine only) or floor. SETTINGS is the
# synthetic encoder's cost natively, the encoder's settings file under Wine.
export_one() {
    local platform="$1" encoder="$2" size="$3" balance="$4" host="$5" settings="$6" frames="$7" buffers="$8"
    local variant="$9" rep="${10}" alone="${11:-}"
    local width="${size%x*}" height="${size#*x}"
    local name="$platform-$encoder-$size-$balance-$buffers-$variant-$rep"
    local log="$run/logs/$name.log" stats="$shm/out.stats" fetches="$run/logs/$name.fetches"
    rm -f "$shm"/out*
    if [ "$platform" == wine ]; then
        local plugin="plugins/timed.auo" module="avi_writer.auo" extension=avi audio=(--no-audio) record="$settings"
        case "$encoder" in
        codec-* | alone-*) module=ffmpeg_pipe.auo extension=mp4 audio=() ;;
        lossless*) module=lossless_avi.auo ;;
        esac
        case "$variant" in
        direct) ;;
        floor) plugin=plugins/floor.auo ;;
        isolated) plugin=sidecar-isolated.auo ;;
        *) plugin="plugins/sidecar-$variant.auo" ;;
        esac
        if [ "$variant" != direct ]; then
            record="$shm/relay.bin"
            host_relay_settings "$record" "$buffers" timed.auo_ "$settings"
        fi
        LC_ALL=ja_JP.UTF-8 OFFLOADER_TIMED_ENCODER="$(host_winpath "$editor/plugins/$module")" \
            OFFLOADER_TIMING_STATS="$(host_winpath "$stats")" \
            timeout 300 wine "$editor/host_simulator.exe" --plugin "$(host_winpath "$editor/$plugin")" \
            --settings "$(host_winpath "$record")" --output "$(host_winpath "$shm/out.$extension")" \
            --width "$width" --height "$height" --frames "$frames" --host-cost "$host" "${audio[@]}" \
            --fetch-log "$(host_winpath "$fetches")" >"$log" 2>&1 </dev/null
    else
        local program="$native_build/bench/native_bench" mode=relay
        [ "$variant" == before ] && program="$before_root/native/bench/native_bench"
        [ "$variant" == direct ] && mode=direct
        [ "$variant" == floor ] && mode=floor
        # SETTINGS natively: the synthetic encoder's cost, or png:LEVEL.
        local work=(--encoder-cost "$settings")
        [[ "$settings" == png:* ]] && work=(--png-level "${settings#png:}")
        timeout 300 "$program" --mode "$mode" --width "$width" --height "$height" --frames "$frames" \
            --host-cost "$host" "${work[@]}" --buffers "$((buffers == 0 ? 8 : buffers))" \
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
    local calls=0 hits=0 unclear=0 trips=-1 editor_waits=-1 encoder_waits=-1
    if [ "$variant" != direct ]; then
        read -r calls hits unclear < <(classify "$stats" "$fetches")
        if [ "$platform" == native ]; then
            [ "$variant" != floor ] && trips="$(host_field "$log" round_trips)"
            editor_waits="$(host_field "$log" editor_waits)"
            encoder_waits="$(host_field "$log" encoder_waits)"
        fi
    fi
    cp "$stats" "$run/logs/$name.stats"
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$platform" "$encoder" \
        "$size" "$balance" "$buffers" "$variant" "$rep" "$seconds" "$service" "$calls" "$hits" "$unclear" \
        "$trips" "$(stat_field "$stats" get_video_median_us)" "$(stat_field "$stats" get_video_p99_us)" \
        "$alone" "$editor_waits" "$encoder_waits" >>"$results"
}

# series PLATFORM ENCODER SIZE BALANCE HOST_COST SETTINGS FRAMES REP ALONE
# BUFFERS...: the direct export, then for each buffer count the relay(s) and
# the floor (and the isolated module), each repetition letting another of
# them go first.
series() {
    local platform="$1" encoder="$2" size="$3" balance="$4" host="$5" settings="$6" frames="$7" rep="$8"
    local alone="$9"
    shift 9
    export_one "$platform" "$encoder" "$size" "$balance" "$host" "$settings" "$frames" 0 direct "$rep" "$alone"
    local buffers variants=("${relays[@]}" floor) order=() i count variant
    count="${#variants[@]}"
    for ((i = 0; i < count; ++i)); do order+=("${variants[$(((i + rep) % count))]}"); done
    if [ "$platform" == wine ] && [ "$isolated" == 1 ]; then
        # Back to back with the relay in the editor's process, each going
        # first in turn: this machine's slow spells outlast one export, and
        # a third export between the two would put them in different ones.
        local paired=()
        for variant in "${order[@]}"; do
            if [ "$variant" != after ]; then
                paired+=("$variant")
            elif ((rep % 2 == 1)); then
                paired+=(isolated after)
            else
                paired+=(after isolated)
            fi
        done
        order=("${paired[@]}")
    fi
    for buffers in "$@"; do
        for variant in "${order[@]}"; do
            export_one "$platform" "$encoder" "$size" "$balance" "$host" "$settings" "$frames" "$buffers" \
                "$variant" "$rep" "$alone"
        done
    done
}

# The codec's clips, measured once per clip and preset: the encoder's own
# time (a direct export whose editor spends nothing on its filters: the
# sample and ffmpeg, which encodes with one x264 thread beside it), and the
# editor's time per smoothing pass.
declare -A encoder_alone
declare -A codec_host_cost
codec_arguments() {
    printf -- '-c:v libx264 -preset %s -crf 20 -pix_fmt yuv420p -threads 1 -c:a aac -b:a 192k' "$1"
}
calibrate_codec() {
    local width height frames preset entry balance factor t0 t4
    for entry in "${codec_sizes[@]}"; do
        read -r width height frames <<<"$entry"
        local clip=(--width "$width" --height "$height" --frames "$frames")
        host_run "$run/logs/cost0.log" "$editor/host_simulator.exe" "${clip[@]}" --time-host-cost --host-cost 0
        host_run "$run/logs/cost4.log" "$editor/host_simulator.exe" "${clip[@]}" --time-host-cost --host-cost 4
        t0="$(sed -n 's/^host_seconds=\([0-9.]*\).*/\1/p' "$run/logs/cost0.log" | tr -d '\r')"
        t4="$(sed -n 's/^host_seconds=\([0-9.]*\).*/\1/p' "$run/logs/cost4.log" | tr -d '\r')"
        if [ -z "$t0" ] || [ -z "$t4" ]; then fail "cannot time the editor's cost"; fi
        for preset in "${codec_presets[@]}"; do
            local key="${width}x$height-$preset" times=() alone
            # shellcheck disable=SC2046
            host_pipe_settings "$shm/pipe-$preset.bin" /usr/bin/ffmpeg "$(codec_arguments "$preset")"
            for i in 1 2 3; do
                export_one wine "alone-$preset" "${width}x$height" alone 0 "$shm/pipe-$preset.bin" "$frames" 0 \
                    direct "$i"
                times+=("$(tail -1 "$results" | cut -f8)")
            done
            alone="$(printf '%s\n' "${times[@]}" | sort -n | sed -n 2p)"
            encoder_alone[$key]="$alone"
            for balance in "${codec_balances[@]}"; do
                read -r balance factor <<<"$balance"
                codec_host_cost[$key-$balance]="$(awk -v a="$alone" -v f="$factor" -v t0="$t0" -v t4="$t4" \
                    'BEGIN { pass = (t4 - t0) / 4; c = pass > 0 ? int((a * f - t0) / pass + 0.5) : 4; print c < 0 ? 0 : c }')"
            done
            echo "   ${width}x$height $preset: encoder alone $alone s; editor costs ${codec_host_cost[$key-host-bound]}, ${codec_host_cost[$key-balanced]}, ${codec_host_cost[$key-encoder-bound]}"
        done
    done
}

# The lossless clips, per platform and size: the editor's cost per
# smoothing pass and the encoder's own time, from two direct exports (the
# encoder works on the editor's thread there, so the export's time outside
# the editor's calls is the encoder's), and the costs that make the editor
# 1.5, 1 and 0.5 times as slow as the encoder.
declare -A lossless_host_cost
calibrate_lossless() {
    local platform width height frames entry settings cost log service seconds t0 t4 alone
    for platform in "${platforms[@]}"; do
        settings="png:$lossless_level"
        if [ "$platform" == wine ]; then
            settings="$shm/lossless.bin"
            host_lossless_settings "$settings" "$lossless_level"
        fi
        for entry in "${lossless_sizes[@]}"; do
            read -r width height frames <<<"$entry"
            for cost in 0 4; do
                export_one "$platform" lossless-alone "${width}x$height" "cost$cost" "$cost" "$settings" "$frames" 0 \
                    direct 1
                seconds="$(tail -1 "$results" | cut -f8)"
                service="$(tail -1 "$results" | cut -f9)"
                if [ "$cost" == 0 ]; then
                    t0="$service"
                    alone="$(awk -v s="$seconds" -v h="$service" 'BEGIN { printf "%.3f", s - h }')"
                else
                    t4="$service"
                fi
            done
            local balance factor
            for balance in "${lossless_balances[@]}"; do
                read -r balance factor <<<"$balance"
                lossless_host_cost[$platform-${width}x$height-$balance]="$(awk -v a="$alone" -v f="$factor" \
                    -v t0="$t0" -v t4="$t4" \
                    'BEGIN { pass = (t4 - t0) / 4; c = pass > 0 ? int((a * f - t0) / pass + 0.5) : 4; print c < 0 ? 0 : c }')"
            done
            echo "   $platform ${width}x$height: encoder alone $alone s; editor costs" \
                "${lossless_host_cost[$platform-${width}x$height-host-bound]}," \
                "${lossless_host_cost[$platform-${width}x$height-balanced]}," \
                "${lossless_host_cost[$platform-${width}x$height-encoder-bound]}"
        done
    done
}

started=$SECONDS
if measures wine; then
    # One server for the whole series: each export then starts in tens of
    # milliseconds, and the server ends by itself once the series is over.
    wineserver -p30 >/dev/null 2>&1
fi
if [ "$with_codec" == 1 ]; then
    echo "== calibrating the codec's clips"
    calibrate_codec
fi
if [ "$with_lossless" == 1 ]; then
    echo "== calibrating the lossless clips"
    calibrate_lossless
fi
for rep in $(seq 1 "$repeat"); do
    if [ "$with_synthetic" == 1 ]; then
        for platform in "${platforms[@]}"; do
            for entry in "${synthetic_sizes[@]}"; do
                read -r width height frames <<<"$entry"
                for balance in "${synthetic_balances[@]}"; do
                    read -r balance host cost <<<"$balance"
                    # Natively the editor's side also renders and copies each
                    # frame in vectorised code, and 4 passes are only about
                    # 1.5 times its time: twice as many make the encoder
                    # clearly the slower side there too.
                    [ "$ring_check" == 1 ] && [ "$platform" == native ] && cost=$((cost * 2))
                    echo "== $platform synthetic ${width}x$height $balance, repetition $rep ($((SECONDS - started)) s)"
                    settings="$cost"
                    if [ "$platform" == wine ]; then
                        settings="$shm/writer-$cost.bin"
                        host_writer_settings "$settings" "$cost"
                    fi
                    series "$platform" synthetic "${width}x$height" "$balance" "$host" "$settings" "$frames" "$rep" "" \
                        "${synthetic_buffers[@]}"
                done
            done
        done
    fi
    if [ "$with_lossless" == 1 ]; then
        for platform in "${platforms[@]}"; do
            settings="png:$lossless_level"
            if [ "$platform" == wine ]; then
                settings="$shm/lossless.bin"
                host_lossless_settings "$settings" "$lossless_level"
            fi
            for entry in "${lossless_sizes[@]}"; do
                read -r width height frames <<<"$entry"
                for balance in "${lossless_balances[@]}"; do
                    read -r balance _ <<<"$balance"
                    echo "== $platform lossless ${width}x$height $balance, repetition $rep ($((SECONDS - started)) s)"
                    series "$platform" lossless "${width}x$height" "$balance" \
                        "${lossless_host_cost[$platform-${width}x$height-$balance]}" "$settings" "$frames" "$rep" "" \
                        "${lossless_buffers[@]}"
                done
            done
        done
    fi
    if [ "$with_codec" == 1 ]; then
        for entry in "${codec_sizes[@]}"; do
            read -r width height frames <<<"$entry"
            for preset in "${codec_presets[@]}"; do
                key="${width}x$height-$preset"
                settings="$shm/pipe-$preset.bin"
                # shellcheck disable=SC2046
                host_pipe_settings "$settings" /usr/bin/ffmpeg "$(codec_arguments "$preset")"
                for balance in "${codec_balances[@]}"; do
                    read -r balance _ <<<"$balance"
                    echo "== wine codec ${width}x$height $preset $balance, repetition $rep ($((SECONDS - started)) s)"
                    series wine "codec-$preset" "${width}x$height" "$balance" "${codec_host_cost[$key-$balance]}" \
                        "$settings" "$frames" "$rep" "${encoder_alone[$key]}" "${codec_buffers[@]}"
                done
            done
        done
    fi
done
elapsed=$((SECONDS - started))

# The report (bench/report.sh says how each figure is made), with how and
# where this run was made at its head.
tables="$run/tables.md"
header=("Produced by \`$command_line\` in $((elapsed / 60)) min $((elapsed % 60)) s."
    "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //').")
if measures wine; then header+=("Windows programs: $OFFLOADER_WINE_LABEL."); fi
if [ -n "$before" ]; then header+=("Before: the relay (relay/, plugin/) as of commit $rev; after: the working tree."); fi
if [ "$isolated" == 1 ]; then header+=("Isolated: sidecar_isolated.auo, the encoder in its helper program, under Wine."); fi
"$here/bench/report.sh" "$results" "${header[@]}" >"$tables"
cat "$tables"
echo "bench: $(($(wc -l <"$results") - 1)) exports in $((elapsed / 60)) min $((elapsed % 60)) s; results in $results and $tables"
