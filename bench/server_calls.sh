#!/usr/bin/env bash
# Counts the Wine server's requests per frame of an export, by kind: every
# event signal, wait and message-queue look of a Windows program is such a
# request (a round trip to the server process), so the counts show what a
# handoff between two threads costs under Wine beyond the work itself.
#
#   bench/server_calls.sh PLUGIN [--size WxH] [--host-cost N] [--encoder-cost N] [--buffers N]
#   bench/server_calls.sh --table [--before]
#
# PLUGIN is direct (the synthetic encoder loaded by the simulator), relay
# (sidecar.auo), before (the relay that tools/bench.sh --before REV built)
# or floor (floor.auo), each with the encoder behind the timing shim as
# tools/bench.sh runs them; it prints "kind requests-per-frame", largest
# first. --table measures direct, floor and relay (and the earlier relay
# with --before) in each synthetic balance of tools/bench.sh at 640x360,
# with 8 and 48 buffers, and prints a Markdown table of requests per frame.
#
# The export runs with 60 and with 300 frames, each under a fresh server
# started with its request trace (wineserver -d1). Only the requests that
# the simulator's own threads make between its marks around the plugin's
# output (--trace-marks) are counted, and the difference divided by 240
# leaves out what every export costs once (starting the worker, OLE, the
# slots). Uses the Windows build that tools/bench.sh made (build/bench-win32).
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=../tools/export_checks.sh
source "$here/tools/export_checks.sh"
# shellcheck source=../tools/wine-env.sh
source "$here/tools/wine-env.sh" || exit 1

usage="usage: bench/server_calls.sh direct|relay|before|floor [--size WxH] [--host-cost N] [--encoder-cost N] [--buffers N]
       bench/server_calls.sh --table [--before]"
plugin="${1:-}"
shift || true
width=640 height=360 host_cost=1 encoder_cost=3 buffers=8 with_before=0
while [ $# -gt 0 ]; do
    case "$1" in
    --size) width="${2%x*}" height="${2#*x}"; shift 2 ;;
    --host-cost) host_cost="$2"; shift 2 ;;
    --encoder-cost) encoder_cost="$2"; shift 2 ;;
    --buffers) buffers="$2"; shift 2 ;;
    --before) with_before=1; shift ;;
    *) plugin=""; break ;;
    esac
done
case "$plugin" in
direct | relay | before | floor | --table) ;;
*) echo "$usage" >&2; exit 2 ;;
esac

bin="$here/build/bench-win32/bin"
if ! [ -f "$bin/sidecar.auo" ] || ! [ -f "$bin/floor.auo" ] || ! [ -f "$bin/timed.auo" ]; then
    echo "server_calls: build the benchmark first (tools/bench.sh --quick)" >&2
    exit 1
fi
work="$(mktemp -d)"
trap 'wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/editor/plugins" "$work/editor/sidecar"
cp "$bin/host_simulator.exe" "$work/editor/" &&
    cp "$bin/avi_writer.auo" "$bin/timed.auo" "$bin/sidecar.auo" "$bin/floor.auo" "$work/editor/plugins/" &&
    cp "$bin/timed.auo" "$work/editor/sidecar/timed.auo_" || exit 1
if [ "$plugin" == before ] || [ "$with_before" == 1 ]; then
    cp "$here/build/bench-before/win32/bin/sidecar.auo" "$work/editor/plugins/sidecar-before.auo" ||
        { echo "server_calls: no earlier relay (tools/bench.sh --before REV builds one)" >&2; exit 1; }
fi

# count MODULE SETTINGS FRAMES NAME: the requests of one export by kind,
# into $work/NAME.txt.
count() {
    local module="$1" settings="$2" frames="$3" name="$4"
    wineserver -k 2>/dev/null
    sleep 0.5
    wineserver -f -d1 -p5 >"$work/server.log" 2>&1 &
    sleep 0.5
    LC_ALL=ja_JP.UTF-8 OFFLOADER_TIMED_ENCODER="$(host_winpath "$work/editor/plugins/avi_writer.auo")" \
        OFFLOADER_TIMING_STATS="$(host_winpath "$work/out.stats")" \
        wine "$work/editor/host_simulator.exe" --plugin "$(host_winpath "$work/editor/plugins/$module")" \
        --settings "$(host_winpath "$settings")" --output "$(host_winpath "$work/out.avi")" \
        --width "$width" --height "$height" --frames "$frames" --host-cost "$host_cost" --no-audio --trace-marks \
        >"$work/export.log" 2>&1 </dev/null
    [ "$(host_field "$work/export.log" result)" == 1 ] || { echo "server_calls: the export failed" >&2; exit 1; }
    wineserver -k 2>/dev/null
    wait
    # The trace shows each request twice: as sent ("name( args )") and as
    # answered ("name() = status"); only the first is counted, and only
    # those of the threads of the process that made the marks (the server's
    # answers name them: a process's first thread, and the threads that its
    # threads create in it), from the first mark to the second.
    awk '
        function thread_of(field) { return substr(field, 1, length(field) - 1) }
        match($0, /^[0-9a-f]+: init_first_thread\(\) = 0 \{ pid=[0-9a-f]+/) {
            split(substr($0, 1, RLENGTH), w, "pid="); owner[thread_of($1)] = w[2]
        }
        /^[0-9a-f]+: new_thread\( process=ffffffff/ { creating[$1] = 1 }
        match($0, /^[0-9a-f]+: new_thread\(\) = 0 \{ tid=[0-9a-f]+/) {
            if (creating[$1]) { split(substr($0, 1, RLENGTH), w, "tid="); owner[w[2]] = owner[thread_of($1)] }
            creating[$1] = 0
        }
        /^[0-9a-f]+: create_event\(/ && index($0, "offloader-export-begin\"") { target = owner[thread_of($1)]; on = 1; next }
        /^[0-9a-f]+: create_event\(/ && index($0, "offloader-export-end\"") { on = 0 }
        on && /^[0-9a-f]+: [a-z_]+\(/ && !/^[0-9a-f]+: [a-z_]+\(\) = / {
            t = thread_of($1); split($2, a, "(")
            if ((t in owner) && owner[t] == target) n[a[1]]++
        }
        END { for (k in n) print k, n[k] }' "$work/server.log" | sort >"$work/$name.txt"
}

# per_frame SHORT LONG: requests per frame by kind, "all" first.
per_frame() {
    join -a 2 -e 0 -o 0,1.2,2.2 "$work/$1.txt" "$work/$2.txt" |
        awk '{ d = ($3 - $2) / 240; if (d >= 0.05) printf "%-24s %6.2f\n", $1, d; total += d }
             END { printf "%-24s %6.2f\n", "all", total }' | sort -k2 -rn
}

# measure PLUGIN: requests per frame by kind of one export, as set up by
# the globals (size, costs, buffers).
measure() {
    local module settings="$work/relay.bin"
    case "$1" in
    direct) module=timed.auo settings="$work/writer.bin" ;;
    relay) module=sidecar.auo ;;
    before) module=sidecar-before.auo ;;
    floor) module=floor.auo ;;
    esac
    host_writer_settings "$work/writer.bin" "$encoder_cost"
    host_relay_settings "$work/relay.bin" "$buffers" timed.auo_ "$work/writer.bin"
    count "$module" "$settings" 60 60
    count "$module" "$settings" 300 300
    per_frame 60 300
}

if [ "$plugin" != --table ]; then
    measure "$plugin"
    exit 0
fi

# The table: the balances of tools/bench.sh (editor cost, encoder cost).
plugins=(direct floor relay)
[ "$with_before" == 1 ] && plugins=(direct floor before relay)
header="| scenario | buffers |"
rule="|---|---:|"
for p in "${plugins[@]}"; do
    header+=" $p |"
    rule+="---:|"
done
echo "Wine server requests per frame, 640x360 ($OFFLOADER_WINE_LABEL):"
echo
echo "$header relay: wake-ups | relay: is_abort's pump |"
echo "$rule---:|---:|"
for balance in "host-bound 3 1" "balanced 2 2" "encoder-bound 1 3"; do
    read -r scenario host_cost encoder_cost <<<"$balance"
    for buffers in 8 48; do
        line="| $scenario | $buffers |"
        for p in "${plugins[@]}"; do
            measure "$p" >"$work/$p.kinds"
            line+=" $(sed -n 's/^all *//p' "$work/$p.kinds") |"
        done
        # The relay's requests beyond the floor, by what makes them: the
        # worker's pump of its message queue in is_abort (get_message), and
        # the rest, which come with the editor's thread waiting and waking.
        pump="$(sed -n 's/^get_message *//p' "$work/relay.kinds")"
        wakes="$(awk -v all="$(sed -n 's/^all *//p' "$work/relay.kinds")" -v pump="${pump:-0}" \
            'BEGIN { printf "%.2f", all - pump }')"
        echo "$line $wakes | ${pump:-0.00} |"
    done
done
