// Esri ASCII grid text on strings: the header's keys and values, the cell values, and the text a
// value is written as. Errors come back as values (a message such as "invalid value 'x'"); the
// file reading and writing of grid.h feed these the words of a file and turn an error into the
// fatal message that names the file.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "raster/geometry.h"

/// The header of a grid file as read: the geometry it declares, at the precision of the file, and
/// its own no-data value.
struct GridHeader {
  GridGeometry geometry;
  double nodata_value = 0.0;
};

/// Whitespace between the words of a grid file, as the "%s" and "%f" conversions see it.
inline bool grid_is_blank(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\v' || c == '\f';
}

/// Longest word of a header; the first data value also passes through this check.
constexpr size_t GRID_HEADER_WORD_MAX = 1023;

/// Which header key `word` is, in any case: 0 to 7 for ncols, nrows, xllcorner, yllcorner,
/// xllcenter, yllcenter, cellsize and nodata_value; -1 for none.
int grid_header_key(std::string_view word);

/// Reads a header word by word: key/value pairs until the first word that is not a header key.
/// Keys match in any case; the last one wins; a key without a value at the end is ignored.
struct GridHeaderReader {
  /// Takes the next word. False when it is no header key (the first data word: the caller keeps
  /// it) or when it makes the header invalid (then `error` says why).
  bool take(std::string_view word);
  /// The header from the pairs taken so far.
  GridHeader header() const;

  std::string error;
  double values[8] = {};
  bool given[8] = {};
  int pending = -1;  ///< the key whose value comes next, or -1
};

/// Parses the header at the start of `text`; "" and the header with the offset of the first data
/// word in `data`, or the error.
std::string grid_parse_header(std::string_view text, GridHeader* header, size_t* data);

/// Parses a word that plain decimals cannot (exponents, infinities, NaN, hexadecimal).
bool grid_parse_value_slow(std::string_view word, float* value);

/// Parses a whole word as "%f" would read it; false when the word is not entirely a number.
inline bool grid_parse_value(std::string_view word, float* value) {
  // Plain decimals of at most seven digits: the mantissa and the power of ten are both exact as
  // floats, so one float division rounds exactly as the library does.
  static const float POW10F[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
  const char* p = word.data();
  const char* last = p + word.size();
  const bool negative = p < last && *p == '-';
  if (negative) ++p;
  uint32_t mantissa = 0;
  int digits = 0;
  int decimals = -1;
  for (; p < last; ++p) {
    const unsigned d = static_cast<unsigned>(*p - '0');
    if (d < 10) {
      mantissa = mantissa * 10 + d;
      ++digits;
      if (decimals >= 0) ++decimals;
    } else if (*p == '.' && decimals < 0) {
      decimals = 0;
    } else {
      break;
    }
  }
  if (p == last && digits > 0 && digits <= 7 && decimals <= 10) {
    float v = static_cast<float>(mantissa);
    if (decimals > 0) v /= POW10F[decimals];
    *value = negative ? -v : v;
    return true;
  }
  return grid_parse_value_slow(word, value);
}

/// The value a cell of a file holding `value` takes in memory, given the file's no-data value
/// (NaN for none): no data, and NaN, become CELL_NODATA; values below CELL_MASKED too, counted
/// in `infinite`.
inline float grid_file_cell(float value, float nodata, int64_t* infinite) {
  // NaN is no value at all: kept as such it would poison every sum it enters.
  const bool no_data = value == nodata || std::isnan(value);
  const bool below = !no_data && value < CELL_MASKED;
  // Without branches, so that a loop over a whole raster runs on vectors.
  *infinite += below;
  return no_data || below ? CELL_NODATA : value;
}

/// A cell word of a file whose no-data value is `nodata`, as the maps hold it: CELL_NODATA for
/// the no-data value, NaN and values below -2 (which it counts in `*below`). False with `error`
/// for a word that is no number or an infinite value.
inline bool grid_parse_cell(std::string_view word, float nodata, float* cell, int64_t* below,
                            std::string* error) {
  float value;
  if (!grid_parse_value(word, &value)) {
    *error = "invalid value '" + std::string(word.substr(0, 40)) + "'";
    return false;
  }
  // An infinite cell would flatten a whole map when it is normalised; a magnitude past the float
  // range reads as one. Neither is data, and silently dropping it would hide a damaged file.
  if (std::isinf(value) && value != nodata) {
    *error = "value '" + std::string(word.substr(0, 40)) + "' out of range";
    return false;
  }
  *cell = grid_file_cell(value, nodata, below);
  return true;
}

/// Longest cell word: a file reader that holds a window of the text cannot hold a longer one.
constexpr size_t GRID_VALUE_MAX = 65535;

/// What stopped the cells of grid text from being read, if anything.
enum class GridCellFault {
  none,
  value,     ///< a word is no number or infinite (`error` says which)
  too_long,  ///< a word is longer than GRID_VALUE_MAX
  beyond,    ///< a word lies past the cells there is room for
};

/// The cells of a stretch of grid text as grid_parse_cells read them.
struct GridCells {
  size_t count = 0;      ///< cells written, in text order; with a fault, those before it
  int64_t valid = 0;     ///< cells whose value is >= 0 (without a fault)
  int64_t infinite = 0;  ///< cells that were below -2 (without a fault)
  GridCellFault fault = GridCellFault::none;  ///< the first fault in text order
  std::string error;                          ///< the message of a `value` fault
};

/// Parses the cell words of `text` (whole words: it ends at a blank or at the end of the file)
/// into cells[0], cells[1], ... with room for `room` of them, as grid_parse_cell does, and stops
/// at the first fault in text order; a word at index `room` or later is a `beyond` fault unless
/// it is too long. The text is cut at blanks into `parts` stretches parsed on as many threads;
/// the cells and the fault do not depend on `parts`.
GridCells grid_parse_cells(std::string_view text, float nodata, float* cells, size_t room,
                           int parts);

/// Appends the text "%g" gives for `value` to `out` (more digits where that would not read back
/// as the same float); returns the end. `out` has room for 32 characters.
char* grid_format_value(float value, char* out);

/// The text of a header field's value: as "%f" prints it, or with the fewest significant digits
/// that read back as the very same double where "%f" would not.
std::string grid_format_header_value(double value);
