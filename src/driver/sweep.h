// Sweeps: one numeric configuration property (or two, for a grid) run at a list of values, each
// value a scenario of its own run as repeats, its outputs tagged ".sweepNN". Here: reading the
// sweep text, the configuration text of each point, the sweep table, and the recommended value
// (the elbow of the trade-off curve, and Cohon's method for a single weight) with its picture.
// With several land uses, a sweep may take one use's number property (land-uses[NAME].…) or one
// adjacency cost (adjacency[A][B], both halves of the symmetric matrix).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/config.h"
#include "driver/preflight.h"
#include "driver/repeats.h"

/// The most values one sweep property takes.
constexpr int32_t SWEEP_MAX_VALUES = 1000;

/// One swept property and its values.
struct SweepAxis {
  std::string text;                 ///< PROPERTY=VALUES as given
  std::string property;             ///< as given, with its element indices
  std::string name;                 ///< the property of --describe's table
  std::vector<int32_t> indices;     ///< the element: none for a number, one for a list
  std::vector<double> values;       ///< in the order given
  std::vector<std::string> labels;  ///< each value as written into the configuration
  /// land-uses[USE].KEY: the use as given (a name or an index) and KEY, the use's own dotted key
  /// without indices ("demand.cells"); `name` is then the shared property KEY stands for.
  /// adjacency[A][B]: both uses as given. Empty for a shared property.
  std::vector<std::string> uses;
  std::string key;
  std::vector<int32_t> use_indices;  ///< `uses` resolved against the configuration
  bool adjacency() const { return name == "adjacency"; }
};

/// Reads `text` (PROPERTY=VALUES) into `axis`; false with `error`, the whole message line, when it
/// is not a numeric property of the table with values it accepts.
bool sweep_parse(const std::string& text, SweepAxis& axis, std::string& error);

/// Resolves the land uses that `axes` name against `config`, and refuses (false with the message
/// line in `error`) an unknown use or index, a cost on the diagonal, a shared property that no use
/// reads, or one property swept twice under two spellings.
bool sweep_resolve(const ConfigDocument& config, std::vector<SweepAxis>& axes, std::string& error);

/// The values of a list ("0,0.5,2") or a range ("FIRST:LAST:STEPS", evenly spaced, or with "log"
/// after STEPS, in even ratios), both ends included; false with what is wrong in `error`.
bool sweep_values(const std::string& text, std::vector<double>& values, std::string& error);

/// The shortest text that reads back as `value`.
std::string sweep_label(double value);

/// One point of a sweep: its index from 0, and the value of each axis.
struct SweepPoint {
  int32_t index = 0;
  std::vector<size_t> at;  ///< per axis, the index of its value
};

/// Every point of the axes, the first axis varying slowest.
std::vector<SweepPoint> sweep_points(const std::vector<SweepAxis>& axes);

/// The tag of point `index` of `count` (".sweep03"; at least two digits).
std::string sweep_tag(int32_t index, int32_t count);

/// The configuration text of `point`: `original` (the text `doc` was loaded from) with each swept
/// value put in and the outputs of `stages` tagged; false with the message line in `error` when a
/// swept property or element is not in the configuration.
bool sweep_point_text(const std::string& original, const ConfigDocument& doc,
                      const std::vector<SweepAxis>& axes, const SweepPoint& point, int32_t count,
                      const StageFlags& stages, std::string& text, std::string& error);

/// What one point gave.
struct SweepPointResult {
  SweepPoint point;
  RepeatSummary summary;
};

/// The two measures that the swept property trades, x against y, and whose they are.
struct TradeOff {
  int32_t x = 0;  ///< a SweepMeasure
  int32_t y = 0;
  int32_t uses = 0;   ///< the land uses decided together, each with its columns; 0 for one use
  int32_t use = -1;   ///< with several: the use measured, or -1 for all new cells
  int32_t pair = -1;  ///< the pair of uses whose shared sides are measured (a < b, a first)
};
enum SweepMeasure {
  MEASURE_PERIMETER,
  MEASURE_POTENTIAL,
  MEASURE_ISLANDS,
  MEASURE_DISTANCE,
  MEASURE_AREA,
  MEASURE_F4,
  MEASURE_SHARED_SIDES,  ///< the sides that the pair of uses share
  MEASURE_OWN_ENERGY     ///< the sum of the uses' own energies: E without the adjacency term
};
/// The trade-off of `axis` on a run of `uses` land uses (0: one use). A use's property is measured
/// on that use's new cells as one use's is, a cost by the sides of its pair against the uses' own
/// energy, a shared property on all new cells (each cell's potential and distance its use's).
TradeOff sweep_trade_off(const SweepAxis& axis, int32_t uses = 0);
double sweep_measure(const RepeatSummary& summary, int32_t measure, const TradeOff& trade);
/// As the log names a measure: the column, with its use or pair as the table names them.
std::string sweep_measure_name(int32_t measure, const TradeOff& trade,
                               const std::vector<std::string>& uses);

/// The index of the point furthest from the chord between the first and the last point, the
/// coordinates scaled to 0-1 (a coordinate that does not vary scales to 0); the lowest index on a
/// tie, 0 for fewer than three points.
size_t sweep_elbow(const std::vector<double>& x, const std::vector<double>& y);

/// Cohon's method for a weight: given the weights `w` and, for the plans of the smallest and the
/// largest weight, the weighted term `term` and the rest of the energy `rest`, the weight at which
/// both plans have the same energy, one objective traded for the other one for one; false when
/// the plans do not trade (the weighted term or the rest does not fall the way it should).
bool sweep_cohon(double w_low, double term_low, double rest_low, double w_high, double term_high,
                 double rest_high, double& weight);

/// The sweep table's text: one row per point, the point at index `recommended` marked; with
/// several land uses, each use's columns and each pair's as the runs table gives them.
std::string sweep_table_text(const std::vector<SweepAxis>& axes,
                             const std::vector<SweepPointResult>& results, size_t recommended);

/// The energy terms (0 to 4) whose best run's value differs from point to point: of land use `use`
/// when it is 0 or more.
std::vector<int32_t> sweep_moved_terms(const std::vector<SweepPointResult>& results,
                                       int32_t use = -1);

/// The gnuplot script that draws the trade-off of a sweep table, point `recommended` marked, and
/// below it the `moved` terms per point (the measured use's). It holds no name: `gnuplot -c SCRIPT
/// TABLE PICTURE TITLE [USE [OTHER]]` passes them as values, the measured use (or pair) last.
std::string sweep_plot_script(const std::vector<SweepAxis>& axes, const TradeOff& trade,
                              size_t recommended, const std::vector<int32_t>& moved);

/// The picture's title: the swept properties.
std::string sweep_plot_title(const std::vector<SweepAxis>& axes);
