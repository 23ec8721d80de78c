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
  // Per chunk: the lifted boxes that give the base tree its points, then
  // the lifted boxes over base boxes that go.
  std::vector<HitList> found;
};

}  // namespace vesk
