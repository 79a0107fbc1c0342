#include "driver/cluster.h"

#include <algorithm>
#include <cstdlib>

#ifdef LANDALLOC_MPI
#include <mpi.h>
#endif

#ifdef LANDALLOC_MPI

namespace {

// MPI counts are ints: large texts and grids travel in blocks below that limit.
constexpr size_t BLOCK = size_t{1} << 30;

}  // namespace

void cluster_send(int to, const std::string& bytes) {
  const uint64_t size = bytes.size();
  MPI_Send(&size, 1, MPI_UINT64_T, to, 0, MPI_COMM_WORLD);
  for (size_t at = 0; at < bytes.size(); at += BLOCK) {
    const int count = static_cast<int>(std::min(BLOCK, bytes.size() - at));
    MPI_Send(bytes.data() + at, count, MPI_CHAR, to, 0, MPI_COMM_WORLD);
  }
}

std::string cluster_receive(int from) {
  uint64_t size = 0;
  MPI_Recv(&size, 1, MPI_UINT64_T, from, 0, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  std::string bytes(size, '\0');
  for (size_t at = 0; at < bytes.size(); at += BLOCK) {
    const int count = static_cast<int>(std::min(BLOCK, bytes.size() - at));
    MPI_Recv(&bytes[at], count, MPI_CHAR, from, 0, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  }
  return bytes;
}

bool cluster_built_with_mpi() {
  return true;
}

Cluster cluster_start(int* argc, char*** argv) {
  // Started by hand rather than by a launcher (mpirun, srun), the program is a job of one and
  // needs nothing of MPI, whose runtime would start a daemon of its own for a lone process.
  const bool launched = std::getenv("OMPI_COMM_WORLD_SIZE") != nullptr ||
                        std::getenv("PMIX_RANK") != nullptr || std::getenv("PMI_RANK") != nullptr ||
                        std::getenv("PMI_SIZE") != nullptr;
  if (!launched) return Cluster{};
  // Runs of one process use several threads; one of them at a time talks to the others.
  int provided = 0;
  MPI_Init_thread(argc, argv, MPI_THREAD_SERIALIZED, &provided);
  // An error in a call ends the job, as MPI does by default; said here so that no call is left
  // to return an error code nobody reads.
  MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_ARE_FATAL);
  Cluster cluster;
  MPI_Comm_rank(MPI_COMM_WORLD, &cluster.rank);
  MPI_Comm_size(MPI_COMM_WORLD, &cluster.size);
  return cluster;
}

// A job of one may not have started MPI at all: every call below leaves MPI alone then.
static bool mpi_running() {
  int initialized = 0, finalized = 0;
  MPI_Initialized(&initialized);
  MPI_Finalized(&finalized);
  return initialized && !finalized;
}

void cluster_finish(const Cluster&) {
  if (mpi_running()) MPI_Finalize();
}

uint64_t cluster_broadcast(const Cluster& cluster, uint64_t value) {
  if (cluster.size == 1) return value;
  MPI_Bcast(&value, 1, MPI_UINT64_T, 0, MPI_COMM_WORLD);
  return value;
}

Agreement cluster_agree(const Cluster& cluster, bool ok) {
  if (cluster.size == 1) return Agreement{ok, ok};
  const int mine = ok ? 1 : 0;
  int all = 0, any = 0;
  MPI_Allreduce(&mine, &all, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  MPI_Allreduce(&mine, &any, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  return Agreement{all == 1, any == 1};
}

std::vector<std::string> cluster_gather(const Cluster& cluster, const std::string& bytes) {
  std::vector<std::string> all;
  if (cluster.rank != 0) {
    cluster_send(0, bytes);
    return all;
  }
  all.push_back(bytes);
  for (int from = 1; from < cluster.size; ++from) all.push_back(cluster_receive(from));
  return all;
}

std::string cluster_fetch(const Cluster& cluster, int from, const std::string& bytes) {
  if (from == 0) return cluster.rank == 0 ? bytes : std::string();
  if (cluster.rank == from) cluster_send(0, bytes);
  return cluster.rank == 0 ? cluster_receive(from) : std::string();
}

void cluster_sum(const Cluster& cluster, std::vector<uint32_t>& counts) {
  if (cluster.size == 1) return;
  for (size_t at = 0; at < counts.size(); at += BLOCK / sizeof(uint32_t)) {
    const int count = static_cast<int>(std::min(BLOCK / sizeof(uint32_t), counts.size() - at));
    if (cluster.rank == 0) {
      MPI_Reduce(MPI_IN_PLACE, counts.data() + at, count, MPI_UINT32_T, MPI_SUM, 0, MPI_COMM_WORLD);
    } else {
      MPI_Reduce(counts.data() + at, nullptr, count, MPI_UINT32_T, MPI_SUM, 0, MPI_COMM_WORLD);
    }
  }
}

void cluster_abort(int code) {
  const bool running = mpi_running();
  int size = 1;
  if (running) MPI_Comm_size(MPI_COMM_WORLD, &size);
  // The others may be blocked in a collective call waiting for this process: only MPI_Abort
  // ends them. A job of one has nobody waiting and leaves quietly, with its own exit code.
  if (size > 1) MPI_Abort(MPI_COMM_WORLD, code);
  if (running) MPI_Finalize();
  std::exit(code);
}

#else

bool cluster_built_with_mpi() {
  return false;
}

Cluster cluster_start(int*, char***) {
  return Cluster{};
}

void cluster_finish(const Cluster&) {}

uint64_t cluster_broadcast(const Cluster&, uint64_t value) {
  return value;
}

Agreement cluster_agree(const Cluster&, bool ok) {
  return Agreement{ok, ok};
}

std::vector<std::string> cluster_gather(const Cluster&, const std::string& bytes) {
  return {bytes};
}

std::string cluster_fetch(const Cluster&, int, const std::string& bytes) {
  return bytes;
}

void cluster_send(int, const std::string&) {}

std::string cluster_receive(int) {
  return std::string();
}

void cluster_sum(const Cluster&, std::vector<uint32_t>&) {}

void cluster_abort(int code) {
  std::exit(code);
}

#endif
