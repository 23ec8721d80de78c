// vesk._vesk: the native part of the Python module. It holds trees, runs
// the verification driver and the map subsystem with the interpreter lock
// released, and gives the package (python/vesk/__init__.py) the parsers of
// the command line, so that numbers typed in decimal are enclosed the same
// way at every door. Inputs are checked by VerifyCheckInput like everywhere
// else; nothing here aborts the interpreter: refusals raise ValueError,
// memory failures MemoryError, Ctrl-C KeyboardInterrupt after the pass in
// progress.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "cli/files.h"
#include "cli/params.h"
#include "cli/report.h"
#include "gateway/driver.h"
#include "io/file_write.h"
#include "io/tree_file.h"
#include "sweep/sweep.h"
#include "tree/rectangle.h"
#include "tree/tree.h"
#include "vesk/version.h"

namespace py = pybind11;

namespace {

using vesk::Tree;

[[noreturn]] void Raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

// A tree owned by Python. `busy` is set while a verification edits it with
// the interpreter lock released, so that another Python thread cannot touch
// it meanwhile.
struct PyTree {
  Tree* tree = nullptr;
  std::atomic<bool> busy{false};
  PyTree() = default;
  PyTree(const PyTree&) = delete;
  PyTree& operator=(const PyTree&) = delete;
  ~PyTree() {
    if (tree) vesk::TreeFree(&tree);
  }
};

Tree* Use(PyTree& t) {
  if (t.busy.load())
    Raise(PyExc_RuntimeError,
          "the tree is being verified in another thread: wait for that call to return");
  if (!t.tree) Raise(PyExc_RuntimeError, "the tree is empty");
  return t.tree;
}

std::vector<double> Doubles(const py::sequence& s, const char* what) {
  std::vector<double> out;
  for (py::handle h : s) {
    if (py::isinstance<py::bool_>(h) || py::isinstance<py::str>(h))
      Raise(PyExc_TypeError, std::string(what) + " must hold numbers");
    out.push_back(py::float_(py::reinterpret_borrow<py::object>(h)).cast<double>());
  }
  return out;
}

std::unique_ptr<PyTree> NewTree(const py::sequence& center, const py::sequence& radius) {
  const std::vector<double> c = Doubles(center, "center");
  const std::vector<double> r = Doubles(radius, "radius");
  if (c.size() != r.size() || c.empty() || c.size() > static_cast<size_t>(vesk::kMaxDim))
    Raise(PyExc_ValueError, "the center has " + std::to_string(c.size()) +
                                " entries and the radius " + std::to_string(r.size()) +
                                ": give two lists of one length from 1 to " +
                                std::to_string(vesk::kMaxDim));
  vesk::Rectangle* domain =
      vesk::RectangleNew(c.data(), r.data(), static_cast<uint8_t>(c.size()));
  char why[200];
  if (!vesk::RectangleCheck(domain, why, sizeof why)) {
    vesk::RectangleFree(&domain);
    Raise(PyExc_ValueError, why);
  }
  auto t = std::make_unique<PyTree>();
  t->tree = vesk::TreeNew(domain);
  vesk::RectangleFree(&domain);
  if (!t->tree) throw std::bad_alloc();
  return t;
}

void Subdivide(PyTree& t, int times) {
  Tree* tree = Use(t);
  if (times < 0 || times > 64) Raise(PyExc_ValueError, "times must be a whole number from 0 to 64");
  if (times == 0) return;
  const double leaves = static_cast<double>(vesk::TreeWalkCount(tree, -1));
  const double after = std::ldexp(leaves, times);
  if (after > vesk::kVerifyMaxLeaves)
    Raise(PyExc_ValueError, "subdividing " + std::to_string(static_cast<long long>(leaves)) +
                                " leaves " + std::to_string(times) + " times would make " +
                                std::to_string(after) + " leaves; at most 2147483647");
  const double need = vesk::VerifySubdivideBytes(leaves, static_cast<int>(times));
  const double have = static_cast<double>(vesk::VerifyMemoryAvailable(0));
  if (need > have) {
    char needText[32], haveText[32];
    vesk::VerifyFormatBytes(static_cast<int64_t>(need), needText, sizeof needText);
    vesk::VerifyFormatBytes(static_cast<int64_t>(have), haveText, sizeof haveText);
    Raise(PyExc_MemoryError, std::string("subdividing would need about ") + needText +
                                 ", more than the " + haveText +
                                 " available; the tree is unchanged");
  }
  // A failed allocation leaves every box linked so far complete: the tree
  // stays usable (pybind11 turns std::bad_alloc into MemoryError).
  for (int i = 0; i < times; ++i) vesk::TreeSubdivideAll(tree);
}

// Rows [centre..., radius...] of the boxes a walk visits (-1: leaves).
py::array_t<double> Boxes(Tree* tree, int depth) {
  const int dim = tree->domain->dim;
  const int64_t rows = vesk::TreeWalkCount(tree, depth);
  py::array_t<double> out(
      std::vector<py::ssize_t>{static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(2 * dim)});
  auto m = out.mutable_unchecked<2>();
  int64_t i = 0;
  if (vesk::TreeFirstBox(tree, depth)) {
    do {
      for (int k = 0; k < dim; ++k) {
        m(i, k) = tree->c[k];
        m(i, dim + k) = tree->r[k];
      }
      ++i;
    } while (vesk::TreeNextBox(tree, depth));
  }
  return out;
}

void Save(PyTree& t, const std::string& path) {
  Tree* tree = Use(t);
  char* buffer = nullptr;
  size_t size = 0;
  FILE* mem = open_memstream(&buffer, &size);
  if (!mem) throw std::bad_alloc();
  vesk::TreeSave(mem, tree);
  const bool collected = std::fclose(mem) == 0;
  char why[1024] = "out of memory";
  const int saved = collected && vesk::FileWriteAtomically(path.c_str(), buffer, size, why,
                                                           sizeof why);
  std::free(buffer);
  if (!saved) Raise(PyExc_OSError, std::string("cannot save the tree: ") + why);
}

std::unique_ptr<PyTree> Load(const std::string& path) {
  char why[1024];
  int notRegular = 0;
  FILE* in = vesk::TreeFileOpen(path.c_str(), why, sizeof why, &notRegular);
  if (!in) Raise(notRegular ? PyExc_ValueError : PyExc_OSError, why);
  Tree* tree = vesk::TreeFileLoad(in, path.c_str(), why, sizeof why);
  std::fclose(in);
  if (!tree) Raise(PyExc_ValueError, why);
  auto t = std::make_unique<PyTree>();
  t->tree = tree;
  return t;
}

// ---- verification -----------------------------------------------------

// A Python error met in a hook, kept until the library has returned (the
// hooks never throw through it).
struct KeptError {
  bool failed = false;
  py::object type, value, trace;
  // Takes the error in force (the GIL held); only the first one is kept.
  void Keep() {
    if (failed) {
      PyErr_Clear();
      return;
    }
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    type = py::reinterpret_steal<py::object>(t);
    value = py::reinterpret_steal<py::object>(v);
    trace = py::reinterpret_steal<py::object>(tb);
    failed = true;
  }
  // Raises the kept error, if any.
  void Raise() {
    if (!failed) return;
    PyErr_Restore(type.release().ptr(), value.release().ptr(), trace.release().ptr());
    throw py::error_already_set();
  }
};

// What the hooks of one run gather. They never throw: a Python error met
// in a hook is kept and raised once the driver has returned.
struct RunContext {
  py::object printer;              // None, or a callable taking one line
  std::string pending;             // a console line not yet complete
  std::vector<std::string> lines;  // complete console lines
  std::vector<std::string> passes; // PassRecord of every pass, as JSON text
  vesk::VerifyPassStats last{};
  bool haveLast = false;
  int stageBoxes[4] = {-1, -1, -1, -1};
  KeptError error;
};

void KeepError(RunContext* ctx) { ctx->error.Keep(); }

void HookPrint(void* user, const char* text) {
  RunContext* ctx = static_cast<RunContext*>(user);
  ctx->pending += text;
  size_t eol;
  while ((eol = ctx->pending.find('\n')) != std::string::npos) {
    ctx->lines.push_back(ctx->pending.substr(0, eol));
    ctx->pending.erase(0, eol + 1);
    if (ctx->printer.is_none() || ctx->error.failed) continue;
    py::gil_scoped_acquire gil;
    PyObject* r = PyObject_CallFunction(ctx->printer.ptr(), "s", ctx->lines.back().c_str());
    if (r) Py_DECREF(r);
    else KeepError(ctx);
  }
}

void HookStage(void* user, vesk::VerifyStage stage, int boxes) {
  RunContext* ctx = static_cast<RunContext*>(user);
  if (stage >= 0 && stage < 4) ctx->stageBoxes[stage] = boxes;
}

void Record(RunContext* ctx, const vesk::VerifyPassStats* stats) {
  ctx->passes.push_back(vesk::PassRecord(*stats, vesk::PeakMemoryBytes()).dump());
  ctx->last = *stats;
  ctx->haveLast = true;
}

int HookPassDone(void* user, const vesk::VerifyPassStats* stats, Tree*) {
  RunContext* ctx = static_cast<RunContext*>(user);
  Record(ctx, stats);
  if (ctx->error.failed) return 1;
  // Ctrl-C: the interpreter's handler only sets a flag while the lock is
  // released; running the handlers here turns it into KeyboardInterrupt,
  // raised after this completed pass.
  py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() != 0) KeepError(ctx);
  return ctx->error.failed ? 1 : 0;
}

void HookPassSucceeded(void* user, const vesk::VerifyPassStats* stats, Tree*) {
  Record(static_cast<RunContext*>(user), stats);
}

void Check(PyTree& t, double aLo, double aHi, double bLo, double bHi, int toDepth) {
  Tree* tree = Use(t);
  const double lo[2] = {aLo, bLo}, hi[2] = {aHi, bHi};
  char why[1024];
  if (vesk::VerifyCheckInput(tree, lo, hi, toDepth, why, sizeof why) != vesk::kInputOk)
    Raise(PyExc_ValueError, why);
}

// Clears `busy` on every way out.
struct BusyGuard {
  std::atomic<bool>* flag;
  ~BusyGuard() { flag->store(false); }
};

py::dict Verify(PyTree& t, double aLo, double aHi, double bLo, double bHi, bool once,
                int maxDepth, long long maxMemory, int threads, py::object printer) {
  Tree* lifted = Use(t);
  const int height = vesk::TreeDepth(lifted->root);
  if (!once) {
    const int limit = vesk::VerifyHeightLimit(lifted);
    if (maxDepth < 0 || maxDepth > limit)
      Raise(PyExc_ValueError, "max_depth " + std::to_string(maxDepth) +
                                  " is outside 0 to " + std::to_string(limit) +
                                  ", the deepest levels the analyses support");
    if (maxDepth < height)
      Raise(PyExc_ValueError, "max_depth " + std::to_string(maxDepth) +
                                  " is below the height " + std::to_string(height) +
                                  " of the tree: give at least " + std::to_string(height));
  }
  if (maxMemory < 0) Raise(PyExc_ValueError, "max_memory must be a positive number of bytes");
  if (threads < 0) Raise(PyExc_ValueError, "threads must be 0 (one per core) or more");
  // The one check of every door, on the tree as it will be run.
  Check(t, aLo, aHi, bLo, bHi, once ? height : maxDepth);

  bool expected = false;
  if (!t.busy.compare_exchange_strong(expected, true))
    Raise(PyExc_RuntimeError, "the tree is being verified in another thread");
  BusyGuard guard{&t.busy};

  RunContext ctx;
  ctx.printer = printer;
  const double paramLo[2] = {aLo, bLo}, paramHi[2] = {aHi, bHi};
  const vesk::VerifyHooks hooks{&ctx, HookPrint, HookStage, HookPassDone, HookPassSucceeded};
  const vesk::VerifyOptions options{once ? 1 : 0, once ? -1 : maxDepth, 1,
                                    static_cast<int64_t>(maxMemory), threads};
  vesk::VerifyOutcome outcome = vesk::kVerifyNotProven;
  bool outOfMemory = false;
  double seconds = 0.0;
  {
    py::gil_scoped_release nogil;
    const auto start = std::chrono::steady_clock::now();
    try {
      outcome = vesk::VerifyHyperbolic(lifted, paramLo, paramHi, &options, &hooks, nullptr);
    } catch (const std::bad_alloc&) {
      // No box is linked before it is complete: the tree stays usable.
      outOfMemory = true;
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  ctx.error.Raise();
  if (outOfMemory)
    Raise(PyExc_MemoryError,
          "out of memory during the verification; the tree is still usable (it holds the "
          "boxes of the last step that completed): give max_memory below what this process "
          "may use, so that the loop stops before a pass that does not fit");

  // The verdict, in the words of the command line's report.
  std::string verdict = "error", message;
  const int h = vesk::TreeDepth(lifted->root);
  switch (outcome) {
    case vesk::kVerifyHyperbolic:
      verdict = "hyperbolic";
      message = "Hyperbolic!";
      if (once) HookPrint(&ctx, "Hyperbolic!\n");
      break;
    case vesk::kVerifyNotProven:
      verdict = "not proven";
      message = "not proven at depth " + std::to_string(h);
      HookPrint(&ctx, (message + "\n").c_str());
      break;
    case vesk::kVerifyDepthBound:
    case vesk::kVerifyDepthLimit:
      verdict = "not proven";
      message = "not proven up to depth " +
                std::to_string(outcome == vesk::kVerifyDepthBound ? maxDepth
                                                                  : vesk::VerifyHeightLimit(lifted));
      if (outcome == vesk::kVerifyDepthLimit) HookPrint(&ctx, (message + "\n").c_str());
      break;
    case vesk::kVerifyMemory: {
      if (once) {
        const int64_t need = vesk::VerifyPassBytes(vesk::TreeCountDepth(lifted, -1), 0);
        char needText[32], haveText[32];
        vesk::VerifyFormatBytes(need, needText, sizeof needText);
        vesk::VerifyFormatBytes(vesk::VerifyMemoryAvailable(maxMemory), haveText,
                                sizeof haveText);
        message = "not proven at depth " + std::to_string(h) + ": the analyses need about " +
                  needText + ", more than the " + haveText + " available";
      } else {
        message = ctx.lines.empty() ? "not proven: out of memory" : ctx.lines.back();
      }
      Raise(PyExc_MemoryError, message + "; the tree is still usable");
    }
    case vesk::kVerifyStopped:
      // Only a Python error stops the loop, and it was raised above.
      Raise(PyExc_RuntimeError, "the verification stopped after pass " +
                                    std::to_string(ctx.last.pass));
    case vesk::kVerifyRefused:
      Raise(PyExc_ValueError, "the verification refused the lifted tree");
    default:
      verdict = "not proven";
      message = "not proven up to depth " + std::to_string(h);
      HookPrint(&ctx, (message + "\n").c_str());
      break;
  }
  ctx.error.Raise();  // the printer may have failed on the last lines

  // What is left of the lifted tree: nothing when an analysis emptied it
  // (the root then stays behind as a lone leaf).
  bool empty;
  if (once) {
    empty = ctx.stageBoxes[vesk::kStageInvariantSet] < 0 ||
            ctx.stageBoxes[vesk::kStageConeTest] < 0;
    if (empty && outcome != vesk::kVerifyHyperbolic) empty = false;
    // Once mode's one record, as the report writes it.
    const int* in = ctx.stageBoxes;
    vesk::VerifyPassStats s{};
    s.pass = 0;
    s.depth = h;
    s.leaves = in[vesk::kStageChainRecurrent];
    s.subdivided = in[vesk::kStageChainRecurrent];
    s.baseBoxes = s.baseRecurrent = -1;
    s.afterChainRec = in[vesk::kStageInvariantSet] >= 0 ? in[vesk::kStageInvariantSet] : 0;
    s.afterInvariant = in[vesk::kStageConeTest] >= 0 ? in[vesk::kStageConeTest]
                       : s.afterChainRec > 0          ? 0
                                                      : -1;
    s.conePassed =
        in[vesk::kStageConeTest] >= 0 ? (outcome == vesk::kVerifyHyperbolic ? 1 : 0) : -1;
    s.seconds = seconds;
    nlohmann::ordered_json record = vesk::PassRecord(s, vesk::PeakMemoryBytes());
    record["pass"] = nullptr;
    record["leaves_before_subdivision"] = nullptr;
    ctx.passes.push_back(record.dump());
  } else {
    empty = ctx.haveLast && (ctx.last.afterChainRec == 0 || ctx.last.afterInvariant == 0);
  }

  py::dict r;
  r["verdict"] = verdict;
  r["message"] = message;
  r["outcome_code"] = static_cast<int>(outcome);
  r["passes"] = ctx.passes;
  r["lines"] = ctx.lines;
  r["depth"] = h;
  r["empty"] = empty;
  r["boxes"] = empty ? py::array_t<double>(std::vector<py::ssize_t>{0, 2 * lifted->domain->dim})
                     : Boxes(lifted, -1);
  r["seconds"] = seconds;
  r["peak_memory_bytes"] = vesk::PeakMemoryBytes();
  return r;
}

// ---- numbers typed in decimal ------------------------------------------

py::tuple EncloseRange(const std::string& text, const std::string& what) {
  vesk::Range range{};
  std::string error;
  if (!vesk::ParseRange(text, what.c_str(), &range, &error)) Raise(PyExc_ValueError, error);
  return py::make_tuple(range.lo, range.hi);
}

py::tuple Enclose(const std::string& text, const std::string& what) {
  double down = 0.0, up = 0.0;
  if (vesk::EncloseNumber(text.c_str(), &down, &up) != vesk::kNumberOk)
    Raise(PyExc_ValueError, what + ": '" + text + "' is not a finite number");
  return py::make_tuple(down, up);
}

double Nearest(const std::string& text, const std::string& what) {
  double value = 0.0;
  if (vesk::NearestNumber(text.c_str(), &value) != vesk::kNumberOk)
    Raise(PyExc_ValueError, what + ": '" + text + "' is not a finite number");
  return value;
}

long long Size(const std::string& text, const std::string& what) {
  long long bytes = 0;
  std::string error;
  if (!vesk::ParseSize(text, what.c_str(), &bytes, &error)) Raise(PyExc_ValueError, error);
  return bytes;
}

std::vector<double> DefaultRadius(double aLo, double aHi, double bLo, double bHi) {
  double radius[4];
  if (!vesk::DefaultLiftedRadius({aLo, aHi}, {bLo, bHi}, radius))
    Raise(PyExc_ValueError,
          "the parameters are too large for a default domain: no square of doubles holds "
          "every bounded orbit of the map");
  return {radius[0], radius[1], radius[2], radius[3]};
}

// ---- maps ----------------------------------------------------------------

vesk::SweepSettings Settings(const py::tuple& s) {
  if (s.size() != 12) Raise(PyExc_ValueError, "settings: 12 entries expected");
  vesk::SweepSettings v{};
  v.a = {s[0].cast<double>(), s[1].cast<double>()};
  v.b = {s[2].cast<double>(), s[3].cast<double>()};
  v.cells[0] = s[4].cast<int>();
  v.cells[1] = s[5].cast<int>();
  v.minWidth[0] = s[6].cast<double>();
  v.minWidth[1] = s[7].cast<double>();
  v.levels = s[8].cast<int>();
  v.maxDepth = s[9].cast<int>();
  v.budget = s[10].cast<int64_t>();
  v.probeBudget = s[11].cast<int64_t>();
  return v;
}

struct SweepContext {
  py::object printer;
  volatile sig_atomic_t stop = 0;
  KeptError error;
};

void SweepPrint(void* user, const char* text) {
  SweepContext* ctx = static_cast<SweepContext*>(user);
  if (ctx->printer.is_none() || ctx->error.failed) return;
  py::gil_scoped_acquire gil;
  std::string line(text);
  while (!line.empty() && line.back() == '\n') line.pop_back();
  PyObject* r = PyObject_CallFunction(ctx->printer.ptr(), "s", line.c_str());
  if (r) {
    Py_DECREF(r);
    return;
  }
  ctx->error.Keep();
  ctx->stop = 1;
}

// Called about four times a second on the calling thread: the place where
// Ctrl-C is noticed. The cells in progress are then abandoned at their next
// pass and the map is summed up.
void SweepPoll(void* user, const vesk::SweepProgress*) {
  SweepContext* ctx = static_cast<SweepContext*>(user);
  if (ctx->error.failed) return;
  py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() == 0) return;
  ctx->error.Keep();
  ctx->stop = 1;
}

std::string CheckSettings(const py::tuple& settings) {
  return vesk::SweepCheckSettings(Settings(settings));
}

py::dict Sweep(const py::tuple& settings, const std::string& dir, int jobs, int threads,
               long long maxMemory, py::object printer) {
  const vesk::SweepSettings s = Settings(settings);
  const std::string bad = vesk::SweepCheckSettings(s);
  if (!bad.empty()) Raise(PyExc_ValueError, bad);
  if (jobs < 1) Raise(PyExc_ValueError, "jobs must be 1 or more");
  if (threads < 0) Raise(PyExc_ValueError, "threads must be 0 (one per core) or more");
  if (maxMemory < 0) Raise(PyExc_ValueError, "max_memory must be a positive number of bytes");
  SweepContext ctx;
  ctx.printer = printer;
  vesk::SweepRunOptions o{};
  o.dir = dir;
  o.jobs = jobs;
  o.threads = threads;
  o.mpiThreads = threads;
  o.maxMemory = maxMemory;
  o.user = &ctx;
  o.print = SweepPrint;
  o.progress = SweepPoll;
  o.stop = &ctx.stop;
  vesk::SweepSummary summary;
  std::string message;
  bool worker = false;
  vesk::SweepStatus status = vesk::kSweepIoError;
  bool outOfMemory = false;
  {
    py::gil_scoped_release nogil;
    try {
      status = vesk::SweepRun(s, o, &summary, &message, &worker);
    } catch (const std::bad_alloc&) {
      outOfMemory = true;
    }
  }
  if (outOfMemory)
    Raise(PyExc_MemoryError, "out of memory while running the map: give fewer jobs or a "
                             "max_memory below what the machine has; the same call continues "
                             "the map");
  py::dict r;
  r["worker"] = worker;
  if (worker) return r;
  if (status == vesk::kSweepRefused) Raise(PyExc_ValueError, message);
  if (status == vesk::kSweepIoError && summary.workers == 0) Raise(PyExc_OSError, message);
  const std::string text = vesk::SweepSummaryText(s, summary);
  std::string writeError;
  const bool written = vesk::WriteFileAtomically(
      dir + "/summary.json", vesk::SweepSummaryJson(s, summary).dump(2) + "\n", &writeError);
  ctx.error.Raise();
  if (!written) Raise(PyExc_OSError, writeError);
  if (status == vesk::kSweepIoError) Raise(PyExc_OSError, message);
  r["status"] = status == vesk::kSweepComplete     ? "complete"
                : status == vesk::kSweepIncomplete ? "incomplete"
                                                   : "interrupted";
  r["message"] = message;
  r["summary"] = text;
  return r;
}

// Checks a ledger line (with the map's settings when given) and gives it
// back as JSON text; ValueError with the reason otherwise.
std::string ParseLedgerLine(const std::string& line, py::object settings) {
  vesk::SweepSettings s{};
  const vesk::SweepSettings* with = nullptr;
  if (!settings.is_none()) {
    s = Settings(settings.cast<py::tuple>());
    with = &s;
  }
  vesk::SweepResult result;
  std::string why;
  if (!vesk::SweepParseLedgerLine(line, with, &result, &why)) Raise(PyExc_ValueError, why);
  return vesk::SweepLedgerLine(result);
}

}  // namespace

PYBIND11_MODULE(_vesk, m) {
  m.doc() = "vesk's native part; use the package vesk";
  m.attr("__version__") = VESK_VERSION;
  m.attr("SWEEP_DEFAULT_MAX_DEPTH") = vesk::kSweepDefaultMaxDepth;
  m.attr("SWEEP_DEFAULT_BUDGET") = vesk::kSweepDefaultBudget;
  m.def("sweep_probe_budget", &vesk::SweepProbeBudget,
        "The default probe budget of a first cell for a cell budget.");
  m.attr("SWEEP_MAX_LEVELS") = vesk::kSweepMaxLevels;

  py::class_<PyTree>(m, "Tree")
      .def(py::init(&NewTree), py::arg("center"), py::arg("radius"))
      .def("subdivide", &Subdivide, py::arg("times") = 1)
      .def("__len__", [](PyTree& t) { return vesk::TreeWalkCount(Use(t), -1); })
      .def_property_readonly("depth", [](PyTree& t) { return vesk::TreeDepth(Use(t)->root); })
      .def_property_readonly("dim", [](PyTree& t) { return int{Use(t)->domain->dim}; })
      .def_property_readonly("center",
                             [](PyTree& t) {
                               Tree* tree = Use(t);
                               return std::vector<double>(
                                   tree->domain->center, tree->domain->center + tree->domain->dim);
                             })
      .def_property_readonly("radius",
                             [](PyTree& t) {
                               Tree* tree = Use(t);
                               return std::vector<double>(
                                   tree->domain->radius, tree->domain->radius + tree->domain->dim);
                             })
      .def("boxes", [](PyTree& t, int depth) {
             Tree* tree = Use(t);
             if (depth < -2 || depth > vesk::TreeMaxDepth(tree))
               Raise(PyExc_ValueError, "depth must be -2, -1 (the leaves) or 0 to " +
                                           std::to_string(vesk::TreeMaxDepth(tree)));
             return Boxes(tree, depth);
           }, py::arg("depth") = -1)
      .def("save", &Save, py::arg("path"))
      .def_static("load", &Load, py::arg("path"));

  m.def("check", &Check, py::arg("tree"), py::arg("a_lo"), py::arg("a_hi"), py::arg("b_lo"),
        py::arg("b_hi"), py::arg("to_depth"));
  m.def("verify", &Verify, py::arg("tree"), py::arg("a_lo"), py::arg("a_hi"), py::arg("b_lo"),
        py::arg("b_hi"), py::arg("once"), py::arg("max_depth"), py::arg("max_memory"),
        py::arg("threads"), py::arg("printer"));
  m.def("resident_bytes", &vesk::VerifyResidentBytes);
  m.def("threads_used", &vesk::VerifyThreads, py::arg("threads"));
  m.def("enclose_range", &EncloseRange, py::arg("text"), py::arg("what"));
  m.def("enclose", &Enclose, py::arg("text"), py::arg("what"));
  m.def("nearest", &Nearest, py::arg("text"), py::arg("what"));
  m.def("parse_size", &Size, py::arg("text"), py::arg("what"));
  m.def("default_radius", &DefaultRadius, py::arg("a_lo"), py::arg("a_hi"), py::arg("b_lo"),
        py::arg("b_hi"));
  m.def("check_settings", &CheckSettings, py::arg("settings"));
  m.def("sweep", &Sweep, py::arg("settings"), py::arg("dir"), py::arg("jobs"),
        py::arg("threads"), py::arg("max_memory"), py::arg("printer"));
  m.def("parse_ledger_line", &ParseLedgerLine, py::arg("line"), py::arg("settings"));
}
