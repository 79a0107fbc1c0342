// The grid every raster of a run shares, the block of rasters a stage works on, and the Esri ASCII
// grid files they are read from and written to. The geometry is taken once per process from the
// first potential map; every file read must carry the same header and every file written carries
// it. Cells are 32-bit floats, row-major, row 0 being the first row of the file.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr float CELL_NODATA = -1.0f;    ///< no data; written to files as FILE_NODATA
constexpr float CELL_MASKED = -2.0f;    ///< excluded cell, or destination of a distance map
constexpr float MOVE_MARK = -3.0f;      ///< a cell of a move under evaluation
constexpr float GROWN_MARK = -3.0f;     ///< a cell grown in the current expansion sweep
constexpr float CELL_AVAILABLE = 0.0f;  ///< allocatable and not allocated
constexpr int FILE_NODATA = -999;

/// The shared grid. Header fields keep the precision of the file they came from (doubles) and are
/// compared as 32-bit floats, so that outputs line up with their inputs.
struct GridGeometry {
  int32_t ncols = 0;
  int32_t nrows = 0;
  double xllcorner = 0.0;
  double yllcorner = 0.0;
  double xllcenter = 0.0;
  double yllcenter = 0.0;
  double cellsize = 0.0;
};

/// The process-wide geometry; initialised when nrows and ncols are both non-zero.
extern GridGeometry grid_geometry;

/// One raster of nrows x ncols cells inside the stage's block.
struct CellMap {
  float* cells;
  int32_t nrows;
  int32_t ncols;
  float& at(int32_t row, int32_t col) const {
    return cells[static_cast<size_t>(row) * static_cast<size_t>(ncols) + static_cast<size_t>(col)];
  }
};

/// The block of maps a stage allocates; map k starts at cell k * nrows * ncols.
struct MemoryMaps {
  float* block = nullptr;
  int32_t count = 0;
};

/// The current stage's maps.
extern MemoryMaps memory_maps;

/// The value of an allocated cell, set by each stage from its solution map.
extern float working_cell_value;

/// Number of cells of one map (nrows * ncols).
inline size_t grid_cell_count() {
  return static_cast<size_t>(grid_geometry.nrows) * static_cast<size_t>(grid_geometry.ncols);
}

/// First cell of map k of the block.
inline float* map_cells(int32_t k) {
  return memory_maps.block + static_cast<size_t>(k) * grid_cell_count();
}

/// Map k of the block as a CellMap.
inline CellMap map_get(int32_t k) {
  return CellMap{map_cells(k), grid_geometry.nrows, grid_geometry.ncols};
}

/// Initialises the geometry from the first file of the first group of "maps.potential-maps"
/// (prints "* init geo using" every time unless `quiet`, reads only the first time); returns 1.
int32_t grid_init_geometry(bool quiet = false);

/// Forgets the geometry (a new process starts with none; tests use this between cases).
void grid_reset_geometry();

/// Allocates the stage's block of n maps; fatal when the geometry is unset or memory is short.
void maps_allocate(int32_t n);

/// Releases the stage's block.
void maps_release();

/// Reads only the header of the grid file `path` and compares it with the geometry, with the
/// messages and exit codes of grid_read; prints nothing when it matches.
void grid_check_header(const char* path);

/// Reads the grid file `path` into map k; returns the number of cells >= 0.
int32_t grid_read(const char* path, int32_t k);

/// Writes map k to the grid file `path` (whole or not at all); returns the number of cells >= 0.
int32_t grid_write(const char* path, int32_t k);

/// grid_write to the file named "<prefix><suffix>", as the debug maps named after a stage's output.
int32_t grid_write_suffixed(const char* prefix, const char* suffix, int32_t k);
