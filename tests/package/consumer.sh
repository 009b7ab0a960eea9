#!/bin/sh
# Installs the build into a staging root (DESTDIR), builds the C consumer example against the
# staged CMake package, and runs it.
set -eu
build=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
DESTDIR="$work/stage" cmake --install "$build" --prefix /usr >/dev/null
prefix="$work/stage/usr"
test -f "$prefix/include/kojelly.h" && test -f "$prefix/include/tessel_http.h"
test -f "$prefix/lib/x86_64-linux-gnu/pkgconfig/kojelly.pc" || test -f "$prefix/lib/pkgconfig/kojelly.pc"
cmake -S "$src/examples/consumer" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/build" >/dev/null
out=$("$work/build/consumer")
echo "$out"
case $out in
  *'"path":"11"'*'"path":"12"'*) ;;
  *) echo "unexpected listing" >&2; exit 1 ;;
esac
