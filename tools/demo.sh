#!/usr/bin/env bash
# The relay at work: sets the machine up, builds the Windows binaries, and
# under Wine exports the same synthetic clip twice through the host
# simulator: once with an encoder loaded directly, once through sidecar.auo
# with the encoder in the editor's sidecar\ folder. Both files are checked
# with ffprobe and must hold identical frames; the last line compares the
# two export times with the best the overlap could give.
#
#   tools/demo.sh [--encoder lossless|ffmpeg|avi] [--size WxH] [--frames N] [--host-cost N]
#                 [--encoder-cost N] [--level N] [--buffers N]
#
# The encoders:
#   lossless (default) the lossless sample: every frame compressed as a PNG
#           image with zlib (--level, default 6) on the thread that calls
#           it, with the audio as PCM, into an AVI. Every decoded frame must
#           equal the editor's own, and the audio too. The editor's cost is
#           chosen to balance the encoder's own time on this machine,
#           unless --host-cost says otherwise.
#   ffmpeg  the ffmpeg sample: the frames go to Debian's ffmpeg,
#           which encodes H.264 with x264 (one thread, so that both exports
#           give the same bytes) and AAC into an MP4. The editor's cost is
#           chosen to balance ffmpeg's own time on this machine, unless
#           --host-cost says otherwise.
#   avi     the synthetic encoder: passes of the same smoothing as the
#           editor's (--encoder-cost), then an uncompressed AVI.
# The host cost is passes of a smoothing over each frame on the editor's
# side (its filters).
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=export_checks.sh
source "$here/tools/export_checks.sh"

encoder=lossless
level=6
width=640
height=360
frames=240
rate=30
host_cost=""
encoder_cost=4
buffers=8
usage="usage: tools/demo.sh [--encoder lossless|ffmpeg|avi] [--size WxH] [--frames N] [--host-cost N] [--encoder-cost N] [--level N] [--buffers N]"
while [ $# -gt 0 ]; do
    case "$1" in
    --encoder) encoder="$2"; shift 2 ;;
    --size) width="${2%x*}" height="${2#*x}"; shift 2 ;;
    --frames) frames="$2"; shift 2 ;;
    --host-cost) host_cost="$2"; shift 2 ;;
    --encoder-cost) encoder_cost="$2"; shift 2 ;;
    --level) level="$2"; shift 2 ;;
    --buffers) buffers="$2"; shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
    esac
done
# The synthetic encoder runs behind the timing shim (timed.auo, from
# bench/timing_shim), in both exports, for the latency of its frame requests.
case "$encoder" in
lossless) module=lossless_avi extension=avi direct_plugin=lossless_avi.auo sidecar_module=lossless_avi.auo_ ;;
ffmpeg) module=ffmpeg_pipe extension=mp4 direct_plugin=ffmpeg_pipe.auo sidecar_module=ffmpeg_pipe.auo_ ;;
avi) module=avi_writer extension=avi direct_plugin=timed.auo sidecar_module=timed.auo_; host_cost="${host_cost:-4}" ;;
*) echo "$usage" >&2; exit 2 ;;
esac

fail() {
    echo "demo: $*" >&2
    exit 1
}

"$here/tools/setup.sh" || fail "setup failed"
# shellcheck source=wine-env.sh
source "$here/tools/wine-env.sh" || fail "no Wine route"
echo "== Windows programs run with $OFFLOADER_WINE_LABEL"

build="$here/build/demo-win32"
echo "== building the Windows binaries into $build"
shim=""
[ "$encoder" == avi ] && shim=timing_shim
# shellcheck source=cmake-build.sh
source "$here/tools/cmake-build.sh"
offloader_build "$here" "$build" "sidecar $module $shim host_simulator" \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release || fail "build failed"

# A temporary editor installation: the relay looks for its sub-plugins in
# sidecar\ beside the executable that loaded it, and takes the first one
# there unless told otherwise.
run="$here/build/demo-run"
rm -rf "$run"
mkdir -p "$run/editor/plugins" "$run/editor/sidecar"
if ! { cp "$build/bin/host_simulator.exe" "$run/editor/" &&
    cp "$build/bin/sidecar.auo" "$build/bin/$module.auo" "$run/editor/plugins/" &&
    cp "$build/bin/${sidecar_module%_}" "$run/editor/sidecar/$sidecar_module"; }; then
    fail "cannot lay out $run/editor"
fi
if [ "$encoder" == avi ]; then
    cp "$build/bin/timed.auo" "$run/editor/plugins/" || fail "cannot lay out $run/editor"
    OFFLOADER_TIMED_ENCODER="$(host_winpath "$run/editor/plugins/$module.auo")"
    export OFFLOADER_TIMED_ENCODER
fi

# x264 with one thread gives the same bytes for the same frames, and leaves
# the second core to the editor.
ffmpeg_arguments="-c:v libx264 -preset veryfast -crf 20 -pix_fmt yuv420p -threads 1 -c:a aac -b:a 192k"
clip_shape=(--width "$width" --height "$height" --frames "$frames" --rate "$rate")

# ffmpeg's time for the clip on its own: the same frames and audio encoded
# from files with the same arguments. Wall time, from the first byte read to
# the file closed; with one x264 thread it is what ffmpeg needs of a core.
encoder_alone=""
if [ "$encoder" == ffmpeg ]; then
    echo "== timing ffmpeg alone on the clip"
    host_run "$run/dump.log" "$run/editor/host_simulator.exe" "${clip_shape[@]}" \
        --dump-frames "$(host_winpath "$run/clip.bgr")" --dump-audio "$(host_winpath "$run/clip.pcm")" ||
        fail "cannot dump the clip"
    ffmpeg -v error -f rawvideo -pix_fmt bgr24 -video_size "${width}x$height" -i "$run/clip.bgr" \
        -pix_fmt yuyv422 -f rawvideo -y "$run/clip.yuy2" || fail "cannot convert the clip"
    start="$(date +%s.%N)"
    # shellcheck disable=SC2086
    ffmpeg -v error -nostdin -f rawvideo -pix_fmt yuyv422 -video_size "${width}x$height" -framerate "$rate" \
        -i "$run/clip.yuy2" -f s16le -ar 48000 -ac 2 -i "$run/clip.pcm" $ffmpeg_arguments -y "$run/alone.mp4" ||
        fail "ffmpeg cannot encode the clip"
    encoder_alone="$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.3f", e - s }')"
    rm -f "$run/clip.bgr" "$run/clip.yuy2" "$run/clip.pcm"
    if [ -z "$host_cost" ]; then
        # The editor's time grows by one smoothing pass per frame per unit
        # of cost: pick the cost that makes it as long as ffmpeg's.
        host_run "$run/cost0.log" "$run/editor/host_simulator.exe" "${clip_shape[@]}" --time-host-cost --host-cost 0
        host_run "$run/cost4.log" "$run/editor/host_simulator.exe" "${clip_shape[@]}" --time-host-cost --host-cost 4
        host_cost="$(awk -v a="$encoder_alone" -v t0="$(sed -n 's/^host_seconds=\([0-9.]*\).*/\1/p' "$run/cost0.log")" \
            -v t4="$(sed -n 's/^host_seconds=\([0-9.]*\).*/\1/p' "$run/cost4.log")" \
            'BEGIN { pass = (t4 - t0) / 4; c = pass > 0 ? int((a - t0) / pass + 0.5) : 4; print c < 0 ? 0 : c }')"
    fi
fi

# The lossless encoder works on the editor's thread: in a direct export
# without editor cost, the export's time outside the editor's calls is its
# own. The editor's frames and audio, as the simulator produces them, are
# what every decoded frame and sample must equal.
if [ "$encoder" == lossless ]; then
    host_lossless_settings "$run/encoder.bin" "$level"
    echo "== timing the lossless encoder alone on the clip"
    host_run "$run/dump.log" "$run/editor/host_simulator.exe" "${clip_shape[@]}" \
        --dump-frames "$(host_winpath "$run/clip.bgr")" --dump-audio "$(host_winpath "$run/clip.pcm")" ||
        fail "cannot dump the clip"
    ffmpeg -v error -f rawvideo -pix_fmt bgr24 -video_size "${width}x$height" -framerate "$rate" -i "$run/clip.bgr" \
        -f framemd5 - 2>/dev/null | grep -v '^#' | awk -F', *' '{print $NF}' >"$run/editor.framemd5"
    rm -f "$run/clip.bgr"
    host_run "$run/alone.log" "$run/editor/host_simulator.exe" --plugin "$(host_winpath "$run/editor/plugins/$direct_plugin")" \
        --settings "$(host_winpath "$run/encoder.bin")" --output "$(host_winpath "$run/alone.avi")" "${clip_shape[@]}" \
        --close-message-boxes
    [ "$(host_field "$run/alone.log" result)" == 1 ] || fail "the lossless encoder cannot export the clip"
    encoder_alone="$(awk -v s="$(host_field "$run/alone.log" seconds)" -v h="$(host_field "$run/alone.log" service_seconds)" \
        'BEGIN { printf "%.3f", s - h }')"
    rm -f "$run/alone.avi"
    if [ -z "$host_cost" ]; then
        host_run "$run/cost0.log" "$run/editor/host_simulator.exe" "${clip_shape[@]}" --time-host-cost --host-cost 0
        host_run "$run/cost4.log" "$run/editor/host_simulator.exe" "${clip_shape[@]}" --time-host-cost --host-cost 4
        host_cost="$(awk -v a="$encoder_alone" -v t0="$(sed -n 's/^host_seconds=\([0-9.]*\).*/\1/p' "$run/cost0.log")" \
            -v t4="$(sed -n 's/^host_seconds=\([0-9.]*\).*/\1/p' "$run/cost4.log")" \
            'BEGIN { pass = (t4 - t0) / 4; c = pass > 0 ? int((a - t0) / pass + 0.5) : 4; print c < 0 ? 0 : c }')"
    fi
fi

# The settings the editor would restore: the encoder's own, and for the
# relay its buffer count around the same encoder settings.
if [ "$encoder" == lossless ]; then
    encoder_words="PNG frames at zlib level $level"
elif [ "$encoder" == ffmpeg ]; then
    host_pipe_settings "$run/encoder.bin" /usr/bin/ffmpeg "$ffmpeg_arguments"
    encoder_words="ffmpeg $ffmpeg_arguments"
else
    host_writer_settings "$run/encoder.bin" "$encoder_cost"
    encoder_words="encoder cost $encoder_cost"
fi
host_relay_settings "$run/relay.bin" "$buffers" "$sidecar_module" "$run/encoder.bin"

clip=("${clip_shape[@]}" --host-cost "$host_cost" --close-message-boxes)
echo "== exporting ${width}x${height}, $frames frames, host cost $host_cost, $encoder_words"

# export_once NAME PLUGIN SETTINGS: one export into $run/NAME.$extension.
export_once() {
    local name="$1" plugin="$2" settings="$3"
    OFFLOADER_TIMING_STATS="$(host_winpath "$run/$name.stats")" host_run "$run/$name.log" \
        "$run/editor/host_simulator.exe" --plugin "$(host_winpath "$run/editor/plugins/$plugin")" \
        --settings "$(host_winpath "$settings")" --output "$(host_winpath "$run/$name.$extension")" "${clip[@]}"
    local result
    result="$(host_field "$run/$name.log" result)"
    if [ "$result" != 1 ]; then
        echo "--- $run/$name.log"
        tr '\r' '\n' <"$run/$name.log" | grep -av '^\[' | tail -15
        fail "the $name export failed (result ${result:-none})"
    fi
    local foreign
    foreign="$(host_field "$run/$name.log" foreign_thread_calls)"
    [ "$foreign" == 0 ] || fail "the $name export called the editor from another thread $foreign times"
}
export_once direct "$direct_plugin" "$run/encoder.bin"
export_once relayed sidecar.auo "$run/relay.bin"

duration="$(awk -v f="$frames" -v r="$rate" 'BEGIN { printf "%.6f", f / r }')"
if [ "$encoder" == lossless ]; then
    expected="video=png frames=$frames width=$width height=$height audio=pcm_s16le"
elif [ "$encoder" == ffmpeg ]; then
    expected="video=h264 frames=$frames width=$width height=$height duration=$duration audio=aac audio_duration=$duration"
else
    expected="streams=2 frames=$frames width=$width height=$height duration=$duration"
fi
for name in direct relayed; do
    file="$run/$name.$extension"
    if [ "$encoder" == lossless ]; then
        probe="video=$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of csv=p=0 "$file" 2>/dev/null)"
        probe+=" frames=$(host_frame_count "$file") width=$(ffprobe -v error -select_streams v:0 -show_entries stream=width \
            -of csv=p=0 "$file" 2>/dev/null) height=$(ffprobe -v error -select_streams v:0 -show_entries stream=height \
            -of csv=p=0 "$file" 2>/dev/null)"
        probe+=" audio=$(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name -of csv=p=0 "$file" 2>/dev/null)"
        # The audio, decoded, must be the editor's own, sample for sample.
        ffmpeg -v error -i "$file" -map 0:a -f s16le - 2>/dev/null >"$run/$name.pcm"
        cmp -s "$run/$name.pcm" "$run/clip.pcm" ||
            fail "the $name file's audio is not the editor's ($(stat -c %s "$run/$name.pcm") of $(stat -c %s "$run/clip.pcm") bytes)"
    elif [ "$encoder" == ffmpeg ]; then
        probe="$(host_probe_mp4 "$file")"
    else
        probe="$(host_probe "$file")"
    fi
    echo "ffprobe $name.$extension: $probe"
    [ "$probe" == "$expected" ] || fail "ffprobe of the $name file: '$probe', expected '$expected'"
    host_frame_hashes "$file" >"$run/$name.framemd5"
done
[ "$(wc -l <"$run/direct.framemd5")" -eq "$frames" ] || fail "the direct file does not decode to $frames frames"
cmp -s "$run/direct.framemd5" "$run/relayed.framemd5" || fail "the two files hold different frames (see $run/*.framemd5)"
if [ "$encoder" == lossless ]; then
    cmp -s "$run/direct.framemd5" "$run/editor.framemd5" ||
        fail "the decoded frames are not the editor's own (see $run/*.framemd5)"
    echo "framemd5: $(wc -l <"$run/direct.framemd5") decoded frames, each equal to the editor's, in both files; audio equal to the editor's, sample for sample"
else
    echo "framemd5: $(wc -l <"$run/direct.framemd5") decoded frames, identical in both files"
fi

direct="$(host_field "$run/direct.log" seconds)"
host_share="$(host_field "$run/direct.log" service_seconds)"
relayed="$(host_field "$run/relayed.log" seconds)"
if [ "$encoder" == ffmpeg ]; then
    # ffmpeg is another process: in the direct export it already encodes
    # while the editor produces the next frames, as far as the connection's
    # buffers let it run behind, so the direct export's time outside the
    # editor's calls is not ffmpeg's time. Its own time is measured above;
    # the overlap can at best shorten the export to the longer of the two.
    awk -v d="$direct" -v h="$host_share" -v e="$encoder_alone" -v r="$relayed" 'BEGIN {
        longer = h > e ? h : e
        printf "%-10s %9s %9s %9s\n", "export", "seconds", "host", "encoder"
        printf "%-10s %9.3f %9.3f %9.3f  (ffmpeg alone)\n", "direct", d, h, e
        printf "%-10s %9.3f\n", "relayed", r
        overlap = h + e - d > 0 ? h + e - d : 0
        printf "direct export already overlapped %.3f s of the %.3f s that editor and ffmpeg take in turn\n", overlap, h + e
        printf "speed-up: %.2f (ideal %.2f)\n", d / r, d / longer
    }'
else
    # The direct export runs the editor's work (inside its service calls)
    # and the encoder's work one after the other, so its own timers split it
    # into host = the time spent in the service calls and encoder = the rest.
    # Overlap can at best hide the shorter of the two behind the longer one:
    # the ideal relayed time is max(host, encoder), the ideal speed-up
    # (host + encoder) / max(host, encoder).
    awk -v d="$direct" -v h="$host_share" -v r="$relayed" -v stats="$run/relayed.stats" 'BEGIN {
        e = d - h
        longer = h > e ? h : e
        printf "%-10s %9s %9s %9s\n", "export", "seconds", "host", "encoder"
        printf "%-10s %9.3f %9.3f %9.3f\n", "direct", d, h, e
        printf "%-10s %9.3f\n", "relayed", r
        while ((getline line < stats) > 0) {
            split(line, kv, "=")
            if (kv[1] == "get_video_median_us") median = kv[2]
            if (kv[1] == "get_video_under_20us") fast = kv[2]
            if (kv[1] == "get_video_calls") calls = kv[2]
        }
        # Only the synthetic encoder runs behind the timing shim.
        if (calls != "") printf "relayed get_video: median %s us, %s of %s calls under 20 us\n", median, fast, calls
        printf "speed-up: %.2f (ideal %.2f)\n", d / r, d / longer
    }'
fi
