#!/bin/sh
# Runs the bundled example with the given landalloc binary: the three stages with a fixed seed
# into out/ (PROCESS by minimum cuts), the same PROCESS by the annealing for comparison, repeats,
# a sweep of the perimeter weight, then pictures of the result (the final map over the potential map, the energy per annealing stage,
# how often each cell is chosen by repeats) when gnuplot is installed.
set -eu
if [ $# -ne 1 ] || [ ! -x "$1" ]; then
  echo "usage: $0 path/to/landalloc" >&2
  exit 2
fi
bin="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
here="$(cd "$(dirname "$0")" && pwd)"
seed=1
cd "$here"
rm -rf out
mkdir -p out

echo "running landalloc --seed=$seed config.json in $here (log: out/landalloc.log)"
start=$(date +%s)
status=0
"$bin" --seed=$seed config.json >out/landalloc.log 2>&1 || status=$?
elapsed=$(($(date +%s) - start))
if [ "$status" -ne 0 ] || grep -q '^error' out/landalloc.log; then
  tail -n 20 out/landalloc.log
  echo "landalloc failed (exit code $status); the whole log is out/landalloc.log" >&2
  exit 1
fi
if [ ! -f out/postprocess.asc ]; then
  tail -n 20 out/landalloc.log
  echo "landalloc wrote no final map (out/postprocess.asc); the whole log is out/landalloc.log" >&2
  exit 1
fi
# The figures a user checks first: what was placed, how far the energy fell, what was kept.
awk '
  /cells to be assigned/ { placed = $1 }
  /^changes/ { tuned = 1 }
  tuned && /^  kb / { kb = $2; tuned = 0 }
  /acceptance values too low/ { retries++ }
  /^  initial / { e0 = $2 }
  /^  final [-0-9.]+$/ { e1 = $2 }
  /^  final energy / { final = $3; sub(":", "", final) }
  /^  kept perimeter weight times / { scale = substr($0, 31) }
  /^  lower bound / { bound = $3 }
  /^  gap / { gap = $2 }
  /from a total number of/ { total = $6 }
  /^  selected [0-9]+ islands to expand/ { kept = $2 }
  /^  - [0-9]+ cells purged/ { purged = $2 }
  /another [0-9]+ cells removed/ { removed = $3 }
  /expansion finished after/ { sweeps = $4 }
  END {
    printf "PREPROCESS  placed %d new cells at random\n", placed
    printf "PROCESS     energy %s -> %s", e0, e1
    if (kb != "") printf " (autotuned Boltzmann factor %s, %d re-tries)", kb, retries
    if (bound != "") printf " (minimum cuts; no map of as many cells is below %s: gap %s)", bound, gap
    printf "\nPOSTPROCESS kept %d of %d islands, grew %d cells back (%d purged, %d removed) in %d sweeps\n",
      kept, total, purged + removed, purged, removed, sweeps
    if (final != "")
      printf "RULES       final map %s, the lowest the rules keep (perimeter weight times %s)\n", final, scale
  }' out/landalloc.log
echo "the three stages took ${elapsed} s"

# PROCESS again from the same PREPROCESS output, by the annealing: its energy, and its listing for
# the picture of the energy per stage.
mkdir -p out/annealing
sed -e 's#"min-cut"#"annealing"#' -e 's#"out/process#"out/annealing/process#' config.json \
  >out/annealing/config.json
start=$(date +%s)
"$bin" --seed=$seed --process out/annealing/config.json >out/annealing/landalloc.log 2>&1 || {
  tail -n 20 out/annealing/landalloc.log
  echo "the annealing failed; the whole log is out/annealing/landalloc.log" >&2
  exit 1
}
elapsed=$(($(date +%s) - start))
awk -v s="$elapsed" '/^  final / { printf "PROCESS by the annealing, for comparison: energy %s in %d s\n", $2, s }' \
  out/annealing/landalloc.log

# The same scenario run 8 times (seeds 1 to 8) on every core, into out/repeats/: the best run, how
# often each cell is chosen, and a table of the runs.
mkdir -p out/repeats
sed 's#"out/#"out/repeats/#g' config.json >out/repeats/config.json
echo "running landalloc --seed=$seed --repeats=8 (log: out/repeats/landalloc.log)"
start=$(date +%s)
status=0
"$bin" --seed=$seed --repeats=8 out/repeats/config.json >out/repeats/landalloc.log 2>&1 || status=$?
elapsed=$(($(date +%s) - start))
if [ "$status" -ne 0 ] || [ ! -f out/repeats/postprocess.frequency.asc ]; then
  tail -n 20 out/repeats/landalloc.log
  echo "the repeats failed (exit code $status); the whole log is out/repeats/landalloc.log" >&2
  exit 1
fi
grep '^  best run' out/repeats/landalloc.log
echo "the 8 repeats took ${elapsed} s"

# The perimeter weight swept from 0 to 16, two repeats per value, into out/sweep/: a table of
# the physical measures per value, the trade-off picture and a recommended weight.
mkdir -p out/sweep
# No debug files: each value's best run would run again to write them.
sed -e 's#"out/#"out/sweep/#g' -e 's#"debug-\(maps\|evolution\)": "yes"#"debug-\1": "no"#' \
  config.json >out/sweep/config.json
sweep='--sweep=process.functions-weight[1]=0,0.25,0.5,1,2,4,8,16'
echo "running landalloc --seed=$seed --repeats=2 $sweep (log: out/sweep/landalloc.log)"
start=$(date +%s)
status=0
"$bin" --seed=$seed --repeats=2 "$sweep" out/sweep/config.json >out/sweep/landalloc.log 2>&1 ||
  status=$?
elapsed=$(($(date +%s) - start))
if [ "$status" -ne 0 ] || [ ! -f out/sweep/postprocess.sweep.csv ]; then
  tail -n 20 out/sweep/landalloc.log
  echo "the sweep failed (exit code $status); the whole log is out/sweep/landalloc.log" >&2
  exit 1
fi
grep -e '^  recommended' -e "^  Cohon's method" out/sweep/landalloc.log
echo "the sweep of 8 values x 2 repeats took ${elapsed} s"

# Three land uses decided together (land_uses.json) into out/uses/: housing, industry and green
# space, each with its own potential and demand; green space drawn to housing, industry kept away.
mkdir -p out/uses
echo "running landalloc --seed=$seed land_uses.json (log: out/uses/landalloc.log)"
start=$(date +%s)
"$bin" --seed=$seed land_uses.json >out/uses/landalloc.log 2>&1 || {
  tail -n 20 out/uses/landalloc.log
  echo "the land uses run failed; the whole log is out/uses/landalloc.log" >&2
  exit 1
}
elapsed=$(($(date +%s) - start))
awk -v s="$elapsed" '/^  final / { e = $2 } /^  lower bound / { b = $3 }
  /^  land use .* energy/ { printf "  %s %s cells, energy %s\n", $3, $7, $5 }
  END { printf "three land uses: energy %s (bound %s) in %d s\n", e, b, s }' out/uses/landalloc.log

# Grid values without the header lines, one row of cells per line, for gnuplot's matrix input.
cells() { awk 'NF > 0 && $1 ~ /^[-+0-9.]/' "$1" >"$2"; }
pictures=""
if command -v gnuplot >/dev/null 2>&1; then
  cells out/process.asc.debug.map-1.asc out/potential.dat
  cells out/postprocess.asc out/final.dat
  cells maps/roads.asc out/roads.dat
  ncols=$(awk 'tolower($1) == "ncols" { print $2; exit }' out/postprocess.asc)
  nrows=$(awk 'tolower($1) == "nrows" { print $2; exit }' out/postprocess.asc)
  # The allocated cells hold the largest value of the final map (the existing codes are below it).
  allocated=$(awk '{ for (i = 1; i <= NF; ++i) if ($i > m) m = $i } END { print m }' out/final.dat)
  gnuplot -e "potential='out/potential.dat'; final='out/final.dat'; roads='out/roads.dat'" \
    -e "ncols=$ncols; nrows=$nrows; allocated=$allocated; output='out/demo_map.png'" map.gp
  gnuplot -e "evolution='out/annealing/process.asc.debug.evolution.lst'; output='out/demo_energy.png'" \
    energy.gp
  cells out/repeats/postprocess.frequency.asc out/frequency.dat
  gnuplot -e "potential='out/potential.dat'; frequency='out/frequency.dat'; runs=8" \
    -e "ncols=$ncols; nrows=$nrows; output='out/demo_frequency.png'" frequency.gp
  cells maps/terrain_suitability.asc out/terrain.dat
  cells out/uses/postprocess.asc out/uses.dat
  gnuplot -e "potential='out/terrain.dat'; final='out/uses.dat'; roads='out/roads.dat'" \
    -e "ncols=$ncols; nrows=$nrows; output='out/demo_land_uses.png'" uses_map.gp
  pictures=" demo_map.png demo_energy.png demo_frequency.png demo_land_uses.png"
  # landalloc drew the sweep's picture itself, with gnuplot.
  if [ -f out/sweep/postprocess.sweep.png ]; then
    cp out/sweep/postprocess.sweep.png out/demo_sweep.png
    pictures="$pictures demo_sweep.png"
  fi
else
  echo "gnuplot is not installed: no pictures (scripts/install-deps.sh installs it)"
fi

echo "outputs in $here/out:"
echo "  preprocess.asc process.asc postprocess.asc postprocess_mask.asc$pictures"
echo "  debug maps *.debug.*.asc, the cuts' listing process.asc.debug.evolution.lst"
echo "  annealing/: PROCESS by the annealing from the same start, and its evolution listing"
echo "  repeats/: the best of 8 runs, postprocess.frequency.asc and postprocess.runs.csv"
echo "  sweep/: the perimeter weight at 8 values (postprocess.sweepNN.asc), postprocess.sweep.csv"
echo "  uses/: housing, industry and green space decided together (postprocess.asc holds their codes)"
