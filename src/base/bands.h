// Work split into pieces that run at once, one thread each: the bands of rows of a grid that the
// max-flow and the min-cut method pass over on the run's threads. The pieces must share nothing
// they change; what each finds is combined afterwards, in the order of the pieces, so that the
// result is the same for any number of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

/// Runs piece(k) for every k below `count`, piece 0 on the calling thread and each other on a
/// thread of its own; a failure of any is rethrown once all have ended (the first piece's first).
template <typename Piece>
void run_at_once(size_t count, Piece piece) {
  std::vector<std::exception_ptr> failures(count);
  const auto guarded = [&](size_t k) {
    try {
      piece(k);
    } catch (...) {
      failures[k] = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  for (size_t k = 1; k < count; ++k) threads.emplace_back(guarded, k);
  if (count > 0) guarded(0);
  for (std::thread& t : threads) t.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

/// How many bands of rows `threads` threads share a grid of `nrows` rows in: one a thread, at
/// least one row each, at least one band.
inline int32_t row_bands(int32_t nrows, int32_t threads) {
  return threads < nrows ? (threads > 1 ? threads : 1) : (nrows > 1 ? nrows : 1);
}

/// Grids of fewer cells are passed over on one thread: starting a thread costs about as much as a
/// pass over this many cells, and a small grid's passes are many and short.
constexpr int64_t BAND_MIN_CELLS = int64_t{1} << 18;

/// The first row of band `band` of `bands` over `nrows` rows (band `bands` gives nrows).
inline int32_t band_first_row(int32_t nrows, int32_t bands, int32_t band) {
  return static_cast<int32_t>(int64_t{nrows} * band / bands);
}

/// piece(band, first, end) for the rows [first, end) of each of `bands` bands of a grid of `nrows`
/// rows, the bands at once (run_at_once).
template <typename Piece>
void each_row_band(int32_t nrows, int32_t bands, Piece piece) {
  run_at_once(static_cast<size_t>(bands), [&](size_t b) {
    const auto band = static_cast<int32_t>(b);
    piece(b, band_first_row(nrows, bands, band), band_first_row(nrows, bands, band + 1));
  });
}

/// How many ranges `threads` threads share `cells` cells of a pass in: one below BAND_MIN_CELLS.
inline size_t cell_ranges(size_t cells, int32_t threads) {
  return threads > 1 && cells >= static_cast<size_t>(BAND_MIN_CELLS) ? static_cast<size_t>(threads)
                                                                     : 1;
}

/// piece(range, first, end) for the cells [first, end) of each of `ranges` contiguous ranges of
/// [0, cells), the ranges at once (run_at_once).
template <typename Piece>
void each_cell_range(size_t cells, size_t ranges, Piece piece) {
  run_at_once(ranges, [&](size_t k) { piece(k, cells * k / ranges, cells * (k + 1) / ranges); });
}

/// Pieces at most of a pass that fills a table of its own per piece (half a megabyte or more): a
/// run on many threads would otherwise hold a table per thread.
constexpr size_t TABLE_PIECES = 16;

/// first() and second() at once where `together`, else one after the other; first() runs on the
/// calling thread.
template <typename First, typename Second>
void both(bool together, First first, Second second) {
  if (!together) {
    first();
    second();
    return;
  }
  run_at_once(2, [&](size_t k) { k == 0 ? first() : second(); });
}

/// The tables of the pieces of a pass, each `size` entries one after the other in `tables`,
/// added up entry by entry: integer counts and sums, the same for any number of pieces.
template <typename T>
std::vector<T> add_up_tables(const std::vector<T>& tables, size_t size) {
  std::vector<T> total(tables.begin(), tables.begin() + static_cast<std::ptrdiff_t>(size));
  for (size_t at = size; at < tables.size(); at += size) {
    for (size_t entry = 0; entry < size; ++entry) total[entry] += tables[at + entry];
  }
  return total;
}
