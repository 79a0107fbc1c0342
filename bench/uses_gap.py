#!/usr/bin/env python3
"""How close PROCESS gets to the optimum with several land uses: the mixed-integer reference
(mip_uses_reference.py) against `landalloc --preprocess --process` on windows of the example's
three-use configuration, as a markdown table.

  uses_gap.py [--landalloc BIN] [--scratch DIR] [--seed N] [--only NAME,...] [--time-limit S]

Each window keeps the example's uses, weights and adjacency costs (the last drops the attraction
of green space and housing); the demands are cut down to the window (the shares below of its
cells) so that HiGHS closes the program in minutes. Gaps are
(E - E_ref) / E_ref in %, against the MIP optimum without islands (a lower bound on the true
optimum) and against the full energy of the MIP's map (an upper bound on it). A final energy below
the MIP optimum, or a printed lower bound above the energy of the MIP's map, is a fault (exit 1).
"""

import argparse
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import crop  # noqa: E402
import min_cut_gap  # noqa: E402
import mip_reference  # noqa: E402
import mip_uses_reference  # noqa: E402

USES_CONFIG = os.path.join(REPO, "examples", "demo", "land_uses.json")
# (name, row, col, size): nested square windows around the example's second town (its old centre,
# housing's existing cells, at rows 59-65, columns 147-153), each with residential land, water
# (excluded cells), roads (industry's masks) and free land; from 50 on, the industrial estate too.
WINDOWS = [
    ("uses-30", 50, 135, 30, None),
    ("uses-50", 45, 125, 50, None),
    ("uses-70", 40, 110, 70, None),
    ("uses-100", 35, 100, 100, None),
    # Without the attraction the program's lower bound needs no allowance for shared sides: how
    # close it comes to the optimum.
    ("uses-50-repel", 45, 125, 50, [[0, 1, 0], [1, 0, 0], [0, 0, 0]]),
    # Other parts of the map, the second with green space and industry kept apart as well.
    ("uses-60-west", 120, 30, 60, None),
    ("uses-40-east", 80, 220, 40, [[0, 1, -0.5], [1, 0, 0.5], [-0.5, 0.5, 0]]),
    # Two more, chosen after the bound's work on the others: where the uses crowd each other.
    ("uses-50-south", 150, 150, 50, None),
    ("uses-40-southeast", 140, 250, 40, None),
    # And one chosen after the closer rounds: where the bound stays farthest below.
    ("uses-60-north", 20, 200, 60, None),
]
# Each use's demand as a share of the window's cells: about the example's 9 : 5 : 4.
DEMAND_SHARES = {"housing": 0.015, "industry": 0.008, "green-space": 0.006}


def build(folder, row, col, size, adjacency):
    config_path = crop.window(USES_CONFIG, folder, row, col, size)
    with open(config_path) as f:
        config = json.load(f)
    if adjacency is not None:
        config["adjacency"] = adjacency
    for use in config["land-uses"]:
        use["demand"] = {"cells": max(1, int(DEMAND_SHARES[use["name"]] * size * size))}
    with open(config_path, "w") as f:
        json.dump(config, f, indent=2)
        f.write("\n")
    return config_path


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--landalloc", default=mip_reference.DEFAULT_LANDALLOC)
    ap.add_argument("--scratch", default="/tmp/landalloc-uses-gap")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--only", help="comma-separated instance names")
    ap.add_argument("--time-limit", type=float, default=600.0)
    a = ap.parse_args(argv)
    mip_reference.require_scipy()
    landalloc = min_cut_gap.built_landalloc(a.landalloc)
    only = set(a.only.split(",")) if a.only else None
    tol = mip_reference.PRINT_TOLERANCE
    rows, notes, faults = [], [], []
    for name, row, col, size, adjacency in WINDOWS:
        if only and name not in only:
            continue
        print("== %s" % name, file=sys.stderr)
        config = build(os.path.join(a.scratch, name), row, col, size, adjacency)
        r = mip_uses_reference.reference(config, landalloc, a.seed, a.time_limit, quiet=True)
        p = r["program"]
        if "optimum" not in r:
            notes.append("%s: no MIP solution within %g s (%s)" % (name, a.time_limit,
                                                                  r["message"]))
            continue
        lowest = r["optimum"]
        if not r["optimal"]:
            lowest = r["dual_bound"]
            notes.append("%s: the MIP stopped at the time limit; its optimum column is the best "
                         "map found, its dual bound %.6f" % (name, r["dual_bound"]))
        if p["final"] < lowest - tol:
            faults.append("%s: final %.6f below the MIP bound %.6f" % (name, p["final"], lowest))
        if p["bound"] is not None and p["bound"] > r["full_energy"] + tol:
            faults.append("%s: lower bound %.6f above the energy %.6f of a feasible map (the "
                          "MIP's)" % (name, p["bound"], r["full_energy"]))
        rows.append(
            "| %s | %d (%d) | %s | %.6f | %s | %.6f (%s isl.) | %.1f | %.6f | %s | %s | %s | %s "
            "| %d | %.1f |" % (
                name, r["rows"] * r["cols"], r["variable_cells"],
                " / ".join(str(n) for n in r["demands"]), r["optimum"],
                min_cut_gap.num(r["dual_bound"]), r["full_energy"],
                "+".join(str(i) for i in r["islands"]), r["seconds"], p["final"],
                min_cut_gap.pct(p["final"], r["optimum"]),
                min_cut_gap.pct(p["final"], r["full_energy"]), min_cut_gap.num(p["bound"]),
                min_cut_gap.below(p["bound"], r["optimum"]),
                p["rounds"], p["seconds"]))
    min_cut_gap.print_report(
        ["instance", "cells (variable)", "demands " + " / ".join(DEMAND_SHARES),
         "MIP optimum (no islands)", "MIP dual bound", "MIP map full energy", "MIP s",
         "min-cut final",
         "gap vs MIP optimum %", "gap vs MIP map %", "lower bound", "bound below MIP optimum %",
         "rounds", "landalloc s"], rows, [], notes, faults)


if __name__ == "__main__":
    main(sys.argv[1:])
