"""The dialogs' label and help (shown as the label's tooltip) of each configuration property.
The program's --describe help is written for configuration files and the command line (it names
other properties and options); a planner in a dialog meets the layers and fields the dialog shows
instead. Labels stay short enough to show whole in the dialog; the details go to the help. A
property the program gains keeps its --describe help until it is given a label here, which the
tests ask for."""

DIALOG_LABELS = {
    "maps.potential-maps": (
        "Potential layers",
        "Suitability layers, summed with their weights and scaled to 0-1; the new cells go to "
        "cells of high potential. The first layer sets the grid of every map."),
    "maps.potential-maps-weight": (
        "Weights of the potential layers",
        "One number per potential layer, in the layers' order, separated by blanks or commas."),
    "maps.exclusion-masks": (
        "Exclusion masks",
        "The cells these layers mark are never allocated (water, protected land)."),
    "preprocess.init-values-map": (
        "Existing allocations",
        "Cells above 0 are allocated already and keep their code; the new cells get the largest "
        "code + 1. Empty: no existing allocation."),
    "preprocess.distribution-masks": (
        "Distribution masks",
        "The starting cells of the optimisation are placed preferably near these layers; none: "
        "evenly over the free cells."),
    "preprocess.convert-area": (
        "Share of the free cells to allocate",
        "From 0 to 1 of the cells that are free and not excluded. A demand in cells or as an "
        "area replaces it."),
    "preprocess.demand.cells": (
        "Demand, in cells",
        "How many new cells to allocate besides the existing allocations; replaces the share."),
    "preprocess.demand.area": (
        "Demand, as an area",
        "The area of new land to allocate, in the unit of the demand, made the nearest whole "
        "number of cells; needs layers in metres. Replaces the share."),
    "preprocess.demand.unit": (
        "Unit of the demand as an area",
        "m2, ha or km2."),
    "preprocess.debug-maps": (
        "Debug map of the starting allocation",
        "A map for landalloc's developers; planners leave it off."),
    "preprocess.output": (
        "Starting allocation",
        "The map the optimisation starts from."),
    "process.method": (
        "Method",
        "min-cut: minimum cuts, compact plans in seconds. "
        "annealing: simulated annealing, tuned by the annealing's fields; slower."),
    "process.portfolio-gap": (
        "Min-cut: plan spread of several runs",
        "With several runs by min-cut: how far above the best plan's energy each run's plan may "
        "lie, as a share (0 to 1); 0 makes every run the same plan."),
    "process.time-limit": (
        "Time limit of the optimisation, in seconds",
        "Empty: none. The annealing ends with the stage in which the time runs out and keeps "
        "its best map; min-cut skips its later searches. The run's time limit, when given, "
        "replaces it."),
    "process.keep-best": (
        "Annealing: keep the best map",
        "Keeps the lowest-energy map of the stages' ends instead of the last."),
    "process.polish": (
        "Annealing: polish the plan",
        "After the annealing, tries swaps and island and hole changes that lower the energy."),
    "process.functions-weight": (
        "Weights of the energy",
        "Five numbers: potential, perimeter (compactness), islands, nservices, distance."),
    "process.pinit": (
        "Annealing: initial acceptance",
        "Tuned automatically: how often a typical uphill move is accepted at the start (0 to 1)."),
    "process.tinit": (
        "Annealing: initial temperature", "The temperature of the annealing's first stage."),
    "process.tnext": (
        "Annealing: cooling factor",
        "The temperature is multiplied by it after every stage; below 1 cools."),
    "process.nmovs": (
        "Annealing: moves per stage", "Tuned by hand: how many moves each stage tries."),
    "process.nstages": (
        "Annealing: number of stages", "How many stages, each at a lower temperature."),
    "process.kb": (
        "Annealing: Boltzmann factor", "Tuned by hand: scales the energy in the acceptance."),
    "process.random-select": (
        "Annealing: try every cell alike",
        "On: a move tries every allocatable cell with the same chance; off: cells of high "
        "potential more often."),
    "process.distance-masks": (
        "Distance masks",
        "The new cells are drawn near these layers, as strongly as the distance weight (the "
        "fifth weight of the energy) says."),
    "process.distance-maps": (
        "Distance layers",
        "Summed for the distance weight when no distance mask is given."),
    "process.debug-maps": (
        "Debug maps of the optimisation",
        "Four maps for landalloc's developers; planners leave them off."),
    "process.debug-evolution": (
        "Annealing: evolution listing",
        "A listing of every stage, for landalloc's developers; planners leave it off."),
    "process.autotunning": (
        "Annealing: tune automatically",
        "On: a trial run sets the Boltzmann factor from the initial acceptance and temperature; "
        "off: the Boltzmann factor and the moves per stage as given."),
    "process.output": (
        "Optimised allocation",
        "The optimisation's map, before the island selection."),
    "postprocess.select.purge-limit": (
        "Island selection: smallest island, in cells",
        "Islands of fewer cells are removed."),
    "postprocess.select.method-distance.distance-masks": (
        "Island selection: masks to keep near",
        "Islands near these layers are kept; the distance is counted in cells."),
    "postprocess.select.method-distance.distance-maps": (
        "Island selection: distance layers",
        "Distances in map units, read when no mask of the island selection is given."),
    "postprocess.select.method-distance.minimum-distance-to-mask": (
        "Minimum distance to mask, in cells",
        "An island is kept when enough of its cells lie within this many cells of a mask of the "
        "island selection; 0: no selection by distance."),
    "postprocess.select.method-distance.minimum-cells-at-distance": (
        "Island selection: cells within the distance",
        "How many cells within the minimum distance keep an island; 0: no selection by "
        "distance."),
    "postprocess.select.method-value.accumulated-value": (
        "Island selection: share of the potential",
        "The islands of highest summed potential are kept until they hold this share of it (0 "
        "to 1); 0: no selection by value."),
    "postprocess.expand.assign-preference": (
        "How the kept islands grow back",
        "The kept islands grow back to meet the demand: random (by chance, likelier on higher "
        "potential), large islands first, or small ones first."),
    "postprocess.expand.basins-map": (
        "Basins layer",
        "Each island grows only into the basins it occupies; empty: islands grow freely."),
    "postprocess.expand.method": (
        "How the final map is found",
        "greedy: the kept islands grow back. min-cut (after the min-cut method only): the "
        "lowest-energy plan without the islands the selection dropped. Empty: min-cut after the "
        "min-cut method, else greedy."),
    "postprocess.expand.minimim-cells-in-basin": (
        "Basins: fewest allocated cells to grow",
        "Basins of the basins layer with fewer allocated cells are closed to growth; 0 closes "
        "none."),
    "postprocess.debug-maps": (
        "Debug maps of the island selection",
        "Maps for landalloc's developers; planners leave them off."),
    "postprocess.output": (
        "Final allocation", "The plan."),
    "postprocess.output-mask": (
        "Mask of the final allocation",
        "1 on every allocated cell, no data elsewhere."),
}


def dialog_label(prop):
    """The label and help of the property `prop` (an entry of --describe's properties) in a
    dialog."""
    return DIALOG_LABELS.get(prop["name"], (prop["help"], prop["help"]))
