#!/usr/bin/env bash
# Runs one of the project's Windows programs under the project's own 32-bit
# Wine prefix, by the route setup chose for this machine (tools/wine-env.sh),
# in a Japanese locale (ANSI code page 932), on a virtual display when none
# is set. Output goes through a file: a pipe would be inherited by Wine's
# background services and never reach end-of-file.
set -uo pipefail
# shellcheck source=wine-env.sh
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh" || exit 1
export LC_ALL=ja_JP.UTF-8

log="$(mktemp)"
trap 'rm -f "$log"' EXIT
if [ -n "${DISPLAY:-}" ]; then
    wine "$@" >"$log" 2>&1
else
    xvfb-run -a -s "-screen 0 1024x768x24" wine "$@" >"$log" 2>&1
fi
rc=$?
cat "$log"
exit $rc
