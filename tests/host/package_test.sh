#!/usr/bin/env bash
# The release archive: exactly the files a user needs, the modules as built,
# and notes that a Japanese Windows system reads (code page 932, CRLF).
#   package_test.sh ZIP BIN_DIR
set -euo pipefail
zip="$1" bin="$2"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
fail() { echo "package: $*" >&2; exit 1; }

top="$(basename "$zip" .zip)"
expected="$(printf '%s\n' "$top/README-en.txt" "$top/README-ja.txt" "$top/sample/avi_writer.auo" \
    "$top/sample/ffmpeg_pipe.auo" "$top/sample/lossless_avi.auo" "$top/sidecar.auo" "$top/sidecar_helper.exe" \
    "$top/sidecar_isolated.auo")"
listed="$(cmake -E tar tf "$zip" | grep -v '/$' | sort)"
[ "$listed" == "$expected" ] || fail "the archive holds: $listed"

(cd "$scratch" && cmake -E tar xf "$zip")
for built in sidecar.auo sidecar_isolated.auo sidecar_helper.exe; do
    cmp -s "$scratch/$top/$built" "$bin/$built" || fail "$built is not the built one"
done
cmp -s "$scratch/$top/sample/avi_writer.auo" "$bin/avi_writer.auo" || fail "avi_writer.auo is not the built module"
cmp -s "$scratch/$top/sample/ffmpeg_pipe.auo" "$bin/ffmpeg_pipe.auo" || fail "ffmpeg_pipe.auo is not the built module"
cmp -s "$scratch/$top/sample/lossless_avi.auo" "$bin/lossless_avi.auo" || fail "lossless_avi.auo is not the built module"
# Measuring is the benchmark's (bench/timing_shim): no shipped module names
# a statistics file or writes a request's statistics.
for module in sidecar.auo sidecar_isolated.auo sidecar_helper.exe sample/avi_writer.auo sample/ffmpeg_pipe.auo \
    sample/lossless_avi.auo; do
    ! grep -a -q -F -e '.stats' -e 'get_video_calls=' -e 'OFFLOADER_TIMING' "$scratch/$top/$module" ||
        fail "$module carries measurement"
done
for notes in README-ja.txt README-en.txt; do
    file="$scratch/$top/$notes"
    text="$(iconv -f CP932 -t UTF-8 "$file")" || fail "$notes is not code page 932"
    [ "$(grep -c $'\r$' "$file")" == "$(wc -l <"$file")" ] || fail "$notes has lines without CRLF"
    # Both carry the install steps and the messages the user may meet.
    for words in "sidecar" ".auo_" "出力プラグインが選択されていません。再設定してください。" "ffmpeg_pipe.auo" \
        "ffmpeg が出力の途中で終了しました。" "lossless_avi.auo" \
        "出力ファイルに書き込めませんでした。出力を中止しました。" "sidecar_isolated.auo" "sidecar_helper.exe" \
        "が異常終了しました。"; do
        [[ "$text" == *"$words"* ]] || fail "$notes lacks \"$words\""
    done
done
[[ "$(iconv -f CP932 -t UTF-8 "$scratch/$top/README-ja.txt")" == *"インストール"* ]] || fail "README-ja.txt has no install section"
echo "package: $zip holds the modules and both notes"
