function test_example_horseshoe ()
  % The example script proves the horseshoe case, frees its tree, and
  % plots or explains why it cannot, also without a display.
  live0 = vesk_tree ('live');
  out = evalc ('example_horseshoe');
  assert (! isempty (strfind (out, sprintf ("detph  0:\t #cubs =       1\n"))));
  assert (! isempty (strfind (out, sprintf ("Hyperbolic!\n"))));
  assert (! isempty (regexp (out, 'henon_hyperbolic returned 1; [1-9]\d* boxes', 'once')));
  assert (! isempty (regexp (out, 'The plot is|plot is skipped', 'once')));
  assert (vesk_tree ('live'), live0);
  printf ('test_example_horseshoe: all passed\n');
end
