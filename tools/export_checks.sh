# shellcheck shell=bash
# Shell helpers shared by the demo and the export tests: run the host
# simulator under Wine, read its result line, and look at an AVI with
# ffprobe and ffmpeg. Source this file; it defines functions only.

host_checks_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# The Windows name of a Unix path (Wine maps Z: to the root).
host_winpath() {
    local path="$1"
    printf 'Z:%s' "${path//\//\\}"
}

# host_run LOG PROGRAM ARGS...: runs a Windows program under Wine with its
# output in LOG (never through a pipe); returns its exit code.
host_run() {
    local log="$1"
    shift
    "$host_checks_root/tools/wine-run.sh" "$@" >"$log" 2>&1
}

# host_field LOG KEY: the value of KEY on the simulator's result line.
host_field() {
    grep -a '^result=' "$1" | tail -1 | tr -d '\r' | tr ' ' '\n' | sed -n "s/^$2=//p"
}

# host_frame_count FILE: the video frames ffprobe decodes from FILE.
host_frame_count() {
    ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
        -of default=nw=1:nk=1 "$1" 2>/dev/null
}

# host_probe AVI: "streams=N frames=N width=W height=H duration=D", or
# nothing when ffprobe cannot read the file.
host_probe() {
    local avi="$1" streams frames size duration
    streams="$(ffprobe -v error -show_entries format=nb_streams -of default=nw=1:nk=1 "$avi" 2>/dev/null)" || return 1
    frames="$(host_frame_count "$avi")" || return 1
    size="$(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0:s=x "$avi" 2>/dev/null)" ||
        return 1
    duration="$(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$avi" 2>/dev/null)" || return 1
    [ -n "$streams" ] && [ -n "$frames" ] || return 1
    printf 'streams=%s frames=%s width=%s height=%s duration=%s\n' \
        "$streams" "$frames" "${size%x*}" "${size#*x}" "$duration"
}

# host_frame_hashes AVI: one md5 per video frame, in order (the hash column
# of ffmpeg's framemd5, so that container timing does not enter).
host_frame_hashes() {
    ffmpeg -v error -i "$1" -map 0:v -pix_fmt bgr24 -f framemd5 - 2>/dev/null | grep -v '^#' | awk -F', *' '{print $NF}'
}

# host_le32 N: N as four little-endian bytes, in printf escapes.
host_le32() {
    local n="$1"
    printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((n & 255)) $(((n >> 8) & 255)) $(((n >> 16) & 255)) $(((n >> 24) & 255))
}

# host_writer_settings FILE COST [PATH]: the sample encoder's settings
# record (magic, version 1, cost, path length, path bytes).
host_writer_settings() {
    local file="$1" cost="$2" path="${3:-}"
    local LC_ALL=C  # lengths in bytes
    # shellcheck disable=SC2059
    printf "AVWR$(host_le32 1)$(host_le32 "$cost")$(host_le32 ${#path})" >"$file"
    printf '%s' "$path" >>"$file"
}

# host_lossless_settings FILE LEVEL [PATH]: the lossless sample's settings
# record (magic, version 1, zlib level, path length, path bytes).
host_lossless_settings() {
    local file="$1" level="$2" path="${3:-}"
    local LC_ALL=C  # lengths in bytes
    # shellcheck disable=SC2059
    printf "LLAV$(host_le32 1)$(host_le32 "$level")$(host_le32 ${#path})" >"$file"
    printf '%s' "$path" >>"$file"
}

# host_relay_settings FILE BUFFERS SUBPLUGIN INNER: the relay's settings
# record (magic "ikm", buffer count, inner length, 256-byte file name of the
# chosen sub-plugin) wrapped around the sub-plugin's own record INNER.
host_relay_settings() {
    local file="$1" buffers="$2" name="$3" inner="$4" size
    local LC_ALL=C  # lengths in bytes
    size="$(stat -c %s "$inner")"
    # shellcheck disable=SC2059
    {
        printf "ikm\\x00$(host_le32 "$buffers")$(host_le32 "$size")"
        printf '%s' "$name"
        head -c $((256 - ${#name})) /dev/zero
        cat "$inner"
    } >"$file"
}

# host_pipe_settings FILE PROGRAM ARGUMENTS [PATH]: the ffmpeg sample's
# settings record (magic, version 1, then the program, the encoder
# arguments and the output file, each a length and its bytes).
host_pipe_settings() {
    local file="$1" program="$2" arguments="$3" path="${4:-}"
    local LC_ALL=C  # lengths in bytes
    # shellcheck disable=SC2059
    printf "FFPI$(host_le32 1)" >"$file"
    local text
    for text in "$program" "$arguments" "$path"; do
        # shellcheck disable=SC2059
        printf "$(host_le32 ${#text})" >>"$file"
        printf '%s' "$text" >>"$file"
    done
}

# host_probe_mp4 FILE: "video=CODEC frames=N width=W height=H duration=D
# audio=CODEC audio_duration=D" (frames counted by decoding), or nothing
# when ffprobe cannot read the file.
host_probe_mp4() {
    local file="$1" video frames size duration audio audio_duration
    video="$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of default=nw=1:nk=1 "$file" 2>/dev/null)" ||
        return 1
    frames="$(host_frame_count "$file")" || return 1
    size="$(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0:s=x "$file" 2>/dev/null)"
    duration="$(ffprobe -v error -select_streams v:0 -show_entries stream=duration -of default=nw=1:nk=1 "$file" 2>/dev/null)"
    audio="$(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name -of default=nw=1:nk=1 "$file" 2>/dev/null)"
    audio_duration="$(ffprobe -v error -select_streams a:0 -show_entries stream=duration -of default=nw=1:nk=1 "$file" 2>/dev/null)"
    printf 'video=%s frames=%s width=%s height=%s duration=%s audio=%s audio_duration=%s\n' \
        "$video" "$frames" "${size%x*}" "${size#*x}" "$duration" "${audio:-none}" "${audio_duration:-none}"
}
