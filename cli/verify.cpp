// vesk verify: the verification loop on a parameter box, with the console
// lines of the host module, a progress line on a terminal, checkpoints,
// resumption, a JSON report and a picture.
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "cli/certificate.h"
#include "cli/commands.h"
#include "cli/files.h"
#include "cli/params.h"
#include "cli/report.h"
#include "cli/sha256.h"
#include "cli/svg.h"
#include "cli/tree_files.h"
#include "analysis/chain_recurrent.h"
#include "gateway/driver.h"
#include "vesk/version.h"

namespace vesk {

namespace {

volatile sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) {
  g_interrupted = 1;
  static const char kNote[] =
      "\nvesk: stopping after this pass (press Ctrl-C again to quit at once)\n";
  ssize_t ignored = write(STDERR_FILENO, kNote, sizeof kNote - 1);
  (void)ignored;
}

// Everything the hooks of one run need.
struct RunContext {
  FILE* console;           // the loop's lines
  std::string pending;     // a console line not yet complete
  std::string lastLine;    // the last complete console line, without its line feed
  bool progress;           // standard error is a terminal
  bool progressShown;
  bool once;
  int pass;                // pass running now
  int depth;               // lifted height before its subdivision
  nlohmann::ordered_json* history;
  CheckpointHeader* setup;
  const std::string* checkpointPath;
  std::string checkpointError;
  VerifyPassStats last;    // the last pass reported
  bool haveLast;
  int stageBoxes[4];       // once mode: boxes each analysis started with
  VerifyHistory* record;   // the boxes held, with --certificate; else null
  bool recordLost;         // the history could not follow the run
};

void ClearProgress(RunContext* ctx) {
  if (!ctx->progressShown) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  ctx->progressShown = false;
}

void HookPrint(void* user, const char* text) {
  RunContext* ctx = static_cast<RunContext*>(user);
  ctx->pending += text;
  size_t eol;
  while ((eol = ctx->pending.find('\n')) != std::string::npos) {
    ClearProgress(ctx);
    ctx->lastLine = ctx->pending.substr(0, eol);
    std::fwrite(ctx->pending.data(), 1, eol + 1, ctx->console);
    std::fflush(ctx->console);
    ctx->pending.erase(0, eol + 1);
  }
}

void HookStage(void* user, VerifyStage stage, int boxes) {
  RunContext* ctx = static_cast<RunContext*>(user);
  if (stage >= 0 && stage < 4) ctx->stageBoxes[stage] = boxes;
  if (!ctx->progress) return;
  if (ctx->once) {
    std::fprintf(stderr, "\r\033[K  once at depth %d: %s, %d boxes", ctx->depth,
                 VerifyStageName(stage), boxes);
  } else {
    std::fprintf(stderr, "\r\033[K  pass %d, depth %d: %s, %d boxes", ctx->pass, ctx->depth,
                 VerifyStageName(stage), boxes);
  }
  std::fflush(stderr);
  ctx->progressShown = true;
}

// Every box the pass discarded and kept, for the certificate.
void RecordHistory(RunContext* ctx, const VerifyPassStats* stats, const Tree* lifted) {
  if (!ctx->record || ctx->recordLost) return;
  const int empty = stats->afterChainRec == 0 || stats->afterInvariant == 0;
  if (!VerifyHistoryPass(ctx->record, lifted, 1, empty)) ctx->recordLost = true;
}

void Record(RunContext* ctx, const VerifyPassStats* stats) {
  ClearProgress(ctx);
  ctx->history->push_back(PassRecord(*stats, PeakMemoryBytes()));
  ctx->last = *stats;
  ctx->haveLast = true;
  ctx->pass = stats->pass + 1;
  ctx->depth = stats->depth + 1;
}

int HookPassDone(void* user, const VerifyPassStats* stats, Tree* lifted) {
  RunContext* ctx = static_cast<RunContext*>(user);
  Record(ctx, stats);
  RecordHistory(ctx, stats, lifted);
  if (!ctx->checkpointPath->empty()) {
    ctx->setup->pass = stats->pass;
    if (!CheckpointSave(*ctx->checkpointPath, *ctx->setup, lifted, ctx->history->dump(),
                        &ctx->checkpointError))
      return 1;
  }
  return g_interrupted ? 1 : 0;
}

void HookPassSucceeded(void* user, const VerifyPassStats* stats, Tree* lifted) {
  RunContext* ctx = static_cast<RunContext*>(user);
  Record(ctx, stats);
  RecordHistory(ctx, stats, lifted);
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "vesk verify: %s\n", message.c_str());
  return kExitUsage;
}

// The verdict word of the report.
const char* VerdictName(int status) {
  switch (status) {
    case kExitHyperbolic: return "hyperbolic";
    case kExitNotProven: return "not proven";
    case kExitInterrupted: return "interrupted";
  }
  return "error";
}

nlohmann::ordered_json DoublesJson(const double* x, int n) {
  nlohmann::ordered_json a = nlohmann::ordered_json::array();
  for (int i = 0; i < n; ++i) a.push_back(x[i]);
  return a;
}

nlohmann::ordered_json HexJson(const double* x, int n) {
  nlohmann::ordered_json a = nlohmann::ordered_json::array();
  for (int i = 0; i < n; ++i) a.push_back(HexText(x[i]));
  return a;
}

std::string HistoryOrError(const std::string& text, int passes,
                           nlohmann::ordered_json* history) {
  // The history is a list of flat records: a deeper nesting is no history,
  // and parsing it would only cost stack.
  int depth = 0;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (quoted) {
      if (ch == '\\') ++i;
      else if (ch == '"') quoted = false;
    } else if (ch == '"') {
      quoted = true;
    } else if (ch == '[' || ch == '{') {
      if (++depth > 8) return "the pass history of the checkpoint is nested too deeply";
    } else if (ch == ']' || ch == '}') {
      --depth;
    }
  }
  try {
    *history = nlohmann::ordered_json::parse(text);
  } catch (const nlohmann::ordered_json::exception& e) {
    return std::string("the pass history of the checkpoint is not valid JSON: ") + e.what();
  }
  if (!history->is_array()) return "the pass history of the checkpoint is not a list";
  if (history->size() != static_cast<size_t>(passes))
    return "the pass history of the checkpoint lists " + std::to_string(history->size()) +
           " passes, but the checkpoint is after pass " + std::to_string(passes);
  return "";
}

}  // namespace

int RunVerify(const VerifyCommand& cmd) {
  std::string error;
  CheckpointHeader setup{};
  nlohmann::ordered_json history = nlohmann::ordered_json::array();
  Tree* lifted = nullptr;
  const bool resuming = !cmd.resume.empty();
  const std::string checkpointPath = !cmd.checkpoint.empty() ? cmd.checkpoint : cmd.resume;

  // Everything is checked before anything is written.
  if (resuming) {
    const char* clash = !cmd.a.empty()        ? "--a"
                        : !cmd.b.empty()      ? "--b"
                        : !cmd.center.empty() ? "--center"
                        : !cmd.radius.empty() ? "--radius"
                        : cmd.depth0 >= 0     ? "--depth0"
                        : cmd.once            ? "--once"
                        : !cmd.certificate.empty() ? "--certificate"
                                              : nullptr;
    if (clash && std::string(clash) == "--certificate")
      return Fail("--certificate cannot be used with --resume: a certificate holds every box "
                  "the run discarded since its first pass, and a checkpoint keeps only the "
                  "boxes left; run anew from the start with --certificate");
    if (clash)
      return Fail(std::string(clash) +
                  " cannot be used with --resume: the checkpoint holds the parameters, the "
                  "domain and the depth of the run (only --max-depth, --json, --plot and "
                  "--checkpoint may be given)");
  } else {
    if (cmd.a.empty() || cmd.b.empty())
      return Fail(std::string(cmd.a.empty() ? "--a" : "--b") +
                  " is missing: give each parameter as a point or an interval, e.g. --a "
                  "5.9,6.1 --b 0.3 (or continue a run with --resume CHECKPOINT)");
    if (!ParseRange(cmd.a, "--a", &setup.a, &error)) return Fail(error);
    if (!ParseRange(cmd.b, "--b", &setup.b, &error)) return Fail(error);
    const double zero[4] = {0.0, 0.0, 0.0, 0.0};
    std::memcpy(setup.center, zero, sizeof zero);
    if (!cmd.center.empty() && !ParseList(cmd.center, "--center", 4, false, setup.center, &error))
      return Fail(error);
    if (cmd.radius.empty()) {
      if (!DefaultLiftedRadius(setup.a, setup.b, setup.radius))
        return Fail("the parameters are too large for a default domain: no square of "
                    "doubles holds every bounded orbit of the map");
    } else if (!ParseList(cmd.radius, "--radius", 4, true, setup.radius, &error)) {
      return Fail(error);
    }
    setup.depth0 = cmd.depth0 < 0 ? 0 : cmd.depth0;
    if (setup.depth0 > kMaxInitialDepth)
      return Fail("--depth0 " + std::to_string(setup.depth0) + " would make 2^" +
                  std::to_string(setup.depth0) + " boxes at once: give at most " +
                  std::to_string(kMaxInitialDepth) +
                  " and let the loop refine where the set is");
    if (cmd.once && (cmd.maxDepth >= 0 || !cmd.checkpoint.empty()))
      return Fail(std::string(cmd.maxDepth >= 0 ? "--max-depth" : "--checkpoint") +
                  " applies to loop mode only: leave it out with --once");
  }
  if (cmd.maxDepth > kMaxLiftedHeight)
    return Fail("--max-depth " + std::to_string(cmd.maxDepth) + " is beyond the deepest " +
                std::to_string(kMaxLiftedHeight) + " levels the analyses support");
  long long maxMemory = 0;
  if (!cmd.maxMemory.empty() && !ParseSize(cmd.maxMemory, "--max-memory", &maxMemory, &error))
    return Fail(error);
  // No two outputs, nor an output and the checkpoint read, may be one file:
  // one would overwrite the other. Saving back to the checkpoint resumed
  // from is the one overlap meant to be.
  struct Named {
    const char* option;
    std::string path;
  };
  std::vector<Named> outputs;
  if (!cmd.json.empty() && cmd.json != "-") outputs.push_back({"--json", cmd.json});
  if (!cmd.plot.empty()) outputs.push_back({"--plot", cmd.plot});
  if (!checkpointPath.empty())
    outputs.push_back({cmd.checkpoint.empty() ? "--resume" : "--checkpoint", checkpointPath});
  if (!cmd.certificate.empty()) outputs.push_back({"--certificate", cmd.certificate});
  for (size_t i = 0; i < outputs.size(); ++i) {
    for (size_t j = i + 1; j < outputs.size(); ++j) {
      if (SamePath(outputs[i].path, outputs[j].path) ||
          SamePath(outputs[i].path + ".tmp", outputs[j].path) ||
          SamePath(outputs[i].path, outputs[j].path + ".tmp"))
        return Fail(std::string(outputs[i].option) + " " + outputs[i].path + " and " +
                    outputs[j].option + " " + outputs[j].path +
                    " name the same file (or its temporary .tmp): give each output a file "
                    "of its own");
    }
    if (resuming && SamePath(outputs[i].path, cmd.resume) && outputs[i].path != checkpointPath)
      return Fail(std::string(outputs[i].option) + " " + outputs[i].path +
                  " is the checkpoint given to --resume: writing it would destroy the run; "
                  "give another file");
  }
  std::string checkpointSha, data;
  if (resuming) {
    // Read first: a directory or a missing file is said as such.
    bool ioFailure = false;
    if (!ReadWholeFile(cmd.resume, &data, &error, &ioFailure)) {
      std::fprintf(stderr, "vesk verify: --resume: %s\n", error.c_str());
      return ioFailure ? kExitIo : kExitUsage;
    }
  }
  if (!cmd.json.empty() && cmd.json != "-" && !CheckWritablePath(cmd.json, "--json", &error))
    return Fail(error);
  if (!cmd.plot.empty() && !CheckWritablePath(cmd.plot, "--plot", &error)) return Fail(error);
  if (!checkpointPath.empty() && !CheckWritablePath(checkpointPath, "--checkpoint", &error))
    return Fail(error);
  if (!cmd.certificate.empty() && !CheckWritablePath(cmd.certificate, "--certificate", &error))
    return Fail(error);
  if (resuming) {
    std::string historyText;
    checkpointSha = Sha256Hex(data);
    lifted = CheckpointParse(data, cmd.resume, &setup, &historyText, &error);
    if (lifted == nullptr) return Fail(error);
    const std::string bad = HistoryOrError(historyText, setup.pass, &history);
    if (!bad.empty()) {
      TreeFree(&lifted);
      return Fail(cmd.resume + ": " + bad);
    }
    const int height = TreeDepth(lifted->root);
    if (cmd.maxDepth >= 0) {
      if (cmd.maxDepth < height) {
        TreeFree(&lifted);
        return Fail("--max-depth " + std::to_string(cmd.maxDepth) +
                    " is below the depth " + std::to_string(height) +
                    " the checkpoint has reached: give at least " + std::to_string(height));
      }
      setup.maxDepth = cmd.maxDepth;
    }
  } else {
    setup.maxDepth = cmd.maxDepth >= 0 ? cmd.maxDepth : kDefaultMaxDepth;
    if (!cmd.once && setup.maxDepth < setup.depth0)
      return Fail("--max-depth " + std::to_string(setup.maxDepth) + " is below --depth0 " +
                  std::to_string(setup.depth0) + ": give a depth bound of at least " +
                  std::to_string(setup.depth0));
  }
  const bool once = cmd.once;
  if (!resuming) {
    Rectangle* domain = RectangleNew(setup.center, setup.radius, 4);
    lifted = TreeNew(domain);
    RectangleFree(&domain);
  }
  // The one check every entry point makes, on the tree as it will be run:
  // new runs, and resumed runs just as much (a checkpoint is a file anyone
  // can edit).
  const double paramLo[2] = {setup.a.lo, setup.b.lo};
  const double paramHi[2] = {setup.a.hi, setup.b.hi};
  char why[1024];
  if (VerifyCheckInput(lifted, paramLo, paramHi, once ? setup.depth0 : setup.maxDepth, why,
                       sizeof why) != kInputOk) {
    TreeFree(&lifted);
    return Fail(resuming ? cmd.resume + ": " + why : std::string(why));
  }
  // The initial tree alone: 2^depth0 leaves of some 48 bytes each, and the
  // boxes above them.
  if (!resuming && setup.depth0 > 0) {
    const int64_t need = (int64_t{2} << setup.depth0) * 48;
    const int64_t have = VerifyMemoryAvailable(maxMemory);
    if (need > have) {
      char needText[32], haveText[32];
      VerifyFormatBytes(need, needText, sizeof needText);
      VerifyFormatBytes(have, haveText, sizeof haveText);
      TreeFree(&lifted);
      std::fprintf(stderr,
                   "vesk verify: not proven: the tree of depth %d needs about %s, more than "
                   "the %s available: give a smaller --depth0\n",
                   setup.depth0, needText, haveText);
      return kExitNotProven;
    }
  }

  // More threads than cores would only cost memory: the analyses use one
  // per core at most.
  if (cmd.threads > VerifyThreads(cmd.threads))
    std::fprintf(stderr,
                 "vesk verify: note: --threads %d is more than the %d cores of this machine; "
                 "using %d\n",
                 cmd.threads, VerifyThreads(cmd.threads), VerifyThreads(cmd.threads));

  // The run.
  FILE* console = cmd.json == "-" ? stderr : stdout;
  std::fprintf(console, "# Henon map H(x, y) = (a - x^2 + b y, x) and its tangent lift\n");
  std::fprintf(console, "# a = %s\n# b = %s\n", RangeText(setup.a).c_str(),
               RangeText(setup.b).c_str());
  std::fprintf(console, "# domain: x, y in %s +- %s; u, v in %s +- %s\n",
               DoubleText(setup.center[0]).c_str(), DoubleText(setup.radius[0]).c_str(),
               DoubleText(setup.center[2]).c_str(), DoubleText(setup.radius[2]).c_str());
  if (resuming) {
    std::fprintf(console, "# resumed from %s after pass %d, depth bound %d\n",
                 cmd.resume.c_str(), setup.pass, setup.maxDepth);
    std::fprintf(console,
                 "# this result relies on %s (SHA-256 %s): the boxes removed in passes 1 to "
                 "%d are taken from that file, not recomputed\n",
                 cmd.resume.c_str(), checkpointSha.c_str(), setup.pass);
  }
  else if (once)
    std::fprintf(console, "# once mode at depth %d\n", setup.depth0);
  else
    std::fprintf(console, "# loop mode from depth %d, depth bound %d\n", setup.depth0,
                 setup.maxDepth);
  std::fflush(console);

  if (!resuming)
    for (int d = 0; d < setup.depth0; ++d) TreeSubdivideAll(lifted);
  // The history starts with the tree as the first pass finds it: every
  // box of it held.
  VerifyHistory* record = nullptr;
  if (!cmd.certificate.empty()) {
    record = VerifyHistoryNew(lifted);
    if (record == nullptr) {
      TreeFree(&lifted);
      return Fail("--certificate: the tree cannot be recorded");
    }
  }

  RunContext ctx{};
  ctx.console = console;
  ctx.progress = isatty(STDERR_FILENO) == 1;
  ctx.once = once;
  ctx.pass = setup.pass + 1;
  ctx.depth = TreeDepth(lifted->root);
  ctx.history = &history;
  ctx.setup = &setup;
  ctx.checkpointPath = &checkpointPath;
  ctx.record = record;
  for (int& boxes : ctx.stageBoxes) boxes = -1;
  const VerifyHooks hooks{&ctx, HookPrint, HookStage, HookPassDone, HookPassSucceeded};
  const VerifyOptions options{once ? 1 : 0, setup.maxDepth, setup.pass + 1, maxMemory,
                              cmd.threads > 0 ? cmd.threads : 0};
  const int startPasses = static_cast<int>(history.size());

  struct sigaction previous;
  if (!once) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the process
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous);
  }
  const auto start = std::chrono::steady_clock::now();
  const VerifyOutcome outcome =
      VerifyHyperbolic(lifted, paramLo, paramHi, &options, &hooks, nullptr);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!once) sigaction(SIGINT, &previous, nullptr);
  ClearProgress(&ctx);
  HookPrint(&ctx, "");

  // The verdict.
  int status = kExitUsage;
  std::string verdict;
  const int height = TreeDepth(lifted->root);
  switch (outcome) {
    case kVerifyHyperbolic:
      status = kExitHyperbolic;
      verdict = "Hyperbolic!";
      if (once) HookPrint(&ctx, "Hyperbolic!\n");  // the loop prints its own
      break;
    case kVerifyNotProven:
      status = kExitNotProven;
      verdict = "not proven at depth " + std::to_string(height);
      HookPrint(&ctx, (verdict + "\n").c_str());
      break;
    case kVerifyDepthBound:
    case kVerifyDepthLimit:
      status = kExitNotProven;
      verdict = "not proven up to depth " +
                std::to_string(outcome == kVerifyDepthBound ? setup.maxDepth
                                                            : VerifyHeightLimit(lifted));
      // The loop prints its own line at the depth bound.
      if (outcome == kVerifyDepthLimit) HookPrint(&ctx, (verdict + "\n").c_str());
      if (outcome == kVerifyDepthBound && !checkpointPath.empty() &&
          setup.maxDepth < kMaxLiftedHeight)
        std::fprintf(stderr,
                     "vesk verify: to go deeper, continue with: vesk verify --resume %s "
                     "--max-depth %d\n",
                     checkpointPath.c_str(), setup.maxDepth + 8 < kMaxLiftedHeight
                                                 ? setup.maxDepth + 8
                                                 : kMaxLiftedHeight);
      break;
    case kVerifyMemory:
      status = kExitNotProven;
      if (once) {
        const int64_t need = VerifyPassBytes(TreeCountDepth(lifted, -1), 0);
        char needText[32], haveText[32];
        VerifyFormatBytes(need, needText, sizeof needText);
        VerifyFormatBytes(VerifyMemoryAvailable(maxMemory), haveText, sizeof haveText);
        verdict = "not proven at depth " + std::to_string(height) + ": the analyses need about " +
                  needText + ", more than the " + haveText + " available";
        HookPrint(&ctx, (verdict + "\n").c_str());
      } else {
        verdict = ctx.lastLine;  // the loop's own line
        if (!checkpointPath.empty())
          std::fprintf(stderr,
                       "vesk verify: with more memory (--max-memory, ulimit -v), continue with: "
                       "vesk verify --resume %s\n",
                       checkpointPath.c_str());
      }
      break;
    case kVerifyStopped:
      if (!ctx.checkpointError.empty()) {
        status = kExitIo;
        verdict = "stopped: " + ctx.checkpointError;
        std::fprintf(stderr, "vesk verify: cannot save the checkpoint: %s\n",
                     ctx.checkpointError.c_str());
        break;
      }
      status = kExitInterrupted;
      verdict = "interrupted after pass " + std::to_string(ctx.last.pass);
      if (checkpointPath.empty())
        std::fprintf(stderr, "vesk verify: %s (depth %d); no checkpoint was asked for\n",
                     verdict.c_str(), height);
      else
        std::fprintf(stderr,
                     "vesk verify: %s (depth %d); saved in %s: continue with: vesk verify "
                     "--resume %s\n",
                     verdict.c_str(), height, checkpointPath.c_str(), checkpointPath.c_str());
      break;
    case kVerifyRefused:
      verdict = "refused";
      break;
    default:  // any other stop of the loop: nothing is proven
      status = kExitNotProven;
      verdict = "not proven up to depth " + std::to_string(height);
      HookPrint(&ctx, (verdict + "\n").c_str());
      break;
  }

  // What is left of the lifted tree: nothing when an analysis emptied it
  // (the root then stays behind as a lone leaf).
  bool empty;
  if (once) {
    empty = ctx.stageBoxes[kStageInvariantSet] < 0 || ctx.stageBoxes[kStageConeTest] < 0;
    if (empty && outcome != kVerifyHyperbolic) empty = false;
  } else {
    empty = ctx.haveLast && (ctx.last.afterChainRec == 0 || ctx.last.afterInvariant == 0);
  }
  const int survivors = empty ? 0 : TreeCountDepth(lifted, -1);

  int result = status;
  // The certificate: written for "Hyperbolic!" only, before the report
  // that names it.
  nlohmann::ordered_json certificate(nullptr);
  if (record) {
    if (once && outcome == kVerifyHyperbolic && !VerifyHistoryPass(record, lifted, 0, empty))
      ctx.recordLost = true;
    certificate = {{"file", cmd.certificate}, {"written", false}};
    std::string text;
    if (status != kExitHyperbolic) {
      std::fprintf(stderr, "vesk verify: no certificate written (%s): a certificate is "
                           "written only for \"Hyperbolic!\"\n",
                   verdict.c_str());
    } else if (ctx.recordLost ||
               !CertificateText(setup.a, setup.b, setup.center, setup.radius, record, &text,
                                &error)) {
      if (ctx.recordLost) error = "the run held more boxes than a history can record";
      std::fprintf(stderr, "vesk verify: --certificate: no certificate written: %s\n",
                   error.c_str());
      certificate["error"] = error;
      result = kExitIo;
    } else if (!WriteFileAtomically(cmd.certificate, text, &error)) {
      std::fprintf(stderr, "vesk verify: --certificate: %s\n", error.c_str());
      certificate["error"] = error;
      result = kExitIo;
    } else {
      certificate["written"] = true;
      certificate["bytes"] = text.size();
      certificate["sha256"] = Sha256Hex(text);
    }
    VerifyHistoryFree(&record);
  }
  if (!cmd.json.empty()) {
    nlohmann::ordered_json report;
    report["command"] = "vesk verify";
    report["vesk_version"] = VESK_VERSION;
    report["verdict"] = VerdictName(status);
    report["message"] = verdict;
    report["exit_status"] = status;
    report["mode"] = once ? "once" : "loop";
    const double a[2] = {setup.a.lo, setup.a.hi};
    const double b[2] = {setup.b.lo, setup.b.hi};
    report["parameters"] = {{"a", DoublesJson(a, 2)},
                            {"b", DoublesJson(b, 2)},
                            {"a_hex", HexJson(a, 2)},
                            {"b_hex", HexJson(b, 2)}};
    report["domain"] = {{"coordinates", {"x", "y", "u", "v"}},
                        {"center", DoublesJson(setup.center, 4)},
                        {"radius", DoublesJson(setup.radius, 4)},
                        {"center_hex", HexJson(setup.center, 4)},
                        {"radius_hex", HexJson(setup.radius, 4)}};
    report["depth0"] = setup.depth0;
    report["max_depth"] = once ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(setup.maxDepth);
    report["resumed_from"] =
        resuming ? nlohmann::ordered_json{{"checkpoint", cmd.resume},
                                  {"sha256", checkpointSha},
                                  {"format", setup.format},
                                  {"written_by", setup.writtenBy.empty()
                                                     ? nlohmann::ordered_json(nullptr)
                                                     : nlohmann::ordered_json(setup.writtenBy)},
                                  {"after_pass", options.firstPass - 1},
                                  {"passes_before", startPasses}}
                 : nlohmann::ordered_json(nullptr);
    if (once) {
      const int* in = ctx.stageBoxes;
      VerifyPassStats s{};
      s.pass = 0;
      s.depth = height;
      s.leaves = in[kStageChainRecurrent];
      s.subdivided = in[kStageChainRecurrent];
      s.baseBoxes = s.baseRecurrent = -1;
      s.afterChainRec = in[kStageInvariantSet] >= 0 ? in[kStageInvariantSet] : 0;
      s.afterInvariant = in[kStageConeTest] >= 0 ? in[kStageConeTest]
                         : s.afterChainRec > 0   ? 0
                                                 : -1;
      s.conePassed = in[kStageConeTest] >= 0 ? (outcome == kVerifyHyperbolic ? 1 : 0) : -1;
      s.seconds = seconds;
      nlohmann::ordered_json record = PassRecord(s, PeakMemoryBytes());
      record["pass"] = nullptr;
      record["leaves_before_subdivision"] = nullptr;
      history.push_back(record);
    }
    report["passes"] = history;
    report["certificate"] = certificate;
    report["final"] = {{"depth", height},
                       {"boxes", survivors},
                       {"seconds", seconds},
                       {"peak_memory_bytes", PeakMemoryBytes()}};
    const std::string text = report.dump(2) + "\n";
    if (cmd.json == "-") {
      std::fwrite(text.data(), 1, text.size(), stdout);
      std::fflush(stdout);
    } else if (!WriteFileAtomically(cmd.json, text, &error)) {
      std::fprintf(stderr, "vesk verify: --json: %s\n", error.c_str());
      result = kExitIo;
    }
  }
  if (!cmd.plot.empty()) {
    PlotPanel state, tangent;
    state.title = "state plane";
    state.xLabel = "x";
    state.yLabel = "y";
    tangent.title = "tangent plane";
    tangent.xLabel = "u";
    tangent.yLabel = "v";
    for (int k = 0; k < 2; ++k) {
      state.view.lo[k] = setup.center[k] - setup.radius[k];
      state.view.hi[k] = setup.center[k] + setup.radius[k];
      tangent.view.lo[k] = setup.center[2 + k] - setup.radius[2 + k];
      tangent.view.hi[k] = setup.center[2 + k] + setup.radius[2 + k];
    }
    if (!empty) {
      state.boxes = ProjectBoxes(lifted, -1, 0, 1);
      tangent.boxes = ProjectBoxes(lifted, -1, 2, 3);
    }
    std::vector<std::string> caption;
    caption.push_back("Hénon map H(x, y) = (a − x² + b·y, x):  a = " + RangeText(setup.a) +
                      ",  b = " + RangeText(setup.b));
    caption.push_back(verdict + " — depth " + std::to_string(height) + ", " +
                      std::to_string(survivors) + " boxes of the lifted tree (x, y, u, v) left");
    caption.push_back("state plane: " + std::to_string(state.boxes.size()) +
                      " distinct boxes;  tangent plane: " +
                      std::to_string(tangent.boxes.size()) + " distinct boxes");
    const std::string svg = SvgDocument(
        "vesk verify: a = " + RangeText(setup.a) + ", b = " + RangeText(setup.b) + ": " + verdict,
        {state, tangent}, caption);
    if (!WriteFileAtomically(cmd.plot, svg, &error)) {
      std::fprintf(stderr, "vesk verify: --plot: %s\n", error.c_str());
      result = kExitIo;
    }
  }
  TreeFree(&lifted);
  return result;
}

}  // namespace vesk
