// Helpers shared by the unit tests: capture the log, turn fatal errors into results, set up a
// geometry with a block of maps, and reset the process-wide state between tests.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "driver/log.h"
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
/// Text of an Esri grid with the given size and values (row-major), no-data -9999.
std::string grid_text(int nrows, int ncols, const std::vector<float>& values,
                      double cellsize = 1.0);
/// Clears every process-wide record: configuration, geometry, maps, labelling state, fixed seed.
void reset_process_state();
/// Loads a configuration from text; fails the test when it does not tokenise.
void load_config(const std::string& json);
/// Sets the geometry to nrows x ncols (cellsize 1) and allocates `maps` maps.
void setup_grid(int nrows, int ncols, int maps);
/// Fills map k from a row-major list of values.
void set_map(int k, const std::vector<float>& values);
/// Map k as a row-major list.
std::vector<float> get_map(int k);
