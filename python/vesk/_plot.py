"""Pictures of verify() results and of maps, with Matplotlib. A figure made
here is a matplotlib.figure.Figure of its own (no pyplot state), so saving
works under any backend, Agg included."""

import numpy as np


def _figure(panels):
    from matplotlib.figure import Figure
    fig = Figure(figsize=(5.2 * panels, 5.6), layout="constrained")
    axes = fig.subplots(1, panels, squeeze=False)[0]
    return fig, list(axes)


def _rectangles(ax, lo, hi, colors, edge="#08306b", linewidth=0.2):
    from matplotlib.collections import PolyCollection
    lo = np.asarray(lo, dtype=float).reshape(-1, 2)
    hi = np.asarray(hi, dtype=float).reshape(-1, 2)
    verts = np.stack([lo, np.column_stack([hi[:, 0], lo[:, 1]]), hi,
                      np.column_stack([lo[:, 0], hi[:, 1]])], axis=1)
    ax.add_collection(PolyCollection(verts, facecolors=colors, edgecolors=edge,
                                     linewidths=linewidth))


def _panel(ax, boxes, i, j, view_lo, view_hi, title, xlabel, ylabel):
    if len(boxes):
        # Distinct projections only: many lifted boxes share one state box.
        proj = np.unique(boxes[:, [i, j, 4 + i, 4 + j]], axis=0)
        _rectangles(ax, proj[:, 0:2] - proj[:, 2:4], proj[:, 0:2] + proj[:, 2:4], "#6baed6")
        count = len(proj)
    else:
        count = 0
    ax.set_xlim(view_lo[0], view_hi[0])
    ax.set_ylim(view_lo[1], view_hi[1])
    ax.set_aspect("equal", adjustable="box")
    ax.set_title("%s (%d boxes)" % (title, count), fontsize=10)
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    return count


def plot_verify(r, path=None, ax=None):
    c, rad = np.asarray(r.center), np.asarray(r.radius)
    if ax is None:
        fig, axes = _figure(2)
    else:
        axes = list(ax) if isinstance(ax, (list, tuple, np.ndarray)) else [ax]
        fig = axes[0].figure
    _panel(axes[0], r.boxes, 0, 1, c[0:2] - rad[0:2], c[0:2] + rad[0:2], "state plane", "x", "y")
    if len(axes) > 1:
        _panel(axes[1], r.boxes, 2, 3, c[2:4] - rad[2:4], c[2:4] + rad[2:4], "tangent plane",
               "u", "v")
    if ax is None:
        fig.suptitle("Hénon map H(x, y) = (a − x² + b·y, x):  a = [%.17g, %.17g],  b = [%.17g, "
                     "%.17g]\n%s — depth %d, %d boxes of the lifted tree (x, y, u, v) left"
                     % (r.a[0], r.a[1], r.b[0], r.b[1], r.message, r.depth, len(r.boxes)),
                     fontsize=9)
    if path is not None:
        fig.savefig(path)
    return fig


# Proven cells in blues, darker for deeper proofs; the others by why they
# stopped (the colours of the command line's map).
_DEPTH_SHADES = [(16, "#9ecae1"), (24, "#6baed6"), (32, "#3182bd"), (40, "#08519c"),
                 (255, "#08306b")]
_STOP_COLORS = [("probe", "#f2f0e6", "centre not proved (probe budget)"),
                ("budget", "#f4c27a", "not proven within the work budget"),
                ("depth", "#e6855e", "not proven at the depth bound"),
                ("incomplete", "#d9d9d9", "stopped by the memory budget"),
                ("refused", "#969696", "refused")]


def cell_color(cell):
    if cell["verdict"] == "hyperbolic":
        for up_to, fill in _DEPTH_SHADES:
            if cell["depth"] <= up_to:
                return fill
    stop = cell["stop"]
    if stop == "probe":
        return "#f2f0e6"
    if stop == "budget":
        return "#f4c27a"
    if stop in ("depth", "limit"):
        return "#e6855e"
    if cell["verdict"] == "incomplete":
        return "#d9d9d9"
    return "#969696"


def plot_map(m, path=None, ax=None):
    from matplotlib.patches import Patch
    if ax is None:
        fig, axes = _figure(1)
        ax = axes[0]
    else:
        fig = ax.figure
    leaves = m.leaves
    if leaves:
        lo = [(c["a"][0], c["b"][0]) for c in leaves]
        hi = [(c["a"][1], c["b"][1]) for c in leaves]
        _rectangles(ax, lo, hi, [cell_color(c) for c in leaves], edge="#ffffff", linewidth=0.3)
    s = m.settings
    ax.set_xlim(s["a"][0], s["a"][1])
    ax.set_ylim(s["b"][0], s["b"][1])
    ax.set_xlabel("a")
    ax.set_ylabel("b")
    proven = sum(1 for c in leaves if c["verdict"] == "hyperbolic")
    ax.set_title("Hénon map H(x, y) = (a − x² + b·y, x): hyperbolic parameters\n"
                 "%d cells, %d proven" % (len(leaves), proven), fontsize=10)
    handles, start = [], 0
    for up_to, fill in _DEPTH_SHADES:
        label = ("hyperbolic, depth above %d" % start if up_to == 255
                 else "hyperbolic, depth %d to %d" % (start, up_to))
        handles.append(Patch(facecolor=fill, label=label))
        start = up_to + 1
    handles += [Patch(facecolor=fill, label=label) for _, fill, label in _STOP_COLORS]
    ax.legend(handles=handles, fontsize=7, loc="upper left", bbox_to_anchor=(1.01, 1.0))
    if path is not None:
        fig.savefig(path, bbox_inches="tight")
    return fig
