// The machine-readable report of a verification run (JSON) and the texts
// shared by the report, the picture and the console.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "cli/params.h"
#include "gateway/driver.h"

namespace vesk {

// One pass as the report lists it; the peak resident memory of the process
// at the end of the pass, in bytes. Analyses a pass did not reach are null.
nlohmann::ordered_json PassRecord(const VerifyPassStats& stats, long long peakBytes);


// Peak resident memory of this process so far, in bytes.
long long PeakMemoryBytes();

}  // namespace vesk
