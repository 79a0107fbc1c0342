#include "driver/preflight.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include "base/log.h"
#include "base/output_file.h"
#include "config/config.h"
#include "driver/describe.h"
#include "driver/repeats.h"
#include "postprocess/postprocess_stage.h"
#include "preprocess/preprocess_stage.h"
#include "process/process_stage.h"
#include "raster/geotiff.h"
#include "raster/grid.h"
#include "scenario/land_uses.h"
#include "scenario/loaders.h"
#include "scenario/map_style.h"
#include "scenario/scenario.h"

namespace {

// Levenshtein distance: insertions, deletions and substitutions of single characters.
size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

void warn_unknown(const std::string& path, const std::string& nearest) {
  if (nearest.empty()) {
    log_message("! unknown property '%s'\n", path.c_str());
  } else {
    log_message("! unknown property '%s' (did you mean '%s'?)\n", path.c_str(), nearest.c_str());
  }
}

// The key of `keys` nearest to `key`, or "" when none is a few slips away: near means a few slips
// for the length of the name; anything further is no suggestion.
std::string nearest_key(const std::string& key, const std::vector<std::string>& keys) {
  std::string nearest;
  size_t best = key.size();
  for (const std::string& known : keys) {
    const size_t d = edit_distance(key, known);
    if (d < best) {
      best = d;
      nearest = known;
    }
  }
  return best <= std::max<size_t>(2, nearest.size() / 4) ? nearest : "";
}

// The keys of each use's object, and the keys below a use's own object-valued properties (its
// demand) as the shared property reads them.
void warn_unknown_use_properties(const ConfigDocument& config) {
  const int32_t array = config_find(config, 0, "land-uses");
  if (!config_token_is(config, array, CONFIG_ARRAY)) return;
  const std::vector<std::string> keys = land_use_keys();
  for (int32_t u = 0; u < config_child_count(config, array); ++u) {
    const int32_t object = config_element_token(config, array, u);
    if (!config_token_is(config, object, CONFIG_OBJECT)) continue;
    const std::string prefix = "land-uses[" + std::to_string(u) + "].";
    ConfigDocument use;
    config_load_text(use, config_json(config, object).c_str());
    for (const std::string& path : config_leaf_paths(use)) {
      const std::string key = path.substr(0, path.find('.'));
      if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
        const std::string nearest = nearest_key(key, keys);
        warn_unknown(prefix + path, nearest.empty() ? "" : prefix + nearest);
        continue;
      }
      if (key.size() == path.size()) continue;
      const std::string shared = land_use_shared_property(key) + path.substr(key.size());
      if (find_property(shared) != nullptr) continue;
      const std::string nearest = nearest_known_property(shared);
      const std::string shared_key = land_use_shared_property(key);
      warn_unknown(prefix + path, nearest.rfind(shared_key + ".", 0) == 0
                                      ? prefix + key + nearest.substr(shared_key.size())
                                      : "");
    }
  }
}

void warn_unknown_properties(const ConfigDocument& config) {
  for (const std::string& path : config_leaf_paths(config)) {
    if (find_property(path) != nullptr) continue;
    if (path.rfind("conversions.", 0) == 0) continue;  // keyed by the names of the land uses
    warn_unknown(path, nearest_known_property(path));
  }
  warn_unknown_use_properties(config);
}

void add_unique(std::vector<std::string>& list, const std::string& item) {
  if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
}

void add_all(std::vector<std::string>& list, const std::vector<std::string>& items) {
  for (const std::string& item : items) add_unique(list, item);
}

// The stage would fail to create the file: same message, and the reason on an added line.
[[noreturn]] void refuse_output(const std::string& path, const std::string& reason) {
  log_message("error: unable to open file '%s'!\n", path.c_str());
  fatal(1, "  %s\n", reason.c_str());
}

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The output is replaced by a file renamed over it: its folder must take a new file, and what
// already lies at the path must be a file (a folder, a pipe or a device would fail the write, or
// take it, late in the run).
void check_output_path(const std::string& path) {
  const std::string folder = folder_of(path);
  struct stat info;
  if (stat(folder.c_str(), &info) != 0) {
    refuse_output(path, "folder '" + folder + "' does not exist");
  } else if (!S_ISDIR(info.st_mode)) {
    refuse_output(path, "folder '" + folder + "' is not a folder");
  } else if (access(folder.c_str(), W_OK | X_OK) != 0) {
    refuse_output(path, "folder '" + folder + "' is not writable");
  } else if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    refuse_output(path, "'" + path + "' is a folder");
  } else if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) &&
             (geotiff_output_name(path.c_str()) ||
              !(S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)))) {
    // A text grid streams into a pipe or a device; a GeoTIFF is written by seeking.
    refuse_output(path, "'" + path + "' is not a regular file");
  }
  // The file is written under its name and a temporary suffix first: both must fit the folder.
  const size_t suffix = std::strlen(OUTPUT_TEMP_SUFFIX);
  const size_t slash = path.rfind('/');
  const size_t name = path.size() - (slash == std::string::npos ? 0 : slash + 1) + suffix;
  const long name_max = pathconf(folder.c_str(), _PC_NAME_MAX);
  const size_t limit = name_max > 0 ? static_cast<size_t>(name_max) : NAME_MAX;
  if (name > limit) {
    refuse_output(
        path, "its name is too long for folder '" + folder + "' (" + std::to_string(name) +
                  " characters with the temporary suffix, at most " + std::to_string(limit) + ")");
  }
  if (path.size() + suffix >= static_cast<size_t>(OUTPUT_PATH_MAX)) {
    refuse_output(path, "its path is too long (" + std::to_string(path.size() + suffix) +
                            " characters with the temporary suffix, at most " +
                            std::to_string(OUTPUT_PATH_MAX - 1) + ")");
  }
  geotiff_check_output(path.c_str());
}

char swap_case(char c) {
  if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
  if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
  return c;
}

std::string lower_case(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool has_letter(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return swap_case(c) != c; });
}

// Whether `path` with the characters from `start` to `end` in the other case leads to the same
// entry.
bool found_in_other_case(const std::string& path, size_t start, size_t end) {
  std::string swapped = path;
  for (size_t i = start; i < end; ++i) swapped[i] = swap_case(swapped[i]);
  struct stat original, other;
  return lstat(path.c_str(), &original) == 0 && lstat(swapped.c_str(), &other) == 0 &&
         original.st_dev == other.st_dev && original.st_ino == other.st_ino;
}

// Whether names in `folder` are looked up regardless of case (macOS and Windows volumes, ext4
// folders with casefold): an entry with a letter is found under its name in the other case. An
// empty folder (the usual output folder of a first run) is judged by the nearest name with a
// letter on its path, since a folder looks names up as the one it was made in does.
bool folder_folds_case(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  std::string entry_path;
  for (const dirent* entry; entry_path.empty() && (entry = readdir(dir)) != nullptr;) {
    if (has_letter(entry->d_name)) entry_path = folder + "/" + entry->d_name;
  }
  closedir(dir);
  const size_t slash = entry_path.rfind('/');
  if (!entry_path.empty()) return found_in_other_case(entry_path, slash + 1, entry_path.size());
  char* real = realpath(folder.c_str(), nullptr);
  const std::string path = real != nullptr ? real : "";
  std::free(real);
  for (size_t end = path.size(); end > 1; end = path.rfind('/', end - 1)) {
    const size_t start = path.rfind('/', end - 1) + 1;
    if (has_letter(path.substr(start, end - start)))
      return found_in_other_case(path.substr(0, end), start, end);
  }
  return false;
}

// What tells one file from another whatever names lead to it: an existing file is its device and
// inode (through symbolic links, `..` and hard links); one still to be created is its folder's and
// its name, folded to one case where the folder folds case.
class FileIdentities {
 public:
  std::string of(std::string path) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0) return "file " + key(info);
    // A symbolic link to no file yet: writing it creates its target, so the target is the file.
    char target[OUTPUT_PATH_MAX];
    if (output_resolve_target(path.c_str(), target)) path = target;
    const std::string folder = folder_of(path);
    const std::string name =
        path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    if (stat(folder.c_str(), &info) != 0) return "path " + path;
    const std::string folder_key = key(info);
    auto known = folds_.find(folder_key);
    if (known == folds_.end()) known = folds_.emplace(folder_key, folder_folds_case(folder)).first;
    return "name " + folder_key + " " + (known->second ? lower_case(name) : name);
  }

 private:
  static std::string key(const struct stat& info) {
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  }
  std::map<std::string, bool> folds_;
};

// A file of the run's plan: written or read, and, when it is a stage's solution map, the stage
// (0 to 2) and the run's tag.
struct PlannedFile {
  std::string path;
  bool written = false;
  int solution = -1;
  std::string tag;
  bool style = false;    ///< the style sidecar of the map of the same stage and tag
  std::string identity;  ///< filled by the check
};

// Refuses the first written file of the plan that is the same file as another, but along the
// chain of solution maps of one run: each stage may write its solution over the one it has read,
// so a run of equal solutions from one stage to a later one is allowed, and so is the run of
// their style sidecars.
void check_distinct(std::vector<PlannedFile>& files) {
  FileIdentities identities;
  std::map<std::string, std::vector<size_t>> named;  // the files of each identity, in plan order
  // (tag, stage, style) -> identity
  std::map<std::tuple<std::string, int, bool>, std::string> solutions;
  for (size_t i = 0; i < files.size(); ++i) {
    PlannedFile& f = files[i];
    f.identity = identities.of(f.path);
    named[f.identity].push_back(i);
    if (f.solution >= 0) solutions[{f.tag, f.solution, f.style}] = f.identity;
  }
  const auto chained = [&](const PlannedFile& a, const PlannedFile& b) {
    if (a.solution < 0 || b.solution < 0 || a.tag != b.tag || a.style != b.style) return false;
    for (int stage = std::min(a.solution, b.solution); stage <= std::max(a.solution, b.solution);
         ++stage) {
      const auto at = solutions.find({a.tag, stage, a.style});
      if (at == solutions.end() || at->second != a.identity) return false;
    }
    return true;
  };
  for (size_t j = 0; j < files.size(); ++j) {
    if (!files[j].written) continue;
    for (size_t i : named[files[j].identity]) {
      const PlannedFile& other = files[i];
      // Each pair once: an input with every output, two outputs in the order written.
      if ((other.written && i >= j) || chained(other, files[j])) continue;
      refuse_output(files[j].path, std::string("same file as the ") +
                                       (other.written ? "output '" : "input '") + other.path + "'");
    }
  }
}

// Kept runs up to this many are each checked and listed.
constexpr int32_t LISTED_RUNS = 100;

// The run (2 to repeats - 1) whose file `tagged_first` (the same file of run 1, tagged ".run1" at
// its width) would be `name`, or 0. Letters compare in either case, as a folder may fold them.
int32_t run_of_name(const std::string& tagged_first, const std::string& tag_first,
                    const std::string& name, int32_t repeats) {
  const size_t at = tagged_first.rfind(tag_first);
  if (at == std::string::npos || name.size() != tagged_first.size()) return 0;
  const std::string prefix = lower_case(tagged_first.substr(0, at + 4));  // up to ".run"
  const std::string suffix = lower_case(tagged_first.substr(at + tag_first.size()));
  const std::string folded = lower_case(name);
  if (folded.compare(0, prefix.size(), prefix) != 0 ||
      folded.compare(folded.size() - suffix.size(), suffix.size(), suffix) != 0)
    return 0;
  const std::string digits = name.substr(prefix.size(), tag_first.size() - 4);
  if (digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  const long run = std::strtol(digits.c_str(), nullptr, 10);
  return run > 1 && run < repeats ? static_cast<int32_t>(run) : 0;
}

// The runs between the first and the last whose files some name could be: a file the run reads
// or writes once (`names`), or an entry already in an output's folder. Those are checked whole;
// any other run's files are new names, in the folders run 1 was checked to write in.
std::vector<int32_t> runs_in_the_way(const std::vector<PlannedFile>& first,
                                     const std::vector<std::string>& names, int32_t repeats) {
  const std::string tag = repeat_run_tag(1, repeats);
  std::set<int32_t> runs;
  std::map<std::string, std::vector<std::string>> entries;  // folder -> its entries' paths
  for (const PlannedFile& f : first) {
    const std::string folder = folder_of(f.path);
    if (entries.count(folder) == 0) {
      std::vector<std::string>& listed = entries[folder];
      if (DIR* dir = opendir(folder.c_str())) {
        const std::string lead = f.path.find('/') == std::string::npos ? "" : folder + "/";
        for (const dirent* entry; (entry = readdir(dir)) != nullptr;)
          listed.push_back(lead + entry->d_name);
        closedir(dir);
      }
    }
    const std::vector<std::string>& listed = entries[folder];
    for (const std::vector<std::string>* list : {&names, &listed}) {
      for (const std::string& name : *list) {
        if (const int32_t r = run_of_name(f.path, tag, name, repeats)) runs.insert(r);
      }
    }
  }
  return {runs.begin(), runs.end()};
}

// The check of one configuration as one use reads it; `uses` names every land use when several
// are decided together, whose frequency grids repeats write as well.
RunPlan check_plan(const ConfigDocument& config, const StageFlags& stages, const RepeatShape& shape,
                   GridGeometry& geometry, const std::vector<std::string>& uses);

}  // namespace

std::string nearest_known_property(const std::string& path) {
  std::vector<std::string> names;
  for (const PropertyInfo& known : property_table()) names.push_back(known.name);
  return nearest_key(path, names);
}

RepeatSummaryPaths repeat_summary_paths(const ConfigDocument& config, const StageFlags& stages) {
  std::string path;
  if (stages.postprocess) {
    path = postprocess_read_parameters(config).output;
  } else if (stages.process) {
    path = process_read_parameters(config).output;
  } else {
    path = preprocess_read_parameters(config).output;
  }
  // The output's format follows its extension in any case; the names derived from it do too.
  for (const std::string suffix : {".asc", ".tif", ".tiff"}) {
    const size_t stem = path.size() - suffix.size();
    if (path.size() > suffix.size() && lower_case(path.substr(stem)) == suffix) {
      return {path.substr(0, stem) + ".frequency" + path.substr(stem),
              path.substr(0, stem) + ".runs.csv"};
    }
  }
  return {path + ".frequency.asc", path + ".runs.csv"};
}

std::string repeat_use_frequency_path(const RepeatSummaryPaths& paths, const std::string& use) {
  const size_t dot = paths.frequency.rfind('.');
  return paths.frequency.substr(0, dot) + "." + use + paths.frequency.substr(dot);
}

RunPlan preflight_check(const ConfigDocument& config, const StageFlags& stages,
                        const RepeatShape& shape, GridGeometry& geometry) {
  warn_unknown_properties(config);
  if (land_uses_present(config)) {
    // Each use reads the whole configuration with its own properties: each is checked so, and
    // the files the run reads are those of every use.
    const LandUses uses = land_uses_read(config);
    std::vector<std::string> names;
    for (const LandUse& use : uses.uses) names.push_back(use.name);
    if (names.size() == 1) names.clear();
    RunPlan plan;
    for (const LandUse& use : uses.uses) {
      RunPlan own = check_plan(use.config, stages, shape, geometry, names);
      add_all(plan.inputs, own.inputs);
      if (plan.outputs.empty()) {
        plan.outputs = own.outputs;
        plan.runs_between = own.runs_between;
      }
    }
    return plan;
  }
  return check_plan(config, stages, shape, geometry, {});
}

namespace {

RunPlan check_plan(const ConfigDocument& config, const StageFlags& stages, const RepeatShape& shape,
                   GridGeometry& geometry, const std::vector<std::string>& uses) {
  RunPlan plan;
  add_all(plan.inputs, maps_potential_files(config, stages.process || stages.postprocess));
  maps_init_geometry(config, geometry, true);

  // Read in the stages' order, so that the first fault is the one a run would meet first.
  PreprocessParameters pre;
  ProcessStageParameters proc;
  PostprocessParameters post;
  if (stages.preprocess) {
    pre = preprocess_read_parameters(config);
    add_all(plan.inputs, pre.exclusion_masks);
    if (!pre.init_values_map.empty()) add_unique(plan.inputs, pre.init_values_map);
    add_all(plan.inputs, pre.distribution_masks);
    // A demand that cannot be met, or an area on a map not in metres, stops the run here rather
    // than after the stages before it have written their files.
    if (pre.demand) {
      for (const std::string& input : plan.inputs) grid_check_header(input.c_str(), geometry);
      demand_cells(*pre.demand, geometry, preprocess_free_cells(config, pre, geometry),
                   "the allocation");
    }
  }
  if (stages.process) {
    proc = process_read_parameters(config);
    // A map that an earlier stage of the run writes is checked when it is read.
    if (!stages.preprocess) add_unique(plan.inputs, proc.input);
    add_all(plan.inputs, proc.distance_masks);
    add_all(plan.inputs, proc.distance_maps);
  }
  if (stages.postprocess) {
    post = postprocess_read_parameters(config);
    if (!stages.process) add_unique(plan.inputs, post.input);
    add_all(plan.inputs, post.distance_masks);
    add_all(plan.inputs, post.distance_maps);
    if (!post.basins_map.empty()) add_unique(plan.inputs, post.basins_map);
  }

  // The files one run writes under `tag`: each stage's debug files (which repeats write for the
  // best run at the configured names, and for kept runs under their tags), its solution, and the
  // mask.
  std::vector<PlannedFile> files;
  const auto add_run = [&](const std::string& tag, bool debug) {
    Run run;
    run.file_tag = tag;
    const auto add = [&](const std::vector<std::string>& debug_files, const std::string& output,
                         int solution) {
      for (size_t i = 0; debug && i < debug_files.size(); ++i)
        files.push_back({debug_files[i], true, -1, tag, false, ""});
      const std::string path = run_file_path(run, output);
      files.push_back({path, true, solution, tag, false, ""});
      files.push_back({style_sidecar_path(path), true, solution, tag, true, ""});
    };
    if (stages.preprocess)
      add(preprocess_debug_files(pre, run_file_path(run, pre.output)), pre.output, 0);
    if (stages.process)
      add(process_debug_files(proc, run_file_path(run, proc.output)), proc.output, 1);
    if (stages.postprocess) {
      add(postprocess_debug_files(post, run_file_path(run, post.output)), post.output, 2);
      add({}, post.output_mask, -1);
    }
  };

  if (shape.repeats > 1) {
    // Kept runs differ only by their tags: past a few, the first and the last are checked whole,
    // and a run between them only where a name in the way could be its file.
    const bool all = shape.repeats <= LISTED_RUNS;
    std::vector<int32_t> kept;
    for (int32_t r = 1; shape.keep_runs && r <= shape.repeats; ++r) {
      if (all || r == 1 || r == shape.repeats) kept.push_back(r);
    }
    const size_t first_run = files.size();
    size_t first_end = first_run;
    for (const int32_t r : kept) {
      add_run(repeat_run_tag(r, shape.repeats), true);
      if (r == 1) first_end = files.size();
    }
    const size_t first_shared = files.size();
    add_run("", true);
    const RepeatSummaryPaths summary = repeat_summary_paths(config, stages);
    std::vector<std::string> grids = {summary.frequency};
    for (const std::string& use : uses) grids.push_back(repeat_use_frequency_path(summary, use));
    for (const std::string& grid : grids) {
      files.push_back({grid, true, -1, "", false, ""});
      files.push_back({style_sidecar_path(grid), true, -1, "", false, ""});
    }
    files.push_back({summary.table, true, -1, "", false, ""});
    if (!all && shape.keep_runs) {
      std::vector<std::string> names(plan.inputs);
      for (size_t f = first_shared; f < files.size(); ++f) names.push_back(files[f].path);
      const std::vector<PlannedFile> first(files.begin() + static_cast<std::ptrdiff_t>(first_run),
                                           files.begin() + static_cast<std::ptrdiff_t>(first_end));
      for (const int32_t r : runs_in_the_way(first, names, shape.repeats))
        add_run(repeat_run_tag(r, shape.repeats), true);
      plan.runs_between = shape.repeats - 2;
    }
  } else {
    add_run("", true);
    files.push_back({repeat_summary_paths(config, stages).table, true, -1, "", false, ""});
  }

  for (const std::string& path : shape.also_written)
    files.push_back({path, true, -1, "", false, ""});
  for (const std::string& input : plan.inputs) grid_check_header(input.c_str(), geometry);
  for (const PlannedFile& f : files) {
    check_output_path(f.path);
    plan.outputs.push_back(f.path);
  }
  // The solution map a stage reads from a file that no selected stage writes is an input, and
  // the first link of the chain.
  if (stages.process && !stages.preprocess) files.push_back({proc.input, false, 0, "", false, ""});
  if (stages.postprocess && !stages.process) files.push_back({post.input, false, 1, "", false, ""});
  for (const std::string& input : plan.inputs) {
    bool solution = false;
    for (const PlannedFile& f : files) solution = solution || (!f.written && f.path == input);
    if (!solution) files.push_back({input, false, -1, "", false, ""});
  }
  check_distinct(files);
  return plan;
}

}  // namespace
