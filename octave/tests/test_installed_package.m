function test_installed_package ()
  % The package after `pkg load vesk`: its version, the help of both
  % modules, the one library they share, and the horseshoe.
  list = pkg ('list', 'vesk');
  v = list{1};
  here = fileparts (mfilename ('fullpath'));
  assert (v.version, strtrim (fileread (fullfile (here, '..', '..', 'VERSION'))));

  % Octave reads the help of a MEX function from the .m file beside it.
  for f = {'henon_hyperbolic', 'vesk_tree'}
    [text, format] = get_help_text (f{1});
    assert (format, 'plain text');
    assert (! isempty (strfind (text, upper (f{1}))), 'no help for %s', f{1});
  end

  % The horseshoe, on a tree made by the other module.
  t = vesk_tree ('new', [0 0 0 0], [3.25 3.25 2 2]);
  out = evalc ('r = henon_hyperbolic (t, [5.9 0.29], [6.1 0.31], ''loop'');');
  printf ('%s', out);
  assert (r, 1);
  assert (strncmp (out, sprintf ("detph  0:\t #cubs =       1\n"), 22), out);
  assert (numel (out) >= 12 && strcmp (out(end-11:end), sprintf ("Hyperbolic!\n")), out);
  vesk_tree ('free', t);

  % Both modules run on one copy of libvesk_octave.so, the package's.
  libs = unique (regexp (fileread ('/proc/self/maps'), '/\S*libvesk_octave\.so', 'match'));
  assert (numel (libs), 1, strjoin (libs, ', '));
  assert (strncmp (libs{1}, [v.archprefix filesep], numel (v.archprefix) + 1), libs{1});
  printf ('test_installed_package: all passed\n');
end
