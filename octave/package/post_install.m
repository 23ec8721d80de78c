## post_install (desc): run by `pkg install` once the package's files are in
## place. The modules (.mex) land in the architecture-dependent folder, the
## help files (.m) in the package folder; Octave reads the help of a MEX
## function from the .m file beside it, so the help files move next to the
## modules.
function post_install (desc)
  mex = dir (fullfile (desc.archprefix, '*', 'henon_hyperbolic.mex'));
  if (numel (mex) != 1)
    error ('vesk: henon_hyperbolic.mex is not in %s/*/: the modules were not installed', ...
           desc.archprefix);
  end
  for name = {'henon_hyperbolic.m', 'vesk_tree.m'}
    [ok, msg] = movefile (fullfile (desc.dir, name{1}), mex.folder);
    if (! ok)
      error ('vesk: cannot move the help file %s next to the modules: %s', name{1}, msg);
    end
  end
end
