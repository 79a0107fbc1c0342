#!/usr/bin/env python3
"""How the three stages by minimum cuts grow with the cells on real terrain with much no data.

  terrain_scale.py BINARY [SIDE ...] [--dem DEM] [--threads T]

The square in the middle of the DEM (by default the Tirol avalanche DEM of tests/data, much of it
no data) is resampled bilinearly to SIDE x SIDE cells (default 1000, 4000 and 10000) and turned into crop.py's settlement
scenario (slope suitability and lowness as potential, slopes over 35 degrees excluded, the lowest
3 % of the gentle cells as the village), with rules.py's POSTPROCESS rules and a basins map of
13 x 13 blocks, every map a compressed GeoTIFF as a planner's inputs are. Each size runs
`BINARY --seed=1 config.json` (PROCESS by minimum cuts, the three stages) and prints, from the
moment each log line arrived, the seconds each stage took, the peak resident size per cell
(/usr/bin/time) and the growth of each figure from the size before. Needs numpy and GDAL's Python
bindings (Debian's python3-numpy, python3-gdal); the maps of 10000 x 10000 take about 10 GB while
they are built, before the program runs.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import crop  # noqa: E402
import rules  # noqa: E402

DEFAULT_DEM = os.path.join(ROOT, "tests", "data", "tirol_avagar_dem_xllcenter_520x387.asc")
BASIN_BLOCKS = 13
# The log lines that end each span, in the order they come.
MARKS = [("PREPROCESS", "PREPROCESS end"), ("shared inputs, rules rounds", "PROCESS begin"),
         ("PROCESS", "POSTPROCESS begin"), ("POSTPROCESS", "POSTPROCESS end"),
         ("rules and table", None)]


def require_modules():
    try:
        import numpy  # noqa: F401
        from osgeo import gdal  # noqa: F401
    except ImportError:
        if sys.executable != "/usr/bin/python3" and os.path.exists("/usr/bin/python3"):
            os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
        sys.exit("error: numpy and GDAL's Python bindings are needed "
                 "(apt-get install python3-numpy python3-gdal)")


def slope_degrees(z, valid, cellsize):
    """crop.py's slope: central differences, one-sided next to an edge or a no-data cell."""
    import numpy as np

    def gradient(axis):
        def shifted(step):
            zs = np.full_like(z, np.nan)
            vs = np.zeros_like(valid)
            src = [slice(None)] * 2
            dst = [slice(None)] * 2
            if step > 0:
                src[axis], dst[axis] = slice(step, None), slice(None, -step)
            else:
                src[axis], dst[axis] = slice(None, step), slice(-step, None)
            zs[tuple(dst)] = z[tuple(src)]
            vs[tuple(dst)] = valid[tuple(src)]
            return zs, vs
        za, va = shifted(1)
        zb, vb = shifted(-1)
        high = np.where(va, za, z)
        low = np.where(vb, zb, z)
        steps = va.astype(np.int8) + vb.astype(np.int8)
        with np.errstate(invalid="ignore", divide="ignore"):
            g = np.where(steps > 0, (high - low) / (np.maximum(steps, 1) * cellsize), 0.0)
        return g

    gx = gradient(1)
    gy = gradient(0)
    return np.degrees(np.arctan(np.hypot(gx, gy)))


def build(dem_path, side, folder):
    """The scenario at side x side cells in folder; returns the share of no-data and of steep."""
    import numpy as np
    from osgeo import gdal
    gdal.UseExceptions()
    os.makedirs(os.path.join(folder, "maps"), exist_ok=True)
    os.makedirs(os.path.join(folder, "out"), exist_ok=True)
    nodata = crop.read_grid(dem_path).get("nodata_value")
    # The square in the middle of the DEM, so that the cells stay square.
    source = gdal.Open(dem_path)
    x0, dx, _, y0, _, dy = source.GetGeoTransform()
    square = min(source.RasterXSize, source.RasterYSize)
    left = x0 + dx * ((source.RasterXSize - square) // 2)
    top = y0 + dy * ((source.RasterYSize - square) // 2)
    bounds = (left, top + dy * square, left + dx * square, top)
    warped = gdal.Warp("", source, format="MEM", width=side, height=side, outputBounds=bounds,
                       resampleAlg="bilinear", dstNodata=-9999.0,
                       srcNodata=float(nodata) if nodata is not None else None)
    band = warped.GetRasterBand(1)
    z = band.ReadAsArray().astype(np.float64)
    transform = warped.GetGeoTransform()
    cellsize = transform[1]
    valid = z != -9999.0
    slope = slope_degrees(np.where(valid, z, np.nan), valid, cellsize)
    zmin, zmax = z[valid].min(), z[valid].max()
    span = zmax - zmin if zmax > zmin else 1.0
    gentle = valid & (slope < crop.VALLEY_MAX_SLOPE_DEG)
    rows, cols = np.nonzero(gentle)
    order = np.lexsort((cols, rows, z[rows, cols]))
    count = max(1, int(int(valid.sum()) * crop.VALLEY_SHARE))
    village = np.zeros(z.shape, dtype=np.float32)
    village[rows[order[:count]], cols[order[:count]]] = 1.0
    del rows, cols, order, gentle
    block = max(1, (side + BASIN_BLOCKS - 1) // BASIN_BLOCKS)
    r_index = np.arange(side)[:, None] // block
    c_index = np.arange(side)[None, :] // block
    maps = {
        "slope_suitability": np.where(valid, np.maximum(0.0, 1.0 - slope / crop.MAX_SLOPE_DEG),
                                      -9999.0),
        "lowness": np.where(valid, (zmax - z) / span, -9999.0),
        "steep": np.where(valid, (slope > crop.MAX_SLOPE_DEG).astype(np.float64), -9999.0),
        "village": village,
        "basins": (r_index * BASIN_BLOCKS + c_index).astype(np.float32) + np.zeros(z.shape,
                                                                                  np.float32),
    }
    shares = (1.0 - valid.mean(), float((valid & (slope > crop.MAX_SLOPE_DEG)).mean()))
    driver = gdal.GetDriverByName("GTiff")
    for name, values in maps.items():
        out = driver.Create(os.path.join(folder, "maps", name + ".tif"), side, side, 1,
                            gdal.GDT_Float32, ["COMPRESS=DEFLATE", "TILED=YES", "BIGTIFF=IF_SAFER"])
        out.SetGeoTransform(transform)
        out.SetProjection(warped.GetProjection())
        if name not in ("village", "basins"):
            out.GetRasterBand(1).SetNoDataValue(-9999.0)
        out.GetRasterBand(1).WriteArray(values.astype(np.float32))
        out = None
    del maps, z, slope, valid, village
    config = {
        "maps": crop.settlement_maps(".tif"),
        "preprocess": {"init-values-map": "maps/village.tif",
                       "distribution-masks": ["maps/village.tif"], "convert-area": 0.03,
                       "debug-maps": "no", "output": "out/preprocess.tif"},
        "process": {"method": "min-cut", "functions-weight": [1.0, 1.0, 1.0, 0.5, 1.0],
                    "distance-masks": ["maps/village.tif"], "distance-maps": [],
                    "debug-maps": "no", "debug-evolution": "no", "output": "out/process.tif"},
        "postprocess": json.loads(json.dumps(rules.POSTPROCESS).replace(".asc", ".tif")),
    }
    with open(os.path.join(folder, "config.json"), "w") as f:
        json.dump(config, f, indent=2)
    return shares


def run(binary, folder, threads):
    """Seconds of each span of MARKS, the peak in KB and the final energy."""
    command = ["/usr/bin/time", "-f", "%M", "-o", os.path.join(folder, "peak"), binary, "--seed=1"]
    if threads:
        command.append("--threads=%d" % threads)
    command.append("config.json")
    start = time.monotonic()
    ends = {}
    lines = []
    with subprocess.Popen(command, cwd=folder, stdout=subprocess.PIPE, text=True) as p:
        for line in p.stdout:
            lines.append(line)
            for _, mark in MARKS:
                if mark is not None and line.rstrip("\n") == mark and mark not in ends:
                    ends[mark] = time.monotonic() - start
    total = time.monotonic() - start
    if p.returncode != 0:
        sys.exit("error: %s failed: %s" % (folder, lines[-1].strip() if lines else "no output"))
    spans, before = [], 0.0
    for _, mark in MARKS:
        at = ends.get(mark, total) if mark is not None else total
        spans.append(at - before)
        before = at
    with open(os.path.join(folder, "peak")) as f:
        peak = int(f.read().split()[-1])
    final = re.findall(r"^  final energy (\S+):", "".join(lines), re.M)
    return spans, peak, final[-1] if final else "-"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binary")
    parser.add_argument("sides", nargs="*", type=int, default=[1000, 4000, 10000])
    parser.add_argument("--dem", default=DEFAULT_DEM)
    parser.add_argument("--threads", type=int, default=0, help="default: the program's own")
    args = parser.parse_args(argv[1:])
    require_modules()
    binary = os.path.abspath(args.binary)
    names = [name for name, _ in MARKS]
    print("| side | no data / steep | " + " | ".join(names + ["whole run"]) +
          " | peak bytes per cell | final energy |")
    print("|---" * (len(names) + 5) + "|")
    previous = None
    for side in args.sides:
        with tempfile.TemporaryDirectory() as folder:
            shares = build(args.dem, side, folder)
            spans, peak, final = run(binary, folder, args.threads)
        figures = spans + [sum(spans)]
        cells = side * side
        cells_text = ["%.2f s" % s + ("" if previous is None else " (%.1f x)" % (
            s / previous[k] if previous[k] > 0 else float("inf"))) for k, s in enumerate(figures)]
        print("| %d | %.0f %% / %.0f %% | %s | %.1f | %s |" % (
            side, 100 * shares[0], 100 * shares[1], " | ".join(cells_text),
            peak * 1024.0 / cells, final))
        sys.stdout.flush()
        previous = figures


if __name__ == "__main__":
    main(sys.argv)
