#include <strings.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <thread>
#include <vector>

#include "raster/grid_text.h"

namespace {

const char* const KEYS[] = {"ncols",     "nrows",     "xllcorner", "yllcorner",
                            "xllcenter", "yllcenter", "cellsize",  "nodata_value"};
constexpr int NODATA_KEY = 7;

bool parse_double(std::string_view word, double* value) {
  char text[128];
  if (word.empty() || word.size() >= sizeof text) return false;
  std::memcpy(text, word.data(), word.size());
  text[word.size()] = '\0';
  char* stop = nullptr;
  *value = std::strtod(text, &stop);
  return stop == text + word.size();
}

// The row and column counts are the header's values truncated towards zero; a value that no
// 32-bit count can hold reads as 0 (no grid).
int32_t header_count(double value) {
  if (!(std::fabs(value) < 2147483648.0)) return 0;
  return static_cast<int32_t>(value);
}

}  // namespace

int grid_header_key(std::string_view word) {
  for (int k = 0; k < 8; ++k) {
    if (std::strlen(KEYS[k]) == word.size() &&
        strncasecmp(KEYS[k], word.data(), word.size()) == 0) {
      return k;
    }
  }
  return -1;
}

bool GridHeaderReader::take(std::string_view word) {
  if (pending < 0) {
    if (word.size() > GRID_HEADER_WORD_MAX) {
      error = "header word too long";
      return false;
    }
    pending = grid_header_key(word);
    return pending >= 0;
  }
  double value;
  // A NaN size or origin never equals itself: the file would not match its own geometry. A NaN
  // no-data value is a common spelling and stays valid.
  if (!parse_double(word, &value) || (pending != NODATA_KEY && std::isnan(value))) {
    error = "invalid header value '" + std::string(word.substr(0, 40)) + "'";
    return false;
  }
  values[pending] = value;
  given[pending] = true;
  pending = -1;
  return true;
}

GridHeader GridHeaderReader::header() const {
  GridHeader header;
  GridGeometry& g = header.geometry;
  g.ncols = header_count(values[0]);
  g.nrows = header_count(values[1]);
  g.xllcenter = values[4];
  g.yllcenter = values[5];
  g.cellsize = values[6];
  // A centre of 0 is an origin like any other: the corner lies half a cell before it. With both
  // keys given, the corner is taken.
  g.x_center = given[4] && !given[2];
  g.y_center = given[5] && !given[3];
  g.xllcorner = g.x_center ? g.xllcenter - g.cellsize / 2.0 : values[2];
  g.yllcorner = g.y_center ? g.yllcenter - g.cellsize / 2.0 : values[3];
  header.nodata_value = values[NODATA_KEY];
  return header;
}

std::string grid_parse_header(std::string_view text, GridHeader* header, size_t* data) {
  GridHeaderReader reader;
  size_t at = 0;
  for (;;) {
    while (at < text.size() && grid_is_blank(text[at])) ++at;
    size_t end = at;
    while (end < text.size() && !grid_is_blank(text[end])) ++end;
    if (end == at || !reader.take(text.substr(at, end - at))) break;
    at = end;
  }
  if (!reader.error.empty()) return reader.error;
  *header = reader.header();
  *data = at;
  return "";
}

bool grid_parse_value_slow(std::string_view word, float* value) {
  const char* first = word.data();
  const char* last = first + word.size();
  if (first < last && *first == '+' && first + 1 < last && first[1] != '-' && first[1] != '+') {
    ++first;
  }
  auto result = std::from_chars(first, last, *value);
  if (result.ec == std::errc() && result.ptr == last) return true;
  // Rare spellings (hexadecimal, out-of-range magnitudes, "infinity", "nan(...)") go through the C
  // library, which also decides what a magnitude beyond the float range becomes.
  char text[128];
  if (word.size() >= sizeof text) return false;
  std::memcpy(text, word.data(), word.size());
  text[word.size()] = '\0';
  char* stop = nullptr;
  *value = std::strtof(text, &stop);
  return stop == text + word.size() && !word.empty();
}

namespace {

// One stretch of the text: its cells until its first fault. A stretch does not know where its
// first cell falls in the grid, so it keeps its cells until the stretches before it are counted.
struct CellStretch {
  std::vector<float> cells;
  int64_t valid = 0;
  int64_t infinite = 0;
  GridCellFault fault = GridCellFault::none;
  std::string error;
};

void parse_stretch(std::string_view text, float nodata, CellStretch& out) {
  // A word takes at least two characters of the text, with the blank after it.
  out.cells.reserve(text.size() / 2 + 1);
  size_t at = 0;
  for (;;) {
    while (at < text.size() && grid_is_blank(text[at])) ++at;
    if (at == text.size()) break;
    size_t end = at;
    while (end < text.size() && !grid_is_blank(text[end])) ++end;
    const std::string_view word = text.substr(at, end - at);
    at = end;
    if (word.size() > GRID_VALUE_MAX) {
      out.fault = GridCellFault::too_long;
      break;
    }
    float cell;
    if (!grid_parse_cell(word, nodata, &cell, &out.infinite, &out.error)) {
      out.fault = GridCellFault::value;
      break;
    }
    out.valid += cell >= 0.0f;
    out.cells.push_back(cell);
  }
}

}  // namespace

GridCells grid_parse_cells(std::string_view text, float nodata, float* cells, size_t room,
                           int parts) {
  if (parts < 1) parts = 1;
  // Cuts at blanks, each near an equal share of the text.
  std::vector<size_t> cuts = {0};
  for (int p = 1; p < parts; ++p) {
    size_t cut = std::max(cuts.back(), text.size() / size_t(parts) * size_t(p));
    while (cut < text.size() && !grid_is_blank(text[cut])) ++cut;
    cuts.push_back(cut);
  }
  cuts.push_back(text.size());
  std::vector<CellStretch> stretches(static_cast<size_t>(parts));
  std::vector<std::exception_ptr> failures(static_cast<size_t>(parts));
  const auto parse = [&](size_t p) {
    try {
      parse_stretch(text.substr(cuts[p], cuts[p + 1] - cuts[p]), nodata, stretches[p]);
    } catch (...) {
      failures[p] = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  for (size_t p = 1; p < stretches.size(); ++p) threads.emplace_back(parse, p);
  parse(0);
  for (std::thread& t : threads) t.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }

  GridCells result;
  for (CellStretch& s : stretches) {
    const size_t count = s.cells.size();
    if (count > room - result.count) {
      std::copy_n(s.cells.begin(), room - result.count, cells + result.count);
      result.count = room;
      result.fault = GridCellFault::beyond;
      return result;
    }
    std::copy(s.cells.begin(), s.cells.end(), cells + result.count);
    result.count += count;
    result.valid += s.valid;
    result.infinite += s.infinite;
    if (s.fault == GridCellFault::none) continue;
    // The fault's word lies at index result.count: one past the room is a value too many, unless
    // the word could not even be taken whole.
    result.fault = result.count == room && s.fault != GridCellFault::too_long
                       ? GridCellFault::beyond
                       : s.fault;
    if (result.fault == GridCellFault::value) result.error = std::move(s.error);
    return result;
  }
  return result;
}
