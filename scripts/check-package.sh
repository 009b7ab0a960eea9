#!/bin/sh
# Unpacks the Debian package into a scratch root and checks its files, its dependencies and the
# plug-in's exports.
set -eu
build=$1
exports=$2
deb=$(ls -t "$build"/kojelly_*.deb | head -n 1)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
libdir=$(dirname "$(find "$root" -name 'libkojelly.so.1.0.0' | head -n 1)")
for f in "$libdir/libkojelly.so.1.0.0" "$libdir/libkojelly.so.1" "$libdir/libtessel.a" \
         "$root/usr/include/kojelly.h" "$root/usr/include/tessel_http.h" \
         "$libdir/cmake/kojelly/kojellyConfig.cmake" "$libdir/pkgconfig/kojelly.pc" \
         "$libdir/pkgconfig/tessel.pc"; do
  [ -e "$f" ] || { echo "package lacks $f" >&2; exit 1; }
done
# The pkg-config files are written as the package is installed, with its prefix.
for pc in kojelly tessel; do
  grep -qx 'prefix=/usr' "$libdir/pkgconfig/$pc.pc" || {
    echo "$pc.pc does not say prefix=/usr:" >&2; cat "$libdir/pkgconfig/$pc.pc" >&2; exit 1; }
done
soname=$(objdump -p "$libdir/libkojelly.so.1.0.0" | awk '/SONAME/ { print $2 }')
[ "$soname" = libkojelly.so.1 ] || { echo "SONAME is $soname" >&2; exit 1; }
depends=$(dpkg-deb -f "$deb" Depends)
case $depends in
  *libyyjson0*) ;;
  *) echo "Depends lacks the yyjson runtime: $depends" >&2; exit 1 ;;
esac
"$(dirname "$0")/../tests/plugin/check_exports.sh" "$libdir/libkojelly.so.1.0.0" "$exports"
echo "package ok: $(basename "$deb") (Depends: $depends)"
