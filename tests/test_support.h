// Helpers shared by the unit tests: capture the log, turn fatal errors into results, build a
// configuration from text and a block of maps on a small grid (standard headers: temp_dir.h).
#pragma once

#include <gtest/gtest.h>

#include "base/log.h"
#include "config/config.h"
#include "raster/maps.h"
#include "scenario/scenario.h"
#include "temp_dir.h"

/// Sends the log into a buffer for its lifetime.
class LogCapture {
 public:
  LogCapture() : file_(open_memstream(&buffer_, &size_)) { log_set_stream(file_); }
  ~LogCapture() {
    log_set_stream(nullptr);
    std::fclose(file_);
    std::free(buffer_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  /// Everything logged so far.
  std::string text() { return std::fflush(file_), std::string(buffer_, size_); }

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  FILE* file_;
};

/// The outcome of running code that may end in a fatal error.
struct FatalResult {
  bool fatal;  ///< whether fatal_exit was reached; `code` is its exit code
  int code;
  std::string log;
};

/// Runs `body` with the log captured; reports whether it ended in a fatal error and its code.
FatalResult run_capturing(const std::function<void()>& body);
/// The exit code of `body` (0 when it returns) followed by its log, to compare in one assertion.
std::string outcome(const std::function<void()>& body);
/// `text` with every "%s" replaced by `path`, as error messages name their file.
std::string naming(std::string text, const std::string& path);
/// Text of an Esri grid with the given size and values (row-major), no-data -9999.
std::string grid_text(int nrows, int ncols, const std::vector<float>& values,
                      double cellsize = 1.0);
/// JSON written with single quotes, so that tests need not escape theirs: every ' becomes ".
std::string json(std::string text);
/// A configuration from text; fails the test when it does not tokenise.
ConfigDocument config_of(const std::string& json);
/// A scenario of the configuration `json` with the fixed seed 1.
Scenario scenario_of(const std::string& json);
/// A block of `maps` cleared maps on an nrows x ncols grid of cell size 1.
MapBlock make_maps(int nrows, int ncols, int maps);
/// A block of two maps on the geometry of the grid file `file`.
MapBlock maps_for(const std::string& file);
/// Fills map k from a row-major list of values.
void set_map(MapBlock& maps, int k, const std::vector<float>& values);
/// Map k as a row-major list.
std::vector<float> get_map(const MapBlock& maps, int k);
