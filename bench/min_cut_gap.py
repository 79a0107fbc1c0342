#!/usr/bin/env python3
"""How close PROCESS gets to the optimum: the mixed-integer reference against the annealing and
the min-cut method, as a markdown table.

  min_cut_gap.py [--landalloc BIN] [--scratch DIR] [--seeds 1,2,3,4,5] [--only NAME,...]
                 [--no-tiled] [--big] [--time-limit S]

For every instance: the scenario is built in DIR (crop.py), mip_reference.py runs PREPROCESS
(--seed=1) and solves the reference, then `landalloc --process` runs on that same preprocess map
with the scenario's own annealing settings (autotuning, as the example) for each seed, and once
with "process.method": "min-cut" when the program knows that method (a run whose log says the
property or its value is unknown, or that prints no `lower bound` line, is reported as skipped).
Gaps are (E - E_ref) / E_ref in %, with E_ref the full energy (islands counted) of the MIP's map;
the true optimum of the full energy lies between the MIP optimum (no islands) and that figure, so
a gap below 0 is possible. A run below the MIP optimum, or a lower bound above the energy of
the MIP's map, is a fault (exit status 1). "bound below" is (MIP optimum - lower bound) / MIP optimum in %.
The last instance, the example tiled to 1000 x 1000 cells, has no MIP (far too big): it compares
one annealing run with the min-cut. Times are wall-clock seconds of the whole landalloc call
(PROCESS only) or of the HiGHS solve.
"""

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import crop  # noqa: E402
import mip_reference  # noqa: E402

DEMO_CONFIG = os.path.join(REPO, "examples", "demo", "config.json")
# A real terrain model shipped with the tests (its source and licence: tests/data/SOURCES.md).
TIROL_DEM = os.path.join(REPO, "tests", "data", "tirol_avagar_dem_xllcenter_520x387.asc")
HELENS_DEM = os.path.join(REPO, "tests", "data", "mtsthelens_pre_runout_dem_80x122.asc")
# rows 200-279, cols 320-399 of the DEM: the gentle runout zone below the avalanche slopes, with
# some steep ground (408 excluded cells) and a valley floor for the village (192 cells).
TIROL_WINDOW = (200, 320, 80)


def instances(scratch, big):
    """(name, folder, builder); each builder writes the scenario and returns its configuration."""
    out = []
    name, row, col, size = crop.DEMO_TINY
    out.append((name, lambda d, r=row, c=col, s=size: crop.window(DEMO_CONFIG, d, r, c, s)))
    for name, row, col, size in crop.DEMO_WINDOWS:
        out.append((name, lambda d, r=row, c=col, s=size: crop.window(DEMO_CONFIG, d, r, c, s)))
    # Ties: windows with each potential map rounded to five levels, so that many cells cost the
    # same and many maps are equally good.
    for name, row, col, size in crop.DEMO_WINDOWS:
        if name == "demo-80":
            continue
        out.append((name + "-ties", lambda d, r=row, c=col, s=size:
                    crop.window(DEMO_CONFIG, d, r, c, s, levels=5)))
    # The whole example, 300 x 200 cells (n = 1583): HiGHS closes it in about 35 s.
    out.append(("demo-full", lambda d: crop.window(DEMO_CONFIG, d, 0, 0, 200, 300)))
    row, col, size = TIROL_WINDOW
    out.append(("tirol-80", lambda d: crop.terrain_scenario(TIROL_DEM, d, row, col, size, size)))
    # The clamps binding: the village free land at distance 0 (the distances term below 0 on a
    # map there), n = 104 cells, whose least perimeter (42) lies below the term's own floor
    # 4 ceil(sqrt n) = 44, and a perimeter weight of 4. Mt. St. Helens' rows 10-64, all its
    # columns but the last (no data).
    out.append(("clamp-volcano", lambda d: crop.terrain_scenario(
        HELENS_DEM, d, 10, 0, 55, 80, convert_area=0.0279, village_free=True,
        weights=[1.0, 4.0, 1.0, 0.5, 1.0])))
    # The same, plain weights and n = 112.
    out.append(("clamp-volcano-112", lambda d: crop.terrain_scenario(
        HELENS_DEM, d, 10, 0, 55, 80, convert_area=0.03, village_free=True)))
    if big:
        # The whole DEM, 520 x 387 cells (n = 1812): HiGHS needs about 4 to 5 minutes.
        out.append(("tirol-full", lambda d: crop.terrain_scenario(TIROL_DEM, d)))
    return [(n, os.path.join(scratch, n), b) for n, b in out]


def run_process(config_path, landalloc, seed, method, tag):
    """One `landalloc --process` on a copy of the configuration; returns the parsed log."""
    with open(config_path) as f:
        config = json.load(f)
    folder = os.path.dirname(os.path.abspath(config_path))
    process = config["process"]
    out_dir = os.path.dirname(process["output"]) or "."
    process.update({"debug-maps": "no", "debug-evolution": "no",
                    "output": os.path.join(out_dir, "%s.asc" % tag)})
    if method is not None:
        process["method"] = method
    run_config = os.path.join(folder, "%s.config.json" % tag)
    with open(run_config, "w") as f:
        json.dump(config, f, indent=2)
    start = time.perf_counter()
    proc = subprocess.run([landalloc, "--seed=%d" % seed, "--process",
                           os.path.basename(run_config)], cwd=folder, capture_output=True,
                          text=True)
    seconds = time.perf_counter() - start
    log = proc.stdout + proc.stderr
    with open(os.path.join(folder, out_dir, "%s.log" % tag), "w") as f:
        f.write(log)
    unknown = re.search(r"^.*unknown.*(method|min-cut).*$", log, re.M | re.I)
    bound = re.findall(r"^  lower bound (-?[0-9.]+)$", log, re.M)
    gap = re.findall(r"^  gap (-?[0-9.]+)%$", log, re.M)
    return {"status": proc.returncode, "seconds": seconds, "log": log,
            "unknown": unknown.group(0).strip() if unknown else None,
            "final": mip_reference.log_energy(log, "final"),
            "bound": float(bound[-1]) if bound else None,
            "gap": float(gap[-1]) if gap else None}


# Set by the first min-cut run that the program refuses or ignores: later instances are not run
# for nothing (an older program ignores the property and anneals, which takes minutes on the
# tiled example).
UNSUPPORTED = []


def min_cut(config_path, landalloc):
    """The min-cut run, or None with the reason it was skipped."""
    if UNSUPPORTED:
        return None, UNSUPPORTED[0]
    r = run_process(config_path, landalloc, 1, "min-cut", "min_cut")
    if r["unknown"]:
        UNSUPPORTED.append("the program does not know it: %s" % r["unknown"])
        return None, UNSUPPORTED[0]
    if r["status"] != 0 or r["final"] is None:
        return None, "landalloc failed (exit code %d)" % r["status"]
    if r["bound"] is None:
        UNSUPPORTED.append("the log has no lower bound line: the method was not run")
        return None, UNSUPPORTED[0]
    return r, None


def annealing(config_path, landalloc, seeds):
    runs = []
    for seed in seeds:
        r = run_process(config_path, landalloc, seed, "annealing", "annealing.seed%d" % seed)
        if r["status"] != 0 or r["final"] is None:
            sys.exit("error: the annealing run with seed %d failed (exit code %d); log in %s" %
                     (seed, r["status"], os.path.dirname(config_path)))
        runs.append(r)
    finals = sorted(r["final"] for r in runs)
    return {"best": finals[0], "median": statistics.median(finals),
            "seconds": statistics.median(r["seconds"] for r in runs),
            "method_ignored": any(r["unknown"] for r in runs)}


def pct(value, ref):
    if value is None or ref is None or ref == 0:
        return "-"
    return "%.2f" % (100.0 * (value - ref) / ref)


def below(bound, optimum):
    if bound is None or not optimum:
        return "-"
    return "%.2f" % (100.0 * (optimum - bound) / optimum)


def num(value, fmt="%.6f"):
    return "-" if value is None else fmt % value


def tiled_row(scratch, landalloc, notes):
    folder = os.path.join(scratch, "demo-tiled-1000")
    if not os.path.exists(os.path.join(folder, "config.json")):
        crop.tile(DEMO_CONFIG, folder, 5, 1000, 1000)
    config = os.path.join(folder, "config.json")
    pre = os.path.join(folder, "out", "preprocess.asc")
    if not os.path.exists(pre):
        proc = subprocess.run([landalloc, "--seed=1", "--preprocess", "config.json"], cwd=folder,
                              capture_output=True, text=True)
        if proc.returncode != 0:
            sys.exit("error: PREPROCESS of the tiled example failed:\n" + proc.stdout[-2000:])
    n = count_allocated(pre)
    a = annealing(config, landalloc, [1])
    m, why = min_cut(config, landalloc)
    if why and not any(why in n for n in notes):
        notes.append("example tiled to 1000 x 1000, min-cut skipped: " + why)
    versus = pct(m["final"], a["best"]) + " (vs annealing)" if m else "-"
    return ("| example tiled to 1000x1000 | 1000000 | %d | - | - | - | %s | - | - | - | %.1f | %s "
            "| %s | %s | - | %s |" % (n, num(a["best"]), a["seconds"], num(m and m["final"]),
                                      num(m and m["bound"]), versus,
                                      "%.1f" % m["seconds"] if m else "-"))


def built_landalloc(path):
    """The program's absolute path; exits with a hint when it is not built."""
    landalloc = os.path.abspath(path)
    if not os.access(landalloc, os.X_OK):
        sys.exit("error: no landalloc at %s: build it first (cmake --build build/release "
                 "--target landalloc)" % landalloc)
    return landalloc


def count_allocated(path):
    _, values = mip_reference.read_map(path)
    return int((values == values.max()).sum())


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--landalloc", default=mip_reference.DEFAULT_LANDALLOC)
    ap.add_argument("--scratch", default="/tmp/landalloc-min-cut-gap")
    ap.add_argument("--seeds", default="1,2,3,4,5")
    ap.add_argument("--only", help="comma-separated instance names")
    ap.add_argument("--no-tiled", action="store_true")
    ap.add_argument("--big", action="store_true",
                    help="also the instances whose MIP takes minutes (the whole terrain model)")
    ap.add_argument("--time-limit", type=float, default=120.0)
    a = ap.parse_args(argv)
    mip_reference.require_scipy()
    landalloc = built_landalloc(a.landalloc)
    seeds = [int(s) for s in a.seeds.split(",")]
    only = set(a.only.split(",")) if a.only else None
    os.makedirs(a.scratch, exist_ok=True)
    notes = []
    faults = []
    rows = []
    for name, folder, build in instances(a.scratch, a.big):
        if only and name not in only:
            continue
        print("== %s" % name, file=sys.stderr)
        config = os.path.join(folder, "config.json")
        if not os.path.exists(config):
            build(folder)
        ref = mip_reference.reference(config, landalloc, 1, a.time_limit, quiet=True)
        if "optimum" not in ref:
            notes.append("%s: no MIP solution within %g s (%s)" % (name, a.time_limit,
                                                                  ref["message"]))
            continue
        if not ref["optimal"]:
            notes.append("%s: the MIP stopped at the time limit; its optimum column is the best "
                         "map found, its dual bound %.6f" % (name, ref["dual_bound"]))
        ann = annealing(config, landalloc, seeds)
        if ann["method_ignored"] and not any("ignores process.method" in n for n in notes):
            notes.append("the program ignores process.method (unknown property): the annealing "
                         "runs used its only method")
        tol = mip_reference.PRINT_TOLERANCE
        # Stopped at the time limit, the MIP's map is only a good one: its dual bound is the bound.
        lowest = ref["optimum"] if ref["optimal"] else ref["dual_bound"]
        if ann["best"] < lowest - tol:
            faults.append("%s: annealing %.6f below the MIP bound %.6f: the reference is "
                          "wrong" % (name, ann["best"], lowest))
        m, why = min_cut(config, landalloc)
        if why and not any(why in n for n in notes):
            notes.append("min-cut skipped: %s" % why)
        if m and m["final"] < lowest - tol:
            faults.append("%s: min-cut final %.6f below the MIP bound %.6f" %
                          (name, m["final"], lowest))
        if m and m["bound"] > ref["full_energy"] + tol:
            faults.append("%s: min-cut lower bound %.6f above the energy %.6f of a feasible map "
                          "(the MIP's)" % (name, m["bound"], ref["full_energy"]))
        elif m and m["bound"] > ref["optimum"] + tol:
            notes.append("%s: the min-cut bound lies above the optimum without islands: it is a "
                         "bound only if it counts the islands" % name)
        ref_full = ref["full_energy"]
        rows.append("| %s | %d (%d) | %d | %.6f | %.6f (%d isl.) | %.1f | %.6f | %.6f | %s | %s | %.1f "
                    "| %s | %s | %s | %s | %s |" % (
                        name, ref["rows"] * ref["cols"], ref["variable_cells"], ref["n"], ref["optimum"], ref_full,
                        ref["islands"], ref["seconds"], ann["best"], ann["median"],
                        pct(ann["best"], ref_full), pct(ann["median"], ref_full), ann["seconds"],
                        num(m and m["final"]), num(m and m["bound"]),
                        pct(m and m["final"], ref_full),
                        below(m and m["bound"], ref["optimum"]),
                        "%.1f" % m["seconds"] if m else "-"))
    if not a.no_tiled and (not only or "tiled" in only):
        print("== demo-tiled-1000", file=sys.stderr)
        rows.append(tiled_row(a.scratch, landalloc, notes))
    print_report(["instance", "cells (variable)", "n", "MIP optimum (no islands)",
                  "MIP map full energy", "MIP s", "annealing best", "annealing median",
                  "gap best %", "gap median %", "annealing s", "min-cut final", "min-cut bound",
                  "min-cut gap %", "bound below MIP optimum %", "min-cut s"], rows,
                 ["annealing seeds %s; gaps against the full energy of the MIP's map" % a.seeds],
                 notes, faults)


def print_report(columns, rows, lines, notes, faults):
    """The markdown table, then `lines`, the notes and the faults as a list; exit status 1 on a
    fault."""
    print("| " + " | ".join(columns) + " |")
    print("|" + "---|" * len(columns))
    for r in rows:
        print(r)
    print()
    for line in lines:
        print(line)
    for note in notes:
        print("- " + note)
    for fault in faults:
        print("- FAULT: " + fault)
    if faults:
        sys.exit(1)


if __name__ == "__main__":
    main(sys.argv[1:])
