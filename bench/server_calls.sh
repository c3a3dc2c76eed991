#!/usr/bin/env bash
# Counts the Wine server's requests per frame of one export, by kind: every
# event signal, wait and message-queue look of a Windows program is such a
# request (a round trip to the server process), so the counts show what a
# handoff between two threads costs under Wine beyond the work itself.
#
#   bench/server_calls.sh PLUGIN [--size WxH] [--host-cost N] [--encoder-cost N] [--buffers N]
#
# PLUGIN is direct (the synthetic encoder loaded by the simulator), relay
# (sidecar.auo), before (the relay that tools/bench.sh --before REV built)
# or floor (floor.auo), each with the encoder behind the
# timing shim as tools/bench.sh runs them. The export runs twice, with 60
# and with 300 frames, each under a fresh server started with its request
# trace (wineserver -d1); the difference divided by 240 leaves out what
# starting Wine costs. Uses the Windows build that tools/bench.sh made
# (build/bench-win32); prints "kind requests-per-frame", largest first.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=../tools/host/export_checks.sh
source "$here/tools/host/export_checks.sh"
# shellcheck source=../tools/wine-env.sh
source "$here/tools/wine-env.sh" || exit 1

plugin="${1:-}"
shift || true
width=640 height=360 host_cost=1 encoder_cost=3 buffers=8
while [ $# -gt 0 ]; do
    case "$1" in
    --size) width="${2%x*}" height="${2#*x}"; shift 2 ;;
    --host-cost) host_cost="$2"; shift 2 ;;
    --encoder-cost) encoder_cost="$2"; shift 2 ;;
    --buffers) buffers="$2"; shift 2 ;;
    *) plugin="" ; break ;;
    esac
done
case "$plugin" in
direct) module=timed.auo ;;
relay) module=sidecar.auo ;;
before) module=sidecar-before.auo ;;
floor) module=floor.auo ;;
*) echo "usage: bench/server_calls.sh direct|relay|before|floor [--size WxH] [--host-cost N] [--encoder-cost N] [--buffers N]" >&2
   exit 2 ;;
esac

bin="$here/build/bench-win32/bin"
[ -f "$bin/sidecar.auo" ] && [ -f "$bin/floor.auo" ] && [ -f "$bin/timed.auo" ] ||
    { echo "server_calls: build the benchmark first (tools/bench.sh --quick)" >&2; exit 1; }
work="$(mktemp -d)"
trap 'wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/editor/plugins" "$work/editor/sidecar"
cp "$bin/host_simulator.exe" "$work/editor/" &&
    cp "$bin/avi_writer.auo" "$bin/timed.auo" "$bin/sidecar.auo" "$bin/floor.auo" "$work/editor/plugins/" &&
    cp "$bin/timed.auo" "$work/editor/sidecar/timed.auo_" || exit 1
if [ "$plugin" == before ]; then
    cp "$here/build/bench-before/win32/bin/sidecar.auo" "$work/editor/plugins/sidecar-before.auo" ||
        { echo "server_calls: no earlier relay (tools/bench.sh --before REV builds one)" >&2; exit 1; }
fi
host_writer_settings "$work/writer.bin" "$encoder_cost"
host_relay_settings "$work/relay.bin" "$buffers" timed.auo_ "$work/writer.bin"
settings="$work/relay.bin"
[ "$plugin" == direct ] && settings="$work/writer.bin"

# count FRAMES: the requests of one export by kind, into $work/FRAMES.txt.
count() {
    local frames="$1"
    wineserver -k 2>/dev/null
    sleep 0.5
    wineserver -f -d1 -p5 >"$work/server-$frames.log" 2>&1 &
    sleep 0.5
    LC_ALL=ja_JP.UTF-8 OFFLOADER_TIMED_ENCODER="$(host_winpath "$work/editor/plugins/avi_writer.auo")" \
        OFFLOADER_TIMING_STATS="$(host_winpath "$work/out.stats")" \
        wine "$work/editor/host_simulator.exe" --plugin "$(host_winpath "$work/editor/plugins/$module")" \
        --settings "$(host_winpath "$settings")" --output "$(host_winpath "$work/out.avi")" \
        --width "$width" --height "$height" --frames "$frames" --host-cost "$host_cost" --no-audio \
        >"$work/export-$frames.log" 2>&1 </dev/null
    [ "$(host_field "$work/export-$frames.log" result)" == 1 ] || { echo "server_calls: the export failed" >&2; exit 1; }
    wineserver -k 2>/dev/null
    wait
    grep -a '^[0-9a-f]*: [a-z_]*(' "$work/server-$frames.log" | awk '{ split($2, a, "("); n[a[1]]++ }
        END { for (k in n) print k, n[k] }' | sort >"$work/$frames.txt"
}
count 60
count 300
join -a 2 -e 0 -o 0,1.2,2.2 "$work/60.txt" "$work/300.txt" |
    awk '{ d = ($3 - $2) / 240; if (d >= 0.05) printf "%-24s %6.2f\n", $1, d; total += d }
         END { printf "%-24s %6.2f\n", "all", total }' | sort -k2 -rn
