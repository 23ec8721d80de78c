// The cells of a map, the verification of one cell, and the ledger lines.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "gateway/driver.h"
#include "sweep/sweep.h"

namespace vesk {

namespace {

// Edge i of n cells over [lo, hi]: the ends exactly, the rest rounded to
// nearest once and shared by the cells on both sides.
double Edge(double lo, double hi, int n, int i) {
  return i == 0 ? lo : i == n ? hi : lo + (hi - lo) * (static_cast<double>(i) / n);
}

std::vector<double> Edges(double lo, double hi, int n) {
  std::vector<double> edges(n + 1);
  for (int i = 0; i <= n; ++i) edges[i] = Edge(lo, hi, n, i);
  return edges;
}

SweepCell FirstCell(const SweepSettings& s, int i, int j) {
  return {std::to_string(i) + "," + std::to_string(j), 0,
          {Edge(s.a.lo, s.a.hi, s.cells[0], i), Edge(s.a.lo, s.a.hi, s.cells[0], i + 1)},
          {Edge(s.b.lo, s.b.hi, s.cells[1], j), Edge(s.b.lo, s.b.hi, s.cells[1], j + 1)}};
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

bool Positive(double width, double side) {
  return std::isnormal(width) && width > 0 && width >= std::ldexp(side, -kSweepMaxLevels);
}

}  // namespace

std::string SweepCheckSettings(const SweepSettings& s) {
  const Range* sides[2] = {&s.a, &s.b};
  for (int k = 0; k < 2; ++k) {
    const char* name = k == 0 ? "--a" : "--b";
    const Range& r = *sides[k];
    if (!std::isfinite(r.lo) || !std::isfinite(r.hi))
      return std::string(name) + ": the rectangle's ends must be finite numbers";
    if (!(r.lo < r.hi))
      return std::string(name) + ": the rectangle has no width: give an interval such as 2,6";
    if (!std::isnormal(r.hi - r.lo))
      return std::string(name) +
             ": the rectangle is too narrow for a map (its width is not a normal double)";
  }
  if (!std::isnormal((s.a.hi - s.a.lo) * (s.b.hi - s.b.lo)))
    return "--a, --b: the rectangle's area is too small for a map (not a normal double)";
  for (int k = 0; k < 2; ++k)
    if (s.cells[k] < 1 || s.cells[k] > 4096)
      return "--cells: give whole numbers from 1 to 4096, e.g. 8,4";
  if (s.levels < -1 || s.levels > kSweepMaxLevels)
    return "--levels: give a number of splits from 0 to " + std::to_string(kSweepMaxLevels);
  const double side[2] = {s.a.hi - s.a.lo, s.b.hi - s.b.lo};
  for (int k = 0; k < 2; ++k) {
    if (s.minWidth[k] == 0.0 && s.levels >= 0) continue;
    if (!Positive(s.minWidth[k], side[k]))
      return "--min-width: each width must be at least the rectangle's side over 2^" +
             std::to_string(kSweepMaxLevels) + " (" + DoubleText(std::ldexp(side[k], -kSweepMaxLevels)) +
             " along " + (k == 0 ? "a" : "b") + ")";
    if (s.minWidth[k] > side[k])
      return "--min-width is wider than the rectangle: no cell could ever be split";
  }
  if (s.maxDepth < 0 || s.maxDepth > 255)
    return "--max-depth: give a depth from 0 to 255";
  if (s.budget < 1 || s.probeBudget < 1) return "--budget: give a positive number of box-passes";
  const std::vector<double> edges[2] = {Edges(s.a.lo, s.a.hi, s.cells[0]),
                                        Edges(s.b.lo, s.b.hi, s.cells[1])};
  for (const std::vector<double>& e : edges)
    for (size_t i = 0; i + 1 < e.size(); ++i)
      if (!(e[i] < e[i + 1])) return "--cells makes cells narrower than the doubles allow";
  return "";
}

int64_t SweepProbeBudgetAt(const SweepSettings& s, int level) {
  const int64_t floor = std::max<int64_t>(1, std::min(s.probeBudget, s.budget / 16));
  const int64_t halved = level >= 62 ? 0 : s.probeBudget >> level;
  return std::max(halved, floor);
}

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
  if (cell.level >= kSweepMaxLevels) return false;
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

bool SweepCellOf(const SweepSettings& s, const std::string& id, SweepCell* cell) {
  // "i,j" then optionally "/" and digits 0-3.
  const size_t comma = id.find(',');
  const size_t slash = id.find('/');
  if (comma == std::string::npos || comma == 0 || id.size() > 64) return false;
  const std::string head = id.substr(0, slash);
  auto number = [](const std::string& t, int* v) {
    if (t.empty() || t.size() > 4 || (t.size() > 1 && t[0] == '0')) return false;
    for (char ch : t)
      if (ch < '0' || ch > '9') return false;
    *v = std::atoi(t.c_str());
    return true;
  };
  int i = 0, j = 0;
  if (!number(head.substr(0, comma), &i) || !number(head.substr(comma + 1), &j)) return false;
  if (i >= s.cells[0] || j >= s.cells[1]) return false;
  SweepCell c = FirstCell(s, i, j);
  if (slash != std::string::npos) {
    const std::string digits = id.substr(slash + 1);
    if (digits.empty()) return false;
    for (char ch : digits) {
      if (ch < '0' || ch > '3' || !SweepSplits(s, c)) return false;
      c = SweepChildren(c)[ch - '0'];
    }
  }
  *cell = c;
  return true;
}

bool SweepBorder(const SweepCell& x, const SweepCell& y) {
  auto overlap = [](const double* p, const double* q) {
    return std::fmax(p[0], q[0]) < std::fmin(p[1], q[1]);
  };
  auto touch = [](const double* p, const double* q) { return p[1] == q[0] || q[1] == p[0]; };
  return (overlap(x.a, y.a) && touch(x.b, y.b)) || (overlap(x.b, y.b) && touch(x.a, y.a));
}

namespace {

// What the hooks of one verification gather.
struct Tally {
  int64_t budget = 0;
  int64_t work = 0;
  int passes = 0;
  int maxBoxes = 0;
  bool overBudget = false;
  bool abandoned = false;
  const SweepVerifyHooks* hooks = nullptr;
  std::string lastLine;
  std::string pending;
};

void TallyPass(Tally* t, const VerifyPassStats* stats) {
  ++t->passes;
  if (stats->subdivided > 0) t->work += stats->subdivided;
  if (stats->subdivided > t->maxBoxes) t->maxBoxes = stats->subdivided;
}

// One loop-mode run of the driver on a new tree over `radius`, stopped
// before a pass whose boxes would take the work past the budget.
VerifyOutcome RunWithin(const double* lo, const double* hi, const double* radius, int maxDepth,
                        int64_t budget, long long maxMemory, int threads, Tally* tally,
                        int* depth, std::string* refusal) {
  const double center[4] = {0.0, 0.0, 0.0, 0.0};
  Rectangle* domain = RectangleNew(center, radius, 4);
  Tree* lifted = TreeNew(domain);
  RectangleFree(&domain);
  char why[1024];
  if (VerifyCheckInput(lifted, lo, hi, maxDepth, why, sizeof why) != kInputOk) {
    *refusal = why;
    *depth = 0;
    TreeFree(&lifted);
    return kVerifyRefused;
  }
  tally->budget = budget;
  VerifyHooks hooks{};
  hooks.user = tally;
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
    Tally* t = static_cast<Tally*>(user);
    TallyPass(t, stats);
    if (t->hooks && t->hooks->stop && t->hooks->stop(t->hooks->user)) {
      t->abandoned = true;
      return 1;
    }
    // The next pass bisects every box left: twice as many boxes.
    const int64_t next = 2 * static_cast<int64_t>(stats->afterInvariant > 0 ? stats->afterInvariant : 0);
    if (t->work + next > t->budget) {
      t->overBudget = true;
      return 1;
    }
    return 0;
  };
  hooks.passSucceeded = [](void* user, const VerifyPassStats* stats, Tree*) {
    TallyPass(static_cast<Tally*>(user), stats);
  };
  const VerifyOptions options{0, maxDepth, 1, maxMemory, threads};
  const VerifyOutcome outcome = VerifyHyperbolic(lifted, lo, hi, &options, &hooks, nullptr);
  *depth = TreeDepth(lifted->root);
  TreeFree(&lifted);
  return outcome;
}

std::string Number(int64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t k = 0; k < digits.size(); ++k) {
    if (k > 0 && (digits.size() - k) % 3 == 0) out += ',';
    out += digits[k];
  }
  return out;
}

}  // namespace

SweepResult SweepVerify(const SweepSettings& s, const SweepCell& cell, long long maxMemory,
                        int threads, const SweepVerifyHooks* hooks, bool* abandoned) {
  const auto start = std::chrono::steady_clock::now();
  SweepResult result{cell, "refused", "refused", "", 0, 0, 0, 0, -1, 0, 0, 0.0};
  *abandoned = false;
  auto finish = [&]() {
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
  };
  double radius[4];
  if (!DefaultLiftedRadius({cell.a[0], cell.a[1]}, {cell.b[0], cell.b[1]}, radius)) {
    result.message = "the parameters are too large for a default domain";
    return finish();
  }
  std::string refusal;
  // The centre, on the cell's own domain: every box the cell's analyses
  // remove is removed for the point too, so a cell whose centre is not
  // proved within a budget is not proved within it either.
  const double mid[2] = {cell.a[0] + (cell.a[1] - cell.a[0]) * 0.5,
                         cell.b[0] + (cell.b[1] - cell.b[0]) * 0.5};
  Tally probe;
  probe.hooks = hooks;
  int probeDepth = 0;
  const int64_t probeBudget = SweepProbeBudgetAt(s, cell.level);
  const VerifyOutcome po = RunWithin(mid, mid, radius, s.maxDepth, probeBudget, maxMemory,
                                     threads, &probe, &probeDepth, &refusal);
  result.work = probe.work;
  result.probeDepth = probeDepth;
  result.probeWork = probe.work;
  if (probe.abandoned) {
    *abandoned = true;
    return finish();
  }
  if (po == kVerifyRefused) {
    result.message = refusal.empty() ? "the verification refused the tree" : refusal;
    return finish();
  }
  if (po == kVerifyMemory) {
    result.verdict = "incomplete";
    result.stop = "memory";
    result.message = "the centre's verification stopped at the memory budget: " + probe.lastLine;
    return finish();
  }
  result.probeProved = po == kVerifyHyperbolic ? 1 : 0;
  if (po != kVerifyHyperbolic) {
    result.verdict = "not proven";
    result.stop = "probe";
    result.depth = probeDepth;
    result.message = "the centre a = " + DoubleText(mid[0]) + ", b = " + DoubleText(mid[1]) +
                     " is not proven within " + Number(probeBudget) +
                     " box-passes (depth " + std::to_string(probeDepth) + ")";
    return finish();
  }
  const double lo[2] = {cell.a[0], cell.b[0]};
  const double hi[2] = {cell.a[1], cell.b[1]};
  // A cell costs a few times its centre (the median is about 2.5 on the
  // example map, and above 16 only for centres that were cheap): a cell
  // that needs far more than its centre is most likely not provable, and
  // cells that are not proven are what a map spends its time on.
  const int64_t budget =
      std::min(s.budget, std::max(kSweepCellToProbe * probe.work, s.budget / 16));
  Tally tally;
  tally.hooks = hooks;
  const VerifyOutcome outcome = RunWithin(lo, hi, radius, s.maxDepth, budget, maxMemory,
                                          threads, &tally, &result.depth, &refusal);
  result.passes = tally.passes;
  result.maxBoxes = tally.maxBoxes;
  result.work += tally.work;
  result.message = tally.lastLine;
  if (tally.abandoned) {
    *abandoned = true;
  } else if (outcome == kVerifyHyperbolic) {
    result.verdict = "hyperbolic";
    result.stop = "proved";
  } else if (outcome == kVerifyRefused) {
    result.message = refusal.empty() ? "the verification refused the tree" : refusal;
  } else if (outcome == kVerifyMemory) {
    result.verdict = "incomplete";
    result.stop = "memory";
  } else {
    result.verdict = "not proven";
    result.stop = tally.overBudget               ? "budget"
                  : outcome == kVerifyDepthBound ? "depth"
                                                 : "limit";
    if (tally.overBudget)
      result.message = "not proven within " + Number(budget) + " box-passes (depth " +
                       std::to_string(result.depth) + ")";
    else if (result.message.rfind("not proven", 0) != 0)
      result.message = "not proven up to depth " + std::to_string(result.depth);
  }
  return finish();
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
  j["stop"] = r.stop;
  j["message"] = r.message;
  j["passes"] = r.passes;
  j["max_boxes"] = r.maxBoxes;
  j["work"] = r.work;
  j["depth"] = r.depth;
  j["probe"] = r.probeProved < 0 ? nlohmann::ordered_json(nullptr)
                                 : nlohmann::ordered_json{{"proved", r.probeProved == 1},
                                                          {"depth", r.probeDepth},
                                                          {"work", r.probeWork}};
  j["seconds"] = r.seconds;
  return j.dump();
}

bool SweepParseLedgerLine(const std::string& line, const SweepSettings* s, SweepResult* r,
                          std::string* why) {
  nlohmann::ordered_json j = nlohmann::ordered_json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    *why = "not a JSON object";
    return false;
  }
  auto field = [&](const char* key, bool (nlohmann::ordered_json::*is)() const noexcept,
                   const char* type) {
    if (!j.contains(key) || !(j[key].*is)()) {
      *why = std::string("the field \"") + key + "\" is missing or not " + type;
      return false;
    }
    return true;
  };
  using J = nlohmann::ordered_json;
  if (!field("id", &J::is_string, "a string") || !field("level", &J::is_number_integer, "a whole number") ||
      !field("verdict", &J::is_string, "a string") || !field("stop", &J::is_string, "a string") ||
      !field("message", &J::is_string, "a string") ||
      !field("passes", &J::is_number_integer, "a whole number") ||
      !field("max_boxes", &J::is_number_integer, "a whole number") ||
      !field("work", &J::is_number_integer, "a whole number") ||
      !field("depth", &J::is_number_integer, "a whole number") ||
      !field("seconds", &J::is_number, "a number") || !field("a", &J::is_array, "a pair") ||
      !field("b", &J::is_array, "a pair"))
    return false;
  if (!ReadHexPair(j["a_hex"], r->cell.a) || !ReadHexPair(j["b_hex"], r->cell.b)) {
    *why = "\"a_hex\" and \"b_hex\" must be pairs of exact hexadecimal numbers, lower end first";
    return false;
  }
  r->cell.id = j["id"].get<std::string>();
  r->cell.level = j["level"].get<int>();
  r->verdict = j["verdict"].get<std::string>();
  r->stop = j["stop"].get<std::string>();
  r->message = j["message"].get<std::string>();
  r->passes = j["passes"].get<int>();
  r->maxBoxes = j["max_boxes"].get<int>();
  r->work = j["work"].get<int64_t>();
  r->depth = j["depth"].get<int>();
  r->seconds = j["seconds"].get<double>();
  r->probeProved = -1;
  r->probeDepth = 0;
  r->probeWork = 0;
  const J& probe = j.contains("probe") ? j["probe"] : J();
  if (probe.is_object()) {
    if (!probe.contains("proved") || !probe["proved"].is_boolean() || !probe.contains("depth") ||
        !probe["depth"].is_number_integer() || !probe.contains("work") ||
        !probe["work"].is_number_integer()) {
      *why = "\"probe\" must hold \"proved\" (true or false), \"depth\" and \"work\"";
      return false;
    }
    r->probeProved = probe["proved"].get<bool>() ? 1 : 0;
    r->probeDepth = probe["depth"].get<int>();
    r->probeWork = probe["work"].get<int64_t>();
  } else if (!probe.is_null()) {
    *why = "\"probe\" must be an object or null";
    return false;
  }
  // The verdict and the reason it stopped go together.
  const std::string& v = r->verdict;
  const std::string& st = r->stop;
  const bool known =
      (v == "hyperbolic" && st == "proved" && r->probeProved == 1) ||
      (v == "not proven" && st == "probe" && r->probeProved == 0) ||
      (v == "not proven" && r->probeProved == 1 &&
       (st == "budget" || st == "depth" || st == "limit")) ||
      (v == "refused" && st == "refused") || (v == "incomplete" && st == "memory");
  if (!known) {
    *why = "the verdict \"" + v + "\" with the stop \"" + st + "\" and this probe is not one a map writes";
    return false;
  }
  if (r->passes < 0 || r->maxBoxes < 0 || r->work < 0 || r->probeWork < 0 || r->depth < 0 ||
      r->depth > 255 || r->probeDepth < 0 || r->probeDepth > 255 ||
      !(r->seconds >= 0)) {
    *why = "a count is negative or out of range";
    return false;
  }
  if (s != nullptr) {
    SweepCell own;
    if (!SweepCellOf(*s, r->cell.id, &own)) {
      *why = "the id \"" + r->cell.id + "\" names no cell of this map";
      return false;
    }
    if (own.level != r->cell.level || own.a[0] != r->cell.a[0] || own.a[1] != r->cell.a[1] ||
        own.b[0] != r->cell.b[0] || own.b[1] != r->cell.b[1]) {
      *why = "the cell \"" + r->cell.id + "\" has another level or other ends in this map";
      return false;
    }
  }
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
  j["budget"] = s.budget;
  j["probe_budget"] = s.probeBudget;
  return j;
}

}  // namespace vesk
