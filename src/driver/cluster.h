// The processes of an MPI job that share the repeats of a scenario: which process this is, the
// seed of process 0 for all, what the others send process 0, and the end of the whole job when
// one process fails. Built without MPI, the same calls describe a job of one process, so the
// driver has one path whichever way it was built.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// This process's place in the job.
struct Cluster {
  int rank = 0;  ///< 0 gathers and writes everything
  int size = 1;
};

/// Whether the program was built with MPI.
bool cluster_built_with_mpi();

/// Joins the job (MPI may take its own arguments out of the command line); a job of one process
/// when built without MPI or started without an MPI launcher.
Cluster cluster_start(int* argc, char*** argv);

/// Leaves the job at the normal end of the program.
void cluster_finish(const Cluster& cluster);

/// Process 0's `value`, on every process.
uint64_t cluster_broadcast(const Cluster& cluster, uint64_t value);

/// Whether `ok` holds on every process, and whether on any.
struct Agreement {
  bool all;
  bool any;
};
Agreement cluster_agree(const Cluster& cluster, bool ok);

/// Every process's `bytes` at process 0, in process order (its own first); empty elsewhere.
std::vector<std::string> cluster_gather(const Cluster& cluster, const std::string& bytes);

/// The bytes process `from` gives, at process 0 (process 0's own when `from` is 0); empty
/// elsewhere. Every process calls it; only `from` reads its `bytes`.
std::string cluster_fetch(const Cluster& cluster, int from, const std::string& bytes);

/// Sends `bytes` to process `to`, which takes them with cluster_receive. Only one thread of a
/// process may talk to the others at a time.
void cluster_send(int to, const std::string& bytes);

/// The bytes process `from` sends next with cluster_send.
std::string cluster_receive(int from);

/// Adds every process's `counts`, cell by cell, into process 0's; the others' are left as they are.
/// All processes give the same number of counts.
void cluster_sum(const Cluster& cluster, std::vector<uint32_t>& counts);

/// Ends the whole job with `code` once the caller has printed why: every process, also those
/// waiting for this one in a collective call. A job of one process just exits.
[[noreturn]] void cluster_abort(int code);
