#!/usr/bin/env bash
# One process of a thousand requests, mixed valid and broken, that must leave
# nothing behind: no descriptor, no temporary file, no growth of memory, and,
# under valgrind, no byte definitely lost, the unload of the module included.
#
#   run_leak_check.sh PROGRAM MODULE FIXTURE_FOLDER [valgrind]
set -euo pipefail
program=$1
module=$2
fixtures=$3
under=${4:-}

# The module's temporary files go to a folder of this run's own, which must
# be empty at the end.
temporary=$(mktemp -d "${fixtures}-temporary.XXXXXX")
trap 'rm -rf "$temporary"' EXIT

runner=()
if [[ "$under" == valgrind ]]; then
  runner=(valgrind --quiet --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite
          --error-exitcode=99 --keep-debuginfo=yes --num-callers=30
          --suppressions="$(dirname "$0")/third_party.valgrind.supp")
fi
TMPDIR="$temporary" "${runner[@]}" "$program" "$module" "$fixtures" --threads 2 --requests 1000 --leak-check
