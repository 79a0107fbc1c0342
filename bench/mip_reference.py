#!/usr/bin/env python3
"""Exact reference for PROCESS: the least energy without the islands term, as a mixed-integer
program solved by HiGHS (scipy.optimize.milp).

  mip_reference.py CONFIG [--landalloc BIN] [--seed N] [--time-limit S] [--no-cache]

Runs `landalloc --seed=N --preprocess --process` on a copy of CONFIG (debug maps on, one short
manual stage) to get the preprocess map and the maps the energy reads, checks this script's
energy of the preprocess map against the program's `initial` line (and of the program's output
against its `final` line), then solves

  min  w1 (top1 - sum p x) / r1 + w2 t2 / r2 + w4 (top4 - sum s x) / r4 + w5 t5 / r5
  s.t. sum x = n,  x binary over the variable cells (the allocated and the free selectable ones),
       t2 >= sum_i fixed_i x_i + sum_ij e_ij - Pmin,  e_ij >= x_i - x_j,  e_ij >= x_j - x_i,
       t5 >= sum d x - bot5,  t2, t5 >= 0

(fixed_i: the sides of cell i on the grid edge or facing a cell that can never be allocated; one
e per pair of side-neighbouring variable cells). The islands term is never negative, so this
optimum bounds the full energy from below; the full energy of the optimal map, islands counted,
is reported beside it, checked against the program's energy of that map (a PROCESS of no stage
started from it). Results are cached in CONFIG's folder (mip_reference.json), keyed by the
maps and weights, so a later run only re-runs the short landalloc call.
"""

import argparse
import hashlib
import json
import os
import re
import subprocess
import sys
import time

DEBIAN_PYTHON = "/usr/bin/python3"
HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_LANDALLOC = os.path.join(os.path.dirname(HERE), "build", "release", "landalloc")
# Energies are printed with six decimals: anything past half a unit of the last is a real
# difference between this evaluation and the program's.
PRINT_TOLERANCE = 1.5e-6


def require_scipy():
    """scipy (Debian's python3-scipy) with milp, re-running under Debian's python when the python
    first on PATH (a virtual environment, pyenv) lacks it."""
    try:
        import scipy.optimize  # noqa: F401
        if hasattr(scipy.optimize, "milp"):
            return
    except ImportError:
        pass
    if os.path.realpath(sys.executable) != os.path.realpath(DEBIAN_PYTHON) and \
            os.path.exists(DEBIAN_PYTHON) and not os.environ.get("MIP_REFERENCE_REEXEC"):
        os.environ["MIP_REFERENCE_REEXEC"] = "1"
        os.execv(DEBIAN_PYTHON, [DEBIAN_PYTHON] + sys.argv)
    sys.exit("error: scipy >= 1.9 with scipy.optimize.milp is needed: "
             "apt-get install python3-scipy (then run with /usr/bin/python3)")


def read_map(path):
    """(header lines, float32 array of nrows x ncols) of an Esri ASCII grid."""
    import numpy as np
    with open(path) as f:
        tokens = f.read().split()
    header = []
    i = 0
    while tokens[i][0].isalpha():
        header.append((tokens[i], tokens[i + 1]))
        i += 2
    keys = {k.lower(): v for k, v in header}
    nrows, ncols = int(keys["nrows"]), int(keys["ncols"])
    values = np.array(tokens[i:], dtype=np.float64).astype(np.float32)
    return header, values.reshape(nrows, ncols)


def read_debug_maps(prefix):
    """The potential, selection, nservices and distances maps a PROCESS with debug maps wrote."""
    return [read_map(prefix + ".debug.map-%d.asc" % k)[1] for k in range(1, 5)]


def write_map(path, header, values):
    width = max(len(k) for k, _ in header)
    with open(path, "w") as f:
        for k, v in header:
            f.write("%-*s %s\n" % (width, k, v))
        for row in values:
            f.write(" ".join("%.9g" % v for v in row))
            f.write("\n")


def value_bounds(values, n, strictly_positive):
    """Sums of the n largest and the n smallest values >= 0 (> 0), largest (smallest) first."""
    v = values[values > 0] if strictly_positive else values[values >= 0]
    v = sorted(float(x) for x in v.ravel())
    top = 0.0
    for x in reversed(v[-n:] if n > 0 else []):
        top += x
    bottom = 0.0
    for x in v[:n]:
        bottom += x
    return top, bottom


def usable(range_):
    return range_ == range_ and abs(range_) != float("inf") and range_ > 0.0


class Instance:
    """The maps the energy reads, the working cell value and the weights of one run."""

    def __init__(self, preprocess_map, debug_prefix, weights):
        header, self.pre = read_map(preprocess_map)
        self.wcv = float(self.pre.max())
        self.fix(header, self.pre == self.wcv, self.pre == 0.0, read_debug_maps(debug_prefix),
                 weights)

    @classmethod
    def of_cells(cls, header, chosen, free, maps, weights):
        """The energy of one land use among several: its cells `chosen`, the cells it may take
        `free` (boolean arrays), its maps (potential, selection, nservices, distances)."""
        instance = cls.__new__(cls)
        instance.fix(header, chosen, free, maps, weights)
        return instance

    def fix(self, header, chosen, free, maps, weights):
        """Sets the maps and the normalisers, which the first evaluation fixes from the solution
        size alone."""
        self.header = header
        self.potential, self.selection, self.nservices, self.distances = maps
        self.weights = [float(w) for w in weights]
        self.n = int(chosen.sum())
        # The cells a move can put in or take out: allocated ones and selectable free ones.
        self.variable = chosen | (free & (self.selection > 0.0))
        n = self.n
        self.top1, bottom1 = value_bounds(self.potential, n, False)
        self.top4, bottom4 = value_bounds(self.nservices, n, False)
        top5, self.bottom5 = value_bounds(self.distances, n, True)
        self.pmin = int(4.0 * __import__("math").ceil(n ** 0.5))
        self.r = [self.top1 - bottom1, float(4 * n - self.pmin), float(n - 1),
                  self.top4 - bottom4, top5 - self.bottom5]

    def key(self):
        h = hashlib.sha256()
        for a in (self.pre, self.potential, self.selection, self.nservices, self.distances):
            h.update(a.tobytes())
        h.update(json.dumps(self.weights).encode())
        return h.hexdigest()

    def on(self, term):
        return usable(self.r[term])

    def energy(self, chosen, islands=True):
        """Terms and energy of the map whose solution cells are `chosen` (boolean array)."""
        import numpy as np
        from scipy import ndimage
        w, r = self.weights, self.r
        s = chosen
        padded = np.pad(s, 1)
        perimeter = 0
        for dr, dc in ((-1, 0), (1, 0), (0, -1), (0, 1)):
            neighbour = padded[1 + dr:1 + dr + s.shape[0], 1 + dc:1 + dc + s.shape[1]]
            perimeter += int((s & ~neighbour).sum())
        count = ndimage.label(s)[1] if islands else 1  # 4-connected by default
        f = [0.0] * 5
        if self.on(0):
            f[0] = (self.top1 - float(self.potential[s].astype(np.float64).sum())) / r[0]
        if self.on(1):
            f[1] = (perimeter - self.pmin) / r[1]
        if self.on(2):
            f[2] = (count - 1) / r[2]
        if self.on(3):
            f[3] = (self.top4 - float(self.nservices[s].astype(np.float64).sum())) / r[3]
        if self.on(4):
            f[4] = (float(self.distances[s].astype(np.float64).sum()) - self.bottom5) / r[4]
        residue = lambda t: 0.0 if -1e-9 < t < 0.0 else t  # noqa: E731
        e = (w[0] * residue(f[0]) + w[1] * max(f[1], 0.0) + w[2] * max(f[2], 0.0) +
             w[3] * residue(f[3]) + w[4] * max(f[4], 0.0))
        return {"energy": e, "terms": f, "perimeter": perimeter, "islands": count,
                "cells": int(s.sum())}

    def cells(self):
        """Flat indices of the variable cells, in the order of the program's x variables."""
        import numpy as np
        return np.flatnonzero(self.variable.ravel())

    def add_energy(self, program, x):
        """Adds this energy without the islands term to `program`, the variable cells' x being
        the variables from index x on. Returns the perimeter variables e = |x_i - x_j| of the
        sides between two variable cells, as the index of each right side's and each down side's
        (-1 where there is none)."""
        import numpy as np
        w, r = self.weights, self.r
        nrows, ncols = self.variable.shape
        cells = self.cells()
        m = len(cells)
        xs = x + np.arange(m)
        if self.on(0):
            program.add_cost(xs, -w[0] / r[0] * self.potential.ravel()[cells].astype(np.float64))
            program.constant += w[0] * self.top1 / r[0]
        if self.on(3):
            program.add_cost(xs, -w[3] / r[3] * self.nservices.ravel()[cells].astype(np.float64))
            program.constant += w[3] * self.top4 / r[3]
        edges = (-np.ones((nrows, ncols - 1), dtype=np.int64),
                 -np.ones((nrows - 1, ncols), dtype=np.int64))
        if self.on(1) and w[1] != 0.0:
            v = self.variable
            index = -np.ones(v.shape, dtype=np.int64)
            index.ravel()[cells] = xs
            right = v[:, :-1] & v[:, 1:]
            down = v[:-1, :] & v[1:, :]
            pairs = np.concatenate([
                np.stack([index[:, :-1][right], index[:, 1:][right]], axis=1),
                np.stack([index[:-1, :][down], index[1:, :][down]], axis=1)])
            padded = np.pad(v, 1)
            sides = np.zeros(v.shape)
            for dr, dc in ((-1, 0), (1, 0), (0, -1), (0, 1)):
                sides += ~padded[1 + dr:1 + dr + nrows, 1 + dc:1 + dc + ncols]
            fixed = sides.ravel()[cells]
            k = len(pairs)
            e = program.variables(np.zeros(k), False, 1.0)
            t2 = program.variables([w[1] / r[1]], False, np.inf)
            es = e + np.arange(k)
            edges[0][right] = es[:int(right.sum())]
            edges[1][down] = es[int(right.sum()):]
            for sign in (1.0, -1.0):  # e - sign * (x_i - x_j) >= 0
                rows = program.rows(k, 0.0, np.inf)
                program.coefficients(rows, es, np.ones(k))
                program.coefficients(rows, pairs[:, 0], -sign * np.ones(k))
                program.coefficients(rows, pairs[:, 1], sign * np.ones(k))
            # t2 - sum fixed x - sum e >= -Pmin
            row = program.rows(1, -float(self.pmin), np.inf)
            program.coefficients(np.full(m, row[0]), xs, -fixed)
            program.coefficients(np.full(k, row[0]), es, -np.ones(k))
            program.coefficients(row, [t2], [1.0])
        if self.on(4) and w[4] != 0.0:
            t5 = program.variables([w[4] / r[4]], False, np.inf)
            # t5 - sum d x >= -bot5
            row = program.rows(1, -self.bottom5, np.inf)
            program.coefficients(np.full(m, row[0]), xs,
                                 -self.distances.ravel()[cells].astype(np.float64))
            program.coefficients(row, [t5], [1.0])
        return edges

    def solve(self, time_limit):
        """The MIP without the islands term; returns its optimum, status and chosen cells."""
        import numpy as np
        cells = self.cells()
        m = len(cells)
        program = Program()
        x = program.variables(np.zeros(m), True, 1.0)
        pairs = sum(int((e >= 0).sum()) for e in self.add_energy(program, x))
        program.sum_equals(x + np.arange(m), self.n)
        res, seconds = program.solve(time_limit)
        sizes = {"seconds": seconds, "variables": program.nvar, "constraints": program.nrow,
                 "variable_cells": m, "pairs": pairs}
        if res.x is None:
            return dict(sizes, status=res.status, message=res.message)
        chosen = np.zeros(self.variable.shape, dtype=bool)
        chosen.ravel()[cells[res.x[x:x + m] > 0.5]] = True
        return dict(program.outcome(res), chosen=chosen, **sizes)


class Program:
    """A mixed-integer program for HiGHS, built a block of variables and of rows at a time; the
    objective is the cost of the variables plus `constant`."""

    def __init__(self):
        import numpy as np
        self.cost = np.zeros(0)
        self.integral = np.zeros(0)
        self.upper = np.zeros(0)
        self.nvar = 0
        self.entries = []
        self.row_lower = []
        self.row_upper = []
        self.nrow = 0
        self.constant = 0.0

    def variables(self, cost, integral, upper):
        """Adds len(cost) variables from 0 to `upper`; returns the index of the first."""
        import numpy as np
        cost = np.asarray(cost, dtype=np.float64)
        first = self.nvar
        self.cost = np.concatenate([self.cost, cost])
        self.integral = np.concatenate([self.integral, np.full(len(cost), 1.0 if integral else 0.0)])
        self.upper = np.concatenate([self.upper, np.full(len(cost), float(upper))])
        self.nvar += len(cost)
        return first

    def add_cost(self, columns, values):
        import numpy as np
        np.add.at(self.cost, np.asarray(columns), np.asarray(values, dtype=np.float64))

    def rows(self, count, lower, upper):
        """Adds `count` rows lower <= a x <= upper; returns their indices."""
        import numpy as np
        first = self.nrow
        self.row_lower.append(np.full(count, float(lower)))
        self.row_upper.append(np.full(count, float(upper)))
        self.nrow += count
        return first + np.arange(count)

    def coefficients(self, rows, columns, values):
        import numpy as np
        self.entries.append((np.asarray(rows), np.asarray(columns),
                             np.asarray(values, dtype=np.float64)))

    def sum_equals(self, columns, total):
        """sum of the variables `columns` = total."""
        import numpy as np
        row = self.rows(1, total, total)
        self.coefficients(np.full(len(columns), row[0]), columns, np.ones(len(columns)))

    def solve(self, time_limit, relative_gap=1e-7, verbose=False):
        """(scipy's result, seconds) of HiGHS run to `relative_gap` or the time limit (its log on
        the standard output when `verbose`). The
        constant rides on one more variable fixed at 1, so that HiGHS's objective is the energy
        itself and its gap, relative to the larger of 1 and the energy, is one on the energy."""
        import numpy as np
        from scipy import sparse
        from scipy.optimize import Bounds, LinearConstraint, milp
        rows, cols, vals = (np.concatenate([e[i] for e in self.entries]) for i in range(3))
        a = sparse.coo_matrix((vals, (rows, cols)), shape=(self.nrow, self.nvar + 1)).tocsr()
        constraints = LinearConstraint(a, np.concatenate(self.row_lower),
                                       np.concatenate(self.row_upper))
        start = time.perf_counter()
        res = milp(np.append(self.cost, self.constant), constraints=constraints,
                   integrality=np.append(self.integral, 0.0),
                   bounds=Bounds(np.append(np.zeros(self.nvar), 1.0), np.append(self.upper, 1.0)),
                   options={"time_limit": time_limit, "mip_rel_gap": relative_gap,
                            "disp": verbose})
        return res, time.perf_counter() - start

    def outcome(self, res):
        """Status, optimum and dual bound of a result that holds a solution."""
        bound = getattr(res, "mip_dual_bound", None)
        return {"status": res.status, "optimal": res.status == 0, "message": res.message,
                "optimum": float(res.fun),
                "dual_bound": None if bound is None else float(bound)}


def log_energy(log, word):
    found = re.findall(r"^  %s (-?[0-9.]+)$" % word, log, re.M)
    return float(found[-1]) if found else None


def run_landalloc(config_path, landalloc, seed):
    """Runs PREPROCESS and one short PROCESS stage with the debug maps on; returns the instance
    and the program's initial and final energies."""
    with open(config_path) as f:
        config = json.load(f)
    folder = os.path.dirname(os.path.abspath(config_path))
    out_dir = os.path.dirname(config["preprocess"]["output"]) or "."
    process = config["process"]
    process.update({"debug-maps": "yes", "debug-evolution": "no", "autotunning": "no",
                    "nstages": 1, "nmovs": 1,
                    "output": os.path.join(out_dir, "mip_reference.process.asc")})
    run_config = os.path.join(folder, "mip_reference.config.json")
    with open(run_config, "w") as f:
        json.dump(config, f, indent=2)
    os.makedirs(os.path.join(folder, out_dir), exist_ok=True)
    proc = subprocess.run([landalloc, "--seed=%d" % seed, "--preprocess", "--process",
                           os.path.basename(run_config)], cwd=folder, capture_output=True,
                          text=True)
    log = proc.stdout + proc.stderr
    with open(os.path.join(folder, out_dir, "mip_reference.log"), "w") as f:
        f.write(log)
    if proc.returncode != 0 or re.search(r"^error", log, re.M):
        sys.exit("error: landalloc failed (exit code %d):\n%s" % (proc.returncode, log[-2000:]))
    instance = Instance(os.path.join(folder, config["preprocess"]["output"]),
                        os.path.join(folder, process["output"]), process["functions-weight"])
    output = os.path.join(folder, process["output"])
    return instance, log_energy(log, "initial"), log_energy(log, "final"), output


def program_energy(config_path, landalloc, solution_map):
    """The program's own energy of a solution map: a PROCESS of no stage started from it."""
    folder = os.path.dirname(os.path.abspath(config_path))
    with open(os.path.join(folder, "mip_reference.config.json")) as f:
        config = json.load(f)
    config["preprocess"]["output"] = os.path.relpath(solution_map, folder)
    config["process"].update({"nstages": 0, "debug-maps": "no", "output": os.path.join(
        os.path.dirname(config["process"]["output"]), "mip_reference.check.asc")})
    check_config = os.path.join(folder, "mip_reference.check.json")
    with open(check_config, "w") as f:
        json.dump(config, f, indent=2)
    proc = subprocess.run([landalloc, "--seed=1", "--process", os.path.basename(check_config)],
                          cwd=folder, capture_output=True, text=True)
    energy = log_energy(proc.stdout, "initial")
    if proc.returncode != 0 or energy is None:
        sys.exit("error: landalloc could not evaluate %s:\n%s" % (solution_map, proc.stdout[-2000:]))
    return energy


def reference(config_path, landalloc=DEFAULT_LANDALLOC, seed=1, time_limit=120.0, cache=True,
              quiet=False):
    """The reference of one configuration as a dict (see main for the fields)."""
    require_scipy()
    import numpy as np
    say = (lambda *a: None) if quiet else print
    inst, initial, final, output = run_landalloc(config_path, landalloc, seed)
    # The energy formula checked against the program on two maps: the preprocess map (initial)
    # and the map the short stage wrote (final).
    mine_initial = inst.energy(inst.pre == inst.wcv)["energy"]
    _, out = read_map(output)
    mine_final = inst.energy(out == inst.wcv)["energy"]
    checks = {"initial_program": initial, "initial_here": mine_initial,
              "final_program": final, "final_here": mine_final}
    say("cells %d x %d, variable %d, n %d, terms off: %s" %
        (inst.pre.shape[0], inst.pre.shape[1], int(inst.variable.sum()), inst.n,
         [i + 1 for i in range(5) if not inst.on(i)] or "none"))
    say("energy of the preprocess map: program %.6f, here %.6f" % (initial, mine_initial))
    say("energy after the short stage: program %.6f, here %.6f" % (final, mine_final))
    if abs(initial - mine_initial) > PRINT_TOLERANCE or abs(final - mine_final) > PRINT_TOLERANCE:
        sys.exit("error: this energy differs from the program's: the reference would measure "
                 "another energy")
    folder = os.path.dirname(os.path.abspath(config_path))
    cache_path = os.path.join(folder, "mip_reference.json")
    key = inst.key() + ":%g" % time_limit
    if cache and os.path.exists(cache_path):
        with open(cache_path) as f:
            cached = json.load(f)
        if cached.get("key") == key:
            say("cached MIP result (%s)" % cache_path)
            result = cached["result"]
            result.update(checks)
            return result
    solved = inst.solve(time_limit)
    result = {k: v for k, v in solved.items() if k != "chosen"}
    result.update({"rows": int(inst.pre.shape[0]), "cols": int(inst.pre.shape[1]), "n": inst.n})
    if "chosen" in solved:
        full = inst.energy(solved["chosen"])
        no_islands = inst.energy(solved["chosen"], islands=False)["energy"]
        if abs(no_islands - result["optimum"]) > PRINT_TOLERANCE:
            print("warning: the MIP objective %.9f differs from the energy of its map without "
                  "islands %.9f" % (result["optimum"], no_islands), file=sys.stderr)
        result.update({"full_energy": full["energy"], "islands": full["islands"],
                       "perimeter": full["perimeter"], "terms": full["terms"],
                       "optimum_recomputed": no_islands})
        chosen_map = np.where(inst.pre == inst.wcv, np.float32(0.0), inst.pre)
        chosen_map[solved["chosen"]] = inst.wcv
        solution = os.path.join(os.path.dirname(output), "mip_reference.solution.asc")
        write_map(solution, inst.header, chosen_map)
        result["full_energy_program"] = program_energy(config_path, landalloc, solution)
        if abs(result["full_energy_program"] - full["energy"]) > PRINT_TOLERANCE:
            sys.exit("error: the program gives the MIP's map the energy %.6f, this script %.6f" %
                     (result["full_energy_program"], full["energy"]))
    result.update(checks)
    with open(cache_path, "w") as f:
        json.dump({"key": key, "result": result}, f, indent=1)
    return result


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("config")
    ap.add_argument("--landalloc", default=DEFAULT_LANDALLOC)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--time-limit", type=float, default=120.0)
    ap.add_argument("--no-cache", action="store_true")
    a = ap.parse_args(argv)
    r = reference(a.config, os.path.abspath(a.landalloc), a.seed, a.time_limit, not a.no_cache)
    if "optimum" not in r:
        sys.exit("error: no MIP solution (%s) after %.1f s" % (r["message"], r["seconds"]))
    print("MIP: %d variables (%d cells, %d pairs), %d constraints; %s in %.2f s" %
          (r["variables"], r["variable_cells"], r["pairs"], r["constraints"],
           "optimal" if r["optimal"] else "NOT optimal (%s)" % r["message"], r["seconds"]))
    print("optimum without islands %.6f (dual bound %s)" %
          (r["optimum"], "%.6f" % r["dual_bound"] if r["dual_bound"] is not None else "-"))
    print("full energy of its map %.6f (%d islands, perimeter %d; the program says %.6f)" %
          (r["full_energy"], r["islands"], r["perimeter"], r["full_energy_program"]))


if __name__ == "__main__":
    main(sys.argv[1:])
