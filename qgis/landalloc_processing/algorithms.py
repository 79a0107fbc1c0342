"""The algorithms. "Allocate land use" builds its parameters from the program's --describe
document, so that a property the program gains appears in the dialog without a list here; their
labels, written for the dialog, come from labels.py."""

import json
import math
import os
import re
import tempfile

from qgis.core import (
    QgsProcessing,
    QgsProcessingAlgorithm,
    QgsProcessingContext,
    QgsProcessingException,
    QgsProcessingOutputFile,
    QgsProcessingOutputMultipleLayers,
    QgsProcessingOutputString,
    QgsProcessingParameterBoolean,
    QgsProcessingParameterEnum,
    QgsProcessingParameterFile,
    QgsProcessingParameterMultipleLayers,
    QgsProcessingParameterNumber,
    QgsProcessingParameterRasterDestination,
    QgsProcessingParameterRasterLayer,
    QgsProcessingParameterString,
    QgsUnitTypes,
)

from . import runner
from .labels import dialog_label

STAGES = ["PREPROCESS", "PROCESS", "POSTPROCESS"]
# The options the package's command() takes by name; the other numbers are passed as they are.
PACKAGE_OPTIONS = ("seed", "repeats", "threads")
# What every algorithm's help says of the program's options.
OPTIONS_HELP = (
    "<p>Seed: a whole number from 0 to 2^64-1; the same seed gives the same maps, left empty "
    "each run draws a new one (the log names it). Time limit: seconds, fractions allowed; 0 sets "
    "none.</p>"
)
# What the algorithms that run a configuration file say of its method. A file runs as the command
# line runs it, so that one file gives the same maps from every front.
FILE_METHOD_HELP = (
    "<p>A file without <code>\"method\"</code> in its <code>\"process\"</code> section runs "
    "the annealing, as the command line does, so that the file gives the same maps wherever it "
    "runs. For minimum cuts (compact plans in seconds), which \"Allocate land use\" and "
    "\"Allocate land uses\" use, write it in the file: <code>\"process\": {\"method\": "
    "\"min-cut\", ...}</code>; <code>landalloc --template</code> writes a first configuration "
    "that does.</p>"
)
# The options as the dialog names them, label and help; the command line's own help speaks of
# files after it.
OPTION_LABELS = {
    "--seed": ("Seed", "The same seed gives the same maps; empty: a new seed, which the log "
                       "names."),
    "--repeats": ("Runs", "How many times to run: the best run is kept, with a map of how often "
                          "each cell is chosen."),
    "--threads": ("Runs at once", "Empty: one per core; the maps do not depend on it."),
    "--time-limit": ("Time limit of the run, in seconds", "0: none. Given, it replaces the "
                     "optimisation's own time limit."),
}
# The fronts plan by minimum cuts unless told otherwise: compact plans, far sooner than the
# annealing, which stays the command line's default.
FRONT_DEFAULTS = {"process.method": "min-cut"}
# The distance the program counts in cells of the grid, not in map units; the dialogs also take
# it in metres.
DISTANCE_IN_CELLS = "postprocess.select.method-distance.minimum-distance-to-mask"
DISTANCE_IN_METRES = "MINIMUM_DISTANCE_METRES"
HOW_TO_POINT = (
    "QGIS does not find the landalloc program ({error}). Point QGIS at it: start QGIS with the "
    "environment variable LANDALLOC=/path/to/landalloc, or run in the Python console "
    "QgsSettings().setValue('landalloc/program', '/path/to/landalloc'); then reload the plugin "
    "(Plugins > Manage and Install Plugins, or restart QGIS)."
)
GRIDS = (".asc", ".tif", ".tiff")
# The example's values fill the dialog, since the program has no defaults for most properties.
EXAMPLE = [
    os.path.join(os.path.dirname(__file__), "example.json"),
    os.path.join(os.path.dirname(__file__), "..", "..", "examples", "demo", "config.json"),
]


def parameter_name(name):
    """The Processing name of a property or option: "process.nmovs" is "PROCESS_NMOVS"."""
    return name.strip("-").upper().replace(".", "_").replace("-", "_")


def _example():
    for path in EXAMPLE:
        if os.path.isfile(path):
            with open(path, encoding="utf-8") as text:
                return json.load(text)
    return {}


def _lookup(config, name):
    for key in name.split("."):
        if not isinstance(config, dict) or key not in config:
            return None
        config = config[key]
    return config


def _numbers(text):
    return [float(v) for v in text.replace(",", " ").split()]


def _is_count(option):
    """Whether an option takes a number (--repeats=N, a capital letter in --describe); not a
    switch, nor a text such as --sweep=PROPERTY=VALUES, which has an algorithm of its own, nor a
    word such as --template=uses, which writes a configuration instead of running one."""
    return re.fullmatch(r"[A-Z]", option["argument"] or "") is not None


def _count_options(algorithm, options):
    for option in options:
        if not _is_count(option):
            continue
        name = parameter_name(option["name"])
        label, help_text = OPTION_LABELS.get(option["name"], (option["help"], option["help"]))
        if option["name"] == "--seed":
            # As text: a Processing integer is 32-bit, and a double holds whole numbers exactly
            # only up to 2^53, while the program takes seeds up to 2^64 - 1.
            parameter = QgsProcessingParameterString(name, label, optional=True)
        elif option["name"] == "--time-limit":
            parameter = QgsProcessingParameterNumber(
                name, label, QgsProcessingParameterNumber.Double, optional=True, minValue=0,
            )
        else:
            parameter = QgsProcessingParameterNumber(
                name, label, QgsProcessingParameterNumber.Integer, optional=True, minValue=0
            )
        parameter.setHelp(help_text)
        algorithm.addParameter(parameter)


def _command(algorithm, parameters, context, options, stages=None):
    values, more = {}, []
    for option in options:
        if not _is_count(option):
            continue
        name = parameter_name(option["name"])
        if parameters.get(name) in (None, ""):
            continue
        if option["name"] == "--seed":
            text = algorithm.parameterAsString(parameters, name, context).strip()
            if not re.fullmatch(r"[0-9]+", text):
                raise QgsProcessingException(f"seed '{text}': a whole number from 0 to 2^64-1")
            values["seed"] = int(text)
        elif option["name"] == "--time-limit":
            # The program takes only a limit above 0; 0, the least the dialog takes, is none.
            seconds = algorithm.parameterAsDouble(parameters, name, context)
            if seconds > 0:
                more.append(f"--time-limit={seconds!r}")
        elif option["name"].strip("-") in PACKAGE_OPTIONS:
            values[option["name"].strip("-")] = algorithm.parameterAsInt(parameters, name, context)
        else:
            more.append(f"{option['name']}={algorithm.parameterAsInt(parameters, name, context)}")
    try:
        program = runner.program()
    except OSError as error:
        raise QgsProcessingException(HOW_TO_POINT.format(error=error)) from error
    try:
        args = runner.la.command(stages=stages, program=program, **values)
    except ValueError as error:  # a seed above the program's largest
        raise QgsProcessingException(str(error)) from error
    return args + more


def _load(context, cwd, written):
    maps = []
    for name in written:
        if name.lower().endswith(GRIDS):
            path = os.path.join(cwd, name)
            maps.append(path)
            # A map opened from its file takes the style the program wrote beside it.
            details = QgsProcessingContext.LayerDetails(
                os.path.basename(path), context.project(), ""
            )
            context.addLayerToLoadOnCompletion(path, details)
    return maps


class RunConfigurationAlgorithm(QgsProcessingAlgorithm):
    def name(self):
        return "runconfiguration"

    def displayName(self):  # noqa: N802
        return "Run a configuration file"

    def shortHelpString(self):  # noqa: N802
        return (
            "<p>Runs a landalloc configuration file (JSON) and loads every map it writes. The "
            "file's relative names are read from the file's folder. No stage chosen runs all "
            "three.</p>" + FILE_METHOD_HELP + OPTIONS_HELP
        )

    def createInstance(self):  # noqa: N802
        return RunConfigurationAlgorithm()

    def initAlgorithm(self, config=None):  # noqa: N802
        self.options = runner.describe()["options"] if _program_found() else []
        self.addParameter(QgsProcessingParameterFile("CONFIG", "Configuration", extension="json"))
        self.addParameter(
            QgsProcessingParameterEnum(
                "STAGES", "Stages (none: all three)", STAGES, allowMultiple=True, optional=True
            )
        )
        _count_options(self, self.options)
        self.addOutput(QgsProcessingOutputMultipleLayers("MAPS", "Maps written"))

    def processAlgorithm(self, parameters, context, feedback):  # noqa: N802
        path = os.path.abspath(self.parameterAsFile(parameters, "CONFIG", context))
        # Left empty, the parameter reads as its first choice: no choice is all three stages.
        given = parameters.get("STAGES") not in (None, [], "")
        chosen = self.parameterAsEnums(parameters, "STAGES", context) if given else []
        args = _command(self, parameters, context, self.options, [STAGES[i] for i in chosen])
        cwd = os.path.dirname(path)
        written = runner.execute(args, path, cwd, feedback)
        return {"MAPS": _load(context, cwd, written)}


class CalibrateAlgorithm(QgsProcessingAlgorithm):
    """A sweep of one number of a configuration file: the program runs it at each value, as
    repeats, and recommends one; the best map of each value is loaded."""

    def __init__(self, description):
        super().__init__()
        # None when the program was not found: the algorithm stays listed and says so when run.
        self.description = description
        # The energy's five weights first (the perimeter's is the one calibrated most), then
        # every number property.
        weights = [f"process.functions-weight[{k}]" for k in (1, 0, 2, 3, 4)]
        numbers = [p["name"] for p in (description or {}).get("properties", [])
                   if p["type"] in ("number", "integer")]
        self.properties = weights + numbers

    def name(self):
        return "calibrate"

    def displayName(self):  # noqa: N802
        return "Calibrate a weight"

    def shortHelpString(self):  # noqa: N802
        return (
            "<p>Finds a good value for one weight or number of a configuration file: runs the "
            "file once for each value from the minimum to the maximum (the steps include both "
            "ends; exponential steps go in even ratios, for weights across orders of magnitude), "
            "each as many times as Runs says, and loads the best map of each value.</p>"
            "<p>Beside the final output it writes the sweep table (.sweep.csv) and a picture of "
            "the trade-off (.sweep.png); the recommended value is where the trade-off bends. The "
            "weights are, in order: perimeter (f2, compactness), potential (f1), islands (f3), "
            "nservices (f4) and distance (f5).</p>" + FILE_METHOD_HELP + OPTIONS_HELP
        )

    def createInstance(self):  # noqa: N802
        return CalibrateAlgorithm(self.description)

    def initAlgorithm(self, config=None):  # noqa: N802
        self.addParameter(QgsProcessingParameterFile("CONFIG", "Configuration", extension="json"))
        if self.description is None:
            return
        self.addParameter(
            QgsProcessingParameterEnum("PROPERTY", "Number to calibrate", self.properties,
                                       defaultValue=0)
        )
        double = QgsProcessingParameterNumber.Double
        self.addParameter(QgsProcessingParameterNumber("MINIMUM", "Minimum", double, 0.0))
        self.addParameter(QgsProcessingParameterNumber("MAXIMUM", "Maximum", double, 16.0))
        self.addParameter(
            QgsProcessingParameterNumber("STEPS", "Steps (values, both ends included)",
                                         QgsProcessingParameterNumber.Integer, 9, minValue=2)
        )
        self.addParameter(
            QgsProcessingParameterBoolean("EXPONENTIAL", "Exponential steps (ends above 0)",
                                          defaultValue=False)
        )
        _count_options(self, self.description["options"])
        self.addOutput(QgsProcessingOutputMultipleLayers("MAPS", "Best map of each value"))
        self.addOutput(QgsProcessingOutputFile("TABLE", "Sweep table"))
        self.addOutput(QgsProcessingOutputFile("PICTURE", "Trade-off picture"))
        self.addOutput(QgsProcessingOutputString("RECOMMENDED", "Recommended value"))

    def processAlgorithm(self, parameters, context, feedback):  # noqa: N802
        _require_program(self.description)
        path = os.path.abspath(self.parameterAsFile(parameters, "CONFIG", context))
        prop = self.properties[self.parameterAsEnum(parameters, "PROPERTY", context)]
        low = self.parameterAsDouble(parameters, "MINIMUM", context)
        high = self.parameterAsDouble(parameters, "MAXIMUM", context)
        steps = self.parameterAsInt(parameters, "STEPS", context)
        log = "log" if self.parameterAsBool(parameters, "EXPONENTIAL", context) else ""
        args = _command(self, parameters, context, self.description["options"])
        args.append(f"--sweep={prop}={low!r}:{high!r}:{steps}{log}")
        cwd = os.path.dirname(path)
        written = runner.execute(args, path, cwd, feedback)
        table = next(n for n in written if n.endswith(".sweep.csv"))
        stem = table[: -len(".sweep.csv")]
        # The final map of each value; its other stages' maps and frequency grid stay on disk.
        finals = [n for n in written if n.startswith(stem + ".sweep")
                  and n.lower().endswith(GRIDS) and ".frequency" not in n]
        with open(os.path.join(cwd, table), encoding="utf-8") as text:
            rows = [line.rstrip("\n").split(",") for line in text]
        chosen = next(row for row in rows[1:] if row[-1] == "yes")
        return {
            "MAPS": _load(context, cwd, finals),
            "TABLE": os.path.join(cwd, table),
            "PICTURE": os.path.join(cwd, stem + ".sweep.png"),
            "RECOMMENDED": chosen[1],
        }


def _program_found():
    try:
        runner.program()
        return True
    except OSError:
        return False


def _require_program(description):
    """Raises, saying how to point QGIS at the program, when it was not found as QGIS started."""
    if description is not None:
        return
    try:
        runner.program()
        error = "it was found since QGIS started"
    except OSError as missing:
        error = str(missing)
    raise QgsProcessingException(HOW_TO_POINT.format(error=error))


class AllocateAlgorithm(QgsProcessingAlgorithm):
    def __init__(self, description):
        super().__init__()
        # One land use: the properties of several (land-uses, conversions, adjacency, the only
        # ones outside a section) belong to configuration files. None when the program was not
        # found: the algorithm stays listed and says so when run.
        self.description = None
        if description is not None:
            properties = [p for p in description["properties"] if "." in p["name"]]
            self.description = {**description, "properties": properties}

    def name(self):
        return "allocate"

    def displayName(self):  # noqa: N802
        return "Allocate land use"

    def shortHelpString(self):  # noqa: N802
        return (
            "<p>Decides which cells receive one new land use: a compact area on cells of high "
            "potential, near the distance masks, away from the exclusion masks.</p>"
            "<p>Plans by minimum cuts (method <i>min-cut</i>) unless you choose the annealing: "
            "compact plans in seconds. Debug maps are off. Give the potential layers (one group, "
            "their weights as numbers separated by blanks or commas), the exclusion masks, the "
            "existing allocations, how much to allocate (a demand, or a share of the free area) "
            "and where to write the maps. Distances of the island selection are counted in cells "
            "of the grid (15 cells are 375 m on a 25 m grid); where the layers are in a metric "
            "coordinate system, the minimum distance may be given in metres instead, and the "
            "log says how many cells it makes.</p>"
            "<p>Left out through qgis_process, a parameter takes the value the dialog shows, "
            "except the share of area when a demand is given. For several land uses decided "
            "together, use \"Allocate land uses\"; for several groups of potential layers, run "
            "a configuration file.</p>"
            + OPTIONS_HELP
        )

    def createInstance(self):  # noqa: N802
        return AllocateAlgorithm(self.description)

    def initAlgorithm(self, config=None):  # noqa: N802
        if self.description is None:
            return
        add_properties(self, self.description["properties"], _example())
        _count_options(self, self.description["options"])
        self.addOutput(QgsProcessingOutputMultipleLayers("MAPS", "Maps written"))

    def processAlgorithm(self, parameters, context, feedback):  # noqa: N802
        _require_program(self.description)
        properties = self.description["properties"]
        config = configuration(self, properties, parameters, context)
        # The share and the demand are alternatives: a demand given replaces the share the
        # dialog fills in.
        preprocess = config.get("preprocess", {})
        if "demand" in preprocess and "PREPROCESS_CONVERT_AREA" not in parameters:
            preprocess.pop("convert-area", None)
        layers = self.parameterAsLayerList(parameters, "MAPS_POTENTIAL_MAPS", context)
        set_distance_in_metres(self, config, layers[0] if layers else None, parameters,
                               context, feedback)
        args = _command(self, parameters, context, self.description["options"])
        return run_configuration(self, config, args, properties, parameters, context, feedback)


def add_properties(algorithm, properties, example):
    """Adds a parameter for each described property, filled with the example's values; the
    distance the program counts in cells is followed by the same distance in metres."""
    for prop in properties:
        parameter = _parameter(prop, _lookup(example, prop["name"]))
        parameter.setHelp(dialog_label(prop)[1])
        algorithm.addParameter(parameter)
        if prop["name"] == DISTANCE_IN_CELLS:
            parameter = QgsProcessingParameterNumber(
                DISTANCE_IN_METRES, "Minimum distance to mask, in metres",
                QgsProcessingParameterNumber.Double, optional=True, minValue=0,
            )
            parameter.setHelp(
                "Replaces the distance in cells: counted in cells of the first potential layer, "
                "which must be in a metric coordinate system; the log says how many cells it "
                "makes."
            )
            algorithm.addParameter(parameter)


def configuration(algorithm, properties, parameters, context):
    """The configuration the dialog's values of `properties` make, as nested dicts."""
    config = {}
    for prop in properties:
        value = _value(algorithm, prop, parameters, context)
        if value is not None:
            _set(config, prop["name"], value)
    return config


def _set(config, name, value):
    """Sets the property `name` ("postprocess.output") of `config`, making its sections."""
    *path, last = name.split(".")
    node = config
    for key in path:
        node = node.setdefault(key, {})
    node[last] = value


def set_distance_in_metres(algorithm, config, layer, parameters, context, feedback):
    """Puts the minimum distance given in metres into `config` in cells of `layer`'s grid (the
    first potential layer, which sets the grid), logging the conversion. A distance in metres
    has no meaning on a map in degrees or without a coordinate system: it is refused there."""
    if parameters.get(DISTANCE_IN_METRES) in (None, ""):
        return
    metres = algorithm.parameterAsDouble(parameters, DISTANCE_IN_METRES, context)
    if layer is None:
        raise QgsProcessingException(
            "Minimum distance in metres: give a potential layer, whose cells it is counted in"
        )
    crs = layer.crs()
    if not crs.isValid():
        raise QgsProcessingException(
            f"Minimum distance in metres: the potential layer '{layer.name()}' has no coordinate "
            "system, so its cells have no size in metres; give the distance in cells instead"
        )
    if crs.mapUnits() != QgsUnitTypes.DistanceMeters:
        units = QgsUnitTypes.toString(crs.mapUnits())
        raise QgsProcessingException(
            f"Minimum distance in metres: the potential layer '{layer.name()}' is in {units} "
            f"({crs.authid() or crs.description()}), not metres; give the distance in cells "
            "instead"
        )
    size = layer.rasterUnitsPerPixelX()
    # The nearest whole cell, a half up; a distance above 0 is at least one cell, since 0 cells
    # would switch the selection by distance off.
    cells = math.floor(metres / size + 0.5)
    if metres > 0:
        cells = max(cells, 1)
    feedback.pushInfo(
        f"Minimum distance to mask: {metres:g} m on cells of {size:g} m is {cells} cells "
        f"({cells * size:g} m)"
    )
    _set(config, DISTANCE_IN_CELLS, cells)


def run_configuration(algorithm, config, args, properties, parameters, context, feedback):
    """Runs `config` in a folder of its own, removed after the run, and returns the maps it
    wrote and each output of `properties`."""
    with tempfile.TemporaryDirectory(prefix="landalloc-") as folder:
        path = os.path.join(folder, "config.json")
        with open(path, "w", encoding="utf-8") as out:
            json.dump(config, out, indent=1)
        written = runner.execute(args, path, folder, feedback)
    results = {"MAPS": _load(context, folder, written)}
    for prop in properties:
        if prop["type"] == "output":
            name = parameter_name(prop["name"])
            results[name] = algorithm.parameterAsOutputLayer(parameters, name, context)
    return results


def _value(algorithm, prop, parameters, context):
    name = parameter_name(prop["name"])
    kind = prop["type"]
    if kind == "output":
        return algorithm.parameterAsOutputLayer(parameters, name, context)
    if parameters.get(name) is None and prop["name"] in FRONT_DEFAULTS:
        return FRONT_DEFAULTS[prop["name"]]
    if parameters.get(name) is None and "default" in prop:
        # Left out, a property takes the program's default. One the program has none for
        # (absent unless given, as the share of area) takes the value the dialog shows when
        # not given at all, as through qgis_process; cleared in the dialog, it stays out.
        default = algorithm.parameterDefinition(name).defaultValue()
        if name in parameters or prop["default"] is not None or default is None:
            return None
        parameters = {**parameters, name: default}
    if kind in ("files", "file-groups"):
        layers = [layer.source() for layer in
                  algorithm.parameterAsLayerList(parameters, name, context)]
        return [layers] if kind == "file-groups" else layers
    if kind == "file-or-empty":
        layer = algorithm.parameterAsRasterLayer(parameters, name, context)
        return layer.source() if layer is not None else ""
    if kind == "number":
        return algorithm.parameterAsDouble(parameters, name, context)
    if kind == "integer":
        return algorithm.parameterAsInt(parameters, name, context)
    if kind == "switch":
        return "yes" if algorithm.parameterAsBool(parameters, name, context) else "no"
    if kind == "word":
        return prop["words"][algorithm.parameterAsEnum(parameters, name, context)]
    text = algorithm.parameterAsString(parameters, name, context)
    if kind == "numbers":
        return _numbers(text)
    if kind == "number-groups":
        return [_numbers(text)]
    raise ValueError(f"property '{prop['name']}' of unknown type '{kind}'")


def _parameter(prop, example):
    """The Processing parameter of one described property, filled with the example's value."""
    name, kind, label = parameter_name(prop["name"]), prop["type"], dialog_label(prop)[0]
    optional = "default" in prop
    if kind == "output":
        return QgsProcessingParameterRasterDestination(name, label)
    if kind in ("files", "file-groups"):
        return QgsProcessingParameterMultipleLayers(
            name, label, QgsProcessing.TypeRaster, optional=kind == "files"
        )
    if kind == "file-or-empty":
        return QgsProcessingParameterRasterLayer(name, label, optional=True)
    if kind in ("number", "integer"):
        parameter = QgsProcessingParameterNumber(
            name,
            label,
            QgsProcessingParameterNumber.Double if kind == "number"
            else QgsProcessingParameterNumber.Integer,
            # A property that is absent by default ("preprocess.convert-area" beside a demand)
            # still starts from the example's value.
            defaultValue=example if prop.get("default") is None else prop["default"],
            optional=optional,
        )
        if "minimum" in prop:
            parameter.setMinimum(prop["minimum"])
        if "maximum" in prop:
            parameter.setMaximum(prop["maximum"])
        return parameter
    if kind == "switch":
        # Debug output is for the program's developers: off, whatever the example does.
        on = example == "yes" and ".debug-" not in prop["name"]
        return QgsProcessingParameterBoolean(name, label, defaultValue=on)
    if kind == "word":
        words = prop["words"]
        chosen = FRONT_DEFAULTS.get(prop["name"], prop.get("default", example))
        # An optional word left unset stays out of the configuration ("preprocess.demand.unit"
        # goes only with an area).
        fallback = None if optional else 0
        return QgsProcessingParameterEnum(
            name, label, words, defaultValue=words.index(chosen) if chosen in words else fallback,
            optional=optional,
        )
    if kind == "numbers":
        text = " ".join(str(v) for v in example) if isinstance(example, list) else None
        return QgsProcessingParameterString(name, label, defaultValue=text, optional=optional)
    if kind == "number-groups":
        # The dialog takes one group of layers (a list of layers has no groups): the example's
        # first group of numbers matches it.
        text = None
        if isinstance(example, list) and example and isinstance(example[0], list):
            text = " ".join(str(v) for v in example[0])
        return QgsProcessingParameterString(name, label, defaultValue=text, optional=optional)
    raise ValueError(f"property '{prop['name']}' of unknown type '{kind}'")
