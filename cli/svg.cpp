#include "cli/svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <tuple>

#include "cli/params.h"

namespace vesk {

namespace {

constexpr double kPanelSize = 440.0;  // plot area, pixels
constexpr double kMarginLeft = 64.0;
constexpr double kMarginTop = 44.0;
constexpr double kMarginBottom = 52.0;
constexpr double kGap = 40.0;
constexpr double kCaptionLine = 20.0;

std::string Px(double x) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.2f", x);
  return buf;
}

// A short label for a tick value.
std::string Tick(double x) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.4g", std::fabs(x) < 1e-12 ? 0.0 : x);
  return buf;
}

void AddAxes(std::string* out, double x0, double y0, const PlotPanel& p) {
  const double w = kPanelSize;
  *out += "<rect x=\"" + Px(x0) + "\" y=\"" + Px(y0) + "\" width=\"" + Px(w) +
          "\" height=\"" + Px(w) + "\" fill=\"#f4f4f0\" stroke=\"#444\" stroke-width=\"1\"/>\n";
  // Five ticks per axis at the quarters of the view.
  for (int k = 0; k <= 4; ++k) {
    const double f = k / 4.0;
    const double xv = p.view.lo[0] + f * (p.view.hi[0] - p.view.lo[0]);
    const double yv = p.view.lo[1] + f * (p.view.hi[1] - p.view.lo[1]);
    const double xp = x0 + f * w;
    const double yp = y0 + w - f * w;
    *out += "<line x1=\"" + Px(xp) + "\" y1=\"" + Px(y0 + w) + "\" x2=\"" + Px(xp) +
            "\" y2=\"" + Px(y0 + w + 5) + "\" stroke=\"#444\"/>\n";
    *out += "<text x=\"" + Px(xp) + "\" y=\"" + Px(y0 + w + 18) +
            "\" text-anchor=\"middle\">" + XmlEscape(Tick(xv)) + "</text>\n";
    *out += "<line x1=\"" + Px(x0 - 5) + "\" y1=\"" + Px(yp) + "\" x2=\"" + Px(x0) +
            "\" y2=\"" + Px(yp) + "\" stroke=\"#444\"/>\n";
    *out += "<text x=\"" + Px(x0 - 8) + "\" y=\"" + Px(yp + 4) +
            "\" text-anchor=\"end\">" + XmlEscape(Tick(yv)) + "</text>\n";
  }
  *out += "<text x=\"" + Px(x0 + w / 2) + "\" y=\"" + Px(y0 + w + 38) +
          "\" text-anchor=\"middle\" font-style=\"italic\">" + XmlEscape(p.xLabel) +
          "</text>\n";
  *out += "<text x=\"" + Px(x0 - 48) + "\" y=\"" + Px(y0 + w / 2) +
          "\" text-anchor=\"middle\" font-style=\"italic\">" + XmlEscape(p.yLabel) +
          "</text>\n";
  *out += "<text x=\"" + Px(x0 + w / 2) + "\" y=\"" + Px(y0 - 14) +
          "\" text-anchor=\"middle\" font-weight=\"bold\">" + XmlEscape(p.title) +
          "</text>\n";
}

// A thin white outline that sets boxes apart, when they are large enough on
// the page for it not to hide them (in the panel's units: the group is
// scaled).
std::string Outline(const std::vector<PlaneBox>& boxes, double sx, double sy) {
  if (boxes.empty()) return "";
  double smallest = HUGE_VAL;
  for (const PlaneBox& b : boxes)
    smallest = std::min({smallest, (b.hi[0] - b.lo[0]) * sx, (b.hi[1] - b.lo[1]) * sy});
  if (!(smallest >= 4.0)) return "";
  return " stroke=\"white\" stroke-width=\"" + DoubleText(0.6 / std::sqrt(sx * sy)) + "\"";
}

}  // namespace

std::vector<PlaneBox> ProjectBoxes(Tree* tree, int depth, int i, int j) {
  std::vector<PlaneBox> boxes;
  if (TreeFirstBox(tree, depth)) {
    do {
      PlaneBox b;
      b.lo[0] = tree->c[i] - tree->r[i];
      b.hi[0] = tree->c[i] + tree->r[i];
      if (j >= 0) {
        b.lo[1] = tree->c[j] - tree->r[j];
        b.hi[1] = tree->c[j] + tree->r[j];
      } else {
        b.lo[1] = 0.0;
        b.hi[1] = 1.0;
      }
      boxes.push_back(b);
    } while (TreeNextBox(tree, depth));
  }
  const auto key = [](const PlaneBox& b) {
    return std::make_tuple(b.lo[0], b.lo[1], b.hi[0], b.hi[1]);
  };
  std::sort(boxes.begin(), boxes.end(),
            [&](const PlaneBox& x, const PlaneBox& y) { return key(x) < key(y); });
  boxes.erase(std::unique(boxes.begin(), boxes.end(),
                          [&](const PlaneBox& x, const PlaneBox& y) {
                            return key(x) == key(y);
                          }),
              boxes.end());
  return boxes;
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (char ch : text) {
    switch (ch) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += ch;
    }
  }
  return out;
}

std::string SvgDocument(const std::string& title, const std::vector<PlotPanel>& panels,
                        const std::vector<std::string>& caption,
                        const std::vector<LegendEntry>& legend) {
  const size_t n = panels.empty() ? 1 : panels.size();
  const double width = kMarginLeft + n * kPanelSize + (n - 1) * (kGap + kMarginLeft) + 24.0;
  const double captionTop = kMarginTop + kPanelSize + kMarginBottom;
  // Columns of about 230 pixels: a label of some 28 characters each.
  const size_t kLegendColumns =
      std::max<size_t>(1, static_cast<size_t>((width - kMarginLeft) / 230.0));
  const size_t legendRows = (legend.size() + kLegendColumns - 1) / kLegendColumns;
  const double legendTop = captionTop + kCaptionLine * caption.size();
  const double height = legendTop + kCaptionLine * legendRows + 16.0;
  std::string out;
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Px(width) + "\" height=\"" +
         Px(height) + "\" viewBox=\"0 0 " + Px(width) + " " + Px(height) +
         "\" font-family=\"sans-serif\" font-size=\"13\">\n";
  out += "<title>" + XmlEscape(title) + "</title>\n";
  out += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  for (size_t k = 0; k < panels.size(); ++k) {
    const PlotPanel& p = panels[k];
    const double x0 = kMarginLeft + k * (kPanelSize + kGap + kMarginLeft);
    const double y0 = kMarginTop;
    AddAxes(&out, x0, y0, p);
    // Boxes in the panel's coordinates: the transform maps the view onto
    // the plot area with y pointing up.
    const double sx = kPanelSize / (p.view.hi[0] - p.view.lo[0]);
    const double sy = kPanelSize / (p.view.hi[1] - p.view.lo[1]);
    out += "<clipPath id=\"clip-" + std::to_string(k) + "\"><rect x=\"" + Px(x0) +
           "\" y=\"" + Px(y0) + "\" width=\"" + Px(kPanelSize) + "\" height=\"" +
           Px(kPanelSize) + "\"/></clipPath>\n";
    out += "<g clip-path=\"url(#clip-" + std::to_string(k) + ")\">\n";
    const std::string transform = " transform=\"matrix(" + DoubleText(sx) + " 0 0 " +
                                  DoubleText(-sy) + " " + DoubleText(x0 - sx * p.view.lo[0]) +
                                  " " + DoubleText(y0 + kPanelSize + sy * p.view.lo[1]) + ")\"";
    const auto rects = [&out](const std::vector<PlaneBox>& boxes) {
      for (const PlaneBox& b : boxes)
        out += "<rect x=\"" + DoubleText(b.lo[0]) + "\" y=\"" + DoubleText(b.lo[1]) +
               "\" width=\"" + DoubleText(b.hi[0] - b.lo[0]) + "\" height=\"" +
               DoubleText(b.hi[1] - b.lo[1]) + "\"/>\n";
    };
    // Shaded and outlined boxes are drawn on the page (pixels), so that an
    // outline is one pixel wide however the panel is scaled.
    const auto pageRects = [&](const std::vector<PlaneBox>& boxes) {
      for (const PlaneBox& b : boxes) {
        const double left = x0 + (b.lo[0] - p.view.lo[0]) * sx;
        const double top = y0 + kPanelSize - (b.hi[1] - p.view.lo[1]) * sy;
        out += "<rect x=\"" + Px(left) + "\" y=\"" + Px(top) + "\" width=\"" +
               Px((b.hi[0] - b.lo[0]) * sx) + "\" height=\"" + Px((b.hi[1] - b.lo[1]) * sy) +
               "\"/>\n";
      }
    };
    const std::string id = "panel-" + std::to_string(k);
    if (!p.shaded.empty()) {
      out += "<g class=\"shaded\" id=\"" + id + "-shaded\" fill=\"#bbbbbb\">\n";
      pageRects(p.shaded);
      out += "</g>\n";
    }
    out += "<g class=\"boxes\" id=\"" + id + "\"" + transform + " fill=\"#1f5fa8\"" +
           Outline(p.boxes, sx, sy) + ">\n";
    rects(p.boxes);
    out += "</g>\n";
    if (!p.cells.empty()) {
      out += "<g class=\"cells\" id=\"" + id + "-cells\" stroke=\"white\" stroke-width=\"0.3\">\n";
      for (const PlotCell& c : p.cells) {
        const PlaneBox& b = c.box;
        const double left = x0 + (b.lo[0] - p.view.lo[0]) * sx;
        const double top = y0 + kPanelSize - (b.hi[1] - p.view.lo[1]) * sy;
        out += "<rect x=\"" + Px(left) + "\" y=\"" + Px(top) + "\" width=\"" +
               Px((b.hi[0] - b.lo[0]) * sx) + "\" height=\"" + Px((b.hi[1] - b.lo[1]) * sy) +
               "\" fill=\"" + XmlEscape(c.fill) + "\"><title>" + XmlEscape(c.title) +
               "</title></rect>\n";
      }
      out += "</g>\n";
    }
    if (!p.outlined.empty()) {
      out += "<g class=\"outlined\" id=\"" + id +
             "-outlined\" fill=\"none\" stroke=\"#b03a2e\" stroke-width=\"0.8\">\n";
      pageRects(p.outlined);
      out += "</g>\n";
    }
    out += "</g>\n";
  }
  for (size_t i = 0; i < caption.size(); ++i) {
    out += "<text x=\"" + Px(kMarginLeft) + "\" y=\"" +
           Px(captionTop + kCaptionLine * (i + 1) - 4) + "\">" + XmlEscape(caption[i]) +
           "</text>\n";
  }
  const double columnWidth = (width - kMarginLeft) / kLegendColumns;
  for (size_t i = 0; i < legend.size(); ++i) {
    const double x = kMarginLeft + columnWidth * (i % kLegendColumns);
    const double y = legendTop + kCaptionLine * (i / kLegendColumns + 1) - 4;
    out += "<g class=\"legend\"><rect x=\"" + Px(x) + "\" y=\"" + Px(y - 11) +
           "\" width=\"14\" height=\"12\" fill=\"" + XmlEscape(legend[i].fill) +
           "\" stroke=\"#666\" stroke-width=\"0.5\"/><text x=\"" + Px(x + 20) + "\" y=\"" +
           Px(y) + "\">" + XmlEscape(legend[i].label) + "</text></g>\n";
  }
  out += "</svg>\n";
  return out;
}

}  // namespace vesk
