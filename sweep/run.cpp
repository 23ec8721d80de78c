// A map's run. Cells go from a work list to the workers (threads of this
// process, or the other ranks of an MPI job), finished cells to the ledger.
#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>

#include "cli/files.h"
#include "cli/sha256.h"
#include "sweep/sweep.h"
#include "sweep/work.h"

namespace vesk {

namespace {

double Area(const SweepCell& c) { return (c.a[1] - c.a[0]) * (c.b[1] - c.b[0]); }

}  // namespace

// ---- the work list ----------------------------------------------------

SweepWork::SweepWork(const SweepSettings& settings) : settings_(settings) {}

void SweepWork::Start(std::map<std::string, SweepResult> known) {
  std::lock_guard<std::mutex> lock(mutex_);
  known_ = std::move(known);
  for (const SweepCell& cell : SweepFirstCells(settings_)) Make(cell);
}

std::vector<std::string> SweepWork::Unreached() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> ids;
  for (const auto& [id, r] : known_)
    if (!cells_.count(id)) ids.push_back(id);
  return ids;
}

void SweepWork::Make(const SweepCell& cell) {
  cells_.emplace(cell.id, cell);
  const auto it = known_.find(cell.id);
  if (it == known_.end() || it->second.verdict == "incomplete") {
    queue_.insert({cell.level, seq_++, cell.id});
    return;
  }
  ++fromLedger_;
  Settle(it->second);
}

// Cells with a verdict that share a piece of an edge with this one: those
// whose opposite edge lies on one of its edges, found through the index of
// edges, then checked for overlap.
std::vector<const SweepResult*> SweepWork::Bordering(const SweepCell& cell) {
  std::vector<const SweepResult*> found;
  const double key[4] = {cell.a[1], cell.a[0], cell.b[1], cell.b[0]};
  for (int side = 0; side < 4; ++side) {
    const auto range = edges_[side].equal_range(key[side]);
    for (auto it = range.first; it != range.second; ++it) {
      const SweepResult& other = final_.at(it->second);
      if (SweepBorder(other.cell, cell)) found.push_back(&other);
    }
  }
  return found;
}

// A cell's verdict is known: the two rules that split cells.
void SweepWork::Settle(const SweepResult& r) {
  const SweepResult& kept = final_[r.cell.id] = r;
  // Indexed by the edge a neighbour would share: lower a (a right-hand
  // neighbour's upper a), upper a, lower b, upper b.
  edges_[0].emplace(kept.cell.a[0], kept.cell.id);
  edges_[1].emplace(kept.cell.a[1], kept.cell.id);
  edges_[2].emplace(kept.cell.b[0], kept.cell.id);
  edges_[3].emplace(kept.cell.b[1], kept.cell.id);
  if (r.verdict == "hyperbolic") {
    provenArea_ += Area(r.cell);
    // Rule 2 for the cells that border this one.
    std::vector<SweepCell> split;
    for (const SweepResult* other : Bordering(r.cell))
      if (other->verdict == "not proven" && !split_.count(other->cell.id))
        split.push_back(other->cell);
    for (const SweepCell& cell : split) Split(cell);
    return;
  }
  if (r.verdict != "not proven") return;
  // Rule 1: a point of the closed cell was proved, its own centre or the
  // centre of a cell it was split from.
  std::string id = r.cell.id;
  for (;;) {
    const auto it = final_.find(id);
    if (it != final_.end() && it->second.probeProved == 1) {
      const SweepCell& from = it->second.cell;
      const double ma = from.a[0] + (from.a[1] - from.a[0]) * 0.5;
      const double mb = from.b[0] + (from.b[1] - from.b[0]) * 0.5;
      if (r.cell.a[0] <= ma && ma <= r.cell.a[1] && r.cell.b[0] <= mb && mb <= r.cell.b[1]) {
        Split(r.cell);
        return;
      }
    }
    const size_t slash = id.find('/');
    if (slash == std::string::npos) break;
    id.pop_back();
    if (id.back() == '/') id.pop_back();
  }
  // Rule 2: it borders a proven cell.
  for (const SweepResult* other : Bordering(r.cell))
    if (other->verdict == "hyperbolic") {
      Split(r.cell);
      return;
    }
}

void SweepWork::Split(const SweepCell& cell) {
  if (split_.count(cell.id) || !SweepSplits(settings_, cell)) return;
  split_.insert(cell.id);
  for (const SweepCell& child : SweepChildren(cell)) Make(child);
}

bool SweepWork::Next(SweepCell* cell, bool wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stopping_) return false;
    if (!queue_.empty()) {
      const auto first = queue_.begin();
      *cell = cells_.at(std::get<2>(*first));
      queue_.erase(first);
      ++running_;
      return true;
    }
    if (running_ == 0 || !wait) return false;
    wake_.wait_for(lock, std::chrono::milliseconds(200));
  }
}

void SweepWork::Finish(const SweepResult& result, const std::string& ledgerLine) {
  std::lock_guard<std::mutex> lock(mutex_);
  --running_;
  if (error_.empty() && append_ && !append_(appendUser_, ledgerLine, &error_)) stopping_ = true;
  if (!error_.empty()) {
    wake_.notify_all();
    return;
  }
  ++verifiedNow_;
  secondsNow_ += result.seconds;
  if (result.verdict == "incomplete") incomplete_.insert(result.cell.id);
  else Settle(result);
  wake_.notify_all();
}

void SweepWork::Abandon(const SweepCell& cell) {
  std::lock_guard<std::mutex> lock(mutex_);
  --running_;
  try {
    queue_.insert({cell.level, seq_++, cell.id});
  } catch (const std::bad_alloc&) {
    // No memory to queue it again: the run stops, and the cell, not in the
    // ledger, is done again by the same command.
    stopping_ = true;
  }
  wake_.notify_all();
}

void SweepWork::Fail(const std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (error_.empty()) error_ = error;
  stopping_ = true;
  wake_.notify_all();
}

void SweepWork::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = true;
  wake_.notify_all();
}

bool SweepWork::Stopping() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopping_;
}

std::string SweepWork::Error() {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

size_t SweepWork::Queued() {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

SweepProgress SweepWork::Snapshot() {
  std::lock_guard<std::mutex> lock(mutex_);
  SweepProgress p{};
  p.done = static_cast<int>(final_.size() + incomplete_.size());
  p.verifiedNow = verifiedNow_;
  p.queued = static_cast<int>(queue_.size());
  p.running = running_;
  p.provenArea = provenArea_;
  p.secondsNow = secondsNow_;
  return p;
}

void SweepWork::Sum(SweepSummary* summary) {
  std::lock_guard<std::mutex> lock(mutex_);
  summary->leaves.clear();
  for (const auto& [id, r] : final_)
    if (!split_.count(id)) summary->leaves.push_back(r);
  summary->verified = verifiedNow_;
  summary->fromLedger = fromLedger_;
  summary->incomplete = 0;
  summary->pending = 0;
  for (const auto& [id, cell] : cells_) {
    if (final_.count(id)) continue;
    if (incomplete_.count(id) || (known_.count(id) && known_.at(id).verdict == "incomplete"))
      ++summary->incomplete;
    else
      ++summary->pending;
  }
  summary->complete = summary->incomplete == 0 && summary->pending == 0 && running_ == 0;
}

// ---- the ledger -------------------------------------------------------

namespace {

// The ledger: one line per finished cell, appended and flushed to the disk
// one by one, so that a killed run loses at most the cells in progress.
struct LedgerFile {
  int fd = -1;
  ~LedgerFile() {
    if (fd >= 0) close(fd);
  }
};

bool AppendLine(void* user, const std::string& line, std::string* error) {
  const int fd = static_cast<LedgerFile*>(user)->fd;
  const std::string text = line + "\n";
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = std::string("cannot append to the ledger: ") + std::strerror(errno);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (fdatasync(fd) != 0) {
    *error = std::string("cannot append to the ledger: ") + std::strerror(errno);
    return false;
  }
  return true;
}

// Reads and checks the ledger, line by line, against this map's cells. A
// last line cut short by a kill is dropped from the file. A cell may stand
// more than once only where its earlier lines say "incomplete".
SweepStatus OpenLedger(const SweepSettings& s, const std::string& path, LedgerFile* file,
                       std::map<std::string, SweepResult>* known, std::string* sha,
                       std::map<std::string, int>* lines, std::string* error) {
  std::string data;
  struct stat st;
  bool ioFailure = false;
  if (stat(path.c_str(), &st) == 0 && !ReadWholeFile(path, &data, error, &ioFailure))
    return ioFailure ? kSweepIoError : kSweepRefused;
  if (!data.empty()) *sha = Sha256Hex(data);
  const size_t whole = data.rfind('\n') == std::string::npos ? 0 : data.rfind('\n') + 1;
  size_t pos = 0;
  int lineNo = 0;
  while (pos < whole) {
    const size_t eol = data.find('\n', pos);
    const std::string line = data.substr(pos, eol - pos);
    pos = eol + 1;
    ++lineNo;
    SweepResult r{};
    std::string why;
    if (!SweepParseLedgerLine(line, &s, &r, &why)) {
      *error = path + ": line " + std::to_string(lineNo) + " is not an entry of this map: " +
               why + " (move the ledger away to start over)";
      return kSweepRefused;
    }
    const auto seen = known->find(r.cell.id);
    if (seen != known->end() && seen->second.verdict != "incomplete") {
      *error = path + ": line " + std::to_string(lineNo) + " repeats the cell \"" + r.cell.id +
               "\" of line " + std::to_string((*lines)[r.cell.id]) +
               " (move the ledger away to start over)";
      return kSweepRefused;
    }
    (*known)[r.cell.id] = r;
    (*lines)[r.cell.id] = lineNo;
  }
  file->fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (file->fd < 0 || (whole < data.size() && ftruncate(file->fd, static_cast<off_t>(whole)) != 0)) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return kSweepIoError;
  }
  return kSweepComplete;
}

// DIR/lock, held with flock for the whole run; it names the holder's PID.
struct DirLock {
  int fd = -1;
  ~DirLock() {
    if (fd >= 0) close(fd);
  }
};

SweepStatus LockDir(const std::string& dir, DirLock* lock, std::string* error) {
  const std::string path = dir + "/lock";
  lock->fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock->fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return kSweepIoError;
  }
  if (flock(lock->fd, LOCK_EX | LOCK_NB) != 0) {
    char pid[32] = {0};
    const ssize_t n = pread(lock->fd, pid, sizeof pid - 1, 0);
    std::string holder = n > 0 ? std::string(pid, static_cast<size_t>(n)) : "";
    while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' ')) holder.pop_back();
    *error = dir + " is in use by another run of vesk sweep" +
             (holder.empty() ? std::string() : " (PID " + holder + ")") +
             ": wait for it to end, or stop it";
    return kSweepRefused;
  }
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(lock->fd, 0) != 0 ||
      pwrite(lock->fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return kSweepIoError;
  }
  return kSweepComplete;
}

// The directory: new, or holding a map with the same settings.
SweepStatus PrepareDir(const SweepSettings& s, const std::string& dir, DirLock* lock,
                       std::string* error) {
  const std::string settingsPath = dir + "/sweep.json";
  const std::string settingsText = SweepSettingsJson(s).dump(2) + "\n";
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      *error = "--out " + dir + " is not a directory";
      return kSweepRefused;
    }
    if (access(dir.c_str(), W_OK) != 0) {
      *error = "--out: cannot write in " + dir + ": " + std::strerror(errno);
      return kSweepRefused;
    }
  } else if (mkdir(dir.c_str(), 0755) != 0) {
    *error = "--out: cannot create the directory " + dir + ": " + std::strerror(errno);
    return kSweepRefused;
  }
  const SweepStatus locked = LockDir(dir, lock, error);
  if (locked != kSweepComplete) return locked;
  if (stat(settingsPath.c_str(), &st) == 0) {
    std::string old;
    bool ioFailure = false;
    if (!ReadWholeFile(settingsPath, &old, error, &ioFailure))
      return ioFailure ? kSweepIoError : kSweepRefused;
    if (old != settingsText) {
      *error = "--out " + dir +
               " holds a map with other settings (see its sweep.json): give another "
               "directory, or the same --a, --b, --cells, --min-width, --levels, --max-depth "
               "and --budget to continue it";
      return kSweepRefused;
    }
  } else if (stat((dir + "/ledger.jsonl").c_str(), &st) == 0) {
    *error = "--out " + dir +
             " holds a ledger without its sweep.json: its cells cannot be told to belong to "
             "this map (move the ledger away to start over)";
    return kSweepRefused;
  }
  if (!WriteFileAtomically(settingsPath, settingsText, error)) return kSweepIoError;
  return kSweepComplete;
}

// ---- workers ----------------------------------------------------------

struct StopPoll {
  SweepWork* work;
  volatile sig_atomic_t* signal;
};

int PollStop(void* user) {
  const StopPoll* p = static_cast<const StopPoll*>(user);
  return (p->signal && *p->signal) || p->work->Stopping();
}

void RunThreads(const SweepSettings& s, SweepWork* work, const SweepRunOptions& o,
                double totalArea) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  std::atomic<int> active{0};
  StopPoll poll{work, o.stop};
  const SweepVerifyHooks hooks{&poll, PollStop};
  // Stops the run with `message()`; when memory is short even for the
  // message, with a shorter one, or with none: the run stops all the same.
  auto fail = [&](auto&& message) {
    try {
      work->Fail(message());
    } catch (const std::bad_alloc&) {
      try {
        work->Fail("out of memory: give fewer --jobs");
      } catch (const std::bad_alloc&) {
        work->Stop();
      }
    }
  };
  auto body = [&]() {
    // Nothing may leave the thread: an exception there would end the
    // program without its summary.
    try {
      SweepCell cell;
      while (work->Next(&cell, true)) {
        if (PollStop(&poll)) {
          work->Abandon(cell);
          break;
        }
        try {
          bool abandoned = false;
          const SweepResult r = SweepVerify(s, cell, o.maxMemory, o.threads, &hooks, &abandoned);
          if (abandoned) work->Abandon(cell);
          else work->Finish(r, SweepLedgerLine(r));
        } catch (const std::bad_alloc&) {
          work->Abandon(cell);
          fail([&] {
            return "out of memory while verifying cell " + cell.id +
                   ": give fewer --jobs or a --max-memory below what the machine has; the "
                   "same command continues the map";
          });
          break;
        }
      }
    } catch (const std::bad_alloc&) {
      // Memory too short even to take a cell or to put one back.
      fail([] { return std::string("out of memory: give fewer --jobs"); });
    }
    --active;
  };
  // However this function ends, its threads are joined before what they
  // use goes (a joinable thread destroyed would end the program); when an
  // exception ends it, the run stops first, so that the threads do not go
  // on with the map.
  struct JoinAll {
    SweepWork* work;
    std::vector<std::thread>* threads;
    ~JoinAll() {
      if (std::uncaught_exceptions() > 0) work->Stop();
      for (std::thread& t : *threads)
        if (t.joinable()) t.join();
    }
  } joinAll{work, &workers};
  // Room for every thread first, so that only starting one can fail below.
  workers.reserve(static_cast<size_t>(o.jobs));
  for (int k = 0; k < o.jobs; ++k) {
    try {
      ++active;
      workers.emplace_back(body);
    } catch (const std::exception& e) {
      // std::system_error when the system gives no thread, std::bad_alloc
      // when there is no memory for one: the threads started end the
      // cells they hold.
      --active;
      fail([&] {
        return "cannot start thread " + std::to_string(k + 1) + " of --jobs " +
               std::to_string(o.jobs) + " (" + e.what() + "): give fewer --jobs";
      });
      break;
    }
  }
  while (active > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    if (o.stop && *o.stop) work->Stop();
    if (o.progress) {
      SweepProgress p = work->Snapshot();
      p.totalArea = totalArea;
      p.elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      p.workers = o.jobs;
      o.progress(o.user, &p);
    }
  }
}

}  // namespace

// ---- the run ----------------------------------------------------------

SweepStatus SweepRun(const SweepSettings& s, const SweepRunOptions& o, SweepSummary* summary,
                     std::string* message, bool* isWorker) {
  *isWorker = false;
  const std::string bad = SweepCheckSettings(s);
  if (!bad.empty()) {
    *message = bad;
    return kSweepRefused;
  }
  SweepMpi mpi;
  if (SweepMpiStart(&mpi) && mpi.rank > 0) {
    *isWorker = true;
    return SweepMpiWorker(s, o, &mpi, message);
  }
  // Rank 0 (or the only process): every refusal below is sent to the other
  // ranks as a stop before it is returned.
  auto refuse = [&](SweepStatus status) {
    SweepMpiRelease(&mpi, false);
    return status;
  };
  DirLock lock;
  SweepStatus status = PrepareDir(s, o.dir, &lock, message);
  if (status != kSweepComplete) return refuse(status);
  LedgerFile ledger;
  std::map<std::string, SweepResult> known;
  std::map<std::string, int> lines;
  status = OpenLedger(s, o.dir + "/ledger.jsonl", &ledger, &known, &summary->ledgerSha256,
                      &lines, message);
  if (status != kSweepComplete) return refuse(status);
  SweepWork work(s);
  work.SetAppend(AppendLine, &ledger);
  work.Start(known);
  // Every line must name a cell that the verdicts before it put in the map.
  const std::vector<std::string> unreached = work.Unreached();
  if (!unreached.empty()) {
    int first = 0;
    std::string id;
    for (const std::string& kid : unreached)
      if (first == 0 || lines[kid] < first) {
        first = lines[kid];
        id = kid;
      }
    *message = o.dir + "/ledger.jsonl: line " + std::to_string(first) + " holds the cell \"" +
               id + "\", which the verdicts of this map never split off (move the ledger away "
               "to start over)";
    return refuse(kSweepRefused);
  }
  SweepMpiRelease(&mpi, true);
  const double totalArea = (s.a.hi - s.a.lo) * (s.b.hi - s.b.lo);
  if (o.print) {
    char head[512];
    std::snprintf(head, sizeof head,
                  "# vesk sweep: a in %s, b in %s, %d x %d cells, %s, work budget %lld "
                  "box-passes a cell, depth bound %d\n",
                  RangeText(s.a).c_str(), RangeText(s.b).c_str(), s.cells[0], s.cells[1],
                  s.levels >= 0 ? ("up to " + std::to_string(s.levels) +
                                   (s.levels == 1 ? " split" : " splits"))
                                      .c_str()
                                : "split down to the minimum width",
                  static_cast<long long>(s.budget), s.maxDepth);
    o.print(o.user, head);
    if (!known.empty()) {
      std::snprintf(head, sizeof head,
                    "# continuing: %zu cells are in the ledger already (SHA-256 %s)\n",
                    known.size(), summary->ledgerSha256.c_str());
      o.print(o.user, head);
    }
  }
  const auto start = std::chrono::steady_clock::now();
  if (mpi.ranks > 1) {
    summary->workers = mpi.ranks - 1;
    summary->mode = summary->workers == 1 ? "MPI worker rank" : "MPI worker ranks";
    SweepMpiLeader(&work, o, &mpi, totalArea);
  } else {
    summary->workers = o.jobs;
    summary->mode = o.jobs == 1 ? "job" : "jobs";
    RunThreads(s, &work, o, totalArea);
  }
  summary->wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  work.Sum(summary);
  *message = work.Error();
  if (!message->empty()) return kSweepIoError;
  if (summary->complete) return kSweepComplete;
  if (summary->pending > 0) return kSweepInterrupted;
  *message = std::to_string(summary->incomplete) +
             (summary->incomplete == 1 ? " cell was" : " cells were") +
             " stopped by the memory budget: run the same command with more memory "
             "(--max-memory, ulimit -v, fewer --jobs) to verify them";
  return kSweepIncomplete;
}

// ---- the summary ------------------------------------------------------

namespace {

struct Totals {
  int count[3] = {0, 0, 0};
  double area[3] = {0, 0, 0};
  explicit Totals(const std::vector<SweepResult>& leaves) {
    for (const SweepResult& r : leaves) {
      const int k = r.verdict == "hyperbolic" ? 0 : r.verdict == "not proven" ? 1 : 2;
      ++count[k];
      area[k] += Area(r.cell);
    }
  }
};

}  // namespace

std::string SweepSummaryText(const SweepSettings& s, const SweepSummary& m) {
  const Totals t(m.leaves);
  const double total = (s.a.hi - s.a.lo) * (s.b.hi - s.b.lo);
  char text[2048];
  std::snprintf(text, sizeof text,
                "cells verified: %d by this run, %d from the ledger (%d in the map)\n"
                "hyperbolic: %d cells, area %.6g (%.1f%%)\n"
                "not proven: %d cells, area %.6g (%.1f%%)\n"
                "refused:    %d cells, area %.6g (%.1f%%)\n"
                "%s"
                "wall time of this run: %.1f s with %d %s\n",
                m.verified, m.fromLedger, static_cast<int>(m.leaves.size()), t.count[0],
                t.area[0], 100 * t.area[0] / total, t.count[1], t.area[1],
                100 * t.area[1] / total, t.count[2], t.area[2], 100 * t.area[2] / total,
                m.ledgerSha256.empty()
                    ? ""
                    : ("ledger found at the start: SHA-256 " + m.ledgerSha256 + "\n").c_str(),
                m.wall, m.workers, m.mode.c_str());
  std::string out = text;
  if (m.incomplete > 0)
    out += "incomplete: " + std::to_string(m.incomplete) +
           " cells stopped by the memory budget, to be verified again\n";
  if (m.pending > 0) out += "left to verify: " + std::to_string(m.pending) + " cells\n";
  return out;
}

nlohmann::ordered_json SweepSummaryJson(const SweepSettings& s, const SweepSummary& m) {
  const Totals t(m.leaves);
  nlohmann::ordered_json j;
  j["settings"] = SweepSettingsJson(s);
  j["complete"] = m.complete;
  j["cells_verified"] = m.verified;
  j["cells_from_ledger"] = m.fromLedger;
  j["ledger_sha256"] = m.ledgerSha256.empty() ? nlohmann::ordered_json(nullptr)
                                              : nlohmann::ordered_json(m.ledgerSha256);
  j["cells_in_map"] = m.leaves.size();
  j["cells_incomplete"] = m.incomplete;
  j["cells_left"] = m.pending;
  static const char* const kVerdicts[3] = {"hyperbolic", "not proven", "refused"};
  for (int k = 0; k < 3; ++k) j[kVerdicts[k]] = {{"cells", t.count[k]}, {"area", t.area[k]}};
  j["area"] = (s.a.hi - s.a.lo) * (s.b.hi - s.b.lo);
  j["wall_seconds"] = m.wall;
  j["workers"] = m.workers;
  return j;
}

}  // namespace vesk
