#!/bin/sh
# Wall time of each stage on the example tiled to SIDE x SIDE cells and stored as GeoTIFF (DEFLATE,
# tiled), as a planner's inputs are. Usage: bench/stages_geotiff.sh BINARY [SIDE] [STAGE_FLAGS]
#   SIDE        default 4000
#   STAGE_FLAGS default --preprocess; "" runs the three stages (PROCESS by minimum cuts)
# Prints, from the moment each log line arrived, the seconds to the end of each stage, to the end
# of the run (its runs table written) and the peak resident size (/usr/bin/time). Needs
# gdal_translate (Debian's gdal-bin) to write the GeoTIFF inputs.
set -eu
if [ $# -lt 1 ] || [ ! -x "$1" ]; then
  echo "usage: $0 path/to/landalloc [side] [stage flags]" >&2
  exit 2
fi
bin="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
side=${2:-4000}
flags=${3---preprocess}
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=bench/tiled_geotiff.sh
. "$here/tiled_geotiff.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tiled_geotiff_example "$side" "$work"
cd "$work"
start=$(date +%s.%N)
since() { awk -v now="$(date +%s.%N)" -v start="$start" 'BEGIN { printf "%.2f", now - start }'; }
# shellcheck disable=SC2086
/usr/bin/time -f "%M" -o "$work/peak" "$bin" --seed=1 $flags config.json | while IFS= read -r line; do
  case $line in
  "PREPROCESS end" | "PROCESS end" | "POSTPROCESS end" | "ALGORITHM end")
    echo "$line $(since) s" ;;
  esac
done
echo "run $(since) s, peak $(cat "$work/peak") KB for $((side * side)) cells"
