// The map's cells and ledger, without the engine: verdicts come from a
// made-up region of "hyperbolic" parameters, so that the rules that make
// cells can be run in any order and checked against each other.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <string>

#include "sweep/sweep.h"
#include "sweep/work.h"

namespace vesk {
namespace {

SweepSettings Settings() {
  SweepSettings s{};
  s.a = {0.0, 1.0};
  s.b = {-0.5, 0.5};
  s.cells[0] = 3;
  s.cells[1] = 2;
  s.levels = 4;
  s.maxDepth = 30;
  s.budget = 1000;
  s.probeBudget = 100;
  return s;
}

// The made-up region: above a slanted line, and a small island below it
// (a plateau) that holds the centre of a first cell, but no centre of its
// children.
bool Inside(double a, double b) {
  const double ia = a - 0.1875, ib = b - 0.3125;
  return a > 0.55 + 0.3 * b || ia * ia + ib * ib < 0.005;
}

SweepResult Verdict(const SweepCell& c) {
  SweepResult r{c, "not proven", "probe", "", 1, 10, 100, 10, 0, 10, 100, 0.0};
  const double ma = c.a[0] + (c.a[1] - c.a[0]) * 0.5, mb = c.b[0] + (c.b[1] - c.b[0]) * 0.5;
  if (!Inside(ma, mb)) return r;
  r.probeProved = 1;
  bool all = true;
  for (int k = 0; k <= 8; ++k)
    for (int l = 0; l <= 8; ++l)
      all = all && Inside(c.a[0] + (c.a[1] - c.a[0]) * k / 8, c.b[0] + (c.b[1] - c.b[0]) * l / 8);
  r.verdict = all ? "hyperbolic" : "not proven";
  r.stop = all ? "proved" : "budget";
  return r;
}

using Map = std::map<std::string, std::string>;

// Runs a map to its end: cells are taken a few at a time and finished in a
// shuffled order; with stopAfter > 0 the run stops after that many cells
// and a second run continues from the verdicts of the first.
Map RunMap(unsigned seed, int stopAfter) {
  const SweepSettings s = Settings();
  std::mt19937 random(seed);
  std::map<std::string, SweepResult> known;
  for (int round = 0; round < 2; ++round) {
    SweepWork work(s);
    std::vector<std::string> lines;
    work.SetAppend(
        [](void* user, const std::string& line, std::string*) {
          static_cast<std::vector<std::string>*>(user)->push_back(line);
          return true;
        },
        &lines);
    work.Start(known);
    EXPECT_TRUE(work.Unreached().empty());
    int finished = 0;
    std::vector<SweepCell> taken;
    for (;;) {
      SweepCell cell;
      const int want = 1 + static_cast<int>(random() % 5);
      while (static_cast<int>(taken.size()) < want && work.Next(&cell, false)) taken.push_back(cell);
      if (taken.empty()) break;
      std::shuffle(taken.begin(), taken.end(), random);
      const size_t now = 1 + random() % taken.size();
      for (size_t k = 0; k < now; ++k) {
        const SweepResult r = Verdict(taken.back());
        taken.pop_back();
        work.Finish(r, SweepLedgerLine(r));
        ++finished;
      }
      if (round == 0 && stopAfter > 0 && finished >= stopAfter) break;
    }
    for (const SweepCell& cell : taken) work.Abandon(cell);
    for (const std::string& line : lines) {
      SweepResult r{};
      std::string why;
      EXPECT_TRUE(SweepParseLedgerLine(line, &s, &r, &why)) << why;
      known[r.cell.id] = r;
    }
    SweepSummary summary;
    work.Sum(&summary);
    if (round == 1 || stopAfter == 0) {
      EXPECT_TRUE(summary.complete);
      Map map;
      for (const SweepResult& r : summary.leaves) map[r.cell.id] = r.verdict;
      return map;
    }
    EXPECT_FALSE(summary.complete);
  }
  return {};
}

// Which cells a map holds and their verdicts do not depend on the order in
// which cells finish, nor on a stop and a continuation; the rules split
// what borders the proven region down to the last level and find the
// island through its probe.
TEST(Sweep, CellsDoNotDependOnTheOrderOfVerdicts) {
  const Map reference = RunMap(1, 0);
  for (unsigned seed = 2; seed < 8; ++seed) EXPECT_EQ(RunMap(seed, 0), reference) << seed;
  for (int stop : {1, 7, 40}) EXPECT_EQ(RunMap(100 + stop, stop), reference) << stop;
  int deepest = 0, island = 0;
  double area = 0.0;
  const SweepSettings s = Settings();
  for (const auto& [id, verdict] : reference) {
    SweepCell c;
    ASSERT_TRUE(SweepCellOf(s, id, &c));
    deepest = std::max(deepest, c.level);
    if (verdict == "hyperbolic") {
      area += (c.a[1] - c.a[0]) * (c.b[1] - c.b[0]);
      if (c.a[1] < 0.4 && c.b[0] > 0.0) ++island;
    }
  }
  EXPECT_EQ(deepest, s.levels);
  EXPECT_GT(island, 0);
  // The tiles cover the rectangle once.
  double total = 0.0;
  for (const auto& [id, verdict] : reference) {
    SweepCell c;
    SweepCellOf(s, id, &c);
    total += (c.a[1] - c.a[0]) * (c.b[1] - c.b[0]);
  }
  EXPECT_DOUBLE_EQ(total, 1.0);
  EXPECT_GT(area, 0.3);
}

// Every field of a ledger line is checked, and the cell must be this map's
// own, to the last bit of its ends.
TEST(Sweep, LedgerLinesAreCheckedAgainstTheMap) {
  const SweepSettings s = Settings();
  SweepCell cell;
  ASSERT_TRUE(SweepCellOf(s, "1,0/21", &cell));
  const std::string good = SweepLedgerLine(Verdict(cell));
  SweepResult r{};
  std::string why;
  ASSERT_TRUE(SweepParseLedgerLine(good, &s, &r, &why)) << why;
  EXPECT_EQ(r.cell.id, "1,0/21");
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string line = good;
    const size_t at = line.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return line.replace(at, from.size(), to);
  };
  SweepCell up = cell;
  up.a[1] = std::nextafter(up.a[1], 2.0);
  SweepResult moved = Verdict(up);
  const std::string bad[] = {
      replaced("\"1,0/21\"", "\"3,0/21\""),     // outside the grid
      replaced("\"1,0/21\"", "\"1,0/24\""),     // no such child
      replaced("\"1,0/21\"", "\"1,0\""),        // another cell's ends
      replaced("\"level\":2", "\"level\":1"),
      replaced("\"level\":2", "\"level\":\"2\""),
      replaced("\"passes\":1", "\"passes\":1.5"),
      replaced("\"verdict\":\"not proven\"", "\"verdict\":\"proven\""),
      replaced("\"verdict\":\"not proven\"", "\"verdict\":\"hyperbolic\""),
      replaced("\"seconds\":0.0", "\"seconds\":null"),
      SweepLedgerLine(moved),
      "[1,2]",
      good.substr(0, good.size() - 1),
  };
  for (const std::string& line : bad) {
    EXPECT_FALSE(SweepParseLedgerLine(line, &s, &r, &why)) << line;
    EXPECT_FALSE(why.empty());
  }
  // Without a map only the line itself is checked.
  EXPECT_TRUE(SweepParseLedgerLine(SweepLedgerLine(moved), nullptr, &r, &why)) << why;
}

// The rectangle, widths and levels that would split down to the last bit
// or print nonsense are refused.
TEST(Sweep, SettingsBeyondWhatAMapCanHoldAreRefused) {
  EXPECT_EQ(SweepCheckSettings(Settings()), "");
  auto with = [](auto change) {
    SweepSettings s = Settings();
    change(&s);
    return SweepCheckSettings(s);
  };
  EXPECT_NE(with([](SweepSettings* s) { s->levels = kSweepMaxLevels + 1; }), "");
  EXPECT_NE(with([](SweepSettings* s) {
              s->levels = -1;
              s->minWidth[0] = s->minWidth[1] = 0.0;
            }),
            "");
  EXPECT_NE(with([](SweepSettings* s) {
              s->levels = -1;
              s->minWidth[0] = 0.01;
              s->minWidth[1] = 1e-310;
            }),
            "");
  EXPECT_NE(with([](SweepSettings* s) {
              s->levels = -1;
              s->minWidth[0] = s->minWidth[1] = std::ldexp(1.0, -kSweepMaxLevels - 1);
            }),
            "");
  EXPECT_EQ(with([](SweepSettings* s) {
              s->levels = -1;
              s->minWidth[0] = s->minWidth[1] = std::ldexp(1.0, -kSweepMaxLevels);
            }),
            "");
  EXPECT_NE(with([](SweepSettings* s) { s->a = {1.0, std::nextafter(1.0, 2.0)}; s->b = {0, 1e-300}; }),
            "");
  EXPECT_NE(with([](SweepSettings* s) { s->maxDepth = -1; }), "");
}

}  // namespace
}  // namespace vesk
