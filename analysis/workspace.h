// What a verification run keeps from one pass to the next: its workers and
// the buffers of the analyses. The buffers grow to the largest pass and the
// later passes reuse them, so that a pass in the steady state allocates
// nothing of its own; what they hold between passes means nothing, except
// `lifted`.
#pragma once

#include <vector>

#include "analysis/box_graph.h"
#include "analysis/depth_boxes.h"
#include "analysis/parallel.h"
#include "tree/grid.h"

namespace vesk {

struct PassWorkspace {
  // threads as for InvariantSetThreads: 0 one per hardware thread,
  // negative 1, never more than the cores.
  explicit PassWorkspace(int threads) : workers(AnalysisThreads(threads)) {
    core.scratch = &scratch;
  }

  Workers workers;
  // The lifted boxes at the working depth: when depth is 0 or more on entry
  // to the chain recurrent set, the boxes as the subdivision gathered them;
  // after it, the boxes it left (see BaseChainRecSetKeeping).
  DepthBoxes lifted;
  DepthBoxes base;       // the base boxes of the chain recurrent set
  BoxGrid liftedGrid;    // the invariant set's lookup of the lifted boxes
  BoxGrid stateGrid;     // the lifted boxes by their state cells
  BoxGrid baseGrid;      // the base boxes
  // Three per worker: the box records of a chunk to map, then the lower
  // and the upper bounds of their images.
  std::vector<FillVector<double>> rows;
  // The peeling's arrays.
  Scratch scratch;
  // The graphs of the lifted and of the base boxes, each kept with its own
  // lists: sharing one, the base graph's few lists would free the lifted
  // graph's many every pass, and the next pass would make them anew.
  BoxGraph graph;
  BoxGraph baseGraph;
  CoreBuffers core;
  std::vector<char> alive, keep, rec;
  // The chain recurrent set's distinct state centers, the state cells
  // seen, how many each chunk saw first, and the base boxes that are not
  // chain recurrent.
  std::vector<double> centers;
  std::vector<uint64_t> seen;
  std::vector<size_t> firsts;
  std::vector<uint32_t> open;
  // Per chunk: the lifted boxes over base boxes that go.
  std::vector<HitList> found;
};

// Gives each worker its three rows, with room for the records (`stride`
// doubles a box, 0 when they are not used) and the image bounds (d doubles
// a box) of a whole chunk of kGraphChunk boxes. Which worker maps which
// chunk changes from pass to pass: rows grown by the workers as chunks
// came would keep growing in later passes.
inline void ReserveRows(PassWorkspace* ws, size_t stride, size_t d) {
  const size_t w = static_cast<size_t>(ws->workers.count());
  if (ws->rows.size() < 3 * w) ws->rows.resize(3 * w);
  for (size_t o = 0; o < w; ++o) {
    if (stride > 0) ws->rows[3 * o].reserve(kGraphChunk * stride);
    ws->rows[3 * o + 1].reserve(kGraphChunk * d);
    ws->rows[3 * o + 2].reserve(kGraphChunk * d);
  }
}

}  // namespace vesk
