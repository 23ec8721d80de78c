"""vesk: computer-assisted proofs of hyperbolicity for the Henon map
H(x, y) = (a - x^2 + b*y, x), with rigorous interval arithmetic.

    import vesk
    r = vesk.verify(a=(5.9, 6.1), b=(0.29, 0.31))
    r.hyperbolic, r.outcome, r.passes, r.boxes
    r.plot("horseshoe.svg")

Numbers given as floats are taken as the exact doubles they are; numbers
given as strings are decimals, enclosed outward by doubles (the lower end
rounded down, the upper end rounded up), as the command line reads them.
Every call goes through the input check of every other door: a refused
input raises ValueError with the check's message.
"""

import json
import math
import numbers
import os
import sys

import numpy as np

from . import _vesk

__version__ = _vesk.__version__

__all__ = ["Tree", "VerifyResult", "Map", "verify", "sweep", "read_map", "__version__"]

#: The depth bound of verify() when none is given (as `vesk verify`).
DEFAULT_MAX_DEPTH = 32
#: The largest depth0: 2^24 boxes at once.
MAX_INITIAL_DEPTH = 24

Tree = _vesk.Tree
Tree.__doc__ = """A box tree over a rectangle: Tree(center, radius).

t.subdivide(times=1) bisects every leaf; len(t) is the number of leaves;
t.depth the height; t.boxes(depth=-1) a (boxes, 2*dim) array of centres
then radii (-1: the leaves); t.save(path) and Tree.load(path) read and write
the tree files of the command line. verify(tree=t, ...) edits t in place.
"""


# ---- numbers ----------------------------------------------------------

def _is_number(x):
    return isinstance(x, numbers.Real) and not isinstance(x, bool)


def _end(x, what, up):
    """One end of an interval: a double as it is, a decimal enclosed."""
    if isinstance(x, str):
        lo, hi = _vesk.enclose(x.strip(), what)
        return hi if up else lo
    if isinstance(x, numbers.Integral) and not isinstance(x, bool):
        lo, hi = _vesk.enclose(str(int(x)), what)  # exact unless beyond 2^53
        return hi if up else lo
    if _is_number(x):
        return float(x)
    raise TypeError("%s: %r is not a number (give a float, an int or a decimal string)"
                    % (what, x))


def _interval(x, what):
    """A parameter as (lo, hi): a number, a string "6" or "5.9,6.1", or a pair."""
    if x is None:
        raise ValueError("%s is missing: give each parameter as a point or an interval, "
                         "e.g. a=(5.9, 6.1), b=0.3" % what)
    if isinstance(x, str):
        return _vesk.enclose_range(x.strip(), what)
    if _is_number(x):
        return (_end(x, what, False), _end(x, what, True))
    x = list(np.asarray(x, dtype=object).ravel()) if not isinstance(x, (list, tuple)) else list(x)
    if len(x) != 2:
        raise ValueError("%s: give one number or a pair (lo, hi), not %d numbers" % (what, len(x)))
    return (_end(x[0], what, False), _end(x[1], what, True))


def _vector(x, what, up):
    """Four numbers: doubles as they are; decimals rounded to nearest, or up."""
    x = list(x)
    if len(x) != 4:
        raise ValueError("%s: give 4 numbers (x, y, u, v), not %d" % (what, len(x)))
    out = []
    for v in x:
        if isinstance(v, str):
            out.append(_vesk.enclose(v.strip(), what)[1] if up else _vesk.nearest(v.strip(), what))
        else:
            out.append(_end(v, what, up))
    return tuple(out)


def _size(x, what):
    if x is None:
        return 0
    if isinstance(x, str):
        return _vesk.parse_size(x.strip(), what)
    if _is_number(x) and x >= 1 and math.isfinite(x):
        return int(x)
    raise ValueError("%s: give a positive number of bytes, or a size such as '4G'" % what)


def _count(x, what, default, low=0):
    if x is None:
        return default
    if not isinstance(x, numbers.Integral) or isinstance(x, bool) or x < low:
        raise ValueError("%s: give a whole number of at least %d" % (what, low))
    return int(x)


def _printer(progress):
    if progress is None or progress is False:
        return None
    if progress is True:
        def show(line):
            print(line, file=sys.stderr, flush=True)
        return show
    if callable(progress):
        return progress
    raise TypeError("progress: give True, False or a function of one line")


# ---- verify -------------------------------------------------------------

class VerifyResult:
    """What verify() found.

    hyperbolic  True when the cone test proved the parameter box hyperbolic
    outcome     the JSON report's verdict: "hyperbolic" or "not proven"
    message     the last console line ("Hyperbolic!", "not proven up to depth 12", ...)
    passes      one dict per pass, with the keys of the JSON report's passes
    boxes       (K, 8) array: centres x, y, u, v, then radii, of the lifted boxes left
    a, b        the parameter intervals used, as pairs of floats
    center, radius, depth, mode, lines, seconds
    """

    def __init__(self, raw, a, b, center, radius, mode, depth0, max_depth):
        self.outcome = raw["verdict"]
        self.hyperbolic = self.outcome == "hyperbolic"
        self.message = raw["message"]
        self.passes = [json.loads(p) for p in raw["passes"]]
        self.boxes = raw["boxes"]
        self.lines = list(raw["lines"])
        self.depth = raw["depth"]
        self.seconds = raw["seconds"]
        self.a = tuple(a)
        self.b = tuple(b)
        self.center = tuple(center)
        self.radius = tuple(radius)
        self.mode = mode
        self.depth0 = depth0
        self.max_depth = max_depth

    def __bool__(self):
        return self.hyperbolic

    def __repr__(self):
        return "<vesk.VerifyResult %s: %s, depth %d, %d boxes>" % (
            self.outcome, self.message, self.depth, len(self.boxes))

    def plot(self, path=None, ax=None):
        """Draws the boxes left, projected on the state plane (x, y) and the
        tangent plane (u, v), as the command line's picture. With path, saves
        the figure there (the format from the suffix, e.g. .svg or .png) and
        returns it; with ax, draws into it: a pair of Axes gets both planes,
        one Axes the state plane."""
        from . import _plot
        return _plot.plot_verify(self, path, ax)


def verify(a=None, b=None, *, center=None, radius=None, once=False, depth0=None,
           max_depth=None, max_memory=None, threads=None, progress=False, tree=None):
    """Tries to prove the Henon map hyperbolic for every (a, b) of a parameter box.

    a, b        a number, a decimal string ("1.4", "5.9,6.1") or a pair (lo, hi)
    center      centre of the lifted domain (x, y, u, v); default 0
    radius      its radius; default: the square that holds every bounded orbit,
                tangent radius 2 (as `vesk verify`)
    once        test the tree once as it is, without refining
    depth0      subdivide the new tree this many times first (default 0)
    max_depth   loop mode's depth bound (default 32)
    max_memory  bytes the process may use in all (an int, or "4G");
                a pass that would not fit raises MemoryError before it starts
    threads     threads of the analyses (default: one per core)
    progress    True prints the console lines to sys.stderr; a function gets them
    tree        a lifted Tree to verify in place instead of a new one

    Returns a VerifyResult. Ctrl-C raises KeyboardInterrupt after the pass in
    progress, leaving the tree as that pass left it.
    """
    a = _interval(a, "a")
    b = _interval(b, "b")
    if tree is not None:
        for name, value in (("center", center), ("radius", radius), ("depth0", depth0)):
            if value is not None:
                raise ValueError("%s cannot be used with tree=: the tree holds the domain and "
                                 "the depth" % name)
        if not isinstance(tree, Tree):
            raise TypeError("tree: give a vesk.Tree")
    if once and max_depth is not None:
        raise ValueError("max_depth applies to loop mode only: leave it out with once=True")
    depth0 = _count(depth0, "depth0", 0)
    if depth0 > MAX_INITIAL_DEPTH:
        raise ValueError("depth0 %d would make 2^%d boxes at once: give at most %d and let the "
                         "loop refine where the set is" % (depth0, depth0, MAX_INITIAL_DEPTH))
    maxMemory = _size(max_memory, "max_memory")
    threads = _count(threads, "threads", 0)
    printer = _printer(progress)

    if tree is None:
        max_depth = _count(max_depth, "max_depth", DEFAULT_MAX_DEPTH)
        if not once and max_depth < depth0:
            raise ValueError("max_depth %d is below depth0 %d: give a depth bound of at least %d"
                             % (max_depth, depth0, depth0))
        center = (0.0, 0.0, 0.0, 0.0) if center is None else _vector(center, "center", False)
        if radius is None:
            try:
                radius = tuple(_vesk.default_radius(a[0], a[1], b[0], b[1]))
            except ValueError:
                if all(math.isfinite(v) for v in a + b) and a[0] <= a[1] and b[0] <= b[1]:
                    raise
                radius = (1.0, 1.0, 2.0, 2.0)  # the check refuses the parameters first
        else:
            radius = _vector(radius, "radius", True)
        t = Tree(center, radius)
        # The check on the tree as the run will take it, before it grows.
        _vesk.check(t, a[0], a[1], b[0], b[1], depth0 if once else max_depth)
        t.subdivide(depth0)
    else:
        t = tree
        height = t.depth
        if max_depth is None and not once:
            max_depth = max(DEFAULT_MAX_DEPTH, height)
        max_depth = _count(max_depth, "max_depth", -1)
        center, radius, depth0 = t.center, t.radius, height
    raw = _vesk.verify(t, a[0], a[1], b[0], b[1], bool(once), -1 if once else max_depth,
                       maxMemory, threads, printer)
    return VerifyResult(raw, a, b, center, radius, "once" if once else "loop", depth0,
                        None if once else max_depth)


# ---- maps -----------------------------------------------------------------

def _pair(x, what, read):
    if isinstance(x, (list, tuple)):
        if len(x) != 2:
            raise ValueError("%s: give one value or a pair" % what)
        return (read(x[0]), read(x[1]))
    return (read(x), read(x))


class Map:
    """A map of the hyperbolic parameters, as a sweep's directory holds it.

    settings  the map's settings (sweep.json), doubles as floats
    cells     the ledger's cells, one dict each (the last line of every id)
    leaves    the cells not split further: the map itself
    summary   summary.json as a dict (None when no run summed it up yet)
    status    "complete", "incomplete" or "interrupted" after vesk.sweep(); else None
    """

    def __init__(self, directory, settings, cells, summary):
        self.directory = directory
        self.settings = settings
        self.cells = cells
        ids = {c["id"] for c in cells}
        # A child's id is its parent's with one more digit ("/" after a
        # first cell's id).
        child = lambda c, d: c["id"] + ("/" if c["level"] == 0 else "") + d
        self.leaves = [c for c in cells if not any(child(c, d) in ids for d in "0123")]
        self.summary = summary
        self.status = None
        self.summary_text = None

    def __repr__(self):
        proven = sum(1 for c in self.leaves if c["verdict"] == "hyperbolic")
        return "<vesk.Map %s: %d cells, %d proven>" % (self.directory, len(self.leaves), proven)

    def plot(self, path=None, ax=None):
        """Draws the cells in the (a, b) plane: proven cells in blues, darker
        for deeper proofs, the others by why they stopped. With path, saves
        the figure there; with ax, draws into it."""
        from . import _plot
        return _plot.plot_map(self, path, ax)


def _settings_tuple(s):
    return (s["a"][0], s["a"][1], s["b"][0], s["b"][1], s["cells"][0], s["cells"][1],
            s["min_width"][0], s["min_width"][1], s["levels"], s["max_depth"], s["budget"],
            s["probe_budget"])


def read_map(directory):
    """Reads a sweep's directory (ledger.jsonl, sweep.json, summary.json).
    Every ledger line is checked as `vesk sweep` checks it, against the map's
    settings; a line cut short at the end (a run killed while writing) is
    left out."""
    with open(os.path.join(directory, "sweep.json"), encoding="utf-8") as f:
        raw = json.load(f)
    hexpair = lambda v: (float.fromhex(v[0]), float.fromhex(v[1]))
    settings = {"a": hexpair(raw["a"]), "b": hexpair(raw["b"]), "cells": tuple(raw["cells"]),
                "min_width": hexpair(raw["min_width"]), "levels": raw["levels"],
                "max_depth": raw["max_depth"], "budget": raw["budget"],
                "probe_budget": raw["probe_budget"]}
    cells = {}
    path = os.path.join(directory, "ledger.jsonl")
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            text = f.read()
        lines = text.split("\n")
        for n, line in enumerate(lines, 1):
            if not line:
                continue
            try:
                checked = _vesk.parse_ledger_line(line, _settings_tuple(settings))
            except ValueError as e:
                if n == len(lines):  # no line feed: cut short
                    break
                raise ValueError("%s: line %d: %s" % (path, n, e)) from None
            cell = json.loads(checked)
            cells.pop(cell["id"], None)
            cells[cell["id"]] = cell
    summary = None
    spath = os.path.join(directory, "summary.json")
    if os.path.exists(spath):
        with open(spath, encoding="utf-8") as f:
            summary = json.load(f)
    return Map(directory, settings, list(cells.values()), summary)


def sweep(a=None, b=None, out=None, *, cells=None, min_width=None, levels=None,
          max_depth=None, budget=None, probe_budget=None, jobs=None, threads=None,
          max_memory=None, progress=False):
    """Maps the hyperbolic parameters of the rectangle a x b into the directory
    out, as `vesk sweep` does (the same ledger, sweep.json and summary.json;
    the same call continues a map that was stopped). Returns read_map(out)
    with .status and .summary_text set.

    cells       first grid: a whole number, or a pair (along a, along b)
    min_width   children narrower than this are not made: a number or a pair
    levels      at most this many splits of a first cell (default 5, or none
                with min_width)
    max_depth   depth bound of each verification (default 64)
    budget      work budget of a cell in box-passes (default 2000000)
    probe_budget  work budget of the probe at the centre of a first cell,
                halved at every split down to a sixteenth of budget (default:
                half of budget)
    jobs        cells verified at once (default: all cores)
    threads     threads of each cell's analyses
    max_memory  bytes the process may use, or a size such as "4G"
    progress    True prints the header and summary lines to sys.stderr; a
                function gets them
    """
    a = _interval(a, "a")
    b = _interval(b, "b")
    if out is None:
        raise ValueError("out is missing: give the directory of the map")

    def count(v):
        if not isinstance(v, numbers.Integral) or isinstance(v, bool) or not 1 <= v <= 4096:
            raise ValueError("cells: give whole numbers from 1 to 4096, e.g. (8, 4)")
        return int(v)

    def width(v):
        w = _vesk.nearest(v.strip(), "min_width") if isinstance(v, str) else _end(v, "min_width", False)
        if not w >= 0:
            raise ValueError("min_width: give numbers of at least 0, e.g. (0.05, 0.01)")
        return w

    cellPair = (1, 1) if cells is None else _pair(cells, "cells", count)
    widths = (0.0, 0.0) if min_width is None else _pair(min_width, "min_width", width)
    levels = (5 if min_width is None else -1) if levels is None else int(levels)
    max_depth = _count(max_depth, "max_depth", _vesk.SWEEP_DEFAULT_MAX_DEPTH)
    def boxes(v, name):
        if not _is_number(v) or not 16 <= v <= 2 ** 50 or v != math.floor(v):
            raise ValueError("%s: %r is not a number of box-passes: give a whole number of at "
                             "least 16, e.g. 2000000" % (name, v))
        return int(v)

    budget = boxes(_vesk.SWEEP_DEFAULT_BUDGET if budget is None else budget, "budget")
    probe_budget = (_vesk.sweep_probe_budget(budget) if probe_budget is None
                    else boxes(probe_budget, "probe_budget"))
    settings = (a[0], a[1], b[0], b[1], cellPair[0], cellPair[1], widths[0], widths[1],
                levels, max_depth, budget, probe_budget)
    cores = max(1, os.cpu_count() or 1)
    jobs = _count(jobs, "jobs", cores, 1)
    threads = _count(threads, "threads", cores // jobs if cores > jobs else 1)
    raw = _vesk.sweep(settings, os.fspath(out), jobs, threads, _size(max_memory, "max_memory"),
                      _printer(progress))
    if raw["worker"]:
        return None
    printer = _printer(progress)
    if printer:
        for line in raw["summary"].splitlines():
            printer(line)
    m = read_map(os.fspath(out))
    m.status = raw["status"]
    m.summary_text = raw["summary"]
    return m
