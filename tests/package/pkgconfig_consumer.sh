#!/bin/sh
# Installs the build into a temporary prefix and builds C hosts against it with pkg-config alone,
# as a host's own build without CMake does, then runs them:
#   - tests/package/pkgconfig_host.c links the support library (--libs tessel) and loads the
#     installed plug-in by the full path that pkg-config's libdir gives;
#   - examples/consumer/main.c, compiled with --cflags only, loads it by its soname through
#     LD_LIBRARY_PATH;
#   - tests/plugin/c_consumer.c links the plug-in itself (--libs kojelly).
# pkg-config searches the temporary prefix only, so a kojelly installed on the machine cannot
# stand in for a missing or wrong file.
#
# Usage: pkgconfig_consumer.sh BUILD_DIR SOURCE_DIR [C_COMPILER]   (default compiler: cc)
# With KOJELLY_WERROR=1 in the environment, as in builds with warnings as errors, the hosts are
# compiled with -Werror too.
set -eu
build=$1
src=$2
cc=${3:-cc}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/opt/kojelly
cmake --install "$build" --prefix "$prefix" >/dev/null

pc=$(find "$prefix" -name kojelly.pc)
[ -n "$pc" ] || { echo "the install has no kojelly.pc" >&2; exit 1; }
pcdir=$(dirname "$pc")
PKG_CONFIG_PATH=$pcdir
PKG_CONFIG_LIBDIR=$pcdir
export PKG_CONFIG_PATH PKG_CONFIG_LIBDIR
unset PKG_CONFIG_SYSROOT_DIR PKG_CONFIG_ALLOW_SYSTEM_CFLAGS PKG_CONFIG_ALLOW_SYSTEM_LIBS

# The files name the prefix they were installed to.
same() {
  [ "$2" = "$3" ] || { echo "$1 gives '$2', expected '$3'" >&2; exit 1; }
}
libdir=$(dirname "$pcdir")
for module in kojelly tessel; do
  same "$module's pcfiledir" "$(pkg-config --variable=pcfiledir $module)" "$pcdir"
  same "$module's libdir" "$(pkg-config --variable=libdir $module)" "$libdir"
  # Word splitting drops the blank that pkg-config leaves at the end.
  # shellcheck disable=SC2046
  set -- $(pkg-config --cflags $module)
  same "pkg-config --cflags $module" "$*" "-I$prefix/include"
  # shellcheck disable=SC2046
  set -- $(pkg-config --libs $module)
  same "pkg-config --libs $module (first word)" "$1" "-L$libdir"
done
version=$(pkg-config --modversion kojelly)

cflags="-std=c99 -pedantic-errors -Wall -Wextra"
[ "${KOJELLY_WERROR:-0}" = 1 ] && cflags="$cflags -Werror"
# shellcheck disable=SC2046,SC2086  # pkg-config's output is meant to be split into words
$cc $cflags $(pkg-config --cflags kojelly tessel) -o "$work/pkgconfig_host" \
  "$src/tests/package/pkgconfig_host.c" $(pkg-config --libs tessel) -ldl
"$work/pkgconfig_host" "$libdir/libkojelly.so.1" "$version"

# shellcheck disable=SC2046,SC2086
$cc $cflags $(pkg-config --cflags kojelly) -o "$work/consumer" "$src/examples/consumer/main.c" -ldl
out=$(LD_LIBRARY_PATH=$libdir "$work/consumer" libkojelly.so.1)
case $out in
  *'"path":"11"'*'"path":"12"'*) ;;
  *) echo "examples/consumer: unexpected listing: $out" >&2; exit 1 ;;
esac

# shellcheck disable=SC2046,SC2086
$cc $cflags $(pkg-config --cflags kojelly) "-DKOJELLY_EXPECTED_VERSION=\"$version\"" \
  -o "$work/linked" "$src/tests/plugin/c_consumer.c" $(pkg-config --libs kojelly)
LD_LIBRARY_PATH=$libdir "$work/linked"
echo "pkg-config consumers ok: kojelly $version from $prefix"
