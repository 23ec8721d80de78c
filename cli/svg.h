// Pictures of box collections: the boxes of a tree projected onto a plane of
// two of its coordinates, drawn as an SVG document with one rectangle per
// projected box.
#pragma once

#include <string>
#include <vector>

#include "tree/tree.h"

namespace vesk {

// An axis-parallel rectangle of the plane: [lo[0], hi[0]] x [lo[1], hi[1]].
struct PlaneBox {
  double lo[2];
  double hi[2];
};

// The distinct projections of the boxes of a walk (depth >= 0, or -1 for the
// leaves) onto coordinates i and j of the tree, in a fixed order. With
// j < 0 the second coordinate spans [0, 1] (a tree of one dimension).
std::vector<PlaneBox> ProjectBoxes(Tree* tree, int depth, int i, int j);

// A box drawn in a colour of its own, with a text that a browser shows on
// hover (an SVG <title>).
struct PlotCell {
  PlaneBox box;
  std::string fill;   // an SVG colour, "#1f5fa8"
  std::string title;
};

// One entry of a picture's legend: a swatch and its label.
struct LegendEntry {
  std::string fill;
  std::string label;
};

// One panel of a picture: a plane of two coordinates with its boxes.
struct PlotPanel {
  std::string title;
  std::string xLabel;
  std::string yLabel;
  PlaneBox view;  // the part of the plane shown (the domain's projection)
  std::vector<PlaneBox> boxes;     // filled
  std::vector<PlaneBox> outlined;  // drawn as outlines only
  std::vector<PlaneBox> shaded;    // filled grey
  std::vector<PlotCell> cells;     // each in its own colour, with a title
};

// The SVG document: panels side by side, then the caption lines below them.
// Each box of a panel is one <rect> in the panel's group
// <g class="boxes" id="panel-k">, in the panel's own coordinates; outlined
// and shaded boxes go to the groups <g class="outlined" id="panel-k-outlined">
// and <g class="shaded" id="panel-k-shaded">, cells to <g class="cells"
// id="panel-k-cells">, one <rect> each with its <title>. The legend follows
// the caption, a swatch and a label an entry.
std::string SvgDocument(const std::string& title, const std::vector<PlotPanel>& panels,
                        const std::vector<std::string>& caption,
                        const std::vector<LegendEntry>& legend = {});

// Text with the characters that XML reserves replaced by entities.
std::string XmlEscape(const std::string& text);

}  // namespace vesk
