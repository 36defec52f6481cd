#!/usr/bin/env bash
# Sets everything up, builds Quillet for Linux, and makes the cover thumbnail
# of the sample comic that ships with the project. Prints where the PNG is.
set -euo pipefail
cd "$(dirname "$0")/.."

# Only what the Linux build needs: no cross compiler, Wine or test tools.
bash scripts/setup.sh --sample
cmake --preset sample >/dev/null
cmake --build --preset sample -j "$(nproc)" >/dev/null

tool=build/sample/quillet-thumbnail
echo "detect string: $("$tool" --detect)"
out=$PWD/build/sample-cover.png
if "$tool" --size 256 samples/sample.cbz "$out"; then
  echo "thumbnail of samples/sample.cbz: $out"
else
  status=$?
  echo "no thumbnail was made (exit code $status)"
  exit "$status"
fi
