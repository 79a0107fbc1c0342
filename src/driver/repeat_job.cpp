#include "driver/repeat_job.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <type_traits>

#include "base/log.h"

namespace {

// The processes of a job run the same program on the same kind of machine: values travel as
// their bytes.
template <typename T>
void put(std::string& bytes, const T& value) {
  static_assert(std::is_trivially_copyable<T>::value, "sent as its bytes");
  bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void put_text(std::string& bytes, const std::string& text) {
  put(bytes, static_cast<uint64_t>(text.size()));
  bytes += text;
}

void put_map(std::string& bytes, const std::vector<float>& map) {
  put(bytes, static_cast<uint64_t>(map.size()));
  bytes.append(reinterpret_cast<const char*>(map.data()), map.size() * sizeof(float));
}

/// Reads back what put wrote, in the same order; stays failed after the first short read.
struct Reader {
  const std::string& bytes;
  size_t at = 0;
  bool ok = true;

  template <typename T>
  T get() {
    T value{};
    if (!take(&value, sizeof value)) return T{};
    return value;
  }
  bool take(void* to, size_t size) {
    ok = ok && bytes.size() - at >= size;
    if (!ok) return false;
    // An empty map has no storage to copy into.
    if (size > 0) std::memcpy(to, bytes.data() + at, size);
    at += size;
    return true;
  }
  std::string text() {
    const uint64_t size = get<uint64_t>();
    ok = ok && bytes.size() - at >= size;
    if (!ok) return std::string();
    std::string value = bytes.substr(at, size);
    at += size;
    return value;
  }
  std::vector<float> map() {
    const uint64_t size = get<uint64_t>();
    ok = ok && (bytes.size() - at) / sizeof(float) >= size;
    if (!ok) return {};
    std::vector<float> value(size);
    take(value.data(), size * sizeof(float));
    return value;
  }
};

std::string pack_normalisers(const std::vector<Normalisers>& normalisers) {
  std::string bytes;
  for (const Normalisers& n : normalisers) put(bytes, n);
  return bytes;
}

}  // namespace

RunSeries repeat_job_share(int32_t repeats, const Cluster& cluster) {
  const int32_t count =
      repeats > cluster.rank ? (repeats - cluster.rank - 1) / cluster.size + 1 : 0;
  return {cluster.rank + 1, cluster.size, count};
}

std::string repeat_job_pack_runs(const std::vector<RepeatRunResult>& runs) {
  std::string bytes;
  put(bytes, static_cast<uint64_t>(runs.size()));
  for (const RepeatRunResult& run : runs) {
    put(bytes, run.run);
    put(bytes, run.seed);
    put(bytes, run.done);
    put(bytes, run.fatal_code);
    put(bytes, run.energy);
    put(bytes, run.seconds);
    put(bytes, run.lower_bound.has_value());
    put(bytes, run.lower_bound.value_or(0.0));
    put(bytes, run.measures);
    put_text(bytes, run.log);
    put(bytes, static_cast<uint64_t>(run.uses.size()));
    for (const UseColumns& use : run.uses) {
      put_text(bytes, use.name);
      put(bytes, use.energy);
      put(bytes, use.measures);
    }
    put(bytes, static_cast<uint64_t>(run.pairs.size()));
    for (const PairColumns& pair : run.pairs) put(bytes, pair);
  }
  return bytes;
}

bool repeat_job_unpack_runs(const std::string& bytes, std::vector<RepeatRunResult>& runs) {
  Reader in{bytes};
  const uint64_t count = in.get<uint64_t>();
  runs.clear();
  for (uint64_t k = 0; k < count && in.ok; ++k) {
    RepeatRunResult run;
    run.run = in.get<int32_t>();
    run.seed = in.get<uint64_t>();
    run.done = in.get<bool>();
    run.fatal_code = in.get<int>();
    run.energy = in.get<MapEnergy>();
    run.seconds = in.get<double>();
    const bool bounded = in.get<bool>();
    const double bound = in.get<double>();
    if (bounded) run.lower_bound = bound;
    run.measures = in.get<RunMeasures>();
    run.log = in.text();
    const uint64_t uses = in.get<uint64_t>();
    for (uint64_t u = 0; u < uses && in.ok; ++u) {
      UseColumns use;
      use.name = in.text();
      use.energy = in.get<MapEnergy>();
      use.measures = in.get<RunMeasures>();
      run.uses.push_back(std::move(use));
    }
    const uint64_t pairs = in.get<uint64_t>();
    for (uint64_t p = 0; p < pairs && in.ok; ++p) run.pairs.push_back(in.get<PairColumns>());
    runs.push_back(std::move(run));
  }
  return in.ok && in.at == bytes.size();
}

std::string repeat_job_pack_maps(const RepeatMaps& maps) {
  std::string bytes;
  put_map(bytes, maps.preprocess_output.unpack());
  put_map(bytes, maps.process_output.unpack());
  put_map(bytes, maps.postprocess_output.unpack());
  put(bytes, maps.working_cell_value);
  return bytes;
}

bool repeat_job_unpack_maps(const std::string& bytes, RepeatMaps& maps) {
  Reader in{bytes};
  maps.preprocess_output = in.map();
  maps.process_output = in.map();
  maps.postprocess_output = in.map();
  maps.working_cell_value = in.get<float>();
  return in.ok && in.at == bytes.size();
}

RepeatJobResult repeat_job_run(const Scenario& scenario, const RepeatShared& shared,
                               const RepeatOptions& options, const Cluster& cluster) {
  const RunSeries runs = repeat_job_share(options.repeats, cluster);
  // Runs compare by the normalisers run 1 fixes. Process 0 runs it and hands them to every other
  // process with runs, which waits for them only once its own first run is done.
  const int receivers = std::min<int32_t>(cluster.size, options.repeats);
  // One set of normalisers per land use.
  const size_t sets_of_normalisers = std::max<size_t>(1, shared.uses.uses.size());
  std::function<std::vector<Normalisers>()> common;
  if (cluster.rank != 0) {
    common = [sets_of_normalisers] {
      std::vector<Normalisers> normalisers(sets_of_normalisers);
      const std::string bytes = cluster_receive(0);
      if (bytes.size() != sizeof(Normalisers) * normalisers.size())
        fatal(1, "error: damaged message from process 0!\n");
      std::memcpy(normalisers.data(), bytes.data(), bytes.size());
      return normalisers;
    };
  }
  RepeatJobResult job;
  RepeatSetResult mine =
      run_repeat_set(scenario, shared, options, runs, common, [&](RepeatRunResult& result) {
        if (cluster.rank == 0 && result.run == 1 && result.done) {
          for (int to = 1; to < receivers; ++to)
            cluster_send(to, pack_normalisers(repeat_normalisers(result)));
        }
        job.runs.push_back(std::move(result));
      });
  // A failed run ends the job from here, with its log, whatever the others are doing.
  if (mine.stopped) {
    log_message("%s", job.runs.back().log.c_str());
    fatal_exit(*mine.stopped);
  }

  // The counts travel once per process, summed; the runs' summaries and logs once per run; the
  // maps of the best run only, from the process that ran it: run r's is process (r - 1) mod P.
  const std::vector<std::string> packed = cluster_gather(cluster, repeat_job_pack_runs(job.runs));
  cluster_sum(cluster, mine.counts);
  cluster_sum(cluster, mine.use_counts);
  int owner = 0;
  if (cluster.rank == 0) {
    for (size_t p = 1; p < packed.size(); ++p) {
      std::vector<RepeatRunResult> theirs;
      if (!repeat_job_unpack_runs(packed[p], theirs))
        fatal(1, "error: damaged message from process %zu!\n", p);
      std::move(theirs.begin(), theirs.end(), std::back_inserter(job.runs));
    }
    std::sort(job.runs.begin(), job.runs.end(),
              [](const RepeatRunResult& a, const RepeatRunResult& b) { return a.run < b.run; });
    const RepeatRunResult* best = nullptr;
    for (const RepeatRunResult& run : job.runs)
      if (best == nullptr || repeat_better(run, *best)) best = &run;
    if (best != nullptr) owner = (best->run - 1) % cluster.size;
  }
  owner = static_cast<int>(cluster_broadcast(cluster, static_cast<uint64_t>(owner)));
  const std::string maps = cluster_fetch(
      cluster, owner,
      cluster.rank == owner && owner != 0 ? repeat_job_pack_maps(mine.best_maps) : std::string());
  if (cluster.rank != 0) return RepeatJobResult();
  if (owner != 0 && !repeat_job_unpack_maps(maps, mine.best_maps))
    fatal(1, "error: damaged message from process %d!\n", owner);
  job.set = std::move(mine);
  return job;
}
