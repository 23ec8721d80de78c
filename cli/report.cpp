#include "cli/report.h"

#include <sys/resource.h>

namespace vesk {

namespace {

nlohmann::ordered_json CountOrNull(int count) {
  return count < 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(count);
}

}  // namespace

nlohmann::ordered_json PassRecord(const VerifyPassStats& s, long long peakBytes) {
  nlohmann::ordered_json pass;
  pass["pass"] = s.pass;
  pass["depth"] = s.depth;
  pass["leaves_before_subdivision"] = s.leaves;
  pass["chain_recurrent_set"] = {
      {"boxes_before", CountOrNull(s.subdivided)},
      {"boxes_after", CountOrNull(s.afterChainRec)},
      {"base_boxes", CountOrNull(s.baseBoxes)},
      {"base_chain_recurrent", CountOrNull(s.baseRecurrent)},
  };
  const bool invariantRun = s.afterChainRec > 0;
  pass["invariant_set"] = {
      {"boxes_before", invariantRun ? nlohmann::ordered_json(s.afterChainRec) : nlohmann::ordered_json(nullptr)},
      {"boxes_after", CountOrNull(s.afterInvariant)},
  };
  const bool coneRun = s.conePassed >= 0;
  pass["cone_test"] = {
      {"boxes", coneRun ? nlohmann::ordered_json(s.afterInvariant) : nlohmann::ordered_json(nullptr)},
      {"passed", coneRun ? nlohmann::ordered_json(s.conePassed == 1) : nlohmann::ordered_json(nullptr)},
  };
  pass["seconds"] = s.seconds;
  pass["peak_memory_bytes"] = peakBytes;
  return pass;
}

long long PeakMemoryBytes() {
  struct rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) != 0) return -1;
  return static_cast<long long>(usage.ru_maxrss) * 1024;  // kilobytes on Linux
}

}  // namespace vesk
