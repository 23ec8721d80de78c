function outdir = vesk_build (outdir)
% VESK_BUILD  Build the MEX modules henon_hyperbolic and vesk_tree with `mex`.
%
%   vesk_build            builds into the folder vesk_mex in the current folder
%   vesk_build (OUTDIR)   builds into OUTDIR (made when missing)
%   D = vesk_build (...)  returns the absolute path of the folder
%
%   Compiles the library (tree/, io/, map/, analysis/, gateway/driver*.cpp)
%   and the registry of tree handles once with `mex -c`, then links each
%   module from its own source and those objects:
%
%     henon_hyperbolic   gateway/mex_gateway.cpp
%     vesk_tree          octave/vesk_tree_mex.cpp
%
%   and copies their help files (octave/help) beside them. Put OUTDIR on the
%   path (addpath) to use them; the folder can be moved as a whole.
%
%   Only the `mex` command forms that MATLAB and Octave share are used: -c,
%   -I, and source or object files, run in the output folder (each module is
%   named after its first source file). The compiler flags reach the
%   compiler as Octave's mex takes them (the environment variable CXXFLAGS)
%   and as MATLAB's mex takes them (an argument CXXFLAGS="..."). The flags
%   are those of the CMake build: C++20, -frounding-math, no fast math, no
%   contraction of floating-point operations, SSE2 arithmetic on x86; the
%   compiler must be GCC or Clang (the interval code and the AVX2 kernels
%   of map/henon_batch.cpp, chosen at run time, need them).
%
%   Each module built this way carries its own copy of the library (the
%   CMake build and the Octave package link both to one shared library).
%   The two share one registry of tree handles all the same, so a tree made
%   by vesk_tree is known to henon_hyperbolic: the first module to need it
%   leaves its address in the global variable vesk_handle_registry_. Leave
%   that variable alone: after `clear all` (or `clear global`) the trees
%   made before are refused as unknown handles, never read, and stay
%   allocated until Octave or MATLAB exits.
%
%   Tested under Octave's mex; not tested in MATLAB itself.

  here = fileparts (mfilename ('fullpath'));
  root = fileparts (here);
  if (nargin < 1 || isempty (outdir))
    outdir = fullfile (pwd, 'vesk_mex');
  end
  if (~ exist (outdir, 'dir'))
    [ok, msg] = mkdir (outdir);
    if (~ ok)
      error ('vesk_build: cannot make %s: %s', outdir, msg);
    end
  end
  olddir = cd (outdir);
  outdir = pwd;
  cleanup_dir = onCleanup (@() cd (olddir));

  flags = '-std=c++20 -O2 -Wall -Wextra -pthread -frounding-math -fno-fast-math -ffp-contract=off';
  host = computer ();
  if (~ isempty (regexp (host, '^(x86_64|i[3-6]86)', 'once')) ...
      || any (strcmp (host, {'GLNXA64', 'PCWIN64', 'MACI64'})))
    flags = [flags ' -msse2 -mfpmath=sse'];
  end
  in_octave = exist ('OCTAVE_VERSION', 'builtin') ~= 0;
  if (in_octave)
    old_flags = getenv ('CXXFLAGS');
    setenv ('CXXFLAGS', flags);
    cleanup_env = onCleanup (@() restore_env ('CXXFLAGS', old_flags));
    flag_args = {};
  else
    % MATLAB's mex adds the API version query to every module itself.
    flag_args = {['CXXFLAGS=$CXXFLAGS ' flags], '-DVESK_MEX_HOST_API_VERSION'};
  end
  include = ['-I' root];

  % The library and the registry, compiled once.
  sources = {};
  for d = {'tree', 'io', 'map', 'analysis'}
    sources = [sources, list_sources(fullfile (root, d{1}), '*.cpp')];
  end
  sources = [sources, list_sources(fullfile (root, 'gateway'), 'driver*.cpp'), ...
             {fullfile(root, 'octave', 'handle_registry.cpp')}];
  if (ispc ())
    objext = '.obj';
  else
    objext = '.o';
  end
  objects = cell (size (sources));
  for k = 1:numel (sources)
    [~, name] = fileparts (sources{k});
    objects{k} = fullfile (outdir, [name objext]);
  end
  if (numel (unique (objects)) ~= numel (objects))
    error ('vesk_build: two library sources share a file name');
  end
  fprintf ('vesk_build: compiling %d library sources\n', numel (sources));
  mex ('-c', include, '-DVESK_REGISTRY_IN_HOST', flag_args{:}, sources{:});
  for k = 1:numel (objects)
    if (~ exist (objects{k}, 'file'))
      error ('vesk_build: mex -c did not write %s', objects{k});
    end
  end
  cleanup_obj = onCleanup (@() delete_files (objects));

  % Each module is named after its first file: a one-line source of that
  % name includes the module's own source.
  modules = {'henon_hyperbolic', fullfile('gateway', 'mex_gateway.cpp'); ...
             'vesk_tree', fullfile('octave', 'vesk_tree_mex.cpp')};
  for k = 1:rows_of (modules)
    name = modules{k, 1};
    stub = fullfile (outdir, [name '.cpp']);
    fid = fopen (stub, 'w');
    if (fid < 0)
      error ('vesk_build: cannot write %s', stub);
    end
    fprintf (fid, '// Made by vesk_build.m: the module %s.\n#include "%s"\n', ...
             name, strrep (modules{k, 2}, '\', '/'));
    fclose (fid);
    fprintf ('vesk_build: linking %s\n', name);
    try
      mex (include, flag_args{:}, stub, objects{:});
    catch err
      delete (stub);
      rethrow (err);
    end
    delete (stub);
    if (isempty (dir (fullfile (outdir, [name '.' mexext()]))))
      error ('vesk_build: mex did not write %s.%s', name, mexext ());
    end
    copyfile (fullfile (root, 'octave', 'help', [name '.m']), outdir);
  end
  fprintf ('vesk_build: henon_hyperbolic and vesk_tree are in %s\n', outdir);
end

function files = list_sources (folder, pattern)
  entries = dir (fullfile (folder, pattern));
  files = cell (1, numel (entries));
  for k = 1:numel (entries)
    files{k} = fullfile (folder, entries(k).name);
  end
end

function n = rows_of (c)
  n = size (c, 1);
end

function delete_files (files)
  for k = 1:numel (files)
    if (exist (files{k}, 'file'))
      delete (files{k});
    end
  end
end

function restore_env (name, value)
  if (isempty (value))
    unsetenv (name);
  else
    setenv (name, value);
  end
end
