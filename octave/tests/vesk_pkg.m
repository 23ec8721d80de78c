function vesk_pkg (action, tarball)
  % vesk_pkg ('install', tarball), vesk_pkg ('load'), vesk_pkg ('uninstall'):
  % the Octave package as its users get it, for the tests. The session's
  % HOME and XDG folders point to a temporary directory, so the user prefix
  % of pkg lies there; -local, because as root pkg would install for all
  % users.
  switch (action)
    case 'install'
      assert (isempty (pkg ('list')), 'packages are installed already for %s', getenv ('HOME'));
      pkg ('install', '-local', tarball);
      v = the_package ();
      printf ('vesk_pkg: installed vesk %s in %s\n', v.version, v.dir);

    case 'load'
      pkg ('load', 'vesk');
      % Everything comes from the installed package: nothing else is on the
      % path that could provide it.
      v = the_package ();
      for f = {'henon_hyperbolic', 'vesk_tree', 'example_horseshoe'}
        where = which (f{1});
        assert (strncmp (where, [v.dir filesep], numel (v.dir) + 1) ...
                || strncmp (where, [v.archprefix filesep], numel (v.archprefix) + 1), ...
                '%s comes from "%s", not from the package in %s', f{1}, where, v.dir);
      end

    case 'uninstall'
      v = the_package ();
      pkg ('uninstall', '-local', 'vesk');
      assert (isempty (pkg ('list')), 'pkg list still shows a package');
      assert (! isfolder (v.dir) && ! isfolder (v.archprefix), ...
              'pkg uninstall left %s behind', v.dir);
      % Not a file is left in the prefix or in the package list's folder.
      for root = {getenv('XDG_DATA_HOME'), getenv('XDG_CONFIG_HOME')}
        [status, left] = system (sprintf ('find "%s" -type f', root{1}));
        assert (status == 0 && isempty (strtrim (left)), 'left behind:\n%s', left);
      end
      printf ('vesk_pkg: uninstalled; nothing left in %s\n', getenv ('HOME'));

    otherwise
      error ('vesk_pkg: unknown action "%s"', action);
  end
end

% The one package installed: vesk.
function v = the_package ()
  list = pkg ('list');
  assert (numel (list) == 1 && strcmp (list{1}.name, 'vesk'), ...
          'expected vesk alone to be installed');
  v = list{1};
end
