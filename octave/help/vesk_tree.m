% VESK_TREE  Box trees for henon_hyperbolic.
%
%   t = vesk_tree ('new', center, radius)
%       A tree whose root box covers the domain |x(i) - center(i)| <= radius(i)
%       (1 to 255 coordinates; every center finite, every radius positive
%       and finite). t is a struct whose field "handle" refers to the tree;
%       copies of t refer to the same tree. For henon_hyperbolic the domain
%       has 4 coordinates (x, y, u, v) and more conditions: see its help.
%   vesk_tree ('free', t)
%       Releases the tree. Every later use of t (or of a copy) is an error.
%   vesk_tree ('subdivide', t)
%   vesk_tree ('subdivide', t, k)
%       Bisects every leaf once (k times); depth d is bisected along
%       coordinate mod (d, dim) + 1. Refused (vesk:outOfMemory, the tree
%       unchanged) when the new boxes would need more memory than the
%       session may still use.
%   n = vesk_tree ('count', t)
%       The number of leaves.
%   h = vesk_tree ('depth', t)
%       The height of the tree: 0 for a lone root.
%   B = vesk_tree ('boxes', t)
%   B = vesk_tree ('boxes', t, depth)
%       One row per leaf (or per box at that depth; -1: the leaves, -2: the
%       boxes whose children are all leaves), in traversal order:
%       [center(1:dim), radius(1:dim), flags].
%   [c, r] = vesk_tree ('domain', t)
%       The domain's center and radius.
%   vesk_tree ('save', t, file)
%   t = vesk_tree ('load', file)
%       Writes and reads a tree file (text header, binary box stream). The
%       save replaces a file atomically (a failed save leaves the old one as
%       it was) and writes through links. A file
%       is refused when its box stream is cut short, holds a different
%       number of boxes than its header announces, is followed by other
%       bytes, or when its domain has a radius that is not positive or a
%       number that is not finite (the same checks as vesk tree info). Only
%       a regular file is read: a directory, a device or a FIFO is refused
%       at once. A loaded tree keeps its split table only along its leftmost
%       path.
%   n = vesk_tree ('live')
%       The number of trees currently held.
%
%   Example:
%     t = vesk_tree ('new', [0 0 0 0], [3.25 3.25 2 2]);
%     vesk_tree ('subdivide', t, 4);
%     B = vesk_tree ('boxes', t);    % 16 rows of 9 columns
%     vesk_tree ('free', t);
%
%   See also henon_hyperbolic.


function varargout = vesk_tree (varargin)
  % This file carries the help text; calls go to vesk_tree.mex in the same
  % directory, which takes precedence over it.
  error ('vesk_tree: vesk_tree.mex is missing next to this file; run make.');
end
