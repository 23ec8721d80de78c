// A map across the ranks of an MPI job: rank 0 keeps the work list and the
// ledger and hands one cell at a time to each other rank.
//
// Messages (MPI_CHAR text):
//  worker -> rank 0, kTagResult: "" (ready), a ledger line, or
//    "abandoned:ID" (stopped by rank 0), "signal:ID" (the worker was
//    interrupted), "memory:ID" (the worker ran out of memory);
//  rank 0 -> worker, kTagCell: a cell (a ledger line), or "" to end. A
//    worker polls for kTagCell while it verifies: a message then can only be
//    the "" that stops it.
#include <chrono>
#include <cstdlib>
#include <map>
#include <new>
#include <thread>

#include "sweep/work.h"

#ifdef VESK_HAVE_MPI
#include <mpi.h>
#endif

namespace vesk {

#ifndef VESK_HAVE_MPI

bool SweepMpiStart(SweepMpi*) { return false; }
void SweepMpiRelease(SweepMpi*, bool) {}
SweepStatus SweepMpiWorker(const SweepSettings&, const SweepRunOptions&, SweepMpi*,
                           std::string*) {
  return kSweepComplete;
}
void SweepMpiLeader(SweepWork*, const SweepRunOptions&, SweepMpi*, double) {}
void SweepRunEnd() {}

#else

namespace {

constexpr int kTagResult = 1;
constexpr int kTagCell = 2;

void SendText(const std::string& text, int to, int tag) {
  MPI_Send(text.data(), static_cast<int>(text.size()), MPI_CHAR, to, tag, MPI_COMM_WORLD);
}

std::string ReceiveText(int from, int tag, int* source) {
  MPI_Status status;
  MPI_Probe(from, tag, MPI_COMM_WORLD, &status);
  int count = 0;
  MPI_Get_count(&status, MPI_CHAR, &count);
  std::string text(static_cast<size_t>(count), '\0');
  MPI_Recv(text.data(), count, MPI_CHAR, status.MPI_SOURCE, tag, MPI_COMM_WORLD,
           MPI_STATUS_IGNORE);
  if (source) *source = status.MPI_SOURCE;
  return text;
}

bool Waiting(int from, int tag, int* source) {
  int flag = 0;
  MPI_Status status;
  MPI_Iprobe(from, tag, MPI_COMM_WORLD, &flag, &status);
  if (flag && source) *source = status.MPI_SOURCE;
  return flag != 0;
}

std::string CellText(const SweepCell& c) {
  SweepResult r{c, "refused", "refused", "", 0, 0, 0, 0, -1, 0, 0, 0.0};
  return SweepLedgerLine(r);
}

struct WorkerPoll {
  volatile sig_atomic_t* signal;
  bool byLeader = false;
};

int WorkerStop(void* user) {
  WorkerPoll* p = static_cast<WorkerPoll*>(user);
  if (p->signal && *p->signal) return 1;
  if (Waiting(0, kTagCell, nullptr)) {
    p->byLeader = true;
    return 1;
  }
  return 0;
}

bool g_initialized = false;

void FinalizeAtExit() { SweepRunEnd(); }

}  // namespace

void SweepRunEnd() {
  int finalized = 1;
  if (g_initialized) MPI_Finalized(&finalized);
  if (!finalized) MPI_Finalize();
}

bool SweepMpiStart(SweepMpi* mpi) {
  if (!std::getenv("OMPI_COMM_WORLD_SIZE") && !std::getenv("PMI_SIZE") &&
      !std::getenv("PMIX_RANK"))
    return false;
  if (!g_initialized) {
    MPI_Init(nullptr, nullptr);
    g_initialized = true;
    std::atexit(FinalizeAtExit);
  }
  mpi->on = true;
  MPI_Comm_rank(MPI_COMM_WORLD, &mpi->rank);
  MPI_Comm_size(MPI_COMM_WORLD, &mpi->ranks);
  return true;
}

void SweepMpiRelease(SweepMpi* mpi, bool go) {
  if (!mpi->on || mpi->released || mpi->ranks < 2) return;
  mpi->released = true;
  int flag = go ? 1 : 0;
  MPI_Bcast(&flag, 1, MPI_INT, 0, MPI_COMM_WORLD);
}


SweepStatus SweepMpiWorker(const SweepSettings& s, const SweepRunOptions& o, SweepMpi* mpi,
                           std::string* message) {
  int go = 0;
  MPI_Bcast(&go, 1, MPI_INT, 0, MPI_COMM_WORLD);
  mpi->released = true;
  if (!go) return kSweepRefused;
  WorkerPoll poll{o.stop};
  const SweepVerifyHooks hooks{&poll, WorkerStop};
  std::string result;
  for (;;) {
    SendText(result, 0, kTagResult);
    const std::string text = ReceiveText(0, kTagCell, nullptr);
    if (text.empty()) break;
    SweepResult cell{};
    std::string why;
    if (!SweepParseLedgerLine(text, &s, &cell, &why)) {
      *message = "rank " + std::to_string(mpi->rank) + " was sent a cell it cannot read: " + why;
      return kSweepIoError;
    }
    const std::string& id = cell.cell.id;
    try {
      bool abandoned = false;
      poll.byLeader = false;
      const SweepResult r = SweepVerify(s, cell.cell, o.maxMemory, o.mpiThreads, &hooks, &abandoned);
      result = !abandoned ? SweepLedgerLine(r) : poll.byLeader ? "abandoned:" + id : "signal:" + id;
    } catch (const std::bad_alloc&) {
      result = "memory:" + id;
    }
    if (poll.byLeader) {
      SendText(result, 0, kTagResult);
      ReceiveText(0, kTagCell, nullptr);  // the "" that stopped the cell
      return kSweepInterrupted;
    }
  }
  return kSweepComplete;
}

void SweepMpiLeader(SweepWork* work, const SweepRunOptions& o, SweepMpi* mpi, double totalArea) {
  const auto start = std::chrono::steady_clock::now();
  auto last = start;
  enum State { kStarting, kBusy, kIdle, kDone };
  std::vector<State> state(static_cast<size_t>(mpi->ranks), kStarting);
  std::vector<bool> stopSent(static_cast<size_t>(mpi->ranks), false);
  std::map<int, SweepCell> given;
  int done = 0;
  const int workers = mpi->ranks - 1;
  auto busy = [&]() {
    int n = 0;
    for (int r = 1; r < mpi->ranks; ++r) n += state[r] == kBusy || state[r] == kStarting;
    return n;
  };
  auto end = [&](int rank) {
    SendText("", rank, kTagCell);
    state[rank] = kDone;
    ++done;
  };
  while (done < workers) {
    if (o.stop && *o.stop) {
      // Interrupted: mpirun kills every rank a moment after its SIGTERM, so
      // the workers are told to end and the map is summed up at once; the
      // cells in progress are not in the ledger and are verified again by
      // the next run.
      work->Stop();
      for (int r = 1; r < mpi->ranks; ++r)
        if (state[r] != kDone && !stopSent[r]) SendText("", r, kTagCell);
      for (const auto& [rank, cell] : given)
        if (state[rank] == kBusy) work->Abandon(cell);
      return;
    }
    const bool stopping = work->Stopping();
    if (stopping)
      for (int r = 1; r < mpi->ranks; ++r) {
        if (state[r] == kIdle) end(r);
        else if (state[r] == kBusy && !stopSent[r]) {
          SendText("", r, kTagCell);
          stopSent[r] = true;
        }
      }
    int source = 0;
    if (Waiting(MPI_ANY_SOURCE, kTagResult, &source)) {
      const std::string text = ReceiveText(source, kTagResult, nullptr);
      if (!text.empty()) {
        const SweepCell cell = given[source];
        if (text.rfind("abandoned:", 0) == 0) {
          work->Abandon(cell);
        } else if (text.rfind("signal:", 0) == 0) {
          work->Abandon(cell);
          work->Stop();
        } else if (text.rfind("memory:", 0) == 0) {
          work->Abandon(cell);
          work->Fail("rank " + std::to_string(source) + " ran out of memory while verifying cell " +
                     cell.id + ": give a --max-memory below what each machine has; the same "
                     "command continues the map");
        } else {
          SweepResult r{};
          std::string why;
          if (SweepParseLedgerLine(text, nullptr, &r, &why) && r.cell.id == cell.id) {
            work->Finish(r, text);
          } else {
            work->Abandon(cell);
            work->Fail("rank " + std::to_string(source) + " sent a result that cannot be read: " + why);
          }
        }
      }
      if (stopSent[source]) {
        state[source] = kDone;  // it reads the "" sent while it was busy
        ++done;
      } else {
        state[source] = kIdle;
      }
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Hand out what is waiting; when nothing waits and nothing runs, the map
    // is done for every idle worker.
    for (int r = 1; r < mpi->ranks; ++r) {
      if (state[r] != kIdle || work->Stopping()) continue;
      SweepCell cell;
      if (work->Next(&cell, false)) {
        given[r] = cell;
        SendText(CellText(cell), r, kTagCell);
        state[r] = kBusy;
      }
    }
    if (busy() == 0 && work->Queued() == 0)
      for (int r = 1; r < mpi->ranks; ++r)
        if (state[r] == kIdle) end(r);
    const auto now = std::chrono::steady_clock::now();
    if (o.progress && now - last > std::chrono::milliseconds(250)) {
      last = now;
      SweepProgress p = work->Snapshot();
      p.totalArea = totalArea;
      p.elapsed = std::chrono::duration<double>(now - start).count();
      p.workers = workers;
      o.progress(o.user, &p);
    }
  }
}

#endif

}  // namespace vesk
