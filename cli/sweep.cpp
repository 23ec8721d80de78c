// vesk sweep: reads the options, runs the map (sweep/), prints the summary
// and draws the map.
#include "cli/sweep.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "cli/commands.h"
#include "cli/files.h"
#include "cli/svg.h"
#include "gateway/driver.h"

namespace vesk {

namespace {

volatile sig_atomic_t g_stop = 0;

// The first Ctrl-C or SIGTERM stops the run with a summary; a second
// Ctrl-C ends the process at once. A launcher such as mpirun may send both
// signals for one Ctrl-C, so SIGTERM alone never ends it at once.
void OnInterrupt(int signal) {
  if (g_stop && signal == SIGINT) _exit(kExitInterrupted);
  if (g_stop) return;
  g_stop = 1;
  static const char kNote[] =
      "\nvesk sweep: stopping the cells in progress at their next pass (press Ctrl-C again to "
      "quit at once)\n";
  ssize_t ignored = write(STDERR_FILENO, kNote, sizeof kNote - 1);
  (void)ignored;
}

int Fail(const std::string& message, int status = kExitUsage) {
  std::fprintf(stderr, "vesk sweep: %s\n", message.c_str());
  return status;
}

std::string Duration(double seconds) {
  char text[32];
  if (seconds < 90) std::snprintf(text, sizeof text, "%.0f s", seconds);
  else if (seconds < 5400) std::snprintf(text, sizeof text, "%.0f min", seconds / 60);
  else std::snprintf(text, sizeof text, "%.1f h", seconds / 3600);
  return text;
}

// The live line on a terminal: cells done, proven area, time left at the
// pace so far (the list grows as cells are split: an estimate).
void ShowProgress(void*, const SweepProgress* p) {
  std::string left = "?";
  if (p->verifiedNow > 0) {
    const double perCell = p->secondsNow / p->verifiedNow;
    left = Duration(perCell * (p->queued + p->running * 0.5) / std::max(1, p->workers));
  }
  std::fprintf(stderr,
               "\r\033[K  %d cells done, %d queued, %d running; proven %.1f%% of the area; "
               "%s elapsed, about %s left",
               p->done, p->queued, p->running, 100.0 * p->provenArea / p->totalArea,
               Duration(p->elapsed).c_str(), left.c_str());
  std::fflush(stderr);
}

void Print(void*, const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

// Colours of the map: proven cells in blues, darker for the deeper proofs;
// the others by why they stopped.
struct Shade {
  int upTo;
  const char* fill;
};
constexpr Shade kDepthShades[] = {{16, "#9ecae1"}, {24, "#6baed6"}, {32, "#3182bd"},
                                  {40, "#08519c"}, {255, "#08306b"}};

const char* Fill(const SweepResult& r) {
  if (r.verdict == "hyperbolic") {
    for (const Shade& s : kDepthShades)
      if (r.depth <= s.upTo) return s.fill;
  }
  if (r.stop == "probe") return "#f2f0e6";
  if (r.stop == "budget") return "#f4c27a";
  if (r.stop == "depth" || r.stop == "limit") return "#e6855e";
  if (r.verdict == "incomplete") return "#d9d9d9";
  return "#969696";  // refused
}

std::string Picture(const SweepSettings& s, const SweepSummary& m, const std::string& summary) {
  PlotPanel panel;
  panel.title = "Hénon map H(x, y) = (a − x² + b·y, x): hyperbolic parameters";
  panel.xLabel = "a";
  panel.yLabel = "b";
  panel.view.lo[0] = s.a.lo;
  panel.view.hi[0] = s.a.hi;
  panel.view.lo[1] = s.b.lo;
  panel.view.hi[1] = s.b.hi;
  for (const SweepResult& r : m.leaves) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f s", r.seconds);
    const std::string title = r.cell.id + ": a in " + RangeText({r.cell.a[0], r.cell.a[1]}) +
                              ", b in " + RangeText({r.cell.b[0], r.cell.b[1]}) + "; " +
                              r.verdict + " (" + r.stop + "), depth " +
                              std::to_string(r.depth) + ", " + std::to_string(r.passes) +
                              " passes, " + seconds + "; " + r.message;
    panel.cells.push_back(
        {{{r.cell.a[0], r.cell.b[0]}, {r.cell.a[1], r.cell.b[1]}}, Fill(r), title});
  }
  std::vector<LegendEntry> legend;
  int from = 0;
  for (const Shade& shade : kDepthShades) {
    legend.push_back({shade.fill, shade.upTo == 255 ? "proved at depth " + std::to_string(from) + "+"
                                                     : "proved at depth " + std::to_string(from) +
                                                           "–" + std::to_string(shade.upTo)});
    from = shade.upTo + 1;
  }
  legend.push_back({"#f2f0e6", "centre not proved"});
  legend.push_back({"#f4c27a", "past the work budget"});
  legend.push_back({"#e6855e", "at the depth bound"});
  legend.push_back({"#d9d9d9", "stopped by memory"});
  legend.push_back({"#969696", "refused"});
  std::vector<std::string> caption;
  size_t start = 0;
  while (start < summary.size()) {
    const size_t eol = summary.find('\n', start);
    const std::string line = summary.substr(start, eol - start);
    // The ledger's SHA-256 is too wide for the page; it is in summary.json.
    if (line.rfind("ledger found at the start", 0) != 0) caption.push_back(line);
    start = eol == std::string::npos ? summary.size() : eol + 1;
  }
  return SvgDocument("vesk sweep: a in " + RangeText(s.a) + ", b in " + RangeText(s.b),
                     {panel}, caption, legend);
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
  constexpr int kNotGiven = SweepCommand::kNotGiven;
  std::string error;
  SweepSettings s{};
  if (cmd.a.empty() || cmd.b.empty())
    return Fail(std::string(cmd.a.empty() ? "--a" : "--b") +
                " is missing: give the parameter rectangle, e.g. --a 2,6 --b -0.4,0.4");
  if (cmd.out.empty()) return Fail("--out is missing: give the directory of the map");
  if (!ParseRange(cmd.a, "--a", &s.a, &error)) return Fail(error);
  if (!ParseRange(cmd.b, "--b", &s.b, &error)) return Fail(error);
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
  }
  s.levels = cmd.levels != kNotGiven ? cmd.levels : cmd.minWidth.empty() ? 5 : -1;
  s.maxDepth = cmd.maxDepth != kNotGiven ? cmd.maxDepth : kSweepDefaultMaxDepth;
  auto readBudget = [](const std::string& text, const char* what, int64_t* out,
                       std::string* error) {
    double value = 0.0;
    if (NearestNumber(text.c_str(), &value) != kNumberOk || !(value >= 16) || value > 0x1p50 ||
        value != std::floor(value)) {
      *error = std::string(what) + ": '" + text +
               "' is not a number of box-passes: give a whole number of at least 16, e.g. "
               "2000000";
      return false;
    }
    *out = static_cast<int64_t>(value);
    return true;
  };
  s.budget = kSweepDefaultBudget;
  if (!cmd.budget.empty() && !readBudget(cmd.budget, "--budget", &s.budget, &error))
    return Fail(error);
  s.probeBudget = SweepProbeBudget(s.budget);
  if (!cmd.probeBudget.empty() &&
      !readBudget(cmd.probeBudget, "--probe-budget", &s.probeBudget, &error))
    return Fail(error);
  const std::string bad = SweepCheckSettings(s);
  if (!bad.empty()) return Fail(bad);
  long long maxMemory = 0;
  if (!cmd.maxMemory.empty() && !ParseSize(cmd.maxMemory, "--max-memory", &maxMemory, &error))
    return Fail(error);
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  SweepRunOptions o{};
  o.dir = cmd.out;
  o.jobs = cmd.jobs != kNotGiven ? cmd.jobs : static_cast<int>(cores);
  // Cells in parallel first; the cores left over go to each cell's analyses.
  o.threads = cmd.threads != kNotGiven ? cmd.threads
              : static_cast<int>(cores) > o.jobs ? static_cast<int>(cores) / o.jobs
                                                 : 1;
  o.mpiThreads = cmd.threads != kNotGiven ? cmd.threads : 1;
  // The analyses of a cell use one thread per core at most.
  if (cmd.threads != kNotGiven && cmd.threads > VerifyThreads(cmd.threads))
    std::fprintf(stderr,
                 "vesk sweep: note: --threads %d is more than the %d cores of this machine; "
                 "each cell uses %d\n",
                 cmd.threads, VerifyThreads(cmd.threads), VerifyThreads(cmd.threads));
  o.maxMemory = maxMemory;
  o.print = Print;
  o.progress = isatty(STDERR_FILENO) == 1 ? ShowProgress : nullptr;
  o.stop = &g_stop;

  // Ctrl-C, and the SIGTERM that mpirun and batch systems send, stop the
  // run with a summary; a second one ends it at once.
  struct sigaction action, previousInt, previousTerm;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;
  action.sa_flags = 0;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &previousInt);
  sigaction(SIGTERM, &action, &previousTerm);
  SweepSummary summary;
  bool worker = false;
  const SweepStatus status = SweepRun(s, o, &summary, &error, &worker);
  sigaction(SIGINT, &previousInt, nullptr);
  sigaction(SIGTERM, &previousTerm, nullptr);
  if (o.progress) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
  }
  // A worker rank says nothing of a refusal (rank 0 reports it) and ends
  // with 0, so that mpirun passes on rank 0's status.
  if (worker) {
    SweepRunEnd();
    return status == kSweepIoError ? Fail(error, kExitIo) : 0;
  }
  if (status == kSweepRefused) return Fail(error, kExitUsage);
  if (status == kSweepIoError && summary.workers == 0) return Fail(error, kExitIo);

  const std::string text = SweepSummaryText(s, summary);
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
  int exit = status == kSweepComplete     ? 0
             : status == kSweepIncomplete ? kExitNotProven
             : status == kSweepIoError    ? kExitIo
                                          : kExitInterrupted;
  std::string writeError;
  if (!WriteFileAtomically(cmd.out + "/summary.json", SweepSummaryJson(s, summary).dump(2) + "\n",
                           &writeError) ||
      !WriteFileAtomically(cmd.out + "/sweep.svg", Picture(s, summary, text), &writeError)) {
    Fail(writeError, kExitIo);
    if (exit == 0) exit = kExitIo;
  }
  if (status == kSweepIoError) Fail(error, kExitIo);
  else if (status == kSweepIncomplete) Fail(error, kExitNotProven);
  else if (status == kSweepInterrupted) {
    Fail("interrupted; " + std::to_string(summary.verified + summary.fromLedger) +
             " cells are in the ledger: the same command continues the map",
         kExitInterrupted);
    // Everything is on the disk; ending MPI would wait for ranks that the
    // launcher is about to kill.
    std::fflush(nullptr);
    _exit(exit);
  }
  SweepRunEnd();
  return exit;
}

}  // namespace vesk
