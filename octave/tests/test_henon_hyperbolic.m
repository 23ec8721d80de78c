function test_henon_hyperbolic ()
  % Tests of the henon_hyperbolic module: once and loop mode, the console
  % lines, the option, and every malformed call.
  live0 = vesk_tree ('live');
  once_mode ();
  loop_mode ();
  option_selects_mode ();
  depth_bound ();
  memory_budget ();
  bad_calls ();
  unsound_inputs ();
  assert (vesk_tree ('live'), live0, 'trees leaked by the tests');
  printf ('test_henon_hyperbolic: all passed\n');
end

% Horseshoe parameters, and parameters for which every orbit leaves the
% domain (its image lies far to the left of it; the domain of such trees
% has state radius 4, which holds the square of bounded orbits).
function [lo, hi] = horseshoe ()
  lo = [5.9 0.29];
  hi = [6.1 0.31];
end

function [lo, hi] = escape ()
  lo = [-10 0.29];
  hi = [-9.9 0.31];
end

function t = lifted (tangent_radius, k, state_radius)
  if (nargin < 3)
    state_radius = 3.25;
  end
  t = vesk_tree ('new', [0 0 0 0], [state_radius state_radius tangent_radius tangent_radius]);
  vesk_tree ('subdivide', t, k);
end

% 1 when every box passes the cone condition 2 r + |c| < 1 on the tangent
% coordinates (columns 3, 4 of the centers and 7, 8 of the radii).
function ok = cone_holds (B)
  ok = all (all (2 * B(:, 7:8) + abs (B(:, 3:4)) < 1));
end

function once_mode ()
  [hlo, hhi] = horseshoe ();
  [elo, ehi] = escape ();

  % Nothing is chain recurrent: the analyses remove every box.
  t = lifted (2, 4, 4);
  out = evalc ('r = henon_hyperbolic (t, elo, ehi, ''once'');');
  assert (r, 1);
  assert (out, '');
  assert (isempty (vesk_tree ('boxes', t, 4)));
  vesk_tree ('free', t);

  % The cone test fails on boxes of tangent radius 1.
  t = lifted (2, 4);
  out = evalc ('r = henon_hyperbolic (t, hlo, hhi, ''once'');');
  assert (r, 0);
  assert (out, '');
  B = vesk_tree ('boxes', t);
  assert (rows (B) > 0 && ! cone_holds (B));
  assert (vesk_tree ('depth', t) <= 4, 'once mode must not subdivide');
  vesk_tree ('free', t);

  % Boxes around the zero section with tangent radius 0.25 survive the
  % analyses and pass the cone test.
  t = lifted (2, 12);
  out = evalc ('r = henon_hyperbolic (t, hlo, hhi, ''once'');');
  assert (r, 1);
  assert (out, '');
  B = vesk_tree ('boxes', t);
  assert (rows (B) > 0 && cone_holds (B));
  assert (class (r), 'double');
  assert (size (r), [1 1]);
  vesk_tree ('free', t);
end

function loop_mode ()
  [lo, hi] = horseshoe ();
  t = lifted (2, 3);  % full tree of height 3: 8 leaves
  out = evalc ('r = henon_hyperbolic (t, lo, hi, ''loop'');');
  assert (r, 1);
  lines = strsplit (out, "\n");
  assert (lines{end}, '');
  lines(end) = [];
  assert ([lines{1} "\n"], sprintf ("detph  3:\t #cubs =       8\n"));
  assert (lines{end}, 'Hyperbolic!');
  % One line per pass, each one level deeper than the one before.
  for p = 1:numel (lines) - 1
    tok = regexp (lines{p}, "^detph ([ \\d]\\d):\t #cubs = ([ \\d]{6}\\d)$", 'tokens', 'once');
    assert (numel (tok), 2, sprintf ('malformed line "%s"', lines{p}));
    assert (str2double (tok{1}), 2 + p);
  end
  % The tree keeps the boxes of the last pass; they pass the cone test.
  B = vesk_tree ('boxes', t);
  assert (rows (B) > 0 && cone_holds (B));
  assert (vesk_tree ('depth', t), 2 + numel (lines));
  vesk_tree ('free', t);

  % Boxes whose bounds are no longer exact doubles are refused.
  t = path_tree (255);
  B0 = vesk_tree ('boxes', t);
  expect_error (@() henon_hyperbolic (t, lo, hi, 'loop'), ...
                'do not have exact double bounds at its depth 255', 'vesk:inexact');
  assert (isequal (vesk_tree ('boxes', t), B0));
  vesk_tree ('free', t);
end

% The fifth argument bounds the depth of loop mode.
function depth_bound ()
  t = vesk_tree ('new', [0 0 0 0], [2.0625 2.0625 2 2]);
  out = evalc ('r = henon_hyperbolic (t, [1.4 0.3], [1.4 0.3], ''loop'', 12);');
  assert (r, 0);
  lines = strsplit (out, "\n");
  assert (numel (lines), 14);
  for d = 0:11
    assert (strncmp (lines{d + 1}, sprintf ("detph %2d:\t #cubs = ", d), 15), lines{d + 1});
  end
  assert (lines{13}, 'not proven up to depth 12');
  assert (vesk_tree ('depth', t), 12);
  % A bound the tree has reached runs no pass; [] is no bound.
  assert (evalc ('r = henon_hyperbolic (t, [1.4 0.3], [1.4 0.3], ''loop'', 12);'), ...
          sprintf ("not proven up to depth 12\n"));
  assert (r, 0);
  for bad = {-1, 1.5, 11, 256, 'x', [12 13], NaN}
    expect_error (@() henon_hyperbolic (t, [1.4 0.3], [1.4 0.3], 'loop', bad{1}), ...
                  'depth bound', 'vesk:badDepth');
  end
  vesk_tree ('free', t);
  [lo, hi] = horseshoe ();
  t = lifted (2, 3);
  assert (evalc ('henon_hyperbolic (t, lo, hi, ''loop'', []);')(end-11:end), "Hyperbolic!\n");
  vesk_tree ('free', t);
end

% The sixth argument bounds the memory: the loop stops before a pass that
% would not fit, with the tree as the last pass left it.
function memory_budget ()
  t = vesk_tree ('new', [0 0 0 0], [2.0625 2.0625 2 2]);
  out = evalc ('r = henon_hyperbolic (t, [1.4 0.3], [1.4 0.3], ''loop'', [], 12e6);');
  assert (r, 0);
  lines = strsplit (strtrim (out), "\n");
  tok = regexp (lines{end}, '^not proven up to depth (\d+): the next pass needs about .* available$', ...
                'tokens', 'once');
  assert (! isempty (tok), lines{end});
  depth = str2double (tok{1});
  assert (depth > 8 && vesk_tree ('depth', t) == depth);
  assert (numel (lines), depth + 1);
  % The same tree goes on where it stopped with a larger budget.
  out = evalc ('r = henon_hyperbolic (t, [1.4 0.3], [1.4 0.3], ''loop'', depth + 1, 1e9);');
  assert (strncmp (out, sprintf ("detph %2d:", depth), 9), out);
  for bad = {0, -5, 'x', [1 2]}
    expect_error (@() henon_hyperbolic (t, [1.4 0.3], [1.4 0.3], 'loop', [], bad{1}), ...
                  'memory budget', 'vesk:badMemory');
  end
  vesk_tree ('free', t);
end

% Inputs that would prove what is false: each is refused with a host error
% that says why, before the tree is touched.
function unsound_inputs ()
  saddle_node = {[-0.1225 0.3], [-0.1225 0.3]};
  attractor = {[1.4 0.3], [1.4 0.3]};
  cases = {
    % center, radius, parameters, message, identifier
    [0 0 0 0], [1.5 1.5 0.25 0.25], saddle_node, 'radius of at least 1', 'vesk:badTangentDomain';
    [0 0 0 0], [2.0625 2.0625 0.75 0.75], attractor, 'radius of at least 1', 'vesk:badTangentDomain';
    [0 0 0 0], [2.0625 2.0625 0.5 0.5], attractor, 'radius of at least 1', 'vesk:badTangentDomain';
    [0 0 8 8], [2.0625 2.0625 2 2], attractor, 'center 0', 'vesk:badTangentDomain';
    [0 0 0 0], [3 2.5 2 2], attractor, 'x and y must share one grid', 'vesk:badGrid';
    [0 0 0 0], [3 3 2 4], attractor, 'u and v must share one grid', 'vesk:badGrid';
    [0 0.5 0 0], [3 3 2 2], attractor, 'x and y must share one grid', 'vesk:badGrid';
    [0.5 0.5 0 0], [0.25 0.25 2 2], attractor, 'must contain the square', 'vesk:badStateDomain';
    [0 0 0 0], [2.0625 2.0625 2 2], {[1.4 0.3], [1.2 0.3]}, 'lower end above', 'vesk:badParameters';
    [0 0 0 0], [2.0625 2.0625 2 2], {[1.4 0.3], [1.4 0.2]}, 'lower end above', 'vesk:badParameters';
    [0 0 0 0], [2.0625 2.0625 2 2], {[NaN 0.3], [1.4 0.3]}, 'finite ends', 'vesk:badParameters';
    [0 0 0 0], [2.0625 2.0625 2 2], {[1.4 0.3], [Inf 0.3]}, 'finite ends', 'vesk:badParameters';
    [0 0 0 0], [2.0625 2.0625 2 2], {[1.4 -Inf], [1.4 0.3]}, 'finite ends', 'vesk:badParameters';
  };
  for k = 1:rows (cases)
    [c, r, p, says, id] = cases{k, :};
    t = vesk_tree ('new', c, r);
    vesk_tree ('subdivide', t, 2);
    B0 = vesk_tree ('boxes', t);
    for opt = {'once', 'loop'}
      expect_error (@() henon_hyperbolic (t, p{1}, p{2}, opt{1}), says, id);
      assert (isequal (vesk_tree ('boxes', t), B0), sprintf ('case %d changed the tree', k));
    end
    vesk_tree ('free', t);
  end

  % A tree whose leaves lie at depths 1 and 2, from a tree file: the
  % analyses would look at depth 2 only.
  t = tree_from_stream ([2.0625 2.0625 2 2], ...
                        [1 0 0, 1 1 0, 1 0 0 0 0, 1 0 0 0 0, 1 0 0 0 0], 5);
  for opt = {'once', 'loop'}
    expect_error (@() henon_hyperbolic (t, [1.4 0.3], [1.4 0.3], opt{1}), ...
                  'lie at different depths (2 and 1)', 'vesk:unevenTree');
  end
  vesk_tree ('free', t);
  % A tree file whose root is split along y: the table read back from its
  % leftmost path bisects y first, so y-cells would not cover x-cells.
  t = tree_from_stream ([2.0625 2.0625 2 2], [1 1 0, 1 0 0 0 0, 1 0 0 0 0], 3);
  expect_error (@() henon_hyperbolic (t, [1.4 0.3], [1.4 0.3], 'once'), ...
                'bisects y more often than x at depth 1', 'vesk:badSplits');
  vesk_tree ('free', t);
  % A box off the leftmost path that is split along u where the table says y.
  leaf = [1 0 0 0 0];
  t = tree_from_stream ([2.0625 2.0625 2 2], [1 0 0, 1 1 0, leaf, leaf, 1 2 0, leaf, leaf], 7);
  expect_error (@() henon_hyperbolic (t, [1.4 0.3], [1.4 0.3], 'once'), ...
                'split along coordinate 2, but the split table of the tree gives coordinate 1', ...
                'vesk:badSplits');
  vesk_tree ('free', t);
end

% A 4-dimensional tree over 0 +- radius read from a tree file with this box
% stream of that many boxes (3 bytes a box, 0 for a missing child).
function t = tree_from_stream (radius, stream, boxes)
  file = [tempname() '.tree'];
  fid = fopen (file, 'w');
  fprintf (fid, "Tree at 0x1:\nRectangle at 0x2:\n  dim = 4\n  center = 0 0 0 0 \n");
  fprintf (fid, "  radius = %.17g %.17g %.17g %.17g \n", radius);
  fprintf (fid, "  no of boxes = %d\n", boxes);
  fwrite (fid, stream, 'uint8');
  fclose (fid);
  t = vesk_tree ('load', file);
  delete (file);
end

% A lifted tree that is one path of the given height (each box's lower
% child only), read from a tree file.
function t = path_tree (height)
  file = [tempname() '.tree'];
  fid = fopen (file, 'w');
  fprintf (fid, "Tree at 0x1:\nRectangle at 0x2:\n  dim = 4\n");
  fprintf (fid, "  center = 0 0 0 0 \n  radius = 3.25 3.25 2 2 \n  no of boxes = %d\n", ...
           height + 1);
  inner = reshape ([ones(1, height); mod(0:height - 1, 4); zeros(1, height)], 1, []);
  fwrite (fid, [inner, 1 0 0 0 0, zeros(1, height)], 'uint8');
  fclose (fid);
  t = vesk_tree ('load', file);
  delete (file);
  assert (vesk_tree ('depth', t), height);
  assert (vesk_tree ('count', t), 1);
end

function option_selects_mode ()
  [lo, hi] = escape ();
  loop_out = sprintf ("detph  2:\t #cubs =       4\nHyperbolic!\n");
  options = {'once', 'Once', 'ONCE', 'once ', ' once', 'onc', 'oncex', 'onceoncex', ...
             'onceonceonce', '', 'loop', 5, {'once'}, 'on'};
  modes = [1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0];
  for k = 1:numel (options)
    t = lifted (2, 2, 4);
    opt = options{k};
    out = evalc ('r = henon_hyperbolic (t, lo, hi, opt);');
    assert (r, 1);
    if (modes(k))
      assert (out, '', sprintf ('option %d printed in once mode', k));
      assert (vesk_tree ('depth', t) <= 2);
    else
      assert (out, loop_out, sprintf ('option %d did not select loop mode', k));
    end
    vesk_tree ('free', t);
  end
  % Once mode ignores a fifth argument.
  t = lifted (2, 2, 4);
  assert (evalc ('henon_hyperbolic (t, lo, hi, ''once'', 17);'), '');
  vesk_tree ('free', t);
end

function bad_calls ()
  [lo, hi] = horseshoe ();
  t = lifted (2, 3);
  B0 = vesk_tree ('boxes', t);
  unchanged = @() assert (isequal (vesk_tree ('boxes', t), B0), 'the tree changed');

  expect_error (@() henon_hyperbolic (), 'expected four arguments', 'vesk:nargin');
  expect_error (@() henon_hyperbolic (t, lo, hi), 'expected four arguments', 'vesk:nargin');
  unchanged ();

  % The tree argument.
  expect_error (@() henon_hyperbolic (7, lo, hi, 'once'), 'must be a tree struct', ...
                'vesk:notATree');
  expect_error (@() henon_hyperbolic (struct ('tree', t.handle), lo, hi, 'once'), ...
                'must be a tree struct', 'vesk:notATree');
  expect_error (@() henon_hyperbolic (struct ('handle', {}), lo, hi, 'once'), ...
                'must be a tree struct', 'vesk:notATree');
  expect_error (@() henon_hyperbolic (struct ('handle', int8 (1)), lo, hi, 'once'), ...
                'at least 8 bytes', 'vesk:badHandle');
  expect_error (@() henon_hyperbolic (struct ('handle', []), lo, hi, 'once'), ...
                'at least 8 bytes', 'vesk:badHandle');
  expect_error (@() henon_hyperbolic (struct ('handle', {{t.handle}}), lo, hi, 'once'), ...
                'at least 8 bytes', 'vesk:badHandle');
  expect_error (@() henon_hyperbolic (struct ('handle', uint64 (0)), lo, hi, 'once'), ...
                'Tree: tree is empty.');
  expect_error (@() henon_hyperbolic (struct ('handle', 0), lo, hi, 'loop'), ...
                'Tree: tree is empty.');
  expect_error (@() henon_hyperbolic (struct ('handle', t.handle + 1), lo, hi, 'once'), ...
                'does not refer to a tree of this session', 'vesk:foreignHandle');
  expect_error (@() henon_hyperbolic (struct ('handle', uint64 (123456789)), lo, hi, 'once'), ...
                'does not refer to a tree of this session', 'vesk:foreignHandle');
  unchanged ();

  % A freed tree, reached through a copy of its handle.
  u = lifted (2, 3);
  v = u;
  vesk_tree ('free', u);
  expect_error (@() henon_hyperbolic (v, lo, hi, 'once'), 'has been freed', 'vesk:freedTree');

  % Trees that do not fit the planar maps.
  for dim = [1 2 3 5]
    w = vesk_tree ('new', zeros (1, dim), ones (1, dim));
    vesk_tree ('subdivide', w, 2);
    W0 = vesk_tree ('boxes', w);
    expect_error (@() henon_hyperbolic (w, lo, hi, 'loop'), ...
                  sprintf ('must have dimension 4 (x, y, u, v); this one has %d', dim), ...
                  'vesk:badDimension');
    assert (isequal (vesk_tree ('boxes', w), W0));
    vesk_tree ('free', w);
  end

  % A tree taller than the verification handles.
  deep = path_tree (256);
  D0 = vesk_tree ('boxes', deep);
  expect_error (@() henon_hyperbolic (deep, lo, hi, 'loop'), ...
                'has height 256 or more; the verification handles at most 255', 'vesk:tooDeep');
  assert (isequal (vesk_tree ('boxes', deep), D0));
  vesk_tree ('free', deep);

  % The parameter arrays.
  bad = {6, [], single([6 0.3]), [6+1i 0.3], int32([6 0]), 'ab', sparse([6 0.3]), {6, 0.3}};
  for k = 1:numel (bad)
    expect_error (@() henon_hyperbolic (t, bad{k}, hi, 'once'), ...
                  'lower parameter ends must be a real double array of at least two', ...
                  'vesk:badParameters');
    expect_error (@() henon_hyperbolic (t, lo, bad{k}, 'loop'), ...
                  'upper parameter ends must be a real double array of at least two', ...
                  'vesk:badParameters');
  end
  unchanged ();
  % Column vectors and longer arrays are fine: entries 1 and 2 are read.
  assert (henon_hyperbolic (t, lo', [hi 99], 'once'), 0);
  vesk_tree ('free', t);
end
