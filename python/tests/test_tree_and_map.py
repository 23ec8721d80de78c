"""vesk.Tree against a grid computed here, its files against the command
line, and vesk.sweep / vesk.read_map against `vesk sweep`."""
import itertools
import json
import os
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import vesk


def grid(center, radius, splits):
    """Every box of the regular grid with splits[i] bisections along i."""
    axes = []
    for c, r, n in zip(center, radius, splits):
        k = 2 ** n
        axes.append([c - r + (2 * j + 1) * r / k for j in range(k)])
    rad = [r / 2 ** n for r, n in zip(radius, splits)]
    return {tuple(p) + tuple(rad) for p in itertools.product(*axes)}


def test_boxes_are_the_leaves_of_the_grid(tmp_path, cli):
    center, radius = (0.5, 0.5, 0.0, 0.0), (3.25, 3.25, 2.0, 2.0)
    t = vesk.Tree(center=center, radius=radius)
    assert (len(t), t.depth, t.boxes().shape) == (1, 0, (1, 8))
    t.subdivide(5)
    b = t.boxes()
    assert len(t) == 32 and t.depth == 5 and b.shape == (32, 8)
    splits = [int(round(np.log2(r / b[0, 4 + i]))) for i, r in enumerate(radius)]
    assert sum(splits) == 5
    assert {tuple(row) for row in b} == grid(center, radius, splits)
    # the tree file of the command line, both ways
    path = str(tmp_path / "t.vtree")
    t.save(path)
    status, out, err = cli("tree", "info", path)
    assert status == 0, err
    assert "leaves: 32" in out and "height: 5" in out
    u = vesk.Tree.load(path)
    assert np.array_equal(u.boxes(), b) and u.center == list(center)
    with pytest.raises(ValueError):
        vesk.Tree(center=(0, 0), radius=(1, -1))
    (tmp_path / "bad.vtree").write_text("not a tree\n")
    with pytest.raises(ValueError):
        vesk.Tree.load(str(tmp_path / "bad.vtree"))


SETTINGS = dict(a=(2.0, 6.0), b=(0.0, 0.3), cells=(2, 1), levels=1, budget=100000)
CLI_ARGS = ["--a", "2,6", "--b", "0,0x1.3333333333333p-2", "--cells", "2,1",
            "--levels", "1", "--budget", "100000"]


def test_sweep_makes_the_map_of_the_command_line(tmp_path, cli):
    assert float.fromhex("0x1.3333333333333p-2") == 0.3
    m = vesk.sweep(out=str(tmp_path / "py"), jobs=2, threads=1, **SETTINGS)
    status, out, err = cli("sweep", *CLI_ARGS, "--jobs", "2", "--threads", "1",
                           "--out", str(tmp_path / "cli"))
    assert status == 0, err
    ref = vesk.read_map(str(tmp_path / "cli"))
    key = lambda c: (c["id"], c["a_hex"], c["b_hex"], c["verdict"], c["stop"], c["depth"],
                     c["passes"], c["work"])
    assert m.status == "complete"
    assert sorted(map(key, m.cells)) == sorted(map(key, ref.cells))
    assert m.settings == ref.settings
    # the map's cells as the summary counts them
    with open(tmp_path / "py" / "summary.json") as f:
        summary = json.load(f)
    assert m.summary == summary
    assert any(c["level"] == 1 for c in m.cells), "the settings should split a cell"
    proven = [c for c in m.leaves if c["verdict"] == "hyperbolic"]
    area = sum((c["a"][1] - c["a"][0]) * (c["b"][1] - c["b"][0]) for c in proven)
    assert len(m.leaves) == summary["cells_in_map"]
    assert len(proven) == summary["hyperbolic"]["cells"]
    assert area == pytest.approx(summary["hyperbolic"]["area"])
    # the same call again continues the map: nothing left to verify
    again = vesk.sweep(out=str(tmp_path / "py"), jobs=2, threads=1, **SETTINGS)
    assert again.summary["cells_verified"] == 0
    assert again.summary["cells_from_ledger"] == len(m.cells)
    path = tmp_path / "map.svg"
    m.plot(str(path))
    assert ET.parse(path).getroot().tag.endswith("svg")


def test_sweep_refusals_and_damaged_ledgers(tmp_path):
    with pytest.raises(ValueError):
        vesk.sweep(a=(6.0, 6.0), b=(0.0, 0.3), out=str(tmp_path / "empty"))
    with pytest.raises(ValueError, match="budget"):
        vesk.sweep(a=(2.0, 6.0), b=(0.0, 0.3), out=str(tmp_path / "m"), budget=3)
    d = tmp_path / "m"
    vesk.sweep(out=str(d), jobs=1, threads=1, **SETTINGS)
    lines = (d / "ledger.jsonl").read_text().splitlines()
    cell = json.loads(lines[0])
    cell["a_hex"] = [cell["a_hex"][0], "0x1.8p+2"]   # ends that are no cell of this map
    (d / "ledger.jsonl").write_text("\n".join([json.dumps(cell)] + lines[1:]) + "\n")
    with pytest.raises(ValueError, match="line 1"):
        vesk.read_map(str(d))
    # a last line cut short (a run killed while writing) is left out
    (d / "ledger.jsonl").write_text("\n".join(lines) + "\n" + lines[0][:20])
    assert len(vesk.read_map(str(d)).cells) == len({json.loads(l)["id"] for l in lines})
