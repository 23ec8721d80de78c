// The vesk program: `vesk verify` runs the verification loop on a parameter
// box; `vesk tree info` and `vesk tree plot` look into tree files.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include "cli/commands.h"
#include "cli/files.h"
#include "cli/sweep.h"
#include "vesk/version.h"

namespace {

// An option given with an empty value ("--json ''") is a mistake, not a
// way to leave the option out.
bool EmptyValue(const CLI::App* command, const char* name) {
  for (const CLI::Option* opt : command->get_options()) {
    if (opt->get_expected_min() == 0 || opt->count() == 0) continue;
    for (const std::string& value : opt->results()) {
      if (!value.empty()) continue;
      std::fprintf(stderr, "vesk %s: %s: the value is empty: give %s\n", name,
                   opt->get_name().c_str(),
                   opt->get_type_name().empty() ? "a value" : opt->get_type_name().c_str());
      return true;
    }
  }
  return false;
}

int Run(int argc, char** argv);

}  // namespace

int main(int argc, char** argv) {
  int status;
  try {
    status = Run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "vesk: out of memory: the run was stopped (a checkpoint written "
                         "before stays as it was); give the process more memory, or a "
                         "smaller --max-memory so that the run stops before a pass that "
                         "does not fit\n");
    return vesk::kExitIo;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vesk: %s\n", e.what());
    return vesk::kExitIo;
  }
  // Results that did not reach standard output are not results.
  std::string error;
  if (!vesk::CheckOutputStream(stdout, "standard output", &error)) {
    std::fprintf(stderr, "vesk: %s\n", error.c_str());
    return vesk::kExitIo;
  }
  return status;
}

namespace {

int Run(int argc, char** argv) {
  using namespace vesk;
  CLI::App app{"vesk: computer-assisted proofs of hyperbolicity for the Henon map "
               "H(x, y) = (a - x^2 + b y, x) with interval parameters"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "vesk " VESK_VERSION, "Print the version of vesk and exit");

  VerifyCommand verify;
  const CLI::Validator positive(
      [](std::string& text) {
        char* end = nullptr;
        const long n = std::strtol(text.c_str(), &end, 10);
        return text.empty() || *end != '\0' || n < 1 || n > 4096
                   ? std::string("must be a whole number from 1 to 4096")
                   : std::string();
      },
      "", "count");
  // Whole numbers from 0 to a bound, digits only: " -1" or "+3" are not
  // taken for the default or for 3.
  const auto upTo = [](long bound) {
    return [bound](std::string& text) {
      const bool digits = !text.empty() && text.size() <= 6 &&
                          text.find_first_not_of("0123456789") == std::string::npos;
      // An empty value is reported as such after parsing.
      if (text.empty() || (digits && std::strtol(text.c_str(), nullptr, 10) <= bound))
        return std::string();
      return bound < 999999 ? "must be a whole number from 0 to " + std::to_string(bound)
                            : std::string("must be a whole number, 0 or more");
    };
  };
  // Depths beyond what the analyses support are refused later, with the
  // deepest depth there is.
  const CLI::Validator depth(upTo(999999), "", "depth");
  const CLI::Validator levels(upTo(kSweepMaxLevels), "", "levels");
  CLI::App* verifyCmd = app.add_subcommand(
      "verify", "Refine a box tree over (x, y, u, v) until the cone test proves the map "
                "hyperbolic on its chain recurrent set");
  verifyCmd->add_option("--a", verify.a, "parameter a: a point (6) or an interval (5.9,6.1)")
      ->type_name("A|LO,HI");
  verifyCmd->add_option("--b", verify.b, "parameter b: a point (0.3) or an interval (0.29,0.31)")
      ->type_name("B|LO,HI");
  verifyCmd->add_option("--center", verify.center,
                        "center of the domain: cx,cy,cu,cv (default 0,0,0,0)")
      ->type_name("CX,CY,CU,CV");
  verifyCmd->add_option("--radius", verify.radius,
                        "radius of the domain: rx,ry,ru,rv (default: R,R,2,2 with R "
                        "the radius of a square holding every bounded orbit)")
      ->type_name("RX,RY,RU,RV");
  verifyCmd->add_flag("--once", verify.once,
                      "one test at the initial depth, without refinement");
  verifyCmd->add_option("--depth0", verify.depth0, "initial uniform depth (default 0)")
      ->type_name("N")
      ->check(depth);
  verifyCmd
      ->add_option("--max-depth", verify.maxDepth,
                   "depth bound of loop mode (default " + std::to_string(kDefaultMaxDepth) +
                       ")")
      ->type_name("N")
      ->check(depth);
  verifyCmd->add_option("--json", verify.json, "write a JSON report to FILE (- for stdout)")
      ->type_name("FILE");
  verifyCmd->add_option("--plot", verify.plot, "draw the boxes left into FILE.svg")
      ->type_name("FILE.svg");
  verifyCmd->add_option("--checkpoint", verify.checkpoint,
                        "save the run after every pass to PATH")
      ->type_name("PATH");
  verifyCmd->add_option("--resume", verify.resume, "continue the run saved in PATH")
      ->type_name("PATH");
  verifyCmd
      ->add_option("--certificate", verify.certificate,
                   "on \"Hyperbolic!\", write a proof certificate to FILE (check it with "
                   "check/vesk_check.py FILE); not with --resume")
      ->type_name("FILE");
  verifyCmd
      ->add_option("--threads", verify.threads,
                   "threads of the analyses (default, and at most: all cores); the result "
                   "does not depend on it")
      ->type_name("N")
      ->check(positive);
  verifyCmd
      ->add_option("--max-memory", verify.maxMemory,
                   "memory the run may use, e.g. 512M or 4G (default: what the system "
                   "allows); a pass that would need more is not started")
      ->type_name("SIZE");
  verifyCmd->footer(
      "Decimal parameters are enclosed outward by doubles. Prints the lines of the loop, then "
      "\"Hyperbolic!\".\nExit status: 0 hyperbolic, 1 not proven (also at the depth bound or "
      "the memory budget), 2 bad usage or input, 3 a failure to read or write a file or to get "
      "memory, 130 "
      "interrupted (Ctrl-C; with --checkpoint, continue with --resume).\nExample: vesk verify "
      "--a 5.9,6.1 --b 0.29,0.31 --plot out.svg --json out.json");

  SweepCommand sweep;
  CLI::App* sweepCmd = app.add_subcommand(
      "sweep", "Map the hyperbolic parameters of a rectangle (a, b): verify a grid of cells, "
               "split the cells not proven, keep a ledger, draw the map");
  sweepCmd->add_option("--a", sweep.a, "the rectangle's a side (2,6)")->type_name("LO,HI");
  sweepCmd->add_option("--b", sweep.b, "the rectangle's b side (-0.4,0.4)")->type_name("LO,HI");
  sweepCmd->add_option("--cells", sweep.cells, "first grid: cells along a and b (default 1,1)")
      ->type_name("NA,NB");
  sweepCmd
      ->add_option("--min-width", sweep.minWidth,
                   "do not make cells narrower than this in a and b")
      ->type_name("WA,WB");
  sweepCmd
      ->add_option("--levels", sweep.levels,
                   "split a first cell at most this many times (default 5 without --min-width)")
      ->type_name("N")
      ->check(levels);
  sweepCmd
      ->add_option("--max-depth", sweep.maxDepth,
                   "outer depth bound of each verification (default " +
                       std::to_string(kSweepDefaultMaxDepth) + ")")
      ->type_name("N")
      ->check(depth);
  sweepCmd
      ->add_option("--budget", sweep.budget,
                   "work budget of a cell in box-passes, the boxes of all its passes (default " +
                       std::to_string(kSweepDefaultBudget) +
                       "); its centre is probed first")
      ->type_name("BOXES");
  sweepCmd
      ->add_option("--probe-budget", sweep.probeBudget,
                   "work budget of the probe at the centre of a first cell, halved at every split "
                   "down to a sixteenth of --budget (default: half of --budget)")
      ->type_name("BOXES");
  sweepCmd->add_option("--out", sweep.out, "the sweep's directory (ledger, summary, picture)")
      ->type_name("DIR");
  sweepCmd->add_option("--jobs", sweep.jobs, "cells verified at once (default: all cores)")
      ->type_name("N")
      ->check(positive);
  sweepCmd->add_option("--max-memory", sweep.maxMemory, "memory the run may use, e.g. 4G")
      ->type_name("SIZE");
  sweepCmd
      ->add_option("--threads", sweep.threads,
                   "threads of each cell's analyses (default: the cores left over by --jobs; "
                   "1 on an MPI rank)")
      ->type_name("N")
      ->check(positive);
  sweepCmd->footer(
      "Cells are closed parameter boxes with shared double edges. Each is verified as vesk "
      "verify does with the default domain, within the work budget: its centre first, then, "
      "when the centre is proved, the whole cell. A cell not proven is split in four when its "
      "centre was proved or it borders a proven cell. The ledger DIR/ledger.jsonl gets one "
      "line per finished cell; the same command on the same DIR continues a stopped map. Under "
      "mpirun, rank 0 hands the cells to the other ranks.\nExit status: 0 the map is complete, "
      "1 cells stopped by the memory budget are left (the same command with more memory "
      "verifies them), 2 bad usage or input, 3 a file could not be written or memory or a "
      "thread could not be had, 130 interrupted.\n"
      "Example: vesk sweep --a 2,6 --b -0.4,0.4 --cells 16,8 --jobs 2 --out map");

  CLI::App* treeCmd = app.add_subcommand("tree", "Look into tree files");
  treeCmd->require_subcommand(1);
  std::string infoFile, plotFile, plotOut;
  CLI::App* infoCmd = treeCmd->add_subcommand("info", "Summarise a tree file");
  infoCmd->add_option("FILE", infoFile, "tree file (or verify checkpoint)")->required();
  CLI::App* plotCmd = treeCmd->add_subcommand("plot", "Draw the leaves of a tree file");
  plotCmd->add_option("FILE", plotFile, "tree file (or verify checkpoint)")->required();
  plotCmd->add_option("--out", plotOut, "the SVG file to write")->required();

  // A word that is no command would only get "A subcommand is required".
  const char* const kCommands =
      "the commands are: vesk verify, vesk sweep, vesk tree info FILE, vesk tree plot FILE "
      "--out FILE.svg (see vesk --help)";
  if (argc < 2) {
    std::fprintf(stderr, "vesk: no command given: %s\n", kCommands);
    return kExitUsage;
  }
  const std::string first = argv[1];
  if (first[0] != '-' && first != "verify" && first != "tree" && first != "sweep") {
    std::fprintf(stderr, "vesk: unknown command '%s': %s\n", first.c_str(), kCommands);
    return kExitUsage;
  }
  if (first == "tree" && argc >= 3 && argv[2][0] != '-' && std::string(argv[2]) != "info" &&
      std::string(argv[2]) != "plot") {
    std::fprintf(stderr, "vesk: unknown command 'tree %s': %s\n", argv[2], kCommands);
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);  // prints help, or the message and a hint
    return code == 0 ? 0 : kExitUsage;
  }
  if (*verifyCmd) {
    if (EmptyValue(verifyCmd, "verify")) return kExitUsage;
    return RunVerify(verify);
  }
  if (*sweepCmd) {
    if (EmptyValue(sweepCmd, "sweep")) return kExitUsage;
    return RunSweep(sweep);
  }
  if (*infoCmd) {
    if (EmptyValue(infoCmd, "tree info")) return kExitUsage;
    return RunTreeInfo(infoFile);
  }
  if (*plotCmd) {
    if (EmptyValue(plotCmd, "tree plot")) return kExitUsage;
    return RunTreePlot(plotFile, plotOut);
  }
  return kExitUsage;
}

}  // namespace
