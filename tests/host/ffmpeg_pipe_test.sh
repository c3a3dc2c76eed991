#!/usr/bin/env bash
# The ffmpeg sample under Wine, with Debian's Linux ffmpeg behind it: a
# whole export through the relay read back with ffprobe, and every way the
# export can end badly (no ffmpeg, ffmpeg refusing its arguments at once or
# after frames have flowed, a cancellation, ffmpeg killed mid-export). Each
# bad end must give result 0, the message that belongs to it (none for a
# cancellation), no file of the asked-for name, no partial file, and no
# ffmpeg left running. Usage: ffmpeg_pipe_test.sh BIN_FOLDER
set -uo pipefail
bin="$(cd "$1" && pwd)"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# shellcheck source=../../tools/export_checks.sh
source "$here/tools/export_checks.sh"

if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" bash "${BASH_SOURCE[0]}" "$@"
fi
ffmpeg_program=/usr/bin/ffmpeg
[ -x "$ffmpeg_program" ] || { echo "no $ffmpeg_program: run tools/setup.sh"; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/ffmpeg-pipe.XXXXXX")"
killer=""
# An ffmpeg of this run that a failed case left behind would run for an hour.
trap '[ -n "$killer" ] && kill "$killer" 2>/dev/null; pkill -KILL -f -- "$work" 2>/dev/null; rm -rf "$work"' EXIT

editor="$work/editor"
mkdir -p "$editor/plugins" "$editor/sidecar"
cp "$bin/host_simulator.exe" "$editor/" &&
    cp "$bin/sidecar.auo" "$bin/ffmpeg_pipe.auo" "$editor/plugins/" &&
    cp "$bin/ffmpeg_pipe.auo" "$editor/sidecar/ffmpeg_pipe.auo_" || exit 1

# shellcheck source=cases.sh
source "$here/tests/host/cases.sh"
cp932() { printf '%s' "$1" | iconv -f UTF-8 -t CP932; }
caption="$(cp932 'ffmpeg (H.264/MP4) 出力 (サンプル)')"
# has_box LOG TEXT: "yes" when a message box with the sample's caption
# begins with TEXT (UTF-8 here, code page 932 in the log).
has_box() {
    grep -a -q -F "message-box: [$caption] $(cp932 "$2")" "$1" && echo yes || echo no
}
# ffmpeg processes whose command line names PATTERN (a file of this run).
running_ffmpeg() { pgrep -f -- "$1" | wc -l; }
exists() { [ -e "$1" ] && echo exists || echo absent; }
# stream_field FILE STREAM KEY
stream_field() {
    ffprobe -v error -select_streams "$2" -show_entries "stream=$3" -of default=nw=1:nk=1 "$1" 2>/dev/null | head -1
}

x264=(-c:v libx264 -preset veryfast -crf 20 -pix_fmt yuv420p -threads 1 -c:a aac -b:a 128k)

# export_through MODE LOG SETTINGS OUTPUT SIMULATOR_ARGS...: one export of
# the sample, loaded directly or run by the relay from sidecar\. An export
# that hangs is stopped after a minute and has no result line.
export_through() {
    local mode="$1" log="$2" settings="$3" output="$4"
    shift 4
    local plugin="$editor/plugins/ffmpeg_pipe.auo"
    if [ "$mode" == relayed ]; then
        host_relay_settings "$settings.relay" 4 ffmpeg_pipe.auo_ "$settings"
        settings="$settings.relay"
        plugin="$editor/plugins/sidecar.auo"
    fi
    timeout -k 5 60 "$here/tools/wine-run.sh" "$editor/host_simulator.exe" --plugin "$(host_winpath "$plugin")" \
        --settings "$(host_winpath "$settings")" --output "$(host_winpath "$output")" --close-message-boxes "$@" \
        >"$log" 2>&1
}

# One file name with a character whose second byte in code page 932 is a
# backslash: the path reaches ffmpeg through three encodings.
for mode in direct relayed; do
    begin_case "$mode: a 96x64 clip of 45 frames with audio becomes an MP4 of H.264 and AAC of the same length"
    out="$work/$mode 表示.mp4"
    host_pipe_settings "$work/good.bin" "$ffmpeg_program" "${x264[*]}"
    export_through "$mode" "$work/$mode.log" "$work/good.bin" "$out" --width 96 --height 64 --frames 45 \
        --save-settings "$(host_winpath "$work/$mode-saved.bin")"
    expect "the export succeeds" "$(host_field "$work/$mode.log" result)" 1
    expect "no message box" "$(host_field "$work/$mode.log" boxes)" 0
    expect "every frame is asked for once" "$(host_field "$work/$mode.log" video_calls)" 45
    expect "ffprobe sees H.264 video" "$(stream_field "$out" v:0 codec_name)" h264
    expect "of 96x64" "$(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0:s=x "$out")" \
        96x64
    expect "45 frames are decoded" "$(ffprobe -v error -count_frames -select_streams v:0 \
        -show_entries stream=nb_read_frames -of default=nw=1:nk=1 "$out")" 45
    expect "the video lasts 1.5 seconds" "$(stream_field "$out" v:0 duration)" 1.500000
    expect "the audio is AAC" "$(stream_field "$out" a:0 codec_name)" aac
    expect "the audio lasts 1.5 seconds" "$(stream_field "$out" a:0 duration)" 1.500000
    ffmpeg -v error -i "$out" -map 0:v -f framemd5 - 2>/dev/null | grep -v '^#' | awk -F', *' '{print $NF}' \
        >"$work/$mode.framemd5"
    expect "no partial file is left" "$(exists "$work/$mode 表示.partial.mp4")" absent
    expect "no ffmpeg is left" "$(running_ffmpeg "$work")" 0
    restored="$work/good.bin"
    [ "$mode" == relayed ] && restored="$work/good.bin.relay"
    expect "the settings saved afterwards are the restored ones" \
        "$(cmp -s "$work/$mode-saved.bin" "$restored" && echo same)" same
    end_case "$work/$mode.log"
done
begin_case "the relay's file decodes to the same frames as the direct one"
expect "45 identical frame hashes" "$(cmp -s "$work/direct.framemd5" "$work/relayed.framemd5" && wc -l <"$work/direct.framemd5")" 45
end_case /dev/null

begin_case "relayed: no ffmpeg where the settings point ends the export with a message naming the program"
host_pipe_settings "$work/missing.bin" /usr/bin/ffmpeg-that-is-not-there "${x264[*]}"
export_through relayed "$work/missing.log" "$work/missing.bin" "$work/missing.mp4" --width 96 --height 64 --frames 45
expect "the export fails" "$(host_field "$work/missing.log" result)" 0
expect "one message box" "$(host_field "$work/missing.log" boxes)" 1
expect "it says ffmpeg was not found" \
    "$(has_box "$work/missing.log" "ffmpeg が見つかりません。設定画面で ffmpeg のパスを確認してください。")" yes
expect "and names the program" "$(grep -a -c '^/usr/bin/ffmpeg-that-is-not-there' "$work/missing.log")" 1
expect "the editor was not asked for frames" "$(host_field "$work/missing.log" video_calls)" 0
expect "no file" "$(exists "$work/missing.mp4")" absent
end_case "$work/missing.log"

# Arguments that ffmpeg refuses before it reads a frame, and ones it
# refuses only when the encoder opens, after the first frames have arrived.
# An older file of the asked-for name must survive either. The clip (20 MB
# of frames) is more than the connections' buffers hold, so that ffmpeg
# ends while the sample still has frames to send, whenever it opens the
# encoder.
bad_arguments=("-c:v libx264 -no-such-option 1" "-c:v libx264 -preset no-such-preset")
bad_words=("Unrecognized option 'no-such-option'" "invalid preset 'no-such-preset'")
for i in 0 1; do
    begin_case "relayed: ffmpeg ending early on '${bad_arguments[$i]}' fails the export with its own words"
    out="$work/bad$i.mp4"
    echo "an older export" >"$out"
    host_pipe_settings "$work/bad$i.bin" "$ffmpeg_program" "${bad_arguments[$i]}"
    export_through relayed "$work/bad$i.log" "$work/bad$i.bin" "$out" --width 640 --height 360 --frames 45
    expect "the export fails" "$(host_field "$work/bad$i.log" result)" 0
    expect "one message box" "$(host_field "$work/bad$i.log" boxes)" 1
    expect "it says ffmpeg ended during the export" \
        "$(has_box "$work/bad$i.log" "ffmpeg が出力の途中で終了しました。エンコーダーの引数を確認してください。")" yes
    expect "with ffmpeg's exit code" "$(grep -a -c -F "$(cp932 '終了コード 1')" "$work/bad$i.log")" 1
    expect "and ffmpeg's complaint" "$(grep -a -c -F "${bad_words[$i]}" "$work/bad$i.log")" 1
    expect "the older file is untouched" "$(cat "$out")" "an older export"
    expect "no partial file is left" "$(exists "$work/bad$i.partial.mp4")" absent
    expect "no ffmpeg is left" "$(running_ffmpeg "$work")" 0
    end_case "$work/bad$i.log"
done

# The path a Windows ffmpeg takes (a process handle, its exit code, standard
# error through an inherited file), with a Windows program that refuses
# ffmpeg's arguments: the host simulator itself.
begin_case "relayed: a Windows program that exits on ffmpeg's arguments is reported with its exit code and words"
host_pipe_settings "$work/windows.bin" "$(host_winpath "$editor/host_simulator.exe")" "${x264[*]}"
export_through relayed "$work/windows.log" "$work/windows.bin" "$work/windows.mp4" --width 96 --height 64 --frames 45
expect "the export fails" "$(host_field "$work/windows.log" result)" 0
expect "one message box" "$(host_field "$work/windows.log" boxes)" 1
expect "it says ffmpeg ended during the export" \
    "$(has_box "$work/windows.log" "ffmpeg が出力の途中で終了しました。エンコーダーの引数を確認してください。")" yes
expect "with the program's exit code (2: usage)" "$(grep -a -c -F "$(cp932 '終了コード 2')" "$work/windows.log")" 1
expect "and the last lines it wrote to standard error (its usage)" \
    "$(grep -a -c -F 'The last line reads: result=R' "$work/windows.log")" 1
expect "no file" "$(exists "$work/windows.mp4")" absent
end_case "$work/windows.log"

begin_case "relayed: a cancelled export stops ffmpeg quietly and leaves no file"
host_pipe_settings "$work/cancel.bin" "$ffmpeg_program" "${x264[*]}"
export_through relayed "$work/cancel.log" "$work/cancel.bin" "$work/cancel.mp4" --width 96 --height 64 \
    --frames 3000 --cancel-after 60
expect "the export reports failure" "$(host_field "$work/cancel.log" result)" 0
expect "the editor cancelled it" "$(host_field "$work/cancel.log" cancelled)" 1
expect "no message box" "$(host_field "$work/cancel.log" boxes)" 0
served="$(host_field "$work/cancel.log" video_calls)"
expect "it stopped long before the end" "$([ -n "$served" ] && [ "$served" -lt 3000 ] && echo early)" early
expect "no file" "$(exists "$work/cancel.mp4")" absent
expect "no partial file is left" "$(exists "$work/cancel.partial.mp4")" absent
expect "no ffmpeg is left" "$(running_ffmpeg "$work")" 0
end_case "$work/cancel.log"

# ffmpeg pads the clip with an hour of its last frame, in real time: every
# frame is delivered long before the cancel, and only force stops ffmpeg.
begin_case "relayed: a cancel after every frame was delivered stops ffmpeg at once and leaves no file"
host_pipe_settings "$work/late.bin" "$ffmpeg_program" "${x264[*]} -vf tpad=stop_mode=clone:stop_duration=3600,realtime"
export_through relayed "$work/late.log" "$work/late.bin" "$work/late.mp4" --width 96 --height 64 --frames 15 \
    --cancel-after-seconds 4
expect "every frame was served before the cancel" "$(host_field "$work/late.log" video_calls)" 15
expect "the export reports failure" "$(host_field "$work/late.log" result)" 0
expect "the editor cancelled it" "$(host_field "$work/late.log" cancelled)" 1
expect "no message box" "$(host_field "$work/late.log" boxes)" 0
expect "no file" "$(exists "$work/late.mp4")" absent
expect "no partial file is left" "$(exists "$work/late.partial.mp4")" absent
expect "no ffmpeg is left" "$(running_ffmpeg "$work")" 0
echo "  (the export took $(host_field "$work/late.log" seconds) s, with the cancel at 4 s)"
end_case "$work/late.log"

# The final name is taken by a folder, as a file held open by a player
# would refuse it on Windows.
begin_case "relayed: a finished encode that cannot take its name stays under its partial name, and the message says where"
mkdir -p "$work/taken.mp4"
host_pipe_settings "$work/taken.bin" "$ffmpeg_program" "${x264[*]}"
export_through relayed "$work/taken.log" "$work/taken.bin" "$work/taken.mp4" --width 96 --height 64 --frames 45
expect "the export fails" "$(host_field "$work/taken.log" result)" 0
expect "one message box" "$(host_field "$work/taken.log" boxes)" 1
expect "it says the file could not take its name and was kept" "$(has_box "$work/taken.log" \
    "出力ファイルを指定の名前にできませんでした。エンコードしたファイルは一時的な名前のまま残してあります。")" yes
expect "naming the kept file" "$(grep -a -c -F 'taken.partial.mp4' "$work/taken.log")" 1
expect "and the name asked for" "$(grep -a -c -F "$(cp932 '指定の名前: ')$(host_winpath "$work/taken.mp4")" \
    "$work/taken.log")" 1
expect "the kept file holds the whole encode" "$(ffprobe -v error -count_frames -select_streams v:0 \
    -show_entries stream=nb_read_frames -of default=nw=1:nk=1 "$work/taken.partial.mp4" 2>/dev/null)" 45
expect "no ffmpeg is left" "$(running_ffmpeg "$work")" 0
end_case "$work/taken.log"

begin_case "relayed: a program path in double quotes, as Explorer copies it, is the program within"
host_pipe_settings "$work/quoted.bin" "\"$ffmpeg_program\"" "${x264[*]}"
export_through relayed "$work/quoted.log" "$work/quoted.bin" "$work/quoted.mp4" --width 96 --height 64 --frames 15
expect "the export succeeds" "$(host_field "$work/quoted.log" result)" 1
expect "no message box" "$(host_field "$work/quoted.log" boxes)" 0
expect "ffprobe sees H.264 video" "$(stream_field "$work/quoted.mp4" v:0 codec_name)" h264
end_case "$work/quoted.log"

# 90 frames of 640x360 are more than the connections buffer: ffmpeg stops
# reading while the sample still sends, and exits with success.
begin_case "relayed: arguments that end the encode after 1 s (-t 1) give a 1-second file and a successful export"
host_pipe_settings "$work/short.bin" "$ffmpeg_program" "${x264[*]} -t 1"
export_through relayed "$work/short.log" "$work/short.bin" "$work/short.mp4" --width 640 --height 360 --frames 90
expect "the export succeeds" "$(host_field "$work/short.log" result)" 1
expect "no message box" "$(host_field "$work/short.log" boxes)" 0
expect "the video lasts 1 second" "$(stream_field "$work/short.mp4" v:0 duration)" 1.000000
expect "no partial file is left" "$(exists "$work/short.partial.mp4")" absent
expect "no ffmpeg is left" "$(running_ffmpeg "$work")" 0
end_case "$work/short.log"

# 255 characters as Windows sees the path (Z: and the folders before it):
# the name fits, the partial name does not.
long_name="$(head -c $((255 - ${#work} - 2 - 1 - 4)) /dev/zero | tr '\0' 'd')"
begin_case "relayed: a file name too long for its partial name is refused before anything is encoded"
host_pipe_settings "$work/long.bin" "$ffmpeg_program" "${x264[*]}"
export_through relayed "$work/long.log" "$work/long.bin" "$work/$long_name.mp4" --width 96 --height 64 --frames 45
expect "the path is 255 characters long" "$(printf '%s' "$(host_winpath "$work/$long_name.mp4")" | wc -c)" 255
expect "the export fails" "$(host_field "$work/long.log" result)" 0
expect "one message box" "$(host_field "$work/long.log" boxes)" 1
expect "it says the path is too long" "$(has_box "$work/long.log" \
    "出力ファイルのパスが長すぎるため出力できません。フォルダーまたはファイルの名前を短くしてください。")" yes
expect "the editor was not asked for frames" "$(host_field "$work/long.log" video_calls)" 0
expect "no ffmpeg was started" "$(running_ffmpeg "$work")" 0
expect "no file" "$(find "$work" -maxdepth 1 -name 'ddd*' | wc -l)" 0
end_case "$work/long.log"

begin_case "direct: ffmpeg killed mid-export fails the export with a message, and leaves no file"
host_pipe_settings "$work/killed.bin" "$ffmpeg_program" "${x264[*]}"
# Killed once it writes its output, i.e. once frames are flowing; the editor
# is slow enough (host cost) that the export is far from done by then.
(
    for _ in $(seq 600); do
        if [ -e "$work/killed.partial.mp4" ] && pkill -KILL -f -- "^$ffmpeg_program .*killed.partial"; then exit 0; fi
        sleep 0.05
    done
) &
killer=$!
export_through direct "$work/killed.log" "$work/killed.bin" "$work/killed.mp4" --width 96 --height 64 --frames 3000 \
    --host-cost 20
wait "$killer"
expect "the killer found ffmpeg at work" "$?" 0
killer=""
expect "the export fails" "$(host_field "$work/killed.log" result)" 0
expect "one message box" "$(host_field "$work/killed.log" boxes)" 1
expect "it says ffmpeg ended during the export" \
    "$(has_box "$work/killed.log" "ffmpeg が出力の途中で終了しました。エンコーダーの引数を確認してください。")" yes
expect "with the status of a killed process" "$(grep -a -c -F "$(cp932 '終了コード 137')" "$work/killed.log")" 1
served="$(host_field "$work/killed.log" video_calls)"
expect "the editor was asked for frames, not all of them" \
    "$([ -n "$served" ] && [ "$served" -gt 0 ] && [ "$served" -lt 3000 ] && echo midway)" midway
expect "no file" "$(exists "$work/killed.mp4")" absent
expect "no partial file is left" "$(exists "$work/killed.partial.mp4")" absent
expect "no ffmpeg is left" "$(running_ffmpeg "$work")" 0
end_case "$work/killed.log"

end_cases
