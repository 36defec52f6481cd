#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan+UBSan) and runs each for as
# long as asked, on a corpus of its own that starts from the seeds made at
# build time. Prints each target's executions per second and coverage.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS defaults to 60; TARGET is module, image or cover_choice (all three
# by default). QUILLET_FUZZ_SEED fixes the fuzzer's random seed (0, the
# default, takes a new one each run). Crashes, hangs and out-of-memory inputs are kept in
# build/fuzz/findings/TARGET; the run fails when a target finds one.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then targets=(module image cover_choice); fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${QUILLET_JOBS:-$(nproc)}"

build=build/fuzz
status=0
for target in "${targets[@]}"; do
  program="$build/quillet_${target}_fuzzer"
  corpus="$build/corpus/$target"
  findings="$build/findings/$target"
  mkdir -p "$corpus" "$findings"
  # The module's temporary files go to a folder of the run's own, checked
  # empty at the end.
  temporary=$(mktemp -d)
  log="$build/fuzz-$target.log"
  if [ "$target" = module ]; then
    # The module target must reach the real libraries: a kind of archive
    # whose seed comics all get no thumbnail means its library is not
    # reached, and the fuzzing of that kind would be idle.
    TMPDIR="$temporary" QUILLET_FUZZ_DEBUG=1 "$program" -runs=0 "$build/fuzz-seeds/module" \
      >"$build/fuzz-module-seeds.log" 2>&1 || true
    for kind in cbz cb7 cbt cbr; do
      if ! grep -a -q "\.$kind: thumbnail\$" "$build/fuzz-module-seeds.log"; then
        echo "module: no seed .$kind got a thumbnail; is its archive library reachable?"
        status=1
      fi
    done
  fi
  echo "== fuzzing $target for $seconds s"
  run_status=0
  TMPDIR="$temporary" \
    ASAN_OPTIONS="allocator_may_return_null=1:detect_leaks=1:${ASAN_OPTIONS:-}" \
    LSAN_OPTIONS="suppressions=$PWD/tests/support/third_party_leaks.supp:print_suppressions=0" \
    "$program" -max_total_time="$seconds" -seed="${QUILLET_FUZZ_SEED:-0}" -timeout=20 -rss_limit_mb=3072 -max_len=262144 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "$build/fuzz-seeds/$target" \
      >"$log" 2>&1 || run_status=$?
  runs=$(grep -a -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  rate=$(grep -a -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  coverage=$(grep -a -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || echo 0)
  echo "$target: $runs inputs, $rate per second, coverage $coverage"
  if [ -n "$(ls -A "$temporary")" ]; then
    echo "$target: files left in the temporary folder:"; ls -A "$temporary"
    run_status=1
  fi
  rm -rf "$temporary"
  if [ "$run_status" -ne 0 ]; then
    echo "$target: the fuzzer stopped with status $run_status; its log ends:"
    tail -40 "$log"
    status=1
  fi
done
exit "$status"
