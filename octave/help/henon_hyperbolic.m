% HENON_HYPERBOLIC  Prove that the Henon map is hyperbolic on its chain recurrent set.
%
%   r = henon_hyperbolic (tree, paramLo, paramHi, option)
%   r = henon_hyperbolic (tree, paramLo, paramHi, option, maxDepth)
%   r = henon_hyperbolic (tree, paramLo, paramHi, option, maxDepth, maxMemory)
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
%            r = 0 at maxDepth ("not proven up to depth N"), or when the
%            boxes' bounds would no longer be exact doubles.
%   maxDepth loop mode only: the largest height to refine to, a whole
%            number from the tree's height to 255 ([] or none: no bound).
%   maxMemory bytes the call may use on top of what the session holds
%            ([] or none: what the system allows, the smaller of ulimit -v
%            and the physical memory available). A pass that would need more
%            is not started: loop mode prints "not proven up to depth N: the
%            next pass needs about X, more than the Y available" and returns
%            0 with the tree as the last pass left it; once mode returns 0
%            with a warning. An allocation that fails all the same raises
%            the error vesk:outOfMemory; the tree stays usable.
%
%   What can be verified. The call is refused with an error that says why,
%   and the tree is left as it was, unless:
%     - the parameter ends are finite and aLo <= aHi, bLo <= bHi (an empty
%       parameter box would prove anything);
%     - every center is finite and every radius positive and finite;
%     - x and y have the same center and radius, and so do u and v (the
%       tangent lift gives the image's y and v as midpoints of x and u);
%     - u and v have center 0 and a radius of at least 1 (the cone test
%       proves hyperbolicity only when every bounded tangent orbit, scaled
%       up, fits in the tangent domain and reaches |u| >= 1 there; 2 is the
%       usual radius);
%     - the state domain contains the square |x|, |y| <= R that holds every
%       bounded orbit, R = (1 + |b| + sqrt((1 + |b|)^2 + 4|a|)) / 2 with |a|
%       and |b| at their largest (orbits that leave the domain are dropped,
%       so a smaller domain could miss part of the chain recurrent set);
%     - all leaves of the tree lie at one depth, every box is split along
%       the coordinate the tree's split table gives for its depth, and the
%       table bisects y no more often than x and v no more often than u
%       (a tree loaded from a file keeps its table only along its leftmost
%       path);
%     - the box bounds are exact doubles down to the depth in hand (choose
%       a center and radius with few binary digits, like 3.25).
%   The error identifiers are vesk:badParameters, vesk:badDomain,
%   vesk:badGrid, vesk:badTangentDomain, vesk:badStateDomain,
%   vesk:unevenTree, vesk:badSplits, vesk:tooDeep, vesk:inexact,
%   vesk:badDepth, vesk:badMemory and vesk:badDimension.
%
%   Each pass keeps the boxes over the chain recurrent set of the map, then
%   the invariant boxes of the tangent lift, and then tests the cone
%   condition (2 r + |c| < 1 on the tangent coordinates of every box).
%
%   Example:
%     t = vesk_tree ('new', [0 0 0 0], [3.25 3.25 2 2]);
%     r = henon_hyperbolic (t, [5.9 0.29], [6.1 0.31], 'loop')
%     u = vesk_tree ('new', [0 0 0 0], [2.0625 2.0625 2 2]);
%     r = henon_hyperbolic (u, [1.4 0.3], [1.4 0.3], 'loop', 12)   % r = 0
%     vesk_tree ('free', t); vesk_tree ('free', u);
%
%   See also vesk_tree, example_horseshoe.


function varargout = henon_hyperbolic (varargin)
  % This file carries the help text; calls go to henon_hyperbolic.mex in the same
  % directory, which takes precedence over it.
  error ('henon_hyperbolic: henon_hyperbolic.mex is missing next to this file; run make.');
end
