#!/bin/sh
# Installs the build tree BUILD into a temporary prefix (cmake --install),
# checks what is there, then builds tests/consumer against it twice, through
# find_package(vesk) and through pkg-config, and runs both: each must
# verify the horseshoe in once mode and get 1.
#
# Usage: install_consumer.sh CMAKE BUILD SOURCE CXX LIBDIR INCLUDEDIR
# VESK_CONSUMER_FLAGS, when set, is added to the consumer's compile and
# link lines (the sanitizer build needs its runtimes).
set -eu
cmake=$1 build=$2 source=$3 cxx=$4 libdir=$5 includedir=$6
flags=${VESK_CONSUMER_FLAGS:-}
version=$(head -n 1 "$source/VERSION")

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
fail() {
  echo "install_consumer: $*" >&2
  exit 1
}

"$cmake" --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; fail "cmake --install failed"; }

for f in bin/vesk "$libdir/libvesk.a" "$includedir/vesk/version.h" \
         "$includedir/vesk/gateway/driver.h" "$includedir/vesk/tree/tree.h" \
         "$libdir/cmake/vesk/veskConfig.cmake" "$libdir/cmake/vesk/veskConfigVersion.cmake" \
         "$libdir/cmake/vesk/veskTargets.cmake" "$libdir/pkgconfig/vesk.pc" \
         share/doc/vesk/LICENSE; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
done
[ "$("$prefix/bin/vesk" --version)" = "vesk $version" ] ||
  fail "installed vesk --version does not say vesk $version"

# Every installed header compiles on its own: none includes a header that
# stays behind.
(cd "$prefix/$includedir" && find vesk -name '*.h' | sort) >"$tmp/headers"
[ -s "$tmp/headers" ] || fail "no headers installed"
while read -r h; do
  printf '#include <%s>\n' "$h" |
    "$cxx" -std=c++20 -fsyntax-only -I"$prefix/$includedir" -I"$prefix/$includedir/vesk" \
      -x c++ - || fail "the installed header $h does not compile on its own"
done <"$tmp/headers"

# find_package(vesk): the package in the prefix, not one installed elsewhere.
"$cmake" -S "$source/tests/consumer" -B "$tmp/cmake-build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$tmp/configure.log" 2>&1 ||
  { cat "$tmp/configure.log"; fail "configuring the consumer failed"; }
grep -qx "vesk_DIR:PATH=$prefix/$libdir/cmake/vesk" "$tmp/cmake-build/CMakeCache.txt" ||
  fail "find_package(vesk) did not find the package in $prefix"
"$cmake" --build "$tmp/cmake-build" >"$tmp/build.log" 2>&1 ||
  { cat "$tmp/build.log"; fail "building the consumer failed"; }
out=$("$tmp/cmake-build/vesk_consumer") || fail "the consumer (CMake) did not get 1: $out"
[ "$out" = "vesk $version, once mode at depth 12: 1" ] || fail "unexpected output: $out"
echo "find_package(vesk): $out"

# pkg-config.
PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
export PKG_CONFIG_PATH
[ "$(pkg-config --modversion vesk)" = "$version" ] || fail "vesk.pc does not say $version"
# shellcheck disable=SC2046,SC2086
"$cxx" -std=c++20 $flags -o "$tmp/vesk_consumer_pc" "$source/tests/consumer/consumer.cpp" \
  $(pkg-config --cflags --libs vesk) || fail "building the consumer with pkg-config failed"
out=$("$tmp/vesk_consumer_pc") || fail "the consumer (pkg-config) did not get 1: $out"
[ "$out" = "vesk $version, once mode at depth 12: 1" ] || fail "unexpected output: $out"
echo "pkg-config vesk: $out"
