#include "fuzz/fuzz_entries.h"

#include <cstring>

#include "base/log.h"
#include "config/config.h"
#include "grid_checks.h"
#include "postprocess/postprocess_stage.h"
#include "preprocess/preprocess_stage.h"
#include "process/process_stage.h"
#include "raster/grid.h"
#include "scenario/loaders.h"
#include "scenario/scenario.h"

// Far more draws than any scenario of the pipeline target makes, far fewer than its time limit
// allows: a run past it would draw for ever.
constexpr uint64_t PIPELINE_DRAW_LIMIT = 100000000;

// A fatal error is the answer to a bad input only with an exit code of its part of the system.
static std::string expect_code(const std::vector<int>& codes, const std::string& what,
                               const std::function<void()>& body) {
  try {
    body();
  } catch (const FatalExit& e) {
    if (std::find(codes.begin(), codes.end(), e.code) == codes.end())
      return what + " ended with code " + std::to_string(e.code);
  }
  return "";
}

std::string fuzz_config_input(const uint8_t* data, size_t size) {
  // The document ends at its first NUL, as a file read by the driver does.
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string failure;
  // Paths from the key texts, alone and joined in document order, so the fuzzer shapes them.
  std::vector<std::string> paths = {"", ".", "maps.potential-maps"};
  std::string previous;
  ConfigDocument doc;
  const bool loaded = config_load_text(doc, text.c_str()) > 0;
  for (int32_t i = 0; loaded && i < doc.token_count && paths.size() < 51; ++i) {
    const ConfigToken& t = doc.tokens[static_cast<size_t>(i)];
    if (t.type != CONFIG_STRING || t.end - t.start > 64) continue;
    const std::string key(doc.text, static_cast<size_t>(t.start),
                          static_cast<size_t>(t.end - t.start));
    paths.push_back(key);
    paths.push_back(previous + "." + key);
    previous = key;
  }
  // A document passes the refusal of control characters only when none of its texts holds one;
  // the refusal's message is one line whatever the names hold.
  bool refused = false;
  std::string message;
  if (loaded) {
    LogCopy copy(message);
    failure = expect_code({2}, "the refusal of control characters", [&] {
      refused = true;
      config_refuse_control_characters(doc);
      refused = false;
    });
  }
  for (int32_t i = 0; loaded && !refused && i < doc.token_count && failure.empty(); ++i) {
    const ConfigToken& t = doc.tokens[static_cast<size_t>(i)];
    for (int32_t c = t.start; t.type == CONFIG_STRING && c < t.end; ++c) {
      const auto byte = static_cast<unsigned char>(doc.text[static_cast<size_t>(c)]);
      if (byte < 0x20 || byte == 0x7f) failure = "a control character passed the refusal";
    }
  }
  if (refused && message.find('\n') + 1 != message.size()) failure = "a message of several lines";
  for (size_t k = 0; loaded && k < paths.size(); ++k) {
    const std::string& path = paths[k];
    const char* p = path.c_str();
    char buffer[CONFIG_TEXT_MAX] = "previous";  // must stay terminated whatever happens
    const std::function<void()> getters[] = {
        [&] { config_get_string(doc, p, buffer); },
        [&] { config_get_text(doc, p, buffer); },
        [&] { config_get_number(doc, p); },
        [&] { config_get_integer(doc, p); },
        [&] { config_get_flag(doc, p); },
        [&] { config_element_text(doc, p, config_get_array(doc, p), 0, buffer); }};
    for (const auto& body : getters) {
      // A number that is no whole 32-bit count is out of range (1) for the integer getter.
      const int integer = &body == &getters[3] ? 1 : 2;
      if (failure.empty()) failure = expect_code({integer, 2}, "a getter of '" + path + "'", body);
      if (std::memchr(buffer, '\0', sizeof buffer) == nullptr)
        failure = "'" + path + "' unterminated";
    }
  }
  return failure;
}

std::string fuzz_grid_input(const uint8_t* data, size_t size, const std::string& dir) {
  const std::string input = dir + "/input.asc", output = dir + "/output.asc";
  if (!std::ofstream(input, std::ios::binary).write(reinterpret_cast<const char*>(data), size))
    return "cannot write " + input;
  // A grid that an input VRT may name as its source ("source.asc", beside it).
  std::ofstream(dir + "/source.asc") << "ncols 3\nnrows 2\ncellsize 1\nnodata_value -9999\n"
                                        "1 2 -9999\n4 5 6\n";
  ConfigDocument config;
  config_load_text(config, ("{\"maps\": {\"potential-maps\": [[\"" + input + "\"]]}}").c_str());
  int64_t valid = -1;
  bool nan = false;
  MapBlock maps;
  std::string failure = expect_code({1}, "grid reading", [&] {
    GridGeometry g;
    maps_init_geometry(config, g);
    // A NaN geometry value never equals itself: every file, its own too, would not match it.
    nan = std::isnan(g.cellsize) || std::isnan(g.xllcorner) || std::isnan(g.yllcorner);
    // A header alone could ask for gigabytes: large grids are not read.
    if (nan || geometry_cell_count(g) > (1u << 18)) return;
    maps = maps_allocate(g, 2);
    valid = grid_read(input.c_str(), maps, 0);
  });
  if (nan) failure = "the geometry holds NaN";
  try {
    if (valid >= 0 && (grid_write(output.c_str(), maps, 0) != valid ||
                       grid_read(output.c_str(), maps, 1) != valid))
      failure = "the written grid reads back another count";
  } catch (const FatalExit&) {
    failure = "the written grid does not read back";
  }
  // Every value written reads back as the same float.
  for (size_t i = 0; valid >= 0 && i < maps.cell_count() && failure.empty(); ++i) {
    if (maps.map(1)[i] != maps.map(0)[i])
      failure = "cell " + std::to_string(i) + " reads back changed";
  }
  return failure;
}

namespace {

// The input read byte by byte; past its end every byte is 0, so that any input is a scenario.
struct ByteSource {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  unsigned next() { return at < size ? data[at++] : 0u; }
  const std::string& pick(const std::vector<std::string>& choices) {
    return choices[next() % choices.size()];
  }
};

// Cell values and property texts: the first of each list are ordinary, the rest hostile (no data,
// below the masks, tiny and huge magnitudes, codes past 2^24, NaN, infinity, fractions for counts,
// words, values out of range).
const std::vector<std::string> POTENTIAL = {"0.5", "1",     "7",    "0",   "0.25", "-999",
                                            "-5",  "1e-30", "3e38", "nan", "inf",  "-2"};
const std::vector<std::string> MASK = {"0", "0", "0", "1", "-999", "2"};
const std::vector<std::string> INITIAL = {"0", "0", "0",    "0",       "1",
                                          "2", "3", "-999", "1000001", "16777216"};
const std::vector<std::string> BASINS = {"0", "1", "2", "3", "-999", "1e8", "5e9", "-1.5"};

std::string grid_file(ByteSource& in, int rows, int cols, const std::vector<std::string>& values) {
  std::string text = "ncols " + std::to_string(cols) + "\nnrows " + std::to_string(rows) +
                     "\nxllcorner 0\nyllcorner 0\ncellsize 10\nNODATA_value -999\n";
  for (int i = 0; i < rows * cols; ++i)
    text += in.pick(values) + (i % cols == cols - 1 ? "\n" : " ");
  return text;
}

// What must hold whatever the stages did: no output is left half written; an initial value is
// copied wherever the cell has data and never equals the allocation; the pipeline's invariants.
std::string check_outputs(const std::string& dir, size_t cells, bool with_init) {
  const std::vector<std::string> left = temporaries(dir);
  if (!left.empty()) return "temporary file " + left[0] + " left";
  const auto file = [&](const char* name) { return read_cells(dir + "/" + name); };
  const std::vector<float> init = file("init.asc"), pre = file("pre.asc"), proc = file("proc.asc");
  if (pre.empty()) return proc.empty() ? "" : "a PROCESS output without its input";
  if (pre.size() != cells) return "the PREPROCESS output is not whole";
  const float allocated = *std::max_element(pre.begin(), pre.end());
  for (size_t i = 0; with_init && i < cells; ++i) {
    if (init[i] > 0.0f && pre[i] != -999.0f && pre[i] != init[i])
      return "initial value of cell " + std::to_string(i) + " not copied";
    if (pre[i] == allocated && init[i] == allocated)
      return "the allocation merges with an initial value";
  }
  return pipeline_failure(pre, proc, file("post.asc"), file("mask.asc"));
}

}  // namespace

std::string fuzz_pipeline_input(const uint8_t* data, size_t size, const std::string& dir) {
  ByteSource in{data, size};
  const int rows = 1 + static_cast<int>(in.next() % 12),
            cols = 1 + static_cast<int>(in.next() % 12);
  for (const char* name :
       {"pre.asc", "proc.asc", "post.asc", "mask.asc", "error.asc", "proc.asc.debug.evolution.lst"})
    std::remove((dir + "/" + name).c_str());
  const auto file = [&](const char* name, const std::vector<std::string>& values) {
    std::ofstream(dir + "/" + name) << grid_file(in, rows, cols, values);
    return "\"" + dir + "/" + name + "\"";
  };
  const std::string pot = file("pot.asc", POTENTIAL), pot2 = file("pot2.asc", POTENTIAL);
  const std::string mask = file("masks.asc", MASK), road = file("road.asc", MASK);
  const std::string init = file("init.asc", INITIAL), basins = file("basins.asc", BASINS);
  // One draw per statement, so that the draws come in the same order with every compiler.
  const bool with_init = in.next() % 3 != 0;
  const bool two_maps = in.next() % 2 != 0;
  const std::string weight_1 = in.pick({"1", "0.5", "-1", "0"});
  const std::string weight_2 = in.pick({"1", "-1", "0", "1e30"});
  std::string functions;
  for (int f = 0; f < 5; ++f) functions += (f ? ", " : "") + in.pick({"1", "0", "0.5", "2", "-1"});
  // The rest is drawn in the template's order: each <a|b|...> is one draw among its choices, each
  // $name a text above.
  const std::string text = R"({"maps": {"potential-maps": [[$maps]], "potential-maps-weight":
    [[$weights]], "exclusion-masks": <[]|[$mask]>}, "preprocess": {"init-values-map": $init,
    "distribution-masks": <[]|[$road]>, "convert-area": <0.3|0.5|1|0.05|0|1e-9|1.5|"abc">,
    "debug-maps": "no", "output": "$dir/pre.asc"}, "process": {"functions-weight": [$functions],
    "pinit": <0.5|0|1|1.5>, "tinit": <1|0|100|1e30>, "tnext": <0.9|0|1>,
    "nmovs": <50|0|1|1e2|2.5|200>, "nstages": <3|0|1|5>, "kb": <1|0|100|1e9>,
    "random-select": "<no|yes>", "distance-masks": <[]|[$mask]>, "distance-maps": <[]|[$pot]>,
    "debug-maps": "no", "debug-evolution": "<no|yes>", "autotunning": "<no|no|yes>",
    "output": "$dir/proc.asc"}, "postprocess": {"select": {"purge-limit": <2|0|1|5|2147483648|-1>,
    "method-distance": {"distance-masks": <[]|[$mask]>, "distance-maps": <[]|[$pot]>,
    "minimum-distance-to-mask": <2|0|1|-1>, "minimum-cells-at-distance": <1|0|3>},
    "method-value": {"accumulated-value": <0.5|0|1|1.5>}}, "expand": {"assign-preference":
    "<random|large|small|bogus>", "basins-map": <""|$basins>, "minimim-cells-in-basin":
    <0|1|5|-1>}, "debug-maps": "no", "output": "$dir/post.asc", "output-mask": "$dir/mask.asc"}})";
  std::string config;
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] != '<') {
      config += text[at];
      continue;
    }
    std::vector<std::string> choices;
    std::stringstream choices_in(text.substr(at + 1, text.find('>', at) - at - 1));
    for (std::string choice; std::getline(choices_in, choice, '|');) choices.push_back(choice);
    config += in.pick(choices);
    at = text.find('>', at);
  }
  const std::pair<std::string, std::string> names[] = {
      {"$maps", pot + (two_maps ? ", " + pot2 : "")},
      {"$weights", weight_1 + (two_maps ? ", " + weight_2 : "")},
      {"$init", with_init ? init : "\"\""},
      {"$functions", functions},
      {"$mask", mask},
      {"$road", road},
      {"$pot", pot},
      {"$basins", basins},
      {"$dir", dir}};
  for (const auto& [name, value] : names) {
    for (size_t at; (at = config.find(name)) != std::string::npos;)
      config.replace(at, name.size(), value);
  }
  const unsigned seed = in.next();

  Scenario scenario;
  scenario.seed = seed;
  Run run;
  run.rng.draws_left = PIPELINE_DRAW_LIMIT;
  std::string failure;
  if (config_load_text(scenario.config, config.c_str()) <= 0)
    failure = "the generated configuration does not load";
  // "error.asc" goes to the current folder.
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  const std::function<void(const Scenario&, Run&)> stages[] = {
      run_preprocess_stage, run_process_stage, run_postprocess_stage};
  bool ended = !failure.empty();  // by a fatal error: the later stages are not run
  for (size_t k = 0; k < 3 && !ended; ++k) {
    ended = true;
    failure = expect_code({1, 2, 4, -1, -6}, "a stage", [&] {
      stages[k](scenario, run);
      ended = false;
    });
    if (run.rng.draw_limit_reached) failure = "the run did not end within its draws";
  }
  std::filesystem::current_path(previous);
  if (failure.empty()) failure = check_outputs(dir, static_cast<size_t>(rows * cols), with_init);
  return failure;
}
