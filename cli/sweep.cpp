// vesk sweep: the run. Cells go from a work list to the workers (threads of
// this process, or the other ranks of an MPI job), finished cells to the
// ledger; at the end a summary and a picture of the parameter plane.
#include "cli/sweep.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "cli/commands.h"
#include "cli/files.h"
#include "cli/report.h"
#include "cli/svg.h"

#ifdef VESK_HAVE_MPI
#include <mpi.h>
#endif

namespace vesk {

namespace {

volatile sig_atomic_t g_stop = 0;

void OnInterrupt(int) {
  g_stop = 1;
  static const char kNote[] =
      "\nvesk sweep: finishing the cells in progress (press Ctrl-C again to quit at once)\n";
  ssize_t ignored = write(STDERR_FILENO, kNote, sizeof kNote - 1);
  (void)ignored;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "vesk sweep: %s\n", message.c_str());
  return kExitUsage;
}

double Area(const SweepCell& c) { return (c.a[1] - c.a[0]) * (c.b[1] - c.b[0]); }

// The ledger: one line per finished cell, appended and flushed to the disk
// one by one, so that a killed run loses at most the cells in progress.
class Ledger {
 public:
  ~Ledger() {
    if (fd_ >= 0) close(fd_);
  }

  // Opens (or creates) the ledger and reads what it holds. A last line cut
  // short by a kill is dropped from the file.
  bool Open(const std::string& path, std::map<std::string, SweepResult>* done,
            std::string* error, bool* ioFailure) {
    std::string data;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !ReadWholeFile(path, &data, error, ioFailure))
      return false;
    const size_t whole = data.rfind('\n') == std::string::npos ? 0 : data.rfind('\n') + 1;
    size_t pos = 0;
    int lineNo = 0;
    while (pos < whole) {
      const size_t eol = data.find('\n', pos);
      const std::string line = data.substr(pos, eol - pos);
      pos = eol + 1;
      ++lineNo;
      if (line.empty()) continue;
      SweepResult r{};
      if (!SweepParseLedgerLine(line, &r)) {
        *error = path + ": line " + std::to_string(lineNo) +
                 " is not a ledger entry: the ledger is damaged (move it away to start over)";
        return false;
      }
      done->emplace(r.cell.id, r);
    }
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0 || (whole < data.size() && ftruncate(fd_, static_cast<off_t>(whole)) != 0)) {
      *error = "cannot write " + path + ": " + std::strerror(errno);
      *ioFailure = true;
      return false;
    }
    return true;
  }

  bool Append(const std::string& line, std::string* error) {
    const std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = write(fd_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        *error = std::string("cannot append to the ledger: ") + std::strerror(errno);
        return false;
      }
      done += static_cast<size_t>(n);
    }
    if (fdatasync(fd_) != 0) {
      *error = std::string("cannot append to the ledger: ") + std::strerror(errno);
      return false;
    }
    return true;
  }

 private:
  int fd_ = -1;
};

// The work list and what is known of every cell, shared by the workers.
class Work {
 public:
  Work(const SweepSettings& settings, std::map<std::string, SweepResult> done, Ledger* ledger)
      : settings_(settings), done_(std::move(done)), ledger_(ledger) {
    for (const SweepCell& cell : SweepFirstCells(settings)) Add(cell);
    for (const auto& [id, result] : done_) {
      (void)id;
      Count(result);
    }
  }

  // The next cell to verify; false when there is none left (or the run is
  // stopping) and no cell in progress can add one.
  bool Next(SweepCell* cell) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (g_stop || !error_.empty()) return false;
      if (!queue_.empty()) {
        *cell = queue_.front();
        queue_.pop_front();
        ++running_;
        return true;
      }
      if (running_ == 0) return false;
      wake_.wait_for(lock, std::chrono::milliseconds(200));
    }
  }

  // Records a finished cell and queues its children when it is split.
  void Finish(const SweepResult& result) {
    std::lock_guard<std::mutex> lock(mutex_);
    --running_;
    std::string error;
    if (error_.empty() && !ledger_->Append(SweepLedgerLine(result), &error)) error_ = error;
    if (!error_.empty()) {
      wake_.notify_all();
      return;
    }
    done_.emplace(result.cell.id, result);
    Count(result);
    ++verifiedNow_;
    secondsNow_ += result.seconds;
    if (result.verdict == "not proven" && SweepSplits(settings_, result.cell))
      for (const SweepCell& child : SweepChildren(result.cell)) Add(child);
    wake_.notify_all();
  }

  // Gives a cell back that was not verified (the run is stopping).
  void Abandon() {
    std::lock_guard<std::mutex> lock(mutex_);
    --running_;
    wake_.notify_all();
  }

  // Stops the run with a failure that is not the cell's (memory, the disk).
  void Fail(const std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (error_.empty()) error_ = error;
    wake_.notify_all();
  }

  std::string Error() {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
  }
  bool Complete() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.empty() && running_ == 0 && error_.empty() && !g_stop;
  }
  size_t Queued() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
  }

  struct Progress {
    int done, verifiedNow, queued, running;
    double provenArea, secondsNow;
  };
  Progress Snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {static_cast<int>(done_.size()), verifiedNow_, static_cast<int>(queue_.size()),
            running_, provenArea_, secondsNow_};
  }

  // The cells of the map: every finished cell that was not split.
  std::vector<SweepResult> Leaves() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<SweepResult> leaves;
    for (const auto& [id, r] : done_) {
      (void)id;
      const bool split = r.verdict == "not proven" && SweepSplits(settings_, r.cell);
      if (!split) leaves.push_back(r);
    }
    return leaves;
  }
  int Finished() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(done_.size());
  }

 private:
  // A cell enters the work list unless the ledger has it; a finished cell
  // that was split brings its children in.
  void Add(const SweepCell& cell) {
    const auto it = done_.find(cell.id);
    if (it == done_.end()) {
      queue_.push_back(cell);
      return;
    }
    if (it->second.verdict == "not proven" && SweepSplits(settings_, cell))
      for (const SweepCell& child : SweepChildren(cell)) Add(child);
  }

  void Count(const SweepResult& r) {
    if (r.verdict == "hyperbolic") provenArea_ += Area(r.cell);
  }

  const SweepSettings& settings_;
  std::map<std::string, SweepResult> done_;
  Ledger* ledger_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<SweepCell> queue_;
  int running_ = 0;
  int verifiedNow_ = 0;
  double secondsNow_ = 0.0;
  double provenArea_ = 0.0;
  std::string error_;
};

std::string Duration(double seconds) {
  char text[32];
  if (seconds < 90) std::snprintf(text, sizeof text, "%.0f s", seconds);
  else if (seconds < 5400) std::snprintf(text, sizeof text, "%.0f min", seconds / 60);
  else std::snprintf(text, sizeof text, "%.1f h", seconds / 3600);
  return text;
}

// The live line on a terminal: cells done, proven area, time left at the
// pace so far (the queue grows as cells are split: an estimate).
void ShowProgress(Work* work, double totalArea, int workers,
                  std::chrono::steady_clock::time_point start) {
  const Work::Progress p = work->Snapshot();
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::string left = "?";
  if (p.verifiedNow > 0) {
    const double perCell = p.secondsNow / p.verifiedNow;
    left = Duration(perCell * (p.queued + p.running * 0.5) / std::max(1, workers));
  }
  std::fprintf(stderr,
               "\r\033[K  %d cells done, %d queued, %d running; proven %.1f%% of the area; "
               "%s elapsed, about %s left",
               p.done, p.queued, p.running, 100.0 * p.provenArea / totalArea,
               Duration(elapsed).c_str(), left.c_str());
  std::fflush(stderr);
}

void RunThreads(const SweepSettings& settings, Work* work, int jobs, int threads,
                long long maxMemory, double totalArea, bool progress) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  std::atomic<int> active{jobs};
  for (int k = 0; k < jobs; ++k) {
    workers.emplace_back([&]() {
      SweepCell cell;
      while (work->Next(&cell)) {
        if (g_stop) {
          work->Abandon();
          break;
        }
        try {
          work->Finish(SweepVerify(settings, cell, maxMemory, threads));
        } catch (const std::bad_alloc&) {
          work->Abandon();
          work->Fail("out of memory while verifying cell " + cell.id +
                     ": give fewer --jobs or a --max-memory below what the machine has; the "
                     "same command continues the sweep");
          break;
        }
      }
      --active;
    });
  }
  while (active > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    if (progress) ShowProgress(work, totalArea, jobs, start);
  }
  for (std::thread& t : workers) t.join();
  if (progress) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
  }
}

#ifdef VESK_HAVE_MPI
// Whether this process was started by an MPI launcher.
bool LaunchedByMpi() {
  return std::getenv("OMPI_COMM_WORLD_SIZE") || std::getenv("PMI_SIZE") ||
         std::getenv("PMIX_RANK");
}

constexpr int kTagResult = 1;  // worker -> rank 0: "" (ready) or a ledger line
constexpr int kTagCell = 2;    // rank 0 -> worker: a cell as JSON, or "" to stop

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

std::string CellText(const SweepCell& c) {
  SweepResult r{c, "refused", "", 0, 0, 0, 0.0};
  return SweepLedgerLine(r);
}

// A worker rank: asks for cells and sends back what it found, until told
// to stop.
void MpiWorker(const SweepSettings& settings, long long maxMemory, int threads) {
  std::string result;
  for (;;) {
    SendText(result, 0, kTagResult);
    const std::string text = ReceiveText(0, kTagCell, nullptr);
    if (text.empty()) return;
    SweepResult cell{};
    if (!SweepParseLedgerLine(text, &cell)) return;
    result = SweepLedgerLine(SweepVerify(settings, cell.cell, maxMemory, threads));
  }
}

// Rank 0 hands cells out as workers ask, keeps the ledger, and stops every
// worker at the end.
void MpiLeader(Work* work, int ranks, double totalArea, bool progress) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<int> idle;
  int busy = 0;
  auto dispatch = [&](int rank) {
    SweepCell cell;
    // Next() would wait for cells in progress elsewhere: only take one that
    // is queued now.
    if (work->Queued() > 0 && work->Next(&cell)) {
      SendText(CellText(cell), rank, kTagCell);
      ++busy;
      return true;
    }
    return false;
  };
  int stopped = 0;
  while (stopped < ranks - 1) {
    int source = 0;
    const std::string text = ReceiveText(MPI_ANY_SOURCE, kTagResult, &source);
    if (!text.empty()) {
      SweepResult r{};
      --busy;
      if (SweepParseLedgerLine(text, &r)) work->Finish(r);
      else work->Abandon();
      if (progress) ShowProgress(work, totalArea, ranks - 1, start);
    }
    idle.push_back(source);
    // Hand out what is queued now; when nothing is queued and nothing is in
    // progress, the sweep is over for every idle worker.
    std::vector<int> still;
    for (int rank : idle)
      if (!dispatch(rank)) still.push_back(rank);
    idle.swap(still);
    if (busy == 0 && (work->Queued() == 0 || g_stop || !work->Error().empty())) {
      for (int rank : idle) {
        SendText("", rank, kTagCell);
        ++stopped;
      }
      idle.clear();
    }
  }
  if (progress) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
  }
}
#endif

// The cells of the map and their area by verdict: hyperbolic, not proven,
// refused.
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

std::string SummaryText(const SweepSettings& s, const std::vector<SweepResult>& leaves,
                        int verified, double wall, int workers, const char* mode) {
  const Totals t(leaves);
  const double total = (s.a.hi - s.a.lo) * (s.b.hi - s.b.lo);
  char text[1024];
  std::snprintf(text, sizeof text,
                "cells verified: %d (%d in the map)\n"
                "hyperbolic: %d cells, area %.6g (%.1f%%)\n"
                "not proven: %d cells, area %.6g (%.1f%%)\n"
                "refused:    %d cells, area %.6g (%.1f%%)\n"
                "wall time of this run: %.1f s with %d %s\n",
                verified, static_cast<int>(leaves.size()), t.count[0], t.area[0],
                100 * t.area[0] / total, t.count[1], t.area[1], 100 * t.area[1] / total,
                t.count[2], t.area[2], 100 * t.area[2] / total, wall, workers, mode);
  return text;
}

nlohmann::ordered_json SummaryJson(const SweepSettings& s, const std::vector<SweepResult>& leaves,
                                   int verified, double wall, int workers, bool complete) {
  const Totals t(leaves);
  nlohmann::ordered_json j;
  j["settings"] = SweepSettingsJson(s);
  j["complete"] = complete;
  j["cells_verified"] = verified;
  j["cells_in_map"] = leaves.size();
  static const char* const kVerdicts[3] = {"hyperbolic", "not proven", "refused"};
  for (int k = 0; k < 3; ++k) j[kVerdicts[k]] = {{"cells", t.count[k]}, {"area", t.area[k]}};
  j["area"] = (s.a.hi - s.a.lo) * (s.b.hi - s.b.lo);
  j["wall_seconds"] = wall;
  j["workers"] = workers;
  return j;
}

std::string Picture(const SweepSettings& s, const std::vector<SweepResult>& leaves,
                    const std::string& summary) {
  PlotPanel panel;
  panel.title = "Hénon map H(x, y) = (a − x² + b·y, x): hyperbolic parameters";
  panel.xLabel = "a";
  panel.yLabel = "b";
  panel.view.lo[0] = s.a.lo;
  panel.view.hi[0] = s.a.hi;
  panel.view.lo[1] = s.b.lo;
  panel.view.hi[1] = s.b.hi;
  for (const SweepResult& r : leaves) {
    const PlaneBox box{{r.cell.a[0], r.cell.b[0]}, {r.cell.a[1], r.cell.b[1]}};
    if (r.verdict == "hyperbolic") panel.boxes.push_back(box);
    else if (r.verdict == "not proven") panel.outlined.push_back(box);
    else panel.shaded.push_back(box);
  }
  std::vector<std::string> caption;
  caption.push_back("blue: hyperbolic;  outlined: not proven up to depth " +
                    std::to_string(s.maxDepth) + ";  grey: refused");
  size_t start = 0;
  while (start < summary.size()) {
    const size_t eol = summary.find('\n', start);
    caption.push_back(summary.substr(start, eol - start));
    start = eol == std::string::npos ? summary.size() : eol + 1;
  }
  return SvgDocument("vesk sweep: a in " + RangeText(s.a) + ", b in " + RangeText(s.b),
                     {panel}, caption);
}

// Parses "X,Y" into two numbers read by `read`.
template <typename T, typename Read>
bool ParsePair(const std::string& text, const char* what, T* out, Read read,
               std::string* error) {
  const size_t comma = text.find(',');
  if (comma == std::string::npos || text.find(',', comma + 1) != std::string::npos ||
      !read(text.substr(0, comma), &out[0]) || !read(text.substr(comma + 1), &out[1])) {
    *error = std::string(what) + ": '" + text + "' is not two numbers separated by a comma";
    return false;
  }
  return true;
}

}  // namespace

int RunSweep(const SweepCommand& cmd) {
  std::string error;
  SweepSettings s{};
  if (cmd.a.empty() || cmd.b.empty())
    return Fail(std::string(cmd.a.empty() ? "--a" : "--b") +
                " is missing: give the parameter rectangle, e.g. --a 2,6 --b -0.4,0.4");
  if (cmd.out.empty()) return Fail("--out is missing: give the directory of the sweep");
  if (!ParseRange(cmd.a, "--a", &s.a, &error)) return Fail(error);
  if (!ParseRange(cmd.b, "--b", &s.b, &error)) return Fail(error);
  if (!(s.a.lo < s.a.hi) || !(s.b.lo < s.b.hi))
    return Fail(std::string(s.a.lo < s.a.hi ? "--b" : "--a") +
                ": the rectangle has no width: give an interval such as 2,6");
  s.cells[0] = s.cells[1] = 1;
  if (!cmd.cells.empty()) {
    auto readCount = [](const std::string& t, int* v) {
      char* end = nullptr;
      const long n = std::strtol(t.c_str(), &end, 10);
      if (t.empty() || *end != '\0' || n < 1 || n > 4096) return false;
      *v = static_cast<int>(n);
      return true;
    };
    if (!ParsePair(cmd.cells, "--cells", s.cells, readCount, &error))
      return Fail(error + " (whole numbers from 1 to 4096, e.g. 8,4)");
  }
  s.minWidth[0] = s.minWidth[1] = 0.0;
  if (!cmd.minWidth.empty()) {
    auto readWidth = [](const std::string& t, double* v) {
      return NearestNumber(t.c_str(), v) == kNumberOk && *v >= 0.0;
    };
    if (!ParsePair(cmd.minWidth, "--min-width", s.minWidth, readWidth, &error))
      return Fail(error + " (e.g. 0.05,0.01)");
    if (s.minWidth[0] > s.a.hi - s.a.lo || s.minWidth[1] > s.b.hi - s.b.lo)
      return Fail("--min-width " + cmd.minWidth +
                  " is wider than the rectangle: no cell could ever be split");
  }
  s.levels = cmd.levels >= 0 ? cmd.levels : cmd.minWidth.empty() ? 2 : -1;
  s.maxDepth = cmd.maxDepth >= 0 ? cmd.maxDepth : 20;
  if (s.maxDepth > 255) return Fail("--max-depth is beyond the 255 levels the analyses support");
  long long maxMemory = 0;
  if (!cmd.maxMemory.empty() && !ParseSize(cmd.maxMemory, "--max-memory", &maxMemory, &error))
    return Fail(error);
  const unsigned cores = std::thread::hardware_concurrency();
  const int jobs = cmd.jobs > 0 ? cmd.jobs : cores > 0 ? static_cast<int>(cores) : 1;
  // Cells in parallel first; the cores left over go to each cell's analyses.
  const int threads = cmd.threads > 0                       ? cmd.threads
                      : static_cast<int>(cores) > jobs ? static_cast<int>(cores) / jobs
                                                            : 1;
  for (const SweepCell& c : SweepFirstCells(s))
    if (!(c.a[0] < c.a[1]) || !(c.b[0] < c.b[1]))
      return Fail("--cells " + cmd.cells + " makes cells narrower than the doubles allow");

  int rank = 0, ranks = 1;
#ifdef VESK_HAVE_MPI
  const bool mpi = LaunchedByMpi();
  if (mpi) {
    MPI_Init(nullptr, nullptr);
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &ranks);
  }
  // Every rank has checked the arguments above; a refusal on rank 0 below
  // (the directory) is sent to the others as a stop.
  struct Finalize {
    bool on;
    ~Finalize() {
      if (on) MPI_Finalize();
    }
  } finalize{mpi};
  if (mpi && ranks > 1 && rank > 0) {
    int go = 0;
    MPI_Bcast(&go, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (go) MpiWorker(s, maxMemory, cmd.threads > 0 ? cmd.threads : 1);
    return go ? 0 : kExitUsage;
  }
  auto release = [&](int go) {
    if (mpi && ranks > 1) MPI_Bcast(&go, 1, MPI_INT, 0, MPI_COMM_WORLD);
  };
#else
  auto release = [](int) {};
#endif

  // The directory: new, or holding a sweep with the same settings.
  const std::string dir = cmd.out;
  const std::string settingsPath = dir + "/sweep.json";
  const std::string settingsText = SweepSettingsJson(s).dump(2) + "\n";
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      release(0);
      return Fail("--out " + dir + " is not a directory");
    }
    std::string old;
    if (stat(settingsPath.c_str(), &st) == 0) {
      bool ioFailure = false;
      if (!ReadWholeFile(settingsPath, &old, &error, &ioFailure)) {
        release(0);
        return Fail(error);
      }
      if (old != settingsText) {
        release(0);
        return Fail("--out " + dir +
                    " holds a sweep with other settings (see its sweep.json): give another "
                    "directory, or the same --a, --b, --cells, --min-width, --levels and "
                    "--max-depth to continue it");
      }
    } else if (access(dir.c_str(), W_OK) != 0) {
      release(0);
      return Fail("--out: cannot write in " + dir + ": " + std::strerror(errno));
    }
  } else if (mkdir(dir.c_str(), 0755) != 0) {
    release(0);
    return Fail("--out: cannot create the directory " + dir + ": " + std::strerror(errno));
  }
  if (!WriteFileAtomically(settingsPath, settingsText, &error)) {
    release(0);
    std::fprintf(stderr, "vesk sweep: %s\n", error.c_str());
    return kExitIo;
  }
  Ledger ledger;
  std::map<std::string, SweepResult> done;
  bool ioFailure = false;
  if (!ledger.Open(dir + "/ledger.jsonl", &done, &error, &ioFailure)) {
    release(0);
    std::fprintf(stderr, "vesk sweep: %s\n", error.c_str());
    return ioFailure ? kExitIo : kExitUsage;
  }
  const int before = static_cast<int>(done.size());
  Work work(s, std::move(done), &ledger);
  release(1);

  struct sigaction action, previous;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &previous);
  const bool progress = isatty(STDERR_FILENO) == 1;
  const double totalArea = (s.a.hi - s.a.lo) * (s.b.hi - s.b.lo);
  std::printf("# vesk sweep: a in %s, b in %s, %d x %d cells, %s, depth bound %d\n",
              RangeText(s.a).c_str(), RangeText(s.b).c_str(), s.cells[0], s.cells[1],
              s.levels >= 0 ? ("up to " + std::to_string(s.levels) +
                               (s.levels == 1 ? " split" : " splits"))
                                  .c_str()
                            : "split down to the minimum width",
              s.maxDepth);
  if (before > 0) std::printf("# continuing: %d cells are in the ledger already\n", before);
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  int workers = jobs;
  const char* mode = jobs == 1 ? "job" : "jobs";
#ifdef VESK_HAVE_MPI
  if (mpi && ranks > 1) {
    workers = ranks - 1;
    mode = workers == 1 ? "MPI worker rank" : "MPI worker ranks";
    MpiLeader(&work, ranks, totalArea, progress);
  } else {
    RunThreads(s, &work, jobs, threads, maxMemory, totalArea, progress);
  }
#else
  RunThreads(s, &work, jobs, threads, maxMemory, totalArea, progress);
#endif
  sigaction(SIGINT, &previous, nullptr);
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  const std::string ledgerError = work.Error();
  if (!ledgerError.empty()) {
    std::fprintf(stderr, "vesk sweep: %s\n", ledgerError.c_str());
    return kExitIo;
  }
  const bool complete = work.Complete();
  const std::vector<SweepResult> leaves = work.Leaves();
  const int verified = work.Finished();
  const std::string summary = SummaryText(s, leaves, verified, wall, workers, mode);
  std::fputs(summary.c_str(), stdout);
  std::fflush(stdout);
  int status = 0;
  if (!WriteFileAtomically(dir + "/summary.json",
                           SummaryJson(s, leaves, verified, wall, workers, complete).dump(2) +
                               "\n",
                           &error) ||
      !WriteFileAtomically(dir + "/sweep.svg", Picture(s, leaves, summary), &error)) {
    std::fprintf(stderr, "vesk sweep: %s\n", error.c_str());
    status = kExitIo;
  }
  if (!complete) {
    std::fprintf(stderr,
                 "vesk sweep: interrupted; %d cells are in the ledger: the same command "
                 "continues the sweep\n",
                 verified);
    return kExitInterrupted;
  }
  return status;
}

}  // namespace vesk
