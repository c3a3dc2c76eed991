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
#   tools/bench.sh [--repeat N] [--before REV] [--only wine|native]
#                  [--encoders synthetic|lossless|codec|all[,...]] [--quick | --ring-check]
#
#   --repeat N    repetitions of every scenario (default 3, at least 1)
#   --before REV  also measure the relay as it was at commit REV: relay/ and
#                 plugin/ from REV (a commit of this layout), everything else
#                 from the working tree; each repetition runs both relays
#                 back to back, in turns
#   --only P      measure one platform only
#   --encoders E  measure these encoders only, comma-separated (default all)
#   --quick       few frames and one repetition: checks that the benchmark runs
#   --ring-check  clearly encoder-bound sequential exports of the synthetic
#                 encoder (1 pass against 4, 300 and 150 frames, 8 and 48
#                 buffers), once: how many frame requests the ring answered.
#                 Results in build/bench-ring/, beside a full run's.
#
# Results go to build/bench-run/: results.tsv (one line per export) and
# tables.md. Not part of tools/test.sh; a full run takes about 40 minutes
# on two cores.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=host/export_checks.sh
source "$here/tools/host/export_checks.sh"

repeat=3
before=""
only=""
encoders="all"
quick=0
ring_check=0
command_line="tools/bench.sh $*"
usage="usage: tools/bench.sh [--repeat N] [--before REV] [--only wine|native] [--encoders synthetic|lossless|codec|all] [--quick | --ring-check]"
while [ $# -gt 0 ]; do
    case "$1" in
    --repeat) repeat="$2"; shift 2 ;;
    --before) before="$2"; shift 2 ;;
    --only) only="$2"; shift 2 ;;
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

# build SOURCE NATIVE_DIR WIN_DIR: the native bench and the Windows programs.
build() {
    local source="$1" native="$2" win="$3"
    if measures native; then
        cmake -S "$source" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$native.configure.log" 2>&1 ||
            { tail -20 "$native.configure.log"; fail "configuring $native failed"; }
        cmake --build "$native" --target native_bench >"$native.build.log" 2>&1 ||
            { grep -E "error|FAILED" "$native.build.log" | head -20; fail "building $native failed"; }
    fi
    if measures wine; then
        cmake -S "$source" -B "$win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-i686.cmake" \
            -DCMAKE_BUILD_TYPE=Release >"$win.configure.log" 2>&1 ||
            { tail -20 "$win.configure.log"; fail "configuring $win failed"; }
        cmake --build "$win" --target sidecar avi_writer ffmpeg_pipe lossless_avi timing_shim floor_relay host_simulator \
            >"$win.build.log" 2>&1 || { grep -E "error|FAILED" "$win.build.log" | head -20; fail "building $win failed"; }
    fi
}

echo "== building (working tree)"
build "$here" "$native_build" "$win_build"
relays=(after)
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
    relays=(after before)
fi

# The editor's installation under Wine: the relay (and the floor) look for
# the encoder in sidecar\ beside the executable and find the timing shim
# there; the shim runs the encoder that OFFLOADER_TIMED_ENCODER names.
editor="$run/editor"
if measures wine; then
    mkdir -p "$editor/plugins" "$editor/sidecar"
    cp "$win_build/bin/host_simulator.exe" "$editor/" &&
        cp "$win_build/bin/avi_writer.auo" "$win_build/bin/ffmpeg_pipe.auo" "$win_build/bin/lossless_avi.auo" \
            "$win_build/bin/timed.auo" \
            "$win_build/bin/floor.auo" "$editor/plugins/" &&
        cp "$win_build/bin/sidecar.auo" "$editor/plugins/sidecar-after.auo" &&
        cp "$win_build/bin/timed.auo" "$editor/sidecar/timed.auo_" || fail "cannot lay out $editor"
    if [ -n "$before" ]; then
        cp "$before_root/win32/bin/sidecar.auo" "$editor/plugins/sidecar-before.auo" || fail "no before relay"
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
# results.tsv. VARIANT is direct, after, before or floor. SETTINGS is the
# synthetic encoder's cost natively, the encoder's settings file under Wine.
export_one() {
    local platform="$1" encoder="$2" size="$3" balance="$4" host="$5" settings="$6" frames="$7" buffers="$8"
    local variant="$9" rep="${10}" alone="${11:-}"
    local width="${size%x*}" height="${size#*x}"
    local name="$platform-$encoder-$size-$balance-$buffers-$variant-$rep"
    local log="$run/logs/$name.log" stats="$shm/out.stats" fetches="$run/logs/$name.fetches"
    rm -f "$shm"/out*
    if [ "$platform" == wine ]; then
        local plugin="timed.auo" module="avi_writer.auo" extension=avi audio=(--no-audio) record="$settings"
        case "$encoder" in
        codec-* | alone-*) module=ffmpeg_pipe.auo extension=mp4 audio=() ;;
        lossless*) module=lossless_avi.auo ;;
        esac
        case "$variant" in
        direct) ;;
        floor) plugin=floor.auo ;;
        *) plugin="sidecar-$variant.auo" ;;
        esac
        if [ "$variant" != direct ]; then
            record="$shm/relay.bin"
            host_relay_settings "$record" "$buffers" timed.auo_ "$settings"
        fi
        LC_ALL=ja_JP.UTF-8 OFFLOADER_TIMED_ENCODER="$(host_winpath "$editor/plugins/$module")" \
            OFFLOADER_TIMING_STATS="$(host_winpath "$stats")" \
            timeout 300 wine "$editor/host_simulator.exe" --plugin "$(host_winpath "$editor/plugins/$plugin")" \
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
# the floor, each repetition letting another of them go first.
series() {
    local platform="$1" encoder="$2" size="$3" balance="$4" host="$5" settings="$6" frames="$7" rep="$8"
    local alone="$9"
    shift 9
    export_one "$platform" "$encoder" "$size" "$balance" "$host" "$settings" "$frames" 0 direct "$rep" "$alone"
    local buffers variants=("${relays[@]}" floor) order=() i count
    count="${#variants[@]}"
    for ((i = 0; i < count; ++i)); do order+=("${variants[$(((i + rep) % count))]}"); done
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
        [ -n "$t0" ] && [ -n "$t4" ] || fail "cannot time the editor's cost"
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

# The tables. Each relayed and floor export is set against the direct export
# of the same scenario and repetition, made just before it. The ideal is the
# larger of the editor's time (in the direct export, its time in the service
# calls) and the encoder's: the rest of the direct export for the synthetic
# encoder, which works on the editor's thread; ffmpeg's own time for the
# codec, which works beside it in a process of its own (a direct export with
# no editor cost, measured before the series). The medians over the
# repetitions are reported.
tables="$run/tables.md"
{
    echo "Produced by \`$command_line\` in $((elapsed / 60)) min $((elapsed % 60)) s."
    echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')."
    measures wine && echo "Windows programs: $OFFLOADER_WINE_LABEL."
    [ -n "$before" ] && echo "Before: the relay (relay/, plugin/) as of commit $rev; after: the working tree."
    echo
    awk -F'\t' -v has_before="${before:+1}" -v wine_label="${OFFLOADER_WINE_LABEL:-Wine}" -v lossless_level="$lossless_level" '
    function median(list,    n, a, i, j, t) {
        n = split(list, a, " ")
        for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] + 0 > t + 0; j--) a[j + 1] = a[j]; a[j + 1] = t }
        if (n == 0) return ""
        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    function add(key, value) { values[key] = (key in values) ? values[key] " " value : value }
    NR == 1 || $2 ~ /^alone-/ || $2 ~ /-alone$/ { next }
    {
        scenario = $1 SUBSEP $2 SUBSEP $3 SUBSEP $4
        if (!(scenario in scenario_seen)) { scenario_seen[scenario] = 1; scenarios[++scenario_count] = scenario }
        if ($6 == "direct") {
            host = $9; enc = $16 != "" ? $16 : $8 - $9
            ideal = host > enc ? host : enc
            add("direct" SUBSEP scenario, $8)
            add("host" SUBSEP scenario, host)
            add("enc" SUBSEP scenario, enc)
            last_direct[scenario] = $8
            last_ideal[scenario] = ideal
            next
        }
        key = scenario SUBSEP $5 SUBSEP $6
        if (!(key in seen)) { seen[key] = 1; order[++count] = key }
        run_key = scenario SUBSEP $5 SUBSEP $7
        if ($6 == "floor") floor_seconds[run_key] = $8
        else relay_seconds[run_key SUBSEP $6] = $8
        add("seconds" SUBSEP key, $8)
        add("vs_direct" SUBSEP key, $8 / last_direct[scenario])
        add("vs_ideal" SUBSEP key, $8 / last_ideal[scenario])
        add("median" SUBSEP key, $14)
        add("p99" SUBSEP key, $15)
        add("hits" SUBSEP key, $11 / $10 * 100)
        add("unclear" SUBSEP key, $12 / $10 * 100)
        if ($17 >= 0) add("editor_waits" SUBSEP key, $17 / $10)
        if ($18 >= 0) add("encoder_waits" SUBSEP key, $18 / $10)
        if ($13 >= 0) {
            add("exact" SUBSEP key, ($10 - $13) / $10 * 100)
            diff = $11 - ($10 - $13); if (diff < 0) diff = -diff
            if (diff > worst_diff) worst_diff = diff
            agree_calls += $10; agree_diff += diff
        }
    }
    function share(key, platform,    s, u) {
        if (platform == "native" && (("exact" SUBSEP key) in values)) return sprintf("%.1f%%", median(values["exact" SUBSEP key]))
        s = sprintf("%.1f%%", median(values["hits" SUBSEP key]))
        u = median(values["unclear" SUBSEP key])
        if (u > 0) s = s sprintf(" (+%.1f%% unclear)", u)
        return s
    }
    # relay / floor of each repetition, paired in the same run, then the median.
    function vs_floor(scenario, buffers, variant,    r, list, parts) {
        list = ""
        for (r in floor_seconds) {
            split(r, parts, SUBSEP)
            if (parts[1] SUBSEP parts[2] SUBSEP parts[3] SUBSEP parts[4] != scenario || parts[5] != buffers) continue
            if (!((r SUBSEP variant) in relay_seconds)) continue
            list = list " " relay_seconds[r SUBSEP variant] / floor_seconds[r]
        }
        return median(list)
    }
    function verdict(buffers, ratio) {
        if (buffers == 1) return ""
        return ratio <= 1.05 ? " met" : " **missed**"
    }
    function title(platform, encoder) {
        if (platform == "native" && encoder == "lossless") return "Native, lossless codec: PNG frames, zlib level " lossless_level " (POSIX build, bench/native_bench)"
        if (platform == "native") return "Native, synthetic encoder (POSIX build, bench/native_bench)"
        if (encoder == "lossless") return "Under " wine_label ", lossless codec: PNG frames, zlib level " lossless_level " (sidecar.auo, host_simulator.exe, lossless_avi.auo)"
        if (encoder == "synthetic") return "Under " wine_label ", synthetic encoder (sidecar.auo, host_simulator.exe, avi_writer.auo)"
        sub(/^codec-/, "", encoder)
        return "Under " wine_label ", ffmpeg with libx264 -preset " encoder " (sidecar.auo, host_simulator.exe, ffmpeg_pipe.auo)"
    }
    END {
        split("wine native", platforms, " ")
        for (p = 1; p <= 2; p++) {
            platform = platforms[p]
            delete done_titles
            for (s = 1; s <= scenario_count; s++) {
                split(scenarios[s], sk, SUBSEP)
                if (sk[1] != platform || (sk[2] in done_titles)) continue
                done_titles[sk[2]] = 1
                encoder = sk[2]
                print "### " title(platform, encoder)
                print ""
                print "| size | scenario | buffers | direct s | editor s / encoder s | relay s | floor s | relay / direct | relay / ideal | floor / ideal | relay / floor (target 1.05) | get_video median µs | p99 µs | answered from the ring |"
                print "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
                for (i = 1; i <= count; i++) {
                    split(order[i], k, SUBSEP)
                    if (k[1] != platform || k[2] != encoder || k[6] != "after") continue
                    scenario = k[1] SUBSEP k[2] SUBSEP k[3] SUBSEP k[4]
                    f = scenario SUBSEP k[5] SUBSEP "floor"
                    rf = vs_floor(scenario, k[5], "after")
                    printf "| %s | %s | %d | %.3f | %.3f / %.3f | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f%s | %.1f | %.1f | %s |\n", \
                        k[3], k[4], k[5], median(values["direct" SUBSEP scenario]), median(values["host" SUBSEP scenario]), \
                        median(values["enc" SUBSEP scenario]), median(values["seconds" SUBSEP order[i]]), \
                        median(values["seconds" SUBSEP f]), median(values["vs_direct" SUBSEP order[i]]), \
                        median(values["vs_ideal" SUBSEP order[i]]), median(values["vs_ideal" SUBSEP f]), rf, \
                        verdict(k[5], rf), median(values["median" SUBSEP order[i]]), median(values["p99" SUBSEP order[i]]), \
                        share(order[i], platform)
                }
                print ""
                if (platform == "native") {
                    print "Waits per frame, natively: the editor'"'"'s thread idle (relay: the serving thread'"'"'s waits; floor: its sleeps) and the encoder waiting (relay: round trips; floor: sleeps)."
                    print ""
                    print "| size | scenario | buffers | relay: editor waits | encoder waits | floor: editor waits | encoder waits |"
                    print "|---|---|---:|---:|---:|---:|---:|"
                    for (i = 1; i <= count; i++) {
                        split(order[i], k, SUBSEP)
                        if (k[1] != platform || k[2] != encoder || k[6] != "after") continue
                        f = k[1] SUBSEP k[2] SUBSEP k[3] SUBSEP k[4] SUBSEP k[5] SUBSEP "floor"
                        printf "| %s | %s | %d | %.2f | %.2f | %.2f | %.2f |\n", k[3], k[4], k[5], \
                            median(values["editor_waits" SUBSEP order[i]]), median(values["encoder_waits" SUBSEP order[i]]), \
                            median(values["editor_waits" SUBSEP f]), median(values["encoder_waits" SUBSEP f])
                    }
                    print ""
                }
                if (!has_before) continue
                header = 0
                for (i = 1; i <= count; i++) {
                    split(order[i], k, SUBSEP)
                    if (k[1] != platform || k[2] != encoder || k[6] != "after") continue
                    scenario = k[1] SUBSEP k[2] SUBSEP k[3] SUBSEP k[4]
                    b = scenario SUBSEP k[5] SUBSEP "before"
                    if (!(b in seen)) continue
                    if (!header) {
                        print "#### Before and after"
                        print ""
                        print "| size | scenario | buffers | relay / floor before | after | relay / ideal before | after | median µs before | after | from the ring before | after |"
                        print "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
                        header = 1
                    }
                    printf "| %s | %s | %d | %.3f | %.3f | %.3f | %.3f | %.1f | %.1f | %s | %s |\n", k[3], k[4], k[5], \
                        vs_floor(scenario, k[5], "before"), vs_floor(scenario, k[5], "after"), \
                        median(values["vs_ideal" SUBSEP b]), median(values["vs_ideal" SUBSEP order[i]]), \
                        median(values["median" SUBSEP b]), median(values["median" SUBSEP order[i]]), \
                        share(b, platform), share(order[i], platform)
                }
                if (header) print ""
            }
        }
        if (agree_calls > 0) {
            printf "Native check of the timing rule used under Wine: over %d relayed requests it differed from the exact count of round trips by %d requests in all (at most %d in one export).\n", agree_calls, agree_diff, worst_diff
        }
    }' "$results"
} >"$tables"
cat "$tables"
echo "bench: $(($(wc -l <"$results") - 1)) exports in $((elapsed / 60)) min $((elapsed % 60)) s; results in $results and $tables"
