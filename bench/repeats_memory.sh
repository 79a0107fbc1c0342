#!/bin/sh
# What the bookkeeping of many repeats costs: the peak resident size and the wall-clock time of
# --repeats=N (default 1000000) of the tests' small configuration (8 x 5 cells), against
# --repeats=2 of the same, under /usr/bin/time -v. The difference over N - 2 is what one more run
# adds: the runs' own maps come and go, so all that stays is what the outputs need of each run.
# Usage: bench/repeats_memory.sh BINARY [N [THREADS]]
#   THREADS defaults to 2. The log (about 2.8 KB a run) goes to /dev/null; the runs table (about
#   160 bytes a run) to a scratch folder, twice its size while the runs go (its rows wait in a
#   file beside it).
set -eu
if [ $# -lt 1 ] || [ ! -x "$1" ]; then
  echo "usage: $0 path/to/landalloc [repeats [threads]]" >&2
  exit 2
fi
bin="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
repeats=${2:-1000000}
threads=${3:-2}
small="$(cd "$(dirname "$0")/../tests/data/small" && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$small"/* "$work/"
# Islands of one cell are kept, so that no seed of a million leaves a run with nothing selected.
sed -i 's/"purge-limit": 5/"purge-limit": 1/' "$work/small.json"

# Prints "peak_KiB wall" of --repeats=$1.
measure() {
  (cd "$work" && /usr/bin/time -v -o "$work/time" "$bin" --seed=1 --repeats="$1" \
    --threads="$threads" small.json >/dev/null) || {
    cat "$work/time" >&2
    exit 1
  }
  awk -F': ' '/Maximum resident set size/ { kib = $2 } /Elapsed/ { wall = $2 }
    END { print kib, wall }' "$work/time"
}

set -- $(measure 2)
base_kib=$1
echo "--repeats=2 --threads=$threads: peak $1 KiB, $2 (m:ss) wall"
set -- $(measure "$repeats")
echo "--repeats=$repeats --threads=$threads: peak $1 KiB, $2 (m:ss) wall"
awk -v k="$1" -v b="$base_kib" -v n="$repeats" 'BEGIN {
  printf "the runs add %.1f MiB: %.1f bytes a run\n", (k - b) / 1024, (k - b) * 1024 / (n - 2) }'
