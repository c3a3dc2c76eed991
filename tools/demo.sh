#!/usr/bin/env bash
# The relay at work: sets the machine up, builds the Windows binaries, and
# under Wine exports the same synthetic clip twice through the host
# simulator: once with the sample encoder loaded directly, once through
# sidecar.auo with the encoder in the editor's sidecar\ folder. Both files
# are checked with ffprobe and must hold identical frames; the last line
# compares the two export times with the best the overlap could give.
#
#   tools/demo.sh [--size WxH] [--frames N] [--host-cost N] [--encoder-cost N] [--buffers N]
#
# The costs are passes of the same smoothing over each frame, on the
# editor's side (its filters) and on the encoder's side (its encoding), so
# equal costs make a balanced export.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=host/export_checks.sh
source "$here/tools/host/export_checks.sh"

width=640
height=360
frames=240
rate=30
host_cost=4
encoder_cost=4
buffers=8
while [ $# -gt 0 ]; do
    case "$1" in
    --size) width="${2%x*}" height="${2#*x}"; shift 2 ;;
    --frames) frames="$2"; shift 2 ;;
    --host-cost) host_cost="$2"; shift 2 ;;
    --encoder-cost) encoder_cost="$2"; shift 2 ;;
    --buffers) buffers="$2"; shift 2 ;;
    *) echo "usage: tools/demo.sh [--size WxH] [--frames N] [--host-cost N] [--encoder-cost N] [--buffers N]" >&2
       exit 2 ;;
    esac
done

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
mkdir -p "$build"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; fail "configure failed"; }
cmake --build "$build" --target sidecar avi_writer host_simulator >"$build.build.log" 2>&1 ||
    { grep -E "error|FAILED" "$build.build.log" | head -30; fail "build failed"; }

# A temporary editor installation: the relay looks for its sub-plugins in
# sidecar\ beside the executable that loaded it, and takes the first one
# there unless told otherwise.
run="$here/build/demo-run"
rm -rf "$run"
mkdir -p "$run/editor/plugins" "$run/editor/sidecar"
cp "$build/bin/host_simulator.exe" "$run/editor/" &&
    cp "$build/bin/sidecar.auo" "$build/bin/avi_writer.auo" "$run/editor/plugins/" &&
    cp "$build/bin/avi_writer.auo" "$run/editor/sidecar/avi_writer.auo_" || fail "cannot lay out $run/editor"

# The settings the editor would restore: the encoder's cost, and for the
# relay its buffer count around the same encoder settings.
host_writer_settings "$run/writer.bin" "$encoder_cost"
host_relay_settings "$run/relay.bin" "$buffers" avi_writer.auo_ "$run/writer.bin"

clip=(--width "$width" --height "$height" --frames "$frames" --rate "$rate" --host-cost "$host_cost"
    --close-message-boxes)
echo "== exporting ${width}x${height}, $frames frames, host cost $host_cost, encoder cost $encoder_cost"

# export_once NAME PLUGIN SETTINGS: one export into $run/NAME.avi.
export_once() {
    local name="$1" plugin="$2" settings="$3"
    host_run "$run/$name.log" "$run/editor/host_simulator.exe" --plugin "$(host_winpath "$run/editor/plugins/$plugin")" \
        --settings "$(host_winpath "$settings")" --output "$(host_winpath "$run/$name.avi")" "${clip[@]}"
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
export_once direct avi_writer.auo "$run/writer.bin"
export_once relayed sidecar.auo "$run/relay.bin"

duration="$(awk -v f="$frames" -v r="$rate" 'BEGIN { printf "%.6f", f / r }')"
expected="streams=2 frames=$frames width=$width height=$height duration=$duration"
for name in direct relayed; do
    probe="$(host_probe "$run/$name.avi")"
    echo "ffprobe $name.avi: $probe"
    [ "$probe" == "$expected" ] || fail "ffprobe of the $name file: '$probe', expected '$expected'"
    host_frame_hashes "$run/$name.avi" >"$run/$name.framemd5"
done
[ "$(wc -l <"$run/direct.framemd5")" -eq "$frames" ] || fail "the direct file does not decode to $frames frames"
cmp -s "$run/direct.framemd5" "$run/relayed.framemd5" || fail "the two files hold different frames (see $run/*.framemd5)"
echo "framemd5: $(wc -l <"$run/direct.framemd5") frames, identical in both files"

# The direct export runs the editor's work (inside its service calls) and
# the encoder's work one after the other, so its own timers split it into
# host = the time spent in the service calls and encoder = the rest. Overlap
# can at best hide the shorter of the two behind the longer one: the ideal
# relayed time is max(host, encoder), the ideal speed-up
# (host + encoder) / max(host, encoder).
direct="$(host_field "$run/direct.log" seconds)"
host_share="$(host_field "$run/direct.log" service_seconds)"
relayed="$(host_field "$run/relayed.log" seconds)"
awk -v d="$direct" -v h="$host_share" -v r="$relayed" -v stats="$run/relayed.avi.stats" 'BEGIN {
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
    printf "relayed get_video: median %s us, %s of %s calls under 20 us\n", median, fast, calls
    printf "speed-up: %.2f (ideal %.2f)\n", d / r, d / longer
}'
