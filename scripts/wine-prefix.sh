#!/usr/bin/env bash
# Makes sure the Wine prefix of a Windows build is complete before any test
# uses it, and leaves a persistent wine server running in it.
#
#   scripts/wine-prefix.sh RUNNER PROBE [PROBE-ARGS...]
#
# RUNNER is the build's wine-run.sh (it fixes the prefix and the server),
# PROBE a Windows program that exits 0 only when every platform component the
# tests need is reachable. A prefix is trusted only when it was created to the
# end (wineboot, then the server flushed and gone, the registry on disk) and
# the probe passes in it. One that fails either check is created again, once;
# if it still fails, this script fails and says why.
set -euo pipefail

runner=$1
shift
[ -x "$runner" ] || { echo "wine-prefix: no runner $runner (configure the windows preset first)" >&2; exit 1; }
prefix="$("$runner" --prefix)"
marker="$prefix/.quillet-prefix-complete"

log() { echo "wine-prefix: $*"; }
# Every Wine process, the wine server above all, is started without the lock's
# descriptor: a server that inherited it would hold the lock for its life.
run() { "$runner" "$@" 9>&-; }

# What the marker records: the Wine that made the prefix. Another Wine would
# update the prefix on first use, in memory, which is what we avoid.
wine_version="$("$runner" --version 2>/dev/null || echo unknown)"

# The registry files as a finished wineboot leaves them: the imaging factory's
# class is registered there, and the machine hive is far past a skeleton.
registry_complete() {
  [ -f "$prefix/system.reg" ] && [ -f "$prefix/user.reg" ] && [ -f "$prefix/userdef.reg" ] || return 1
  local lines
  lines=$(wc -l <"$prefix/system.reg")
  [ "$lines" -ge 10000 ] || { log "system.reg has only $lines lines"; return 1; }
  grep -qi 'CLSID\\\\{CACAF262-9370-4615-A13B-9F5539DA4C0A}' "$prefix/system.reg" ||
    { log "the imaging factory is not registered in system.reg"; return 1; }
}

trusted() {
  [ -f "$marker" ] && [ "$(cat "$marker")" = "$wine_version" ] && registry_complete
}

create_prefix() {
  log "creating $prefix with $wine_version"
  # No server may keep the old registry in memory and write it back later.
  run --server -k >/dev/null 2>&1 || true
  run --server -w >/dev/null 2>&1 || true
  rm -rf "$prefix"
  mkdir -p "$prefix"
  local start=$SECONDS
  timeout 900 "$runner" wineboot --init >/dev/null 2>&1 9>&- || { log "wineboot --init failed"; return 1; }
  # The server writes the registry to disk when it exits; wait for that.
  timeout 300 "$runner" --server -w 9>&- || { log "the wine server did not exit"; return 1; }
  sync "$prefix"/*.reg
  registry_complete || return 1
  echo "$wine_version" >"$marker"
  sync "$marker"
  log "prefix complete in $((SECONDS - start)) s ($(wc -l <"$prefix/system.reg") lines in system.reg)"
}

probe() {
  run --server -p >/dev/null 2>&1 || true  # an already running server is fine
  timeout 300 "$runner" "$@" 9>&-
}

mkdir -p "$(dirname "$prefix")"
# One creation at a time per prefix.
exec 9>"$prefix.lock"
flock 9

if ! trusted; then
  create_prefix || { log "could not create a complete prefix"; exit 1; }
fi
if ! probe "$@"; then
  log "the probe failed in $prefix: creating it again"
  create_prefix || { log "could not create a complete prefix"; exit 1; }
  probe "$@" || { log "the probe still fails in a new prefix: see the components it names above"; exit 1; }
fi
log "$prefix is complete and its server is running"
