"""The package against the built program, on the small configuration of the C++ tests."""

import functools
import json
import operator
import os
import shutil
import subprocess
import sys

import numpy
import pytest

import landalloc

SMALL = os.path.join(os.path.dirname(__file__), "..", "..", "tests", "data", "small")
PACKAGE = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))


@pytest.fixture
def folder(tmp_path):
    for name in os.listdir(SMALL):
        shutil.copy(os.path.join(SMALL, name), tmp_path)
    # A coordinate system beside the first potential map is carried to every output.
    shutil.copy(os.path.join(SMALL, "..", "utm32.prj"), tmp_path / "a.prj")
    return tmp_path


def small_config(folder):
    return json.loads((folder / "small.json").read_text(encoding="utf-8"))


def without_seconds(runs):
    return [{k: v for k, v in row.items() if k != "seconds"} for row in runs]


# A dict is written where the program finds its relative names as it finds those of a file, and
# its grids may be arrays: a Map with its own geotransform and CRS, a bare array with those of the
# first Map. The arrays are the cells of the written files, and the runs table has one row per
# repeat.
def test_dict_arrays_and_file_give_the_written_maps(folder):
    config = small_config(folder)
    config["process"]["method"] = "annealing"  # what the file runs without a method
    from_dict = landalloc.run(config, seed=5, repeats=3, threads=2, cwd=folder)
    from_file = landalloc.run(folder / "small.json", seed=5, repeats=3, threads=1, cwd=folder)
    config["maps"]["potential-maps"] = [[landalloc.read_map(folder / "a.asc")]]
    water = numpy.loadtxt(folder / "water.asc", skiprows=6)
    config["maps"]["exclusion-masks"] = [water == 1]
    town = landalloc.read_map(folder / "town.asc").array
    config["process"]["distance-masks"] = [numpy.where(town == -9999, numpy.nan, town)]
    from_arrays = landalloc.run(config, seed=5, repeats=3, cwd=folder)
    names = ["pre.asc", "proc.asc", "post.asc", "mask.asc", "post.frequency.asc"]
    assert list(from_dict.maps) == names == list(from_file.maps) == list(from_arrays.maps)
    for name in names:
        written = numpy.loadtxt(folder / name, skiprows=6, dtype=numpy.float32)
        for result in (from_dict, from_file, from_arrays):
            assert numpy.array_equal(result.maps[name].array, written)
            assert result.maps[name].geotransform == (100.0, 10.0, 0.0, 250.0, 0.0, -10.0)
            assert "UTM zone 32N" in result.maps[name].crs
    assert [row["seed"] for row in from_dict.runs] == [5, 6, 7]
    assert without_seconds(from_dict.runs) == without_seconds(from_file.runs)
    assert "* write 'post.runs.csv'" in from_dict.log
    with pytest.raises(ValueError, match="geotransform"):
        landalloc.run({"maps": {"potential-maps": [[water]]}}, cwd=folder)


def test_failing_configuration_raises_with_the_message(folder):
    config = small_config(folder)
    config["process"]["method"] = "annealing"
    del config["process"]["kb"]
    with pytest.raises(landalloc.LandallocError) as raised:
        landalloc.run(config, stages=["process"], cwd=folder)
    assert raised.value.code == 2
    assert raised.value.message == "error: property 'process.kb' not found in config json file!"


# A folder, a file without the execute bit and a file the system cannot run all name the path
# and how to point the package at the program, before and while starting it.
@pytest.mark.parametrize("kind", ["folder", "not executable", "not a program"])
def test_a_program_that_cannot_run_raises_the_package_error(folder, kind):
    program = folder / "landalloc"
    if kind == "folder":
        program.mkdir()
    else:
        program.write_text("not a program\n")
    program.chmod(0o644 if kind == "not executable" else 0o755)
    for call in (lambda: landalloc.describe(str(program)),
                 lambda: landalloc.run(folder / "small.json", program=str(program), cwd=folder)):
        with pytest.raises(landalloc.ProgramError) as raised:
            call()
        assert str(program) in str(raised.value) and "LANDALLOC" in str(raised.value)


@pytest.mark.parametrize("options, error", [
    ({"seed": 1.9}, TypeError),
    ({"seed": True}, TypeError),
    ({"seed": -1}, ValueError),
    ({"seed": 2**64}, ValueError),
    ({"repeats": 2.5}, TypeError),
])
def test_options_that_are_not_whole_numbers_in_range_are_refused(options, error):
    with pytest.raises(error):
        landalloc.command(**options)


# The program takes 64-bit seeds; one stage may be named alone; a relative program is the one
# from the current folder, not from the run's cwd.
def test_the_largest_seed_a_single_stage_and_a_relative_program(folder, monkeypatch):
    program = landalloc.find_program()
    monkeypatch.chdir(os.path.dirname(program))
    result = landalloc.run(small_config(folder), seed=2**64 - 1, stages="preprocess",
                           program=os.path.basename(program), cwd=folder)
    assert f"seed {2**64 - 1} (" in result.log
    assert list(result.maps) == ["pre.asc"]


# What the program cannot read (a number JSON lacks) or refuses (a control character in a name)
# is refused as the program would, naming the property, before the program starts (no log).
@pytest.mark.parametrize("path, value, shown, code", [
    (("process", "functions-weight", 2), float("nan"), "process.functions-weight[2]", 1),
    (("maps", "potential-maps-weight", 0, 0), float("-inf"), "maps.potential-maps-weight[0][0]", 1),
    (("postprocess", "output"), "post\n.asc", "postprocess.output", 2),
    (("maps", "potential-maps", 0, 0), "a\t.asc", "maps.potential-maps[0][0]", 2),
    (("land-uses",), [{"name": "town\x7f", "code": 4}], "land-uses[0].name", 2),
    (("conversions",), {"town\r": [1]}, "conversions.town\\r", 2),
])
def test_a_configuration_the_program_cannot_take_is_refused_naming_the_key(
        folder, path, value, shown, code):
    config = small_config(folder)
    functools.reduce(operator.getitem, path[:-1], config)[path[-1]] = value
    before = sorted(os.listdir(folder))
    with pytest.raises(landalloc.LandallocError) as raised:
        landalloc.run(config, seed=1, cwd=folder)
    assert f"'{shown}'" in raised.value.message and raised.value.code == code
    assert raised.value.log == "" and sorted(os.listdir(folder)) == before


# The program's time limit, sweep and progress line, from Python: the callback gets every update
# of the line, with the share of the work done where the line counts it. A dict without a method
# runs by minimum cuts.
def test_time_limit_sweep_and_progress(folder):
    config = small_config(folder)
    swept = landalloc.run(config, seed=5, cwd=folder, sweep={"process.functions-weight[1]": [0.5, 2]})
    assert [row["value"] for row in swept.sweep] == [0.5, 2] and "MIN-CUT MODE" in swept.log
    config["process"]["method"] = "annealing"
    calls = []
    result = landalloc.run(config, seed=5, cwd=folder, time_limit=30,
                           progress=lambda *call: calls.append(call))
    assert "  time limit 30.000000" in result.log and all(line for _, line in calls)
    assert any(fraction is not None and 0 <= fraction <= 1 for fraction, _ in calls), calls


# The package installs offline with pip alone (its backend needs neither setuptools nor wheel)
# and, without GDAL's bindings, runs and reads ASCII grids; only a GeoTIFF needs them.
def test_installed_offline_it_runs_without_gdal(folder):
    pip = subprocess.run([sys.executable, "-m", "pip", "install", "--no-index", "--no-deps",
                          "--no-cache-dir", "--target", str(folder / "site"), PACKAGE],
                         capture_output=True, text=True)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    script = ("import json, sys, numpy; sys.modules['osgeo'] = None; import landalloc\n"
              "final = landalloc.run(json.load(open('small.json')), seed=5).maps['post.asc']\n"
              "assert numpy.array_equal(final.array, numpy.loadtxt('post.asc', skiprows=6))\n"
              "assert final.geotransform == (100, 10, 0, 250, 0, -10) and 'UTM' in final.crs\n"
              "assert '/site/landalloc/' in landalloc.__file__\n"
              "landalloc.read_map('post.tif')\n")
    done = subprocess.run([sys.executable, "-c", script], cwd=folder, capture_output=True,
                          text=True, env={**os.environ, "PYTHONPATH": "site"})
    assert "ImportError: reading a GeoTIFF needs GDAL" in done.stderr, done.stderr
