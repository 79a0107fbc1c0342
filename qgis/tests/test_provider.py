"""The provider, headless: qgis_process runs each algorithm on the bundled example and writes what
the command line writes for the same seed; a cancelled run leaves no file behind."""

import json
import os
import re
import shutil
import subprocess
import sys
import types

import numpy
import pytest
from osgeo import gdal, osr

import landalloc

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLE = os.path.join(ROOT, "examples", "demo")
QGIS_PROCESS = shutil.which("qgis_process.bin", path="/usr/lib/qgis:/usr/bin") or "qgis_process.bin"
PROGRAM = landalloc.find_program()
sys.path.insert(0, os.path.join(ROOT, "qgis"))  # the provider, for the runner's own tests


@pytest.fixture(scope="module")
def qgis(tmp_path_factory):
    # The README's headless steps install the plugin, as the README writes them, in a home of
    # their own (QGIS 3.22 has no profile option) and a folder laid out as the project's.
    home, project = tmp_path_factory.mktemp("home"), tmp_path_factory.mktemp("project")
    os.makedirs(project / "build")
    # A copy: QGIS leaves statistics beside the layers the block reads.
    shutil.copytree(os.path.join(ROOT, "examples"), project / "examples",
                    ignore=shutil.ignore_patterns("out"))
    os.symlink(os.path.dirname(PROGRAM), project / "build" / "release")
    shutil.copy(os.environ["LANDALLOC_PLUGIN_ZIP"], project / "build")
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "LANDALLOC") and not k.startswith("XDG_")}
    env.update(HOME=str(home), PATH="/usr/bin:/bin")
    readme = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    block = readme.split("<!-- headless-qgis -->\n```sh\n")[1].split("```")[0]
    done = subprocess.run(["bash", "-euo", "pipefail", "-c", block], cwd=project, env=env,
                          capture_output=True, text=True)
    assert done.returncode == 0 and "landalloc:allocate" in done.stdout, done.stdout + done.stderr
    assert all((project / name).is_file() for name in ("plan.asc", "plan_mask.asc", "uses.asc"))
    env.update(QT_QPA_PLATFORM="offscreen", LANDALLOC=PROGRAM)

    def run(*args, check=True, without_program=False):
        # Without the program: neither LANDALLOC nor a landalloc on PATH.
        environment = {**env, "LANDALLOC": ""} if without_program else env
        done = subprocess.run([QGIS_PROCESS, *args], env=environment, capture_output=True,
                              text=True)
        assert not check or done.returncode == 0, done.stdout + done.stderr
        return done

    return run


def example_folder(folder, config):
    folder.mkdir(exist_ok=True)
    os.symlink(os.path.join(EXAMPLE, "maps"), folder / "maps")
    (folder / "out").mkdir()
    (folder / "config.json").write_text(json.dumps(config))
    return folder


def same_files(a, b, names):
    for name in names:
        assert numpy.array_equal(landalloc.read_map(a / name).array,
                                 landalloc.read_map(b / name).array), name
        stem = os.path.splitext(name)[0] + ".qml"
        assert (a / stem).read_text() == (b / stem).read_text(), stem


def maps_in(folder, epsg):
    """A copy of the example's maps in `folder`, in the coordinate system EPSG:`epsg` (None: none).
    QGIS leaves statistics beside the layers it reads: the example's own stay clean."""
    maps = shutil.copytree(os.path.join(EXAMPLE, "maps"), folder / "maps")
    if epsg:
        srs = osr.SpatialReference()
        srs.ImportFromEPSG(epsg)
        srs.MorphToESRI()
        for grid in maps.glob("*.asc"):
            grid.with_suffix(".prj").write_text(srs.ExportToWkt())
    return maps


def output_args(folder):
    """The dialogs' four outputs, as grids in `folder`."""
    names = ("PREPROCESS_OUTPUT", "PROCESS_OUTPUT", "POSTPROCESS_OUTPUT", "POSTPROCESS_OUTPUT_MASK")
    return [f"{name}={folder / name.lower()}.asc" for name in names]


def dialog_args(config, folder, skip=()):
    """The qgis_process arguments that give a dialog the shared properties of `config` (but the
    properties `skip`), with its files read from `folder` and its outputs written there."""
    args = []
    for prop in landalloc.describe()["properties"]:
        node = config
        for key in prop["name"].split("."):
            node = node.get(key) if isinstance(node, dict) else None
        if node is None or prop["name"] in skip:
            continue
        kind, name = prop["type"], prop["name"].upper().replace(".", "_").replace("-", "_")
        if kind.endswith("-groups"):  # the dialog's one group: "file-groups" as "files"
            kind, node = kind[:-len("-groups")] + "s", node[0]
        if kind == "files":
            args += [f"{name}={folder / path}" for path in node]
        elif kind == "output":
            args.append(f"{name}={folder / os.path.basename(node)}")
        elif kind == "file-or-empty":
            args.append(f"{name}={folder / node if node else ''}")
        elif kind == "numbers":
            args.append(f"{name}={' '.join(str(v) for v in node)}")
        elif kind == "switch":
            args.append(f"{name}={'true' if node == 'yes' else 'false'}")
        elif kind == "word":
            args.append(f"{name}={prop['words'].index(node)}")
        else:
            args.append(f"{name}={node}")
    return args


# A planner reads the dialogs of one or several uses in their own words: every property they show
# has a label of its own, short enough to show whole beside "[optional]" in a dialog of the
# screenshot's width, and no label, tooltip or help names a property path or a command-line option
# ("maps. Distances" ends a sentence; "maps.exclusion-masks" is a path).
def test_the_dialogs_speak_the_dialogs_words():
    from landalloc_processing.algorithms import AllocateAlgorithm, parameter_name
    from landalloc_processing.labels import DIALOG_LABELS
    from landalloc_processing.land_uses import AllocateUsesAlgorithm

    description = landalloc.describe()
    configuration_words = re.compile(r"\b(maps|preprocess|process|postprocess)\.\w|--\w", re.I)
    for algorithm in (AllocateAlgorithm(description), AllocateUsesAlgorithm(description)):
        algorithm.initAlgorithm()
        shown = {p.name(): p for p in algorithm.parameterDefinitions()}
        properties = [p["name"] for p in algorithm.description["properties"]]
        assert [name for name in properties if name not in DIALOG_LABELS] == [], algorithm.name()
        for name in properties:
            assert len(shown[parameter_name(name)].description()) <= 50, name
        texts = [t for p in shown.values() for t in (p.description(), p.help())]
        for text in texts + [algorithm.shortHelpString()]:
            assert not configuration_words.search(text), (algorithm.name(), text)


# QGIS runs a configuration as the command line does, with a seed above 2^31 as given and a time
# limit of 0 as none, and opens the maps it writes styled: a style it cannot read leaves the map
# grey.
def test_run_configuration_writes_what_the_command_line_writes(qgis, tmp_path):
    from qgis.core import QgsApplication, QgsRasterLayer

    config = json.loads(open(os.path.join(EXAMPLE, "config.json"), encoding="utf-8").read())
    cli = example_folder(tmp_path / "cli", config)
    ours = example_folder(tmp_path / "qgis", config)
    expected = landalloc.run(cli / "config.json", seed=2**40, repeats=2, cwd=cli)
    done = qgis("run", "landalloc:runconfiguration", "--", f"CONFIG={ours / 'config.json'}",
                f"SEED={2**40}", "REPEATS=2", "TIME_LIMIT=0")
    assert f"seed {2**40} (repeat these runs with --seed={2**40};" in done.stdout
    same_files(cli, ours, list(expected.maps))
    app = QgsApplication([], False)
    app.initQgis()
    solution = QgsRasterLayer(str(ours / "out" / "postprocess.asc"), "solution")
    frequency = QgsRasterLayer(str(ours / "out" / "postprocess.frequency.asc"), "frequency")
    classes = [(c.value, c.label) for c in solution.renderer().classes()]
    ramp = frequency.renderer().shader().rasterShaderFunction().colorRampItemList()
    kind = frequency.renderer().type()
    # The layers go before the application, which would otherwise crash at exit.
    del solution, frequency
    app.exitQgis()
    gdal.AllRegister()  # exitQgis deregisters GDAL's drivers, which read_map needs
    assert classes == [(-2, "excluded"), (0, "free"), (1, "existing use 1"),
                       (2, "existing use 2"), (3, "existing use 3"), (4, "new allocation")]
    assert (kind, ramp[0].value, ramp[-1].value) == ("singlebandpseudocolor", 0, 2)


# The dialog takes one group of potential layers; the configuration the command line runs is the
# example's with its first group, and its amount either given as a demand in cells (the dialog's
# demand inputs make "preprocess.demand", and the share left out stays out) or left out: the
# share is then the one the dialog shows, the example's.
@pytest.mark.parametrize("demand", [1500, None])
def test_allocate_writes_what_the_command_line_writes(qgis, tmp_path, demand):
    config = json.loads(open(os.path.join(EXAMPLE, "config.json"), encoding="utf-8").read())
    share = config["preprocess"].pop("convert-area")
    if demand:
        config["preprocess"]["demand"] = {"cells": demand}
    maps = config["maps"]
    maps["potential-maps"], maps["potential-maps-weight"] = maps["potential-maps"][:1], [[0.7, 0.3]]
    # QGIS leaves statistics beside the layers it reads: they are copies here.
    shutil.copytree(os.path.join(EXAMPLE, "maps"), tmp_path / "maps")
    qgis("run", "landalloc:allocate", "--", "SEED=7", *dialog_args(config, tmp_path))
    if not demand:
        config["preprocess"]["convert-area"] = share
    cli = example_folder(tmp_path / "cli", config)
    expected = landalloc.run(cli / "config.json", seed=7, cwd=cli)
    if demand:
        assert (expected.maps["out/postprocess.asc"].array == 4).sum() == demand
    names = [n for n in expected.maps if ".debug." not in n]
    for name in names:
        assert numpy.array_equal(expected.maps[name].array,
                                 landalloc.read_map(tmp_path / os.path.basename(name)).array), name


# A feedback that cancels at a line of the log: a run as PROCESS starts, a sweep at its end, as it
# writes its table and draws the picture.
@pytest.mark.parametrize("process, options, at", [
    ({"method": "annealing", "autotunning": "yes", "nstages": 400}, [], "PROCESS begin"),
    ({}, ["--sweep=process.functions-weight[1]=0.5:2:2"], "* write 'out/postprocess.sweep.csv'"),
])
def test_a_cancelled_run_leaves_nothing_behind(tmp_path, process, options, at):
    from landalloc_processing import runner
    from qgis.core import QgsProcessingException

    config = json.loads(open(os.path.join(EXAMPLE, "config.json"), encoding="utf-8").read())
    config["process"].update(process)
    folder = example_folder(tmp_path, config)
    log = []
    feedback = types.SimpleNamespace(pushConsoleInfo=log.append, setProgress=lambda value: None,
                                     isCanceled=lambda: at in log)
    with pytest.raises(QgsProcessingException):
        runner.execute([PROGRAM, "--seed=7", *options], str(folder / "config.json"), str(folder),
                       feedback)
    assert "* write 'out/preprocess" in "\n".join(log)
    assert os.listdir(folder / "out") == []


# A program that does not log its sweep's own files (as before they were logged) still writes
# them beside the points' runs tables, where a cancelled sweep removes them.
def test_a_cancelled_sweep_removes_the_sweep_files_left_unlogged(tmp_path):
    from landalloc_processing import runner
    from qgis.core import QgsProcessingException

    program = tmp_path / "landalloc"
    program.write_text("#!/bin/sh\ncd out && touch p.sweep00.runs.csv p.sweep.csv p.sweep.gp "
                       "p.sweep.png\necho \"* write 'out/p.sweep00.runs.csv'\"\nexec sleep 60\n")
    program.chmod(0o755)
    (tmp_path / "out").mkdir()
    log = []
    feedback = types.SimpleNamespace(pushConsoleInfo=log.append, setProgress=lambda value: None,
                                     isCanceled=lambda: bool(log))
    with pytest.raises(QgsProcessingException):
        runner.execute([str(program)], "config.json", str(tmp_path), feedback)
    assert os.listdir(tmp_path / "out") == []


# A time limit takes fractions of a second (one the example's runs do not reach).
def test_calibrate_writes_the_sweep_the_command_line_writes(qgis, tmp_path):
    config = json.loads(open(os.path.join(EXAMPLE, "config.json"), encoding="utf-8").read())
    cli = example_folder(tmp_path / "cli", config)
    ours = example_folder(tmp_path / "qgis", config)
    subprocess.run([PROGRAM, "--seed=7", "--time-limit=600.5",
                    "--sweep=process.functions-weight[1]=0.5:2:2", "config.json"],
                   cwd=cli, check=True, capture_output=True)
    done = qgis("run", "landalloc:calibrate", "--", f"CONFIG={ours / 'config.json'}",
                "PROPERTY=0", "MINIMUM=0.5", "MAXIMUM=2", "STEPS=2", "SEED=7",
                "TIME_LIMIT=600.5")
    assert "time limit 600.500000" in done.stdout
    table = (ours / "out" / "postprocess.sweep.csv").read_text()
    assert table == (cli / "out" / "postprocess.sweep.csv").read_text()
    same_files(cli, ours, ["out/postprocess.sweep00.asc", "out/postprocess.sweep01.asc"])
    chosen = next(row for row in table.splitlines() if row.endswith(",yes")).split(",")[1]
    assert f"RECOMMENDED:\t{chosen}" in done.stdout


# The dialog's defaults plan by minimum cuts and write no debug file (a run given only layers,
# outputs and a minimum distance in metres, which becomes the nearest whole cell: 190 m on 25 m
# cells is 7.6 cells, so 8); without the program the algorithms stay listed and, run, say how to
# point QGIS at it.
def test_allocate_defaults_and_the_algorithms_without_the_program(qgis, tmp_path):
    maps = maps_in(tmp_path, 25830)  # ETRS89 / UTM zone 30N: metres
    out = tmp_path / "out"
    out.mkdir()
    given = [("MAPS_POTENTIAL_MAPS", maps / "terrain_suitability.asc"),
             ("MAPS_POTENTIAL_MAPS", maps / "soil_quality.asc"),
             ("PROCESS_DISTANCE_MASKS", maps / "settlements.asc")]
    done = qgis("run", "landalloc:allocate", "--", "SEED=7", "MINIMUM_DISTANCE_METRES=190",
                *(f"{k}={v}" for k, v in given), *output_args(out))
    assert "MIN-CUT MODE selected" in done.stdout
    assert "190 m on cells of 25 m is 8 cells (200 m)" in done.stdout
    assert "  minimum distance 8\n" in done.stdout
    assert sorted(p.suffix for p in out.iterdir()) == (
        [".asc"] * 4 + [".csv"] + [".prj"] * 4 + [".qml"] * 4)
    assert "TEMPLATE" not in qgis("help", "landalloc:allocate").stdout  # not a run's option
    listed = qgis("list", without_program=True).stdout
    assert "landalloc:calibrate" in listed and "landalloc:allocateuses" in listed
    for algorithm in ("allocate", "allocateuses", "calibrate", "runconfiguration"):
        done = qgis("run", f"landalloc:{algorithm}", "--", f"CONFIG={EXAMPLE}/config.json",
                    check=False, without_program=True)
        assert "LANDALLOC=/path/to/landalloc" in done.stdout + done.stderr, algorithm


# Three uses given in the dialog's slots, their demands in hectares on the example's 25 m cells,
# run as the command line runs the example's land_uses.json with the same uses (without the masks
# of their own the slots do not take): each use gets its demand, and the adjacency and the
# conversion given as text reach the run (left out, either changes the map). The minimum distance
# in metres becomes cells: 190 m is 7.6 cells, so 8, where the dialog would say 15.
def test_allocate_uses_writes_what_the_command_line_writes(qgis, tmp_path):
    config = json.loads(open(os.path.join(EXAMPLE, "land_uses.json"), encoding="utf-8").read())
    kept = ("name", "code", "demand", "potential-maps", "potential-maps-weight", "existing-codes")
    uses = [{k: v for k, v in use.items() if k in kept} for use in config["land-uses"]]
    config["land-uses"] = uses
    config["maps"]["potential-maps"] = uses[0]["potential-maps"]
    config["maps"]["potential-maps-weight"] = uses[0]["potential-maps-weight"]
    config["postprocess"]["select"]["method-distance"]["minimum-distance-to-mask"] = 8
    assert config["conversions"] == {"industry": [3]}
    assert config["adjacency"] == [[0, 1, -0.5], [1, 0, 0], [-0.5, 0, 0]]
    maps_in(tmp_path, 25830)  # ETRS89 / UTM zone 30N: metres
    args = ["DEMAND_UNIT=0", "ADJACENCY=housing industry 1; green-space housing -0.5",
            "USE2_CONVERSIONS=3", "MINIMUM_DISTANCE_METRES=190"]
    for slot, use in enumerate(uses, 1):
        args += [f"USE{slot}_NAME={use['name']}", f"USE{slot}_CODE={use['code']}",
                 f"USE{slot}_DEMAND={use['demand']['cells'] * 25 * 25 / 10000}",
                 f"USE{slot}_WEIGHTS={' '.join(map(str, use['potential-maps-weight'][0]))}",
                 f"USE{slot}_EXISTING={' '.join(map(str, use.get('existing-codes', [])))}"]
        args += [f"USE{slot}_POTENTIAL={tmp_path / path}" for path in use["potential-maps"][0]]
    skip = {"maps.potential-maps", "maps.potential-maps-weight",
            "postprocess.select.method-distance.minimum-distance-to-mask"}
    skip |= {p["name"] for p in landalloc.describe()["properties"]
             if "." not in p["name"] or ".debug-" in p["name"]}
    done = qgis("run", "landalloc:allocateuses", "--", "SEED=7", *args,
                *dialog_args(config, tmp_path, skip))
    assert "190 m on cells of 25 m is 8 cells" in done.stdout
    assert "  minimum distance 8\n" in done.stdout
    cli = example_folder(tmp_path / "cli", config)
    (cli / "out" / "uses").mkdir()
    expected = landalloc.run(cli / "config.json", seed=7, cwd=cli)
    final = landalloc.read_map(tmp_path / "postprocess.asc").array
    assert [(final == use["code"]).sum() for use in uses] == [u["demand"]["cells"] for u in uses]
    for name in expected.maps:
        assert numpy.array_equal(expected.maps[name].array,
                                 landalloc.read_map(tmp_path / os.path.basename(name)).array), name


# What the slots cannot mean is refused before the program runs, with the reason; so is a distance
# in metres on layers in degrees.
def test_allocate_uses_refuses_what_it_cannot_mean(qgis, tmp_path):
    layer = maps_in(tmp_path, 4326) / "soil_quality.asc"
    housing = ["DEMAND_UNIT=1", "USE1_NAME=housing", "USE1_CODE=10", "USE1_DEMAND=100",
               f"USE1_POTENTIAL={layer}"]
    industry = ["USE2_NAME=industry", "USE2_CODE=20", "USE2_DEMAND=50", f"USE2_POTENTIAL={layer}"]
    cases = [
        (housing + industry + ["ADJACENCY=housing industri 0.5"],
         "Adjacency 'housing industri 0.5': no use is named 'industri' (the uses are housing, "
         "industry)"),
        (housing + [a.replace("_CODE=20", "_CODE=10") for a in industry],
         "Use 2 'industry': code 10 is already the code of use 1"),
        (housing + [a.replace("=industry", "=housing") for a in industry],
         "Use 2 'housing': use 1 has this name already"),
        (housing + industry[:3], "Use 2 'industry': give at least one potential layer"),
        (housing + industry[1:], "Use 2 has no name but its other fields are filled"),
        (["DEMAND_UNIT=1"], "No land use"),
        (housing + ["MINIMUM_DISTANCE_METRES=190"], "'soil_quality' is in degrees (OGC:CRS84), "
         "not metres; give the distance in cells instead"),
    ]
    for args, message in cases:
        done = qgis("run", "landalloc:allocateuses", "--", *args, *output_args(tmp_path),
                    check=False)
        output = done.stdout + done.stderr
        assert done.returncode != 0 and message in output, output
