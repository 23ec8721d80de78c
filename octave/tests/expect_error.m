% expect_error (f, text, id): calls f and fails unless it raises an error
% whose message contains text (and, when given, whose identifier is id).
function expect_error (f, text, id)
  try
    f ();
  catch err
    assert (! isempty (strfind (err.message, text)), ...
            sprintf ('message "%s" lacks "%s"', err.message, text));
    if (nargin > 2)
      assert (err.identifier, id);
    end
    return;
  end
  error ('no error raised; expected "%s"', text);
end
