#!/usr/bin/env bash
# Runs one fuzz target for a bounded time, starting from the committed seed corpus. Inputs the
# fuzzer finds interesting go to the build folder, never into tests/; a crash, timeout or memory
# blow-up is saved under <build>/findings/<target>/ to be fixed, minimised and added to
# tests/fuzz/corpus/<target>/, where the unit tests replay it.
set -eu
if [ $# -ne 3 ]; then
  echo "usage: $0 build-folder target seconds" >&2
  exit 2
fi
build=$1
target=$2
seconds=$3
work="$build/corpus/$target"
findings="$build/findings/$target"
mkdir -p "$work" "$findings"
dict=""
[ -f "tests/fuzz/$target.dict" ] && dict="-dict=tests/fuzz/$target.dict"
echo "fuzzing $target for $seconds s"
# Grids are fuzzed at sizes that run fast; the real grids of tests/data seed them too, and the
# corpus replay reads those whole.
extra=""
seeds="tests/fuzz/corpus/$target"
[ "$target" = grid ] && extra="-max_len=16384" && seeds="$seeds tests/data"
# A pipeline scenario reads at most six grids of 144 cells and a few dozen properties.
[ "$target" = pipeline ] && extra="-max_len=1024"
# The grid target's files go to a folder in memory, removed here even when the fuzzer crashes.
LANDALLOC_FUZZ_WORK=$(mktemp -d /dev/shm/landalloc-fuzz-XXXXXX 2>/dev/null || mktemp -d)
export LANDALLOC_FUZZ_WORK
trap 'rm -rf "$LANDALLOC_FUZZ_WORK"' EXIT
"$build/landalloc_fuzz_$target" $extra -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 $dict -artifact_prefix="$findings/" "$work" $seeds
