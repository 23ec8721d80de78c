function test_memory_limit ()
  % Run under ulimit -v: a subdivision that would not fit is refused with an
  % error, and the session and its trees go on.
  t = vesk_tree ('new', [0 0 0 0], [2 2 2 2]);
  expect_error (@() vesk_tree ('subdivide', t, 24), 'more than the', 'vesk:outOfMemory');
  assert (vesk_tree ('count', t), 1);
  vesk_tree ('subdivide', t, 12);
  assert (vesk_tree ('count', t), 4096);
  r = henon_hyperbolic (t, [1.4 0.3], [1.4 0.3], 'once');
  assert (r, 0);
  vesk_tree ('free', t);
  printf ('test_memory_limit: all passed\n');
end
