// The cells of a sweep, the verification of one cell, and the ledger lines.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "cli/sweep.h"
#include "gateway/driver.h"

namespace vesk {

namespace {

// Edges of n cells over [lo, hi]: the ends exactly, the rest rounded to
// nearest once and shared.
std::vector<double> Edges(double lo, double hi, int n) {
  std::vector<double> edges(n + 1);
  for (int i = 0; i <= n; ++i)
    edges[i] = i == 0 ? lo : i == n ? hi : lo + (hi - lo) * (static_cast<double>(i) / n);
  return edges;
}

double Midpoint(double lo, double hi) { return lo + (hi - lo) * 0.5; }

nlohmann::ordered_json Pair(const double* x) { return nlohmann::ordered_json::array({x[0], x[1]}); }

nlohmann::ordered_json HexPair(const double* x) {
  return nlohmann::ordered_json::array({HexText(x[0]), HexText(x[1])});
}

bool ReadHexPair(const nlohmann::ordered_json& j, double* out) {
  if (!j.is_array() || j.size() != 2) return false;
  for (int i = 0; i < 2; ++i) {
    if (!j[i].is_string()) return false;
    const std::string text = j[i].get<std::string>();
    char* end = nullptr;
    out[i] = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(out[i])) return false;
  }
  return out[0] <= out[1];
}

}  // namespace

std::vector<SweepCell> SweepFirstCells(const SweepSettings& s) {
  const std::vector<double> ea = Edges(s.a.lo, s.a.hi, s.cells[0]);
  const std::vector<double> eb = Edges(s.b.lo, s.b.hi, s.cells[1]);
  std::vector<SweepCell> cells;
  for (int j = 0; j < s.cells[1]; ++j)
    for (int i = 0; i < s.cells[0]; ++i)
      cells.push_back({std::to_string(i) + "," + std::to_string(j), 0, {ea[i], ea[i + 1]},
                       {eb[j], eb[j + 1]}});
  return cells;
}

bool SweepSplits(const SweepSettings& s, const SweepCell& cell) {
  if (s.levels >= 0 && cell.level >= s.levels) return false;
  const double* sides[2] = {cell.a, cell.b};
  for (int k = 0; k < 2; ++k) {
    const double lo = sides[k][0], hi = sides[k][1];
    const double mid = Midpoint(lo, hi);
    if (!(lo < mid && mid < hi)) return false;
    if (mid - lo < s.minWidth[k] || hi - mid < s.minWidth[k]) return false;
  }
  return true;
}

std::vector<SweepCell> SweepChildren(const SweepCell& cell) {
  const double ma = Midpoint(cell.a[0], cell.a[1]);
  const double mb = Midpoint(cell.b[0], cell.b[1]);
  std::vector<SweepCell> children;
  for (int q = 0; q < 4; ++q) {
    SweepCell child;
    child.id = cell.id + (cell.level == 0 ? "/" : "") + std::to_string(q);
    child.level = cell.level + 1;
    child.a[0] = q & 1 ? ma : cell.a[0];
    child.a[1] = q & 1 ? cell.a[1] : ma;
    child.b[0] = q & 2 ? mb : cell.b[0];
    child.b[1] = q & 2 ? cell.b[1] : mb;
    children.push_back(child);
  }
  return children;
}

namespace {

struct Tally {
  int passes = 0;
  int maxBoxes = 0;
  std::string lastLine;
  std::string pending;
};

void TallyPass(Tally* t, const VerifyPassStats* stats) {
  ++t->passes;
  if (stats->subdivided > t->maxBoxes) t->maxBoxes = stats->subdivided;
}

}  // namespace

SweepResult SweepVerify(const SweepSettings& s, const SweepCell& cell, long long maxMemory,
                        int threads) {
  const auto start = std::chrono::steady_clock::now();
  SweepResult result{cell, "refused", "", 0, 0, 0, 0.0};
  const double lo[2] = {cell.a[0], cell.b[0]};
  const double hi[2] = {cell.a[1], cell.b[1]};
  const double center[4] = {0.0, 0.0, 0.0, 0.0};
  double radius[4];
  if (!DefaultLiftedRadius({cell.a[0], cell.a[1]}, {cell.b[0], cell.b[1]}, radius)) {
    result.message = "the parameters are too large for a default domain";
    return result;
  }
  Rectangle* domain = RectangleNew(center, radius, 4);
  Tree* lifted = TreeNew(domain);
  RectangleFree(&domain);
  char why[1024];
  if (VerifyCheckInput(lifted, lo, hi, s.maxDepth, why, sizeof why) != kInputOk) {
    result.message = why;
    TreeFree(&lifted);
    return result;
  }
  Tally tally;
  VerifyHooks hooks{};
  hooks.user = &tally;
  hooks.print = [](void* user, const char* text) {
    Tally* t = static_cast<Tally*>(user);
    t->pending += text;
    size_t eol;
    while ((eol = t->pending.find('\n')) != std::string::npos) {
      t->lastLine = t->pending.substr(0, eol);
      t->pending.erase(0, eol + 1);
    }
  };
  hooks.passDone = [](void* user, const VerifyPassStats* stats, Tree*) {
    TallyPass(static_cast<Tally*>(user), stats);
    return 0;
  };
  hooks.passSucceeded = [](void* user, const VerifyPassStats* stats, Tree*) {
    TallyPass(static_cast<Tally*>(user), stats);
  };
  const VerifyOptions options{0, s.maxDepth, 1, maxMemory, threads};
  const VerifyOutcome outcome = VerifyHyperbolic(lifted, lo, hi, &options, &hooks, nullptr);
  result.depth = TreeDepth(lifted->root);
  TreeFree(&lifted);
  result.passes = tally.passes;
  result.maxBoxes = tally.maxBoxes;
  result.message = tally.lastLine;
  if (outcome == kVerifyHyperbolic) {
    result.verdict = "hyperbolic";
  } else if (outcome == kVerifyRefused) {
    result.message = "the verification refused the tree";
  } else {
    result.verdict = "not proven";
    if (result.message.rfind("not proven", 0) != 0)
      result.message = "not proven up to depth " + std::to_string(result.depth);
  }
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

std::string SweepLedgerLine(const SweepResult& r) {
  nlohmann::ordered_json j;
  j["id"] = r.cell.id;
  j["level"] = r.cell.level;
  j["a"] = Pair(r.cell.a);
  j["b"] = Pair(r.cell.b);
  j["a_hex"] = HexPair(r.cell.a);
  j["b_hex"] = HexPair(r.cell.b);
  j["verdict"] = r.verdict;
  j["message"] = r.message;
  j["passes"] = r.passes;
  j["max_boxes"] = r.maxBoxes;
  j["depth"] = r.depth;
  j["seconds"] = r.seconds;
  return j.dump();
}

bool SweepParseLedgerLine(const std::string& line, SweepResult* r) {
  nlohmann::ordered_json j;
  try {
    j = nlohmann::ordered_json::parse(line);
  } catch (const nlohmann::ordered_json::exception&) {
    return false;
  }
  if (!j.is_object() || !j.contains("id") || !j["id"].is_string() || !j.contains("verdict") ||
      !j["verdict"].is_string() || !j.contains("level") || !j["level"].is_number_integer())
    return false;
  if (!ReadHexPair(j.value("a_hex", nlohmann::ordered_json()), r->cell.a) ||
      !ReadHexPair(j.value("b_hex", nlohmann::ordered_json()), r->cell.b))
    return false;
  r->cell.id = j["id"].get<std::string>();
  r->cell.level = j["level"].get<int>();
  r->verdict = j["verdict"].get<std::string>();
  if (r->verdict != "hyperbolic" && r->verdict != "not proven" && r->verdict != "refused")
    return false;
  r->message = j.value("message", "");
  r->passes = j.value("passes", 0);
  r->maxBoxes = j.value("max_boxes", 0);
  r->depth = j.value("depth", 0);
  r->seconds = j.value("seconds", 0.0);
  return true;
}

nlohmann::ordered_json SweepSettingsJson(const SweepSettings& s) {
  const double a[2] = {s.a.lo, s.a.hi}, b[2] = {s.b.lo, s.b.hi};
  nlohmann::ordered_json j;
  j["command"] = "vesk sweep";
  j["a"] = HexPair(a);
  j["b"] = HexPair(b);
  j["cells"] = {s.cells[0], s.cells[1]};
  j["min_width"] = HexPair(s.minWidth);
  j["levels"] = s.levels;
  j["max_depth"] = s.maxDepth;
  return j;
}

}  // namespace vesk
