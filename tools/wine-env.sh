# shellcheck shell=bash
# The one way this project starts its Windows programs. Source it after
# tools/setup.sh has run: it points Wine at the project's prefix and puts
# the route's `wine` and `wineserver` (from .runtime/bin, written by setup:
# Debian's 32-bit Wine, or its loader under qemu-i386) first on PATH, so that
# every later `wine` and `wineserver` is the route's. It defines
# OFFLOADER_ROUTE (native or qemu) and OFFLOADER_WINE_LABEL, the route in
# words for summaries and benchmark tables. Returns non-zero, with a
# message, when setup has not chosen a route yet.

offloader_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
offloader_runtime="${OFFLOADER_RUNTIME:-$offloader_root/.runtime}"
export WINEPREFIX="${OFFLOADER_WINEPREFIX:-$offloader_root/.wine}"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"

if [ -x "$offloader_runtime/bin/wine" ] && [ -f "$offloader_runtime/label" ]; then
    case ":$PATH:" in
    *":$offloader_runtime/bin:"*) ;;
    *) export PATH="$offloader_runtime/bin:$PATH" ;;
    esac
    OFFLOADER_ROUTE="$(cat "$offloader_runtime/route")"
    OFFLOADER_WINE_LABEL="$(cat "$offloader_runtime/label")"
    export OFFLOADER_ROUTE OFFLOADER_WINE_LABEL
else
    echo "no Wine route in $offloader_runtime: run tools/setup.sh first" >&2
    false
fi
