% HENON_HYPERBOLIC  Prove that the Henon map is hyperbolic on its chain recurrent set.
%
%   r = henon_hyperbolic (tree, paramLo, paramHi, option)
%
%   The map is H(x, y) = (a - x^2 + b*y, x), with a in [aLo, aHi] and b in
%   [bLo, bHi]; all images are enclosed with rigorous interval arithmetic.
%
%   tree     a lifted tree of dimension 4 made by vesk_tree: coordinates 1
%            and 2 are the state (x, y), coordinates 3 and 4 the tangent
%            vector (u, v), on which the map acts through its derivative.
%            The tree is edited in place and stays yours (free it with
%            vesk_tree ('free', tree)).
%   paramLo  [aLo bLo], the lower ends of the parameter intervals.
%   paramHi  [aHi bHi], the upper ends.
%   option   'once': one test of the tree at its current depth, nothing
%            printed; r is 1 when hyperbolicity follows, else 0.
%            Anything else: refine the tree one level per pass, printing
%            the height and the number of leaves before each pass, until
%            a pass succeeds ("Hyperbolic!", r = 1). The loop stops with
%            r = 0 only when the tree cannot be refined further (height
%            255, or boxes whose bounds would no longer be exact doubles:
%            choose a center and radius with few binary digits, like 3.25).
%
%   Each pass keeps the boxes over the chain recurrent set of the map, then
%   the invariant boxes of the tangent lift, and then tests the cone
%   condition (2 r + |c| < 1 on the tangent coordinates of every box).
%
%   Example:
%     t = vesk_tree ('new', [0 0 0 0], [3.25 3.25 2 2]);
%     r = henon_hyperbolic (t, [5.9 0.29], [6.1 0.31], 'loop')
%     vesk_tree ('free', t);
%
%   See also vesk_tree, example_horseshoe.


function varargout = henon_hyperbolic (varargin)
  % This file carries the help text; calls go to henon_hyperbolic.mex in the same
  % directory, which takes precedence over it.
  error ('henon_hyperbolic: henon_hyperbolic.mex is missing next to this file; run make.');
end
