#!/bin/sh
# How much faster PROCESS by minimum cuts runs on two threads than on one, on the example tiled
# to SIDE x SIDE cells and stored as GeoTIFF (DEFLATE, tiled), as a planner's inputs are.
# Usage: bench/threads.sh BINARY [SIDE] [ROUNDS] [OTHER_BINARY]
#   SIDE          default 4000
#   ROUNDS        default 5: runs on 1 and on 2 threads, in turn, ROUNDS times each
#   OTHER_BINARY  also run, in the same turns, for a before-and-after on one machine
# PREPROCESS runs once; every run is then `BINARY --seed=1 --threads=T --process config.json`.
# For each binary and thread count it prints the best and every wall time of the whole run and
# of the min-cut method alone (from its "execution" line to its count of flows, from the moment
# each log line arrived), and it checks that every run wrote the same map and, but for its
# timings, the same log. Single runs on a shared machine vary by up to a third: the best of the
# rounds is the figure to compare. Needs gdal_translate (Debian's gdal-bin).
set -eu
if [ $# -lt 1 ] || [ ! -x "$1" ]; then
  echo "usage: $0 path/to/landalloc [side] [rounds] [other-landalloc]" >&2
  exit 2
fi
absolute() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
bins=$(absolute "$1")
side=${2:-4000}
rounds=${3:-5}
if [ $# -ge 4 ]; then bins="$bins $(absolute "$4")"; fi
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=bench/tiled_geotiff.sh
. "$here/tiled_geotiff.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tiled_geotiff_example "$side" "$work"
cd "$work"
"${bins%% *}" --seed=1 --preprocess config.json >/dev/null

# One run: "whole method" seconds on stdout; its log (timings dropped) and map kept for the check.
run() {
  bin=$1 threads=$2 tag=$3
  start=$(date +%s.%N)
  "$bin" --seed=1 --threads="$threads" --process config.json | while IFS= read -r line; do
    echo "$(date +%s.%N) $line"
  done >"$work/stamped"
  awk -v start="$start" '
    / execution$/ { begin = $1 }
    /^[0-9.]+   flows / { end = $1 }
    { last = $1 }
    END { printf "%.2f %.2f\n", last - start, end - begin }' "$work/stamped"
  cut -d' ' -f2- "$work/stamped" | grep -v 'seconds\|elapsed' >"$work/log.$tag"
  cp out/process.tif "$work/map.$tag"
}

for round in $(seq "$rounds"); do
  b=0
  for bin in $bins; do
    b=$((b + 1))
    for threads in 1 2; do
      echo "$b $threads $(run "$bin" "$threads" "$b.$threads.$round")" >>"$work/times"
    done
  done
done
for kind in log map; do
  first=
  for file in "$work/$kind".*; do
    first=${first:-$file}
    cmp -s "$file" "$first" || {
      echo "$0: $(basename "$file") differs from $(basename "$first")" >&2
      exit 1
    }
  done
done
b=0
for bin in $bins; do
  b=$((b + 1))
  awk -v b="$b" -v bin="$bin" -v side="$side" '
    $1 == b {
      t = $2
      whole[t] = whole[t] " " $3; method[t] = method[t] " " $4
      if (!(t in bw) || $3 < bw[t]) bw[t] = $3
      if (!(t in bm) || $4 < bm[t]) bm[t] = $4
    }
    END {
      printf "%s at %d x %d:\n", bin, side, side
      for (t = 1; t <= 2; ++t)
        printf "  %d thread(s): whole run best %.2f s (%s), min-cut method best %.2f s (%s)\n",
               t, bw[t], substr(whole[t], 2), bm[t], substr(method[t], 2)
      printf "  two threads against one: whole run %.2f x, min-cut method %.2f x\n",
             bw[1] / bw[2], bm[1] / bm[2]
    }' "$work/times"
done
echo "every run wrote the same map and log"
