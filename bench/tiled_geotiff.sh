# shellcheck shell=sh disable=SC2154
# Sourced by the benches that run the example on large GeoTIFF inputs (stages_geotiff.sh,
# threads.sh): tiled_geotiff_example SIDE DIR writes into DIR the example's maps tiled to
# SIDE x SIDE cells as GeoTIFF (DEFLATE, tiled), as a planner's inputs are, its configuration
# reading them without debug files, and an empty DIR/out. Needs gdal_translate (Debian's gdal-bin)
# and `here`, the bench folder.
command -v gdal_translate >/dev/null || {
  echo "$0: gdal_translate not found (apt-get install gdal-bin)" >&2
  exit 2
}

tiled_geotiff_example() {
  demo="$here/../examples/demo"
  mkdir -p "$2/maps" "$2/out"
  for map in "$demo"/maps/*.asc; do
    name=$(basename "$map" .asc)
    awk -v n="$1" -f "$here/tile.awk" "$map" >"$2/maps/$name.asc"
    if [ -f "$demo/maps/$name.prj" ]; then cp "$demo/maps/$name.prj" "$2/maps/"; fi
    gdal_translate -q -of GTiff -co COMPRESS=DEFLATE -co TILED=YES "$2/maps/$name.asc" \
      "$2/maps/$name.tif"
    rm "$2/maps/$name.asc"
  done
  sed -e 's/\.asc"/.tif"/g' -e 's/"debug-maps": "yes"/"debug-maps": "no"/' \
    -e 's/"debug-evolution": "yes"/"debug-evolution": "no"/' "$demo/config.json" >"$2/config.json"
}
