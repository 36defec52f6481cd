#!/usr/bin/env bash
# Runs a Windows program under Wine with a prefix of Quillet's own, quietly.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX=${WINEPREFIX:-${QUILLET_WINEPREFIX:-$HOME/.cache/quillet/wineprefix}}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
exec "$wine" "$@"
