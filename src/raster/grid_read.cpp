#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"
#include "raster/crs.h"
#include "raster/geotiff.h"
#include "raster/grid.h"
#include "raster/grid_text.h"

namespace {

constexpr size_t READ_BUFFER_SIZE = 1 << 16;

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
      while (begin < end && grid_is_blank(buffer[begin])) ++begin;
      if (begin < end) break;
      if (!refill()) return false;
    }
    size_t i = begin;
    for (;;) {
      while (i < end && !grid_is_blank(buffer[i])) ++i;
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

// Text a thread parses at a time: a block is this much for each thread. Much more than the
// longest value, so that a block always holds a whole word.
constexpr size_t PART_TEXT = size_t{1} << 20;
static_assert(PART_TEXT > GRID_VALUE_MAX, "a block must hold the longest value");

std::atomic<int32_t> io_threads{0};

// The cores this process may run on, as many as the run allows, up to 8: parsing gains little
// beyond that.
int parse_threads() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int32_t allowed = io_threads.load();
  const int cores = allowed > 0 ? std::min(allowed, CPU_COUNT(&set)) : CPU_COUNT(&set);
  return std::max(1, std::min(8, cores));
}

// Reads the header through the reader, handing the first data word back; fatal on an error.
GridHeader scan_header(TokenReader& reader, const char* path) {
  GridHeaderReader header;
  const char* word;
  size_t length;
  while (reader.next(&word, &length)) {
    if (header.take(std::string_view(word, length))) continue;
    if (!header.error.empty()) fatal(1, "error: %s in file '%s'!\n", header.error.c_str(), path);
    reader.unread(length);
    break;
  }
  return header.header();
}

// The two values of a field that differ, with enough digits to tell them apart.
std::string field_values(double file, const char* path, double geometry, const char* source) {
  int digits = 9;
  char a[32], b[32];
  do {
    std::snprintf(a, sizeof a, "%.*g", digits, file);
    std::snprintf(b, sizeof b, "%.*g", digits, geometry);
  } while (std::strcmp(a, b) == 0 && ++digits <= 17);
  return std::string(a) + " in '" + path + "' but " + b + " in '" + source + "'";
}

// Compares a file's header with the geometry field by field; on the first difference the fixed
// message is followed by a line naming the field, both values and both files. Sizes and origins
// are compared in double precision to a small fraction of a cell: at large coordinates a 32-bit
// float cannot tell grids a cell apart.
void check_header(const GridGeometry& h, const GridGeometry& g, const char* path) {
  const double cells = std::max(1.0, double(std::max(g.ncols, g.nrows)));
  const struct {
    const char* name;
    double file;
    double geometry;
    double cells;  ///< how many times a difference adds up across the grid
  } fields[] = {
      {"ncols", double(h.ncols), double(g.ncols), 0.0},
      {"nrows", double(h.nrows), double(g.nrows), 0.0},
      {"cellsize", h.cellsize, g.cellsize, cells},
      {"xllcorner", grid_lower_left(h.xllcorner, h.xllcenter, h.cellsize),
       grid_lower_left(g.xllcorner, g.xllcenter, g.cellsize), 1.0},
      {"yllcorner", grid_lower_left(h.yllcorner, h.yllcenter, h.cellsize),
       grid_lower_left(g.yllcorner, g.yllcenter, g.cellsize), 1.0},
  };
  for (const auto& f : fields) {
    if (f.cells == 0.0 ? f.file == f.geometry
                       : same_grid_place(f.file, f.geometry, g.cellsize, f.cells)) {
      continue;
    }
    log_message("error: incompatible (header) file '%s'!\n", path);
    fatal(1, "  %s is %s\n", f.name,
          field_values(f.file, path, f.geometry, g.source.c_str()).c_str());
  }
}

// Opens a grid file for reading; fatal when it cannot be opened.
FILE* open_grid(const char* path) {
  grid_check_path(path);
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) fatal(1, "error: unable to open file '%s'!\n", path);
  return file;
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
  while (begin < got && grid_is_blank(head[begin])) ++begin;
  size_t end = begin;
  while (end < got && !grid_is_blank(head[end])) ++end;
  const std::string_view first(head + begin, end - begin);
  float number;
  if (grid_header_key(first) >= 0 || (end > begin && grid_parse_value(first, &number))) return true;
  return !raster_file_identified(path);
}

}  // namespace

void grid_check_path(const char* path) {
  if (std::strlen(path) >= GRID_PATH_MAX) {
    fatal(1, "error: file name too long ('%.60s...')!\n", path);
  }
}

GridGeometry grid_read_geometry(const char* path) {
  if (!read_as_ascii(path)) return raster_read_geometry(path);
  TokenReader reader(open_grid(path), path);
  GridGeometry geometry = scan_header(reader, path).geometry;
  geometry.source = path;
  geometry.crs = crs_read_sidecar(path, nullptr);
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

void raster_set_threads(int32_t threads) {
  io_threads.store(std::max(threads, 0));
}

int32_t raster_threads() {
  return io_threads.load();
}

int64_t grid_read(const char* path, MapBlock& maps, int32_t k) {
  grid_check_path(path);
  log_message("* read '%s'\n", path);
  if (!read_as_ascii(path)) {
    GridCrs crs;
    const int64_t valid = raster_read(path, maps, k, &crs);
    crs_check(path, crs, maps.geometry);
    return valid;
  }
  TokenReader reader(open_grid(path), path);
  const GridHeader header = scan_header(reader, path);
  check_header(header.geometry, maps.geometry, path);

  const float nodata = static_cast<float>(header.nodata_value);
  float* cells = maps.map(k);
  const size_t total = maps.cell_count();
  // The values are read a block at a time, cut after the block's last blank (the partial word
  // goes on to the next block) and parsed on several threads: the same cells and the same first
  // fault as word by word, in memory that does not grow with the file.
  const int threads = parse_threads();
  std::vector<char> block(PART_TEXT * size_t(threads));
  size_t held = reader.end - reader.begin;
  std::memcpy(block.data(), reader.buffer + reader.begin, held);
  bool at_eof = reader.at_eof;
  size_t written = 0;
  int64_t valid = 0;
  int64_t infinite = 0;
  for (;;) {
    while (held < block.size() && !at_eof) {
      const size_t got = std::fread(block.data() + held, 1, block.size() - held, reader.file);
      if (got == 0 && std::ferror(reader.file))
        fatal(1, "error: unable to read file '%s'!\n", path);
      at_eof = got == 0;
      held += got;
    }
    size_t cut = held;
    while (!at_eof && cut > 0 && !grid_is_blank(block[cut - 1])) --cut;
    // A block with no blank is one word longer than any value.
    if (cut == 0 && held > 0) fatal(1, "error: value too long in file '%s'!\n", path);
    const int parts = static_cast<int>(std::min<size_t>(size_t(threads), cut / PART_TEXT + 1));
    const GridCells got = grid_parse_cells(std::string_view(block.data(), cut), nodata,
                                           cells + written, total - written, parts);
    switch (got.fault) {
      case GridCellFault::none:
        break;
      case GridCellFault::value:
        fatal(1, "error: %s in file '%s'!\n", got.error.c_str(), path);
      case GridCellFault::too_long:
        fatal(1, "error: value too long in file '%s'!\n", path);
      case GridCellFault::beyond:
        // A value beyond rows x columns means the header does not describe the file: read on,
        // every row would be shifted.
        fatal(1, "error: more values than %d rows of %d columns in file '%s'!\n",
              maps.geometry.nrows, maps.geometry.ncols, path);
    }
    written += got.count;
    valid += got.valid;
    infinite += got.infinite;
    if (at_eof) break;
    std::memmove(block.data(), block.data() + cut, held - cut);
    held -= cut;
  }
  if (written < total) {
    fatal(1, "error: missing values in file '%s' (%zu of %zu)!\n", path, written, total);
  }
  if (infinite > 0) log_message("  found %" PRId64 " -infinite values!\n", infinite);
  std::string not_understood;
  const GridCrs crs = crs_read_sidecar(path, &not_understood);
  if (!not_understood.empty()) {
    log_message("! coordinate system in '%s' not understood: ignored\n", not_understood.c_str());
  }
  crs_check(path, crs, maps.geometry);
  return valid;
}
