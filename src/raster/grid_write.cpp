#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/output_file.h"
#include "raster/crs.h"
#include "raster/geotiff.h"
#include "raster/grid.h"
#include "raster/grid_text.h"

namespace {

constexpr size_t WRITE_BUFFER_SIZE = 1 << 16;

// The text "%g" gives for `value` when it reads back as the same float, otherwise the shortest
// "%.<n>g" that does (nine significant digits always do): codes of 1000001 and 1000002 must not
// both become 1e+06. Infinities and NaN have no other spelling.
char* format_g_slow(float value, char* out) {
  int n = std::snprintf(out, 32, "%g", static_cast<double>(value));
  for (int digits = 7; digits <= 9 && std::isfinite(value) && std::strtof(out, nullptr) != value;
       ++digits) {
    n = std::snprintf(out, 32, "%.*g", digits, static_cast<double>(value));
  }
  return out + n;
}

// Appends the text "%g" gives for `value` to `out` (more digits where that would not read back);
// returns the end. Values whose six significant digits can be formed exactly in double arithmetic
// and read back take a fast path; the rest go to snprintf.
char* format_g(float value, char* out) {
  if (value == 0.0f) {
    if (std::signbit(value)) *out++ = '-';
    *out++ = '0';
    return out;
  }
  double magnitude = std::fabs(static_cast<double>(value));
  if (std::isfinite(magnitude) && magnitude < 1e6 && magnitude >= 1e-4) {
    // magnitude * 10^k is exact for k <= 12 (24-bit mantissa times 5^k fits in 53 bits), so the
    // scaled value and its rounding to six digits are exactly what printf computes.
    static const double POW10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
    int k = 0;
    double scaled = magnitude;
    while (scaled < 1e5 && k < 9) scaled = magnitude * POW10[++k];
    if (scaled >= 1e5 && scaled < 1e6) {
      double rounded = std::nearbyint(scaled);
      if (rounded == 1e6) {
        rounded = 1e5;
        --k;
      }
      // Both the six digits and 10^k are exact floats, so one float division rounds the text
      // as the reader will: a value that comes back different takes more digits instead.
      static const float POW10F[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f};
      if (k >= 0 && static_cast<float>(rounded) / POW10F[k] == static_cast<float>(magnitude)) {
        long digits = static_cast<long>(rounded);
        if (value < 0.0f) *out++ = '-';
        const long unit = static_cast<long>(POW10[k]);
        long integer_part = digits / unit;
        long fraction = digits % unit;
        char tmp[12];
        int n = 0;
        do {
          tmp[n++] = static_cast<char>('0' + integer_part % 10);
          integer_part /= 10;
        } while (integer_part > 0);
        while (n > 0) *out++ = tmp[--n];
        if (fraction != 0) {
          int decimals = k;
          while (fraction % 10 == 0) {
            fraction /= 10;
            --decimals;
          }
          *out++ = '.';
          for (int d = decimals - 1; d >= 0; --d) {
            out[d] = static_cast<char>('0' + fraction % 10);
            fraction /= 10;
          }
          out += decimals;
        }
        return out;
      }
    }
  }
  return format_g_slow(value, out);
}

// Formats into a fixed buffer and hands it in whole blocks to an output stream that becomes the
// target only once complete (see output_file.h), so a failed or interrupted write never leaves
// half a grid.
struct AtomicWriter {
  const char* path;
  FILE* stream;
  char buffer[WRITE_BUFFER_SIZE];
  size_t used = 0;

  explicit AtomicWriter(const char* p) : path(p), stream(output_open(p)) {
    if (stream == nullptr) fatal(1, "error: unable to open file '%s'!\n", path);
  }

  // Reached without finish() only when a fatal error unwinds: the target stays untouched.
  ~AtomicWriter() { output_discard(stream); }
  AtomicWriter(const AtomicWriter&) = delete;
  AtomicWriter& operator=(const AtomicWriter&) = delete;

  // Room for at least `bytes` more bytes.
  char* reserve(size_t bytes) {
    if (used + bytes > WRITE_BUFFER_SIZE) {
      std::fwrite(buffer, 1, used, stream);
      used = 0;
    }
    return buffer + used;
  }

  void commit(char* end) { used = static_cast<size_t>(end - buffer); }

  void text(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char* at = reserve(256);
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(at, 256, format, args);
    va_end(args);
    if (n > 0) used += static_cast<size_t>(n < 256 ? n : 255);
  }

  // Write errors stay on the stream, so output_close reports them all.
  void finish() {
    std::fwrite(buffer, 1, used, stream);
    FILE* done = stream;
    stream = nullptr;
    if (!output_close(done)) fatal(1, "error: unable to write file '%s'!\n", path);
  }
};

// As "%f" prints it when that reads back as the same double, else with the fewest digits that do:
// GDAL then sees the very geotransform of the input (a cell size of 4.997678230579 is not
// 4.997678), and a tiny value (1e-45) is not written as 0.
std::string grid_format_exact(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", value);
  for (int digits = 7; digits <= 17 && std::strtod(text, nullptr) != value; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, value);
  }
  return text;
}

}  // namespace

char* grid_format_value(float value, char* out) {
  return format_g(value, out);
}

std::string grid_format_header_value(double value) {
  return grid_format_exact(value);
}

int64_t grid_write(const char* path, const MapBlock& maps, int32_t k) {
  grid_check_path(path);
  log_message("* write '%s'\n", path);
  if (geotiff_output_name(path)) return geotiff_write(path, maps, k);
  AtomicWriter writer(path);
  const GridGeometry& g = maps.geometry;
  // All six lines, the origin in the form the geometry was given in: other GIS readers need every
  // line, an origin of 0 included.
  writer.text("ncols        %d\n", g.ncols);
  writer.text("nrows        %d\n", g.nrows);
  if (g.x_center) {
    writer.text("%s%s\n", "xllcenter    ", grid_format_header_value(g.xllcenter).c_str());
  } else {
    writer.text("%s%s\n", "xllcorner    ", grid_format_header_value(g.xllcorner).c_str());
  }
  if (g.y_center) {
    writer.text("%s%s\n", "yllcenter    ", grid_format_header_value(g.yllcenter).c_str());
  } else {
    writer.text("%s%s\n", "yllcorner    ", grid_format_header_value(g.yllcorner).c_str());
  }
  writer.text("%s%s\n", "cellsize     ", grid_format_header_value(g.cellsize).c_str());
  writer.text("nodata_value -999\n");

  const float* cells = maps.map(k);
  int64_t valid = 0;
  for (int32_t r = 0; r < g.nrows; ++r) {
    const float* row = cells + cell_index(g, r, 0);
    for (int32_t c = 0; c < g.ncols; ++c) {
      const float value = row[c];
      if (value >= 0.0f) ++valid;
      char* at = writer.reserve(64);
      if (c > 0) *at++ = ' ';
      if (value == CELL_NODATA) {
        std::memcpy(at, "-999", 4);
        at += 4;
      } else {
        at = format_g(value, at);
      }
      writer.commit(at);
    }
    char* at = writer.reserve(1);
    *at++ = '\n';
    writer.commit(at);
  }
  writer.finish();
  crs_write_sidecar(path, g.crs);
  return valid;
}

int64_t grid_write_suffixed(const char* prefix, const char* suffix, const MapBlock& maps,
                            int32_t k) {
  // Room for any property text and suffix; grid_write refuses what is too long for a file name.
  char path[2 * GRID_PATH_MAX];
  std::snprintf(path, sizeof path, "%s%s", prefix, suffix);
  return grid_write(path, maps, k);
}
