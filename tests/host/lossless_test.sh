#!/usr/bin/env bash
# The lossless sample under Wine: whole exports loaded directly and through
# the relay, every frame decoded by ffmpeg and compared with the simulator's
# own frames, the audio with its own samples; and every way an export can
# end without its file: a folder that does not exist, a cancellation, a
# name taken by a folder, a path too long. Each bad end must give result 0,
# the message that belongs to it (none for a cancellation), and no file but
# the one the message names. Usage: lossless_test.sh BIN_FOLDER
set -uo pipefail
bin="$(cd "$1" && pwd)"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# shellcheck source=../../tools/export_checks.sh
source "$here/tools/export_checks.sh"

if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" bash "${BASH_SOURCE[0]}" "$@"
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/lossless.XXXXXX")"
trap 'rm -rf "$work"' EXIT

editor="$work/editor"
mkdir -p "$editor/plugins" "$editor/sidecar"
cp "$bin/host_simulator.exe" "$editor/" &&
    cp "$bin/sidecar.auo" "$bin/lossless_avi.auo" "$editor/plugins/" &&
    cp "$bin/lossless_avi.auo" "$editor/sidecar/lossless_avi.auo_" || exit 1

# shellcheck source=cases.sh
source "$here/tests/host/cases.sh"
cp932() { printf '%s' "$1" | iconv -f UTF-8 -t CP932; }
caption="$(cp932 '可逆圧縮AVI出力 (サンプル)')"
# has_box LOG TEXT: "yes" when a message box with the sample's caption
# begins with TEXT (UTF-8 here, code page 932 in the log).
has_box() {
    grep -a -q -F "message-box: [$caption] $(cp932 "$2")" "$1" && echo yes || echo no
}
exists() { [ -e "$1" ] && echo exists || echo absent; }
stream_field() {
    ffprobe -v error -select_streams "$2" -show_entries "stream=$3" -of default=nw=1:nk=1 "$1" 2>/dev/null | head -1
}
# raw_hashes FILE WIDTH HEIGHT: the framemd5 hash column of top-down BGR
# frames, as the simulator dumps them.
raw_hashes() {
    ffmpeg -v error -f rawvideo -pix_fmt bgr24 -video_size "$2x$3" -framerate 30 -i "$1" -f framemd5 - 2>/dev/null |
        grep -v '^#' | awk -F', *' '{print $NF}'
}

# export_through MODE LOG SETTINGS SIMULATOR_ARGS...: one export of the
# sample, loaded directly or run by the relay from sidecar\ (4 buffers).
export_through() {
    local mode="$1" log="$2" settings="$3"
    shift 3
    local plugin="$editor/plugins/lossless_avi.auo"
    if [ "$mode" == relayed ]; then
        host_relay_settings "$settings.relay" 4 lossless_avi.auo_ "$settings"
        settings="$settings.relay"
        plugin="$editor/plugins/sidecar.auo"
    fi
    timeout -k 5 120 "$here/tools/wine-run.sh" "$editor/host_simulator.exe" --plugin "$(host_winpath "$plugin")" \
        --settings "$(host_winpath "$settings")" --close-message-boxes "$@" >"$log" 2>&1
}

# The simulator's own frames and audio: 66 pixels make 198-byte rows, which
# the editor pads to 200.
host_run "$work/dump.log" "$bin/host_simulator.exe" --width 66 --height 40 --frames 45 \
    --dump-frames "$(host_winpath "$work/clip.bgr")" --dump-audio "$(host_winpath "$work/clip.pcm")"
raw_hashes "$work/clip.bgr" 66 40 >"$work/clip.framemd5"

host_lossless_settings "$work/level1.bin" 1
for mode in direct relayed; do
    begin_case "$mode: a 66x40 clip of 45 frames with audio becomes PNG frames and PCM, frame for frame"
    avi="$work/$mode.avi"
    export_through "$mode" "$work/$mode.log" "$work/level1.bin" --output "$(host_winpath "$avi")" \
        --width 66 --height 40 --frames 45 --save-settings "$(host_winpath "$work/$mode-saved.bin")"
    expect "the export succeeds" "$(host_field "$work/$mode.log" result)" 1
    expect "no message box" "$(host_field "$work/$mode.log" boxes)" 0
    expect "every frame is asked for once" "$(host_field "$work/$mode.log" video_calls)" 45
    expect "the audio is asked for a second at a time" "$(host_field "$work/$mode.log" audio_calls)" 2
    expect "ffprobe sees PNG video tagged MPNG, 66x40, 45 frames" \
        "$(stream_field "$avi" v:0 codec_name),$(stream_field "$avi" v:0 codec_tag_string),$(host_probe "$avi")" \
        "png,MPNG,streams=2 frames=45 width=66 height=40 duration=1.500000"
    host_frame_hashes "$avi" >"$work/$mode.framemd5"
    expect "every decoded frame is the simulator's own" \
        "$(cmp -s "$work/$mode.framemd5" "$work/clip.framemd5" && wc -l <"$work/$mode.framemd5")" 45
    ffmpeg -v error -i "$avi" -map 0:a -f s16le - >"$work/$mode.pcm" 2>/dev/null
    expect "the decoded audio is the simulator's, as long as the clip" \
        "$(stat -c %s "$work/$mode.pcm") $(cmp -s "$work/$mode.pcm" "$work/clip.pcm" && echo same)" \
        "$((72000 * 4)) same"
    expect "no partial file is left" "$(exists "$work/$mode.partial.avi")" absent
    restored="$work/level1.bin"
    [ "$mode" == relayed ] && restored="$work/level1.bin.relay"
    expect "the settings saved afterwards are the restored ones" \
        "$(cmp -s "$work/$mode-saved.bin" "$restored" && echo same)" same
    end_case "$work/$mode.log"
done
begin_case "the relay's file is byte for byte the direct one"
expect "the two files are the same" "$(cmp -s "$work/direct.avi" "$work/relayed.avi" && echo same)" same
end_case /dev/null

begin_case "direct: without a file name from the editor the configured file is written, odd-sized and silent"
host_lossless_settings "$work/configured.bin" 9 "$(host_winpath "$work/configured.avi")"
export_through direct "$work/configured.log" "$work/configured.bin" --width 33 --height 17 --frames 5 --no-audio \
    --dump-frames "$(host_winpath "$work/odd.bgr")"
expect "the export succeeds" "$(host_field "$work/configured.log" result)" 1
expect "the configured file holds one stream of 5 frames of 33x17" "$(host_probe "$work/configured.avi")" \
    "streams=1 frames=5 width=33 height=17 duration=0.166667"
expect "every decoded frame is the simulator's own" \
    "$(host_frame_hashes "$work/configured.avi" | cmp -s - <(raw_hashes "$work/odd.bgr" 33 17) && echo same)" same
end_case "$work/configured.log"

for mode in direct relayed; do
    begin_case "$mode: a cancelled export leaves no file and no partial file, quietly, and an older file as it was"
    echo "an older export" >"$work/$mode-cancel.avi"
    export_through "$mode" "$work/$mode-cancel.log" "$work/level1.bin" \
        --output "$(host_winpath "$work/$mode-cancel.avi")" --width 66 --height 40 --frames 300 --cancel-after 10
    expect "the export reports failure" "$(host_field "$work/$mode-cancel.log" result)" 0
    expect "the editor cancelled it" "$(host_field "$work/$mode-cancel.log" cancelled)" 1
    expect "no message box" "$(host_field "$work/$mode-cancel.log" boxes)" 0
    served="$(host_field "$work/$mode-cancel.log" video_calls)"
    expect "it stopped long before the end" "$([ -n "$served" ] && [ "$served" -lt 300 ] && echo early)" early
    expect "the older file is untouched" "$(cat "$work/$mode-cancel.avi")" "an older export"
    expect "no partial file is left" "$(exists "$work/$mode-cancel.partial.avi")" absent
    end_case "$work/$mode-cancel.log"
done

begin_case "relayed: a folder that does not exist fails the export with the system's words, and leaves no file"
export_through relayed "$work/nofolder.log" "$work/level1.bin" \
    --output "$(host_winpath "$work/no such folder/out.avi")" --width 66 --height 40 --frames 45
expect "the export fails" "$(host_field "$work/nofolder.log" result)" 0
expect "one message box" "$(host_field "$work/nofolder.log" boxes)" 1
expect "it says the file could not be created" "$(has_box "$work/nofolder.log" "出力ファイルを作成できませんでした。")" yes
expect "naming the file" "$(grep -a -c -F "$(host_winpath "$work/no such folder/out.partial.avi")" \
    "$work/nofolder.log")" 1
# ERROR_PATH_NOT_FOUND, in whatever words the system has for it.
expect "with the system's reason and its code" "$(LC_ALL=C grep -a -c -E '[^ ] \(3\)' "$work/nofolder.log")" 1
expect "the editor was not asked for frames" "$(host_field "$work/nofolder.log" video_calls)" 0
expect "no folder or file was made" "$(exists "$work/no such folder")" absent
end_case "$work/nofolder.log"

# A full disk, made by a partial file that is a link to /dev/full: the
# first write fails as a full disk's does. The clip is larger than the
# sample gathers before it writes (1 MiB), so the failure comes mid-export.
# Wine will not delete the link (a device), so whether the file is removed
# is the other cases' to say.
begin_case "direct: a full disk stops the export at the first failed write with the system's words"
ln -s /dev/full "$work/full.partial.avi"
export_through direct "$work/full.log" "$work/level1.bin" --output "$(host_winpath "$work/full.avi")" \
    --width 640 --height 360 --frames 120
expect "the export fails" "$(host_field "$work/full.log" result)" 0
expect "one message box" "$(host_field "$work/full.log" boxes)" 1
expect "it says the file could not be written" \
    "$(has_box "$work/full.log" "出力ファイルに書き込めませんでした。出力を中止しました。")" yes
expect "naming the file" "$(grep -a -c -F "$(host_winpath "$work/full.partial.avi")" "$work/full.log")" 1
# ERROR_DISK_FULL, in whatever words the system has for it.
expect "with the system's reason and its code" "$(LC_ALL=C grep -a -c -E '[^ ] \(112\)' "$work/full.log")" 1
served="$(host_field "$work/full.log" video_calls)"
expect "no frame was asked for after the failure" "$([ -n "$served" ] && [ "$served" -lt 120 ] && echo early)" early
expect "no file of the final name" "$(exists "$work/full.avi")" absent
end_case "$work/full.log"

# The final name is taken by a folder, as a file held open by a player
# would refuse it on Windows.
begin_case "relayed: a finished export that cannot take its name stays under its partial name, and the message says where"
mkdir -p "$work/taken.avi"
export_through relayed "$work/taken.log" "$work/level1.bin" --output "$(host_winpath "$work/taken.avi")" \
    --width 66 --height 40 --frames 45
expect "the export fails" "$(host_field "$work/taken.log" result)" 0
expect "one message box" "$(host_field "$work/taken.log" boxes)" 1
expect "it says the file could not take its name and was kept" "$(has_box "$work/taken.log" \
    "出力ファイルを指定の名前にできませんでした。エンコードしたファイルは一時的な名前のまま残してあります。")" yes
expect "naming the kept file" "$(grep -a -c -F "$(cp932 'エンコードしたファイル: ')$(host_winpath \
    "$work/taken.partial.avi")" "$work/taken.log")" 1
expect "and the name asked for" "$(grep -a -c -F "$(cp932 '指定の名前: ')$(host_winpath "$work/taken.avi")" \
    "$work/taken.log")" 1
expect "the kept file holds every frame" \
    "$(host_frame_hashes "$work/taken.partial.avi" | cmp -s - "$work/clip.framemd5" && echo all)" all
end_case "$work/taken.log"

# 255 characters as Windows sees the path (Z: and the folders before it):
# the name fits, the partial name does not.
long_name="$(head -c $((255 - ${#work} - 2 - 1 - 4)) /dev/zero | tr '\0' 'd')"
begin_case "relayed: a file name too long for its partial name is refused before anything is encoded"
export_through relayed "$work/long.log" "$work/level1.bin" --output "$(host_winpath "$work/$long_name.avi")" \
    --width 66 --height 40 --frames 45
expect "the path is 255 characters long" "$(printf '%s' "$(host_winpath "$work/$long_name.avi")" | wc -c)" 255
expect "the export fails" "$(host_field "$work/long.log" result)" 0
expect "one message box" "$(host_field "$work/long.log" boxes)" 1
expect "it says the path is too long" "$(has_box "$work/long.log" \
    "出力ファイルのパスが長すぎるため出力できません。フォルダーまたはファイルの名前を短くしてください。")" yes
expect "the editor was not asked for frames" "$(host_field "$work/long.log" video_calls)" 0
expect "no file" "$(find "$work" -maxdepth 1 -name 'ddd*' | wc -l)" 0
end_case "$work/long.log"

end_cases
