#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine,
# decides how this machine runs the project's 32-bit Windows programs, and
# creates the project's Wine prefix. Idempotent and quiet: a second run on a
# ready machine takes about a second.
#
# Two routes start a Windows program (see tools/wine-env.sh, which every
# script sources to use the one chosen here):
#   native  the kernel runs 32-bit programs: Debian's 32-bit Wine as it is;
#   qemu    it does not (IA-32 emulation switched off): Debian's 32-bit Wine
#           loader runs under qemu-i386 (QEMU 10, from Debian 13's static
#           qemu-user package, unpacked into .runtime/), talking to the
#           64-bit wineserver.
# OFFLOADER_WINE_ROUTE=native|qemu forces one; by default the kernel is
# asked. A route that cannot work here ends setup with a message.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
runtime="${OFFLOADER_RUNTIME:-$here/.runtime}"
export WINEPREFIX="${OFFLOADER_WINEPREFIX:-$here/.wine}"
export WINEARCH=win32
export WINEDEBUG=-all

say() { echo "setup: $*"; }
die() {
    echo "setup: $*" >&2
    exit 1
}

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive

codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"

# ---------------------------------------------------------------------------
# Packages. A mirror whose index is being synchronised can fail `apt-get
# update` on some lists (seen: the i386 list of the security suite), and then
# leave amd64 libraries at versions whose i386 twins it cannot offer. Retry,
# go on with the lists that did arrive, and when the install cannot be
# resolved, take the candidates of the release suite for both architectures.

# apt_update: 0 when every list arrived; otherwise the first error in
# $apt_update_error after three tries (apt keeps the lists that did arrive).
apt_update_error=""
apt_update() {
    local try out
    for try in 1 2 3; do
        if out="$("${sudo_cmd[@]}" apt-get update 2>&1)" && ! grep -q '^[EW]: Failed to fetch' <<<"$out"; then
            apt_update_error=""
            return 0
        fi
        apt_update_error="$(grep -m1 '^E:' <<<"$out" | cut -c1-160)"
        [ "$try" -lt 3 ] && sleep $((try * 5))
    done
    [ -n "$apt_update_error" ] || apt_update_error="apt-get update failed"
    return 1
}

# apt_install PACKAGE...: installs, or ends setup naming what could not be had.
apt_install() {
    local log how
    log="$(mktemp)"
    local index="index complete"
    apt_update || index="index partly broken after 3 tries: ${apt_update_error#E: }"
    if "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$@" >"$log" 2>&1; then
        how="installed"
    elif "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends -t "$codename" "$@" >"$log" 2>&1; then
        how="installed with candidates from $codename"
    else
        echo "setup: cannot install $*; apt said:" >&2
        grep -E '^(E:| )' "$log" | tail -15 >&2
        rm -f "$log"
        die "a package cannot be had from this machine's mirror ($index)"
    fi
    rm -f "$log"
    say "$how: $* ($index)"
}

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
need=()
# zlib twice: the lossless sample's, linked statically into the Windows
# module, and the host's, for the same codec in the native benchmark and tests.
for p in g++-mingw-w64-i686 binutils wine wine32:i386 wine64 xvfb xauth fonts-ipafont-gothic imagemagick \
    ffmpeg locales zip clang libclang-rt-14-dev libgtest-dev cmake ninja-build libz-mingw-w64-dev zlib1g-dev; do
    have_pkg "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo_cmd[@]}" dpkg --add-architecture i386
    fi
    apt_install "${need[@]}"
fi

# Wine speaks code page 932 (strings and file names) only under a generated Japanese locale.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    say "generating ja_JP.UTF-8"
    "${sudo_cmd[@]}" localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi

# ---------------------------------------------------------------------------
# The route.

# kernel_runs_32bit: runs a three-instruction static i386 program.
kernel_runs_32bit() {
    local dir rc=0
    dir="$(mktemp -d)"
    # shellcheck disable=SC2016  # $1 and $0x80 are the assembler's, not the shell's
    printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' >"$dir/probe.s"
    if ! { as --32 -o "$dir/probe.o" "$dir/probe.s" && ld -m elf_i386 -o "$dir/probe" "$dir/probe.o"; }; then
        rm -rf "$dir"
        die "cannot build the 32-bit probe program (binutils)"
    fi
    "$dir/probe" 2>/dev/null || rc=$?
    rm -rf "$dir"
    return "$rc"
}

wine_lib=/usr/lib/wine
i386_wine=/usr/lib/i386-linux-gnu/wine
if ! [ -x "$wine_lib/wine" ] || ! [ -x "$wine_lib/wineserver32" ] || ! [ -d "$i386_wine/i386-unix" ]; then
    die "Debian's 32-bit Wine (wine32:i386) is not complete: $wine_lib/wine, $wine_lib/wineserver32, $i386_wine/i386-unix"
fi
wine_version="$("$wine_lib/wine64" --version 2>/dev/null | sed -n 's/^wine-\([0-9.]*\).*/\1/p')"
[ -n "$wine_version" ] || die "cannot read Wine's version from $wine_lib/wine64"

requested="${OFFLOADER_WINE_ROUTE:-auto}"
case "$requested" in
auto)
    if kernel_runs_32bit; then route=native; else route=qemu; fi
    ;;
native)
    kernel_runs_32bit ||
        die "OFFLOADER_WINE_ROUTE=native, but this kernel cannot run 32-bit programs (Exec format error); use the qemu route (unset OFFLOADER_WINE_ROUTE or set it to qemu)"
    route=native
    ;;
qemu) route=qemu ;;
*) die "OFFLOADER_WINE_ROUTE is '$requested'; it takes native, qemu or auto" ;;
esac

# fetch_qemu: Debian 13's qemu-user (static binaries) unpacked into
# $runtime/qemu, through an apt configuration of its own so that the
# machine's sources stay as they are.
fetch_qemu() {
    local apt_dir="$runtime/apt" mirror sources try out
    mirror="${OFFLOADER_QEMU_MIRROR:-$(sed -n 's/^URIs: *\(http[^ ]*\/debian\)\/\?$/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)}"
    mirror="${mirror:-http://deb.debian.org/debian}"
    rm -rf "$apt_dir" "$runtime/qemu"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/deb"
    sources="$apt_dir/sources.list"
    echo "deb [arch=amd64] $mirror trixie main" >"$sources"
    local opts=(-o "Dir::Etc::SourceList=$sources" -o "Dir::Etc::SourceParts=/nonexistent"
        -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o "APT::Sandbox::User=root")
    for try in 1 2 3; do
        out="$(apt-get "${opts[@]}" update 2>&1)" && ! grep -q '^[EW]: Failed to fetch' <<<"$out" && break
        [ "$try" -lt 3 ] && sleep $((try * 5))
    done
    (cd "$apt_dir/deb" && apt-get "${opts[@]}" download qemu-user >"$apt_dir/download.log" 2>&1) || {
        grep -m1 '^E:' <<<"$out" >&2 || true
        tail -3 "$apt_dir/download.log" >&2
        die "cannot fetch qemu-user from $mirror (trixie), which the qemu route needs"
    }
    dpkg-deb -x "$apt_dir"/deb/qemu-user_*.deb "$runtime/qemu" || die "cannot unpack qemu-user"
    rm -rf "$apt_dir"
}

# write_script PATH LINE...: an executable shell script of these lines.
write_script() {
    local path="$1"
    shift
    printf '#!/bin/sh\n' >"$path"
    printf '%s\n' "$@" >>"$path"
    chmod +x "$path"
}

# The runtime folder: bin/wine and bin/wineserver for the route, its name,
# and for qemu the emulator and the loader tree. Rebuilt when the route or
# the layout changes.
#
# Wine keeps its server's folder under TMPDIR (/tmp without one), and backs
# every section of memory without a file (what two processes share) with a
# deleted file in it. On a disk's file system each first write to a page of
# such a section then costs a block reservation: 300 MB written twice took
# 1.28 s against 0.13 s for private memory, and 0.18 s with the folder on a
# tmpfs. Windows backs such sections with the pagefile, as private memory,
# so the route's programs keep the server's folder on /dev/shm where it is
# a tmpfs they can write.
layout=3
server_folder=()
if [ -d /dev/shm ] && [ -w /dev/shm ] && [ "$(stat -f -c %T /dev/shm 2>/dev/null)" == tmpfs ]; then
    server_folder=("export TMPDIR=/dev/shm")
fi
stamp="$runtime/.layout-$layout-$route"
if [ ! -f "$stamp" ]; then
    # A server of the other route may still serve the prefix.
    if [ -x "$runtime/bin/wineserver" ]; then "$runtime/bin/wineserver" -k 2>/dev/null || true; fi
    rm -rf "${runtime:?}/bin" "${runtime:?}/tree" "${runtime:?}"/.layout-*
    mkdir -p "$runtime/bin"
    case "$route" in
    native)
        write_script "$runtime/bin/wine" "${server_folder[@]}" "export WINESERVER=$wine_lib/wineserver32" \
            "exec $wine_lib/wine \"\$@\""
        write_script "$runtime/bin/wineserver" "${server_folder[@]}" "exec $wine_lib/wineserver32 \"\$@\""
        label="Wine $wine_version, 32-bit, native"
        ;;
    qemu)
        [ -x "$wine_lib/wineserver64" ] || die "the qemu route needs wineserver64 (package wine64)"
        qemu="$runtime/qemu/usr/bin/qemu-i386"
        if [ ! -x "$qemu" ] || ! "$qemu" --version >/dev/null 2>&1; then
            say "fetching qemu-user (QEMU 10, Debian 13) into $runtime/qemu"
            fetch_qemu
        fi
        qemu_version="$("$qemu" --version | sed -n 's/^qemu-i386 version \([0-9]*\.[0-9]*\).*/\1/p')"
        case "$qemu_version" in
        [1-9][0-9].*) ;;
        *) die "qemu-i386 in $runtime/qemu is version '${qemu_version:-unknown}'; the qemu route needs 10 or later" ;;
        esac
        # Under QEMU /proc/self/exe is the guest program. From it the loader
        # finds its Unix libraries (bin_dir/../i386-linux-gnu/wine/i386-unix,
        # copied: ntdll.so finds bin_dir again from its own real path) and
        # the program it execs for every new Windows process,
        # "bin_dir/wine-preloader bin_dir/wine ARGS". QEMU cannot follow its
        # guest's execve, so that preloader is a script that starts QEMU
        # again on the loader inside the tree.
        tree="$runtime/tree"
        mkdir -p "$tree/lib/wine" "$tree/lib/i386-linux-gnu/wine" "$tree/share"
        cp "$wine_lib/wine" "$tree/lib/wine/wine"
        write_script "$tree/lib/wine/wine-preloader" "exec $qemu \"\$@\""
        cp -r "$i386_wine/i386-unix" "$tree/lib/i386-linux-gnu/wine/i386-unix"
        ln -s "$i386_wine/i386-windows" "$tree/lib/i386-linux-gnu/wine/i386-windows"
        ln -s /usr/share/wine "$tree/share/wine"
        write_script "$runtime/bin/wine" "${server_folder[@]}" "export WINESERVER=$wine_lib/wineserver64" \
            "exec $qemu $tree/lib/wine/wine \"\$@\""
        write_script "$runtime/bin/wineserver" "${server_folder[@]}" "exec $wine_lib/wineserver64 \"\$@\""
        label="Wine $wine_version, 32-bit, under qemu-i386 $qemu_version"
        ;;
    esac
    echo "$route" >"$runtime/route"
    echo "$label" >"$runtime/label"
    touch "$stamp"
    say "Windows programs run with $label"
fi

# ---------------------------------------------------------------------------
# The prefix: the project's own, 32-bit, created once (under QEMU this takes
# about two minutes).
export PATH="$runtime/bin:$PATH"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    say "creating Wine prefix $WINEPREFIX ($(cat "$runtime/label"))"
    rc=0
    LC_ALL=ja_JP.UTF-8 wine wineboot -i >"$runtime/wineboot.log" 2>&1 || rc=$?
    wineserver -w || true
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        tail -5 "$runtime/wineboot.log" >&2
        rm -rf "$WINEPREFIX"
        die "creating the Wine prefix failed (wineboot exit $rc)"
    fi
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
