// GeoTIFF reading and writing at 4000 x 4000, against the ASCII grid files of the same maps: the
// six-digit values of BM_GridRead and BM_GridWrite (hardest to compress), as an uncompressed
// GeoTIFF that other tools write and as the tiled, compressed one landalloc writes; and a solution
// map, what landalloc writes most. GDAL compresses and decompresses on every core, so wall time
// and the CPU time of all threads are both shown.
#include <benchmark/benchmark.h>

#ifdef LANDALLOC_GDAL

#include <gdal.h>

#include <cstdio>

#include "bench_support.h"

namespace {

constexpr int32_t SIDE = 4000;
const char* const TIF = "/tmp/landalloc_bench_grid.tif";
const char* const ASC = "/tmp/landalloc_bench_grid.asc";

// Map 0 as a plain Float32 GeoTIFF in strips, without compression, written by GDAL alone.
void write_uncompressed(const MapBlock& maps) {
  GDALAllRegister();
  GDALDatasetH dataset =
      GDALCreate(GDALGetDriverByName("GTiff"), TIF, SIDE, SIDE, 1, GDT_Float32, nullptr);
  double transform[6] = {0, 1, 0, SIDE, 0, -1};
  GDALSetGeoTransform(dataset, transform);
  const CPLErr error = GDALRasterIO(GDALGetRasterBand(dataset, 1), GF_Write, 0, 0, SIDE, SIDE,
                                    const_cast<float*>(maps.map(0)), SIDE, SIDE, GDT_Float32, 0, 0);
  GDALClose(dataset);
  if (error != CE_None) std::fprintf(stderr, "cannot write %s\n", TIF);
}

// Map 0 as a final map: no data outside a disc, a river excluded across it, and square islands
// of allocated cells (4) among free ones.
MapBlock solution_map() {
  MapBlock maps = bench_grid(SIDE, 2);
  for (int32_t r = 0; r < SIDE; ++r) {
    for (int32_t c = 0; c < SIDE; ++c) {
      const double dr = r - SIDE / 2.0, dc = c - SIDE / 2.0;
      float value = ((r / 64) * 7 + (c / 64) * 13) % 11 == 0 ? 4.0f : 0.0f;
      if (r - c / 2 > 900 && r - c / 2 < 940) value = CELL_MASKED;
      if (dr * dr + dc * dc > 0.23 * SIDE * SIDE) value = CELL_NODATA;
      maps.map(0)[static_cast<size_t>(r) * SIDE + static_cast<size_t>(c)] = value;
    }
  }
  return maps;
}

template <class Fn>
void timed(benchmark::State& state, Fn fn) {
  for (auto _ : state) benchmark::DoNotOptimize(fn());
  std::remove(TIF);
  std::remove(ASC);
}

void BM_GeoTiffReadUncompressed(benchmark::State& state) {
  MapBlock maps = bench_six_digit_map(SIDE);
  write_uncompressed(maps);
  timed(state, [&] { return grid_read(TIF, maps, 1); });
}

void BM_GeoTiffWrite(benchmark::State& state) {
  const MapBlock maps = bench_six_digit_map(SIDE);
  timed(state, [&] { return grid_write(TIF, maps, 0); });
}

void BM_GeoTiffRead(benchmark::State& state) {
  MapBlock maps = bench_six_digit_map(SIDE);
  grid_write(TIF, maps, 0);
  timed(state, [&] { return grid_read(TIF, maps, 1); });
}

// Argument 0: ASCII grid, 1: GeoTIFF.
void BM_SolutionMapWrite(benchmark::State& state) {
  const MapBlock maps = solution_map();
  const char* path = state.range(0) == 0 ? ASC : TIF;
  timed(state, [&] { return grid_write(path, maps, 0); });
}

void BM_SolutionMapRead(benchmark::State& state) {
  MapBlock maps = solution_map();
  const char* path = state.range(0) == 0 ? ASC : TIF;
  grid_write(path, maps, 0);
  timed(state, [&] { return grid_read(path, maps, 1); });
}

#define GDAL_BENCHMARK(fn) \
  BENCHMARK(fn)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()
GDAL_BENCHMARK(BM_GeoTiffReadUncompressed);
GDAL_BENCHMARK(BM_GeoTiffRead);
GDAL_BENCHMARK(BM_GeoTiffWrite);
GDAL_BENCHMARK(BM_SolutionMapRead)->ArgName("geotiff")->Arg(0)->Arg(1);
GDAL_BENCHMARK(BM_SolutionMapWrite)->ArgName("geotiff")->Arg(0)->Arg(1);

}  // namespace

#endif
