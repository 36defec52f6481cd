#!/usr/bin/env bash
# Builds the two third-party DLLs that the Windows tests load at run time,
# 7z.64.dll (7-Zip's Format7zF bundle) and unrar64.dll (the unrar library),
# from Debian's own source packages with the mingw-w64 cross compiler.
#
# The DLLs go to a cache outside the work tree:
#   ${QUILLET_CACHE:-$HOME/.cache/quillet}/windows-libs/
# A DLL that is already there is left alone, so a second run is quick.
# QUILLET_REBUILD_WINDOWS_LIBS=1 forces a rebuild of both.
# Sources are fetched and compiled in a temporary folder under the cache,
# which is removed afterwards; nothing is written to the repository.
#
# Needs what scripts/setup.sh installs: deb-src entries, dpkg-dev,
# make, and the posix-thread mingw-w64 x86-64 toolchain.
set -euo pipefail

cache_root="${QUILLET_CACHE:-$HOME/.cache/quillet}"
out="$cache_root/windows-libs"
jobs="${QUILLET_BUILD_JOBS:-2}"
host=x86_64-w64-mingw32
cc="$host-gcc-posix"
cxx="$host-g++-posix"

log() { echo "build-windows-libs: $*"; }
die() { echo "build-windows-libs: error: $*" >&2; exit 1; }

mkdir -p "$out"

# One build at a time per cache: a second caller waits, then finds the DLLs.
exec 9>"$out/.lock"
flock 9

if [ "${QUILLET_REBUILD_WINDOWS_LIBS:-0}" = 1 ]; then
  rm -f "$out/7z.64.dll" "$out/unrar64.dll"
fi

need_7z=1 need_unrar=1
[ -s "$out/7z.64.dll" ] && need_7z=0
[ -s "$out/unrar64.dll" ] && need_unrar=0
if [ "$need_7z" = 0 ] && [ "$need_unrar" = 0 ]; then
  log "7z.64.dll and unrar64.dll already in $out"
  exit 0
fi

for tool in apt-get dpkg-source make flock "$cc" "$cxx" "$host-windres" "$host-objdump" "$host-strip"; do
  command -v "$tool" >/dev/null 2>&1 || die "'$tool' not found; run scripts/setup.sh first"
done

work="$(mktemp -d "$cache_root/build.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$out/logs"

# Unpacks Debian source package $1 into $work/$1 and prints the tree's path.
fetch_source() {
  local pkg=$1 dir="$work/$1" logf="$out/logs/$1-source.log"
  mkdir -p "$dir"
  if ! (cd "$dir" && apt-get source "$pkg") >"$logf" 2>&1; then
    tail -n 20 "$logf" >&2
    die "apt-get source $pkg failed (are deb-src entries enabled and 'apt-get update' run? see scripts/setup.sh)"
  fi
  local tree
  tree="$(find "$dir" -mindepth 1 -maxdepth 1 -type d | head -n 1)"
  [ -n "$tree" ] || die "apt-get source $pkg unpacked nothing"
  echo "$tree"
}

# Lists the DLLs that $1 imports.
imports_of() { "$host-objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p'; }
# Lists the names that $1 exports.
exports_of() {
  "$host-objdump" -p "$1" |
    sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/ s/^[[:space:]]*\[ *[0-9]*\] //p'
}

# Checks that DLL $1 exports each of the names after it and links no MinGW
# runtime DLL (libstdc++, libgcc, libwinpthread), only system ones.
check_dll() {
  local dll=$1 name shown
  shift
  shown="$(basename "$dll" .tmp)"
  local exports imports
  exports="$(exports_of "$dll")"
  imports="$(imports_of "$dll")"
  for name in "$@"; do
    grep -qx "$name" <<<"$exports" || die "$shown does not export $name"
  done
  if grep -qi '^lib' <<<"$imports"; then
    die "$shown needs MinGW runtime DLLs: $(grep -i '^lib' <<<"$imports" | tr '\n' ' ')"
  fi
  log "$shown exports: $(tr '\n' ' ' <<<"$exports")"
  log "$shown imports: $(tr '\n' ' ' <<<"$imports")"
}

elapsed() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

build_7z() {
  local start=$SECONDS src bundle logf="$out/logs/7z-build.log"
  src="$(fetch_source 7zip)"
  log "building 7z.64.dll from $(basename "$src") (log: $logf)"
  bundle="$src/CPP/7zip/Bundles/Format7zF"
  [ -d "$bundle" ] || die "no Format7zF bundle in $(basename "$src")"
  # IS_MINGW selects the Windows code and .dll output, MSYSTEM the POSIX
  # shell commands (rm, mkdir -p). Debian's source has no RAR codecs.
  if ! make -C "$bundle" -f ../../cmpl_gcc.mak -j"$jobs" \
      IS_MINGW=1 MSYSTEM=1 CROSS_COMPILE="$host-" DISABLE_RAR=1 \
      CC="$cc" CXX="$cxx" RC="$host-windres" \
      LDFLAGS_STATIC_3="-static-libgcc -static-libstdc++" >"$logf" 2>&1; then
    tail -n 30 "$logf" >&2
    die "7z.64.dll build failed"
  fi
  # var_gcc.mak puts the objects and the DLL in b/g.
  local dll="$bundle/b/g/7z.dll"
  [ -f "$dll" ] || die "7z.dll not produced (see $logf)"
  "$host-strip" -o "$out/7z.64.dll.tmp" "$dll"
  check_dll "$out/7z.64.dll.tmp" CreateObject GetNumberOfFormats GetHandlerProperty2 GetModuleProp
  mv -f "$out/7z.64.dll.tmp" "$out/7z.64.dll"
  echo "7z.64.dll $(basename "$src") built $(date -u +%Y-%m-%dT%H:%M:%SZ)" >>"$out/stamp"
  log "built 7z.64.dll in $(elapsed $((SECONDS - start)))"
}

build_unrar() {
  local start=$SECONDS src logf="$out/logs/unrar-build.log"
  src="$(fetch_source unrar-nonfree)"
  log "building unrar64.dll from $(basename "$src") (log: $logf)"
  [ -f "$src/dll.def" ] && [ -f "$src/UnRARDll.vcxproj" ] || die "unexpected unrar source layout"
  (
    set -e
    cd "$src" || exit 1
    # MinGW's headers are lower case, and it has no comsupp library behind
    # bstr_t's narrow-string constructor, so give the WMI query wide strings.
    sed -i 's/<Wbemidl\.h>/<wbemidl.h>/' isnt.cpp || exit 1
    sed -i 's/<PowrProf\.h>/<powrprof.h>/' os.hpp || exit 1
    sed -i 's/bstr_t("\([^"]*\)")/bstr_t(L"\1")/g' isnt.cpp || exit 1
    if grep -q '<Wbemidl\.h>\|<PowrProf\.h>\|bstr_t("' isnt.cpp os.hpp; then
      echo "source edits for mingw did not apply" >&2
      exit 1
    fi
    # The library objects of the makefile's DLL target, plus the files of the
    # Windows DLL project (rarpch.cpp only builds its precompiled header).
    local objs
    objs="$(make -s -f makefile --eval 'quillet-objs: ; @echo $(OBJECTS) $(LIB_OBJ)' quillet-objs)" || exit 1
    objs+=" $(grep -o 'ClCompile Include="[^"]*\.cpp"' UnRARDll.vcxproj | sed 's/.*="//; s/\.cpp"$/.o/')"
    printf '%s\n' $objs | grep -vx 'rarpch.o' | sort -u >objects.txt || exit 1
    # Same defines as the DLL project's release configuration (multibyte,
    # no UNICODE); RAR_SMP comes from os.hpp on Windows.
    # shellcheck disable=SC2016
    xargs -P "$jobs" -I{} sh -c \
      'o={}; '"$cxx"' -O2 -DRARDLL -DUNRAR -DSILENT -c "${o%.o}.cpp" -o "$o" || exit 255' \
      <objects.txt || exit 1
    # shellcheck disable=SC2046
    "$cxx" -shared -static -static-libgcc -static-libstdc++ -s -o unrar64.dll \
      $(cat objects.txt) dll.def -lole32 -loleaut32 -lwbemuuid -lpowrprof
  ) >"$logf" 2>&1 || { tail -n 30 "$logf" >&2; die "unrar64.dll build failed"; }
  cp "$src/unrar64.dll" "$out/unrar64.dll.tmp"
  check_dll "$out/unrar64.dll.tmp" RAROpenArchive RAROpenArchiveEx RARReadHeader RARReadHeaderEx \
    RARProcessFile RARProcessFileW RARCloseArchive RARSetCallback RARSetPassword RARGetDllVersion
  mv -f "$out/unrar64.dll.tmp" "$out/unrar64.dll"
  echo "unrar64.dll $(basename "$src") built $(date -u +%Y-%m-%dT%H:%M:%SZ)" >>"$out/stamp"
  log "built unrar64.dll in $(elapsed $((SECONDS - start)))"
}

if [ "$need_unrar" = 1 ]; then build_unrar; fi
if [ "$need_7z" = 1 ]; then build_7z; fi
log "done: $(ls "$out"/*.dll | tr '\n' ' ')"
