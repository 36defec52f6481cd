#!/usr/bin/env bash
# Sets everything up, builds Quillet for Linux and for Windows, and runs all
# tests: natively, then the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=${QUILLET_JOBS:-$(nproc)}

echo "== Linux build and tests"
cmake --preset linux
cmake --build --preset linux -j "$jobs"
ctest --preset linux -j "$jobs"

echo "== Windows build and tests (under Wine)"
cmake --preset windows
cmake --build --preset windows -j "$jobs"
export WINEDEBUG=-all
export WINEPREFIX=${QUILLET_WINEPREFIX:-$HOME/.cache/quillet/wineprefix}
mkdir -p "$WINEPREFIX"
# A persistent wine server and one program run first: otherwise the first
# test starts Wine's helper processes and ctest waits on them.
/usr/lib/wine/wineserver -p || true  # already running is fine
cmake/wine-run.sh build/windows/quillet-thumbnail.exe --detect >/dev/null 2>&1 || true
status=0
ctest --preset windows || status=$?
/usr/lib/wine/wineserver -k || true
exit "$status"
