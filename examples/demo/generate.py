#!/usr/bin/env python3
"""Makes the grids of the bundled example: a river valley of 300 x 200 cells of 25 m.

The landscape is synthetic but built the way a planner's inputs are: a terrain model, the slope
derived from it, roads and their access, soils, a river with a lake, towns, and the watersheds
that drain into the river. Every value comes from integer hashing and plain arithmetic, so the
same script always writes the same files; they are committed, and the demo does not run this.

    python3 examples/demo/generate.py            # rewrites examples/demo/maps/*.asc
"""

import heapq
import math
import os
import sys

NCOLS, NROWS = 300, 200
CELLSIZE = 25.0  # metres
HEADER = (
    "ncols         %d\n"
    "nrows         %d\n"
    "xllcorner     512000\n"
    "yllcorner     4620000\n"
    "cellsize      25\n"
    "NODATA_value  -9999\n" % (NCOLS, NROWS)
)
NODATA = -9999


# ---- deterministic noise ----------------------------------------------------------------------

def lattice(ix, iy, seed):
    """A value in [0, 1] for a lattice point, from integer mixing only."""
    h = (ix * 374761393 + iy * 668265263 + seed * 2246822519) & 0xFFFFFFFF
    h = ((h ^ (h >> 13)) * 1274126177) & 0xFFFFFFFF
    h ^= h >> 16
    return h / 4294967295.0


def smooth_noise(x, y, scale, seed):
    """Value noise: lattice values every `scale` cells, blended with a smoothstep."""
    fx, fy = x / scale, y / scale
    ix, iy = math.floor(fx), math.floor(fy)
    tx, ty = fx - ix, fy - iy
    sx, sy = tx * tx * (3 - 2 * tx), ty * ty * (3 - 2 * ty)
    a = lattice(ix, iy, seed) + sx * (lattice(ix + 1, iy, seed) - lattice(ix, iy, seed))
    b = lattice(ix, iy + 1, seed) + sx * (lattice(ix + 1, iy + 1, seed) - lattice(ix, iy + 1, seed))
    return a + sy * (b - a)


def fractal(x, y, scale, seed, octaves=4):
    """Sum of octaves of value noise, in [0, 1]."""
    total, amplitude, norm = 0.0, 1.0, 0.0
    for o in range(octaves):
        total += amplitude * smooth_noise(x, y, scale / (2 ** o), seed + 101 * o)
        norm += amplitude
        amplitude *= 0.5
    return total / norm


def grid(value=0):
    return [[value] * NCOLS for _ in range(NROWS)]


def neighbours4(r, c):
    for dr, dc in ((-1, 0), (1, 0), (0, -1), (0, 1)):
        rr, cc = r + dr, c + dc
        if 0 <= rr < NROWS and 0 <= cc < NCOLS:
            yield rr, cc


# ---- landscape --------------------------------------------------------------------------------

def river_row(c):
    """Row of the river's centre line at column c; it meanders from west to east."""
    return 96.0 + 28.0 * math.sin(c / 38.0) + 9.0 * math.sin(c / 13.0 + 0.7)


LAKE = (212, river_row(212) + 5.0, 15.0, 7.5)  # centre column, centre row, semi-axes


def make_region():
    """The municipality: an irregular oval; the corners lie outside (no data)."""
    inside = grid(False)
    for r in range(NROWS):
        for c in range(NCOLS):
            e = ((c - 150) / 168.0) ** 2 + ((r - 100) / 116.0) ** 2
            inside[r][c] = math.sqrt(e) + 0.22 * (fractal(c, r, 40, 7, 3) - 0.5) < 1.0
    return inside


def make_water():
    water = grid(0)
    lc, lr, la, lb = LAKE
    for r in range(NROWS):
        for c in range(NCOLS):
            in_river = abs(r - river_row(c)) <= 1.5
            in_lake = ((c - lc) / la) ** 2 + ((r - lr) / lb) ** 2 + 0.3 * (
                fractal(c, r, 8, 11, 2) - 0.5) <= 1.0
            water[r][c] = 1 if in_river or in_lake else 0
    return water


def make_dem():
    """Elevation in metres: a flat floodplain, valley sides, rolling hills on the plateaus."""
    dem = grid(0.0)
    for r in range(NROWS):
        for c in range(NCOLS):
            d = abs(r - river_row(c))
            bed = 320.0 - 0.15 * c
            if d < 16:
                valley = 0.2 * d
            elif d < 30:
                valley = 3.2 + 4.0 * (d - 16)
            else:
                valley = 3.2 + 4.0 * 14 + 0.6 * (d - 30)
            hills = 60.0 * fractal(c, r, 64, 3) * min(1.0, max(0.0, (d - 16) / 30.0))
            dem[r][c] = bed + valley + hills
    return dem


def slope_percent(dem):
    slope = grid(0.0)
    for r in range(NROWS):
        for c in range(NCOLS):
            c0, c1 = max(c - 1, 0), min(c + 1, NCOLS - 1)
            r0, r1 = max(r - 1, 0), min(r + 1, NROWS - 1)
            gx = (dem[r][c1] - dem[r][c0]) / ((c1 - c0) * CELLSIZE)
            gy = (dem[r1][c] - dem[r0][c]) / ((r1 - r0) * CELLSIZE)
            slope[r][c] = 100.0 * math.hypot(gx, gy)
    return slope


def line(cells, a, b):
    """Adds the cells of a 4-connected line from a to b (row, col) to `cells`."""
    (r0, c0), (r1, c1) = a, b
    steps = max(abs(r1 - r0), abs(c1 - c0), 1)
    prev = None
    for i in range(steps + 1):
        r = int(round(r0 + (r1 - r0) * i / steps))
        c = int(round(c0 + (c1 - c0) * i / steps))
        if prev is not None and prev[0] != r and prev[1] != c:
            cells.add((prev[0], c))  # no diagonal gaps: a road is walkable cell to cell
        cells.add((r, c))
        prev = (r, c)


def polyline(cells, points):
    for a, b in zip(points, points[1:]):
        line(cells, a, b)


def make_roads():
    cells = set()
    # The valley road on the north bank, a little above the floodplain.
    polyline(cells, [(int(round(river_row(c) - 10)), c) for c in range(0, NCOLS, 6)] +
             [(int(round(river_row(NCOLS - 1) - 10)), NCOLS - 1)])
    # The north-south road with its bridge.
    polyline(cells, [(0, 146), (40, 148), (int(river_row(150)), 150), (140, 156), (NROWS - 1, 162)])
    # From the village up to the north-east pass.
    polyline(cells, [(int(river_row(246) - 10), 246), (40, 268), (0, 290)])
    # The south-bank road to the hamlet and on to the south-west.
    polyline(cells, [(int(river_row(150) + 9), 150), (int(river_row(110) + 10), 110),
                     (150, 70), (NROWS - 1, 30)])
    roads = grid(0)
    for r, c in cells:
        if 0 <= r < NROWS and 0 <= c < NCOLS:
            roads[r][c] = 1
    return roads


def chamfer_distance(sources):
    """Distance in cells to the nearest source cell (3-4 chamfer, about 2 % from Euclidean)."""
    big = 10 ** 9
    d = [[0 if sources[r][c] else big for c in range(NCOLS)] for r in range(NROWS)]
    forward = ((-1, -1, 4), (-1, 0, 3), (-1, 1, 4), (0, -1, 3))
    backward = ((1, 1, 4), (1, 0, 3), (1, -1, 4), (0, 1, 3))
    for r in range(NROWS):
        for c in range(NCOLS):
            for dr, dc, w in forward:
                rr, cc = r + dr, c + dc
                if 0 <= rr < NROWS and 0 <= cc < NCOLS and d[rr][cc] + w < d[r][c]:
                    d[r][c] = d[rr][cc] + w
    for r in range(NROWS - 1, -1, -1):
        for c in range(NCOLS - 1, -1, -1):
            for dr, dc, w in backward:
                rr, cc = r + dr, c + dc
                if 0 <= rr < NROWS and 0 <= cc < NCOLS and d[rr][cc] + w < d[r][c]:
                    d[r][c] = d[rr][cc] + w
    return [[v / 3.0 for v in row] for row in d]


def make_settlements(water, region):
    """Existing built-up land: 1 old centre, 2 residential, 3 industrial and commercial."""
    codes = grid(0)
    towns = [  # column, offset from the river (north is negative), radius, core, industry
        (70, -10, 7.5, 3.0, (86, -6, 7, 4)),
        (150, -11, 9.0, 3.5, (132, -5, 8, 4)),
        (246, -11, 5.5, 2.0, None),
        (110, 11, 3.5, 0.0, None),
    ]
    for n, (tc, offset, radius, core, industry) in enumerate(towns):
        tr = river_row(tc) + offset
        for r in range(NROWS):
            for c in range(NCOLS):
                d = math.hypot(r - tr, c - tc)
                edge = radius * (0.75 + 0.5 * fractal(c, r, 6, 50 + n, 2))
                if d <= core:
                    codes[r][c] = 1
                elif d <= edge:
                    codes[r][c] = 2
        if industry:
            ic, ioff, w, h = industry
            ir = int(round(river_row(ic) + ioff))
            for r in range(ir - h // 2, ir + h - h // 2):
                for c in range(ic - w // 2, ic + w - w // 2):
                    codes[r][c] = 3
    for r in range(NROWS):
        for c in range(NCOLS):
            if water[r][c] or not region[r][c]:
                codes[r][c] = 0
    return codes


def make_watersheds(dem, water, region):
    """The land draining into each river reach, bank by bank: a priority flood from the water
    over the terrain (filling pits), the label travelling with the flood."""
    label = grid(-1)
    heap = []
    for r in range(NROWS):
        for c in range(NCOLS):
            if water[r][c]:
                continue
            if any(water[rr][cc] for rr, cc in neighbours4(r, c)):
                reach = sum(1 for edge in (45, 95, 140, 185, 240) if c >= edge)
                bank = 0 if r < river_row(c) else 1
                label[r][c] = 2 * reach + bank
                heapq.heappush(heap, (dem[r][c], r, c))
    while heap:
        level, r, c = heapq.heappop(heap)
        for rr, cc in neighbours4(r, c):
            if label[rr][cc] < 0 and not water[rr][cc]:
                label[rr][cc] = label[r][c]
                heapq.heappush(heap, (max(level, dem[rr][cc]), rr, cc))
    for r in range(NROWS):
        for c in range(NCOLS):
            if water[r][c] or not region[r][c]:
                label[r][c] = NODATA
    return label


# ---- output -----------------------------------------------------------------------------------

def write(folder, name, rows):
    with open(os.path.join(folder, name), "w", newline="\n") as f:
        f.write(HEADER)
        for row in rows:
            f.write(" ".join(str(v) for v in row))
            f.write("\n")


def clamp(v, lo, hi):
    return lo if v < lo else hi if v > hi else v


def main():
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "maps")
    os.makedirs(folder, exist_ok=True)
    region = make_region()
    water = make_water()
    dem = make_dem()
    slope = slope_percent(dem)
    roads = make_roads()
    road_distance = chamfer_distance(roads)
    river_distance = chamfer_distance(water)
    settlements = make_settlements(water, region)

    def inside(r, c, value):
        return value if region[r][c] else NODATA

    # Flat land builds cheaply: 100 on the level, nothing above a 14 % slope.
    terrain = [[inside(r, c, clamp(int(round(100 - 7.0 * slope[r][c])), 0, 100))
                for c in range(NCOLS)] for r in range(NROWS)]
    # Access falls off with the distance to the nearest road (e-folding over 600 m).
    access = [[inside(r, c, int(round(100 * math.exp(-road_distance[r][c] * CELLSIZE / 600.0))))
               for c in range(NCOLS)] for r in range(NROWS)]
    # Deep alluvial soils near the river, thin ones on slopes; one area was never surveyed.
    soil = grid(0)
    for r in range(NROWS):
        for c in range(NCOLS):
            v = 78 - 0.9 * river_distance[r][c] + 40 * (fractal(c, r, 30, 21, 3) - 0.5) \
                - 2.0 * slope[r][c]
            unsurveyed = 30 <= c < 52 and 24 <= r < 40
            soil[r][c] = NODATA if unsurveyed else inside(r, c, clamp(int(round(v)), 0, 100))
    water_mask = [[inside(r, c, water[r][c]) for c in range(NCOLS)] for r in range(NROWS)]

    write(folder, "terrain_suitability.asc", terrain)
    write(folder, "road_access.asc", access)
    write(folder, "soil_quality.asc", soil)
    write(folder, "water.asc", water_mask)
    write(folder, "roads.asc", roads)
    write(folder, "settlements.asc", settlements)
    write(folder, "watersheds.asc", make_watersheds(dem, water, region))
    return 0


if __name__ == "__main__":
    sys.exit(main())
