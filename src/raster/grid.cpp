#include "raster/grid.h"

#include <strings.h>

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/log.h"
#include "base/output_file.h"
#include "raster/crs.h"
#include "raster/geotiff.h"

namespace {

constexpr size_t READ_BUFFER_SIZE = 1 << 16;
constexpr size_t WRITE_BUFFER_SIZE = 1 << 16;
// File names and header words are at most as long as a property text of the configuration.
constexpr size_t TEXT_MAX = 1024;
// Longest word of a header; the first data value also passes through this check.
constexpr size_t HEADER_WORD_MAX = TEXT_MAX - 1;

void check_path_length(const char* path) {
  if (std::strlen(path) >= TEXT_MAX) {
    fatal(1, "error: file name too long ('%.60s...')!\n", path);
  }
}

// Whitespace as the "%s" and "%f" conversions see it.
inline bool is_blank(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\v' || c == '\f';
}

// A streaming tokenizer over a grid file: words are runs of non-blank characters, handed out as
// views into a fixed buffer, so that a file of any size is read with constant memory.
struct TokenReader {
  FILE* file;
  const char* path;
  char buffer[READ_BUFFER_SIZE];
  size_t begin = 0;
  size_t end = 0;
  bool at_eof = false;

  TokenReader(FILE* f, const char* p) : file(f), path(p) {}
  ~TokenReader() { std::fclose(file); }
  TokenReader(const TokenReader&) = delete;
  TokenReader& operator=(const TokenReader&) = delete;

  // Moves the unread bytes to the front and fills the rest; false when nothing more came.
  bool refill() {
    if (at_eof) return false;
    if (begin > 0) {
      std::memmove(buffer, buffer + begin, end - begin);
      end -= begin;
      begin = 0;
    }
    const size_t got = std::fread(buffer + end, 1, READ_BUFFER_SIZE - end, file);
    if (got == 0) {
      if (std::ferror(file)) fatal(1, "error: unable to read file '%s'!\n", path);
      at_eof = true;
      return false;
    }
    end += got;
    return true;
  }

  // The next word as [start, start + length); false at the end of the file.
  bool next(const char** start, size_t* length) {
    for (;;) {
      while (begin < end && is_blank(buffer[begin])) ++begin;
      if (begin < end) break;
      if (!refill()) return false;
    }
    size_t i = begin;
    for (;;) {
      while (i < end && !is_blank(buffer[i])) ++i;
      if (i < end || at_eof) break;
      const size_t offset = i - begin;
      if (begin == 0 && end == READ_BUFFER_SIZE) {
        fatal(1, "error: value too long in file '%s'!\n", path);
      }
      if (!refill()) break;
      i = begin + offset;
    }
    *start = buffer + begin;
    *length = i - begin;
    begin = i;
    return true;
  }

  // Hands the last word back, so that the next call returns it again.
  void unread(size_t length) { begin -= length; }
};

// Parses a whole word as "%f" would read it; false when the word is not entirely a number.
bool parse_float(const char* start, size_t length, float* value) {
  const char* first = start;
  const char* last = start + length;
  // Plain decimals of at most seven digits: the mantissa and the power of ten are both exact as
  // floats, so one float division rounds exactly as the library does.
  {
    static const float POW10F[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                   1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
    const char* p = first;
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
  }
  if (first < last && *first == '+' && first + 1 < last && first[1] != '-' && first[1] != '+') {
    ++first;
  }
  auto result = std::from_chars(first, last, *value);
  if (result.ec == std::errc() && result.ptr == last) return true;
  // Rare spellings (hexadecimal, out-of-range magnitudes, "infinity", "nan(...)") go through the C
  // library, which also decides what a magnitude beyond the float range becomes.
  char word[128];
  if (length >= sizeof word) return false;
  std::memcpy(word, start, length);
  word[length] = '\0';
  char* stop = nullptr;
  *value = std::strtof(word, &stop);
  return stop == word + length && length > 0;
}

bool parse_double(const char* start, size_t length, double* value) {
  char word[128];
  if (length == 0 || length >= sizeof word) return false;
  std::memcpy(word, start, length);
  word[length] = '\0';
  char* stop = nullptr;
  *value = std::strtod(word, &stop);
  return stop == word + length;
}

// The header of a grid file as read: the geometry it declares, at the precision of the file, and
// its own no-data value.
struct GridHeader {
  GridGeometry geometry;
  double nodata_value = 0.0;
};

// The row and column counts are the header's values truncated towards zero; a value that no
// 32-bit count can hold reads as 0 (no grid).
int32_t header_count(double value) {
  if (!(std::fabs(value) < 2147483648.0)) return 0;
  return static_cast<int32_t>(value);
}

const char* const HEADER_KEYS[] = {"ncols",     "nrows",     "xllcorner", "yllcorner",
                                   "xllcenter", "yllcenter", "cellsize",  "nodata_value"};

// Whether the word of `length` characters at `word` is header key k (in any case).
bool is_header_key(const char* word, size_t length, int k) {
  return std::strlen(HEADER_KEYS[k]) == length && strncasecmp(HEADER_KEYS[k], word, length) == 0;
}

// An Esri ASCII grid starts with a header key. A file that starts with a number instead is one
// whose header is missing, not a raster of another format (GDAL would take it for XYZ points);
// it and any file GDAL does not recognise go to the ASCII reader, whose messages say what is
// wrong with them.
bool read_as_ascii(const char* path) {
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return true;
  char head[256];
  const size_t got = std::fread(head, 1, sizeof head, file);
  std::fclose(file);
  size_t begin = 0;
  while (begin < got && is_blank(head[begin])) ++begin;
  size_t end = begin;
  while (end < got && !is_blank(head[end])) ++end;
  for (int k = 0; k < 8; ++k) {
    if (is_header_key(head + begin, end - begin, k)) return true;
  }
  float number;
  if (end > begin && parse_float(head + begin, end - begin, &number)) return true;
  return !raster_file_identified(path);
}

// Reads key/value pairs until the first word that is not a header key (handed back to the reader
// as the first data value) or the end of the file. Keys match in any case; the last one wins.
GridHeader scan_header(TokenReader& reader, const char* path) {
  constexpr int NODATA_KEY = 7;
  double values[8] = {};
  const char* word;
  size_t length;
  while (reader.next(&word, &length)) {
    if (length > HEADER_WORD_MAX) fatal(1, "error: header word too long in file '%s'!\n", path);
    int key = -1;
    for (int k = 0; k < 8; ++k) {
      if (is_header_key(word, length, k)) key = k;
    }
    if (key < 0) {
      reader.unread(length);
      break;
    }
    const char* text;
    size_t text_length;
    if (!reader.next(&text, &text_length)) break;
    double value;
    // A NaN size or origin never equals itself: the file would not match its own geometry. A NaN
    // no-data value is a common spelling and stays valid.
    if (!parse_double(text, text_length, &value) || (key != NODATA_KEY && std::isnan(value))) {
      fatal(1, "error: invalid header value '%.*s' in file '%s'!\n",
            static_cast<int>(text_length < 40 ? text_length : 40), text, path);
    }
    values[key] = value;
  }
  GridHeader header;
  header.geometry = GridGeometry{header_count(values[0]),
                                 header_count(values[1]),
                                 values[2],
                                 values[3],
                                 values[4],
                                 values[5],
                                 values[6],
                                 std::string(),
                                 GridCrs()};
  header.nodata_value = values[NODATA_KEY];
  return header;
}

bool same_float(double a, double b) {
  return static_cast<float>(a) == static_cast<float>(b);
}

// Compares a file's header with the geometry field by field; on the first difference the fixed
// message is followed by a line naming the field, both values and both files.
void check_header(const GridGeometry& h, const GridGeometry& g, const char* path) {
  const struct {
    const char* name;
    double file;
    double geometry;
  } fields[] = {
      {"ncols", double(h.ncols), double(g.ncols)},
      {"nrows", double(h.nrows), double(g.nrows)},
      {"cellsize", h.cellsize, g.cellsize},
      {"xllcorner", grid_lower_left(h.xllcorner, h.xllcenter, h.cellsize),
       grid_lower_left(g.xllcorner, g.xllcenter, g.cellsize)},
      {"yllcorner", grid_lower_left(h.yllcorner, h.yllcenter, h.cellsize),
       grid_lower_left(g.yllcorner, g.yllcenter, g.cellsize)},
  };
  for (const auto& f : fields) {
    if (same_float(f.file, f.geometry)) continue;
    log_message("error: incompatible (header) file '%s'!\n", path);
    fatal(1, "  %s is %.9g in '%s' but %.9g in '%s'\n", f.name, double(float(f.file)), path,
          double(float(f.geometry)), g.source.c_str());
  }
}

// Opens a grid file for reading; fatal when it cannot be opened.
FILE* open_grid(const char* path) {
  check_path_length(path);
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) fatal(1, "error: unable to open file '%s'!\n", path);
  return file;
}

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

// A header field as "%f" prints it, unless six decimals would not read back as the same 32-bit
// value (a cell size of 4.997678230579 prints as 4.997678, which no longer matches): then with
// the fewest further decimals that read back as the same 32-bit value. A magnitude so small that
// no such count of decimals tells it from 0 (a cell size of 1e-45) takes the exponent form.
void write_header_field(AtomicWriter& writer, const char* key, double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", value);
  for (int decimals = 7; decimals <= 17 && !same_float(std::strtod(text, nullptr), value);
       ++decimals) {
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
  }
  if (!same_float(std::strtod(text, nullptr), value)) {
    std::snprintf(text, sizeof text, "%.17g", value);
  }
  writer.text("%s%s\n", key, text);
}

}  // namespace

GridGeometry grid_read_geometry(const char* path) {
  if (!read_as_ascii(path)) return raster_read_geometry(path);
  TokenReader reader(open_grid(path), path);
  GridGeometry geometry = scan_header(reader, path).geometry;
  geometry.source = path;
  geometry.crs = crs_read_sidecar(path);
  return geometry;
}

void grid_check_header(const char* path, const GridGeometry& geometry) {
  if (!read_as_ascii(path)) {
    check_header(raster_read_geometry(path), geometry, path);
    return;
  }
  TokenReader reader(open_grid(path), path);
  check_header(scan_header(reader, path).geometry, geometry, path);
}

void grid_check_geometry(const char* path, const GridGeometry& h, const GridGeometry& geometry) {
  check_header(h, geometry, path);
}

int32_t grid_read(const char* path, MapBlock& maps, int32_t k) {
  check_path_length(path);
  log_message("* read '%s'\n", path);
  if (!read_as_ascii(path)) {
    GridCrs crs;
    const int32_t valid = raster_read(path, maps, k, &crs);
    crs_check(path, crs, maps.geometry);
    return valid;
  }
  TokenReader reader(open_grid(path), path);
  const GridHeader header = scan_header(reader, path);
  check_header(header.geometry, maps.geometry, path);

  const float nodata = static_cast<float>(header.nodata_value);
  float* cells = maps.map(k);
  const size_t total = maps.cell_count();
  int32_t valid = 0;
  int32_t infinite = 0;
  for (size_t i = 0; i < total; ++i) {
    const char* word;
    size_t length;
    if (!reader.next(&word, &length)) {
      fatal(1, "error: missing values in file '%s' (%zu of %zu)!\n", path, i, total);
    }
    float value;
    if (!parse_float(word, length, &value)) {
      fatal(1, "error: invalid value '%.*s' in file '%s'!\n",
            static_cast<int>(length < 40 ? length : 40), word, path);
    }
    // An infinite cell would flatten a whole map when it is normalised; a magnitude past the float
    // range reads as one. Neither is data, and silently dropping it would hide a damaged file.
    if (std::isinf(value) && value != nodata) {
      fatal(1, "error: value '%.*s' out of range in file '%s'!\n",
            static_cast<int>(length < 40 ? length : 40), word, path);
    }
    value = grid_file_cell(value, nodata, &infinite);
    cells[i] = value;
    if (value >= 0.0f) ++valid;
  }
  // A value beyond rows x columns means the header does not describe the file: read on, every
  // row would be shifted.
  const char* word;
  size_t length;
  if (reader.next(&word, &length)) {
    fatal(1, "error: more values than %d rows of %d columns in file '%s'!\n", maps.geometry.nrows,
          maps.geometry.ncols, path);
  }
  if (infinite > 0) log_message("  found %d -infinite values!\n", infinite);
  crs_check(path, crs_read_sidecar(path), maps.geometry);
  return valid;
}

int32_t grid_write(const char* path, const MapBlock& maps, int32_t k) {
  check_path_length(path);
  log_message("* write '%s'\n", path);
  if (geotiff_output_name(path)) return geotiff_write(path, maps, k);
  AtomicWriter writer(path);
  const GridGeometry& g = maps.geometry;
  // All six lines, the origin in the form the geometry was given in: other GIS readers need every
  // line, an origin of 0 included.
  writer.text("ncols        %d\n", g.ncols);
  writer.text("nrows        %d\n", g.nrows);
  if (g.xllcenter != 0.0 && g.xllcorner == 0.0) {
    write_header_field(writer, "xllcenter    ", g.xllcenter);
  } else {
    write_header_field(writer, "xllcorner    ", g.xllcorner);
  }
  if (g.yllcenter != 0.0 && g.yllcorner == 0.0) {
    write_header_field(writer, "yllcenter    ", g.yllcenter);
  } else {
    write_header_field(writer, "yllcorner    ", g.yllcorner);
  }
  write_header_field(writer, "cellsize     ", g.cellsize);
  writer.text("nodata_value -999\n");

  const float* cells = maps.map(k);
  int32_t valid = 0;
  for (int32_t r = 0; r < g.nrows; ++r) {
    const float* row = cells + static_cast<size_t>(r) * static_cast<size_t>(g.ncols);
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

int32_t grid_write_suffixed(const char* prefix, const char* suffix, const MapBlock& maps,
                            int32_t k) {
  // Room for any property text and suffix; grid_write refuses what is too long for a file name.
  char path[2 * TEXT_MAX];
  std::snprintf(path, sizeof path, "%s%s", prefix, suffix);
  return grid_write(path, maps, k);
}
