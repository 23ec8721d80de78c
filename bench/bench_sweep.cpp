// vesk sweep with its defaults on the part of the README's map where the
// horseshoe ends (a in [2.5, 3], b in [-0.4, -0.2], 4 x 4 cells): the
// boundary, the cells next to it that need deep proofs and the plateaus
// below it, which is where a map spends its time. One run with one job
// and one with two, the whole command as a user runs it, into a fresh
// directory.
//
// Counters:
//   cells/min   cells verified per minute of wall time
//   area/min    proven parameter area per minute of wall time
//   cells       cells verified
//   proven      proven area
// The ratio of the two runs' area/min is the scaling of --jobs.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <unistd.h>

#include "cli/sweep.h"

namespace {

void BM_Sweep(benchmark::State& state) {
  const int jobs = static_cast<int>(state.range(0));
  for (auto _ : state) {
    char dir[] = "/tmp/vesk-bench-sweep-XXXXXX";
    if (!mkdtemp(dir)) {
      state.SkipWithError("cannot make a temporary directory");
      return;
    }
    vesk::SweepCommand cmd;
    cmd.a = "2.5,3";
    cmd.b = "-0.4,-0.2";
    cmd.cells = "4,4";
    cmd.out = std::string(dir) + "/map";
    cmd.jobs = jobs;
    // The sweep's own lines would mix with the table.
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    const auto start = std::chrono::steady_clock::now();
    const int status = vesk::RunSweep(cmd);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(null);
    state.SetIterationTime(seconds);
    nlohmann::json summary;
    std::ifstream(cmd.out + "/summary.json") >> summary;
    const double cells = summary.value("cells_verified", 0);
    const double proven = summary["hyperbolic"].value("area", 0.0);
    state.counters["cells"] = cells;
    state.counters["proven"] = proven;
    state.counters["cells/min"] = cells / seconds * 60.0;
    state.counters["area/min"] = proven / seconds * 60.0;
    if (status != 0) state.SkipWithError("the sweep failed");
    const std::string rm = std::string("rm -rf ") + dir;
    if (std::system(rm.c_str()) != 0) state.SkipWithError("cannot remove the directory");
  }
}

BENCHMARK(BM_Sweep)->Arg(1)->Arg(2)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
