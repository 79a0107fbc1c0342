#!/usr/bin/env python3
"""What POSTPROCESS's rules cost a min-cut run, and whether its final map keeps them (python3
standard library only).

  rules.py BINARY [DEM ...]

Scenarios: the bundled example, and a settlement scenario (crop.py terrain) on each DEM given,
by default the two of tests/data (the Tirol valley, Mt. St. Helens); others, such as the tidal
marsh of ../shared/data/real, may be named. Every terrain scenario gets POSTPROCESS rules that
bite: a purge limit of 12 cells, the selection by distance (5 cells within 15 of the village)
and by value (80 %), and a basins map of 40 x 40 blocks.

Each scenario runs the three stages with --seed=1 by minimum cuts twice: with
"postprocess.expand.method" "greedy" (the repair of the plain cut's map) and "min-cut" (the
rounds). For each: PROCESS's final energy, the final map's (the runs table's) against PROCESS's
by the plain cut (the greedy run's), the CPU time, and whether POSTPROCESS run again over the
final map changes nothing ("keeps").
"""

import csv
import json
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEFAULT_DEMS = [os.path.join(ROOT, "tests", "data", name) for name in
                ("tirol_avagar_dem_xllcenter_520x387.asc", "mtsthelens_pre_runout_dem_80x122.asc")]
BASIN_BLOCK = 40

POSTPROCESS = {
    "select": {
        "purge-limit": 12,
        "method-distance": {"distance-masks": ["maps/village.asc"], "distance-maps": [],
                            "minimum-distance-to-mask": 15, "minimum-cells-at-distance": 5},
        "method-value": {"accumulated-value": 0.8},
    },
    "expand": {"assign-preference": "random", "basins-map": "maps/basins.asc",
               "minimim-cells-in-basin": 20},
    "debug-maps": "no",
    "output": "out/postprocess.asc",
    "output-mask": "out/postprocess_mask.asc",
}


def basins_grid(template, path):
    """Blocks of BASIN_BLOCK x BASIN_BLOCK cells numbered row by row, on the template's header."""
    with open(template) as f:
        lines = f.read().splitlines()
    header = [line for line in lines[:6] if re.match(r"^[A-Za-z]", line)]
    ncols = int(next(l.split()[1] for l in header if l.lower().startswith("ncols")))
    nrows = int(next(l.split()[1] for l in header if l.lower().startswith("nrows")))
    blocks = (ncols + BASIN_BLOCK - 1) // BASIN_BLOCK
    with open(path, "w") as f:
        f.write("\n".join(header) + "\n")
        for r in range(nrows):
            f.write(" ".join(str((r // BASIN_BLOCK) * blocks + c // BASIN_BLOCK)
                             for c in range(ncols)) + "\n")


def terrain(dem, outdir):
    subprocess.run([sys.executable, os.path.join(HERE, "crop.py"), "terrain", dem, outdir],
                   check=True, stdout=subprocess.DEVNULL)
    path = os.path.join(outdir, "config.json")
    with open(path) as f:
        config = json.load(f)
    basins_grid(os.path.join(outdir, "maps", "village.asc"),
                os.path.join(outdir, "maps", "basins.asc"))
    config["postprocess"] = POSTPROCESS
    with open(path, "w") as f:
        json.dump(config, f, indent=2)
    return outdir


def example(outdir):
    shutil.copytree(os.path.join(ROOT, "examples", "demo", "maps"), os.path.join(outdir, "maps"))
    shutil.copy(os.path.join(ROOT, "examples", "demo", "config.json"), outdir)
    os.makedirs(os.path.join(outdir, "out"), exist_ok=True)
    return outdir


def run(binary, folder, expand):
    with open(os.path.join(folder, "config.json")) as f:
        config = json.load(f)
    config["process"]["method"] = "min-cut"
    config["postprocess"]["expand"]["method"] = expand
    for stage in ("preprocess", "process", "postprocess"):
        config[stage]["debug-maps"] = "no"
    config["process"]["debug-evolution"] = "no"
    with open(os.path.join(folder, "run.json"), "w") as f:
        json.dump(config, f, indent=2)
    # CPU seconds of the run (one thread): steadier than the wall clock on a shared machine.
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    log = subprocess.run([binary, "--seed=1", "run.json"], cwd=folder, capture_output=True,
                         text=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    seconds = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    if log.returncode != 0:
        return {"error": log.stdout.strip().splitlines()[-1]}
    finals = re.findall(r"^  final (\S+)$", log.stdout, re.M)
    with open(os.path.join(folder, "out", "postprocess.runs.csv")) as f:
        row = list(csv.DictReader(f))[0]
    # POSTPROCESS again over the final map: the rules keep it when nothing changes.
    again = dict(config)
    again["process"] = dict(config["process"], output="out/postprocess.asc")
    again["postprocess"] = dict(config["postprocess"], output="out/again.asc",
                                **{"output-mask": "out/again_mask.asc"})
    with open(os.path.join(folder, "again.json"), "w") as f:
        json.dump(again, f, indent=2)
    subprocess.run([binary, "--seed=1", "--postprocess", "again.json"], cwd=folder,
                   capture_output=True, check=True)
    with open(os.path.join(folder, "out", "postprocess.asc")) as a, \
            open(os.path.join(folder, "out", "again.asc")) as b:
        keeps = a.read().split()[12:] == b.read().split()[12:]
    return {"process": float(finals[-1]), "final": float(row["energy"]), "seconds": seconds,
            "keeps": keeps, "gap": row["gap_percent"]}


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    binary = os.path.abspath(argv[1])
    dems = argv[2:] or DEFAULT_DEMS
    print("| scenario | expansion | PROCESS | final | final / plain cut | gap % | keeps | CPU seconds |")
    print("|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as work:
        scenarios = [("example", example(os.path.join(work, "example")))]
        for k, dem in enumerate(dems):
            name = os.path.basename(dem).split("_")[0]
            scenarios.append((name, terrain(dem, os.path.join(work, "dem%d" % k))))
        for name, folder in scenarios:
            plain = None  # PROCESS's energy by the plain cut, the greedy run's
            for expand in ("greedy", "min-cut"):
                r = run(binary, folder, expand)
                if "error" in r:
                    print("| %s | %s | %s |" % (name, expand, r["error"]))
                    continue
                plain = r["process"] if plain is None else plain
                print("| %s | %s | %.6f | %.6f | %+.1f %% | %s | %s | %.2f |" % (
                    name, expand, r["process"], r["final"],
                    100.0 * (r["final"] - plain) / abs(plain), r["gap"],
                    "yes" if r["keeps"] else "no", r["seconds"]))
            sys.stdout.flush()


if __name__ == "__main__":
    main(sys.argv)
