#!/bin/sh
# Repeats of the bundled example: the time of 8 repeats on 2 threads against 1 thread, and the
# memory that one more thread adds, per cell of the grid. Usage: bench/repeats.sh BINARY [ROUNDS]
#   time:   ROUNDS (default 3) alternating invocations of --repeats=8 with --threads=1 and
#           --threads=2; the median wall-clock times, their ratio and the parallel efficiency
#           (time on 1 thread / (2 x time on 2 threads)).
#   memory: the peak resident size of --repeats=2 on 1 thread and on 2 threads (both runs at once);
#           their difference over the cells of the grid is what the second thread adds.
set -eu
if [ $# -lt 1 ] || [ ! -x "$1" ]; then
  echo "usage: $0 path/to/landalloc [rounds]" >&2
  exit 2
fi
bin="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
rounds=${2:-3}
demo="$(cd "$(dirname "$0")/../examples/demo" && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The example's configuration with its outputs in the scratch folder; its maps are read in place.
sed "s#\"out/#\"$work/#g" "$demo/config.json" >"$work/config.json"
cells=$(awk 'tolower($1) == "ncols" { c = $2 } tolower($1) == "nrows" { r = $2 } END { print c * r }' \
  "$demo/maps/terrain_suitability.asc")

# Prints "wall user+sys peak_kb" of one invocation.
measure() {
  (cd "$demo" && /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$bin" --seed=1 "$@" \
    "$work/config.json" >/dev/null)
  awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$work/time"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

: >"$work/t1"
: >"$work/t2"
i=0
while [ "$i" -lt "$rounds" ]; do
  set -- $(measure --repeats=8 --threads=1)
  echo "--repeats=8 --threads=1: $1 s wall, $2 s CPU"
  echo "$1" >>"$work/t1"
  set -- $(measure --repeats=8 --threads=2)
  echo "--repeats=8 --threads=2: $1 s wall, $2 s CPU"
  echo "$1" >>"$work/t2"
  i=$((i + 1))
done
t1=$(median <"$work/t1")
t2=$(median <"$work/t2")
awk -v t1="$t1" -v t2="$t2" 'BEGIN {
  printf "median wall time: %.2f s on 1 thread, %.2f s on 2 threads: ratio %.3f, efficiency %.0f%%\n",
    t1, t2, t2 / t1, 100 * t1 / (2 * t2) }'

set -- $(measure --repeats=2 --threads=1)
one=$3
set -- $(measure --repeats=2 --threads=2)
two=$3
awk -v one="$one" -v two="$two" -v cells="$cells" 'BEGIN {
  printf "peak resident size of --repeats=2: %d KiB on 1 thread, %d KiB on 2 threads\n", one, two
  printf "the second thread adds %.1f bytes per cell (%d cells)\n", (two - one) * 1024 / cells, cells }'
