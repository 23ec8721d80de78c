// vesk tree info / vesk tree plot: summaries and pictures of tree files
// (and of verify checkpoints, which hold one).
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/files.h"
#include "cli/report.h"
#include "cli/svg.h"
#include "cli/tree_files.h"

namespace vesk {

namespace {

int Fail(const char* command, const std::string& message, int status = kExitUsage) {
  std::fprintf(stderr, "vesk tree %s: %s\n", command, message.c_str());
  return status;
}

// A tree file or a checkpoint; *isCheckpoint tells which, *status the exit
// status of a failure.
Tree* LoadAny(const std::string& path, bool* isCheckpoint, CheckpointHeader* header,
              std::string* error, int* status) {
  std::string data;
  bool ioFailure = false;
  *status = kExitUsage;
  if (!ReadWholeFile(path, &data, error, &ioFailure)) {
    if (ioFailure) *status = kExitIo;
    return nullptr;
  }
  *isCheckpoint = IsCheckpointData(data);
  if (*isCheckpoint) {
    std::string history;
    return CheckpointParse(data, path, header, &history, error);
  }
  return LoadTreeData(data, path, error);
}

std::string VectorText(const double* x, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    if (i > 0) s += ' ';
    s += DoubleText(x[i]);
  }
  return s;
}

}  // namespace

int RunTreeInfo(const std::string& path) {
  std::string error;
  bool isCheckpoint = false;
  CheckpointHeader header{};
  int status = 0;
  Tree* tree = LoadAny(path, &isCheckpoint, &header, &error, &status);
  if (tree == nullptr) return Fail("info", error, status);
  const int dim = tree->domain->dim;
  std::printf("file: %s\n", path.c_str());
  if (isCheckpoint) {
    std::printf("checkpoint of vesk verify after pass %d (depth bound %d)\n", header.pass,
                header.maxDepth);
    const std::string writer =
        header.writtenBy.empty() ? std::string() : ", written by vesk " + header.writtenBy;
    std::printf("checkpoint format %d%s\n", header.format, writer.c_str());
    std::printf("a = %s\nb = %s\n", RangeText(header.a).c_str(), RangeText(header.b).c_str());
  }
  std::printf("dimension: %d\n", dim);
  std::printf("center: %s\n", VectorText(tree->domain->center, dim).c_str());
  std::printf("radius: %s\n", VectorText(tree->domain->radius, dim).c_str());
  std::printf("boxes: %d\n", TreeCount(tree->root));
  std::map<int64_t, int> byDepth;
  std::map<int, int> byFlags;
  int leaves = 0;
  if (TreeFirstBox(tree, -1)) {
    do {
      ++leaves;
      ++byDepth[tree->depth];
      ++byFlags[tree->box->flags];
    } while (TreeNextBox(tree, -1));
  }
  std::printf("leaves: %d\n", leaves);
  std::printf("height: %d\n", TreeDepth(tree->root));
  std::printf("leaves by depth:");
  for (const auto& [depth, count] : byDepth)
    std::printf(" %lld: %d", static_cast<long long>(depth), count);
  std::printf("\nleaves by flags:");
  for (const auto& [flags, count] : byFlags) std::printf(" 0x%02x: %d", flags, count);
  std::printf("\n");
  TreeFree(&tree);
  return 0;
}

int RunTreePlot(const std::string& path, const std::string& out) {
  std::string error;
  if (SamePath(out, path) || SamePath(out + ".tmp", path))
    return Fail("plot", "--out " + out + " is the tree file read: writing the picture would "
                        "destroy it; give another file");
  if (!CheckWritablePath(out, "--out", &error)) return Fail("plot", error);
  bool isCheckpoint = false;
  CheckpointHeader header{};
  int status = 0;
  Tree* tree = LoadAny(path, &isCheckpoint, &header, &error, &status);
  if (tree == nullptr) return Fail("plot", error, status);
  const int dim = tree->domain->dim;
  const double* c = tree->domain->center;
  const double* r = tree->domain->radius;
  static const char* const kNames[4] = {"x", "y", "u", "v"};
  auto label = [&](int i) {
    return dim <= 4 ? std::string(kNames[i]) : "coordinate " + std::to_string(i);
  };
  std::vector<PlotPanel> panels;
  // Coordinates 0 and 1, and 2 and 3 when there are four or more; a tree of
  // one dimension is drawn as intervals across the panel.
  for (int first = 0; first < dim && first < 4; first += 2) {
    const int second = first + 1 < dim ? first + 1 : -1;
    PlotPanel p;
    p.title = "coordinates " + std::to_string(first) +
              (second >= 0 ? " and " + std::to_string(second) : "");
    p.xLabel = label(first);
    p.yLabel = second >= 0 ? label(second) : "";
    p.view.lo[0] = c[first] - r[first];
    p.view.hi[0] = c[first] + r[first];
    p.view.lo[1] = second >= 0 ? c[second] - r[second] : 0.0;
    p.view.hi[1] = second >= 0 ? c[second] + r[second] : 1.0;
    p.boxes = ProjectBoxes(tree, -1, first, second);
    panels.push_back(p);
    if (dim < 4) break;
  }
  const int leaves = TreeCountDepth(tree, -1);
  std::vector<std::string> caption;
  caption.push_back(path + ": dimension " + std::to_string(dim) + ", " +
                    std::to_string(TreeCount(tree->root)) + " boxes, " +
                    std::to_string(leaves) + " leaves, height " +
                    std::to_string(TreeDepth(tree->root)));
  if (isCheckpoint)
    caption.push_back("checkpoint of vesk verify after pass " + std::to_string(header.pass) +
                      ": a = " + RangeText(header.a) + ", b = " + RangeText(header.b));
  std::string counts = "distinct projections of the leaves:";
  for (const PlotPanel& p : panels) {
    counts += ' ';
    counts += std::to_string(p.boxes.size()) + " (" + p.title + ")";
  }
  caption.push_back(counts);
  TreeFree(&tree);
  if (!WriteFileAtomically(out, SvgDocument("vesk tree plot: " + path, panels, caption),
                           &error))
    return Fail("plot", error, kExitIo);
  return 0;
}

}  // namespace vesk
