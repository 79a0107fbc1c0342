#!/usr/bin/env python3
"""Exhaustive reference for POSTPROCESS's rules: the least energy of a map the rules keep, against
the final map of a min-cut run of the three stages ("postprocess.expand.method" "min-cut").

  rules_reference.py [--landalloc BIN]

Instances: windows of the example a few cells wide, with a demand of a few cells, so that every map
of n cells among the variable cells can be tried (up to a few hundred thousand), and a light
perimeter weight, so that the least energy is several islands. Rules: a purge
limit (the least island size) and the selection by value at a share; the selection by distance and
the basins are off. A map is kept by the rules when no island is below the purge limit and the
walk of the selection by value chooses every island (the program's own rule: POSTPROCESS run again
over the map changes nothing). For each instance: the program's final energy (its runs table,
checked against this script's energy of its final map), the least energy of a map the rules keep,
and the least of any map (what the rules cost). Energies by mip_reference.py's evaluation.
"""

import argparse
import csv
import itertools
import json
import math
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import crop  # noqa: E402
import mip_reference  # noqa: E402

DEMO_CONFIG = os.path.join(os.path.dirname(HERE), "examples", "demo", "config.json")
# (name, row, col, height, width, cells to allocate, purge limit, share of the selection by value,
# perimeter weight, potential peaks or None for the example's own): potentials that peak in two or
# three places and a light perimeter weight spread the least energy over several islands, which
# the rules then forbid.
INSTANCES = [
    ("two peaks 5x5, islands of 4", 40, 60, 5, 5, 6, 4, 0.8, 0.1, [(0, 0), (4, 4)]),
    ("two peaks 5x5, one island", 40, 60, 5, 5, 6, 2, 0.5, 0.1, [(0, 0), (4, 4)]),
    ("three peaks 4x6, islands of 3", 40, 60, 4, 6, 7, 3, 0.8, 0.05, [(0, 0), (3, 5), (0, 5)]),
    ("three peaks 4x6, one island", 40, 60, 4, 6, 7, 2, 0.5, 0.05, [(0, 0), (3, 5), (0, 5)]),
    ("three peaks 5x5, islands of 3", 40, 60, 5, 5, 7, 3, 0.8, 0.02, [(0, 0), (4, 4), (0, 4)]),
    ("three peaks 5x5, islands of 4", 40, 60, 5, 5, 7, 4, 0.8, 0.02, [(0, 0), (4, 4), (0, 4)]),
    ("two peaks 4x6, islands of 4", 40, 60, 4, 6, 7, 4, 0.8, 0.02, [(0, 0), (3, 5)]),
    ("four peaks 5x5, islands of 3", 40, 60, 5, 5, 7, 3, 0.9, 0.02,
     [(0, 0), (4, 4), (0, 4), (4, 0)]),
    ("the example's road 4x6, islands of 4", 80, 130, 4, 6, 6, 4, 0.8, 0.02, None),
    ("the example's field 5x5, islands of 4", 40, 60, 5, 5, 7, 4, 0.8, 0.02, None),
]
POTENTIAL_MAPS = ("terrain_suitability.asc", "soil_quality.asc", "road_access.asc")
MAX_MAPS = 600000


def islands_of(chosen):
    from scipy import ndimage
    labels, count = ndimage.label(chosen)
    return labels, count


def rules_keep(chosen, potential, purge_limit, share):
    """Whether POSTPROCESS's purge and selection by value leave every island of the map."""
    import numpy as np
    labels, count = islands_of(chosen)
    if count == 0:
        return False
    sizes = np.bincount(labels.ravel(), minlength=count + 1)[1:]
    if (sizes < purge_limit).any():
        return False
    if share == 0.0:
        return True
    values = sorted((float(potential[labels == k + 1].astype(np.float64).sum())
                     for k in range(count)), reverse=True)
    total = 0.0
    for v in values:
        total += v
    target = float(np.float32(share)) * total
    running, chosen_count = 0.0, 0
    for v in values:
        if not target > running:
            break
        running += v
        chosen_count += 1
    # No island chosen by value: every island is in the best group.
    return chosen_count in (0, count)


def build(folder, instance):
    name, row, col, height, width, n, purge, share, perimeter, peaks = instance
    crop.window(DEMO_CONFIG, folder, row, col, height, width)
    for map_name in POTENTIAL_MAPS if peaks else ():
        # Falls from 1 at the nearest peak by a fifth a step; a little per cell breaks the ties.
        grid = os.path.join(folder, "maps", map_name)
        header, values = mip_reference.read_map(grid)
        for r in range(height):
            for c in range(width):
                near = min(abs(r - pr) + abs(c - pc) for pr, pc in peaks)
                values[r][c] = max(0.0, 1.0 - 0.2 * near) + 0.001 * ((r * 7 + c * 3) % 5)
        mip_reference.write_map(grid, header, values)
    path = os.path.join(folder, "config.json")
    with open(path) as f:
        config = json.load(f)
    config["preprocess"].pop("convert-area", None)
    config["preprocess"]["demand"] = {"cells": n}
    config["process"]["method"] = "min-cut"
    config["process"]["functions-weight"][1] = perimeter
    post = config["postprocess"]
    post["select"]["purge-limit"] = purge
    post["select"]["method-distance"]["minimum-distance-to-mask"] = 0
    post["select"]["method-value"]["accumulated-value"] = share
    post["expand"].update({"method": "min-cut", "basins-map": ""})
    post["debug-maps"] = "yes"
    config["process"]["debug-evolution"] = "no"
    with open(path, "w") as f:
        json.dump(config, f, indent=2)
    return path


def measure(landalloc, folder, instance):
    import numpy as np
    path = build(folder, instance)
    ref, _, _, _ = mip_reference.run_landalloc(path, landalloc, 1)
    run = subprocess.run([landalloc, "--seed=1", "config.json"], cwd=folder, capture_output=True,
                         text=True)
    if run.returncode != 0:
        return {"error": run.stdout.strip().splitlines()[-1]}
    with open(os.path.join(folder, "out", "postprocess.runs.csv")) as f:
        table_energy = float(list(csv.DictReader(f))[0]["energy"])
    final = mip_reference.read_map(os.path.join(folder, "out", "postprocess.asc"))[1] == ref.wcv
    final_energy = ref.energy(final)["energy"]
    if abs(final_energy - table_energy) > mip_reference.PRINT_TOLERANCE:
        sys.exit("error: %s: this script's energy %.6f of the final map, the program's %.6f" %
                 (instance[0], final_energy, table_energy))
    potential = mip_reference.read_map(
        os.path.join(folder, "out", "postprocess.asc.debug.map-1.asc"))[1]
    cells = ref.cells()
    n = ref.n
    if math.comb(len(cells), n) > MAX_MAPS:
        return {"error": "%d maps: too many to try" % math.comb(len(cells), n)}
    best_kept, best_any = math.inf, math.inf
    chosen = np.zeros(ref.variable.shape, dtype=bool)
    flat = chosen.ravel()
    for combination in itertools.combinations(cells, n):
        flat[:] = False
        flat[list(combination)] = True
        energy = ref.energy(chosen)["energy"]
        best_any = min(best_any, energy)
        if energy < best_kept and rules_keep(chosen, potential, instance[6], instance[7]):
            best_kept = energy
    return {"final": final_energy, "kept": rules_keep(final, potential, instance[6], instance[7]),
            "best_kept": best_kept, "best_any": best_any, "maps": math.comb(len(cells), n),
            "variables": len(cells)}


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--landalloc", default=mip_reference.DEFAULT_LANDALLOC)
    args = parser.parse_args(argv[1:])
    mip_reference.require_scipy()
    landalloc = os.path.abspath(args.landalloc)
    print("| instance | cells / variable | maps | purge limit | share | final | rules keep it "
          "| best the rules keep | final / best kept | best of any map |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as work:
        for k, instance in enumerate(INSTANCES):
            r = measure(landalloc, os.path.join(work, "i%d" % k), instance)
            if "error" in r:
                print("| %s | %s |" % (instance[0], r["error"]))
                continue
            print("| %s | %d / %d | %d | %d | %g | %.6f | %s | %.6f | %+.2f %% | %.6f |" % (
                instance[0], instance[5], r["variables"], r["maps"], instance[6], instance[7],
                r["final"], "yes" if r["kept"] else "no", r["best_kept"],
                100.0 * (r["final"] - r["best_kept"]) / max(abs(r["best_kept"]), 1e-12),
                r["best_any"]))
            sys.stdout.flush()


if __name__ == "__main__":
    main(sys.argv)
