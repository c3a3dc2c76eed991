#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine.
# Idempotent and quiet: a second run on a ready machine takes about a second.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${OFFLOADER_WINEPREFIX:-$here/.wine}"
export WINEARCH=win32
export WINEDEBUG=-all

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for p in g++-mingw-w64-i686 wine wine32:i386 xvfb xauth fonts-ipafont-gothic imagemagick ffmpeg locales zip \
         clang libclang-rt-14-dev libgtest-dev cmake ninja-build; do
    have_pkg "$p" || need+=("$p")
done

if [ ${#need[@]} -gt 0 ]; then
    echo "setup: installing ${need[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo_cmd[@]}" dpkg --add-architecture i386
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq >/dev/null
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# Wine speaks code page 932 (strings and file names) only under a generated Japanese locale.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    echo "setup: generating ja_JP.UTF-8"
    "${sudo_cmd[@]}" localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi

# A prefix of the project's own, 32-bit, created once.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "setup: creating Wine prefix $WINEPREFIX"
    LC_ALL=ja_JP.UTF-8 wineboot -i >/dev/null 2>&1 || true
fi

# Settings of the prefix, applied once per version of this list.
stamp="$WINEPREFIX/.offloader-settings-2"
if [ ! -f "$stamp" ]; then
    # Without a window manager every dialog close stalls about 2 s unless Wine manages its own windows.
    LC_ALL=ja_JP.UTF-8 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    # A crashing test program must end, not wait in an interactive debugger.
    LC_ALL=ja_JP.UTF-8 wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Debugger /d 'false' /f >/dev/null 2>&1
    LC_ALL=ja_JP.UTF-8 wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Auto /d 1 /f >/dev/null 2>&1
    wineserver -w
    touch "$stamp"
fi
