""""Allocate land uses": several uses decided together, each in a slot of the dialog (name, code,
demand, potential layers and weights, the codes it may take and those it already is), and the
costs between them as one line of text, so that no configuration file is written by hand. The
shared properties come from the program's --describe document, as in "Allocate land use"."""

import math
import re

from qgis.core import (
    QgsProcessing,
    QgsProcessingAlgorithm,
    QgsProcessingException,
    QgsProcessingOutputMultipleLayers,
    QgsProcessingParameterEnum,
    QgsProcessingParameterMultipleLayers,
    QgsProcessingParameterNumber,
    QgsProcessingParameterString,
)

from .algorithms import (
    OPTIONS_HELP,
    _command,
    _count_options,
    _example,
    _numbers,
    _require_program,
    _set,
    add_properties,
    configuration,
    run_configuration,
    set_distance_in_metres,
)

SLOTS = 4
UNITS = ["hectares", "cells"]
# What each use gives for itself: the shared properties of the one-use dialog that stand for it.
PER_USE = (
    "maps.potential-maps",
    "maps.potential-maps-weight",
    "preprocess.convert-area",
    "preprocess.demand.cells",
    "preprocess.demand.area",
    "preprocess.demand.unit",
)
# The program's own rule for a use's name (it names the use's columns and frequency grids).
NAME = re.compile(r"[A-Za-z0-9_-]+")
FIELDS = ("NAME", "CODE", "DEMAND", "POTENTIAL", "WEIGHTS", "CONVERSIONS", "EXISTING")


def slot_parameter(slot, field):
    """The Processing name of a slot's field: "USE2_DEMAND"."""
    return f"USE{slot}_{field}"


def _whole_numbers(text, what):
    try:
        numbers = _numbers(text)
    except ValueError:
        numbers = None
    if numbers is None or any(not n.is_integer() for n in numbers):
        raise QgsProcessingException(
            f"{what} '{text.strip()}': whole numbers separated by blanks, for instance 3 5"
        )
    return [int(n) for n in numbers]


def adjacency_matrix(text, names):
    """The K x K matrix of the adjacency text "housing industry 0.5; housing green-space -0.5"
    for the uses `names`: each pair once, in either order; pairs not listed cost 0."""
    index = {name: i for i, name in enumerate(names)}
    matrix = [[0.0] * len(names) for _ in names]
    given = {}
    for item in re.split(r"[;\n]", text):
        words = item.split()
        if not words:
            continue
        if len(words) != 3:
            raise QgsProcessingException(
                f"Adjacency '{item.strip()}': give two use names and a cost, for instance "
                "'housing industry 0.5', pairs separated by ';'"
            )
        a, b, cost = words
        for name in (a, b):
            if name not in index:
                raise QgsProcessingException(
                    f"Adjacency '{item.strip()}': no use is named '{name}' (the uses are "
                    f"{', '.join(names)})"
                )
        if a == b:
            raise QgsProcessingException(
                f"Adjacency '{item.strip()}': a use has no cost with itself; give two uses"
            )
        try:
            value = float(cost)
        except ValueError:
            value = math.nan
        if not math.isfinite(value):
            raise QgsProcessingException(
                f"Adjacency '{item.strip()}': the cost '{cost}' is not a number"
            )
        pair = frozenset((a, b))
        if pair in given:
            raise QgsProcessingException(
                f"Adjacency: the pair {a} and {b} is given twice ('{given[pair]}' and "
                f"'{item.strip()}')"
            )
        given[pair] = item.strip()
        matrix[index[a]][index[b]] = matrix[index[b]][index[a]] = value
    return matrix


class AllocateUsesAlgorithm(QgsProcessingAlgorithm):
    def __init__(self, description):
        super().__init__()
        # None when the program was not found: the algorithm stays listed and says so when run.
        # The debug switches stay off, out of the dialog: the stages of several uses write no
        # debug maps.
        self.description, self.debug = None, []
        if description is not None:
            properties = [p for p in description["properties"]
                          if "." in p["name"] and p["name"] not in PER_USE]
            self.debug = [p["name"] for p in properties if ".debug-" in p["name"]]
            properties = [p for p in properties if p["name"] not in self.debug]
            self.description = {**description, "properties": properties}

    def name(self):
        return "allocateuses"

    def displayName(self):  # noqa: N802
        return "Allocate land uses"

    def shortHelpString(self):  # noqa: N802
        return (
            f"<p>Decides where several new land uses go, together: up to {SLOTS} uses, each "
            "receiving its demand on the cells of highest potential for it, compact, never two "
            "uses on one cell. The final map gives each use's new cells its code; the mask marks "
            "the new cells of every use.</p>"
            "<p>Each use has a slot: its <b>name</b> (letters, digits, - and _; a slot without "
            "a name is not used), the <b>code</b> its new cells get in the maps (a whole number "
            "from 1 that the existing allocations do not hold, or one of its own existing "
            "codes, so that new and old land of the use share a code), its <b>demand</b> (new land "
            "only, in hectares or in cells as chosen above the slots; hectares need layers in "
            "metres), its <b>potential layers</b> and their <b>weights</b> (empty: equal "
            "weights), the <b>codes it may take</b> of the existing allocations layer besides "
            "free land (for instance <code>3</code>: industry may replace farms coded 3), and "
            "the <b>codes that already are this use</b> (its existing land, for instance "
            "<code>1</code>). Codes are whole numbers separated by blanks.</p>"
            "<p><b>Adjacency</b>: the cost of each cell side two uses share, as "
            "<code>housing industry 0.5; housing green-space -0.5</code>: a positive cost keeps "
            "the two apart, a negative one draws them together, a pair not listed costs 0. A cost "
            "of 1 weighs a shared side as a perimeter weight of 1 weighs a side of one use.</p>"
            "<p>The other parameters are shared by all uses, as in \"Allocate land use\": masks, "
            "existing allocations, weights of the energy, the island selection and the outputs. "
            "Plans by minimum cuts unless you choose the annealing. The minimum distance to mask "
            "is counted in cells of the grid; give it in metres instead when the layers are in "
            "a metric coordinate system. With several runs, a map of how often each cell is "
            "chosen is loaded for each use.</p>" + OPTIONS_HELP
        )

    def createInstance(self):  # noqa: N802
        algorithm = AllocateUsesAlgorithm(None)
        algorithm.description, algorithm.debug = self.description, self.debug
        return algorithm

    def initAlgorithm(self, config=None):  # noqa: N802
        if self.description is None:
            return
        self.addParameter(
            QgsProcessingParameterEnum("DEMAND_UNIT", "Demands are given in", UNITS,
                                       defaultValue=0)
        )
        for slot in range(1, SLOTS + 1):
            self._add_slot(slot)
        self.addParameter(
            QgsProcessingParameterString(
                "ADJACENCY", "Adjacency: cost per shared cell side, for instance 'housing "
                "industry 0.5; housing green-space -0.5' (negative attracts; unlisted pairs 0)",
                optional=True,
            )
        )
        add_properties(self, self.description["properties"], _example())
        _count_options(self, self.description["options"])
        self.addOutput(QgsProcessingOutputMultipleLayers("MAPS", "Maps written"))

    def _add_slot(self, slot):
        use = f"Use {slot}: "
        double = QgsProcessingParameterNumber.Double
        parameters = [
            QgsProcessingParameterString(slot_parameter(slot, "NAME"),
                                         use + "name (empty: slot not used)", optional=True),
            QgsProcessingParameterNumber(slot_parameter(slot, "CODE"),
                                         use + "code of its new cells in the maps",
                                         QgsProcessingParameterNumber.Integer, optional=True,
                                         minValue=1),
            QgsProcessingParameterNumber(slot_parameter(slot, "DEMAND"),
                                         use + "demand (new land, in the unit chosen above)",
                                         double, optional=True, minValue=0),
            QgsProcessingParameterMultipleLayers(slot_parameter(slot, "POTENTIAL"),
                                                 use + "potential layers",
                                                 QgsProcessing.TypeRaster, optional=True),
            QgsProcessingParameterString(slot_parameter(slot, "WEIGHTS"),
                                         use + "weights of the potential layers (empty: equal)",
                                         optional=True),
            QgsProcessingParameterString(slot_parameter(slot, "CONVERSIONS"),
                                         use + "codes of existing allocations it may take "
                                         "(for instance 3 5)", optional=True),
            QgsProcessingParameterString(slot_parameter(slot, "EXISTING"),
                                         use + "codes of existing allocations that already "
                                         "are this use", optional=True),
        ]
        for parameter in parameters:
            self.addParameter(parameter)

    def processAlgorithm(self, parameters, context, feedback):  # noqa: N802
        _require_program(self.description)
        properties = self.description["properties"]
        uses, conversions, first_layer = self._uses(parameters, context)
        names = [use["name"] for use in uses]
        config = configuration(self, properties, parameters, context)
        for switch in self.debug:
            _set(config, switch, "no")
        # The first file of the shared potential maps sets the grid: the first use's.
        _set(config, "maps.potential-maps", uses[0]["potential-maps"])
        _set(config, "maps.potential-maps-weight", uses[0]["potential-maps-weight"])
        config["land-uses"] = uses
        if conversions:
            config["conversions"] = conversions
        adjacency = self.parameterAsString(parameters, "ADJACENCY", context)
        if adjacency.strip():
            config["adjacency"] = adjacency_matrix(adjacency, names)
        set_distance_in_metres(self, config, first_layer, parameters, context, feedback)
        args = _command(self, parameters, context, self.description["options"])
        return run_configuration(self, config, args, properties, parameters, context, feedback)

    def _uses(self, parameters, context):
        """The uses of the named slots as the configuration gives them, the conversions by use
        name, and the first use's first potential layer, which sets the grid."""
        unit = UNITS[self.parameterAsEnum(parameters, "DEMAND_UNIT", context)]
        uses, conversions, first_layer = [], {}, None
        taken = {}  # the slot that gave each name and each code
        for slot in range(1, SLOTS + 1):
            found = self._use(parameters, context, slot, unit, taken)
            if found is None:
                continue
            use, codes, layer = found
            uses.append(use)
            if codes:
                conversions[use["name"]] = codes
            if first_layer is None:
                first_layer = layer
        if not uses:
            raise QgsProcessingException(
                "No land use: give at least one use a name, a code, a demand and potential layers"
            )
        return uses, conversions, first_layer

    def _use(self, parameters, context, slot, unit, taken):
        """The use of one slot, the codes it may take and its first potential layer; None for a
        slot left empty."""
        given = {field: parameters.get(slot_parameter(slot, field)) for field in FIELDS}
        name = (given["NAME"] or "").strip()
        if not name:
            if any(given[field] not in (None, "", []) for field in FIELDS[1:]):
                raise QgsProcessingException(
                    f"Use {slot} has no name but its other fields are filled: name it, or clear "
                    "them"
                )
            return None
        use = f"Use {slot} '{name}'"
        if not NAME.fullmatch(name):
            raise QgsProcessingException(f"{use}: a name holds only letters, digits, - and _")
        if ("name", name) in taken:
            raise QgsProcessingException(f"{use}: use {taken['name', name]} has this name already")
        taken["name", name] = slot
        if given["CODE"] in (None, ""):
            raise QgsProcessingException(f"{use}: give the code of its new cells")
        code = self.parameterAsInt(parameters, slot_parameter(slot, "CODE"), context)
        if ("code", code) in taken:
            raise QgsProcessingException(
                f"{use}: code {code} is already the code of use {taken['code', code]}"
            )
        taken["code", code] = slot
        demand = self._demand(parameters, context, slot, use, unit)
        layers = self.parameterAsLayerList(parameters, slot_parameter(slot, "POTENTIAL"), context)
        if not layers:
            raise QgsProcessingException(f"{use}: give at least one potential layer")
        entry = {"name": name, "code": code, "demand": demand,
                 "potential-maps": [[layer.source() for layer in layers]],
                 "potential-maps-weight": [self._weights(parameters, context, slot, use,
                                                         len(layers))]}
        text = self.parameterAsString(parameters, slot_parameter(slot, "EXISTING"), context)
        if text.strip():
            entry["existing-codes"] = _whole_numbers(text, f"{use}: existing codes")
        text = self.parameterAsString(parameters, slot_parameter(slot, "CONVERSIONS"), context)
        codes = _whole_numbers(text, f"{use}: codes it may take") if text.strip() else []
        return entry, codes, layers[0]

    def _demand(self, parameters, context, slot, use, unit):
        name = slot_parameter(slot, "DEMAND")
        amount = (self.parameterAsDouble(parameters, name, context)
                  if parameters.get(name) not in (None, "") else 0)
        if not amount > 0:
            raise QgsProcessingException(f"{use}: give its demand, above 0 {unit}")
        if unit == "hectares":
            return {"area": amount, "unit": "ha"}
        if not amount.is_integer():
            raise QgsProcessingException(f"{use}: a demand of {amount:g} cells; cells are whole")
        return {"cells": int(amount)}

    def _weights(self, parameters, context, slot, use, count):
        text = self.parameterAsString(parameters, slot_parameter(slot, "WEIGHTS"), context)
        if not text.strip():
            return [1.0] * count
        try:
            weights = _numbers(text)
        except ValueError:
            weights = None
        if weights is None or not all(math.isfinite(w) for w in weights):
            raise QgsProcessingException(
                f"{use}: weights '{text.strip()}': numbers separated by blanks, one per layer"
            )
        if len(weights) != count:
            raise QgsProcessingException(
                f"{use}: {len(weights)} weights for {count} potential layers"
            )
        return weights
