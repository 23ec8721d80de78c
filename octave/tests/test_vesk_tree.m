function test_vesk_tree ()
  % Tests of the vesk_tree module: trees, boxes, files and handle misuse.
  live0 = vesk_tree ('live');
  full_trees ();
  boxes_at_depths ();
  bad_arguments ();
  handle_misuse ();
  files ();
  survives_clear ();
  assert (vesk_tree ('live'), live0, 'trees leaked by the tests');
  printf ('test_vesk_tree: all passed\n');
end

% The leaves of a full tree of height k with the default split table, by
% construction: coordinate i is bisected once per visit of the cycle.
function B = grid_leaves (center, radius, k)
  dim = numel (center);
  splits = arrayfun (@(i) numel (i:dim:k), 1:dim);
  rad = radius ./ 2 .^ splits;
  axes = cell (1, dim);
  for i = 1:dim
    axes{i} = center(i) - radius(i) + (2 * (0:2^splits(i) - 1) + 1) * rad(i);
  end
  grids = cell (1, dim);
  [grids{:}] = ndgrid (axes{:});
  C = cell2mat (cellfun (@(g) g(:), grids, 'UniformOutput', false));
  B = [C, repmat(rad, rows (C), 1), zeros(rows (C), 1)];
end

function full_trees ()
  center = [0.5 -1 2];
  radius = [1 2 0.25];
  t = vesk_tree ('new', center, radius);
  assert (isstruct (t) && isfield (t, 'handle'));
  assert (class (t.handle), 'uint64');
  assert (vesk_tree ('count', t), 1);
  assert (vesk_tree ('depth', t), 0);
  assert (vesk_tree ('boxes', t), [center radius 0]);
  [c, r] = vesk_tree ('domain', t);
  assert (c, center);
  assert (r, radius);
  vesk_tree ('subdivide', t);
  vesk_tree ('subdivide', t, 4);
  assert (vesk_tree ('count', t), 32);
  assert (vesk_tree ('depth', t), 5);
  B = vesk_tree ('boxes', t);
  assert (size (B), [32 7]);
  assert (sortrows (B), sortrows (grid_leaves (center, radius, 5)));
  % The leaves tile the domain.
  assert (sum (prod (2 * B(:, 4:6), 2)), prod (2 * radius));
  vesk_tree ('subdivide', t, 0);
  assert (vesk_tree ('count', t), 32);
  vesk_tree ('free', t);
end

function boxes_at_depths ()
  t = vesk_tree ('new', [0 0], [1 1]);
  vesk_tree ('subdivide', t, 3);
  for d = 0:3
    B = vesk_tree ('boxes', t, d);
    assert (rows (B), 2^d);
    assert (sortrows (B), sortrows (grid_leaves ([0 0], [1 1], d)));
  end
  assert (vesk_tree ('boxes', t, -1), vesk_tree ('boxes', t));
  assert (rows (vesk_tree ('boxes', t, -2)), 4);
  assert (size (vesk_tree ('boxes', t, 4)), [0 5]);
  vesk_tree ('free', t);
end

function bad_arguments ()
  expect_error (@() vesk_tree (), 'must be a command', 'vesk:nargin');
  expect_error (@() vesk_tree (3), 'must be a command', 'vesk:nargin');
  expect_error (@() vesk_tree ('grow'), 'unknown command ''grow''', 'vesk:unknownCommand');
  expect_error (@() vesk_tree ('subdivide_everything'), 'unknown command', 'vesk:unknownCommand');
  expect_error (@() vesk_tree ('new', [0 0]), 'too few arguments', 'vesk:nargin');
  expect_error (@() vesk_tree ('new', [0 0], [1 1 1]), 'the center has 2 entries', ...
                'vesk:badDomain');
  expect_error (@() vesk_tree ('new', [0 0], [1 -1]), ...
                'the radius of coordinate 2 must be positive and finite, not -1', 'vesk:badDomain');
  expect_error (@() vesk_tree ('new', [0 0 0 0], [2 2 0 0]), ...
                'radius of coordinate 3 (u) must be positive', 'vesk:badDomain');
  expect_error (@() vesk_tree ('new', [0 NaN], [1 1]), 'finite', 'vesk:badDomain');
  expect_error (@() vesk_tree ('new', [0 0], [1 Inf]), 'finite', 'vesk:badDomain');
  expect_error (@() vesk_tree ('new', [], []), '1 to 255 entries', 'vesk:badDomain');
  expect_error (@() vesk_tree ('new', zeros (1, 256), ones (1, 256)), '1 to 255', 'vesk:badDomain');
  expect_error (@() vesk_tree ('new', single ([0 0]), [1 1]), 'real double', 'vesk:badDomain');
  expect_error (@() vesk_tree ('new', [0 1i], [1 1]), 'real double', 'vesk:badDomain');
  wide = vesk_tree ('new', zeros (1, 255), ones (1, 255));
  assert (vesk_tree ('count', wide), 1);
  vesk_tree ('free', wide);

  t = vesk_tree ('new', [0 0 0 0], [1 1 1 1]);
  vesk_tree ('subdivide', t, 3);
  B0 = vesk_tree ('boxes', t);
  expect_error (@() vesk_tree ('subdivide', t, -1), 'integer from 0', 'vesk:badArgument');
  expect_error (@() vesk_tree ('subdivide', t, 1.5), 'integer from 0', 'vesk:badArgument');
  expect_error (@() vesk_tree ('subdivide', t, [1 2]), 'real scalar', 'vesk:badArgument');
  expect_error (@() vesk_tree ('subdivide', t, 40), 'at most', 'vesk:tooLarge');
  expect_error (@() vesk_tree ('subdivide', t, 28), 'would make 2147483648 leaves', ...
                'vesk:tooLarge');
  % 2^30 leaves need some 100 GiB: more than the machine has, whatever it is.
  expect_error (@() vesk_tree ('subdivide', t, 27), 'would need about 96 GiB', ...
                'vesk:outOfMemory');
  expect_error (@() vesk_tree ('boxes', t, -3), 'integer from -2', 'vesk:badArgument');
  expect_error (@() vesk_tree ('boxes', t, 2001), 'integer from -2 to 2000', 'vesk:badArgument');
  expect_error (@() vesk_tree ('save', t, 5), 'file name', 'vesk:badArgument');
  assert (vesk_tree ('boxes', t), B0);
  vesk_tree ('free', t);
end

function handle_misuse ()
  t = vesk_tree ('new', [0 0], [1 1]);
  vesk_tree ('subdivide', t, 2);
  u = t;  % a copy refers to the same tree
  vesk_tree ('subdivide', u);
  assert (vesk_tree ('count', t), 8);
  n = vesk_tree ('live');
  vesk_tree ('free', t);
  assert (vesk_tree ('live'), n - 1);
  for cmd = {'count', 'depth', 'boxes', 'subdivide', 'free', 'domain'}
    expect_error (@() vesk_tree (cmd{1}, u), 'refers to a tree that has been freed', ...
                  'vesk:freedTree');
  end
  expect_error (@() vesk_tree ('save', u, tempname ()), 'has been freed', 'vesk:freedTree');

  v = vesk_tree ('new', [0 0], [1 1]);
  forged = struct ('handle', v.handle + 1);
  expect_error (@() vesk_tree ('count', forged), 'does not refer to a tree of this session', ...
                'vesk:foreignHandle');
  expect_error (@() vesk_tree ('free', struct ('handle', uint64 (4096))), ...
                'does not refer to a tree', 'vesk:foreignHandle');
  expect_error (@() vesk_tree ('count', struct ('handle', uint64 (0))), 'Tree: tree is empty.');
  expect_error (@() vesk_tree ('free', struct ('handle', 0)), 'Tree: tree is empty.');
  expect_error (@() vesk_tree ('count', 7), 'must be a tree struct', 'vesk:notATree');
  expect_error (@() vesk_tree ('count', struct ('other', v.handle)), 'must be a tree struct', ...
                'vesk:notATree');
  expect_error (@() vesk_tree ('count', struct ('handle', {})), 'must be a tree struct', ...
                'vesk:notATree');
  expect_error (@() vesk_tree ('count', struct ('handle', uint32 (5))), 'at least 8 bytes', ...
                'vesk:badHandle');
  expect_error (@() vesk_tree ('count', struct ('handle', {{v.handle}})), 'at least 8 bytes', ...
                'vesk:badHandle');
  % Extra data after the address is allowed; the address comes first.
  assert (vesk_tree ('count', struct ('handle', [v.handle uint64(99)])), 1);
  assert (vesk_tree ('count', v), 1);
  vesk_tree ('free', v);
end

function files ()
  t = vesk_tree ('new', [0 0 0 0], [3.25 3.25 2 2]);
  vesk_tree ('subdivide', t, 6);
  % A pruned shape with flags: what a once test leaves behind.
  henon_hyperbolic (t, [5.9 0.29], [6.1 0.31], 'once');
  B = vesk_tree ('boxes', t);
  assert (rows (B) > 0 && rows (B) < 64);
  file = [tempname() '.tree'];
  cleanup = onCleanup (@() delete_if_there (file));
  vesk_tree ('save', t, file);
  u = vesk_tree ('load', file);
  assert (vesk_tree ('boxes', u), B);
  assert (vesk_tree ('depth', u), vesk_tree ('depth', t));
  vesk_tree ('free', u);
  vesk_tree ('free', t);

  fid = fopen (file, 'w');
  fputs (fid, 'this is not a tree file');
  fclose (fid);
  n = vesk_tree ('live');
  expect_error (@() vesk_tree ('load', file), 'is not a tree file', 'vesk:badFile');
  expect_error (@() vesk_tree ('load', [file '.missing']), 'cannot open', 'vesk:io');
  expect_error (@() vesk_tree ('load', 3), 'file name', 'vesk:badArgument');
  % A FIFO without a writer: a plain open for reading waits for one for
  % ever, out of reach of Ctrl-C (the ctest timeout ends this test then).
  fifo = [file '.fifo'];
  [err, msg] = mkfifo (fifo, 600);  % octal digits
  assert (err, 0, msg);
  fifo_cleanup = onCleanup (@() unlink (fifo));
  expect_error (@() vesk_tree ('load', fifo), 'is not a regular file', 'vesk:badFile');
  expect_error (@() vesk_tree ('load', tempdir ()), 'is a directory', 'vesk:badFile');
  assert (vesk_tree ('live'), n);
  v = vesk_tree ('new', [0 0], [1 1]);
  expect_error (@() vesk_tree ('save', v, '/nonexistent-dir/x.tree'), 'cannot create', 'vesk:io');
  vesk_tree ('free', v);
  damaged_files (file);
  save_keeps_the_old_file (file);
end

% A save that cannot complete leaves the file it would replace as it was.
function save_keeps_the_old_file (file)
  t = vesk_tree ('new', [0 0], [1 1]);
  vesk_tree ('subdivide', t, 4);
  vesk_tree ('save', t, file);
  fid = fopen (file, 'r');
  before = fread (fid, Inf, 'uint8');
  fclose (fid);
  vesk_tree ('subdivide', t, 2);
  mkdir ([file '.tmp']);  % where the new content would go first
  expect_error (@() vesk_tree ('save', t, file), 'cannot create', 'vesk:io');
  rmdir ([file '.tmp']);
  fid = fopen (file, 'r');
  assert (fread (fid, Inf, 'uint8'), before);
  fclose (fid);
  u = vesk_tree ('load', file);
  assert (vesk_tree ('count', u), 16);
  vesk_tree ('free', u);
  % Through a link, the file it names is written and the link stays.
  link = [file '.link'];
  symlink (file, link);
  vesk_tree ('save', t, link);
  [~, err] = lstat (link);
  assert (err, 0);
  assert (S_ISLNK (lstat (link).mode));
  u = vesk_tree ('load', file);
  assert (vesk_tree ('count', u), 64);
  vesk_tree ('free', u);
  delete (link);
  vesk_tree ('free', t);
end

% What vesk tree info refuses, vesk_tree ('load') refuses too, and with the
% same words.
function damaged_files (file)
  t = vesk_tree ('new', [0 0 0 0], [2 2 2 2]);
  vesk_tree ('subdivide', t, 3);
  vesk_tree ('save', t, file);
  vesk_tree ('free', t);
  fid = fopen (file, 'r');
  good = fread (fid, Inf, 'uint8=>char')';
  fclose (fid);
  count16 = strrep (good, 'no of boxes = 15', 'no of boxes = 16');
  zero_u = strrep (good, 'radius = 2 2 2 2', 'radius = 2 2 0 2');
  nan_y = strrep (good, 'center = 0 0 0 0', 'center = 0 nan 0 0');
  assert (! strcmp (zero_u, good) && ! strcmp (nan_y, good) && ! strcmp (count16, good));
  cases = {good(1:end-5), 'the box stream ends early'; ...
           [good 'xyz'], '3 bytes follow the box stream'; ...
           count16, 'the header announces 16 boxes but the box stream holds 15'; ...
           zero_u, 'radius of coordinate 3 (u) must be positive and finite, not 0'; ...
           nan_y, 'center of coordinate 2 (y) must be finite'; ...
           '', 'is empty'};
  n = vesk_tree ('live');
  for k = 1:rows (cases)
    fid = fopen (file, 'w');
    fwrite (fid, cases{k, 1});
    fclose (fid);
    expect_error (@() vesk_tree ('load', file), cases{k, 2}, 'vesk:badFile');
  end
  assert (vesk_tree ('live'), n);
end

function delete_if_there (file)
  if (exist (file, 'file'))
    delete (file);
  end
end

function survives_clear ()
  % Handles stay valid when the modules are cleared and loaded again.
  t = vesk_tree ('new', [0 0 0 0], [4 4 2 2]);
  vesk_tree ('subdivide', t, 2);
  clear ('vesk_tree', 'henon_hyperbolic');
  assert (vesk_tree ('count', t), 4);
  r = henon_hyperbolic (t, [-10 0.29], [-9.9 0.31], 'once');
  assert (r, 1);
  vesk_tree ('free', t);
end
