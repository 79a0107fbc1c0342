#!/usr/bin/env python3
"""Cut, tile or build the scenarios of the PROCESS benchmarks (python3 standard library only).

  crop.py window CONFIG OUTDIR --row R --col C --height H [--width W]
      cut the window (rows R .. R+H-1, columns C .. C+W-1, W = H when not given) out of every
      ASCII grid the configuration names; writes OUTDIR/config.json, OUTDIR/maps/ and OUTDIR/out/.
  crop.py tile CONFIG OUTDIR --times K [--height H] [--width W]
      tile every grid K x K times, each other copy mirrored so that roads and settlements run on
      across the seams, then keep the first H rows and W columns (all of them when not given).
  crop.py terrain DEM OUTDIR [--row R --col C --height H --width W] [--convert-area F]
      build a settlement scenario on a digital elevation model (see terrain_scenario).
  crop.py demo-windows
      print the example's windows that the gap benchmark uses.

Grid cells are copied as text, so a cropped value is the very float the original file holds. Every
output property of the new configuration points into OUTDIR/out/, and the configuration's paths are
relative to OUTDIR: run landalloc from there.
"""

import argparse
import json
import math
import os
import sys

# Windows of the example (300 x 200 cells) for the gap benchmark: (name, row, col, size). Each
# holds settlements (distance masks and existing allocations), a stretch of road, water (excluded
# cells) and free land of mixed potential, so that every term of the energy has something to do.
# They are nested around the settlement cluster at rows 75-95, columns 125-165 of the example.
DEMO_WINDOWS = [
    ("demo-40", 70, 120, 40),
    ("demo-60", 60, 110, 60),
    ("demo-80", 50, 100, 80),
    ("demo-100", 40, 90, 100),
]
# A 12 x 12 window small enough for the MIP to close in a second: the check of the energy
# formula and of the reference against the program (6 settlement cells, 18 road cells, water).
DEMO_TINY = ("demo-12", 116, 100, 12)

OUTPUT_KEYS = ("output", "output-mask")


class Grid:
    """An Esri ASCII grid: header lines as (key, text) pairs and the cells as text tokens."""

    def __init__(self, header, rows):
        self.header = header
        self.rows = rows

    def get(self, key):
        for k, v in self.header:
            if k.lower() == key:
                return v
        return None

    def set(self, key, value):
        for i, (k, _) in enumerate(self.header):
            if k.lower() == key:
                self.header[i] = (k, value)
                return

    @property
    def nrows(self):
        return len(self.rows)

    @property
    def ncols(self):
        return len(self.rows[0]) if self.rows else 0


def read_grid(path):
    with open(path) as f:
        tokens = f.read().split()
    header = []
    i = 0
    while i + 1 < len(tokens) and tokens[i][0].isalpha():
        header.append((tokens[i], tokens[i + 1]))
        i += 2
    g = Grid(header, [])
    nrows, ncols = int(g.get("nrows")), int(g.get("ncols"))
    cells = tokens[i:]
    if len(cells) != nrows * ncols:
        sys.exit("error: %s holds %d cells, its header says %d x %d" % (path, len(cells), nrows,
                                                                           ncols))
    g.rows = [cells[r * ncols:(r + 1) * ncols] for r in range(nrows)]
    return g


def write_grid(path, grid):
    grid.set("nrows", str(grid.nrows))
    grid.set("ncols", str(grid.ncols))
    width = max(len(k) for k, _ in grid.header)
    with open(path, "w") as f:
        for k, v in grid.header:
            f.write("%-*s %s\n" % (width, k, v))
        for row in grid.rows:
            f.write(" ".join(row))
            f.write("\n")


def shift_origin(grid, first_row, first_col, new_nrows):
    """Moves the lower-left reference so that the window's cells keep their map coordinates."""
    cellsize = float(grid.get("cellsize"))
    for key in ("xllcorner", "xllcenter"):
        if grid.get(key) is not None:
            grid.set(key, repr(float(grid.get(key)) + first_col * cellsize))
    rows_below = grid.nrows - first_row - new_nrows
    for key in ("yllcorner", "yllcenter"):
        if grid.get(key) is not None:
            grid.set(key, repr(float(grid.get(key)) + rows_below * cellsize))


def crop_grid(grid, row, col, height, width):
    if row < 0 or col < 0 or row + height > grid.nrows or col + width > grid.ncols:
        sys.exit("error: window rows %d+%d, cols %d+%d lies outside a %d x %d grid" %
                 (row, height, col, width, grid.nrows, grid.ncols))
    shift_origin(grid, row, col, height)
    grid.rows = [r[col:col + width] for r in grid.rows[row:row + height]]
    return grid


def quantize_grid(grid, levels):
    """Each cell with data rounded to one of `levels` evenly spaced values from 0 to the grid's
    largest: a potential of few distinct levels, whose cells tie."""
    nodata = grid.get("nodata_value")
    values = [float(v) for row in grid.rows for v in row if v != nodata]
    top = max(values) if values else 0.0
    if top <= 0.0:
        return grid
    step = top / (levels - 1)
    grid.rows = [[v if v == nodata else "%.9g" % (round(float(v) / step) * step) for v in row]
                 for row in grid.rows]
    return grid


def tile_grid(grid, times):
    """K x K copies; every other copy is mirrored, so that features run on across the seams."""
    rows = []
    for ty in range(times):
        block = grid.rows if ty % 2 == 0 else grid.rows[::-1]
        for r in block:
            line = []
            for tx in range(times):
                line.extend(r if tx % 2 == 0 else r[::-1])
            rows.append(line)
    # The original stays the top-left copy: the others lie below it and to its right.
    cellsize = float(grid.get("cellsize"))
    for key in ("yllcorner", "yllcenter"):
        if grid.get(key) is not None:
            grid.set(key, repr(float(grid.get(key)) - (times - 1) * grid.nrows * cellsize))
    grid.rows = rows
    return grid


def grids_named(node, found):
    """The input grid paths a configuration names (output properties left out)."""
    if isinstance(node, dict):
        for key, value in node.items():
            if key in OUTPUT_KEYS:
                continue
            grids_named(value, found)
    elif isinstance(node, list):
        for value in node:
            grids_named(value, found)
    elif isinstance(node, str) and node.lower().endswith(".asc"):
        found.add(node)
    return found


def rewrite_paths(node, renamed):
    if isinstance(node, dict):
        out = {}
        for key, value in node.items():
            if key in OUTPUT_KEYS and isinstance(value, str):
                out[key] = "out/" + os.path.basename(value)
            else:
                out[key] = rewrite_paths(value, renamed)
        return out
    if isinstance(node, list):
        return [rewrite_paths(v, renamed) for v in node]
    if isinstance(node, str) and node in renamed:
        return renamed[node]
    return node


def transform_config(config_path, outdir, transform, potential=None):
    """Writes OUTDIR/config.json whose grids are transform(grid) of the configuration's grids,
    the potential maps' then potential(grid) when given."""
    with open(config_path) as f:
        config = json.load(f)
    base = os.path.dirname(os.path.abspath(config_path))
    os.makedirs(os.path.join(outdir, "maps"), exist_ok=True)
    os.makedirs(os.path.join(outdir, "out"), exist_ok=True)
    renamed = {}
    potential_maps = grids_named(config.get("maps", {}).get("potential-maps", []), set())
    for name in sorted(grids_named(config, set())):
        # One flat folder: the relative path, its separators made underscores, keeps names apart.
        flat = name.replace("/", "_").replace("\\", "_")
        if flat.startswith("maps_"):
            flat = flat[len("maps_"):]
        grid = transform(read_grid(os.path.join(base, name)))
        if potential is not None and name in potential_maps:
            grid = potential(grid)
        write_grid(os.path.join(outdir, "maps", flat), grid)
        renamed[name] = "maps/" + flat
    with open(os.path.join(outdir, "config.json"), "w") as f:
        json.dump(rewrite_paths(config, renamed), f, indent=2)
        f.write("\n")
    return os.path.join(outdir, "config.json")


def window(config_path, outdir, row, col, height, width=None, levels=None):
    """The window; with `levels`, its potential maps quantized to that many values each."""
    width = height if width is None else width
    return transform_config(config_path, outdir,
                            lambda g: crop_grid(g, row, col, height, width),
                            None if levels is None else lambda g: quantize_grid(g, levels))


def tile(config_path, outdir, times, height=None, width=None):
    def transform(g):
        g = tile_grid(g, times)
        h = g.nrows if height is None else height
        w = g.ncols if width is None else width
        # Keep the top-left part: the kept window starts at the first row and column.
        return crop_grid(g, 0, 0, h, w)

    return transform_config(config_path, outdir, transform)


# --- terrain scenario ---------------------------------------------------------------------------

# Slopes steeper than this are no place to build: avalanche and rockfall terrain (the model is an
# avalanche test site), so they are excluded; the suitability falls linearly to 0 at this slope.
MAX_SLOPE_DEG = 35.0
# The valley floor: the lowest share of the cells with data whose slope is gentle is where the
# existing village stands (existing allocations and the distance mask of the energy).
VALLEY_SHARE = 0.03
VALLEY_MAX_SLOPE_DEG = 15.0


def settlement_maps(extension):
    """The "maps" section of the settlement scenario, its files ending in `extension`."""
    return {
        "potential-maps": [["maps/slope_suitability" + extension, "maps/lowness" + extension],
                           ["maps/slope_suitability" + extension]],
        "potential-maps-weight": [[0.7, 0.3], [1.0]],
        "exclusion-masks": ["maps/steep" + extension],
    }


def terrain_scenario(dem_path, outdir, row=None, col=None, height=None, width=None,
                     convert_area=0.03, village_free=False, weights=None):
    """A settlement scenario on a digital elevation model, with these maps:

    - slope_suitability: 1 - slope / 35 degrees, clamped at 0 (gentle ground builds cheaply);
    - lowness: the elevation rescaled to 1 at the lowest and 0 at the highest cell (valleys hold the
      access and the services; also the DEM itself as a second potential component);
    - steep: 1 where the slope exceeds 35 degrees, an exclusion mask;
    - village: 1 on the lowest 3 % of the gentle cells (slope under 15 degrees), the existing
      settlement, used as initial values, distribution mask and distance mask.

    The potential fuses 0.7 suitability + 0.3 lowness in one group, and the suitability alone in a
    second (the larger of the two counts), like the example's two groups of weighted maps. No-data
    cells of the DEM stay no-data in every map, so they never hold a solution cell.

    With village_free, the village is no existing settlement but land the new one may take (the
    initial values are all 0), at distance 0 from the mask: a map on it takes the distances term
    below 0, where its clamp binds. `weights` replaces the five functions' weights.
    """
    dem = read_grid(dem_path)
    if row is not None:
        crop_grid(dem, row, col, height, width if width is not None else height)
    nodata_text = dem.get("nodata_value")
    nodata = float(nodata_text) if nodata_text is not None else None
    nrows, ncols = dem.nrows, dem.ncols
    cellsize = float(dem.get("cellsize"))
    z = [[float(v) for v in r] for r in dem.rows]

    def has_data(r, c):
        return 0 <= r < nrows and 0 <= c < ncols and (nodata is None or z[r][c] != nodata)

    def slope_deg(r, c):
        # Central differences, one-sided next to an edge or a no-data cell.
        def gradient(dr, dc):
            a = (r + dr, c + dc) if has_data(r + dr, c + dc) else (r, c)
            b = (r - dr, c - dc) if has_data(r - dr, c - dc) else (r, c)
            steps = abs(a[0] - b[0]) + abs(a[1] - b[1])
            return 0.0 if steps == 0 else (z[a[0]][a[1]] - z[b[0]][b[1]]) / (steps * cellsize)
        gx, gy = gradient(0, 1), gradient(1, 0)
        return math.degrees(math.atan(math.hypot(gx, gy)))

    valid = [(r, c) for r in range(nrows) for c in range(ncols) if has_data(r, c)]
    if not valid:
        sys.exit("error: the DEM window holds no data")
    slope = {(r, c): slope_deg(r, c) for r, c in valid}
    zmin = min(z[r][c] for r, c in valid)
    zmax = max(z[r][c] for r, c in valid)
    gentle = sorted((z[r][c], r, c) for r, c in valid if slope[(r, c)] < VALLEY_MAX_SLOPE_DEG)
    village = {(r, c) for _, r, c in gentle[:max(1, int(len(valid) * VALLEY_SHARE))]}

    def grid_of(value, missing="-9999"):
        g = Grid([(k, v) for k, v in dem.header if k.lower() != "nodata_value"] +
                 [("NODATA_value", "-9999")], [])
        g.rows = [[value(r, c) if has_data(r, c) else missing for c in range(ncols)]
                  for r in range(nrows)]
        return g

    span = zmax - zmin if zmax > zmin else 1.0
    maps = {
        "slope_suitability.asc":
            grid_of(lambda r, c: "%.6f" % max(0.0, 1.0 - slope[(r, c)] / MAX_SLOPE_DEG)),
        "lowness.asc": grid_of(lambda r, c: "%.6f" % ((zmax - z[r][c]) / span)),
        "steep.asc": grid_of(lambda r, c: "1" if slope[(r, c)] > MAX_SLOPE_DEG else "0"),
        "village.asc": grid_of(lambda r, c: "1" if (r, c) in village else "0", missing="0"),
        "none.asc": grid_of(lambda r, c: "0", missing="0"),
    }
    os.makedirs(os.path.join(outdir, "maps"), exist_ok=True)
    os.makedirs(os.path.join(outdir, "out"), exist_ok=True)
    for name, g in maps.items():
        write_grid(os.path.join(outdir, "maps", name), g)
    config = {
        "maps": settlement_maps(".asc"),
        "preprocess": {
            "init-values-map": "maps/none.asc" if village_free else "maps/village.asc",
            "distribution-masks": ["maps/village.asc"],
            "convert-area": convert_area,
            "debug-maps": "no",
            "output": "out/preprocess.asc",
        },
        "process": {
            "functions-weight": weights or [1.0, 1.0, 1.0, 0.5, 1.0],
            "pinit": 0.4, "tinit": 1.0, "tnext": 0.9, "nmovs": 60000, "nstages": 40, "kb": 500,
            "random-select": "no",
            "distance-masks": ["maps/village.asc"],
            "distance-maps": [],
            "debug-maps": "no",
            "debug-evolution": "no",
            "autotunning": "yes",
            "output": "out/process.asc",
        },
    }
    path = os.path.join(outdir, "config.json")
    with open(path, "w") as f:
        json.dump(config, f, indent=2)
        f.write("\n")
    return path


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = ap.add_subparsers(dest="command", required=True)
    w = sub.add_parser("window")
    w.add_argument("config")
    w.add_argument("outdir")
    t = sub.add_parser("tile")
    t.add_argument("config")
    t.add_argument("outdir")
    t.add_argument("--times", type=int, required=True)
    d = sub.add_parser("terrain")
    d.add_argument("dem")
    d.add_argument("outdir")
    d.add_argument("--convert-area", type=float, default=0.03)
    for p in (w, d):
        p.add_argument("--row", type=int, required=p is w)
        p.add_argument("--col", type=int, required=p is w)
        p.add_argument("--height", type=int, required=p is w)
        p.add_argument("--width", type=int)
    t.add_argument("--height", type=int)
    t.add_argument("--width", type=int)
    sub.add_parser("demo-windows")
    a = ap.parse_args(argv)
    if a.command == "window":
        print(window(a.config, a.outdir, a.row, a.col, a.height, a.width))
    elif a.command == "tile":
        print(tile(a.config, a.outdir, a.times, a.height, a.width))
    elif a.command == "terrain":
        print(terrain_scenario(a.dem, a.outdir, a.row, a.col, a.height, a.width, a.convert_area))
    else:
        for name, row, col, size in [DEMO_TINY] + DEMO_WINDOWS:
            print("%s rows %d-%d cols %d-%d" % (name, row, row + size - 1, col, col + size - 1))


if __name__ == "__main__":
    main(sys.argv[1:])
