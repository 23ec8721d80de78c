function test_vesk_build (outdir)
  % vesk_build compiles both modules with `mex` into a fresh folder; from
  % there, a tree made by that vesk_tree is proved hyperbolic on the
  % horseshoe box by that henon_hyperbolic (one registry of handles between
  % the two modules, though each carries its own copy of the library).
  if (exist (outdir, 'dir'))
    confirm_recursive_rmdir (false, 'local');
    rmdir (outdir, 's');
  end
  old_flags = getenv ('CXXFLAGS');
  built = vesk_build (outdir);
  assert (getenv ('CXXFLAGS'), old_flags);
  assert (strcmp (built, canonicalize_file_name (outdir)));
  addpath (built);
  for name = {'henon_hyperbolic', 'vesk_tree'}
    assert (strcmp (which (name{1}), fullfile (built, [name{1} '.mex'])), ...
            'test_vesk_build: %s is not the one just built', name{1});
    assert (exist (fullfile (built, [name{1} '.m']), 'file') == 2);
  end
  % Only the modules and their help are left behind.
  left = dir (built);
  left = sort ({left(! [left.isdir]).name});
  assert (isequal (left, sort ({'henon_hyperbolic.m', 'henon_hyperbolic.mex', ...
                                 'vesk_tree.m', 'vesk_tree.mex'})));

  % Whatever else is found under the registry's global name is not
  % followed (address 2 would crash): the first module makes a registry and
  % puts its own anchor there.
  global vesk_handle_registry_
  vesk_handle_registry_ = uint64 ([1 2 3]);
  t = vesk_tree ('new', [0 0 0 0], [3.25 3.25 2 2]);
  assert (vesk_tree ('live') == 1);
  assert (class (vesk_handle_registry_), 'uint64');
  assert (vesk_handle_registry_(2) != 2);
  % The registry outlives the module that made it.
  clear vesk_tree
  out = evalc ('r = henon_hyperbolic (t, [5.9 0.29], [6.1 0.31], ''loop'');');
  assert (r, 1);
  assert (! isempty (strfind (out, sprintf ("Hyperbolic!\n"))));
  assert (vesk_tree ('depth', t) > 0);
  assert (rows (vesk_tree ('boxes', t)) > 0);
  % Each module has its own copy of the library, and so its own store of
  % free boxes: boxes made by one and freed by the other must go back where
  % they came from. Trees grown by vesk_tree, pruned and grown further by
  % henon_hyperbolic (a = 1.4 is not proven, and its set stays large), and
  % freed by vesk_tree, round after round: the threads' stores overflow
  % with the other module's boxes both ways.
  for round = 1:2
    u = vesk_tree ('new', [0 0 0 0], [2 2 2 2]);
    vesk_tree ('subdivide', u, 14);
    assert (vesk_tree ('count', u), 16384);
    evalc ('r = henon_hyperbolic (u, [1.4 0.3], [1.4 0.3], ''loop'', 26);');
    assert (r, 0);
    assert (vesk_tree ('depth', u), 26);
    assert (vesk_tree ('count', u) > 10000);
    vesk_tree ('free', u);
  end
  vesk_tree ('free', t);
  assert (vesk_tree ('live') == 0);
  % A freed tree is refused by the other module, not followed.
  expect_error (@() henon_hyperbolic (t, [5.9 0.29], [6.1 0.31], 'once'), ...
                'has been freed', 'vesk:freedTree');
  printf ('test_vesk_build: all passed\n');
end
