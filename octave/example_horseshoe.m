% EXAMPLE_HORSESHOE  Hyperbolicity of a Henon horseshoe, and a picture of it.
%
%   Proves that the Henon map H(x, y) = (a - x^2 + b*y, x) is hyperbolic on
%   its chain recurrent set for every a in [5.9, 6.1] and b in [0.29, 0.31],
%   then plots the (x, y) extent of the boxes that remain: a cover of the
%   horseshoe.
%
%   Run it after `pkg load vesk` (the installed package), or with the
%   built modules on the path:
%     addpath ('build/octave');   % the modules and their help
%     addpath ('octave');         % this script
%     example_horseshoe
%
%   With a display the boxes appear in a figure. Without one the picture
%   is written to horseshoe_boxes.png in the current directory, provided
%   Octave has a graphics toolkit (for instance gnuplot); otherwise the
%   plot is skipped with a message.

t = vesk_tree ('new', [0 0 0 0], [3.25 3.25 2 2]);
unwind_protect
  r = henon_hyperbolic (t, [5.9 0.29], [6.1 0.31], 'loop');
  B = vesk_tree ('boxes', t);
unwind_protect_cleanup
  vesk_tree ('free', t);
end_unwind_protect
printf ('henon_hyperbolic returned %d; %d boxes of the lifted tree remain.\n', r, rows (B));

% Columns of B: centers x, y, u, v, then radii x, y, u, v, then flags.
X = [B(:,1) - B(:,5), B(:,1) + B(:,5), B(:,1) + B(:,5), B(:,1) - B(:,5)]';
Y = [B(:,2) - B(:,6), B(:,2) - B(:,6), B(:,2) + B(:,6), B(:,2) + B(:,6)]';
if (isempty (available_graphics_toolkits ()))
  printf ('No graphics toolkit is available: the plot is skipped.\n');
else
  headless = isempty (getenv ('DISPLAY'));
  try
    if (headless)
      fig = figure ('visible', 'off');
    else
      fig = figure ();
    end
    patch (X, Y, [0.25 0.45 0.8], 'EdgeColor', [0.1 0.2 0.5]);
    axis equal;
    xlabel ('x');
    ylabel ('y');
    title ('Henon map, a in [5.9, 6.1], b in [0.29, 0.31]: boxes over the chain recurrent set');
    if (headless)
      print (fig, '-dpng', 'horseshoe_boxes.png');
      close (fig);
      printf ('The plot is in horseshoe_boxes.png.\n');
    end
  catch err
    printf ('The plot is skipped: %s\n', err.message);
  end
end
