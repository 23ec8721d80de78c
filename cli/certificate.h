// Proof certificates of vesk verify: the parameters, the domain, the split
// table and the history of the run (every box it held, the discarded ones
// at the depth where they were discarded), for an independent checker
// (check/vesk_check.py; the format is described in docs/certificate.md).
#pragma once

#include <string>

#include "cli/params.h"
#include "gateway/driver.h"

namespace vesk {

// The first line of every certificate, and the format this vesk writes.
constexpr const char* kCertificateMagic = "vesk certificate";
constexpr int kCertificateFormat = 1;

// The whole file for a run on a x b over the lifted domain (center, radius:
// x, y, u, v) that ended with "Hyperbolic!". False with a message when the
// history is unusable (it could not grow).
bool CertificateText(Range a, Range b, const double center[4], const double radius[4],
                     const VerifyHistory* history, std::string* text, std::string* error);

}  // namespace vesk
