// The repeats of a scenario shared by the processes of an MPI job: run r goes to process
// (r - 1) mod P, each process runs its share on its threads, and process 0 gathers what the runs
// gave (the summaries and logs of every run, with each land use's columns when there are several,
// the frequency counts, also per use, once per process, the best run's maps from the process that
// ran it) into the sets that merge_repeats turns into the outputs. A job of one process runs every
// run itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/cluster.h"
#include "driver/repeats.h"

/// The run numbers of `repeats` that process `cluster` runs, ascending.
std::vector<int32_t> repeat_job_share(int32_t repeats, const Cluster& cluster);

/// The runs of a set and the index of its best run, as a process sends them to process 0.
std::string repeat_job_pack_runs(const RepeatSetResult& set);

/// The runs and the best index of `bytes` into `set` (its counts and maps are left alone); false
/// when `bytes` is not a whole packing.
bool repeat_job_unpack_runs(const std::string& bytes, RepeatSetResult& set);

/// The best run's maps, as the process that ran it sends them.
std::string repeat_job_pack_maps(const RepeatMaps& maps);

/// The maps of `bytes`; false when `bytes` is not a whole packing.
bool repeat_job_unpack_maps(const std::string& bytes, RepeatMaps& maps);

/// Runs this process's share of the repeats and, at process 0, returns the sets of every process
/// for merge_repeats (empty elsewhere). Process 0 prints every run's log in run order; a run that
/// fails ends the job from the process that ran it, with its log and exit code.
std::vector<RepeatSetResult> repeat_job_run(const Scenario& scenario, const RepeatShared& shared,
                                            const RepeatOptions& options, const Cluster& cluster);
