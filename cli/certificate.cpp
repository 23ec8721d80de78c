#include "cli/certificate.h"

#include <cstdint>
#include <vector>

#include "vesk/version.h"

namespace vesk {

bool CertificateText(Range a, Range b, const double center[4], const double radius[4],
                     const VerifyHistory* history, std::string* text, std::string* error) {
  VerifyHistoryCounts counts[2];
  std::vector<uint8_t> shape[2], ends[2];
  // The state tree first: it is the smaller, and the checker reads it
  // first.
  for (int t = 0; t < 2; ++t) {
    const int state = t == 0 ? 1 : 0;
    if (!VerifyHistoryTree(history, state, &counts[t], nullptr, nullptr)) {
      *error = "the run held more boxes than a history can record";
      return false;
    }
    shape[t].assign(static_cast<size_t>((counts[t].nodes + 7) / 8), 0);
    ends[t].assign(static_cast<size_t>((counts[t].leaves + 7) / 8), 0);
    VerifyHistoryTree(history, state, &counts[t], shape[t].data(), ends[t].data());
  }
  std::string out;
  out += std::string(kCertificateMagic) + " " + std::to_string(kCertificateFormat) + "\n";
  out += "written-by vesk " VESK_VERSION "\n";
  out += "a " + HexText(a.lo) + " " + HexText(a.hi) + "\n";
  out += "b " + HexText(b.lo) + " " + HexText(b.hi) + "\n";
  out += "center";
  for (int i = 0; i < 4; ++i) out += " " + HexText(center[i]);
  out += "\nradius";
  for (int i = 0; i < 4; ++i) out += " " + HexText(radius[i]);
  // The lifted table down to the deepest box; the state table is the
  // order in which it bisects x and y.
  const int height = counts[1].height;
  out += "\nsplits " + std::to_string(height);
  for (int d = 0; d < height; ++d) out += " " + std::to_string(VerifyHistorySplit(history, d));
  out += "\n";
  static const char* const kName[2] = {"state-tree", "lifted-tree"};
  size_t bytes = 0;
  for (int t = 0; t < 2; ++t) {
    out += std::string(kName[t]) + " " + std::to_string(counts[t].nodes) + " " +
           std::to_string(counts[t].leaves) + " " + std::to_string(counts[t].final) + "\n";
    bytes += shape[t].size() + ends[t].size();
  }
  out += "data " + std::to_string(bytes) + "\n";
  for (int t = 0; t < 2; ++t) {
    out.append(reinterpret_cast<const char*>(shape[t].data()), shape[t].size());
    out.append(reinterpret_cast<const char*>(ends[t].data()), ends[t].size());
  }
  out += "\nend\n";
  *text = std::move(out);
  return true;
}

}  // namespace vesk
