#!/usr/bin/env bash
# Sets everything up, builds Quillet for Linux and for Windows, and runs all
# tests: natively (the leak check under valgrind among them), again built
# with AddressSanitizer and UndefinedBehaviorSanitizer, the request mix built
# with ThreadSanitizer, a short run of each fuzz target, then the Windows
# build under Wine. Each part says how long it took.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=${QUILLET_JOBS:-$(nproc)}
part_started=$SECONDS
part_done() {
  echo "== $1 took $((SECONDS - part_started)) s"
  part_started=$SECONDS
}

echo "== Linux build and tests"
cmake --preset linux
cmake --build --preset linux -j "$jobs"
ctest --preset linux -j "$jobs"
part_done "Linux build and tests"

echo "== Linux build and tests with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset asan
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"
part_done "the sanitized build and tests"

echo "== The request mix with ThreadSanitizer"
cmake --preset tsan
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan
part_done "the thread-sanitized request mix"

echo "== Fuzz targets, a short run each"
# A fixed seed: the smoke run explores the same way every time, so that the
# test command's result does not depend on the day's luck; scripts/fuzz.sh
# alone takes a new seed each run for the long searches.
QUILLET_FUZZ_SEED=${QUILLET_FUZZ_SEED:-1} bash scripts/fuzz.sh "${QUILLET_FUZZ_SECONDS:-60}"
part_done "the fuzz targets"

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
part_done "Windows build and tests"
exit "$status"
