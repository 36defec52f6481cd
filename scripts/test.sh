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
# The prefix is checked (and made, the first time) before any test runs in
# it; this also starts the persistent server the tests share.
runner=build/windows/wine-run.sh
bash scripts/wine-prefix.sh "$runner" build/windows/quillet_windows_probe.exe
status=0
ctest --preset windows || status=$?
"$runner" --server -k || true
exit "$status"
