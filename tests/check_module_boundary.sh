#!/usr/bin/env bash
# Fails unless the module exports exactly GetOutputPluginTable (a program,
# named with --program, nothing) and imports only from DLLs that every
# Windows system has.
#   check_module_boundary.sh FILE [--program]
set -euo pipefail
module="$1"
wanted="GetOutputPluginTable"
[ "${2:-}" != --program ] || wanted=""
dump="$(i686-w64-mingw32-objdump -p "$module")"

exports="$(printf '%s\n' "$dump" | awk '/Ordinal\/Name Pointer/{on=1; next} on && /^[ \t]*\[/{print $NF; next} {on=0}')"
echo "exports: $(tr '\n' ' ' <<<"$exports")"
if [ "$exports" != "$wanted" ]; then
    echo "FAIL: exports must be exactly \"$wanted\""
    exit 1
fi

imports="$(printf '%s\n' "$dump" | awk '/DLL Name:/{print tolower($3)}' | sort -u)"
echo "imports: $(tr '\n' ' ' <<<"$imports")"
allowed=" kernel32.dll user32.dll shlwapi.dll ole32.dll avifil32.dll comctl32.dll comdlg32.dll msvcrt.dll gdi32.dll advapi32.dll "
for dll in $imports; do
    case "$allowed" in
        *" $dll "*) ;;
        *) echo "FAIL: imports from $dll, which is not a Windows system DLL"; exit 1 ;;
    esac
done
echo "module boundary ok"
