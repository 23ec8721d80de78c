// Maps of the hyperbolic parameters. A rectangle of parameters (a, b) is cut
// into a grid of cells; each cell is verified on its own with the driver,
// within a work budget; a cell that is not proven is cut into four where
// there is evidence that its children can be proved, down to a minimum
// width. Finished cells go to a ledger, one line each, so that a map can be
// stopped and continued, on threads of one process or on the ranks of an
// MPI job.
//
// Which cells a map holds depends only on the settings and on the verdicts
// of its cells, never on the order in which they finish: the cells form the
// least set that holds the first grid and is closed under two rules, both
// monotone in the verdicts known. A cell that is not proven is split when
//  1. a point of it was proved within the probe's budget: its own centre,
//     or the centre of a cell it was split from (a corner or a point of an
//     edge of it): refinement closes in on every proved point, which finds
//     islands of hyperbolic parameters that a probe has hit;
//  2. it shares a piece of an edge with a proven cell: refinement follows
//     the boundary of the proven region.
#pragma once

#include <csignal>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/params.h"

namespace vesk {

// Deepest split of a first cell the settings may ask for: 2^24 cells per
// side is far below what a map can ever verify, and far above the width at
// which the doubles of a cell's ends run out.
constexpr int kSweepMaxLevels = 24;

// The arguments that decide which cells a map verifies and how; two runs
// with equal settings make the same cells with the same verdicts.
struct SweepSettings {
  Range a;
  Range b;
  int cells[2];         // first grid: cells along a, along b
  double minWidth[2];   // children narrower than this are not made (0: none)
  int levels;           // at most this many splits of a first cell (-1: none)
  int maxDepth;         // outer depth bound of each verification
  int64_t budget;       // work budget of a cell, in box-passes
  int64_t probeBudget;  // work budget of the probe at the centre of a first
                        // cell; halved at every split, down to budget / 16
};

// Defaults of the command line and of the library's callers.
constexpr int kSweepDefaultMaxDepth = 64;
constexpr int64_t kSweepDefaultBudget = 2000000;
// A cell's own verification gets at most this many times its centre's
// work (and at least a sixteenth of the budget).
constexpr int64_t kSweepCellToProbe = 16;
// The default probe budget of a first cell: half the cell's budget.
inline int64_t SweepProbeBudget(int64_t budget) { return budget / 2 > 0 ? budget / 2 : 1; }
// The probe budget of a cell of this level. The probes of wide cells are
// few and sample the whole rectangle, so they may go deep enough to hit
// islands of hyperbolic parameters; the probes of narrow cells are many
// and lie next to the proven region, where a cell is split anyway.
int64_t SweepProbeBudgetAt(const SweepSettings& settings, int level);

// A closed parameter box. Its id names its place: "i,j" for the cell of
// the first grid in column i (along a) and row j (along b), then one digit
// per split: 0 lower a and lower b, 1 upper a, 2 upper b, 3 upper both.
struct SweepCell {
  std::string id;
  int level;
  double a[2];
  double b[2];
};

// Why settings cannot make a map; empty when they can. Checks the
// rectangle (finite, lo < hi, an area the doubles can hold), the grid, the
// levels (0 to kSweepMaxLevels), the minimum widths (not below the
// rectangle's side over 2^kSweepMaxLevels), the depth bound and budget.
std::string SweepCheckSettings(const SweepSettings& settings);

// The cells of the first grid. Edges are computed once and shared by the
// neighbours on both sides, the outer ones are the rectangle's own ends, so
// the cells cover the rectangle without gaps.
std::vector<SweepCell> SweepFirstCells(const SweepSettings& settings);

// Whether a cell may be cut: within the levels, its children at least
// minWidth wide, and a midpoint strictly inside each side.
bool SweepSplits(const SweepSettings& settings, const SweepCell& cell);

// The four children of a cell, in the order of their last id digit; they
// share the cell's midpoints as edges and cover the cell.
std::vector<SweepCell> SweepChildren(const SweepCell& cell);

// The cell an id names under these settings (the first cell, then the
// children the digits choose, each of them a cell SweepSplits allows to
// cut). False when the id names no cell of this map.
bool SweepCellOf(const SweepSettings& settings, const std::string& id, SweepCell* cell);

// Whether two closed cells share a piece of an edge of positive length.
bool SweepBorder(const SweepCell& x, const SweepCell& y);

// What one verification of a cell found.
//  verdict "hyperbolic": the cell's verification printed "Hyperbolic!";
//  "not proven": it stopped, for the reason in stop; "refused": the input
//  check refused the cell; "incomplete": the memory budget stopped it (the
//  next run verifies it again).
//  stop: "proved", "probe" (the centre was not proved within the probe's
//  budget, so the cell was not verified), "budget", "depth" (the depth
//  bound), "limit" (the tree cannot be refined further), "memory",
//  "refused".
struct SweepResult {
  SweepCell cell;
  std::string verdict;
  std::string stop;
  std::string message;  // the verdict line, or why the cell was refused
  int passes;           // passes of the cell's own verification
  int maxBoxes;         // most boxes at the working depth in one pass
  int64_t work;         // box-passes of the cell (its probe's included)
  int depth;            // height of the lifted tree at the end
  int probeProved;      // 1 the centre was proved, 0 not, -1 no probe made
  int probeDepth;       // height the probe reached
  int64_t probeWork;    // box-passes of the probe
  double seconds;
};

// Hooks of one cell's verification. stop is polled after every pass; a
// nonzero return abandons the cell (*abandoned is set, the result is not a
// verdict).
struct SweepVerifyHooks {
  void* user;
  int (*stop)(void* user);
};

// Verifies one cell: first its centre, as a point parameter box on the
// cell's own domain, within SweepProbeBudgetAt; then, when the centre is
// proved, the whole cell within settings.budget, or kSweepCellToProbe
// times the centre's work when that is less (not below a sixteenth of the
// budget). Both run in loop mode from
// depth 0 on the default domain of vesk verify for the cell (state radius
// from HenonOrbitRadius with step 1/16, tangent radius 2), after the input
// check every entry point makes, and stop before a pass that would take
// the work past the budget. maxMemory and threads as in VerifyOptions.
// Throws std::bad_alloc when memory runs out outside the driver's budget.
SweepResult SweepVerify(const SweepSettings& settings, const SweepCell& cell,
                        long long maxMemory, int threads, const SweepVerifyHooks* hooks,
                        bool* abandoned);

// A ledger line (one JSON object, no line feed) and back. Doubles are
// written so that they read back as the same doubles, and also as exact
// hexadecimal text, which is what is read back.
std::string SweepLedgerLine(const SweepResult& result);
// Reads a line and checks every field's type and the verdict; with
// settings, also that the id names a cell of that map with the cell's own
// level and exact ends. False with the reason in *why.
bool SweepParseLedgerLine(const std::string& line, const SweepSettings* settings,
                          SweepResult* result, std::string* why);

// The settings as one JSON object, with every double in exact hexadecimal:
// the identity of a map's directory.
nlohmann::ordered_json SweepSettingsJson(const SweepSettings& settings);

// ---- the run --------------------------------------------------------

enum SweepStatus {
  kSweepComplete = 0,     // every cell has its verdict
  kSweepIncomplete = 1,   // cells stopped by the memory budget are left
  kSweepRefused = 2,      // bad settings, a directory in use or of another
                          // map, a ledger that fails its checks
  kSweepIoError = 3,      // a file could not be read or written, memory or
                          // a thread could not be had
  kSweepInterrupted = 130,
};

struct SweepProgress {
  int done, verifiedNow, queued, running;
  double provenArea, secondsNow, totalArea, elapsed;
  int workers;
};

struct SweepRunOptions {
  std::string dir;       // the map's directory
  int jobs;              // cells verified at once on threads of this process
  int threads;           // threads of each cell's analyses (0: one per core)
  int mpiThreads;        // the same on the ranks of an MPI job
  long long maxMemory;   // as VerifyOptions.maxMemory
  void* user;
  void (*print)(void* user, const char* text);  // header lines; may be null
  // Called about four times a second while cells run; may be null.
  void (*progress)(void* user, const SweepProgress* progress);
  // Set (by a signal handler) to stop: cells in progress are abandoned at
  // their next pass and the map is summed up. May be null.
  volatile sig_atomic_t* stop;
};

struct SweepSummary {
  std::vector<SweepResult> leaves;   // the cells of the map, with verdicts
  int verified = 0;                  // cells verified by this run
  int fromLedger = 0;                // verdicts read from an existing ledger
  std::string ledgerSha256;          // of the ledger as it was found ("" if none)
  int incomplete = 0;                // cells left to a later run
  int pending = 0;                   // cells made but not verified
  double wall = 0.0;
  int workers = 0;
  std::string mode;                  // "job", "jobs", "MPI worker rank(s)"
  bool complete = false;
};

// Runs a map in options.dir: creates it, or continues the map it holds
// (same settings), locks it against a second run, checks the ledger line by
// line, verifies the cells not yet in it and appends each verdict. Under an
// MPI launcher (with MPI built in), rank 0 does all this and hands cells to
// the other ranks; the others return after the run with *isWorker set.
// Returns the status; *message says why a run failed or stopped.
SweepStatus SweepRun(const SweepSettings& settings, const SweepRunOptions& options,
                     SweepSummary* summary, std::string* message, bool* isWorker);

// Ends the MPI job that SweepRun joined, on every rank; call it once the
// summary is out (a launcher may kill the ranks soon after a Ctrl-C, and
// ending MPI waits for the other ranks). Does nothing without MPI; MPI is
// also ended at exit.
void SweepRunEnd();

// The summary as printed and as written to DIR/summary.json.
std::string SweepSummaryText(const SweepSettings& settings, const SweepSummary& summary);
nlohmann::ordered_json SweepSummaryJson(const SweepSettings& settings,
                                        const SweepSummary& summary);

}  // namespace vesk
