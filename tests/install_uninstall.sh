#!/bin/sh
# `make install` then `make uninstall` of the build tree BUILD (without
# rebuilding it: make -o build) must leave every prefix as it found it:
#  - a prefix whose bin/ and lib/pkgconfig/ exist beforehand (and whose
#    path holds /vesk) keeps exactly those folders, empty as they were;
#  - a prefix that does not exist, installed twice under DESTDIR, is gone
#    again with the folders above it that the install created (and the
#    prefix outside DESTDIR is never touched).
# The build tree's own install_manifest.txt and install_dirs.txt are put
# back afterwards.
#
# Usage: install_uninstall.sh MAKE SOURCE BUILD
set -eu
make=$1 source=$2 build=$3

tmp=$(mktemp -d)
saved=$tmp/saved
mkdir "$saved"
for f in install_manifest.txt install_dirs.txt; do
  [ ! -f "$build/$f" ] || cp "$build/$f" "$saved/$f"
done
restore() {
  for f in install_manifest.txt install_dirs.txt; do
    rm -f "$build/$f"
    [ ! -f "$saved/$f" ] || cp "$saved/$f" "$build/$f"
  done
  rm -rf "$tmp"
}
trap restore EXIT
fail() {
  echo "install_uninstall: $*" >&2
  exit 1
}
# run_make PREFIX TARGET [VARIABLE=VALUE...]
run_make() {
  prefix_=$1 target_=$2
  shift 2
  "$make" -s --no-print-directory -C "$source" -o build BUILD="$build" PREFIX="$prefix_" \
    "$@" "$target_" >"$tmp/make.log" 2>&1 ||
    { cat "$tmp/make.log"; fail "make $target_ PREFIX=$prefix_ $* failed"; }
}
tree() {
  (cd "$1" && find . | LC_ALL=C sort)
}

# A prefix with folders of its own.
prefix=$tmp/opt/vesk
mkdir -p "$prefix/bin" "$prefix/lib/pkgconfig"
tree "$tmp/opt" >"$tmp/before"
run_make "$prefix" install
[ -x "$prefix/bin/vesk" ] && [ -f "$prefix/lib/pkgconfig/vesk.pc" ] &&
  [ -f "$prefix/share/man/man1/vesk.1" ] ||
  fail "make install did not install bin/vesk, lib/pkgconfig/vesk.pc and share/man/man1/vesk.1"
run_make "$prefix" uninstall
tree "$tmp/opt" >"$tmp/after"
diff "$tmp/before" "$tmp/after" >"$tmp/diff" ||
  { cat "$tmp/diff"; fail "make uninstall did not leave $prefix as it was before the install"; }
echo "existing prefix: left as it was"

# A prefix that does not exist, in a DESTDIR that does not exist either;
# installed twice. The prefix itself names no real folder.
destdir=$tmp/new
fresh=/nonexistent-vesk-prefix-$$/opt
run_make "$fresh" install DESTDIR="$destdir"
run_make "$fresh" install DESTDIR="$destdir"
[ -x "$destdir$fresh/bin/vesk" ] || fail "make install did not install $destdir$fresh/bin/vesk"
run_make "$fresh" uninstall
[ ! -e "$destdir" ] || { tree "$destdir"; fail "make uninstall left files or folders in $destdir"; }
echo "new prefix under DESTDIR: removed"
