#!/bin/sh
# Peak memory of the stages on a large grid, per cell. Usage: bench/memory.sh BINARY [SIDE] [REPEAT_SIDE]
#   stages:  the example's maps tiled to SIDE x SIDE cells (default 4000) in a scratch folder, the
#            example's configuration with a short manual PROCESS (2 stages of 200000 moves), no
#            purge (the short PROCESS leaves only small islands) and no debug files; each stage
#            runs alone (--preprocess, then --process on its output, then --postprocess, then
#            --process by minimum cuts; MIN_CUT_ONLY=1 stops there) under
#            /usr/bin/time -v, which gives its peak resident size. The program itself (its code and
#            libraries, GDAL's among them) is about 35 MB of it, 2.2 bytes per cell at 4000 x 4000.
#   threads: the same scenario tiled to REPEAT_SIDE x REPEAT_SIDE (default 2000), --repeats=4 on
#            1 thread and on 2 threads, three times each; the difference of the median peaks over
#            the cells of the grid is what one more thread adds. Four runs, so that on 2 threads
#            two runs also go on beside a best run already kept, as they do on 1 thread. Two runs
#            at once drift apart in time, so single peaks vary by a few megabytes; a thread also
#            adds a few megabytes that do not grow with the grid (its stack, its allocator arena,
#            its grid reading buffers), which is why the grid is not smaller.
#   land uses (LAND_USES=1, in place of the above): the example's land_uses.json on the maps tiled
#            to SIDE x SIDE, its demands scaled with the area, PROCESS by minimum cuts alone: with
#            its first use only, its first two, then all three, on every core and on one thread;
#            the peaks, times, and the bytes per cell each extra use adds (the second also brings
#            the blocks' own maps, which one use, run as a configuration of its own, does without).
set -eu
if [ $# -lt 1 ] || [ ! -x "$1" ]; then
  echo "usage: $0 path/to/landalloc [side] [repeat-side]" >&2
  exit 2
fi
bin="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
side=${2:-4000}
repeat_side=${3:-2000}
here="$(cd "$(dirname "$0")" && pwd)"
demo="$here/../examples/demo"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Tiles each of the example's maps to n x n cells (the rows of the example repeated across and
# down, cut at n) into folder $2.
tile_maps() {
  mkdir -p "$2/maps" "$2/out"
  for map in "$demo"/maps/*.asc; do
    awk -v n="$1" -f "$here/tile.awk" "$map" >"$2/maps/$(basename "$map")"
  done
  sed -e 's/"nmovs": [0-9]*/"nmovs": 200000/' -e 's/"nstages": [0-9]*/"nstages": 2/' \
    -e 's/"method": "min-cut"/"method": "annealing"/' \
    -e 's/"autotunning": "yes"/"autotunning": "no"/' \
    -e 's/"debug-maps": "yes"/"debug-maps": "no"/' \
    -e 's/"debug-evolution": "yes"/"debug-evolution": "no"/' -e 's/"purge-limit": [0-9]*/"purge-limit": 1/' \
    "$demo/config.json" >"$2/config.json"
  sed 's/"method": "annealing"/"method": "min-cut"/' "$2/config.json" >"$2/min-cut.json"
}

# The peak resident size, in KiB, of one invocation in folder $1 (the rest are its arguments).
peak_kib() {
  dir=$1
  shift
  (cd "$dir" && /usr/bin/time -v -o "$work/time" "$bin" --seed=1 "$@" ${config:-config.json} \
    >"$work/log") || {
    cat "$work/log" >&2
    exit 1
  }
  awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }' "$work/time"
}

per_cell() { awk -v k="$1" -v cells="$2" 'BEGIN { printf "%.1f", k * 1024 / cells }'; }

tile_maps "$side" "$work/big"
cells=$((side * side))
if [ -n "${LAND_USES:-}" ]; then
  # Three uses, and the first alone (the same configuration with one use left in the list).
  /usr/bin/python3 - "$demo/land_uses.json" "$work/big" "$cells" <<'PY'
import json, sys
config = json.load(open(sys.argv[1]))
scale = int(sys.argv[3]) / 60000
for use in config["land-uses"]:
    use["demand"]["cells"] = int(use["demand"]["cells"] * scale)
for key in ("preprocess", "process", "postprocess"):
    config[key]["output"] = "out/" + key + ".asc"
json.dump(config, open(sys.argv[2] + "/uses3.json", "w"))
two = dict(config, adjacency=[row[:2] for row in config["adjacency"][:2]])
two["land-uses"] = config["land-uses"][:2]
names = [use["name"] for use in two["land-uses"]]
two["conversions"] = {k: v for k, v in config["conversions"].items() if k in names}
json.dump(two, open(sys.argv[2] + "/uses2.json", "w"))
config["land-uses"] = config["land-uses"][:1]
config.pop("adjacency")
config.pop("conversions")
json.dump(config, open(sys.argv[2] + "/uses1.json", "w"))
PY
  # On every core (the orders of blocks of several uses run at once, each with its block's
  # memory), then on one thread.
  for threads in "" 1; do
    for k in 1 2 3; do
      config=uses$k.json peak_kib "$work/big" --preprocess >/dev/null
      kib=$(config=uses$k.json peak_kib "$work/big" --process ${threads:+--threads=$threads})
      seconds=$(awk -F': ' '/Elapsed/ { print $2 }' "$work/time")
      eval "kib$k=$kib"
      echo "$k land use(s), process by minimum cuts at ${side} x ${side}" \
        "on ${threads:-every core's} thread(s): peak $kib KiB," \
        "$(per_cell "$kib" "$cells") bytes per cell, $seconds (h:mm:ss)"
    done
    echo "each extra use adds $(per_cell $(((kib3 - kib1) / 2)) "$cells") bytes per cell:" \
      "the second $(per_cell $((kib2 - kib1)) "$cells"), the third $(per_cell $((kib3 - kib2)) "$cells")"
  done
  exit 0
fi
for stage in preprocess process postprocess; do
  kib=$(peak_kib "$work/big" "--$stage")
  echo "$stage alone at ${side} x ${side}: peak $kib KiB, $(per_cell "$kib" "$cells") bytes per cell"
done
kib=$(config=min-cut.json peak_kib "$work/big" --process)
seconds=$(awk -F': ' '/Elapsed/ { print $2 }' "$work/time")
echo "process alone by minimum cuts at ${side} x ${side}: peak $kib KiB," \
  "$(per_cell "$kib" "$cells") bytes per cell, $seconds (h:mm:ss)"
[ -n "${MIN_CUT_ONLY:-}" ] && exit 0

tile_maps "$repeat_side" "$work/small"
cells=$((repeat_side * repeat_side))
# The median of three peaks of the invocation in folder $1 with the arguments after it.
median_peak_kib() {
  for _ in 1 2 3; do peak_kib "$@"; done | sort -n | sed -n 2p
}
one=$(median_peak_kib "$work/small" --repeats=4 --threads=1)
two=$(median_peak_kib "$work/small" --repeats=4 --threads=2)
echo "--repeats=4 at ${repeat_side} x ${repeat_side}: median peak $one KiB on 1 thread, $two KiB on 2 threads"
echo "the second thread adds $(per_cell $((two - one)) "$cells") bytes per cell ($cells cells)"
