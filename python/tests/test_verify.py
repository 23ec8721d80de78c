"""vesk.verify against the command line's report, and the ways a call can
fail: each must raise the right exception and leave the tree usable."""
import os
import signal
import threading
import xml.etree.ElementTree as ET
from fractions import Fraction

import numpy as np
import pytest

import vesk
from vesk import _vesk


def counts(passes):
    """A pass without its timings and memory: what must match exactly."""
    return [{k: v for k, v in p.items() if k not in ("seconds", "peak_memory_bytes")}
            for p in passes]


@pytest.mark.parametrize("a, b, args", [
    # the same decimals, enclosed alike at both doors
    ("5.9,6.1", ("0.29", "0.31"), ["--a", "5.9,6.1", "--b", "0.29,0.31"]),
    ("1.4", "0.3", ["--a", "1.4", "--b", "0.3", "--max-depth", "12"]),
    ("5.9,6.1", "0.29,0.31", ["--a", "5.9,6.1", "--b", "0.29,0.31", "--once", "--depth0", "12"]),
])
def test_results_equal_the_command_line_report(report, a, b, args):
    once = "--once" in args
    r = vesk.verify(a=a, b=b, threads=1, once=once, depth0=12 if once else None,
                    max_depth=12 if "--max-depth" in args else None)
    j = report(*args)
    assert r.outcome == j["verdict"]
    assert r.hyperbolic == (j["verdict"] == "hyperbolic")
    assert r.message == j["message"]
    assert counts(r.passes) == counts(j["passes"])
    assert list(r.passes[0]) == list(j["passes"][0])  # same keys, same order
    assert (r.a, r.b) == (tuple(j["parameters"]["a"]), tuple(j["parameters"]["b"]))
    assert r.radius == tuple(j["domain"]["radius"])
    assert r.depth == j["final"]["depth"]
    assert r.boxes.shape == (j["final"]["boxes"], 8)
    assert r.lines[-1] == r.message


def test_decimals_are_enclosed_and_floats_kept():
    r = vesk.verify(a="1.4", b=(0.3, "0.3"), once=True)
    for (lo, hi), text in ((r.a, "1.4"), (r.b, "0.3")):
        assert Fraction(lo) <= Fraction(text) <= Fraction(hi)
        assert lo < hi and np.nextafter(lo, np.inf) == hi  # the tightest enclosure
    assert r.b[0] == 0.3 or r.b[1] == 0.3  # the float end is the double itself
    r = vesk.verify(a=(5.9, 6.1), b=0.3, once=True)
    assert r.a == (5.9, 6.1) and r.b == (0.3, 0.3)


def test_boxes_are_the_tree_left_in_place():
    t = vesk.Tree(center=(0, 0, 0, 0), radius=(3.25, 3.25, 2, 2))
    r = vesk.verify(tree=t, a=(5.9, 6.1), b=(0.29, 0.31), max_depth=12, threads=1)
    assert r.hyperbolic
    assert np.array_equal(r.boxes, t.boxes())
    assert t.depth == 12 and len(t) == len(r.boxes)
    # the same tree once more, tested as it is
    assert vesk.verify(tree=t, a=(5.9, 6.1), b=(0.29, 0.31), once=True).hyperbolic


def test_refusal_raises_the_checks_message(cli):
    with pytest.raises(ValueError) as e:
        vesk.verify(a=6, b=0.3, radius=(3.25, 3.25, 0.5, 0.5))
    status, _, err = cli("verify", "--a", "6", "--b", "0.3", "--radius", "3.25,3.25,0.5,0.5")
    assert status == 2 and err.strip() == "vesk verify: " + str(e.value)
    # a refused tree is left as it was
    t = vesk.Tree(center=(0, 0, 0, 0), radius=(3.25, 3.25, 2, 2))
    t.subdivide(3)
    before = t.boxes()
    with pytest.raises(ValueError, match="lower end above its upper end"):
        vesk.verify(tree=t, a=(6.1, 5.9), b=0.3)
    assert np.array_equal(t.boxes(), before)
    with pytest.raises(ValueError):
        vesk.verify(a="1.4x", b=0.3)


def same_as_fresh_run(t, a, b):
    """A tree stopped after a pass equals a fresh run bounded at its depth."""
    fresh = vesk.verify(a=a, b=b, max_depth=t.depth, threads=1)
    assert np.array_equal(fresh.boxes, t.boxes())


def test_ctrl_c_raises_after_a_pass_and_leaves_the_tree_usable():
    radius = _vesk.default_radius(1.3999999999999999, 1.4000000000000001, 0.29999999999999999,
                                  0.30000000000000004)
    t = vesk.Tree(center=(0, 0, 0, 0), radius=radius)
    lines = []
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            vesk.verify(tree=t, a="1.4", b="0.3", max_depth=40, threads=1, progress=lines.append)
    finally:
        timer.cancel()
    assert 0 < t.depth < 40 and len(t) > 0
    assert lines and lines[-1].startswith("detph %d:" % (t.depth - 1))
    same_as_fresh_run(t, "1.4", "0.3")


def test_memory_budget_raises_memory_error_and_leaves_the_tree_usable():
    radius = _vesk.default_radius(1.3999999999999999, 1.4000000000000001, 0.29999999999999999,
                                  0.30000000000000004)
    t = vesk.Tree(center=(0, 0, 0, 0), radius=radius)
    budget = _vesk.resident_bytes() + 24 * 2 ** 20
    with pytest.raises(MemoryError, match="not proven up to depth"):
        vesk.verify(tree=t, a="1.4", b="0.3", max_depth=40, threads=1, max_memory=budget)
    assert 10 < t.depth < 40
    same_as_fresh_run(t, "1.4", "0.3")


def test_plot_writes_svg_under_agg(tmp_path):
    import matplotlib
    matplotlib.use("Agg")
    r = vesk.verify(a=(5.9, 6.1), b=(0.29, 0.31), threads=1)
    path = tmp_path / "horseshoe.svg"
    r.plot(str(path))
    root = ET.parse(path).getroot()
    assert root.tag.endswith("svg")
    text = path.read_text()
    assert "state plane" in text and "tangent plane" in text
    import matplotlib.pyplot as plt
    fig, axes = plt.subplots(1, 2)
    assert r.plot(ax=axes) is fig
    assert len(axes[0].collections) == 1 and len(axes[1].collections) == 1
    plt.close(fig)
