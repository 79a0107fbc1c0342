#include "scenario/loaders.h"

#include <algorithm>
#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/log.h"
#include "raster/grid.h"
#include "raster/map_ops.h"

namespace {

const char* const POTENTIAL_MAPS = "maps.potential-maps";
const char* const POTENTIAL_WEIGHTS = "maps.potential-maps-weight";

inline bool has_data(float value) {
  return value != CELL_NODATA;
}

// Token of group g of the array of groups at token `array`. A group must itself be an array: a
// bare file name where a group is expected would otherwise be walked as an empty group.
int32_t group_token(const ConfigDocument& config, const char* path, int32_t array, int32_t g) {
  const int32_t token = config_element_token(config, array, g);
  if (!config_token_is(config, token, CONFIG_ARRAY)) {
    fatal(2, "error: incorrect type for element %d of property '%s' (json array expected)!\n", g,
          path);
  }
  return token;
}

// Rejects a list holding anything but single file names (or numbers) before any file is read, so
// that a bad configuration never leaves a map half-loaded.
void check_scalar_list(const ConfigDocument& config, const char* path, int32_t array) {
  char text[CONFIG_TEXT_MAX];
  const int32_t count = config_child_count(config, array);
  for (int32_t i = 0; i < count; ++i) config_element_text(config, path, array, i, text);
}

// Token of the required list of file names `path`.
int32_t file_list(const ConfigDocument& config, const char* path) {
  const int32_t list = config_get_array(config, path);
  check_scalar_list(config, path, list);
  return list;
}

// Reads file i of the list `path` (at token `list`) into map k.
void read_list_file(const ConfigDocument& config, MapBlock& maps, const char* path, int32_t list,
                    int32_t i, int32_t k) {
  char name[CONFIG_TEXT_MAX];
  config_element_text(config, path, list, i, name);
  grid_read(name, maps, k);
}

// Checks that "maps.potential-maps" is an array of arrays of file names; returns the group count.
int32_t check_groups(const ConfigDocument& config, int32_t groups_token) {
  const int32_t groups = config_child_count(config, groups_token);
  for (int32_t g = 0; g < groups; ++g) {
    check_scalar_list(config, POTENTIAL_MAPS, group_token(config, POTENTIAL_MAPS, groups_token, g));
  }
  return groups;
}

// A group's weighted sum is taken in 32-bit floats: a weight that is not finite, or weights whose
// magnitudes add up past the float range, would turn every cell's potential into an infinity or
// NaN, and the run would only stop late, when no cell can receive a move.
void check_group_weights(const ConfigDocument& config, int32_t weight_group, int32_t g) {
  double magnitudes = 0.0;
  for (int32_t j = 0; j < config_child_count(config, weight_group); ++j) {
    const double w = config_element_number(config, POTENTIAL_WEIGHTS, weight_group, j);
    magnitudes += std::fabs(w);
    if (!(magnitudes <= FLT_MAX)) {
      config_out_of_range(1, "error: property out of range in config json file!\n",
                          "element " + std::to_string(j) + " of group " + std::to_string(g) +
                              " of property '" + POTENTIAL_WEIGHTS + "'",
                          w, "finite weights whose magnitudes add up to a float");
    }
  }
}

// The weights must have exactly the shape of the groups: a weight is found by its position, and a
// missing or extra one would silently pair a file with another file's weight.
int32_t check_weighted_groups(const ConfigDocument& config, int32_t groups_token, int32_t weights) {
  const int32_t groups = check_groups(config, groups_token);
  bool same_shape = config_child_count(config, weights) == groups;
  for (int32_t g = 0; same_shape && g < groups; ++g) {
    const int32_t weight_group = group_token(config, POTENTIAL_WEIGHTS, weights, g);
    check_group_weights(config, weight_group, g);
    same_shape = config_child_count(config, weight_group) ==
                 config_child_count(config, config_element_token(config, groups_token, g));
  }
  if (!same_shape) {
    fatal(2, "error: incorrect shape for property '%s' (one weight per map of '%s' expected)!\n",
          POTENTIAL_WEIGHTS, POTENTIAL_MAPS);
  }
  return groups;
}

// Multiplies every cell of map k that has data by w.
void scale_data(MapBlock& maps, int32_t k, float w) {
  float* cells = maps.map(k);
  maps.each_range([=](size_t, size_t first, size_t end) {
    for (size_t i = first; i < end; ++i) {
      if (has_data(cells[i])) cells[i] = cells[i] * w;
    }
  });
}

// Map t += w * map b where both have data; elsewhere map t keeps its value.
void add_weighted(MapBlock& maps, int32_t t, int32_t b, float w) {
  float* sum = maps.map(t);
  const float* add = maps.map(b);
  maps.each_range([=](size_t, size_t first, size_t end) {
    for (size_t i = first; i < end; ++i) {
      if (has_data(sum[i]) && has_data(add[i])) sum[i] = sum[i] + w * add[i];
    }
  });
}

// The weights alone cannot tell whether a group's sum stays a float: that depends on the cells.
// A sum past the float range is refused once map j of group g is added, naming its weight.
void check_finite_sum(const MapBlock& maps, int32_t t, int32_t g, int32_t j, float w,
                      const char* file) {
  const float* sum = maps.map(t);
  const std::vector<uint8_t> finite = maps.range_results<uint8_t>([sum](size_t first, size_t end) {
    bool all = true;
    for (size_t i = first; i < end; ++i) all &= std::isfinite(sum[i]);
    return all;
  });
  if (std::find(finite.begin(), finite.end(), uint8_t{0}) == finite.end()) return;
  config_out_of_range(1, "error: property out of range in config json file!\n",
                      "element " + std::to_string(j) + " of group " + std::to_string(g) +
                          " of property '" + POTENTIAL_WEIGHTS + "'",
                      w, ("weights whose sum over '" + std::string(file) + "' is a float").c_str());
}

// Fuses map b into map k by the cell-wise maximum; a cell that any group lacks has no data.
void fuse_max(MapBlock& maps, int32_t k, int32_t b) {
  float* fused = maps.map(k);
  const float* group = maps.map(b);
  maps.each_range([=](size_t, size_t first, size_t end) {
    for (size_t i = first; i < end; ++i) {
      if (!has_data(fused[i])) continue;
      fused[i] = has_data(group[i]) ? std::max(fused[i], group[i]) : CELL_NODATA;
    }
  });
}

// The weighted group walk shared by the potential and nservices maps: within a group, the sum of
// the weighted maps (or, with `top_cells`, of their top-fifth marks); across groups, the maximum.
// Map k holds the first group's result, k + 1 each later group's, k + 2 serves as scratch.
void load_weighted_groups(const ConfigDocument& config, MapBlock& maps, int32_t k, bool top_cells) {
  const int32_t groups_token = config_get_array(config, POTENTIAL_MAPS);
  const int32_t weights = config_get_array(config, POTENTIAL_WEIGHTS);
  const int32_t groups = check_weighted_groups(config, groups_token, weights);
  char name[CONFIG_TEXT_MAX];
  bool have_result = false;
  for (int32_t g = 0; g < groups; ++g) {
    log_message("* load group maps\n");
    const int32_t map_group = config_element_token(config, groups_token, g);
    const int32_t weight_group = config_element_token(config, weights, g);
    const int32_t files = config_child_count(config, map_group);
    // An empty group has nothing to fuse; fusing it would bring back a stale scratch map.
    if (files == 0) continue;
    const int32_t t = have_result ? k + 1 : k;
    for (int32_t j = 0; j < files; ++j) {
      config_element_text(config, POTENTIAL_MAPS, map_group, j, name);
      const float w =
          static_cast<float>(config_element_number(config, POTENTIAL_WEIGHTS, weight_group, j));
      const int32_t into = j == 0 ? t : t + 1;
      grid_read(name, maps, into);
      if (j == 0 || top_cells) scale_data(maps, into, w);
      if (top_cells) map_mark_top_cells(maps, into);
      if (j > 0) add_weighted(maps, t, t + 1, top_cells ? 1.0f : w);
      if (!top_cells) check_finite_sum(maps, t, g, j, w, name);
    }
    if (have_result) {
      log_message("* fussion group maps\n");
      fuse_max(maps, k, k + 1);
    }
    have_result = true;
  }
  // Without any file no cell is covered by a potential map.
  if (!have_result) map_fill(maps, k, k, CELL_NODATA);
  map_normalize(maps, k);
}

// A key of 32 bits per value that orders like the descending order with NaN values last: larger
// keys come first. Equal values other than zero have equal keys; -0.0 and 0.0, which compare
// equal, get neighbouring keys, and every NaN gets key 0, which no other value has.
uint32_t rank_key(float v) {
  if (std::isnan(v)) return 0;
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits & 0x80000000u ? ~bits : bits | 0x80000000u;
}

// The value at position `rank` (from 0) of the n cells sorted in descending order with NaN last,
// found by two counting passes over the keys, 16 bits at a time, instead of a sorted copy of the
// map. Values with equal keys are equal, so the one returned is the one a sort would put there.
float ranked_value(const MapBlock& maps, const float* cells, size_t rank) {
  // Each range counts into its own table (half a megabyte: at most TABLE_PIECES ranges, whatever
  // the threads); the tables are added up, counts being integers.
  constexpr size_t KEYS = size_t{1} << 16;
  const size_t ranges = std::min(maps.ranges(), TABLE_PIECES);
  std::vector<size_t> counts;
  // tally(key, table) counts a cell's key into its range's table.
  const auto count = [&](auto tally) {
    std::vector<size_t> tables(ranges * KEYS, 0);
    each_cell_range(maps.cell_count(), ranges, [&](size_t range, size_t first, size_t end) {
      size_t* table = tables.data() + range * KEYS;
      for (size_t i = first; i < end; ++i) tally(rank_key(cells[i]), table);
    });
    counts = add_up_tables(tables, KEYS);
  };
  // The last slot, from the top, whose count passes what is left of the rank.
  const auto descend = [&] {
    uint32_t slot = 0xFFFFu;
    for (;; --slot) {
      if (counts[slot] > rank) return slot;
      rank -= counts[slot];
    }
  };
  count([](uint32_t key, size_t* table) { ++table[key >> 16]; });
  const uint32_t high = descend();
  count([high](uint32_t key, size_t* table) {
    if (key >> 16 == high) ++table[key & 0xFFFFu];
  });
  const uint32_t key = high << 16 | descend();
  const size_t n = maps.cell_count();
  for (size_t i = 0; i < n; ++i) {
    if (rank_key(cells[i]) == key) return cells[i];
  }
  return std::nanf("");
}

}  // namespace

std::vector<std::string> maps_potential_files(const ConfigDocument& config, bool weighted) {
  const int32_t groups_token = config_get_array(config, POTENTIAL_MAPS);
  const int32_t groups =
      weighted
          ? check_weighted_groups(config, groups_token, config_get_array(config, POTENTIAL_WEIGHTS))
          : check_groups(config, groups_token);
  std::vector<std::string> files;
  char name[CONFIG_TEXT_MAX];
  for (int32_t g = 0; g < groups; ++g) {
    const int32_t group = config_element_token(config, groups_token, g);
    for (int32_t j = 0; j < config_child_count(config, group); ++j) {
      config_element_text(config, POTENTIAL_MAPS, group, j, name);
      files.push_back(name);
    }
  }
  return files;
}

void maps_init_geometry(const ConfigDocument& config, GridGeometry& geometry, bool quiet) {
  const int32_t groups = config_get_array(config, POTENTIAL_MAPS);
  const int32_t first_group = groups + 1;
  if (config_child_count(config, groups) <= 0 || config_child_count(config, first_group) <= 0 ||
      !config_token_is(config, first_group, CONFIG_ARRAY)) {
    fatal(1, "error: unable to init geometry from group '%s'!\n", POTENTIAL_MAPS);
  }
  char file_name[CONFIG_TEXT_MAX];
  config_element_text(config, POTENTIAL_MAPS, first_group, 0, file_name);
  if (!quiet) log_message("* init geo using '%s'\n", file_name);
  if (geometry_is_set(geometry)) return;
  const GridGeometry read = grid_read_geometry(file_name);
  if (read.nrows <= 0 || read.ncols <= 0) {
    fatal(1, "error: unable to init geometry from file '%s'!\n", file_name);
  }
  geometry = read;
}

int64_t maps_init_solution(const ConfigDocument& config, MapBlock& maps) {
  if (!geometry_is_set(maps.geometry)) fatal(1, "error: uninitiallized geometry!\n");
  const int32_t groups_token = config_get_array(config, POTENTIAL_MAPS);
  const int32_t groups = check_groups(config, groups_token);
  if (groups == 0) return 0;
  const size_t n = maps.cell_count();
  float* solution = maps.map(0);
  const float* other = maps.map(1);
  char name[CONFIG_TEXT_MAX];
  bool first = true;
  for (int32_t g = 0; g < groups; ++g) {
    log_message("* load group maps\n");
    const int32_t group = config_element_token(config, groups_token, g);
    const int32_t files = config_child_count(config, group);
    for (int32_t j = 0; j < files; ++j) {
      config_element_text(config, POTENTIAL_MAPS, group, j, name);
      int64_t removed = 0;
      if (first) {
        grid_read(name, maps, 0);
        for (size_t i = 0; i < n; ++i) {
          const bool available = solution[i] >= 0.0f;
          solution[i] = available ? CELL_AVAILABLE : CELL_NODATA;
          removed += available ? 0 : 1;
        }
        log_message("! %" PRId64 " nodata cells removed\n", removed);
        first = false;
        continue;
      }
      grid_read(name, maps, 1);
      for (size_t i = 0; i < n; ++i) {
        if (has_data(solution[i]) && other[i] < 0.0f) {
          solution[i] = CELL_NODATA;
          ++removed;
        }
      }
      if (removed > 0) log_message("! %" PRId64 " cells extra removed\n", removed);
    }
  }
  return count_equal(solution, n, CELL_AVAILABLE);
}

int64_t maps_apply_masks(const ConfigDocument& config, MapBlock& maps, const char* path, int32_t t,
                         float v) {
  log_message("* loading masks\n");
  const int32_t masks = file_list(config, path);
  float* target = maps.map(t);
  const float* mask = maps.map(t + 1);
  int64_t set = 0;
  for (int32_t i = 0; i < config_child_count(config, masks); ++i) {
    read_list_file(config, maps, path, masks, i, t + 1);
    for (const int64_t count : maps.range_results<int64_t>([=](size_t first, size_t end) {
           int64_t in_range = 0;
           for (size_t c = first; c < end; ++c) {
             if (has_data(target[c]) && mask[c] > 0.0f) {
               target[c] = v;
               ++in_range;
             }
           }
           return in_range;
         }))
      set += count;
  }
  return set;
}

void maps_load_potential(const ConfigDocument& config, MapBlock& maps, int32_t k) {
  load_weighted_groups(config, maps, k, false);
}

void maps_load_nservices(const ConfigDocument& config, MapBlock& maps, int32_t k) {
  load_weighted_groups(config, maps, k, true);
}

int64_t map_mark_top_cells(MapBlock& maps, int32_t k) {
  float* cells = maps.map(k);
  int64_t valid = 0;
  for (const int64_t count : maps.range_results<int64_t>([cells](size_t first, size_t end) {
         int64_t in_range = 0;
         for (size_t i = first; i < end; ++i) in_range += has_data(cells[i]) ? 1 : 0;
         return in_range;
       }))
    valid += count;
  if (valid == 0) return 0;
  const int64_t top = static_cast<int64_t>(std::ceil(static_cast<double>(valid) * 0.2));
  // Only the top-th largest value matters, so a selection does what a full sort would. No-data
  // cells take part in the ranking, as they would in a sort of the whole map.
  const float threshold = ranked_value(maps, cells, static_cast<size_t>(top - 1));
  maps.each_range([=](size_t, size_t first, size_t end) {
    for (size_t i = first; i < end; ++i) {
      if (has_data(cells[i])) cells[i] = cells[i] >= threshold ? 1.0f : 0.0f;
    }
  });
  return top;
}

double maps_load_process_distances(const ConfigDocument& config, MapBlock& maps, int32_t k) {
  const char* path = "process.distance-maps";
  log_message("* load distances\n");
  const int32_t list = file_list(config, path);
  for (int32_t i = 0; i < config_child_count(config, list); ++i) {
    read_list_file(config, maps, path, list, i, k + 1);
    add_weighted(maps, k, k + 1, 1.0f);
  }
  return map_normalize(maps, k);
}

int64_t maps_load_postprocess_distances(const ConfigDocument& config, MapBlock& maps, int32_t k) {
  const char* path = "postprocess.select.method-distance.distance-maps";
  log_message("* loading maps\n");
  const int32_t list = file_list(config, path);
  const int32_t count = config_child_count(config, list);
  const size_t n = maps.cell_count();
  float* sum = maps.map(k);
  const float* add = maps.map(k + 1);
  int64_t additions = 0;
  for (int32_t i = 0; i < count; ++i) {
    read_list_file(config, maps, path, list, i, k + 1);
    for (size_t c = 0; c < n; ++c) {
      if (!has_data(sum[c])) continue;
      if (has_data(add[c])) {
        sum[c] = sum[c] + add[c];
        ++additions;
      } else {
        sum[c] = CELL_NODATA;
      }
    }
  }
  if (count >= 2) {
    const float files = static_cast<float>(count);
    for (size_t c = 0; c < n; ++c) {
      if (has_data(sum[c])) sum[c] = sum[c] / files;
    }
  }
  return additions;
}

void maps_check_working_value(const ConfigDocument& config, MapBlock& maps, float value,
                              int32_t scratch, WorkingValueCells* shared) {
  const char* const path = "preprocess.init-values-map";
  if (config_find(config, 0, path) < 0) return;
  char name[CONFIG_TEXT_MAX];
  config_get_text(config, path, name);
  if (name[0] == '\0') return;
  const float* solution = maps.map(0);
  const auto refuse = [&] {
    fatal(1, "error: working cell value %f is an initial value of '%s' (no allocated cell)!\n",
          static_cast<double>(value), name);
  };
  std::unique_lock<std::mutex> hold;
  if (shared != nullptr) {
    hold = std::unique_lock<std::mutex>(shared->lock);
    if (shared->read.done && shared->value == value) {
      shared_step_replay(shared->read);
      for (size_t i : shared->cells) {
        if (solution[i] == value) refuse();
      }
      return;
    }
    // The first check fills the list; one of another value reads the map for itself.
    if (shared->read.done) {
      shared = nullptr;
      hold.unlock();
    }
  }
  MapBlock own;
  if (scratch >= maps.count) {
    own = maps_allocate_quiet(maps.geometry, 1);
    own.threads = maps.threads;
  }
  MapBlock& target = scratch >= maps.count ? own : maps;
  const int32_t k = scratch >= maps.count ? 0 : scratch;
  const size_t n = maps.cell_count();
  if (shared != nullptr) {
    shared->value = value;
    shared_step_run(shared->read, [&] { grid_read(name, target, k); });
    const float* initial = target.map(k);
    shared->cells.clear();
    for (size_t i = 0; i < n; ++i) {
      if (initial[i] == value) shared->cells.push_back(i);
    }
    shared->read.done = true;
  } else {
    grid_read(name, target, k);
  }
  const float* initial = target.map(k);
  const std::vector<uint8_t> met = maps.range_results<uint8_t>([=](size_t first, size_t end) {
    for (size_t i = first; i < end; ++i) {
      if (initial[i] == value && solution[i] == value) return true;
    }
    return false;
  });
  if (std::find(met.begin(), met.end(), uint8_t{1}) != met.end()) refuse();
}

void init_values_apply(MapBlock& maps, const char* path) {
  grid_read(path, maps, 1);
  float* solution = maps.map(0);
  const float* values = maps.map(1);
  const size_t n = maps.cell_count();
  // Excluded cells may be overwritten: an allocation that already exists wins over a mask.
  for (size_t i = 0; i < n; ++i) {
    if (solution[i] != CELL_NODATA && values[i] > 0.0f) solution[i] = values[i];
  }
}
