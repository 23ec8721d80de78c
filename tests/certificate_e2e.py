#!/usr/bin/env python3
"""Proof certificates end to end: vesk verify --certificate writes them,
check/vesk_check.py checks them.

Usage: certificate_e2e.py VESK VESK_FAULT_DROP_EDGE CHECKER [GROUP ...]

VESK_FAULT_DROP_EDGE is a test-only vesk whose invariant set drops one edge
of its box graph. The checker runs under the Python that runs this script.
"""
import hashlib
import importlib.util
import json
import os
import random
import re
import subprocess
import sys
import tempfile
import unittest
from fractions import Fraction

VESK = FAULTY = CHECKER = None
HORSESHOE = ["--a", "5.9,6.1", "--b", "0.29,0.31"]
# Just above where the horseshoe ends for b = 0.3 (between a = 2.8 and 2.9
# the period-3 orbits of the full shift disappear): a deep run.
HORSESHOE_END = ["--a", "2.9", "--b", "0.3"]
# Below the horseshoe: hyperbolic, every orbit but a Cantor set escapes,
# and fewer periodic points than the full shift (a plateau).
PLATEAU = ["--a", "1.9", "--b", "0.3"]


def vesk(args, cwd, program=None):
    return subprocess.run([program or VESK, "verify"] + args, cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=300)


def check(path):
    return subprocess.run([sys.executable, CHECKER, path], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=300)


def header_range(stdout, name):
    return re.search(r"^# %s = (\[\S+, \S+\])$" % name, stdout, re.M).group(1)


class Cert:
    """A certificate taken apart, just enough to tamper with it: the header
    lines, the bits of the two trees, the leaves with depth, cell and end."""

    def __init__(self, data):
        self.lines, pos = [], 0
        while not self.lines or not self.lines[-1].startswith("data "):
            eol = data.index(b"\n", pos)
            self.lines.append(data[pos:eol].decode())
            pos = eol + 1
        n = int(self.lines[-1].split()[1])
        self.blob = bytearray(data[pos:pos + n])
        assert data[pos + n:] == b"\nend\n"
        self.splits = [int(w) for w in self.field("splits")[1:]]
        self.sections, at = {}, 0
        for name in ("state-tree", "lifted-tree"):
            nodes, leaves, _ = (int(w) for w in self.field(name))
            self.sections[name] = (at, at + (nodes + 7) // 8)
            at += (nodes + 7) // 8 + (leaves + 7) // 8

    def field(self, name):
        return next(line.split()[1:] for line in self.lines if line.split()[0] == name)

    def set_field(self, name, values):
        i = next(i for i, line in enumerate(self.lines) if line.split()[0] == name)
        self.lines[i] = " ".join([name] + [str(v) for v in values])

    def bytes(self):
        return ("\n".join(self.lines) + "\n").encode() + bytes(self.blob) + b"\nend\n"

    def bit(self, byte, i):
        return (self.blob[byte + (i >> 3)] >> (7 - (i & 7))) & 1

    def flip(self, byte, i):
        self.blob[byte + (i >> 3)] ^= 0x80 >> (i & 7)

    def lifted_leaves(self):
        """(leaf number, depth, cell index per coordinate, final) in pre-order."""
        shape, ends = self.sections["lifted-tree"]
        out, node, stack = [], 0, [(0, (0, 0, 0, 0))]
        while stack:
            depth, idx = stack.pop()
            split = self.bit(shape, node)
            node += 1
            if split:
                k = self.splits[depth]
                for side in (1, 0):
                    stack.append((depth + 1, idx[:k] + (2 * idx[k] + side,) + idx[k + 1:]))
            else:
                out.append((len(out), depth, idx, self.bit(ends, len(out))))
        return out

    def splits_above(self, depth):
        return [self.splits[:depth].count(k) for k in range(4)]

    def set_end(self, leaf, final):
        _, ends = self.sections["lifted-tree"]
        if self.bit(ends, leaf) != final:
            self.flip(ends, leaf)
            nodes, leaves, count = (int(w) for w in self.field("lifted-tree"))
            self.set_field("lifted-tree", [nodes, leaves, count + (1 if final else -1)])


class Work(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def certify(self, args, name="c.cert", program=None):
        r = vesk(args + ["--certificate", name], self.dir.name, program)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.endswith("Hyperbolic!\n"), r.stdout)
        return r, self.path(name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def assertInvalid(self, path, message, status=1):
        r = check(path)
        self.assertEqual(r.returncode, status, r.stdout + r.stderr)
        self.assertTrue(r.stdout.startswith("invalid: "), r.stdout)
        self.assertIn(message, r.stdout)
        return r


class Runs(Work):
    """Certificates of real runs check as valid, for the box the run names."""

    def test_three_runs(self):
        for args in (HORSESHOE, HORSESHOE_END, PLATEAU):
            with self.subTest(args=args):
                run, path = self.certify(args + ["--json", "r.json"])
                r = check(path)
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                self.assertEqual(r.stdout, "valid: hyperbolic for a in %s, b in %s\n" % (
                    header_range(run.stdout, "a"), header_range(run.stdout, "b")))
                with open(path, "rb") as f:
                    data = f.read()
                with open(self.path("r.json")) as f:
                    report = json.load(f)
                self.assertEqual(report["certificate"], {"file": "c.cert", "written": True,
                                                         "bytes": len(data),
                                                         "sha256": hashlib.sha256(data).hexdigest()})
                # The leaves marked final are the boxes the run ended with.
                cert = Cert(data)
                self.assertEqual(int(cert.field("lifted-tree")[2]), report["final"]["boxes"])
                self.assertEqual(sum(f for _, d, _, f in cert.lifted_leaves()
                                     if d == report["final"]["depth"]), report["final"]["boxes"])

    def test_once_mode(self):
        _, path = self.certify(HORSESHOE + ["--once", "--depth0", "12"])
        self.assertEqual(check(path).returncode, 0)

    def test_none_without_hyperbolic(self):
        r = vesk(["--a", "1.4", "--b", "0.3", "--max-depth", "6", "--certificate", "c.cert",
                  "--json", "r.json"], self.dir.name)
        self.assertEqual(r.returncode, 1)
        self.assertIn("no certificate written (not proven up to depth 6)", r.stderr)
        self.assertFalse(os.path.exists(self.path("c.cert")))
        with open(self.path("r.json")) as f:
            self.assertEqual(json.load(f)["certificate"], {"file": "c.cert", "written": False})

    def test_refused_with_resume(self):
        r = vesk(["--resume", "run.ck", "--certificate", "c.cert"], self.dir.name)
        self.assertEqual(r.returncode, 2)
        self.assertIn("--certificate cannot be used with --resume", r.stderr)


class Tampering(Work):
    """Certificates changed after the run are refused, each by the fact it
    breaks."""

    def setUp(self):
        super().setUp()
        _, path = self.certify(HORSESHOE)
        with open(path, "rb") as f:
            self.data = f.read()
        self.cert = Cert(self.data)
        self.leaves = self.cert.lifted_leaves()
        self.height = len(self.cert.splits)

    def state_cell(self, depth, idx):
        n = self.cert.splits_above(depth)
        return (n[0], n[1], idx[0], idx[1])

    def cone_fails(self, depth, idx):
        """The u or v cell of a lifted leaf reaches |.| >= 1 (domain +-2)."""
        n = self.cert.splits_above(depth)
        for k in (2, 3):
            lo = Fraction(-2) + Fraction(4 * idx[k], 2 ** n[k])
            if lo <= -1 or lo + Fraction(4, 2 ** n[k]) >= 1:
                return True
        return False

    def test_flipped_split_bits(self):
        # One box more or less subdivided changes how many boxes the tree
        # has: the tree no longer ends with its last bit.
        for tree in ("state-tree", "lifted-tree"):
            for i in (0, 5):
                with self.subTest(tree=tree, bit=i):
                    cert = Cert(self.data)
                    cert.flip(cert.sections[tree][0], i)
                    path = self.write("t.cert", cert.bytes())
                    self.assertInvalid(path, "is not a well-formed certificate", 2)

    def test_discarded_turned_final(self):
        finals = {self.state_cell(d, idx) for _, d, idx, f in self.leaves if f}
        # At the last depth, over a box the run kept: its tangent cell fails
        # the cone test.
        leaf = next(n for n, d, idx, f in self.leaves
                    if not f and d == self.height and self.state_cell(d, idx) in finals
                    and self.cone_fails(d, idx))
        self.cert.set_end(leaf, 1)
        self.assertInvalid(self.write("t.cert", self.cert.bytes()), "F3: final lifted leaf")
        # Discarded in an earlier pass: the run kept no box of that depth.
        cert = Cert(self.data)
        leaf = next(n for n, d, idx, f in self.leaves if d < self.height)
        cert.set_end(leaf, 1)
        self.assertInvalid(self.write("t.cert", cert.bytes()),
                           "is not at the depth of the last pass")

    def test_final_turned_discarded(self):
        cells = [self.state_cell(d, idx) for _, d, idx, f in self.leaves if f]
        leaf = next(n for n, d, idx, f in self.leaves
                    if f and cells.count(self.state_cell(d, idx)) > 1)
        self.cert.set_end(leaf, 0)
        self.assertInvalid(self.write("t.cert", self.cert.bytes()),
                           "F2: lifted leaf %d " % leaf)

    def test_parameter_end_moved_outward(self):
        # a = [6.4, 6.5 - ulp], b = [0.24, 0.25] on |x|, |y| <= 3.25: the state
        # square holds the bounded orbits with nothing to spare, since
        # 3.25^2 - 1.25 * 3.25 - 6.5 = 0. One ulp more and it does not.
        _, path = self.certify(["--a", "6.4,0x1.9ffffffffffffp+2", "--b", "0.24,0.25",
                                "--radius", "3.25,3.25,2,2"], "tight.cert")
        self.assertEqual(check(path).returncode, 0)
        with open(path, "rb") as f:
            cert = Cert(f.read())
        self.assertEqual(cert.field("a")[1], "0x1.9ffffffffffffp+2")
        cert.set_field("a", [cert.field("a")[0], "0x1.ap+2"])
        self.assertInvalid(self.write("t.cert", cert.bytes()), "F0: the state domain")
        # Elsewhere an end moved outward may still be proven: the verdict
        # names the box checked, not the one the run was given.
        self.cert.set_field("a", [self.cert.field("a")[0], "0x1.8666666666668p+2"])
        r = check(self.write("t.cert", self.cert.bytes()))
        self.assertEqual(r.stdout, "valid: hyperbolic for a in [5.8999999999999995, "
                                   "6.1000000000000014], b in [0.28999999999999998, "
                                   "0.31000000000000005]\n")

    def test_tangent_radius_below_one(self):
        self.cert.set_field("radius", self.cert.field("radius")[:2] + ["0x1.fp-1"] * 2)
        self.assertInvalid(self.write("t.cert", self.cert.bytes()),
                           "the tangent domain u in [-0.96875, 0.96875] does not contain")

    def test_truncated_and_swollen(self):
        for cut in (len(self.data) // 3, len(self.data) - 40, len(self.data) - 1):
            with self.subTest(cut=cut):
                self.assertInvalid(self.write("t.cert", self.data[:cut]),
                                   "is not a well-formed certificate", 2)
        # Counts that announce more than the file holds are refused before
        # anything is allocated for them.
        self.cert.set_field("lifted-tree", [2 * 10 ** 9 + 1, 10 ** 9 + 1, 0])
        self.assertInvalid(self.write("t.cert", self.cert.bytes()),
                           "is not a well-formed certificate", 2)


class FaultyEngine(Work):
    """An engine that drops one edge of its box graph proves what the
    checker refuses."""

    def test_dropped_edge(self):
        args = ["--a", "4", "--b", "0.3"]
        _, good = self.certify(args, "good.cert")
        self.assertEqual(check(good).returncode, 0)
        _, bad = self.certify(args, "bad.cert", FAULTY)
        self.assertInvalid(bad, "survives peeling, but the certificate marks it discarded")


def load_checker():
    found = importlib.util.spec_from_file_location("vesk_check", CHECKER)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


class CheckerParts(unittest.TestCase):
    """The parts of the checker that its verdict trusts, against brute
    force."""

    @classmethod
    def setUpClass(cls):
        cls.c = load_checker()

    def test_images_enclose_and_are_exact(self):
        rng = random.Random(7)
        cert = {"center": [Fraction(0)] * 4, "radius": [Fraction(13, 4)] * 2 + [Fraction(2)] * 2,
                "a": [Fraction(59, 10), Fraction(61, 10)], "b": [Fraction(-3, 10), Fraction(3, 10)]}
        for k in ("a", "b"):  # the doubles nearest to them
            cert[k] = [Fraction(round(q * 2 ** 52), 2 ** 52) for q in cert[k]]
        tree = self.c.Tree("lifted-tree", b"\x00", b"\x00", (1, 1, 0), [0, 1, 2, 3] * 3, 4)
        geo = self.c.Geometry(cert, [tree])
        scale = Fraction(1, 2 ** geo.W)
        for _ in range(300):
            box = []
            for k in range(4):
                n = rng.randrange(4)
                i = rng.randrange(2 ** n)
                w = geo.width[k] >> n
                box.append((geo.lo[k] + i * w, geo.lo[k] + (i + 1) * w))
            X, Y, U, V = ([Fraction(e, 2 ** geo.G) for e in iv] for iv in box)
            xi = [e * scale for e in geo.x_image(box[0], box[1])]
            ui = [e * scale for e in geo.u_image(box[0], box[2], box[3])]
            a, b = cert["a"], cert["b"]

            def pick(iv, extra=()):
                inner = iv[0] + (iv[1] - iv[0]) * Fraction(rng.randrange(1, 1000), 1000)
                return [iv[0], iv[1], inner] + [e for e in extra if iv[0] <= e <= iv[1]]
            xs = [a0 - x * x + b0 * y for a0 in pick(a) for b0 in pick(b) for x in pick(X, [0])
                  for y in pick(Y)]
            us = [-2 * x * u + b0 * v for b0 in pick(b) for x in pick(X) for u in pick(U)
                  for v in pick(V)]
            # Every point's image lies in the range, and both ends are met.
            self.assertEqual((min(xs), max(xs)), tuple(xi))
            self.assertEqual((min(us), max(us)), tuple(ui))

    def test_search_meets_as_brute_force(self):
        rng = random.Random(11)
        for trial in range(40):
            table = [rng.randrange(4) for _ in range(8)]
            shape, leaves = [], 0

            def grow(depth):
                nonlocal leaves
                split = depth < 8 and rng.random() < 0.7 - 0.05 * depth
                shape.append(1 if split else 0)
                if split:
                    grow(depth + 1)
                    grow(depth + 1)
                else:
                    leaves += 1
            grow(0)
            packed = bytearray((len(shape) + 7) // 8)
            for i, bit in enumerate(shape):
                packed[i >> 3] |= bit << (7 - (i & 7))
            tree = self.c.Tree("lifted-tree", packed, bytes((leaves + 7) // 8),
                               (len(shape), leaves, 0), table, 4)
            cert = {"center": [Fraction(0)] * 4, "radius": [Fraction(1)] * 4,
                    "a": [Fraction(0)] * 2, "b": [Fraction(1)] * 2}
            geo = self.c.Geometry(cert, [tree])
            alive = bytearray(b"\x01") * len(shape)
            boxes = [geo.box(tree, i) for i in range(leaves)]
            for _ in range(20):
                closed = rng.random() < 0.5
                query = []
                for k in range(4):
                    lo = rng.randrange(geo.lo[k] - 4, geo.top[k] + 4)
                    hi = lo + rng.randrange(0, geo.width[k] // 2 + 1)
                    if rng.random() < 0.5:
                        query.append(((hi, lo, lo + 1), (lo, hi, "closed")))
                    else:
                        hi += 1  # a half-open range is never empty
                        query.append(((hi - 1, lo, lo + 1), (lo, hi, "half-open")))
                found = sorted(self.c.search(geo, tree, [q for q, _ in query], alive, closed))

                def meets(cell, k):
                    (cl, ch), (lo, hi, kind) = cell, query[k][1]
                    top_closed = closed or ch == geo.top[k]
                    # Both sets as sets of points: the query [lo, hi] or
                    # [lo, hi) (never empty), the cell [cl, ch] or [cl, ch).
                    left = max(lo, cl)
                    in_query = left <= hi if kind == "closed" else left < hi
                    in_cell = left <= ch if top_closed else left < ch
                    return in_query and in_cell
                want = [i for i in range(leaves) if all(meets(boxes[i][k], k) for k in range(4))]
                self.assertEqual(found, want, (trial, closed, query))

    def test_cycles_and_peeling_as_brute_force(self):
        rng = random.Random(5)
        for _ in range(200):
            n = rng.randrange(1, 9)
            succ = {v: sorted({rng.randrange(n) for _ in range(rng.randrange(3))})
                    for v in range(n)}
            members = {v for v in range(n) if rng.random() < 0.8}
            reach = {v: {w for w in succ[v] if w in members} for v in members}
            for _ in range(n):
                for v in members:
                    reach[v] |= set().union(*(reach[w] for w in reach[v])) if reach[v] else set()
            self.assertEqual(self.c.on_cycles(succ, members), {v for v in members if v in reach[v]})
            pred = {v: [u for u in range(n) if v in succ[u]] for v in range(n)}
            # A box survives peeling when a path of boxes runs through it
            # forever in both directions: it reaches a cycle and is reached
            # from one.
            cyc = {v for v in members if v in reach[v]}
            want = {v for v in members
                    if (v in cyc or reach[v] & cyc) and (v in cyc or any(v in reach[u] for u in cyc))}
            self.assertEqual(self.c.peel(succ, pred, sorted(members)), want)

    def test_g17_as_printf(self):
        rng = random.Random(3)
        for _ in range(2000):
            x = rng.choice([rng.uniform(-10, 10), rng.uniform(-1e-6, 1e-6),
                            rng.uniform(-1e20, 1e20), float(rng.randrange(-100, 100)) / 8])
            self.assertEqual(self.c.g17(Fraction(x)), "%.17g" % x)


if __name__ == "__main__":
    VESK, FAULTY, CHECKER = (os.path.abspath(p) for p in sys.argv[1:4])
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
