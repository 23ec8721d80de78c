#!/usr/bin/env python3
"""End-to-end tests of the vesk program: runs the built binary.

Usage: cli_e2e.py PATH/TO/vesk [GROUP ...]   (groups: the TestCase classes)
"""
import hashlib
import json
import math
import os
import pty
import re
import resource
import select
import shutil
import stat
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET
from fractions import Fraction

VESK = None
LOOP_LINE = re.compile(r"^detph (?P<depth>[ \d]\d):\t #cubs = (?P<leaves>[ \d]{6}\d)$")
HORSESHOE = ["--a", "5.9,6.1", "--b", "0.29,0.31"]
NON_HYPERBOLIC = ["--a", "1.4", "--b", "0.3"]
# The one place the version is kept.
VERSION_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "VERSION")


def run(args, cwd=None, timeout=240, stderr=subprocess.PIPE):
    return subprocess.run([VESK] + args, cwd=cwd, stdout=subprocess.PIPE, stderr=stderr,
                          timeout=timeout, text=True)


def loop_lines(stdout):
    """The lines of the loop and the verdict: everything but the # header."""
    return [line for line in stdout.splitlines() if not line.startswith("#")]


def header_range(stdout, name):
    for line in stdout.splitlines():
        m = re.match(r"^# %s = \[(\S+), (\S+)\]$" % name, line)
        if m:
            return float(m.group(1)), float(m.group(2))
    raise AssertionError("no header line for " + name + " in:\n" + stdout)


# ------------------------------------------------------------ tree oracle
def parse_tree(data, domain=None):
    """Leaves (center, radius, depth, flags) and box count of a tree file.

    domain = (center, radius) replaces the 15-digit domain of the header."""
    text_end = data.index(b"  no of boxes = ")
    eol = data.index(b"\n", text_end)
    header = data[:eol].decode()
    count = int(header.rsplit("=", 1)[1])
    values = {}
    for key in ("center", "radius"):
        m = re.search(r"^  %s = (.*)$" % key, header, re.M)
        values[key] = [float(v) for v in m.group(1).split()]
    dim = int(re.search(r"^  dim = (\d+)$", header, re.M).group(1))
    center, radius = domain if domain else (values["center"], values["radius"])
    leaves = []
    # Pre-order, child 0 first; geometry as the walks compute it.
    pos = eol + 1
    boxes = 0
    def walk(c, r, depth):
        nonlocal pos, boxes
        tag = data[pos]
        pos += 1
        if tag == 0:
            return
        sd, flags = data[pos], data[pos + 1]
        pos += 2
        boxes += 1
        kids = 0
        for child in (0, 1):
            cc, rr = list(c), list(r)
            rr[sd] = rr[sd] * 0.5
            cc[sd] = cc[sd] - rr[sd] if child == 0 else cc[sd] + rr[sd]
            before = boxes
            walk(cc, rr, depth + 1)
            kids += boxes > before
        if kids == 0:
            leaves.append((c, r, depth, flags))
    sys.setrecursionlimit(10000)
    walk(list(center), list(radius), 0)
    assert pos == len(data), "oracle: bytes left after the stream"
    assert boxes == count
    return dim, leaves, boxes


def parse_checkpoint(data):
    """(tree bytes, exact domain) of a checkpoint."""
    head = data[:data.index(b"\ntree ")].decode()
    center = [float.fromhex(v) for v in re.search(r"^center (.*)$", head, re.M).group(1).split()]
    radius = [float.fromhex(v) for v in re.search(r"^radius (.*)$", head, re.M).group(1).split()]
    at = data.index(b"\ntree ") + len(b"\ntree ")
    eol = data.index(b"\n", at)
    size = int(data[at:eol])
    tree = data[eol + 1:eol + 1 + size]
    assert data[eol + 1 + size:].startswith(b"end ")
    return tree, (center, radius)


def projections(leaves, i, j):
    out = set()
    for c, r, _, _ in leaves:
        lo1 = c[j] - r[j] if j >= 0 else 0.0
        hi1 = c[j] + r[j] if j >= 0 else 1.0
        out.add((c[i] - r[i], lo1, c[i] + r[i] - (c[i] - r[i]), hi1 - lo1))
    return out


def svg_panels(path, test):
    """{panel id: set of (x, y, width, height)} after xmllint accepts the file."""
    lint = subprocess.run(["xmllint", "--noout", path], capture_output=True, text=True)
    test.assertEqual(lint.returncode, 0, lint.stderr)
    root = ET.parse(path).getroot()
    ns = "{http://www.w3.org/2000/svg}"
    panels = {}
    for g in root.iter(ns + "g"):
        if g.get("class") == "boxes":
            rects = [(float(r.get("x")), float(r.get("y")), float(r.get("width")),
                      float(r.get("height"))) for r in g.findall(ns + "rect")]
            panels[g.get("id")] = rects
    return panels


def write_tree_file(path, dim, center, radius, stream):
    """A tree file as the format describes it; stream is the box bytes."""
    boxes = 0
    # Count boxes: walk the pre-order stream.
    pos = 0
    def walk():
        nonlocal pos, boxes
        tag = stream[pos]
        pos += 1
        if tag == 0:
            return
        pos += 2
        boxes += 1
        walk()
        walk()
    walk()
    text = "Tree at 0x1234:\nRectangle at 0x5678:\n  dim = %d\n" % dim
    text += "  center = " + "".join("%.15g " % v for v in center) + "\n"
    text += "  radius = " + "".join("%.15g " % v for v in radius) + "\n"
    text += "  no of boxes = %d\n" % boxes
    with open(path, "wb") as f:
        f.write(text.encode() + bytes(stream))


def full_tree_stream(depth, dim, flags=0):
    """Bytes of a full tree bisected coordinate k mod dim at depth k."""
    out = []
    def node(d):
        if d == depth:
            out.extend([1, 0, flags, 0, 0])
            return
        out.extend([1, d % dim, flags])
        node(d + 1)
        node(d + 1)
    node(0)
    return out


class Verify(unittest.TestCase):
    def check_loop(self, stdout, json_report=None):
        lines = loop_lines(stdout)
        loops = [LOOP_LINE.match(line) for line in lines[:-1]]
        self.assertTrue(all(loops), lines)
        depths = [int(m.group("depth")) for m in loops]
        self.assertEqual(depths, list(range(depths[0], depths[0] + len(depths))))
        if json_report is not None:
            passes = json_report["passes"]
            self.assertEqual([p["depth"] for p in passes], depths)
            self.assertEqual([p["leaves_before_subdivision"] for p in passes],
                             [int(m.group("leaves")) for m in loops])
            self.assertEqual([p["pass"] for p in passes], list(range(1, len(depths) + 1)))
        return lines, depths

    def test_horseshoe_is_hyperbolic(self):
        with tempfile.TemporaryDirectory() as d:
            r = run(["verify"] + HORSESHOE + ["--json", "r.json"], cwd=d)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stderr, "")
            report = json.load(open(os.path.join(d, "r.json")))
        lines, depths = self.check_loop(r.stdout, report)
        self.assertEqual(lines[0], "detph  0:\t #cubs =       1")
        self.assertEqual(lines[-1], "Hyperbolic!")
        self.assertEqual(report["verdict"], "hyperbolic")
        self.assertEqual(report["exit_status"], 0)
        # The parameters of the report are the doubles of the header, and
        # enclose what was typed.
        a = header_range(r.stdout, "a")
        b = header_range(r.stdout, "b")
        self.assertEqual(tuple(report["parameters"]["a"]), a)
        self.assertEqual(tuple(report["parameters"]["b"]), b)
        self.assertEqual([float.fromhex(h) for h in report["parameters"]["b_hex"]], list(b))
        self.assertTrue(Fraction(a[0]) <= Fraction("5.9") and Fraction("6.1") <= Fraction(a[1]))
        self.assertTrue(Fraction(b[0]) <= Fraction("0.29") and Fraction("0.31") <= Fraction(b[1]))
        # Default domain: the square of bounded orbits, R = (1 + |b| +
        # sqrt((1 + |b|)^2 + 4a)) / 2 rounded up to sixteenths, and radius 2
        # for the tangent coordinates.
        root = (1 + b[1] + math.sqrt((1 + b[1]) ** 2 + 4 * a[1])) / 2
        radius = report["domain"]["radius"]
        self.assertEqual(radius[0], radius[1])
        self.assertEqual(radius[2:], [2.0, 2.0])
        self.assertTrue(root <= radius[0] < root + 1 / 16, radius)
        self.assertEqual(radius[0] * 16, int(radius[0] * 16))
        self.assertEqual(report["domain"]["center"], [0.0] * 4)
        last = report["passes"][-1]
        self.assertTrue(last["cone_test"]["passed"])
        self.assertTrue(all(p["peak_memory_bytes"] > 0 and p["seconds"] >= 0
                            for p in report["passes"]))
        self.assertEqual(report["final"]["boxes"], last["cone_test"]["boxes"])

    def test_negative_b_is_hyperbolic(self):
        r = run(["verify", "--a", "5.9,6.1", "--b", "-0.31,-0.29"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(loop_lines(r.stdout)[-1], "Hyperbolic!")
        b = header_range(r.stdout, "b")
        self.assertTrue(Fraction(b[0]) <= Fraction("-0.31") and Fraction("-0.29") <= Fraction(b[1]))

    def test_point_parameters_become_neighbouring_doubles(self):
        r = run(["verify", "--a", "6", "--b", "0.3", "--once", "--depth0", "12"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(header_range(r.stdout, "a"), (6.0, 6.0))
        lo, hi = header_range(r.stdout, "b")
        self.assertTrue(Fraction(lo) < Fraction("0.3") < Fraction(hi))
        self.assertEqual(math.nextafter(lo, math.inf), hi)

    def test_non_hyperbolic_stops_at_the_depth_bound(self):
        with tempfile.TemporaryDirectory() as d:
            r = run(["verify"] + NON_HYPERBOLIC + ["--max-depth", "12", "--json", "r.json"], cwd=d)
            report = json.load(open(os.path.join(d, "r.json")))
        self.assertEqual(r.returncode, 1, r.stderr)
        lines, depths = self.check_loop(r.stdout, report)
        self.assertEqual(lines[-1], "not proven up to depth 12")
        self.assertEqual(depths[-1], 11)
        self.assertEqual(report["verdict"], "not proven")
        self.assertEqual(report["message"], "not proven up to depth 12")
        self.assertEqual(report["final"]["depth"], 12)
        self.assertFalse(any(p["cone_test"]["passed"] for p in report["passes"]))

    def test_initial_depth(self):
        r = run(["verify"] + HORSESHOE + ["--depth0", "4"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(loop_lines(r.stdout)[0], "detph  4:\t #cubs =      16")

    def test_once_mode(self):
        r = run(["verify"] + HORSESHOE + ["--once", "--depth0", "12", "--json", "-"])
        self.assertEqual(r.returncode, 0, r.stderr)
        report = json.loads(r.stdout)  # the report alone on standard output
        self.assertEqual(report["mode"], "once")
        self.assertEqual(report["verdict"], "hyperbolic")
        self.assertEqual(loop_lines(r.stderr), ["Hyperbolic!"])  # no pass lines
        self.assertIsNone(report["max_depth"])
        self.assertEqual(report["passes"][0]["chain_recurrent_set"]["boxes_before"], 4096)
        r = run(["verify"] + HORSESHOE + ["--once"])
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(loop_lines(r.stdout), ["not proven at depth 0"])

    def test_version_is_the_one_of_the_version_file(self):
        version = open(VERSION_FILE).read().strip()
        r = run(["--version"])
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "vesk %s\n" % version, ""))
        with tempfile.TemporaryDirectory() as d:
            r = run(["verify"] + HORSESHOE + ["--max-depth", "3", "--json", "r.json",
                                              "--checkpoint", "ck"], cwd=d)
            self.assertEqual(r.returncode, 1, r.stderr)
            report = json.load(open(os.path.join(d, "r.json")))
            head = open(os.path.join(d, "ck"), "rb").read()[:80].decode(errors="replace")
        self.assertEqual(report["vesk_version"], version)
        self.assertTrue(head.startswith("vesk verify checkpoint 2\nversion %s\npass " % version),
                        head)

    def test_threads_change_nothing_but_time(self):
        def counts(threads):
            r = run(["verify"] + NON_HYPERBOLIC + ["--max-depth", "18", "--threads", threads,
                                                   "--json", "-"])
            report = json.loads(r.stdout)
            for p in report["passes"]:
                p.pop("seconds")
                p.pop("peak_memory_bytes")
            # On a machine with fewer cores, a note says how many are used.
            lines = r.stderr.splitlines(True)
            return "".join(l for l in lines if not l.startswith("vesk verify: note:")), \
                report["passes"]
        self.assertEqual(counts("1"), counts("2"))
        self.assertEqual(counts("1"), counts("5"))

    def test_json_to_standard_output(self):
        r = run(["verify"] + HORSESHOE + ["--json", "-"])
        self.assertEqual(r.returncode, 0)
        report = json.loads(r.stdout)
        self.check_loop(r.stderr, report)
        self.assertEqual(loop_lines(r.stderr)[-1], "Hyperbolic!")

    def test_progress_line_only_on_a_terminal(self):
        r = run(["verify"] + NON_HYPERBOLIC + ["--max-depth", "14"])
        self.assertNotIn("\r", r.stderr)
        self.assertEqual(r.stderr.strip(), "")
        master, slave = pty.openpty()
        p = subprocess.Popen([VESK, "verify"] + NON_HYPERBOLIC + ["--max-depth", "14"],
                             stdout=subprocess.PIPE, stderr=slave, text=True)
        os.close(slave)
        out = p.stdout.read()
        p.wait(timeout=120)
        seen = b""
        while True:
            ready, _, _ = select.select([master], [], [], 1)
            if not ready:
                break
            try:
                chunk = os.read(master, 65536)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
        os.close(master)
        text = seen.decode()
        self.assertIn("chain recurrent set", text)
        self.assertIn("invariant set", text)
        self.assertIn("\r", text)
        self.assertTrue(text.endswith("\r\x1b[K"), repr(text[-40:]))  # cleared at the end
        self.assertEqual(out, r.stdout)  # standard output is untouched


class Resume(unittest.TestCase):
    def test_depth_bound_then_resume(self):
        full = run(["verify"] + HORSESHOE)
        self.assertEqual(full.returncode, 0)
        with tempfile.TemporaryDirectory() as d:
            first = run(["verify"] + HORSESHOE + ["--max-depth", "6", "--checkpoint", "ck"],
                        cwd=d)
            self.assertEqual(first.returncode, 1)
            self.assertEqual(loop_lines(first.stdout)[-1], "not proven up to depth 6")
            self.assertIn("--resume ck --max-depth", first.stderr)
            second = run(["verify", "--resume", "ck", "--max-depth", "40", "--json", "r.json"],
                         cwd=d)
            report = json.load(open(os.path.join(d, "r.json")))
        self.assertEqual(second.returncode, 0, second.stderr)
        self.assertEqual(header_range(second.stdout, "a"), header_range(full.stdout, "a"))
        self.assertEqual(loop_lines(first.stdout)[:-1] + loop_lines(second.stdout),
                         loop_lines(full.stdout))
        # The report of the resumed run lists every pass of the run.
        self.assertEqual(len(report["passes"]), len(loop_lines(full.stdout)) - 1)
        self.assertEqual(report["resumed_from"]["after_pass"], 6)

    def test_interrupt_and_resume(self):
        args = ["verify"] + NON_HYPERBOLIC + ["--max-depth", "22"]
        full = run(args)
        self.assertEqual(full.returncode, 1)
        with tempfile.TemporaryDirectory() as d:
            p = subprocess.Popen([VESK] + args + ["--checkpoint", "ck"], cwd=d,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            before = []
            for line in p.stdout:
                before.append(line.rstrip("\n"))
                if line.startswith("detph 14"):
                    # Freeze it, so that Ctrl-C lands while it is still running.
                    p.send_signal(signal.SIGSTOP)
                    p.send_signal(signal.SIGINT)
                    p.send_signal(signal.SIGCONT)
                    break
            rest, err = p.communicate(timeout=240)
            before += rest.splitlines()
            self.assertEqual(p.returncode, 130, err)
            self.assertIn("continue with: vesk verify --resume ck", err)
            self.assertNotIn("not proven", "\n".join(before))
            self.assertFalse(os.path.exists(os.path.join(d, "ck.tmp")))
            after = run(["verify", "--resume", "ck"], cwd=d)
        self.assertEqual(after.returncode, 1, after.stderr)
        self.assertEqual(loop_lines("\n".join(before)) + loop_lines(after.stdout),
                         loop_lines(full.stdout))

    def test_truncated_or_damaged_checkpoint_is_refused(self):
        with tempfile.TemporaryDirectory() as d:
            r = run(["verify"] + HORSESHOE + ["--max-depth", "8", "--checkpoint", "ck"], cwd=d)
            self.assertEqual(r.returncode, 1)
            data = open(os.path.join(d, "ck"), "rb").read()
            cases = {"half": data[:len(data) // 2], "end": data[:-1],
                     "tree": data[:data.rindex(b"end ") - 3] + data[data.rindex(b"end "):],
                     "flip": data[:40] + bytes([data[40] ^ 4]) + data[41:], "empty": b""}
            for name, content in cases.items():
                with open(os.path.join(d, "bad"), "wb") as f:
                    f.write(content)
                r = run(["verify", "--resume", "bad", "--json", "r.json", "--plot", "p.svg"], cwd=d)
                self.assertEqual(r.returncode, 2, name)
                self.assertEqual(r.stdout, "", name)
                self.assertRegex(r.stderr, "cut short|damaged|not a checkpoint", name)
                self.assertEqual(sorted(os.listdir(d)), ["bad", "ck"], name)
            self.assertEqual(open(os.path.join(d, "bad"), "rb").read(), b"")


class BadInput(unittest.TestCase):
    CASES = [
        (["verify", "--a", "6", "--b", "0.3", "--frobnicate"], "frobnicate"),
        (["verify", "--a", "abc", "--b", "0.3"], "--a: 'abc' is not a number"),
        (["verify", "--a", "6x", "--b", "0.3"], "'6x' is not a number"),
        (["verify", "--a", "6", "--b", "0.3,"], "'' is not a number"),
        (["verify", "--a", "6", "--b", "1,2,3"], "more than two numbers"),
        (["verify", "--a", "nan", "--b", "0.3"], "not a finite number"),
        (["verify", "--a", "1e999", "--b", "0.3"], "beyond the range"),
        (["verify", "--a", "6.1,5.9", "--b", "0.3"], "lower end above its upper end"),
        (["verify", "--a", "6"], "--b is missing"),
        (["verify", "--a", "6", "--b", "0.3", "--radius", "3,2,2,2"], "x and y must share"),
        (["verify", "--a", "6", "--b", "0.3", "--center", "0,0,0,1"], "u and v must share"),
        (["verify", "--a", "6", "--b", "0.3", "--radius", "3,3,2"], "expected 4"),
        (["verify", "--a", "6", "--b", "0.3", "--radius", "3,3,0,0"], "must be positive"),
        (["verify", "--a", "6", "--b", "0.3", "--radius", "3.22,3.22,2,2"], "few binary digits"),
        (["verify", "--a", "6", "--b", "0.3", "--center", "0.1,0.1,0,0", "--radius", "4,4,2,2"],
         "few binary digits"),
        # Domains on which the cone test or the chain recurrent set mean nothing.
        (["verify", "--a", "-0.1225", "--b", "0.3", "--radius", "1.5,1.5,0.25,0.25"],
         "center 0 and a radius of at least 1"),
        (["verify", "--a", "1.4", "--b", "0.3", "--radius", "2.0625,2.0625,0.75,0.75"],
         "center 0 and a radius of at least 1"),
        (["verify", "--a", "1.4", "--b", "0.3", "--center", "0,0,8,8"],
         "center 0 and a radius of at least 1"),
        (["verify", "--a", "1.4", "--b", "0.3", "--center", "0.5,0.5,0,0",
          "--radius", "0.25,0.25,2,2"], "must contain the square |x|, |y| <= 2.0"),
        (["verify", "--a", "6", "--b", "0.3", "--depth0", "9", "--max-depth", "8"],
         "below --depth0"),
        (["verify", "--a", "6", "--b", "0.3", "--depth0", "40"], "at most"),
        (["verify", "--a", "6", "--b", "0.3", "--max-depth", "x"], "max-depth"),
        (["verify", "--a", "6", "--b", "0.3", "--max-depth=-1"], "must be a whole number, 0 or more"),
        (["verify", "--a", "6", "--b", "0.3", "--max-depth", " -1"], "must be a whole number, 0 or more"),
        (["verify", "--a", "6", "--a", "5", "--b", "0.3"], "--a"),
        (["verify", "--a", "6", "--b", "0.3", "stray"], "stray"),
        (["verify", "--a", "6", "--b", "0.3", "--max-depth", "300"], "beyond the deepest"),
        (["verify", "--a", "6", "--b", "0.3", "--once", "--max-depth", "5"], "loop mode only"),
        (["verify", "--resume", "ck", "--a", "6"], "cannot be used with --resume"),
        (["verify", "--resume", "missing.ck"], "No such file"),
        (["verify", "--a", "6", "--b", "0.3", "--json", "no/such/dir/r.json"], "does not exist"),
        (["frobnicate"], "unknown command 'frobnicate'"),
        (["tree", "frobnicate"], "unknown command 'tree frobnicate'"),
        ([], "the commands are"),
        (["tree", "info", "missing.tree"], "No such file"),
        (["tree", "info"], "FILE"),
        (["tree", "plot", "t.tree"], "--out"),
        (["verify", "--a", "6", "--b", "0.3", "--json", ""], "--json: the value is empty"),
        (["verify", "--a", "6", "--b", "0.3", "--once", "--plot", ""], "--plot: the value is"),
        (["verify", "--a", "6", "--b", "0.3", "--once", "--checkpoint", ""], "value is empty"),
        (["verify", "--resume", "", "--once"], "--resume: the value is empty"),
        (["verify", "--a", "6", "--b", "0.3", "--once", "--max-depth", ""], "value is empty"),
        (["verify", "--a", "6", "--b", "0.3", "--max-memory", "lots"], "not a memory size"),
    ]

    def test_bad_input_says_what_to_change(self):
        with tempfile.TemporaryDirectory() as d:
            for args, says in self.CASES:
                out = ["--json", "r.json", "--plot", "p.svg", "--checkpoint", "c"] \
                    if args[:1] == ["verify"] and "--once" not in args and "--json" not in args \
                    else []
                r = run(args + out, cwd=d)
                self.assertEqual(r.returncode, 2, (args, r.stdout, r.stderr))
                self.assertIn(says, r.stderr, args)
                self.assertEqual(r.stdout, "", args)
                self.assertEqual(os.listdir(d), [], args)  # nothing written

    def test_tangent_domain_at_its_edges(self):
        # A tangent radius of exactly 1 and a center of -0 are accepted; the
        # double below 1 and a center of 1e-300 are not.
        state = ["--a", "6", "--b", "0.3", "--once", "--depth0", "8"]
        below_one = "0x1.fffffffffffffp-1"
        for domain, refused in (
                (["--radius", "3.25,3.25,%s,%s" % (below_one, below_one)], True),
                (["--center", "0,0,1e-300,1e-300", "--radius", "3.25,3.25,2,2"], True),
                (["--radius", "3.25,3.25,1,1"], False),
                (["--center", "0,0,-0,-0", "--radius", "3.25,3.25,2,2"], False)):
            r = run(["verify"] + state + domain)
            if refused:
                self.assertEqual(r.returncode, 2, (domain, r.stderr))
                self.assertIn("center 0 and a radius of at least 1", r.stderr, domain)
            else:
                self.assertIn(r.returncode, (0, 1), (domain, r.stderr))
                self.assertEqual(r.stderr, "", domain)
                self.assertIn("# once mode at depth 8", r.stdout, domain)

    def test_corrupt_tree_files(self):
        with tempfile.TemporaryDirectory() as d:
            good = os.path.join(d, "good.tree")
            write_tree_file(good, 2, [0, 0], [1, 1], full_tree_stream(3, 2))
            data = open(good, "rb").read()
            cases = {"garbage.tree": b"not a tree\n", "cut.tree": data[:-7],
                     "tail.tree": data + b"\x01", "empty.tree": b"",
                     "count.tree": data.replace(b"no of boxes = 15", b"no of boxes = 16")}
            for name, radius in (("nan.tree", [1, float("nan")]), ("zero.tree", [0, 1]),
                                 ("inf.tree", [float("inf"), 1])):
                write_tree_file(os.path.join(d, name), 2, [0, 0], radius, full_tree_stream(3, 2))
                cases[name] = open(os.path.join(d, name), "rb").read()
            for name, content in cases.items():
                with open(os.path.join(d, name), "wb") as f:
                    f.write(content)
                for args in (["tree", "info", name], ["tree", "plot", name, "--out", "p.svg"]):
                    r = run(args, cwd=d)
                    self.assertEqual(r.returncode, 2, (args, r.stderr))
                    self.assertIn(name, r.stderr)
                    self.assertEqual(r.stdout, "")
                    self.assertFalse(os.path.exists(os.path.join(d, "p.svg")))
            self.assertEqual(run(["tree", "info", "good.tree"], cwd=d).returncode, 0)


def fnv1a(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return h


def forge(data, edit):
    """The checkpoint with edit(body) applied and its end line recomputed, as
    anyone with an editor can."""
    body = edit(data[:data.rindex(b"end ")])
    return body + b"end %016x\n" % fnv1a(body)


def replace_line(key, value):
    def edit(body):
        return re.sub(rb"(?m)^" + key + rb" .*$", key + b" " + value, body, count=1)
    return edit


def replace_tree(stream):
    """Swaps the tree of a 4-dimensional checkpoint for one with this box
    stream (boxes of 3 bytes, 0 for a missing child)."""
    def edit(body):
        head = body[:body.index(b"\ntree ") + 1]
        tree = body[len(head):]
        tree = tree[tree.index(b"\n") + 1:]
        text = tree[:tree.index(b"no of boxes = ")].decode()
        pos, count = 0, 0
        while pos < len(stream):  # count boxes of the pre-order stream
            if stream[pos] == 0:
                pos += 1
            else:
                pos += 3
                count += 1
        data = (text + "no of boxes = %d\n" % count).encode() + bytes(stream)
        head = re.sub(rb"(?m)^boxes .*$", b"boxes %d" % count, head)
        return head + b"tree %d\n" % len(data) + data
    return edit


class Forged(unittest.TestCase):
    """Checkpoints edited by hand, with a recomputed end line: a resumed run
    must pass every check a new run passes."""

    def test_forged_checkpoints_are_refused(self):
        with tempfile.TemporaryDirectory() as d:
            r = run(["verify"] + NON_HYPERBOLIC + ["--max-depth", "2", "--checkpoint", "ck"],
                    cwd=d)
            self.assertEqual(r.returncode, 1, r.stderr)
            data = open(os.path.join(d, "ck"), "rb").read()
            R = b"0x1.08p+1"  # 2.0625, the default state radius of a = 1.4, b = 0.3
            # A full tree of height 2 whose root splits y where the table says x,
            # and one whose leaves lie at depths 1 and 2.
            wrong_split = [1, 1, 0] + [1, 1, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0] * 2
            uneven = [1, 0, 0, 1, 1, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0]
            cases = {
                "reversed b": (replace_line(b"b", b"0x1.4p-2 0x1.2p-2"), "lower end above"),
                "nan a": (replace_line(b"a", b"nan 0x1.6p+0"), "malformed checkpoint line"),
                "grids": (replace_line(b"radius", R + b" 0x1p+2 0x1p+1 0x1p+1"),
                          "x and y must share one grid"),
                "negative radius": (replace_line(b"radius", b"-" + R + b" -" + R +
                                                 b" 0x1p+1 0x1p+1"), "must be positive"),
                "zero radius": (replace_line(b"radius", R + b" " + R + b" 0x0p+0 0x0p+0"),
                                "must be positive"),
                "small tangent": (replace_line(b"radius", R + b" " + R + b" 0x1p-2 0x1p-2"),
                                  "radius of at least 1"),
                "tangent center": (replace_line(b"center", b"0x0p+0 0x0p+0 0x1p+3 0x1p+3"),
                                   "center 0"),
                "depth bound -1": (replace_line(b"max-depth", b"-1"), "do not fit its tree"),
                "pass overflow": (replace_line(b"pass", b"2147483647"), "do not fit its tree"),
                "split table": (replace_tree(wrong_split), "split table"),
                "uneven": (replace_tree(uneven), "different depths"),
                "y before x": (replace_line(b"split", b"0001" + b"01" * 1999), "bisects y more"),
            }
            for name, (edit, says) in cases.items():
                with open(os.path.join(d, "bad"), "wb") as f:
                    f.write(forge(data, edit))
                r = run(["verify", "--resume", "bad", "--max-depth", "12", "--json", "r.json"],
                        cwd=d)
                self.assertEqual(r.returncode, 2, (name, r.stdout, r.stderr))
                self.assertIn(says, r.stderr, name)
                self.assertNotIn("Hyperbolic", r.stdout + r.stderr, name)
                self.assertFalse(os.path.exists(os.path.join(d, "r.json")), name)
            # The forging itself is sound: an unchanged body is accepted.
            with open(os.path.join(d, "same"), "wb") as f:
                f.write(forge(data, lambda body: body))
            self.assertEqual(run(["verify", "--resume", "same"], cwd=d).returncode, 1)

    def test_checkpoint_formats(self):
        """Format 1 (no version line) and format 2 from another version are
        resumed; a later format is refused with a message that names both
        formats."""
        version = open(VERSION_FILE).read().strip()
        head = b"vesk verify checkpoint 2\nversion %s\n" % version.encode()
        with tempfile.TemporaryDirectory() as d:
            run(["verify"] + HORSESHOE + ["--max-depth", "6", "--checkpoint", "ck"], cwd=d)
            data = open(os.path.join(d, "ck"), "rb").read()
            self.assertTrue(data.startswith(head))
            with open(os.path.join(d, "v1"), "wb") as f:
                f.write(forge(data, lambda body: b"vesk verify checkpoint 1\n" + body[len(head):]))
            r = run(["verify", "--resume", "v1", "--max-depth", "20", "--json", "r.json"], cwd=d)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(loop_lines(r.stdout)[-1], "Hyperbolic!")
            report = json.load(open(os.path.join(d, "r.json")))
            self.assertEqual(report["resumed_from"]["format"], 1)
            self.assertIsNone(report["resumed_from"]["written_by"])
            # Saved back in the current format.
            self.assertTrue(open(os.path.join(d, "v1"), "rb").read().startswith(head))
            # Written by another version in the same format: resumed.
            with open(os.path.join(d, "other"), "wb") as f:
                f.write(forge(data, replace_line(b"version", b"0.0.9")))
            r = run(["verify", "--resume", "other", "--max-depth", "20", "--json", "r.json"],
                    cwd=d)
            self.assertEqual(r.returncode, 0, r.stderr)
            report = json.load(open(os.path.join(d, "r.json")))
            self.assertEqual(report["resumed_from"]["written_by"], "0.0.9")
            self.assertEqual(report["resumed_from"]["format"], 2)
            with open(os.path.join(d, "v3"), "wb") as f:
                f.write(forge(data, lambda body: b"vesk verify checkpoint 3\nversion 7.0.0\n" +
                              body[len(head):]))
            r = run(["verify", "--resume", "v3", "--json", "r3.json"], cwd=d)
            self.assertEqual(r.returncode, 2, r.stderr)
            self.assertEqual(r.stdout, "")
            self.assertIn("v3 is a checkpoint of format 3 (written by vesk 7.0.0), but this vesk "
                          "(%s) reads formats 1 and 2" % version, r.stderr)
            self.assertFalse(os.path.exists(os.path.join(d, "r3.json")))
            r = run(["tree", "info", "v3"], cwd=d)
            self.assertEqual(r.returncode, 2, r.stderr)
            self.assertIn("format 3", r.stderr)

    def test_resumed_report_names_the_checkpoint(self):
        with tempfile.TemporaryDirectory() as d:
            run(["verify"] + HORSESHOE + ["--max-depth", "6", "--checkpoint", "ck"], cwd=d)
            digest = hashlib.sha256(open(os.path.join(d, "ck"), "rb").read()).hexdigest()
            r = run(["verify", "--resume", "ck", "--max-depth", "20", "--json", "r.json"], cwd=d)
            report = json.load(open(os.path.join(d, "r.json")))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("# this result relies on ck (SHA-256 %s)" % digest, r.stdout)
        self.assertEqual(report["resumed_from"]["sha256"], digest)
        self.assertEqual(report["resumed_from"]["checkpoint"], "ck")


def limit_memory(kib):
    """A preexec_fn that caps the child's address space (ulimit -v)."""
    return lambda: resource.setrlimit(resource.RLIMIT_AS, (kib * 1024, kib * 1024))


class Faults(unittest.TestCase):
    """Memory, devices, links, full disks and clashing paths: nothing is lost,
    nothing crashes, and the exit status says what happened."""

    def test_memory_budget_stops_before_a_pass_that_does_not_fit(self):
        # A sanitized vesk holds about 26 MiB before its first pass, and its
        # allocator keeps what is freed, so the budget can be used up to 0.
        sanitized = bool(os.environ.get("VESK_SANITIZED"))
        budget = "64M" if sanitized else "16M"
        available = r"[\d.]+ (MiB|KiB|bytes)" if sanitized else r"[\d.]+ MiB"
        with tempfile.TemporaryDirectory() as d:
            r = run(["verify"] + NON_HYPERBOLIC + ["--max-memory", budget, "--checkpoint", "ck",
                                                   "--json", "r.json"], cwd=d)
            self.assertEqual(r.returncode, 1, r.stderr)
            last = loop_lines(r.stdout)[-1]
            self.assertRegex(last, r"^not proven up to depth \d+: the next pass needs about "
                                   r"[\d.]+ MiB, more than the " + available + " available$")
            report = json.load(open(os.path.join(d, "r.json")))
            self.assertEqual((report["verdict"], report["message"]), ("not proven", last))
            depth = int(last.split()[5].rstrip(":"))
            again = run(["verify", "--resume", "ck", "--max-depth", str(depth + 1)], cwd=d)
            self.assertEqual(again.returncode, 1, again.stderr)
            self.assertIn("detph %2d:" % depth, again.stdout)
        if sanitized:
            return  # the sanitizers reserve more address space than any limit here
        # The default budget reads ulimit -v; an allocation that fails all the
        # same ends with a message and status 3, never an abort.
        r = subprocess.run([VESK, "verify"] + NON_HYPERBOLIC + ["--max-depth", "40"],
                           capture_output=True, text=True, timeout=240,
                           preexec_fn=limit_memory(100000))
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("the next pass needs about", loop_lines(r.stdout)[-1])
        with tempfile.TemporaryDirectory() as d:
            write_tree_file(os.path.join(d, "big.tree"), 4, [0] * 4, [2] * 4,
                            full_tree_stream(18, 4))
            r = subprocess.run([VESK, "tree", "info", "big.tree"], cwd=d, capture_output=True,
                               text=True, timeout=60, preexec_fn=limit_memory(25000))
        self.assertEqual(r.returncode, 3, r.stderr)
        self.assertIn("out of memory", r.stderr)

    def test_more_threads_than_cores_are_not_started(self):
        # Each thread reserves a stack that the memory estimate does not
        # count: 4096 of them used up this address space at depth 21, where
        # one per core reaches depth 24.
        r = subprocess.run([VESK, "verify"] + NON_HYPERBOLIC + ["--threads", "4096",
                                                                "--max-depth", "24"],
                           capture_output=True, text=True, timeout=240,
                           preexec_fn=None if os.environ.get("VESK_SANITIZED")
                           else limit_memory(300000))
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(loop_lines(r.stdout)[-1], "not proven up to depth 24")
        self.assertRegex(r.stderr, r"\Avesk verify: note: --threads 4096 is more than the "
                                   r"(\d+) cores of this machine; using \1\n\Z")
        r = run(["verify"] + HORSESHOE + ["--once", "--threads", "1"])
        self.assertNotIn("note", r.stderr)

    def test_inputs_that_never_end_or_nest_forever(self):
        for args in (["tree", "info", "/dev/zero"], ["verify", "--resume", "/dev/zero"],
                     ["tree", "plot", "/dev/urandom", "--out", "/dev/null"]):
            r = run(args, timeout=20)
            self.assertEqual(r.returncode, 2, args)
            self.assertIn("is not a regular file", r.stderr)
        with tempfile.TemporaryDirectory() as d:
            run(["verify"] + HORSESHOE + ["--max-depth", "3", "--checkpoint", "ck"], cwd=d)
            data = open(os.path.join(d, "ck"), "rb").read()
            cases = {"nested": (forge(data, replace_line(b"history", b"[" * 100000)),
                                "nested too deeply"),
                     "appended": (data + b"more\n", "5 bytes follow the checkpoint's end line"),
                     "directory": (None, "is a directory")}
            for name, (content, says) in cases.items():
                path = os.path.join(d, name)
                if content is None:
                    os.mkdir(path)
                else:
                    open(path, "wb").write(content)
                r = run(["verify", "--resume", name], cwd=d)
                self.assertEqual(r.returncode, 2, name)
                self.assertIn(says, r.stderr, name)

    def test_outputs_never_overwrite_each_other(self):
        with tempfile.TemporaryDirectory() as d:
            run(["verify"] + HORSESHOE + ["--max-depth", "3", "--checkpoint", "ck"], cwd=d)
            ck = open(os.path.join(d, "ck"), "rb").read()
            os.symlink("ck", os.path.join(d, "link"))
            cases = [["verify"] + HORSESHOE + ["--json", "x", "--checkpoint", "x"],
                     ["verify"] + HORSESHOE + ["--plot", "x", "--json", "x"],
                     ["verify"] + HORSESHOE + ["--plot", "x", "--checkpoint", "x.tmp"],
                     ["verify", "--resume", "ck", "--json", "ck"],
                     ["verify", "--resume", "ck", "--plot", "link"],
                     ["tree", "plot", "ck", "--out", "ck"]]
            for args in cases:
                r = run(args, cwd=d)
                self.assertEqual(r.returncode, 2, args)
                self.assertIn("give", r.stderr, args)
                self.assertEqual(sorted(os.listdir(d)), ["ck", "link"], args)
                self.assertEqual(open(os.path.join(d, "ck"), "rb").read(), ck, args)

    def test_devices_links_and_pipes_are_written_not_replaced(self):
        with tempfile.TemporaryDirectory() as d:
            os.symlink("target.json", os.path.join(d, "link.json"))
            os.mkfifo(os.path.join(d, "fifo"))
            reader = subprocess.Popen(["cat", os.path.join(d, "fifo")], stdout=subprocess.PIPE)
            args = ["verify"] + HORSESHOE + ["--once", "--depth0", "12", "--json", "link.json",
                                             "--plot", "fifo"]
            r = run(args, cwd=d)
            svg = reader.communicate(timeout=60)[0]
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertTrue(os.path.islink(os.path.join(d, "link.json")))
            self.assertEqual(json.load(open(os.path.join(d, "target.json")))["verdict"],
                             "hyperbolic")
            self.assertTrue(stat.S_ISFIFO(os.lstat(os.path.join(d, "fifo")).st_mode))
            self.assertTrue(svg.startswith(b"<?xml"), svg[:40])
            r = run(["verify"] + HORSESHOE + ["--once", "--json", "/dev/null"], cwd=d)
            self.assertEqual(r.returncode, 1, r.stderr)  # not proven at depth 0
            self.assertTrue(stat.S_ISCHR(os.stat("/dev/null").st_mode))
            self.assertFalse(os.path.exists("/dev/null.tmp"))

    def test_full_disk_and_failed_writes_exit_3(self):
        with tempfile.TemporaryDirectory() as d:
            write_tree_file(os.path.join(d, "t.tree"), 2, [0, 0], [1, 1], full_tree_stream(2, 2))
            with open("/dev/full", "w") as full:
                for args in (["verify"] + HORSESHOE + ["--once", "--json", "-"],
                             ["tree", "info", "t.tree"]):
                    r = subprocess.run([VESK] + args, cwd=d, stdout=full,
                                       stderr=subprocess.PIPE, text=True, timeout=60)
                    self.assertEqual(r.returncode, 3, args)
                    self.assertIn("cannot write to standard output", r.stderr)
            r = run(["verify"] + HORSESHOE + ["--once", "--json", "/dev/full"], cwd=d)
            self.assertEqual(r.returncode, 3, r.stderr)
            self.assertIn("No space left on device", r.stderr)


def ledger(directory):
    """{id: entry} of a sweep's ledger, the last line of each cell; a cell
    stands more than once only after lines that say "incomplete"."""
    entries = {}
    with open(os.path.join(directory, "ledger.jsonl")) as f:
        for line in f:
            entry = json.loads(line)
            before = entries.get(entry["id"])
            assert before is None or before["verdict"] == "incomplete", \
                "cell %s verified twice" % entry["id"]
            entries[entry["id"]] = entry
    return entries


def cells_and_verdicts(entries):
    return {(e["id"], tuple(e["a_hex"]), tuple(e["b_hex"]), e["verdict"])
            for e in entries.values()}


def hexes(e, key):
    return [float.fromhex(h) for h in e[key + "_hex"]]


def svg_cells(path, test):
    """[(fill, title)] of the cells of a map, after xmllint accepts the file."""
    svg_panels(path, test)
    ns = "{http://www.w3.org/2000/svg}"
    for g in ET.parse(path).getroot().iter(ns + "g"):
        if g.get("class") == "cells":
            return [(r.get("fill"), r.find(ns + "title").text) for r in g.findall(ns + "rect")]
    return []


# The boundary of the proven region crosses this rectangle: cells of both
# verdicts, and splits.
SWEEP = ["sweep", "--a", "4,6", "--b", "-0.3,0.3", "--cells", "4,2", "--levels", "1",
         "--max-depth", "14"]


class Sweep(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = os.path.join(cls.tmp.name, "map")
        cls.first = run(SWEEP + ["--out", cls.dir, "--jobs", "2"])
        cls.entries = ledger(cls.dir)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_ledger_summary_and_picture(self):
        self.assertEqual(self.first.returncode, 0, self.first.stderr)
        verdicts = {e["verdict"] for e in self.entries.values()}
        self.assertEqual(verdicts, {"hyperbolic", "not proven"})
        for e in self.entries.values():
            for key in ("a", "b"):
                self.assertEqual(hexes(e, key), e[key])
            self.assertGreater(e["work"], 0)
        summary = json.load(open(os.path.join(self.dir, "summary.json")))
        self.assertTrue(summary["complete"])
        self.assertEqual(summary["cells_verified"], len(self.entries))
        self.assertEqual(summary["cells_from_ledger"], 0)
        cells = svg_cells(os.path.join(self.dir, "sweep.svg"), self)
        proven = [e for e in self.entries.values() if e["verdict"] == "hyperbolic"]
        self.assertEqual(len(cells), summary["cells_in_map"])
        # Each cell says on hover what it is; proven cells are shaded by depth.
        titles = {t.split(":", 1)[0]: (fill, t) for fill, t in cells}
        for e in proven:
            fill, title = titles[e["id"]]
            self.assertIn("hyperbolic (proved), depth %d" % e["depth"], title)
        depth_fills = {}
        for e in proven:
            depth_fills.setdefault(titles[e["id"]][0], set()).add(e["depth"])
        self.assertAlmostEqual(summary["hyperbolic"]["area"],
                               sum((e["a"][1] - e["a"][0]) * (e["b"][1] - e["b"][0])
                                   for e in proven))

    def test_cells_split_on_evidence_and_tile_their_parent(self):
        first = [e for e in self.entries.values() if e["level"] == 0]
        self.assertEqual(len(first), 8)
        proven = [e for e in self.entries.values() if e["verdict"] == "hyperbolic"]

        def borders(x, y):
            xa, xb, ya, yb = hexes(x, "a"), hexes(x, "b"), hexes(y, "a"), hexes(y, "b")
            over = lambda p, q: max(p[0], q[0]) < min(p[1], q[1])
            touch = lambda p, q: p[1] == q[0] or q[1] == p[0]
            return (over(xa, ya) and touch(xb, yb)) or (over(xb, yb) and touch(xa, ya))

        split = 0
        for e in first:
            kids = [self.entries.get(e["id"] + "/" + str(q)) for q in range(4)]
            evidence = e["verdict"] == "not proven" and (
                e["probe"]["proved"] or any(borders(e, p) for p in proven))
            if not evidence:
                self.assertEqual(kids, [None] * 4, e["id"])
                continue
            split += 1
            self.assertNotIn(None, kids, e["id"])
            a, b = hexes(e, "a"), hexes(e, "b")
            ka = [hexes(k, "a") for k in kids]
            kb = [hexes(k, "b") for k in kids]
            self.assertEqual((ka[0][0], ka[0][1], ka[1][0], ka[1][1]), (a[0], ka[1][0], ka[0][1], a[1]))
            self.assertTrue(a[0] < ka[0][1] < a[1] and b[0] < kb[0][1] < b[1])
            self.assertEqual((kb[0], kb[1], kb[2][0], kb[2][1], kb[3]), (kb[1], [b[0], kb[2][0]], kb[0][1], b[1], kb[2]))
            self.assertEqual((ka[2], ka[3]), (ka[0], ka[1]))
        self.assertGreater(split, 0)
        a_edges = sorted({float.fromhex(h) for e in first for h in e["a_hex"]})
        self.assertEqual((len(a_edges), a_edges[0], a_edges[-1]), (5, 4.0, 6.0))

    def test_proven_cells_are_proven_again_from_scratch(self):
        # Whatever the map did to get there, vesk verify on the same box,
        # the same default domain and the cell's depth proves it anew.
        proven = sorted((e for e in self.entries.values() if e["verdict"] == "hyperbolic"),
                        key=lambda e: (-e["level"], e["id"]))
        for e in proven[:3]:
            r = run(["verify", "--a", ",".join(e["a_hex"]), "--b", ",".join(e["b_hex"]),
                     "--max-depth", str(e["depth"])])
            self.assertEqual(r.returncode, 0, e["id"])
            self.assertEqual(loop_lines(r.stdout)[-1], "Hyperbolic!", e["id"])

    def test_no_cell_holding_a_fold_is_proven(self):
        # Parameters with a non-hyperbolic periodic orbit: the saddle-node of
        # the fixed points, a = -(1 - b)^2 / 4, and of the period-2 orbit,
        # a = 3 (1 - b)^2 / 4. A map across both must prove no cell that
        # holds one of them.
        with tempfile.TemporaryDirectory() as d:
            r = run(["sweep", "--a", "-0.5,1.5", "--b", "-0.3,0.3", "--cells", "4,2",
                     "--levels", "2", "--budget", "200000", "--out", "m", "--jobs", "2"], cwd=d)
            self.assertEqual(r.returncode, 0, r.stderr)
            entries = ledger(os.path.join(d, "m"))
        folds = [lambda b: -(1 - b) ** 2 / 4, lambda b: 3 * (1 - b) ** 2 / 4]
        checked = 0
        for e in entries.values():
            if e["verdict"] != "hyperbolic":
                continue
            a, b = [Fraction(x) for x in hexes(e, "a")], [Fraction(x) for x in hexes(e, "b")]
            for fold in folds:
                # The fold curve is monotone in b over the cell: its range is
                # spanned by its values at the cell's b ends.
                lo, hi = sorted((fold(b[0]), fold(b[1])))
                self.assertFalse(lo <= a[1] and a[0] <= hi, e["id"])
                checked += 1
        self.assertGreater(checked, 0)

    def test_resume_after_a_kill_gives_the_same_ledger(self):
        with tempfile.TemporaryDirectory() as d:
            out = os.path.join(d, "map")
            p = subprocess.Popen([VESK] + SWEEP + ["--out", out, "--jobs", "1"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            path = os.path.join(out, "ledger.jsonl")
            for _ in range(600):
                if os.path.exists(path) and open(path).read().count("\n") >= 4:
                    break
                time.sleep(0.02)
            p.kill()
            p.wait()
            killed = len(ledger(out))
            r = run(SWEEP + ["--out", out, "--jobs", "2"])
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(cells_and_verdicts(ledger(out)), cells_and_verdicts(self.entries))
            # However fast the sweep, the state a kill leaves is a first part of
            # the ledger, perhaps with a line cut short: continue from each.
            lines = open(os.path.join(self.dir, "ledger.jsonl")).read().splitlines(True)
            for keep in (0, 1, len(lines) // 2, len(lines) - 1):
                with open(path, "w") as f:
                    f.write("".join(lines[:keep]) + lines[keep][:keep % 23 + 3])
                r = run(SWEEP + ["--out", out, "--jobs", "2"])
                self.assertEqual(r.returncode, 0, r.stderr)
                if keep:
                    self.assertIn("# continuing: %d cells" % keep, r.stdout)
                    self.assertIn("%d from the ledger" % keep, r.stdout)
                self.assertEqual(cells_and_verdicts(ledger(out)),
                                 cells_and_verdicts(self.entries), keep)
            again = run(SWEEP + ["--out", out])  # nothing left to verify
            self.assertEqual(again.returncode, 0)
            self.assertEqual(len(ledger(out)), len(self.entries))
            digest = hashlib.sha256(open(path, "rb").read()).hexdigest()
            self.assertIn("ledger found at the start: SHA-256 " + digest, again.stdout)
            self.assertGreater(killed, 0)

    def test_ledger_attacks_are_refused_with_their_line(self):
        lines = open(os.path.join(self.dir, "ledger.jsonl")).read().splitlines(True)
        settings = open(os.path.join(self.dir, "sweep.json")).read()
        probe_line = next(i for i, l in enumerate(lines) if '"stop":"probe"' in l
                          or '"stop":"budget"' in l or '"stop":"depth"' in l)
        split_parent = next(i for i, l in enumerate(lines)
                            if json.loads(l)["id"] + "/0" in self.entries)
        forged = [
            # a cell not proven turned hyperbolic
            (probe_line, lines[probe_line].replace('"verdict":"not proven"', '"verdict":"hyperbolic"')),
            # a split cell turned hyperbolic: its children then belong to no cell
            (split_parent, lines[split_parent].replace('"verdict":"not proven"', '"verdict":"hyperbolic"').replace(
                '"stop":"depth"', '"stop":"proved"').replace('"stop":"budget"', '"stop":"proved"')),
            (3, lines[3].replace('"verdict":"', '"verdict":"maybe ')),
            (2, lines[2].replace('"passes":', '"passes":"') .replace(',"max_boxes"', '","max_boxes"')),
            (len(lines), lines[1]),   # the same cell twice
        ]
        with tempfile.TemporaryDirectory() as d:
            out = os.path.join(d, "map")
            for index, line in forged:
                os.makedirs(out, exist_ok=True)
                open(os.path.join(out, "sweep.json"), "w").write(settings)
                text = lines[:index] + [line] + lines[index + 1:]
                open(os.path.join(out, "ledger.jsonl"), "w").write("".join(text))
                r = run(SWEEP + ["--out", out])
                self.assertEqual(r.returncode, 2, (index, r.stderr))
                self.assertRegex(r.stderr, r"ledger\.jsonl: line \d+ ", index)
                self.assertEqual(open(os.path.join(out, "ledger.jsonl")).read(), "".join(text))
            # Another map's ledger, with or without this map's sweep.json.
            other = os.path.join(d, "other")
            r = run(["sweep", "--a", "4,6.5", "--b", "-0.3,0.3", "--cells", "4,2", "--levels",
                     "1", "--max-depth", "14", "--out", other])
            self.assertEqual(r.returncode, 0, r.stderr)
            shutil.copy(os.path.join(other, "ledger.jsonl"), os.path.join(out, "ledger.jsonl"))
            r = run(SWEEP + ["--out", out])
            self.assertEqual(r.returncode, 2)
            self.assertIn("line 1 is not an entry of this map", r.stderr)
            os.unlink(os.path.join(out, "sweep.json"))
            r = run(SWEEP + ["--out", out])
            self.assertEqual(r.returncode, 2)
            self.assertIn("without its sweep.json", r.stderr)

    def test_a_second_run_on_the_directory_is_refused(self):
        with tempfile.TemporaryDirectory() as d:
            out = os.path.join(d, "map")
            p = subprocess.Popen([VESK, "sweep", "--a", "2,6", "--b", "-0.4,0.4", "--cells", "4,2",
                                  "--jobs", "1", "--out", out],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                for _ in range(500):
                    if os.path.exists(os.path.join(out, "sweep.json")):
                        break
                    time.sleep(0.02)
                r = run(["sweep", "--a", "2,6", "--b", "-0.4,0.4", "--cells", "4,2", "--out", out])
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn("in use by another run of vesk sweep (PID %d)" % p.pid, r.stderr)
            finally:
                p.kill()
                p.wait()

    def test_cells_stopped_by_memory_are_retried(self):
        if os.environ.get("VESK_SANITIZED"):
            self.skipTest("the sanitizers' own memory hides the budget")
        with tempfile.TemporaryDirectory() as d:
            out = os.path.join(d, "map")
            r = run(SWEEP + ["--out", out, "--max-memory", "2M"])
            self.assertEqual(r.returncode, 1, r.stderr)
            self.assertIn("stopped by the memory budget", r.stderr)
            stopped = [e for e in ledger(out).values() if e["verdict"] == "incomplete"]
            self.assertGreater(len(stopped), 0)
            self.assertFalse(json.load(open(os.path.join(out, "summary.json")))["complete"])
            r = run(SWEEP + ["--out", out])
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(cells_and_verdicts(ledger(out)), cells_and_verdicts(self.entries))

    def test_threads_beyond_the_cores_say_so_and_change_nothing(self):
        with tempfile.TemporaryDirectory() as d:
            r = run(SWEEP + ["--out", "map", "--threads", "4096"], cwd=d)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn("vesk sweep: note: --threads 4096 is more than the", r.stderr)
            self.assertEqual(cells_and_verdicts(ledger(os.path.join(d, "map"))),
                             cells_and_verdicts(self.entries))

    def test_threads_that_cannot_start_end_the_run(self):
        if os.environ.get("VESK_SANITIZED"):
            self.skipTest("the sanitizers reserve more address space than the limit")
        with tempfile.TemporaryDirectory() as d:
            r = subprocess.run(["sh", "-c", 'ulimit -v 1000000 && exec "$0" "$@"', VESK] + SWEEP +
                               ["--out", "map", "--jobs", "200"], cwd=d, capture_output=True,
                               text=True, timeout=240)
            # 200 thread stacks of 8 MiB do not fit in 1 GB of address space.
            self.assertEqual(r.returncode, 3, r.stderr)
            self.assertRegex(r.stderr, "cannot start thread|out of memory")
            self.assertIn("cells verified:", r.stdout)

    def mpirun(self, args, timeout=120):
        mpirun = shutil.which("mpirun")
        if mpirun is None or os.environ.get("VESK_SANITIZED"):
            self.skipTest("mpirun not installed, or a sanitizer build")
        return subprocess.run([mpirun, "--oversubscribe", "--allow-run-as-root", "-np", "3",
                               VESK] + args, capture_output=True, text=True, timeout=timeout)

    def test_mpi_ranks_give_the_same_cells(self):
        with tempfile.TemporaryDirectory() as d:
            out = os.path.join(d, "map")
            r = self.mpirun(SWEEP + ["--out", out])
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn("with 2 MPI worker ranks", r.stdout)
            self.assertEqual(cells_and_verdicts(ledger(out)), cells_and_verdicts(self.entries))
            # Failures end every rank, with the status that says what happened.
            with open(os.path.join(out, "ledger.jsonl"), "a") as f:
                f.write('{"id": "0,0"}\n')
            r = self.mpirun(SWEEP + ["--out", out], timeout=60)
            self.assertEqual(r.returncode, 2, r.stderr)
            self.assertIn("is not an entry of this map", r.stderr)
            r = self.mpirun(SWEEP + ["--out", os.path.join(d, "small"), "--max-memory", "12M"],
                            timeout=60)
            self.assertEqual(r.returncode, 1, r.stderr)
            self.assertIn("stopped by the memory budget", r.stderr)

    def test_mpi_interrupt_sums_up_the_map(self):
        mpirun = shutil.which("mpirun")
        if mpirun is None or os.environ.get("VESK_SANITIZED"):
            self.skipTest("mpirun not installed, or a sanitizer build")
        with tempfile.TemporaryDirectory() as d:
            out = os.path.join(d, "map")
            p = subprocess.Popen([mpirun, "--oversubscribe", "--allow-run-as-root", "-np", "3",
                                  VESK, "sweep", "--a", "2,6", "--b", "-0.4,0.4", "--cells",
                                  "8,4", "--out", out], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
            path = os.path.join(out, "ledger.jsonl")
            for _ in range(1500):
                if os.path.exists(path) and open(path).read().count("\n") >= 3:
                    break
                time.sleep(0.02)
            p.send_signal(signal.SIGINT)
            stdout, stderr = p.communicate(timeout=30)
            self.assertNotEqual(p.returncode, 0)
            self.assertIn("cells verified:", stdout)
            self.assertIn("interrupted;", stderr)
            done = ledger(out)
            summary = json.load(open(os.path.join(out, "summary.json")))
            self.assertFalse(summary["complete"])
            self.assertEqual(summary["cells_verified"], len(done))

    def test_bad_sweeps_are_refused_and_write_nothing(self):
        base = ["sweep", "--a", "4,6", "--b", "-0.3,0.3"]
        cases = [(["sweep", "--a", "4,4", "--b", "0,1"], "no width"),
                 (["sweep", "--a", "6,4", "--b", "0,1"], "lower end above"),
                 (["sweep", "--a", "0,1e-310", "--b", "0,1"], "too narrow"),
                 (["sweep", "--a", "0,1e-160", "--b", "0,1e-160"], "area is too small"),
                 (base + ["--cells", "0,3"], "--cells"),
                 (base + ["--cells", "4"], "--cells"),
                 (base + ["--min-width", "3,0.1"], "wider than the rectangle"),
                 (base + ["--min-width", "0,0"], "--min-width"),
                 (base + ["--min-width", "0.1,1e-310"], "--min-width"),
                 (base + ["--min-width", "1e-9,0.1"], "--min-width"),
                 (base + ["--levels", "-1"], "levels"),
                 (base + ["--levels", "2147483647"], "levels"),
                 (base + ["--levels", "25"], "levels"),
                 (base + ["--max-depth", " -1"], "max-depth"),
                 (base + ["--budget", "0"], "--budget"),
                 (["sweep", "--a", "4,6", "--b", "0,1"], "--out is missing")]
        with tempfile.TemporaryDirectory() as d:
            for args, says in cases:
                out = ["--out", "map"] if "--out is missing" not in says else []
                r = run(args + out, cwd=d)
                self.assertEqual(r.returncode, 2, args)
                self.assertIn(says, r.stderr, args)
                self.assertNotIn("nan", r.stdout + r.stderr)
                self.assertEqual(os.listdir(d), [], args)
            r = run(base + ["--out", "/proc/no/such/dir"], cwd=d)
            self.assertEqual(r.returncode, 2)
            self.assertIn("cannot create the directory", r.stderr)
            # A directory that holds another sweep.
            self.assertEqual(run(SWEEP + ["--out", "map"], cwd=d).returncode, 0)
            before = open(os.path.join(d, "map", "ledger.jsonl")).read()
            r = run(SWEEP[:-1] + ["15", "--out", "map"], cwd=d)
            self.assertEqual(r.returncode, 2)
            self.assertIn("holds a map with other settings", r.stderr)
            self.assertEqual(open(os.path.join(d, "map", "ledger.jsonl")).read(), before)


class Pictures(unittest.TestCase):
    def test_verify_picture_shows_the_boxes_left(self):
        with tempfile.TemporaryDirectory() as d:
            r = run(["verify"] + NON_HYPERBOLIC + ["--max-depth", "14", "--checkpoint", "ck",
                                                   "--plot", "p.svg", "--json", "r.json"], cwd=d)
            self.assertEqual(r.returncode, 1, r.stderr)
            panels = svg_panels(os.path.join(d, "p.svg"), self)
            text = open(os.path.join(d, "p.svg"), encoding="utf-8").read()
            tree, domain = parse_checkpoint(open(os.path.join(d, "ck"), "rb").read())
            report = json.load(open(os.path.join(d, "r.json")))
        # The checkpoint after the last pass holds the boxes that are drawn.
        dim, leaves, _ = parse_tree(tree, domain)
        self.assertEqual(dim, 4)
        self.assertEqual(len(leaves), report["final"]["boxes"])
        self.assertGreater(len(leaves), 100)
        for panel, (i, j) in (("panel-0", (0, 1)), ("panel-1", (2, 3))):
            self.assertEqual(len(panels[panel]), len(set(panels[panel])))
            self.assertEqual(set(panels[panel]), projections(leaves, i, j))
        self.assertIn("not proven up to depth 14", text)
        self.assertIn("a = [1.3999999999999999, 1.4000000000000001]", text)

    def test_hyperbolic_picture(self):
        with tempfile.TemporaryDirectory() as d:
            r = run(["verify"] + HORSESHOE + ["--plot", "p.svg", "--json", "r.json"], cwd=d)
            self.assertEqual(r.returncode, 0)
            panels = svg_panels(os.path.join(d, "p.svg"), self)
            text = open(os.path.join(d, "p.svg"), encoding="utf-8").read()
            report = json.load(open(os.path.join(d, "r.json")))
        self.assertIn("Hyperbolic!", text)
        self.assertGreater(len(panels["panel-0"]), 0)
        # Every drawn box lies in the state square of the domain.
        R = report["domain"]["radius"][0]
        for x, y, w, h in panels["panel-0"]:
            self.assertTrue(-R <= x and x + w <= R and -R <= y and y + h <= R)


class Trees(unittest.TestCase):
    def test_info_and_plot_of_a_tree_file(self):
        # A 4-dimensional tree: full to depth 4, then one leaf of it
        # bisected twice more, with flags.
        stream = []
        def node(d):
            if d == 4 and not stream_has_deep[0]:
                stream_has_deep[0] = True
                stream.extend([1, 0, 1, 1, 1, 1, 1, 0, 2, 0, 0, 1, 0, 2, 0, 0, 1, 0, 3, 0, 0])
                return
            if d == 4:
                stream.extend([1, 0, 0, 0, 0])
                return
            stream.extend([1, d % 4, 0])
            node(d + 1)
            node(d + 1)
        stream_has_deep = [False]
        node(0)
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "t.tree")
            write_tree_file(path, 4, [0.5, 0, 0, 0], [2, 2, 1, 1], stream)
            dim, leaves, boxes = parse_tree(open(path, "rb").read())
            r = run(["tree", "info", "t.tree"], cwd=d)
            self.assertEqual(r.returncode, 0, r.stderr)
            info = dict(line.split(": ", 1) for line in r.stdout.splitlines())
            self.assertEqual(int(info["boxes"]), boxes)
            self.assertEqual(int(info["leaves"]), len(leaves))
            self.assertEqual(int(info["height"]), max(l[2] for l in leaves))
            self.assertEqual(info["dimension"], "4")
            self.assertEqual(info["center"], "0.5 0 0 0")
            depths = {}
            for leaf in leaves:
                depths[leaf[2]] = depths.get(leaf[2], 0) + 1
            self.assertEqual(info["leaves by depth"],
                             " ".join("%d: %d" % kv for kv in sorted(depths.items())))
            r = run(["tree", "plot", "t.tree", "--out", "t.svg"], cwd=d)
            self.assertEqual(r.returncode, 0, r.stderr)
            panels = svg_panels(os.path.join(d, "t.svg"), self)
        self.assertEqual(set(panels["panel-0"]), projections(leaves, 0, 1))
        self.assertEqual(set(panels["panel-1"]), projections(leaves, 2, 3))
        self.assertEqual(len(panels["panel-0"]), len(projections(leaves, 0, 1)))

    def test_one_dimensional_tree(self):
        with tempfile.TemporaryDirectory() as d:
            write_tree_file(os.path.join(d, "t.tree"), 1, [0], [1], full_tree_stream(3, 1))
            r = run(["tree", "plot", "t.tree", "--out", "t.svg"], cwd=d)
            self.assertEqual(r.returncode, 0, r.stderr)
            panels = svg_panels(os.path.join(d, "t.svg"), self)
        self.assertEqual(sorted(panels["panel-0"]),
                         [(-1 + k * 0.25, 0.0, 0.25, 1.0) for k in range(8)])

    def test_info_of_a_checkpoint(self):
        with tempfile.TemporaryDirectory() as d:
            run(["verify"] + HORSESHOE + ["--max-depth", "5", "--checkpoint", "ck"], cwd=d)
            r = run(["tree", "info", "ck"], cwd=d)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("checkpoint of vesk verify after pass 5 (depth bound 5)", r.stdout)
        self.assertIn("height: 5", r.stdout)
        self.assertIn("checkpoint format 2, written by vesk %s\n"
                      % open(VERSION_FILE).read().strip(), r.stdout)


if __name__ == "__main__":
    VESK = os.path.abspath(sys.argv[1])
    names = sys.argv[2:]
    loader = unittest.defaultTestLoader
    module = sys.modules[__name__]
    suite = unittest.TestSuite(
        [loader.loadTestsFromTestCase(getattr(module, n)) for n in names] if names
        else [loader.loadTestsFromModule(module)])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)
