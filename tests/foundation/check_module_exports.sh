#!/usr/bin/env bash
# Checks a built Quillet module: its export table holds exactly the four
# Lister functions, a Windows module names itself Quillet.wlx64 in it, and a
# Windows module imports nothing but system libraries.
set -euo pipefail
module=$1
expected=$'ListGetDetectString\nListGetPreviewBitmap\nListGetPreviewBitmapW\nListSetDefaultParams'
fail() { echo "FAIL: $*" >&2; exit 1; }

case "$module" in
  *.wlx64)
    dump=$(x86_64-w64-mingw32-objdump -p "$module")
    exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^[ \t]*\[ *[0-9]+\]/{print $NF; next} on && NF==0{on=0}' <<<"$dump" | sort)
    name=$(sed -n 's/^Name[[:space:]]\+[0-9a-f]\+[[:space:]]\+//p' <<<"$dump" | head -n1)
    [ "$name" = "Quillet.wlx64" ] || fail "export directory names '$name', not Quillet.wlx64"
    imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr 'A-Z' 'a-z' | sort -u)
    system_dlls='^(kernel32|user32|gdi32|msvcrt|ole32|oleaut32|windowscodecs|advapi32|shlwapi|shell32|ntdll|api-ms-win-[a-z0-9-]+)\.dll$'
    while IFS= read -r dll; do
      [ -z "$dll" ] && continue
      [[ "$dll" =~ $system_dlls ]] || fail "imports a non-system DLL: $dll"
    done <<<"$imports"
    echo "imports: $(tr '\n' ' ' <<<"$imports")"
    ;;
  *.wlx)
    exports=$(nm -D --defined-only "$module" | awk '{print $NF}' | sort)
    ;;
  *) fail "not a module: $module" ;;
esac

echo "exports of $(basename "$module"):"
sed 's/^/  /' <<<"$exports"
[ "$exports" = "$expected" ] || fail "the export table differs from the four Lister functions"
echo "PASS"
