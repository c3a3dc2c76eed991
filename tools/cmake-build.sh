# shellcheck shell=bash
# The one way the scripts configure and build a tree: source this, then
#
#   offloader_build SOURCE DIR TARGETS [CMAKE_ARGUMENTS...]
#
# configures DIR from SOURCE with Ninja and the arguments given, and builds
# TARGETS ("all", or several separated by blanks), the logs beside DIR
# (DIR.configure.log, DIR.build.log). On a failure it prints the end of the
# configure log or the build's errors and returns 1.
offloader_build() {
    local source="$1" dir="$2" targets="$3"
    shift 3
    mkdir -p "$(dirname "$dir")"
    if ! cmake -S "$source" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1; then
        tail -30 "$dir.configure.log"
        return 1
    fi
    local target_arguments=()
    # shellcheck disable=SC2206  # the targets are words by design
    [ "$targets" == all ] || target_arguments=(--target $targets)
    if ! cmake --build "$dir" "${target_arguments[@]}" >"$dir.build.log" 2>&1; then
        grep -E "error|FAILED" "$dir.build.log" | head -40
        return 1
    fi
}
