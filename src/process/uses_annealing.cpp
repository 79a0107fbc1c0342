#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/log.h"
#include "base/random.h"
#include "process/annealing.h"
#include "process/energy.h"
#include "process/moves.h"
#include "process/uses_run.h"

namespace {

// The annealing of several uses at once. Each use keeps its own moves and running sums on its
// view of the map (its new cells allocated, the cells it may take free, every other cell never
// allocated); all views share one run, so that every draw comes from the run's generator. A move
// either takes a cell out of one use and puts a free cell in the same use, or swaps the uses of
// two cells; the sides the uses share are priced around the cells that change.
struct JointAnnealing {
  // Each use's view, its moves drawn from `rng` as the run's own generator.
  JointAnnealing(UsesRun& run, const ProcessParameters& p, const Rng& rng)
      : u(run), parameters(p), energy(run.states.size()) {
    shared.geometry = u.geometry;
    shared.rng = rng;
    shared.in_memory = true;
    shared.write_files = false;
    for (size_t k = 0; k < u.states.size(); ++k) {
      const UseState& s = u.states[k];
      auto view = std::make_unique<ProcessRun>(s.scenario, shared);
      view->inputs = s.inputs.get();
      view->maps = maps_allocate_quiet(u.geometry, 1);
      view->working_cell_value = u.uses.uses[k].value;
      view->parameters = s.params.annealing;
      uses_prepare_energy(*view, s);
      views.push_back(std::move(view));
    }
    slot.assign(views[0]->inputs->records.grid.cells, 0);
  }
  UsesRun& u;
  const ProcessParameters& parameters;
  Run shared;
  std::vector<std::unique_ptr<ProcessRun>> views;
  std::vector<uint32_t> slot;  ///< bordered: a new cell's place in its use's list of cells
  std::vector<double> energy;  ///< each use's energy, from its running sums
  double adjacency = 0.0;
  double kb = 0.0;
  double temperature = 0.0;
  /// The map of lowest energy at a stage's end, kept with "process.keep-best" or a time limit.
  bool keep = false;
  double best = std::numeric_limits<double>::infinity();
  Labels best_label;
  int64_t accepts = 0, boltzmann = 0, rejections = 0;

  size_t K() const { return views.size(); }
  double total() const {
    double e = adjacency;
    for (double x : energy) e += x;
    return e;
  }
  const BorderedGrid& grid() const { return views[0]->states.grid; }
  size_t plain(size_t b) const {
    return (b / grid().stride - 1) * static_cast<size_t>(grid().ncols) + b % grid().stride - 1;
  }
};

// Use k's view, from the labels: its states, its list of cells, and its energy.
void load_view(JointAnnealing& j, size_t k) {
  ProcessRun& p = *j.views[k];
  const std::vector<float> view = uses_block_map(j.u, k, true);
  std::copy(view.begin(), view.end(), p.maps.map(PROCESS_SOLUTION_MAP));
  moves_index(p);
  for (size_t slot = 0; slot < p.allocated.cells.size(); ++slot)
    j.slot[p.allocated.cells[slot]] = static_cast<uint32_t>(slot);
  j.energy[k] = energy_evaluate(p);
}

void load_views(JointAnnealing& j) {
  for (size_t k = 0; k < j.K(); ++k) load_view(j, k);
  j.adjacency = uses_adjacency_energy(j.u);
}

// A cell of another use (or a free one) opened to, or closed to, use l's view.
void set_view_cell(JointAnnealing& j, size_t l, size_t b, bool free) {
  ProcessRun& p = *j.views[l];
  uint8_t& byte = p.states.state.get()[b];
  const CellRecords& records = p.inputs->records;
  p.allocated.receivers -= cell_receives(records, byte, b) ? 1 : 0;
  state_set(byte, free ? STATE_FREE : STATE_OTHER);
  p.allocated.receivers += cell_receives(records, byte, b) ? 1 : 0;
}

// The adjacency term of the sides at the cells `a` and `b` (plain indices), each side once.
double local_adjacency(const UsesRun& u, size_t a, size_t b) {
  const size_t K = u.uses.uses.size();
  double sum = 0.0;
  for (const size_t c : {a, b}) {
    const int32_t x = u.use_at(c);
    if (x < 0) continue;
    uses_for_each_side(u.geometry, c, [&](size_t e) {
      const int32_t y = u.use_at(e);
      if ((c == b && e == a) || y < 0 || y == x || (u.label[c] == 0 && u.label[e] == 0)) return;
      sum += u.uses.adjacency[static_cast<size_t>(x) * K + static_cast<size_t>(y)];
    });
  }
  return sum / u.adjacency_range;
}

// The Metropolis rule on a change of the whole energy by `delta`.
bool joint_accepts(JointAnnealing& j, double delta, bool uphill) {
  if (delta <= 0.0) return true;
  return uphill && boltzmann_accepts(-delta * j.kb / j.temperature, rand15(j.shared.rng));
}

// A new cell of any use, each as likely: its use and its slot in that use's list.
std::pair<size_t, size_t> draw_new_cell(JointAnnealing& j) {
  int64_t cells = 0;
  for (const auto& v : j.views) cells += static_cast<int64_t>(v->allocated.cells.size());
  auto t = static_cast<size_t>(rand_index64(j.shared.rng, cells));
  size_t use = 0;
  while (t >= j.views[use]->allocated.cells.size()) t -= j.views[use++]->allocated.cells.size();
  return {use, t};
}

// What became of a move.
enum class Joint { none, rejected, kept, kept_uphill };

// One move, of a kind drawn: a use's own or a swap; none when the cells drawn cannot make one.
// `delta` is the change of the energy it proposed.
Joint joint_move(JointAnnealing& j, bool uphill, double* delta) {
  UsesRun& u = j.u;
  Rng& rng = j.shared.rng;
  const bool swap = j.K() > 1 && (rand_next(rng) & 1u) != 0;
  const auto [a, t] = draw_new_cell(j);
  ProcessRun& pa = *j.views[a];
  if (!swap) {
    if (pa.allocated.receivers <= 0) return Joint::none;
    const double after = propose_move(pa);
    const size_t out = pa.move.out, in = pa.move.in;
    const size_t po = j.plain(out), pi = j.plain(in);
    const double before_adj = local_adjacency(u, po, pi);
    u.label[po] = 0;
    u.label[pi] = static_cast<UseLabel>(a + 1);
    const double adj = local_adjacency(u, po, pi) - before_adj;
    *delta = after - j.energy[a] + adj;
    if (!joint_accepts(j, *delta, uphill)) {
      u.label[po] = static_cast<UseLabel>(a + 1);
      u.label[pi] = 0;
      undo_move(pa);
      return Joint::rejected;
    }
    commit_move(pa);
    j.slot[in] = static_cast<uint32_t>(pa.allocated.drawn);
    for (size_t l = 0; l < j.K(); ++l) {
      if (l == a) continue;
      set_view_cell(j, l, out, land_use_may_take(u.uses.uses[l], u.base[po]));
      set_view_cell(j, l, in, false);
    }
    j.energy[a] = after;
    j.adjacency += adj;
    return *delta > 0.0 ? Joint::kept_uphill : Joint::kept;
  }
  // The partner: a side neighbour half the time, else any new cell.
  const size_t i = pa.allocated.cells[t];
  size_t other;
  if ((rand_next(rng) & 1u) != 0) {
    const size_t stride = j.grid().stride;
    const size_t offsets[4] = {static_cast<size_t>(0) - stride, stride, static_cast<size_t>(0) - 1,
                               1};
    other = i + offsets[rand_index(rng, 4)];
  } else {
    const auto [c, slot] = draw_new_cell(j);
    other = j.views[c]->allocated.cells[slot];
  }
  const size_t pi = j.plain(i);
  const int32_t row = static_cast<int32_t>(other / j.grid().stride) - 1;
  const int32_t col = static_cast<int32_t>(other % j.grid().stride) - 1;
  if (row < 0 || row >= j.grid().nrows || col < 0 || col >= j.grid().ncols) return Joint::none;
  const size_t po = j.plain(other);
  const int32_t lb = u.label[po];
  if (lb <= 0 || static_cast<size_t>(lb - 1) == a) return Joint::none;
  const auto b = static_cast<size_t>(lb - 1);
  ProcessRun& pb = *j.views[b];
  if (!land_use_may_take(u.uses.uses[a], u.base[po]) ||
      !land_use_may_take(u.uses.uses[b], u.base[pi]))
    return Joint::none;
  uint8_t* sa = pa.states.state.get();
  uint8_t* sb = pb.states.state.get();
  if (!selection_receives(cell_selection(pa.inputs->records, sa[other], other)) ||
      !selection_receives(cell_selection(pb.inputs->records, sb[i], i)))
    return Joint::none;
  pa.allocated.drawn = j.slot[i];
  pb.allocated.drawn = j.slot[other];
  pa.move.out = i;
  pa.move.in = other;
  pb.move.out = other;
  pb.move.in = i;
  for (uint8_t* s : {sa, sb}) {
    state_set(s[i], STATE_MARKED);
    state_set(s[other], STATE_MARKED);
  }
  const double after_a = evaluate_move(pa);
  const double after_b = evaluate_move(pb);
  const double before_adj = local_adjacency(u, pi, po);
  u.label[pi] = static_cast<UseLabel>(b + 1);
  u.label[po] = static_cast<UseLabel>(a + 1);
  const double adj = local_adjacency(u, pi, po) - before_adj;
  *delta = after_a - j.energy[a] + after_b - j.energy[b] + adj;
  if (!joint_accepts(j, *delta, uphill)) {
    u.label[pi] = static_cast<UseLabel>(a + 1);
    u.label[po] = static_cast<UseLabel>(b + 1);
    undo_move(pa);
    undo_move(pb);
    state_set(sa[other], STATE_OTHER);
    state_set(sb[i], STATE_OTHER);
    return Joint::rejected;
  }
  // Each view's commit counts the cell it took as a free one it lost and the cell it gave as
  // one it gained; neither is free to it afterwards.
  for (ProcessRun* p : {&pa, &pb}) {
    const CellRecords& records = p->inputs->records;
    uint8_t* s = p->states.state.get();
    commit_move(*p);
    state_set(s[p->move.out], STATE_OTHER);
    p->allocated.receivers -=
        static_cast<int64_t>(
            selection_receives(cell_selection(records, s[p->move.out], p->move.out))) -
        static_cast<int64_t>(
            selection_receives(cell_selection(records, s[p->move.in], p->move.in)));
  }
  std::swap(j.slot[i], j.slot[other]);
  j.energy[a] = after_a;
  j.energy[b] = after_b;
  j.adjacency += adj;
  return *delta > 0.0 ? Joint::kept_uphill : Joint::kept;
}

void joint_listing_line(JointAnnealing& j, FILE* file, int32_t stage, int64_t accepts,
                        int64_t boltzmann) {
  const double nmovs = static_cast<double>(j.parameters.nmovs);
  std::fprintf(file, "%d %f %f %.2f %.2f", stage, j.temperature, j.total(),
               static_cast<double>(accepts) / nmovs, static_cast<double>(boltzmann) / nmovs);
  for (const auto& v : j.views) {
    double terms[ENERGY_TERMS];
    energy_terms(v->energy, terms);
    for (double t : terms) std::fprintf(file, " %f", t);
  }
  std::fputs("\n", file);
  std::fflush(file);
}

// Stages of `nmovs` moves from the handed labels at the temperature `tinit` cooled by `tnext`
// (uphill moves only when `uphill`); returns the stage's share of kept moves that ended a try
// early (below 1 % in the first half, with `retries` left), or -1 when it ran to the end. The dry
// run adds the rejected differences of its last stage to `rejected`.
double joint_stages(JointAnnealing& j, const Labels& handed, int32_t stages, int64_t nmovs,
                    float tnext, bool uphill, bool retries, FILE* listing,
                    std::pair<double, int64_t>* rejected) {
  j.u.label = handed;
  load_views(j);
  j.temperature = static_cast<double>(j.parameters.tinit);
  log_message("  stage:");
  for (int32_t s = 0; s < stages; ++s) {
    int64_t kept = 0, up = 0;
    if (rejected != nullptr) *rejected = {0.0, 0};
    for (int64_t m = 0; m < nmovs; ++m) {
      double delta = 0.0;
      const Joint outcome = joint_move(j, uphill, &delta);
      kept += outcome == Joint::kept || outcome == Joint::kept_uphill ? 1 : 0;
      up += outcome == Joint::kept_uphill ? 1 : 0;
      if (outcome == Joint::rejected && rejected != nullptr) {
        rejected->first += std::fabs(delta);
        ++rejected->second;
      }
    }
    // The full evaluation of every use brings the running sums and island counts back in line.
    // The views are loaded again from the labels: a cell a swap gave away holds its old use's
    // code in that use's map until then.
    load_views(j);
    log_message(" %d", s);
    j.accepts += kept;
    j.boltzmann += up;
    j.rejections += nmovs - kept;
    if (listing != nullptr) joint_listing_line(j, listing, s, kept, up);
    if (j.keep && j.total() < j.best) {
      j.best = j.total();
      j.best_label = j.u.label;
    }
    if (j.u.deadline && steady_seconds() >= *j.u.deadline) {
      // The dry run (the one that gathers rejections) ends as quietly as one use's.
      log_message(rejected != nullptr ? "\n" : "\n  time limit reached after stage %d\n", s);
      return -1.0;
    }
    if (retries && nmovs > 0 && static_cast<double>(kept) / static_cast<double>(nmovs) < 0.01 &&
        s < static_cast<int32_t>(std::floor(stages * 0.5))) {
      log_message("\n");
      return static_cast<double>(kept) / static_cast<double>(nmovs);
    }
    j.temperature *= static_cast<double>(tnext);
  }
  log_message("\n");
  return -1.0;
}

}  // namespace

// Stages of the annealing of every use at once from the handed map, after a dry run that sets
// the factor k in the autotuning mode, and re-tries with slower cooling when the acceptance
// collapses early, as for one use; leaves the labels and the uses' energies at the last stage.
void uses_anneal(UsesRun& u, Run& run) {
  const ProcessStageParameters& first = u.states[0].params;
  ProcessParameters parameters = first.annealing;
  JointAnnealing j(u, parameters, run.rng);
  const Labels handed = u.label;
  EvolutionListing listing;
  std::string header = "# stage T E accpt boltz";
  for (const LandUse& use : u.uses.uses)
    for (int32_t t = 1; t <= ENERGY_TERMS; ++t) header += " " + use.name + ".f" + std::to_string(t);
  open_evolution_listing(first, run, listing, header + "\n");
  if (first.autotuning) {
    log_message("dryrun execution\n");
    std::pair<double, int64_t> rejected;
    const int64_t nmovs = 2 * static_cast<int64_t>(u.cells());
    joint_stages(j, handed, DRY_RUN_STAGES, nmovs, parameters.tnext, false, false, nullptr,
                 &rejected);
    j.kb = autotune_factor(parameters, rejected.first, rejected.second);
    parameters.nmovs = nmovs;
    log_message("changes\n");
    log_message("  nmovs %" PRId64 "\n", parameters.nmovs);
    log_message("  kb %f\n", j.kb);
  } else {
    j.kb = parameters.kb;
  }
  j.keep = parameters.keep_best || u.deadline.has_value();
  for (int32_t retries = first.autotuning ? 4 : 0;; --retries) {
    j.best = std::numeric_limits<double>::infinity();
    log_message("new try\n");
    log_message("execution\n");
    j.accepts = j.boltzmann = j.rejections = 0;
    if (joint_stages(j, handed, parameters.nstages, parameters.nmovs * static_cast<int64_t>(j.K()),
                     parameters.tnext, true, retries > 0, listing.file, nullptr) < 0.0)
      break;
    log_message("  acceptance values too low!\n");
    log_message("  processing...\n");
    parameters.tnext = raised_cooling_factor(parameters.tnext);
    log_message("    tnext %f\n", static_cast<double>(parameters.tnext));
    if (parameters.tnext >= 1.0f) fatal(1, "** error fatal con el reescalado!\n");
  }
  if (j.keep) {
    log_message("  best %f\n", j.best);
    if (j.best < j.total()) j.u.label = j.best_label;
  }
  log_message("  stats\n");
  log_message("    %" PRId64 " accepts (%" PRId64 " by boltz prob)\n", j.accepts, j.boltzmann);
  log_message("    %" PRId64 " rejections\n", j.rejections);
  close_evolution_listing(listing);
  run.rng = j.shared.rng;
}
