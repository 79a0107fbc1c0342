# An ASCII grid tiled to n x n cells: its rows repeated across and down, cut at n.
# Usage: awk -v n=SIDE -f bench/tile.awk GRID > TILED
NR <= 6 { head[tolower($1)] = $2; next }
{ rows[++r] = $0 }
END {
  printf "ncols %d\nnrows %d\nxllcorner %s\nyllcorner %s\ncellsize %s\nNODATA_value %s\n",
    n, n, head["xllcorner"], head["yllcorner"], head["cellsize"], head["nodata_value"]
  for (i = 1; i <= r; ++i) {
    k = split(rows[i], v, " ")
    line = ""
    for (c = 0; c < n; ++c) line = line (c ? " " : "") v[c % k + 1]
    tiled[i] = line
  }
  for (j = 0; j < n; ++j) print tiled[j % r + 1]
}
