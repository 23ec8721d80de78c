#!/usr/bin/env python3
"""Checks a proof certificate written by `vesk verify --certificate FILE`.

    python3 vesk_check.py [--verbose] [--max-boxes N] FILE

prints "valid: hyperbolic for a in [...], b in [...]" and exits 0 when the
certificate proves the Henon map H(x, y) = (a - x^2 + b y, x) hyperbolic on
its chain recurrent set for every (a, b) in the parameter box; otherwise
prints "invalid: " and the first fact that fails, and exits 1 (2 for a file
that cannot be read or is not a well-formed certificate).

The check uses integers only: every box end and parameter end is a dyadic
rational, and in each coordinate of the map and of its tangent lift every
variable occurs once, so the interval images below are exact ranges. It
shares no code with vesk. The argument is written out in
docs/certificate.md; the facts are:

  F0  the state domain holds every bounded orbit (an exact inequality);
  F1  every chain recurrent point lies in A', the state leaves on cycles of
      the graph "the image of leaf v meets leaf w";
  F2  every full orbit of the tangent lift over A' that stays in the
      tangent domain lies in L, the lifted leaves over A' that survive
      peeling (leaves without predecessor or successor go, repeatedly);
      state leaves over which no lifted leaf survives leave A', and the two
      steps alternate until neither changes;
  F3  every box of L, and every box the run kept, lies strictly inside
      |u| < 1, |v| < 1.
"""

import os
import sys
import time
from array import array
from fractions import Fraction

FORMAT = 1
MAX_LINE = 1 << 16


class Malformed(Exception):
    pass


class Invalid(Exception):
    pass


# ------------------------------------------------------------------ reading

def hex_double(text):
    """Exact value of a C hexadecimal floating-point literal ("-0x1.8p+2")."""
    t = text
    sign = 1
    if t[:1] in ('-', '+'):
        sign = -1 if t[0] == '-' else 1
        t = t[1:]
    if not t[:2].lower() == '0x' or 'p' not in t.lower():
        raise Malformed("not a hexadecimal number: %r" % text)
    mant, _, exp = t[2:].lower().partition('p')
    whole, _, frac = mant.partition('.')
    digits = whole + frac
    if not digits or len(digits) > 40 or not all(c in '0123456789abcdef' for c in digits):
        raise Malformed("not a hexadecimal number: %r" % text)
    if not exp.lstrip('+-').isdigit() or len(exp) > 6 or abs(int(exp)) > 1100:
        raise Malformed("not a hexadecimal double: %r" % text)
    e = int(exp) - 4 * len(frac)
    m = sign * int(digits, 16)
    return Fraction(m * 2 ** e) if e >= 0 else Fraction(m, 2 ** -e)


def read_line(f, what):
    line = f.readline(MAX_LINE)
    if not line.endswith(b'\n'):
        raise Malformed("the file ends or a line runs on where %s should be" % what)
    try:
        return line[:-1].decode('ascii').split(' ')
    except UnicodeDecodeError:
        raise Malformed("%s is not plain text" % what)


def field(words, name, count):
    if words[0] != name or (count is not None and len(words) != count + 1):
        raise Malformed("expected the line '%s' with %s values, found %r"
                        % (name, count, ' '.join(words)[:80]))
    return words[1:]


def count(text, what, limit, why):
    if not text.isdigit() or len(text) > 12:
        raise Malformed("%s is not a count: %r" % (what, text))
    n = int(text)
    if n > limit:
        raise Malformed("%s is %d, more than %s" % (what, n, why))
    return n


def read_certificate(path, max_boxes):
    with open(path, 'rb') as f:
        size = os.fstat(f.fileno()).st_size
        words = read_line(f, "the format line")
        if words[:2] != ['vesk', 'certificate'] or len(words) != 3:
            raise Malformed("not a vesk certificate (the first line must be "
                            "'vesk certificate %d')" % FORMAT)
        if words[2] != str(FORMAT):
            raise Malformed("certificate format %r; this check reads format %d"
                            % (words[2], FORMAT))
        field(read_line(f, "the written-by line"), 'written-by', None)
        cert = {}
        for name, n in (('a', 2), ('b', 2), ('center', 4), ('radius', 4)):
            cert[name] = [hex_double(w) for w in field(read_line(f, "the %s line" % name), name, n)]
        words = read_line(f, "the splits line")
        height = count(field(words, 'splits', None)[0] if len(words) > 1 else 'x',
                       "the height", 4 * 500, "a tree of 4 coordinates may have")
        table = field(words, 'splits', height + 1)[1:]
        if any(w not in ('0', '1', '2', '3') for w in table):
            raise Malformed("the split table holds a coordinate other than 0 to 3")
        cert['splits'] = [int(w) for w in table]
        data = 0
        for name in ('state-tree', 'lifted-tree'):
            nodes, leaves, final = (
                count(w, "a box count", max_boxes,
                      "the %d this check takes (raise it with --max-boxes)" % max_boxes)
                for w in field(read_line(f, "the %s line" % name), name, 3))
            if nodes % 2 == 0 or leaves != (nodes + 1) // 2 or final > leaves:
                raise Malformed("the counts of the %s do not fit a tree whose boxes "
                                "have no child or two" % name)
            cert[name] = (nodes, leaves, final)
            data += (nodes + 7) // 8 + (leaves + 7) // 8
        if count(field(read_line(f, "the data line"), 'data', 1)[0], "the data size", size,
                 "the whole file") != data:
            raise Malformed("the data size does not match the box counts")
        if f.tell() + data > size:
            raise Malformed("the file is cut short: %d bytes of data announced, %d there"
                            % (data, size - f.tell()))
        blob = f.read(data)
        if len(blob) != data or f.read(5) != b'\nend\n' or f.read(1):
            raise Malformed("the file is cut short or has bytes after its end line")
    cert['blob'] = blob
    return cert


def bits(blob, start, n):
    """The n bits stored from byte `start` on (most significant first); the
    padding of the last byte must be zero."""
    nbytes = (n + 7) // 8
    chunk = blob[start:start + nbytes]
    if n % 8 and chunk[-1] & ((1 << (8 - n % 8)) - 1):
        raise Malformed("padding bits are set")
    return chunk, start + nbytes


class Tree:
    """A tree given in pre-order: one bit per box (split or leaf), one bit
    per leaf (final or discarded). Leaves keep their cell: index and number
    of bisections in every coordinate."""

    def __init__(self, name, shape, ends, counts, table, dim):
        nodes, nleaves, nfinal = counts
        self.name, self.dim, self.table = name, dim, table
        self.kid = array('q', bytes(8 * nodes))     # second child; 0: leaf
        self.leaf_of = array('q', [-1]) * nodes
        self.leaf_node, self.leaf_depth, self.leaf_idx = [], [], []
        stack = [(0, (0,) * dim, -1)]
        pos = 0
        while stack:
            depth, idx, parent = stack.pop()
            if pos == nodes:
                raise Malformed("the %s is cut short" % name)
            if parent >= 0:
                self.kid[parent] = pos
            node, pos = pos, pos + 1
            if shape[node >> 3] & (0x80 >> (node & 7)):
                if depth >= len(table):
                    raise Malformed("the %s is deeper than its split table" % name)
                k = table[depth]
                hi = idx[:k] + (2 * idx[k] + 1,) + idx[k + 1:]
                lo = idx[:k] + (2 * idx[k],) + idx[k + 1:]
                stack.append((depth + 1, hi, node))
                stack.append((depth + 1, lo, -1))
            else:
                self.leaf_of[node] = len(self.leaf_node)
                self.leaf_node.append(node)
                self.leaf_depth.append(depth)
                self.leaf_idx.append(idx)
        if pos != nodes:
            raise Malformed("the %s ends before its last box" % name)
        self.final = [bool(ends[i >> 3] & (0x80 >> (i & 7))) for i in range(nleaves)]
        if sum(self.final) != nfinal:
            raise Malformed("the %s has %d final leaves, its count says %d"
                            % (name, sum(self.final), nfinal))
        # Bisections of each coordinate above each depth.
        self.splits = [(0,) * dim]
        for k in table:
            s = self.splits[-1]
            self.splits.append(s[:k] + (s[k] + 1,) + s[k + 1:])


# ---------------------------------------------------------------- geometry

def exponent(q):
    """The e >= 0 with q * 2^e an integer (q dyadic)."""
    d = q.denominator
    if d & (d - 1):
        raise Malformed("a number is not dyadic")
    return d.bit_length() - 1


class Geometry:
    """All box ends as integers at the scale 2^G, parameter ends at 2^P,
    image ends at 2^W (W >= 2G, P + G)."""

    def __init__(self, cert, trees):
        lo = [c - r for c, r in zip(cert['center'], cert['radius'])]
        width = [2 * r for r in cert['radius']]
        if any(w <= 0 for w in width):
            raise Invalid("a radius of the domain is not positive")
        most = [0, 0, 0, 0]
        for t in trees:
            for s in t.splits:
                for k in range(t.dim):
                    most[k] = max(most[k], s[k])
        G = max(max(exponent(lo[k]), exponent(width[k]) + most[k]) for k in range(4))
        P = max(exponent(q) for q in cert['a'] + cert['b'])
        self.G, self.P, self.W = G, P, max(2 * G, P + G)
        self.lo = [int(q * 2 ** G) for q in lo]
        self.width = [int(q * 2 ** G) for q in width]
        self.top = [self.lo[k] + self.width[k] for k in range(4)]
        self.a = [int(q * 2 ** P) for q in cert['a']]
        self.b = [int(q * 2 ** P) for q in cert['b']]

    def box(self, tree, i):
        """(lo, hi) per coordinate of leaf i, at scale 2^G."""
        n = tree.splits[tree.leaf_depth[i]]
        out = []
        for k in range(tree.dim):
            w = self.width[k] >> n[k]
            lo = self.lo[k] + tree.leaf_idx[i][k] * w
            out.append((lo, lo + w))
        return out

    def hull(self, lo, hi):
        """A closed range [lo, hi] at scale 2^W as a query coordinate: a cell
        [cl, ch] (closed at the domain's top) or [cl, ch) meets it when
        cl <= q[0] and ch >= q[1] (closed) or ch >= q[2] (open)."""
        s = self.W - self.G
        return (hi >> s, -((-lo) >> s), (lo >> s) + 1)

    def x_image(self, X, Y):
        """x' = a - x^2 + b y over the box and the parameter box."""
        (x0, x1), (y0, y1) = X, Y
        sq = (x0 * x0, x1 * x1)
        sq_lo = 0 if x0 < 0 < x1 else min(sq)
        by = [b * y for b in self.b for y in (y0, y1)]
        G, P, W = self.G, self.P, self.W
        return ((self.a[0] << (W - P)) - (max(sq) << (W - 2 * G)) + (min(by) << (W - P - G)),
                (self.a[1] << (W - P)) - (sq_lo << (W - 2 * G)) + (max(by) << (W - P - G)))

    def u_image(self, X, U, V):
        """u' = -2 x u + b v over the box and the parameter box."""
        xu = [-2 * x * u for x in X for u in U]
        bv = [b * v for b in self.b for v in V]
        G, P, W = self.G, self.P, self.W
        return ((min(xu) << (W - 2 * G)) + (min(bv) << (W - P - G)),
                (max(xu) << (W - 2 * G)) + (max(bv) << (W - P - G)))

    def copy(self, iv, k, half_open):
        """The copied coordinate (y' = x, v' = u): the source cell itself,
        closed, or half-open [lo, hi) unless hi is the top of coordinate k."""
        lo, hi = iv
        if not half_open:
            return (hi, lo, lo + 1)
        return (hi if hi == self.top[k] else hi - 1, lo, lo + 1)

    def state_query(self, box):
        X, Y = box
        return (self.hull(*self.x_image(X, Y)), self.copy(X, 0, False))

    def lifted_query(self, box):
        X, Y, U, V = box
        return (self.hull(*self.x_image(X, Y)), self.copy(X, 0, True),
                self.hull(*self.u_image(X, U, V)), self.copy(U, 2, True))


def search(geo, tree, query, alive, closed):
    """The leaves of `tree` whose cells meet the query box (one triple per
    coordinate, see Geometry.hull) among the boxes with alive[node]. Cells
    are closed when `closed`, else half-open [lo, hi) but closed at the
    domain's top."""
    top = geo.top

    def meets(k, cl, ch):
        q = query[k]
        return cl <= q[0] and ch >= (q[1] if closed or ch == top[k] else q[2])

    dim = tree.dim
    lo = tuple(geo.lo[:dim])
    hi = tuple(geo.top[:dim])
    if not alive[0] or not all(meets(k, lo[k], hi[k]) for k in range(dim)):
        return []
    out = []
    stack = [(0, 0, lo, hi)]
    kid, table, leaf_of = tree.kid, tree.table, tree.leaf_of
    while stack:
        node, depth, lo, hi = stack.pop()
        second = kid[node]
        if second == 0:
            out.append(leaf_of[node])
            continue
        k = table[depth]
        mid = (lo[k] + hi[k]) >> 1
        if alive[second] and meets(k, mid, hi[k]):
            stack.append((second, depth + 1, lo[:k] + (mid,) + lo[k + 1:], hi))
        if alive[node + 1] and meets(k, lo[k], mid):
            stack.append((node + 1, depth + 1, lo, hi[:k] + (mid,) + hi[k + 1:]))
    return out


# ------------------------------------------------------------------ graphs

def on_cycles(succ, members):
    """The members that lie on a cycle of the graph restricted to them: in a
    strongly connected component of two or more, or with an edge to itself
    (iterative Tarjan search)."""
    index, low, onstack, keep = {}, {}, set(), set()
    comp, counter = [], 0
    for s in members:
        if s in index:
            continue
        counter += 1
        index[s] = low[s] = counter
        comp.append(s)
        onstack.add(s)
        work = [(s, iter(succ[s]))]
        while work:
            v, it = work[-1]
            for w in it:
                if w not in members:
                    continue
                if w == v:
                    keep.add(v)
                if w not in index:
                    counter += 1
                    index[w] = low[w] = counter
                    comp.append(w)
                    onstack.add(w)
                    work.append((w, iter(succ[w])))
                    break
                if w in onstack and index[w] < low[v]:
                    low[v] = index[w]
            else:
                work.pop()
                if work and low[v] < low[work[-1][0]]:
                    low[work[-1][0]] = low[v]
                if low[v] == index[v]:
                    group = []
                    while True:
                        x = comp.pop()
                        onstack.discard(x)
                        group.append(x)
                        if x == v:
                            break
                    if len(group) > 1:
                        keep.update(group)
    return keep


def peel(succ, pred, members):
    """The members left when those without predecessor or successor among
    the members are removed, over and over."""
    alive = set(members)
    nin = {v: sum(1 for u in pred[v] if u in alive) for v in alive}
    nout = {v: sum(1 for w in succ[v] if w in alive) for v in alive}
    queue = [v for v in alive if nin[v] == 0 or nout[v] == 0]
    for v in queue:
        alive.discard(v)
    while queue:
        v = queue.pop()
        for w in succ[v]:
            if w in alive:
                nin[w] -= 1
                if nin[w] == 0:
                    alive.discard(w)
                    queue.append(w)
        for u in pred[v]:
            if u in alive:
                nout[u] -= 1
                if nout[u] == 0:
                    alive.discard(u)
                    queue.append(u)
    return alive


# ------------------------------------------------------------------- text

def g17(q):
    """q with 17 significant digits, as C's "%.17g" writes a double."""
    if q == 0:
        return "0"
    sign, q = ('-' if q < 0 else ''), abs(q)
    e = len(str(q.numerator)) - len(str(q.denominator))
    while q >= Fraction(10) ** (e + 1):
        e += 1
    while q < Fraction(10) ** e:
        e -= 1
    n = q * Fraction(10) ** (16 - e)
    digits = int(n)
    if n - digits > Fraction(1, 2) or (n - digits == Fraction(1, 2) and digits % 2):
        digits += 1
    if digits == 10 ** 17:
        digits, e = 10 ** 16, e + 1
    d = str(digits)
    if -4 <= e < 17:
        text = d[:e + 1] + '.' + d[e + 1:] if e >= 0 else '0.' + '0' * (-e - 1) + d
        text = text.rstrip('0').rstrip('.') if '.' in text else text
    else:
        m = (d[0] + '.' + d[1:]).rstrip('0').rstrip('.')
        text = '%se%s%02d' % (m, '-' if e < 0 else '+', abs(e))
    return sign + text


def describe(geo, tree, i):
    names = 'xyuv'
    parts = ["%s in [%s, %s]" % (names[k], g17(Fraction(lo, 2 ** geo.G)),
                                 g17(Fraction(hi, 2 ** geo.G)))
             for k, (lo, hi) in enumerate(geo.box(tree, i))]
    return "%s leaf %d (depth %d: %s)" % (tree.name.split('-')[0], i, tree.leaf_depth[i],
                                          ', '.join(parts))


# ------------------------------------------------------------------- check

def check(cert, say):
    a, b = cert['a'], cert['b']
    c, r = cert['center'], cert['radius']
    if a[0] > a[1] or b[0] > b[1]:
        raise Invalid("the parameter box is empty (a lower end above an upper end)")
    # F0: every bounded orbit, for every (a, b), stays in max(|x|, |y|) <= R
    # with R the larger root of s^2 - (1 + |b|) s - |a|; the state domain
    # must hold a larger square.
    A, B = max(abs(a[0]), abs(a[1])), max(abs(b[0]), abs(b[1]))
    s = min(r[0] - c[0], r[0] + c[0], r[1] - c[1], r[1] + c[1])
    if not (s > 0 and s * s - (1 + B) * s - A > 0):
        raise Invalid("F0: the state domain x in [%s, %s], y in [%s, %s] does not hold every "
                      "bounded orbit: its half-width s = %s about 0 needs "
                      "s^2 - (1 + |b|) s - |a| > 0 with |a| <= %s, |b| <= %s"
                      % (g17(c[0] - r[0]), g17(c[0] + r[0]), g17(c[1] - r[1]),
                         g17(c[1] + r[1]), g17(s), g17(A), g17(B)))
    for k, name in ((2, 'u'), (3, 'v')):
        if not (c[k] - r[k] <= -1 and c[k] + r[k] >= 1):
            raise Invalid("the tangent domain %s in [%s, %s] does not contain [-1, 1]: a "
                          "bounded tangent orbit scaled to sup-norm 1 must fit in it"
                          % (name, g17(c[k] - r[k]), g17(c[k] + r[k])))
    if b[0] <= 0 <= b[1]:
        raise Invalid("b = 0 lies in the parameter box: the map is not invertible there")

    lifted_table = cert['splits']
    state_table = [k for k in lifted_table if k < 2]
    blob, pos, trees = cert['blob'], 0, []
    for name, dim, table in (('state-tree', 2, state_table), ('lifted-tree', 4, lifted_table)):
        counts = cert[name]
        shape, pos = bits(blob, pos, counts[0])
        ends, pos = bits(blob, pos, counts[1])
        trees.append(Tree(name, shape, ends, counts, table, dim))
    S, L = trees
    if max(L.leaf_depth) != len(lifted_table):
        raise Malformed("the split table does not end at the deepest lifted leaf")
    geo = Geometry(cert, trees)

    for i in range(len(L.leaf_node)):
        if L.final[i] and L.leaf_depth[i] != len(lifted_table):
            raise Invalid("the certificate is inconsistent: final %s is not at the depth "
                          "of the last pass" % describe(geo, L, i))

    # The state box of each lifted leaf, found in the state tree: the run's
    # state boxes are exactly the projections of its lifted boxes.
    anchor, memo = [], {}
    for i in range(len(L.leaf_node)):
        n = L.splits[L.leaf_depth[i]]
        key = (n[0], n[1], L.leaf_idx[i][0], L.leaf_idx[i][1])
        if key not in memo:
            node, seen = 0, [0, 0]
            for k in state_table[:n[0] + n[1]]:
                if S.kid[node] == 0:
                    raise Invalid("the certificate is inconsistent: %s lies inside a state "
                                  "leaf that the state tree does not split"
                                  % describe(geo, L, i))
                bit = (key[2 + k] >> (n[k] - 1 - seen[k])) & 1
                seen[k] += 1
                node = S.kid[node] if bit else node + 1
            memo[key] = node
        anchor.append(memo[key])
    final_state = set()
    for i, node in enumerate(anchor):
        if L.final[i]:
            j = S.leaf_of[node]
            if j < 0 or not S.final[j]:
                raise Invalid("the certificate is inconsistent: final %s lies over a state "
                              "box that is not a final leaf" % describe(geo, L, i))
            final_state.add(j)
    for j in range(len(S.leaf_node)):
        if S.final[j] and j not in final_state:
            raise Invalid("the certificate is inconsistent: final %s has no final lifted "
                          "leaf over it" % describe(geo, S, j))
    one = 1 << geo.G
    for i in range(len(L.leaf_node)):
        if L.final[i]:
            (u0, u1), (v0, v1) = geo.box(L, i)[2:]
            if not (-one < u0 and u1 < one and -one < v0 and v1 < one):
                raise Invalid("F3: final %s is not strictly inside |u| < 1, |v| < 1"
                              % describe(geo, L, i))

    # F1: the state graph over all state leaves.
    every = bytearray(b'\x01') * len(S.kid)
    ssucc = [search(geo, S, geo.state_query(geo.box(S, j)), every, True)
             for j in range(len(S.leaf_node))]
    sigma = on_cycles(ssucc, set(range(len(S.leaf_node))))
    say("state leaves: %d, edges: %d, on cycles (A'): %d"
        % (len(ssucc), sum(map(len, ssucc)), len(sigma)))

    # F2, alternating with F1: lifted leaves over A', peeled; state leaves
    # that no surviving lifted leaf touches leave A'.
    lsucc = lpred = None
    state_query = {}
    rounds = 0
    while True:
        rounds += 1
        below = [0] * len(S.kid)       # leaves of A' at or below each state box
        for node in range(len(S.kid) - 1, -1, -1):
            second = S.kid[node]
            below[node] = ((S.leaf_of[node] in sigma) if second == 0
                           else below[node + 1] + below[second])
        cand = [i for i in range(len(L.leaf_node)) if below[anchor[i]]]
        if lsucc is None:
            # The lifted graph over the first candidates; later rounds only
            # take boxes away.
            alive = bytearray(len(L.kid))
            for i in cand:
                alive[L.leaf_node[i]] = 1
            for node in range(len(L.kid) - 1, -1, -1):
                if L.kid[node]:
                    alive[node] = alive[node + 1] | alive[L.kid[node]]
            lsucc = {i: search(geo, L, geo.lifted_query(geo.box(L, i)), alive, False)
                     for i in cand}
            lpred = {i: [] for i in cand}
            for i in cand:
                for j in lsucc[i]:
                    lpred[j].append(i)
            say("lifted leaves: %d, over A': %d, edges among them: %d"
                % (len(L.leaf_node), len(cand), sum(map(len, lsucc.values()))))
        kept = peel(lsucc, lpred, cand)
        touched = set()
        for i in kept:
            node = anchor[i]
            if node not in state_query:
                X, Y = geo.box(L, i)[:2]
                state_query[node] = search(geo, S, (geo.copy(X, 0, False),
                                                    geo.copy(Y, 1, False)), every, True)
            touched.update(state_query[node])
        supported = sigma & touched
        say("round %d: lifted leaves kept: %d, state leaves in A': %d -> %d"
            % (rounds, len(kept), len(sigma), len(supported)))
        if supported == sigma:
            break
        sigma = on_cycles(ssucc, supported)
    for i in sorted(kept):
        if not L.final[i]:
            raise Invalid("F2: %s lies over A' and survives peeling, but the certificate "
                          "marks it discarded" % describe(geo, L, i))
    return len(kept)


def main(argv):
    verbose, max_boxes, path = False, 10_000_000, None
    args = list(argv[1:])
    while args:
        arg = args.pop(0)
        if arg in ('-v', '--verbose'):
            verbose = True
        elif arg == '--max-boxes' and args and args[0].isdigit():
            max_boxes = int(args.pop(0))
        elif path is None and not arg.startswith('-'):
            path = arg
        else:
            path = None
            break
    if path is None:
        print("usage: vesk_check.py [--verbose] [--max-boxes N] CERTIFICATE", file=sys.stderr)
        return 2
    start = time.monotonic()

    def say(text):
        if verbose:
            print("  %s (%.2f s)" % (text, time.monotonic() - start), file=sys.stderr)

    try:
        cert = read_certificate(path, max_boxes)
        check(cert, say)
    except OSError as e:
        print("invalid: cannot read %s: %s" % (path, e.strerror or e))
        return 2
    except Malformed as e:
        print("invalid: %s is not a well-formed certificate: %s" % (path, e))
        return 2
    except Invalid as e:
        print("invalid: %s" % e)
        return 1
    a, b = cert['a'], cert['b']
    print("valid: hyperbolic for a in [%s, %s], b in [%s, %s]"
          % (g17(a[0]), g17(a[1]), g17(b[0]), g17(b[1])))
    say("checked")
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
