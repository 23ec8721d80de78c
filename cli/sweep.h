// vesk sweep: maps of the hyperbolic parameters. A rectangle of parameters
// (a, b) is cut into a grid of cells, each cell is verified on its own with
// the driver, and a cell that is not proven is cut into four, down to a
// minimum width. Finished cells go to a ledger, one line each, so that a
// sweep can be stopped and continued.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/params.h"

namespace vesk {

// The arguments that decide which cells a sweep verifies and how; two runs
// with equal settings make the same cells with the same verdicts.
struct SweepSettings {
  Range a;
  Range b;
  int cells[2];         // first grid: cells along a, along b
  double minWidth[2];   // children narrower than this are not made (0: none)
  int levels;           // at most this many splits of a first cell (-1: none)
  int maxDepth;         // depth bound of each verification
};

// A closed parameter box. Its id names its place: "i,j" for the cell of
// the first grid in column i (along a) and row j (along b), then one digit
// per split: 0 lower a and lower b, 1 upper a, 2 upper b, 3 upper both.
struct SweepCell {
  std::string id;
  int level;
  double a[2];
  double b[2];
};

// The cells of the first grid. Edges are computed once and shared by the
// neighbours on both sides, the outer ones are the rectangle's own ends, so
// the cells cover the rectangle without gaps.
std::vector<SweepCell> SweepFirstCells(const SweepSettings& settings);

// Whether a cell that is not proven is cut further: within the levels, its
// children at least minWidth wide, and a midpoint strictly inside each
// side.
bool SweepSplits(const SweepSettings& settings, const SweepCell& cell);

// The four children of a cell, in the order of their last id digit; they
// share the cell's midpoints as edges and cover the cell.
std::vector<SweepCell> SweepChildren(const SweepCell& cell);

// What one verification of a cell found.
struct SweepResult {
  SweepCell cell;
  std::string verdict;  // "hyperbolic", "not proven" or "refused"
  std::string message;  // the verdict line, or why the cell was refused
  int passes;
  int maxBoxes;         // most boxes at the working depth in one pass
  int depth;            // height of the lifted tree at the end
  double seconds;
};

// Verifies one cell with the driver: loop mode from depth 0 on the default
// domain of vesk verify for that cell (state radius from HenonOrbitRadius
// with step 1/16, tangent radius 2), after the input check every entry
// point makes. maxMemory and threads as in VerifyOptions.
SweepResult SweepVerify(const SweepSettings& settings, const SweepCell& cell,
                        long long maxMemory, int threads);

// A ledger line (one JSON object, no line feed) and back. Doubles are
// written so that they read back as the same doubles, and also as exact
// hexadecimal text, which is what is read back.
std::string SweepLedgerLine(const SweepResult& result);
bool SweepParseLedgerLine(const std::string& line, SweepResult* result);

// The settings as one JSON object, with every double in exact hexadecimal:
// the identity of a sweep directory.
nlohmann::ordered_json SweepSettingsJson(const SweepSettings& settings);

// The options of `vesk sweep` as typed; empty texts and negative numbers
// mean "not given".
struct SweepCommand {
  std::string a;
  std::string b;
  std::string cells;
  std::string minWidth;
  int levels = -1;
  int maxDepth = -1;
  std::string out;
  int jobs = -1;
  std::string maxMemory;
  int threads = -1;  // threads of each cell's analyses
};

int RunSweep(const SweepCommand& command);

}  // namespace vesk
