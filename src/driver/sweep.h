// Sweeps: one numeric configuration property (or two, for a grid) run at a list of values, each
// value a scenario of its own run as repeats, its outputs tagged ".sweepNN". Here: reading the
// sweep text, the configuration text of each point, the sweep table, and the recommended value
// (the elbow of the trade-off curve, and Cohon's method for a single weight) with its picture.
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
};

/// Reads `text` (PROPERTY=VALUES) into `axis`; false with `error`, the whole message line, when it
/// is not a numeric property of the table with values it accepts.
bool sweep_parse(const std::string& text, SweepAxis& axis, std::string& error);

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

/// The two measures that the swept property trades, x against y, and how each is named.
struct TradeOff {
  int32_t x = 0;  ///< a SweepMeasure
  int32_t y = 0;
};
enum SweepMeasure {
  MEASURE_PERIMETER,
  MEASURE_POTENTIAL,
  MEASURE_ISLANDS,
  MEASURE_DISTANCE,
  MEASURE_AREA,
  MEASURE_F4
};
TradeOff sweep_trade_off(const SweepAxis& axis);
double sweep_measure(const RepeatSummary& summary, int32_t measure);
const char* sweep_measure_name(int32_t measure);   ///< as the table's column
const char* sweep_measure_title(int32_t measure);  ///< as the picture's axis

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

/// The sweep table's text: one row per point, the point at index `recommended` marked.
std::string sweep_table_text(const std::vector<SweepAxis>& axes,
                             const std::vector<SweepPointResult>& results, size_t recommended);

/// The energy terms (0 to 4) whose best run's value differs from point to point.
std::vector<int32_t> sweep_moved_terms(const std::vector<SweepPointResult>& results);

/// The gnuplot script that draws the trade-off of a sweep table, point `recommended` marked, and
/// below it the `moved` terms per point. It holds no name: `gnuplot -c SCRIPT TABLE PICTURE
/// TITLE` passes them as values.
std::string sweep_plot_script(const std::vector<SweepAxis>& axes, const TradeOff& trade,
                              size_t recommended, const std::vector<int32_t>& moved);

/// The picture's title: the swept properties.
std::string sweep_plot_title(const std::vector<SweepAxis>& axes);
