// The work list of a map's run and the transports that hand its cells out:
// threads of this process, or the ranks of an MPI job. Private to sweep/.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "sweep/sweep.h"

namespace vesk {

// What is known of every cell, shared by the workers. Cells are made by
// the rules in Settle; cells wait in the order of their level (wider cells
// first, so that an interrupted map holds the most area settled), then of
// their making.
class SweepWork {
 public:
  explicit SweepWork(const SweepSettings& settings);

  // Where finished cells are recorded before they count; a failure stops
  // the run.
  using Append = bool (*)(void* user, const std::string& line, std::string* error);
  void SetAppend(Append append, void* user) {
    append_ = append;
    appendUser_ = user;
  }

  // Makes the first cells and, from the verdicts already known, every cell
  // they lead to; the cells without a verdict wait.
  void Start(std::map<std::string, SweepResult> known);
  // Ids of known verdicts that no rule made a cell of.
  std::vector<std::string> Unreached();

  // The next cell to verify; false when the run is stopping, or nothing is
  // waiting and (with wait) no cell in progress can add one.
  bool Next(SweepCell* cell, bool wait);
  // Records a finished cell, then makes the cells its verdict leads to.
  void Finish(const SweepResult& result, const std::string& ledgerLine);
  // Puts a cell in progress back (the run is stopping).
  void Abandon(const SweepCell& cell);
  // Stops the run with a failure that is not the cell's (memory, the disk).
  void Fail(const std::string& error);
  void Stop();
  bool Stopping();
  std::string Error();
  size_t Queued();
  SweepProgress Snapshot();
  // The map as it stands.
  void Sum(SweepSummary* summary);

 private:
  void Make(const SweepCell& cell);
  void Settle(const SweepResult& result);
  void Split(const SweepCell& cell);
  std::vector<const SweepResult*> Bordering(const SweepCell& cell);

  const SweepSettings& settings_;
  Append append_ = nullptr;
  void* appendUser_ = nullptr;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, SweepResult> known_;   // from the ledger
  std::map<std::string, SweepCell> cells_;     // every cell made
  std::map<std::string, SweepResult> final_;   // verdicts of made cells
  std::set<std::string> split_;
  // Cells with a verdict by each of their edges: lower a, upper a, lower b,
  // upper b.
  std::multimap<double, std::string> edges_[4];
  std::set<std::string> incomplete_;           // stopped by memory in this run
  std::set<std::tuple<int, long long, std::string>> queue_;
  long long seq_ = 0;
  int running_ = 0;
  int verifiedNow_ = 0;
  int fromLedger_ = 0;
  double secondsNow_ = 0.0;
  double provenArea_ = 0.0;
  bool stopping_ = false;
  std::string error_;
};

// An MPI job, when this process runs under a launcher and MPI is built in.
struct SweepMpi {
  bool on = false;
  int rank = 0;
  int ranks = 1;
  bool released = false;
};

// Initialises MPI when launched by mpirun; false otherwise (one process).
bool SweepMpiStart(SweepMpi* mpi);
// Rank 0 tells the other ranks whether the run goes ahead; once.
void SweepMpiRelease(SweepMpi* mpi, bool go);
// A worker rank: waits for the go, then verifies the cells rank 0 sends.
SweepStatus SweepMpiWorker(const SweepSettings& settings, const SweepRunOptions& options,
                           SweepMpi* mpi, std::string* message);
// Rank 0: hands cells to the workers as they ask, until the map is done or
// stops; then stops every worker.
void SweepMpiLeader(SweepWork* work, const SweepRunOptions& options, SweepMpi* mpi,
                    double totalArea);

}  // namespace vesk
