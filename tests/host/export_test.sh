#!/usr/bin/env bash
# Whole exports under Wine through the host simulator and the sample
# encoder, in two ways: the encoder loaded directly, as the editor loads an
# output plugin, and relayed, with sidecar.auo in the editor's plugin folder
# and the encoder in sidecar\ beside the editor's executable. The files are
# read back with ffprobe and ffmpeg and compared with the simulator's own
# frames and audio. The first exports run the encoder behind the timing shim
# (timed.auo, the benchmark's), whose statistics count what it was handed.
# Usage: export_test.sh BIN_FOLDER
set -uo pipefail
bin="$(cd "$1" && pwd)"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# shellcheck source=../../tools/export_checks.sh
source "$here/tools/export_checks.sh"

# One virtual display for every case: message boxes need one, and starting
# it once keeps the cases quick.
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" bash "${BASH_SOURCE[0]}" "$@"
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/host-export.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# The relayed layout: the relay looks for sidecar\ beside the executable.
editor="$work/editor"
mkdir -p "$editor/plugins" "$editor/sidecar"
cp "$bin/host_simulator.exe" "$editor/" &&
    cp "$bin/sidecar.auo" "$editor/plugins/" &&
    cp "$bin/avi_writer.auo" "$editor/sidecar/avi_writer.auo_" &&
    cp "$bin/timed.auo" "$editor/sidecar/timed.auo_" || exit 1
# The encoder the timing shim runs, wherever it is loaded from.
OFFLOADER_TIMED_ENCODER="$(host_winpath "$bin/avi_writer.auo")"
export OFFLOADER_TIMED_ENCODER

# shellcheck source=cases.sh
source "$here/tests/host/cases.sh"
same_bytes() { cmp -s "$1" "$2" && echo same || echo differ; }

# export_clip MODE LOG ENCODER_COST SIMULATOR_ARGS...: one export, with the
# encoder's cost restored from a settings record (nested in the relay's own
# record, with 4 read-ahead buffers, when relayed). The encoder is the module
# named in $through: avi_writer, or timed for the encoder behind the timing
# shim, which then writes its statistics to $work/MODE.stats.
through=avi_writer
export_clip() {
    local mode="$1" log="$2" cost="$3"
    shift 3
    host_writer_settings "$work/$mode-writer.bin" "$cost"
    export OFFLOADER_TIMING_STATS
    OFFLOADER_TIMING_STATS="$(host_winpath "$work/$mode.stats")"
    if [ "$mode" == direct ]; then
        cp "$work/$mode-writer.bin" "$work/$mode-settings.bin"
        host_run "$log" "$bin/host_simulator.exe" --plugin "$(host_winpath "$bin/$through.auo")" \
            --settings "$(host_winpath "$work/$mode-settings.bin")" "$@"
    else
        host_relay_settings "$work/$mode-settings.bin" 4 "$through.auo_" "$work/$mode-writer.bin"
        host_run "$log" "$editor/host_simulator.exe" --plugin "$(host_winpath "$editor/plugins/sidecar.auo")" \
            --settings "$(host_winpath "$work/$mode-settings.bin")" "$@"
    fi
}

# written_counts MODE AVI: what the sample encoder once counted itself, from
# where it now stands: the frames in the file, the flags and samples it was
# handed and its frame requests (the timing shim's statistics), and the cost
# it holds after the export (its saved settings, nested after the relay's
# 268-byte header when relayed).
written_counts() {
    local mode="$1" avi="$2" offset=8 key
    [ "$mode" == relayed ] && offset=$((268 + 8))
    printf 'frames_written=%s ' "$(host_frame_count "$avi")"
    for key in flagged_frames audio_samples; do
        printf '%s ' "$(grep -E "^$key=" "$work/$mode.stats")"
    done
    printf 'encoder_cost=%s ' "$(od -An -tu4 -j "$offset" -N4 "$work/$mode-saved.bin" | tr -d ' ')"
    printf '%s ' "$(grep -E '^get_video_calls=' "$work/$mode.stats")"
}

host_run "$work/dump.log" "$bin/host_simulator.exe" --width 64 --height 48 --frames 300 \
    --dump-frames "$(host_winpath "$work/clip.bgr")" --dump-audio "$(host_winpath "$work/clip.pcm")"
head -c $((64 * 48 * 3 * 45)) "$work/clip.bgr" >"$work/clip45.bgr"
head -c $((72000 * 4)) "$work/clip.pcm" >"$work/clip45.pcm"

through=timed
for mode in direct relayed; do
    begin_case "$mode: a 64x48 clip of 45 frames with audio arrives frame for frame and sample for sample"
    avi="$work/$mode.avi"
    export_clip "$mode" "$work/$mode.log" 2 --output "$(host_winpath "$avi")" --width 64 --height 48 --frames 45 \
        --keyframe-every 7 --host-cost 2 --save-settings "$(host_winpath "$work/$mode-saved.bin")"
    expect "the export succeeds" "$(host_field "$work/$mode.log" result)" 1
    settings_bytes="$(stat -c %s "$work/$mode-settings.bin")"
    expect "the whole settings block is taken" "$(grep -a '^config_set=' "$work/$mode.log" | tr -d '\r')" \
        "config_set=$settings_bytes bytes=$settings_bytes"
    expect "every service call comes from the simulator's main thread" \
        "$(host_field "$work/$mode.log" foreign_thread_calls)" 0
    expect "the editor hands out no frame twice and none outside the clip" \
        "$(host_field "$work/$mode.log" video_calls) $(host_field "$work/$mode.log" null_frames)" "45 0"
    expect "the audio is asked for a second at a time" "$(host_field "$work/$mode.log" audio_calls)" 2
    expect "ffprobe sees two streams, 45 frames of 64x48, 1.5 seconds" "$(host_probe "$avi")" \
        "streams=2 frames=45 width=64 height=48 duration=1.500000"
    ffmpeg -v error -i "$avi" -map 0:v -pix_fmt bgr24 -f rawvideo - >"$work/$mode-decoded.bgr" 2>/dev/null
    expect "the decoded frames are the simulator's pattern, top row first" \
        "$(same_bytes "$work/$mode-decoded.bgr" "$work/clip45.bgr")" same
    expect "the pattern moves: frame 0 and frame 1 differ" "$(host_frame_hashes "$avi" | head -2 | uniq | wc -l)" 2
    ffmpeg -v error -i "$avi" -map 0:a -f s16le - >"$work/$mode-decoded.pcm" 2>/dev/null
    expect "the decoded audio is the simulator's tone" "$(same_bytes "$work/$mode-decoded.pcm" "$work/clip45.pcm")" same
    expect "the statistics count every frame, flag and sample" "$(written_counts "$mode" "$avi")" \
        "frames_written=45 flagged_frames=7 audio_samples=72000 encoder_cost=2 get_video_calls=45 "
    expect "the settings saved after the export are the restored ones" \
        "$(same_bytes "$work/$mode-saved.bin" "$work/$mode-settings.bin")" same
    expect "nothing is left beside the file" "$(find "$work" -name "$mode.avi?*" | wc -l)" 0
    end_case "$work/$mode.log"
done
through=avi_writer

begin_case "direct: without a file name from the editor the configured file is written"
host_writer_settings "$work/configured.bin" 0 "$(host_winpath "$work/configured.avi")"
host_run "$work/configured.log" "$bin/host_simulator.exe" --plugin "$(host_winpath "$bin/avi_writer.auo")" \
    --width 33 --height 17 --frames 5 --no-audio --settings "$(host_winpath "$work/configured.bin")" \
    --dump-frames "$(host_winpath "$work/odd.bgr")"
expect "the export succeeds" "$(host_field "$work/configured.log" result)" 1
expect "the configured file holds one stream of 5 odd-sized frames" "$(host_probe "$work/configured.avi")" \
    "streams=1 frames=5 width=33 height=17 duration=0.166667"
ffmpeg -v error -i "$work/configured.avi" -map 0:v -pix_fmt bgr24 -f rawvideo - >"$work/odd-decoded.bgr" 2>/dev/null
expect "rows padded to 4 bytes decode to the pattern" "$(same_bytes "$work/odd-decoded.bgr" "$work/odd.bgr")" same
expect "nothing is left beside the file" "$(find "$work" -name "configured.avi?*" | wc -l)" 0
end_case "$work/configured.log"

for mode in direct relayed; do
    begin_case "$mode: a cancelled export stops early, quietly, and leaves a valid shorter file"
    avi="$work/$mode-cancelled.avi"
    export_clip "$mode" "$work/$mode-cancelled.log" 0 --output "$(host_winpath "$avi")" --width 64 --height 48 \
        --frames 300 --cancel-after 10 --close-message-boxes
    expect "the export reports failure" "$(host_field "$work/$mode-cancelled.log" result)" 0
    expect "no message box" "$(host_field "$work/$mode-cancelled.log" boxes)" 0
    written="$(host_frame_count "$avi")"
    expect "nothing is left beside the file" "$(find "$work" -name "$mode-cancelled.avi?*" | wc -l)" 0
    expect "it stopped before the end" "$([ -n "$written" ] && [ "$written" -ge 1 ] && [ "$written" -lt 300 ] &&
        echo early)" early
    ffmpeg -v error -i "$avi" -map 0:v -pix_fmt bgr24 -f rawvideo - >"$work/$mode-cancelled.bgr" 2>/dev/null
    expect "the file holds exactly the frames written, from the start of the clip" \
        "$(stat -c %s "$work/$mode-cancelled.bgr") $(cmp -s -n "$(stat -c %s "$work/$mode-cancelled.bgr")" \
            "$work/$mode-cancelled.bgr" "$work/clip.bgr" && echo same)" "$((${written:-0} * 64 * 48 * 3)) same"
    [ "$mode" == direct ] && expect "loaded directly, the frame served with the cancellation is not written" \
        "$written" 9
    end_case "$work/$mode-cancelled.log"
done

caption="$(printf '無圧縮AVI出力 (サンプル)' | iconv -f UTF-8 -t CP932)"
text="$(printf '出力ファイルが2GBを超えるため出力できません。' | iconv -f UTF-8 -t CP932)"
for mode in direct relayed; do
    begin_case "$mode: an export that would pass 2 GiB is refused with the encoder's own message before any file exists"
    export_clip "$mode" "$work/$mode-large.log" 0 --output "$(host_winpath "$work/$mode-large.avi")" \
        --width 1920 --height 1080 --frames 400 --close-message-boxes
    expect "the export fails" "$(host_field "$work/$mode-large.log" result)" 0
    expect "one message box was shown" "$(host_field "$work/$mode-large.log" boxes)" 1
    expect "the box carries the encoder's caption and the size message" \
        "$(grep -a -c -F "message-box: [$caption] $text" "$work/$mode-large.log")" 1
    expect "no file was created" "$([ -e "$work/$mode-large.avi" ] && echo exists || echo absent)" absent
    end_case "$work/$mode-large.log"
done

# A hung encoder (it waits for ever on an event that nobody signals) must
# not make a silent wait of the run: the simulator's watch reports it with
# every thread's stack after the stall limit and ends the process.
cp "$bin/fault_stuck.auo_" "$editor/sidecar/" || exit 1
for mode in direct relayed; do
    begin_case "$mode: a stuck export ends after the stall limit with the stack of every thread"
    plugin="$bin/fault_stuck.auo_"
    settings=()
    if [ "$mode" == relayed ]; then
        plugin="$editor/plugins/sidecar.auo"
        printf 'x' >"$work/stuck-inner.bin"
        host_relay_settings "$work/stuck.bin" 4 fault_stuck.auo_ "$work/stuck-inner.bin"
        settings=(--settings "$(host_winpath "$work/stuck.bin")")
    fi
    host_run "$work/$mode-stuck.log" "$editor/host_simulator.exe" --plugin "$(host_winpath "$plugin")" \
        "${settings[@]}" --output "$(host_winpath "$work/$mode-stuck.avi")" --width 64 --height 48 --frames 30 \
        --stall-seconds 5
    expect "the simulator ends with the stall's exit code" "$?" 4
    expect "it says what made no progress" "$(grep -a -c -F \
        'STALL: no progress for 5 s during the export (the plugin'"'"'s output)' "$work/$mode-stuck.log")" 1
    expect "the debugger printed the stacks" "$(grep -a -c '^Backtrace:' "$work/$mode-stuck.log" | sed 's/^[1-9][0-9]*$/some/')" \
        some
    expect "one of them is the encoder's, waiting" "$(grep -a -c 'in fault_stuck' "$work/$mode-stuck.log" |
        sed 's/^[1-9][0-9]*$/some/')" some
    expect "no result line: the export never returned" "$(grep -a -c '^result=' "$work/$mode-stuck.log")" 0
    end_case "$work/$mode-stuck.log"
done

# The isolated module, beside the editor's executable with its helper: an
# encoder that crashes in output fails that export with a message naming it,
# and the simulator, still running, exports again through a fresh helper.
begin_case "isolated: a crash in output fails the export with a message, and the next export runs"
cp "$bin/sidecar_isolated.auo" "$bin/sidecar_helper.exe" "$editor/" &&
    cp "$bin/fault_crash_output.auo_" "$editor/sidecar/" || exit 1
printf '' >"$work/empty.bin"
host_relay_settings "$work/crash.bin" 8 fault_crash_output.auo_ "$work/empty.bin"
host_writer_settings "$work/again-writer.bin" 0
host_relay_settings "$work/again.bin" 8 avi_writer.auo_ "$work/again-writer.bin"
host_run "$work/crash.log" "$editor/host_simulator.exe" --plugin "$(host_winpath "$editor/sidecar_isolated.auo")" \
    --settings "$(host_winpath "$work/crash.bin")" --then-settings "$(host_winpath "$work/again.bin")" \
    --output "$(host_winpath "$work/again.avi")" --width 64 --height 48 --frames 30 --close-message-boxes
expect "the first export fails" "$(grep -a -c '^export=1 result=0 ' "$work/crash.log")" 1
isolated_caption="$(printf 'Offloader（別プロセス）' | iconv -f UTF-8 -t CP932)"
crash_text="$(printf '出力プラグイン「Fault Encoder」が異常終了しました。' | iconv -f UTF-8 -t CP932)"
expect "one box names the encoder that crashed" \
    "$(grep -a -c -F "message-box: [$isolated_caption] $crash_text" "$work/crash.log")" 1
expect "and the place: the encoder's module" "$(grep -a -c -F 'fault_crash_output.auo_ + 0x' "$work/crash.log")" 1
expect "the second export succeeds" "$(host_field "$work/crash.log" result)" 1
expect "with every frame" "$(host_field "$work/crash.log" frames)" 30
expect "and its file" "$([ -s "$work/again.avi" ] && echo written || echo missing)" written
end_case "$work/crash.log"

end_cases
