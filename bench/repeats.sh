#!/bin/sh
# Repeats of the bundled example: the time of 8 repeats on 2 threads against 1 thread.
# Usage: bench/repeats.sh BINARY [ROUNDS [OPTION...]]
#   ROUNDS (default 3) alternating invocations of --repeats=8 (or of the OPTIONs given, such as a
#   sweep's: bench/sweep.sh) with --threads=1 and --threads=2; the median wall-clock times, their
#   ratio and the parallel efficiency (time on 1 thread / (2 x time on 2 threads)). What one more
#   thread costs in memory is measured by bench/memory.sh, on a grid large enough for the
#   per-cell part to show: the example's 60 000 cells are fewer than the bytes of a thread's stack.
set -eu
if [ $# -lt 1 ] || [ ! -x "$1" ]; then
  echo "usage: $0 path/to/landalloc [rounds [option...]]" >&2
  exit 2
fi
bin="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
rounds=${2:-3}
shift $(($# < 2 ? $# : 2))
[ $# -gt 0 ] || set -- --repeats=8
what="$*"
demo="$(cd "$(dirname "$0")/../examples/demo" && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The example's configuration with its outputs in the scratch folder; its maps are read in place.
# No debug files: repeats would run their best run once more to write them.
sed -e "s#\"out/#\"$work/#g" -e 's#"debug-\(maps\|evolution\)": "yes"#"debug-\1": "no"#' \
  "$demo/config.json" >"$work/config.json"

# Prints "wall user+sys" of one invocation with the options and $1. The options hold no blank;
# they are split at blanks and never globbed ("[1]" in a property).
set -f
measure() {
  (cd "$demo" && /usr/bin/time -f "%e %U %S" -o "$work/time" "$bin" --seed=1 $what "$1" \
    "$work/config.json" >/dev/null)
  awk '{ printf "%s %.2f\n", $1, $2 + $3 }' "$work/time"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

: >"$work/t1"
: >"$work/t2"
i=0
while [ "$i" -lt "$rounds" ]; do
  set -- $(measure --threads=1)
  echo "$what --threads=1: $1 s wall, $2 s CPU"
  echo "$1" >>"$work/t1"
  set -- $(measure --threads=2)
  echo "$what --threads=2: $1 s wall, $2 s CPU"
  echo "$1" >>"$work/t2"
  i=$((i + 1))
done
t1=$(median <"$work/t1")
t2=$(median <"$work/t2")
awk -v t1="$t1" -v t2="$t2" 'BEGIN {
  printf "median wall time: %.2f s on 1 thread, %.2f s on 2 threads: ratio %.3f, efficiency %.0f%%\n",
    t1, t2, t2 / t1, 100 * t1 / (2 * t2) }'

