#!/bin/sh
# Makes the Octave package OUTDIR/vesk-VERSION.tar.gz from the source tree
# SRCDIR, in the layout `pkg install` expects:
#
#   vesk-VERSION/DESCRIPTION, COPYING (LICENSE), INDEX, NEWS
#   vesk-VERSION/inst/   the help files, example_horseshoe.m
#   vesk-VERSION/src/    the library and module sources, the Makefile that
#                        builds the modules with mkoctfile --mex, FILES
#
# VERSION comes from SRCDIR/VERSION. The date in DESCRIPTION and the times
# in the archive are those of the last commit (or SOURCE_DATE_EPOCH), so
# the same sources make the same tarball.
#
# Usage: sh scripts/octave_pkg.sh SRCDIR OUTDIR
set -eu

if [ $# -ne 2 ]; then
  echo "usage: $0 SRCDIR OUTDIR" >&2
  exit 2
fi
src=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)

version=$(head -n 1 "$src/VERSION")
case "$version" in
  [0-9]*.[0-9]*.[0-9]*) ;;
  *) echo "$0: $src/VERSION must hold a version such as 1.2.3, not '$version'" >&2; exit 2 ;;
esac
name=vesk-$version

epoch=${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct 2>/dev/null || date +%s)}
date=$(date -u -d "@$epoch" +%Y-%m-%d)

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
pkg=$stage/$name
mkdir -p "$pkg/inst" "$pkg/src"

sed -e "s/@VERSION@/$version/g" -e "s/@DATE@/$date/g" \
  "$src/octave/package/DESCRIPTION.in" >"$pkg/DESCRIPTION"
sed -e "s/@VERSION@/$version/g" "$src/octave/package/NEWS.in" >"$pkg/NEWS"
cp "$src/octave/package/INDEX" "$src/octave/package/post_install.m" "$pkg/"
cp "$src/LICENSE" "$pkg/COPYING"

cp "$src/octave/help/henon_hyperbolic.m" "$src/octave/help/vesk_tree.m" \
   "$src/octave/example_horseshoe.m" "$pkg/inst/"

# The same sources as libvesk and the modules of the CMake build.
for dir in tree io map analysis; do
  mkdir -p "$pkg/src/$dir"
  cp "$src/$dir"/*.h "$src/$dir"/*.cpp "$pkg/src/$dir/"
done
mkdir -p "$pkg/src/gateway" "$pkg/src/octave"
cp "$src/gateway/driver.h" "$src/gateway"/driver*.cpp "$src/gateway/mex_gateway.cpp" \
   "$pkg/src/gateway/"
cp "$src/octave/handle_registry.h" "$src/octave/handle_registry.cpp" \
   "$src/octave/mex_handle.h" "$src/octave/vesk_tree_mex.cpp" "$pkg/src/octave/"
cp "$src/octave/package/Makefile" "$src/octave/package/FILES" "$pkg/src/"

find "$pkg" -exec touch -h -d "@$epoch" {} +
(cd "$stage" && tar --sort=name --owner=0 --group=0 --numeric-owner --mode=u+rw,go=rX \
   -cf - "$name") | gzip -9 -n >"$out/$name.tar.gz.tmp"
mv "$out/$name.tar.gz.tmp" "$out/$name.tar.gz"
echo "$out/$name.tar.gz"
