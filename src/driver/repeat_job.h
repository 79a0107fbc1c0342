// The repeats of a scenario shared by the processes of an MPI job: run r goes to process
// (r - 1) mod P, each process runs its share on its threads, and process 0 gathers what the runs
// gave (the summaries and logs of every run, with each land use's columns when there are several,
// the frequency counts, also per use, once per process, the best run's maps from the process that
// ran it), for merge_repeats to turn into the outputs. A job of one process runs every
// run itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/cluster.h"
#include "driver/repeats.h"

/// The run numbers of `repeats` that process `cluster` runs.
RunSeries repeat_job_share(int32_t repeats, const Cluster& cluster);

/// The runs of a process, as it sends them to process 0.
std::string repeat_job_pack_runs(const std::vector<RepeatRunResult>& runs);

/// The runs of `bytes` into `runs`; false when `bytes` is not a whole packing.
bool repeat_job_unpack_runs(const std::string& bytes, std::vector<RepeatRunResult>& runs);

/// The best run's maps, as the process that ran it sends them.
std::string repeat_job_pack_maps(const RepeatMaps& maps);

/// The maps of `bytes`; false when `bytes` is not a whole packing.
bool repeat_job_unpack_maps(const std::string& bytes, RepeatMaps& maps);

/// What process 0 has of the job's repeats once every process is done.
struct RepeatJobResult {
  std::vector<RepeatRunResult> runs;  ///< every run, with its log, in run order
  RepeatSetResult set;                ///< the counts of every run, the best run's maps
};

/// Runs this process's share of the repeats and, at process 0, returns what every process gave
/// (nothing elsewhere). Each process keeps its runs whole until the end, when they all travel to
/// process 0 at once; a run that fails ends the job from the process that ran it, with its log
/// and exit code.
RepeatJobResult repeat_job_run(const Scenario& scenario, const RepeatShared& shared,
                               const RepeatOptions& options, const Cluster& cluster);
